// SPDX-License-Identifier: Apache-2.0
// The HD-audio driver's control protocol: its control codes, its failures and the byte offsets
// of the stream descriptor that the driver and its client share, and the gain law every driver
// of this protocol applies (the simulated one and the target's). Constants and one pure function.
#pragma once

#include <cstdint>

namespace kx {

constexpr uint32_t IOCTL_STREAM_OPEN = 0x2601;
constexpr uint32_t IOCTL_STREAM_CLOSE = 0x2602;
constexpr uint32_t IOCTL_STREAM_WRITE = 0x2603;
constexpr uint32_t IOCTL_VOLUME = 0x2632;
constexpr uint32_t IOCTL_MUTE = 0x2633;

// Failures the HD-audio driver reports (besides DM_ERR_NOT_SUPPORTED for an unknown code and
// DM_ERR_FAULT for an injected failure).
constexpr int32_t HDA_ERR_PARAM = 0x0311;   // no control block
constexpr int32_t HDA_ERR_FORMAT = 0x0312;  // open: not 2 channels, 44100 Hz, 16 bits
constexpr int32_t HDA_ERR_STATE = 0x0313;   // write: the stream is not open
constexpr int32_t HDA_ERR_BUFFER = 0x0314;  // write: the descriptor names no period buffer
constexpr int32_t HDA_ERR_RANGE = 0x0315;   // volume above 100

// Byte offsets of the stream descriptor the driver reads and writes (little-endian).
constexpr uint32_t HDA_DESC_CHANNELS = 6;        // u16
constexpr uint32_t HDA_DESC_SAMPLE_RATE = 8;     // u32
constexpr uint32_t HDA_DESC_BITS = 18;           // u16
constexpr uint32_t HDA_DESC_NOTIFY_TASK = 24;    // u32
constexpr uint32_t HDA_DESC_NOTIFY_EVENT = 28;   // u16
constexpr uint32_t HDA_DESC_PARAMETER = 32;      // u32
constexpr uint32_t HDA_DESC_FRAMES = 36;         // u32, written by the driver at open
constexpr uint32_t HDA_DESC_PERIOD_BUFFER = 40;  // pointer-wide address of the period buffer

// The most a volume control may set: full volume.
constexpr uint32_t HDA_FULL_VOLUME = 100;

// Gain law: output = sample * volume / 100, rounded toward zero; volume 100 passes samples
// through bit for bit (mute, silence, is the driver's own). Above full volume the gain saturates
// rather than wraps (a driver itself never holds more than 100).
constexpr int16_t hdaApplyGain(int16_t sample, uint32_t volume) {
    int64_t scaled = static_cast<int64_t>(sample) * volume / HDA_FULL_VOLUME;
    return static_cast<int16_t>(scaled > INT16_MAX   ? INT16_MAX
                                : scaled < INT16_MIN ? INT16_MIN
                                                     : scaled);
}

}  // namespace kx
