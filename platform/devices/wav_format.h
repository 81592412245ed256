// SPDX-License-Identifier: Apache-2.0
// The host's one statement of the stream's sample format (16-bit stereo PCM at 44100 Hz, as the
// simulated driver accepts it and every host program writes it), the little-endian byte helpers,
// and the canonical 44-byte WAV header. Constants and pure functions: no state, no lock. For the
// host side only; the module keeps its own constants, as it includes nothing of the platform's
// host headers.
#pragma once

#include <cstdint>

namespace kx {

constexpr uint32_t kStreamRate = 44100;  // frames per second
constexpr uint16_t kStreamChannels = 2;  // interleaved left, right
constexpr uint16_t kStreamBits = 16;     // signed, little-endian
constexpr uint16_t kStreamBytesPerFrame = kStreamChannels * kStreamBits / 8;
static_assert(kStreamBytesPerFrame == 4);

constexpr uint32_t kWavHeaderBytes = 44;  // RIFF, WAVE, a 16-byte "fmt " and the "data" header
// The most sample bytes the header's 32-bit sizes can state, in whole frames.
constexpr uint64_t kWavMaxData =
    (0xFFFFFFFFull - (kWavHeaderBytes - 8)) / kStreamBytesPerFrame * kStreamBytesPerFrame;
// Both sizes of a WAV whose header cannot be rewritten once the data is known (a pipe, a FIFO,
// a device): "as long as the stream lasts", as streaming writers put it.
constexpr uint32_t kWavStreamSize = 0xFFFFFFFF;

inline void putLe16(uint8_t* at, uint16_t v) {
    at[0] = static_cast<uint8_t>(v);
    at[1] = static_cast<uint8_t>(v >> 8);
}

inline void putLe32(uint8_t* at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline uint16_t le16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | at[1] << 8);
}

inline uint32_t le32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

// Writes into header[0..43] the canonical header of a file of the stream's format holding
// dataBytes of samples, the sizes held to kWavMaxData; with stream, both sizes say
// kWavStreamSize instead, for an output whose length is not known when its header is written.
void wavHeader(uint8_t* header, uint64_t dataBytes, bool stream = false);

}  // namespace kx
