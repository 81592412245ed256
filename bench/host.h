// SPDX-License-Identifier: Apache-2.0
// What the benchmark programs share: hosting the module as the kernel's host does (entry, the
// table the sound framework keeps, the driver's clock), writing the WAV files they play, and
// reading the calling thread's processor time. Used by one thread of each program; no lock.
#pragma once

#include <cstdint>
#include <string>

#include "kxaudio/kxaudio.h"
#include "platform/devices/hda.h"
#include "platform/devices/wav_format.h"

namespace kx::bench {

constexpr uint32_t kLocation = 1;  // the location the files are created under

// Resets the platform and loads the module through its entry (hostLoadModule, with kLocation
// bound to dir), gives the driver a sink that keeps nothing, and starts the module. Returns the
// operation table, or null (after saying why on standard error) when it did not load or start.
const SndOperations* startModule(HdaClock clock, uint32_t frames, const std::string& dir);
// Frees the module (releasing a stepped clock first) and closes the sink.
void stopModule(const SndOperations* ops);

// Writes a 16-bit stereo 44100 Hz PCM WAV file of `frames` frames whose frame i holds the value
// sampleAt(i) in both channels. False when the file cannot be written.
bool writeWav(const std::string& path, uint32_t frames, int16_t (*sampleAt)(uint32_t frame));

// Processor time the calling thread has used, in seconds.
double threadCpuSeconds();
// Seconds on the monotonic clock.
double nowSeconds();

// "--name value" options: the value after `name` in argv, or fallback when absent.
uint64_t optionOf(int argc, char** argv, const char* name, uint64_t fallback);
std::string optionOf(int argc, char** argv, const char* name, const std::string& fallback);

// Prints one "name value" line that bench/run reads.
void report(const char* name, double value);

}  // namespace kx::bench
