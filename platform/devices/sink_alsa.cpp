// SPDX-License-Identifier: Apache-2.0
// The ALSA sink of the simulated HD-audio driver: plays recorded periods on a sound card through
// libasound, where the build found it. Called only under the sink's mutex
// (platform/devices/sink.cpp). Without ALSA every open fails.
#include "platform/devices/sink.h"
#include "platform/devices/wav_format.h"

#ifdef KX_HAVE_ALSA
#include <alsa/asoundlib.h>
#endif

namespace kx {

#ifdef KX_HAVE_ALSA

struct AlsaOutput {
    snd_pcm_t* pcm;
};

namespace {
// Enough queued sound to ride over a late period of the mixer without an underrun.
constexpr unsigned kLatencyUsec = 100000;
}  // namespace

bool alsaAvailable() {
    return true;
}

AlsaOutput* alsaOpen(const char* device) {
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, device, SND_PCM_STREAM_PLAYBACK, 0) < 0)
        return nullptr;
    if (snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED,
                           kStreamChannels, kStreamRate, 1, kLatencyUsec) < 0) {
        snd_pcm_close(pcm);
        return nullptr;
    }
    return new AlsaOutput{pcm};
}

bool alsaWrite(AlsaOutput* output, const int16_t* samples, uint32_t frames) {
    while (frames > 0) {
        snd_pcm_sframes_t n = snd_pcm_writei(output->pcm, samples, frames);
        if (n < 0) {
            // An underrun or a suspend is recovered and the rest of the period is retried.
            if (snd_pcm_recover(output->pcm, static_cast<int>(n), 1) < 0)
                return false;
            continue;
        }
        samples += static_cast<size_t>(n) * kStreamChannels;
        frames -= static_cast<uint32_t>(n);
    }
    return true;
}

bool alsaClose(AlsaOutput* output) {
    bool ok = snd_pcm_drain(output->pcm) >= 0;
    if (snd_pcm_close(output->pcm) < 0)
        ok = false;
    delete output;
    return ok;
}

#else

struct AlsaOutput {};

bool alsaAvailable() {
    return false;
}
AlsaOutput* alsaOpen(const char*) {
    return nullptr;
}
bool alsaWrite(AlsaOutput*, const int16_t*, uint32_t) {
    return false;
}
bool alsaClose(AlsaOutput*) {
    return false;
}

#endif

}  // namespace kx
