// Fuzz target: an input is a sound file. Its header goes through parseWavFmt; creation must then
// accept it exactly when the header was accepted in the stream's format, and an accepted file is
// played to its end through the module under the stepped clock. The driver must receive the
// file's sample bytes, period by period, then silence; afterwards every block is home and every
// file closed. The library is started once per process and shared by all inputs (one thread).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kxaudio/audioLib.h"
#include "platform/dm.h"
#include "platform/fault.h"
#include "platform/hda.h"
#include "platform/kxfile.h"
#include "platform/kxfs.h"
#include "platform/rtk.h"
#include "platform/sndhost.h"
#include "tests/support/inspect.h"
#include "tests/support/wavgen.h"

namespace {

constexpr uint32_t kFrames = 64;  // 256-byte periods: a few kilobytes play in a few dozen steps
constexpr uint32_t kPeriodBytes = kFrames * 4;
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

// The bytes a play must deliver: the file from the data offset, for the data length (a length
// with its top bit set is a negative count and delivers nothing), or up to the file's end.
kxtest::Bytes expectedSamples(const uint8_t* data, size_t size, uint32_t offset, uint32_t length) {
    int32_t count = static_cast<int32_t>(length);
    if (count <= 0 || offset >= size)
        return {};
    size_t end = offset + std::min<size_t>(static_cast<uint32_t>(count), size - offset);
    return kxtest::Bytes(data + offset, data + end);
}

// Checks that the captured periods are the expected bytes, zero-padded, then silence.
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
    session = new Session;
    session->path = session->dir.file("in.wav");
    kx::faultClearAll();
    kx::kxRegReset();
    kx::kxfsReset();
    kx::hdaReset();
    kx::RtkResetCounters();
    kx::hdaSetClock(kx::HdaClock::Stepped);
    kx::hdaSetFramesPerPeriod(kFrames);
    kx::sndDetachDelegate();
    dkm_kxaudio_Init();
    session->ops = *kx::sndDelegate();
    kx::kxfsBind(1, session->dir.path().c_str());
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
    bool fits =
        parsed && format.channels == 2 && format.sampleRate == 44100 && format.bitsPerSample == 16;

    kx::SoundHandle h = nullptr;
    int32_t status = ops.sndCreate(1, "in.wav", &h);
    if (status != (fits ? kx::SND_OK : kx::SND_ERR_FORMAT))
        fail("creation gave " + std::to_string(status));
    if (!fits)
        return 0;
    if (h->dataOffset != offset || h->dataLength != length || h->fd != -1)
        fail("the sound's record differs from its header");

    kx::hdaClearCaptured();  // the mixer waits in the write of a period already recorded
    if (ops.sndPlay(h, 0, 0) != kx::SND_OK)
        fail("the play was refused");
    int periods = 0;
    for (; periods < kMaxPeriods && h->state != kx::SND_STOPPED; ++periods)
        if (!kx::hdaStep(kWaitMs))
            fail("the engine did not produce a period");
    kxtest::Bytes expected = expectedSamples(data, size, offset, length);
    if (h->state != kx::SND_STOPPED &&
        expected.size() <= static_cast<size_t>(kMaxPeriods - 1) * kPeriodBytes)
        fail("the sound did not end with its data");
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
