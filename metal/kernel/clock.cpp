// SPDX-License-Identifier: Apache-2.0
// The time-stamp counter as the clock, and the PIT. Written at boot only (clockInit), read by
// any task or handler.
#include "metal/kernel/clock.h"

#include "metal/boot/cpu.h"

namespace kx::metal {
namespace {

constexpr uint32_t kPitHz = 1193182;
constexpr uint32_t kCalibrationCount = 11932;  // 10 ms of the PIT
uint64_t origin;
uint64_t cyclesPerMs = 1;

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

void clockStartTicks(void (*handler)()) {
    uint32_t divisor = (kPitHz + 500) / 1000;
    outb(0x43, 0x34);  // channel 0, low then high byte, rate generator
    outb(0x40, static_cast<uint8_t>(divisor));
    outb(0x40, static_cast<uint8_t>(divisor >> 8));
    irqInstall(0, handler);
}

}  // namespace kx::metal
