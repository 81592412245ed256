// SPDX-License-Identifier: Apache-2.0
// The image's clock: the processor's time-stamp counter, calibrated once against the PIT's
// channel 2. Time is read from the counter, never counted from interrupts (which an emulator may
// drop). The PIT's channel 0 is a one-shot alarm for the kernel's earliest deadline and nothing
// else: no periodic tick, so no interrupt lands on the tasks' work but the device's and the
// deadlines' own, and a run's measured figures repeat exactly. Under QEMU's -icount shift=0 the
// counter runs at one cycle per instruction, and one instruction is one nanosecond of virtual
// time.
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
// Installs handler on PIC line 0, the alarm's interrupt; no alarm is armed yet.
void clockStartAlarm(void (*handler)());
// Arms the alarm to interrupt at or after deadlineUsec (clockNowUsec's scale), replacing an armed
// one; a deadline further than the PIT can count (about 54 ms) interrupts early, and the kernel
// arms again for the rest. Does nothing when that deadline is armed already and not yet reached.
// Interrupts off.
void clockArmAlarm(uint64_t deadlineUsec);

}  // namespace kx::metal
