// SPDX-License-Identifier: Apache-2.0
// The canonical WAV header of the stream's format. A pure function of its arguments: any thread,
// no lock.
#include "platform/devices/wav_format.h"

#include <algorithm>
#include <cstring>

namespace kx {

void wavHeader(uint8_t* header, uint64_t dataBytes, bool stream) {
    uint32_t data = static_cast<uint32_t>(std::min(dataBytes, kWavMaxData));
    std::memcpy(header, "RIFF", 4);
    putLe32(header + 4, stream ? kWavStreamSize : kWavHeaderBytes - 8 + data);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    putLe32(header + 16, 16);  // the format record's size
    putLe16(header + 20, 1);   // PCM
    putLe16(header + 22, kStreamChannels);
    putLe32(header + 24, kStreamRate);
    putLe32(header + 28, kStreamRate * kStreamBytesPerFrame);
    putLe16(header + 32, kStreamBytesPerFrame);
    putLe16(header + 34, kStreamBits);
    std::memcpy(header + 36, "data", 4);
    putLe32(header + 40, stream ? kWavStreamSize : data);
}

}  // namespace kx
