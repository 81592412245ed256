// SPDX-License-Identifier: Apache-2.0
// The image's HD-audio driver ("DdHdAudio"), for an Intel High Definition Audio controller: the
// same control protocol as the host's simulated driver (platform/devices/dm.h), on the real
// device. One output stream of `periods` periods in a buffer-descriptor ring, each entry raising
// a completion interrupt. The ring starts as silence, so the first period the mixer writes is
// heard after `periods` periods of silence; a write blocks until the hardware has freed a slot.
#pragma once

#include <cstdint>

namespace kx::metal {

struct HdaReport {
    bool present;            // a controller and a codec with an output path were found
    uint32_t vendor;         // the codec's vendor and device id
    uint8_t converter, pin;  // the output path's nodes, found by walking the widgets
    uint8_t irqLine;
    uint32_t framesPerPeriod;  // reported at open
    uint32_t ringPeriods;      // periods in the ring
    uint64_t accepted;         // periods the mixer wrote since the stream opened
    uint64_t completions;      // completion interrupts since the stream opened
    uint64_t latePeriods;      // periods the mixer missed; the hardware played silence
    uint64_t failedWrites;
    // From a completion interrupt to the mixer's next write: its wake-up and its whole cycle.
    uint64_t wakeMaxNs;
    uint64_t wakeSumNs;
    uint64_t wakes;
    uint32_t opens, closes;
};

// Finds the controller on PCI, resets it, walks the codec's widgets and programs the path.
// framesPerPeriod is what IOCTL_STREAM_OPEN reports. False (with the reason printed) when no
// usable controller is there; the driver then refuses every stream.
bool hdaInit(uint32_t framesPerPeriod);
// The driver's control entry (codes and results as in platform/devices/dm.h).
int32_t hdaControl(uint32_t code, void* block);
HdaReport hdaReport();
// On a task: waits until the mixer has written `count` periods on the open stream (or the
// stream closed). False if deadlineUsec (0: none) passed first.
bool hdaWaitAccepted(uint64_t count, uint64_t deadlineUsec);

}  // namespace kx::metal
