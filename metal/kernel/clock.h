// SPDX-License-Identifier: Apache-2.0
// The image's clock: the processor's time-stamp counter, calibrated once against the PIT's
// channel 2. Time is read from the counter, never counted from tick interrupts (which an
// emulator may drop). The PIT's channel 0 ticks at 1 kHz only to prompt the kernel to look at
// deadlines. Under QEMU's -icount shift=0 the counter runs at one cycle per instruction, and one
// instruction is one nanosecond of virtual time.
#pragma once

#include <cstdint>

namespace kx::metal {

void clockInit();  // calibrates; interrupts must be off
inline uint64_t clockCycles() {
    uint32_t lo, hi;
    asm volatile("rdtsc" : "=a"(lo), "=d"(hi));
    return static_cast<uint64_t>(hi) << 32 | lo;
}
uint64_t clockNowUsec();  // since clockInit
uint64_t clockCyclesPerMs();
// Starts the 1 kHz prompt on PIC line 0; handler runs on every tick.
void clockStartTicks(void (*handler)());

}  // namespace kx::metal
