// SPDX-License-Identifier: Apache-2.0
// The time-stamp counter as the clock, and the PIT as calibration and one-shot alarm. The
// calibration is written at boot only (clockInit) and read by any task or handler; the alarm's
// record is written with interrupts off only.
#include "metal/kernel/clock.h"

#include "metal/boot/cpu.h"

namespace kx::metal {
namespace {

constexpr uint32_t kPitHz = 1193182;
constexpr uint32_t kCalibrationCount = 11932;  // 10 ms of the PIT
uint64_t origin;
uint64_t cyclesPerMs = 1;
constexpr uint32_t kMaxAlarmCount = 0xFFFF;
uint64_t alarmDeadline = 0;  // the deadline the alarm serves
uint64_t alarmFiresAt = 0;   // when the armed count runs out (before the deadline when capped)

}  // namespace

void clockInit() {
    // Channel 2, gated by port 0x61 bit 0, counts down once (mode 0); its output (bit 5) rises
    // at zero.
    outb(0x61, static_cast<uint8_t>((inb(0x61) & ~0x02) | 0x01));
    outb(0x43, 0xB0);
    outb(0x42, kCalibrationCount & 0xFF);
    outb(0x42, kCalibrationCount >> 8);
    uint64_t start = clockCycles();
    while ((inb(0x61) & 0x20) == 0) {
    }
    uint64_t spent = clockCycles() - start;
    cyclesPerMs = spent * kPitHz / (static_cast<uint64_t>(kCalibrationCount) * 1000);
    if (cyclesPerMs == 0)
        cyclesPerMs = 1;
    origin = clockCycles();
}

uint64_t clockNowUsec() {
    return (clockCycles() - origin) * 1000 / cyclesPerMs;
}

uint64_t clockCyclesPerMs() {
    return cyclesPerMs;
}

void clockStartAlarm(void (*handler)()) {
    irqInstall(0, handler);
}

void clockArmAlarm(uint64_t deadlineUsec) {
    uint64_t now = clockNowUsec();
    if (deadlineUsec == alarmDeadline && now < alarmFiresAt)
        return;
    uint64_t wait = deadlineUsec > now ? deadlineUsec - now : 0;
    // Rounded up, so the alarm never comes before the deadline.
    uint64_t count = (wait * kPitHz + 999999) / 1000000;
    if (count < 1)
        count = 1;
    if (count > kMaxAlarmCount)
        count = kMaxAlarmCount;
    outb(0x43, 0x30);  // channel 0, low then high byte, mode 0: one interrupt at the count's end
    outb(0x40, static_cast<uint8_t>(count));
    outb(0x40, static_cast<uint8_t>(count >> 8));
    alarmDeadline = deadlineUsec;
    alarmFiresAt = now + count * 1000000 / kPitHz;
}

}  // namespace kx::metal
