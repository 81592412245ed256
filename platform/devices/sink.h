// SPDX-License-Identifier: Apache-2.0
// Inside the simulated HD-audio driver: where recorded periods go (memory, a WAV file, a raw
// descriptor or ALSA). The public controls are in platform/devices/hda.h; this is what the driver's
// write path and reset use. Guarded by the sink's own mutex, never taken with the driver's; the
// writer thread of a file, descriptor or ALSA sink (sink_writer.h) shares only its buffer, under
// the buffer's own mutex. The WAV header the file sink writes is wavHeader (wav_format.h).
#pragma once

#include <cstdint>

namespace kx {

// Hands one recorded period (interleaved stereo, after gain) to the current sink. A file,
// descriptor or ALSA sink copies it into its writer's buffer and returns; when the buffer is
// full it waits for room, and counts an overrun.
void sinkWrite(const int16_t* samples, uint32_t frames);
// Periods that found the writer's buffer full since the sink was chosen.
// Lock-free: the driver reads it under its own mutex.
uint64_t sinkOverruns();
// Finishes any sink, selects memory and empties it.
void sinkReset();

// The ALSA output, present where the build found libasound (KX_HAVE_ALSA); elsewhere open
// fails and the rest is never called.
struct AlsaOutput;
bool alsaAvailable();
AlsaOutput* alsaOpen(const char* device);  // null when the device cannot be opened and set up
bool alsaWrite(AlsaOutput* output, const int16_t* samples, uint32_t frames);  // false on error
bool alsaClose(AlsaOutput* output);  // plays what is queued, releases; false on error

}  // namespace kx
