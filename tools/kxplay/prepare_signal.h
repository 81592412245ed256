// SPDX-License-Identifier: Apache-2.0
// kxplay prepare's signal path, shared by the conversion of one file: the decoded samples as
// stereo floats at the one rate the module plays, the steps that shape them, and the dither's
// noise. Implemented only where libsndfile and libsoxr are built in (KX_HAVE_PREPARE). Values
// owned by the caller; no shared state, no lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/devices/wav_format.h"

namespace kx::prepare {

// One input, as decoded and described.
struct Source {
    std::vector<float> stereo;  // interleaved left, right; full scale is 1.0
    uint64_t frames = 0;
    int channels = 0;
    int rate = 0;
    std::string words;  // "FLAC, signed 24-bit PCM, 6 channels, 48000 Hz"
};

// splitmix64: the dither's noise, the same from the same seed on every machine.
struct Noise {
    uint64_t state = 0x6b78706c61790001ull;
    double uniform() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        return static_cast<double>(z >> 11) * (1.0 / 9007199254740992.0);
    }
};

// Decodes the file at `path`, downmixed to stereo and resampled to kStreamRate, into *out. False
// with *reason in words when it is missing, a directory, empty, not a sound file libsndfile reads,
// undecodable or without samples, or when the resampler fails.
bool decode(const std::string& path, Source* out, std::string* reason);

// Ramps the first (atStart) or last `frames` frames of *s in from or out to silence; a ramp
// longer than the sound covers the whole of it.
void fade(Source* s, uint64_t frames, bool atStart);

// Cuts *s to a whole number of `period`-frame periods whose end is crossfaded into its start;
// *crossfade is the frames crossfaded. False with *reason when *s is too short to loop (then *s
// is as it was).
bool makeLoop(Source* s, uint32_t period, uint64_t* crossfade, std::string* reason);

}  // namespace kx::prepare
