// SPDX-License-Identifier: Apache-2.0
// Fuzz target: an input is a sound file. Its header goes through parseWavFmt; creation must then
// accept it exactly when the header was accepted in the stream's format, and an accepted file is
// played through the module under the stepped clock, to its end or, looping, for two passes. The
// driver must receive the file's sample bytes, period by period, then silence; afterwards every
// block is home and every file closed. The library is started once per process and shared by all
// inputs, on the one-processor kernel (one thread, virtual time).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "kxaudio/audioLib.h"
#include "platform/devices/hda.h"
#include "platform/devices/wav_format.h"
#include "platform/files/kxfile_host.h"
#include "platform/host_load.h"
#include "platform/kernel/rtk_select.h"
#include "tests/support/engine_state.h"
#include "tests/support/wavgen.h"

namespace {

constexpr uint32_t kFrames = 256;  // 1 KiB periods: an input of up to 8 KiB plays in a few steps
constexpr uint32_t kPeriodBytes = kFrames * kx::kStreamBytesPerFrame;
constexpr int kMaxPeriods = 80;  // a sound still playing then is stopped by hand
constexpr int32_t kWaitMs = 20000;

struct Session {
    kxtest::TempDir dir;
    std::string path;
    kx::SndOperations ops{};
};
Session* session = nullptr;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "wav_play_fuzzer: %s\n", what.c_str());
    std::abort();
}

void stopLibrary() {
    kx::hdaRelease();
    session->ops.sndFree();
}

// The periods one pass through the sound must deliver, as the loader reads them: blocks of one
// period from the data offset, each cut at the data's end or the file's end and padded with
// silence; a pass ends with the first block that is not whole or that reaches the data's end.
// The data length is unsigned up to 4 GiB: one claiming more than the file holds plays every byte
// the file has behind the data offset.
kxtest::Bytes onePass(const uint8_t* data, size_t size, uint32_t offset, uint32_t length) {
    kxtest::Bytes out;
    int64_t remaining = length;
    size_t at = offset;
    while (remaining > 0) {
        size_t available = at < size ? size - at : 0;
        size_t n = std::min<size_t>({kPeriodBytes, static_cast<size_t>(remaining), available});
        out.insert(out.end(), data + std::min(at, size), data + std::min(at, size) + n);
        out.resize(out.size() + (kPeriodBytes - n), 0);
        at += n;
        remaining -= static_cast<int64_t>(n);
        if (n != kPeriodBytes || remaining <= 0)
            break;
    }
    return out;
}

// Checks that the captured periods are the expected bytes, then silence.
void checkHeard(const kxtest::Bytes& expected) {
    std::vector<uint8_t> captured = kx::hdaCaptured();
    if (captured.size() % kPeriodBytes != 0)
        fail("a partial period was recorded");
    for (size_t i = 0; i < captured.size(); ++i) {
        uint8_t want = i < expected.size() ? expected[i] : 0;
        if (captured[i] != want)
            fail("byte " + std::to_string(i) + " of the output is not the file's sample");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // One thread, virtual time: an input's tasks switch as coroutines instead of host threads.
    if (!kx::RtkSelectKernel(kx::RtkKernel::OneProcessor))
        fail("the one-processor kernel could not be chosen");
    // Every input is written to a file: in memory where the host has a tmpfs, so that ten million
    // inputs neither wait for nor wear a disk (a TMPDIR of the user's own still wins).
    if (access("/dev/shm", W_OK | X_OK) == 0)
        setenv("TMPDIR", "/dev/shm", 0);
    session = new Session;
    session->path = session->dir.file("in.wav");
    const kx::SndOperations* ops = kx::hostLoadModule(
        dkm_kxaudio_Init, {kx::HdaClock::Stepped, kFrames, {{1, session->dir.path()}}});
    if (ops == nullptr)
        fail("the module did not load");
    session->ops = *ops;
    if (session->ops.sndInit() != kx::SND_OK || !kx::hdaSync(kWaitMs))
        fail("the library did not start");
    kx::kxConsoleCapture(true);  // the parser's one message stays off the fuzzer's output
    std::atexit(stopLibrary);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const kx::SndOperations& ops = session->ops;
    kxtest::writeFile(session->path, kxtest::Bytes(data, data + size));
    kx::kxConsoleCapture(true);  // restarting the capture empties it

    kx::WavFormat format{};
    uint32_t offset = 0, length = 0;
    bool parsed = kx::parseWavFmt(session->path.c_str(), &format, &offset, &length) == 0;
    if (kx::kxOpenFiles() != 0)
        fail("the parser left a file open");
    bool fits = parsed && format.channels == kx::kStreamChannels &&
                format.sampleRate == kx::kStreamRate && format.bitsPerSample == kx::kStreamBits;

    kx::SoundHandle h = nullptr;
    int32_t status = ops.sndCreate(1, "in.wav", &h);
    if (status != (fits ? kx::SND_OK : kx::SND_ERR_FORMAT))
        fail("creation gave " + std::to_string(status));
    if (!fits)
        return 0;
    if (h->dataOffset != offset || h->dataLength != length || h->fd != -1)
        fail("the sound's record differs from its header");

    // Inputs of odd size play looping for two passes and a period, the others once to their end.
    const bool loop = (size & 1) != 0;
    kxtest::Bytes pass = onePass(data, size, offset, length);
    const int passPeriods = static_cast<int>(pass.size() / kPeriodBytes);
    kx::hdaClearCaptured();  // the mixer waits in the write of a period already recorded
    if (ops.sndPlay(h, 0, loop) != kx::SND_OK)
        fail("the play was refused");
    const int bound = loop ? std::min(kMaxPeriods, 2 * passPeriods + 1) : kMaxPeriods;
    for (int periods = 0; periods < bound && h->state != kx::SND_STOPPED; ++periods)
        if (!kx::hdaStep(kWaitMs))
            fail("the engine did not produce a period");
    kxtest::Bytes expected = pass;
    if (loop) {
        // A looping sound with something to read plays on; one with nothing stops at once.
        if ((h->state == kx::SND_STOPPED) != pass.empty())
            fail("a looping sound ended, or played on without data");
        for (int k = 0; k < 3; ++k)
            expected.insert(expected.end(), pass.begin(), pass.end());
        if (ops.sndStop(h) != kx::SND_OK)
            fail("the stop failed");
    } else if (h->state != kx::SND_STOPPED && passPeriods < kMaxPeriods - 1) {
        fail("the sound did not end with its data");
    }
    checkHeard(expected);
    if (ops.sndDelete(h) != kx::SND_OK)
        fail("the delete failed");
    std::string problems = kxtest::blockInvariant();
    if (!problems.empty())
        fail(problems);
    if (kx::kxOpenFiles() != 0)
        fail("a sound file was left open");
    return 0;
}
