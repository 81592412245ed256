// SPDX-License-Identifier: Apache-2.0
// kxplay --demo: the demo's own sounds (three tones of a chord, a rhythmic loop, a chime),
// generated on the spot, and the built-in scene that plays them. No shared state, no lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kx {

struct DemoSound {
    const char* file;  // file name inside the demo directory
    const char* what;  // one line for the reader
};

// The files writeDemoSounds makes, in the order the scene creates them.
const std::vector<DemoSound>& demoSounds();

// Interleaved stereo 16-bit samples of demo sound `file` (one of demoSounds()); empty for any
// other name. Deterministic.
std::vector<int16_t> demoSamples(const std::string& file);

// Writes every demo sound as a canonical 2-channel 44100 Hz 16-bit PCM WAV file into the
// existing directory dir. false with *error (the file and the reason) when a file cannot be
// written; files already written are left in place.
bool writeDemoSounds(const std::string& dir, std::string* error);

// Writes interleaved stereo 16-bit samples as a canonical WAV file. false when it cannot.
bool writeStereoWav(const std::string& path, const std::vector<int16_t>& samples);

// The demo scene; its FILE arguments are the names of demoSounds().
const char* demoScene();

}  // namespace kx
