// SPDX-License-Identifier: Apache-2.0
// A host that embeds kxaudio, as an integrator's host does: it loads the module through its entry,
// keeps only the operation table its sound framework copied, plays one sound to its end and frees
// everything. Runs on the main thread; the module's own tasks do the rest.
// Usage: kxembed DIR   writes DIR/tone.wav, plays it, and writes what the driver heard to
// DIR/out.wav
#include <cstdio>
#include <string>

#include "kxaudio/kxaudio.h"
#include "platform/devices/hda.h"
#include "platform/devices/sndhost.h"
#include "platform/files/kxfs_host.h"

namespace {

constexpr uint32_t kFrames = 20000;  // about 0.45 s of 44100 Hz stereo
constexpr int32_t kBoundMs = 10000;  // the most a period may take before the host gives up

// A 16-bit stereo 44100 Hz PCM WAV file: a square wave on the left, a ramp on the right.
bool writeTone(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    auto put = [f](uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            std::fputc(static_cast<int>(value >> (8 * i)) & 0xFF, f);
    };
    uint32_t data = kFrames * 4;
    std::fputs("RIFF", f), put(36 + data, 4), std::fputs("WAVEfmt ", f), put(16, 4);
    put(1, 2), put(2, 2), put(44100, 4), put(44100 * 4, 4), put(4, 2), put(16, 2);
    std::fputs("data", f), put(data, 4);
    for (uint32_t i = 0; i < kFrames; ++i)
        put((i / 50) % 2 ? 8000 : 0x10000 - 8000, 2), put((i * 7) % 16000, 2);
    return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kxembed DIR\n");
        return 2;
    }
    std::string dir = argv[1];
    if (!writeTone(dir + "/tone.wav"))
        return std::perror("tone.wav"), 1;

    // This platform's host side: location 1 names the sound directory; the driver's stepped
    // clock renders period by period, as fast as the machine allows, into a WAV file.
    kx::kxfsBind(1, dir.c_str());
    kx::hdaSetClock(kx::HdaClock::Stepped);
    if (!kx::hdaSinkWavFile(dir + "/out.wav"))
        return std::perror("out.wav"), 1;

    dkm_kxaudio_Init();  // the module hands its table to the sound framework, which copies it
    const kx::SndOperations* snd = kx::sndDelegate();
    if (snd == nullptr || snd->sndInit() != kx::SND_OK || !kx::hdaSync(kBoundMs)) {
        std::fprintf(stderr, "kxembed: kxaudio did not start\n");
        return 1;
    }

    kx::SoundHandle tone = nullptr;
    int32_t status = snd->sndCreate(1, "tone.wav", &tone);
    if (status == kx::SND_OK)
        status = snd->sndPlay(tone, 0, 0);
    if (status == kx::SND_OK) {
        // The table reports no state, so the host knows the end from the length: a sound of L
        // bytes is heard for L / P periods of P bytes, rounded up.
        uint32_t period = kx::hdaStats().framesPerPeriod * 4;
        if (!kx::hdaRun((kFrames * 4 + period - 1) / period, kBoundMs))
            status = -1;
    }
    std::printf("kxembed: play %s -> %d %s\n", "tone.wav", static_cast<int>(status),
                kx::sndStatusName(status) ? kx::sndStatusName(status) : "");

    if (tone != nullptr)
        snd->sndDelete(tone);
    kx::hdaRelease();  // the mixer's last write returns, so the module can stop its tasks
    snd->sndFree();
    bool written = kx::hdaCloseSink();
    std::printf("kxembed: %llu periods written to %s/out.wav\n",
                static_cast<unsigned long long>(kx::hdaStats().periods), dir.c_str());
    return status == kx::SND_OK && written ? 0 : 1;
}
