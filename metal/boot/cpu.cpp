// SPDX-License-Identifier: Apache-2.0
// The interrupt table, the PICs and SSE. The handler table is written only at boot, before
// interrupts are on; isrDispatch runs with interrupts off.
#include "metal/boot/cpu.h"

#include "metal/boot/console.h"

namespace kx::metal {
namespace {

struct [[gnu::packed]] IdtGate {
    uint16_t offsetLow, selector;
    uint8_t zero, type;
    uint16_t offsetHigh;
};
struct [[gnu::packed]] IdtPointer {
    uint16_t limit;
    uint32_t base;
};

// The stub's frame: pusha, then vector and error code, then what the processor pushed.
struct Frame {
    uint32_t edi, esi, ebp, esp, ebx, edx, ecx, eax;
    uint32_t vector, error;
    uint32_t eip, cs, eflags;
};

constexpr int kVectors = 48;
constexpr int kIrqBase = 32;
IdtGate idt[kVectors];
IrqHandler handlers[16];

void picMask(int line, bool masked) {
    uint16_t port = line < 8 ? 0x21 : 0xA1;
    uint8_t bit = static_cast<uint8_t>(1u << (line & 7));
    uint8_t now = inb(port);
    outb(port, masked ? (now | bit) : (now & ~bit));
}

// A line 7 or 15 interrupt that the PIC's in-service register does not show is spurious.
bool spurious(int line) {
    if (line != 7 && line != 15)
        return false;
    uint16_t port = line == 7 ? 0x20 : 0xA0;
    outb(port, 0x0B);
    if (inb(port) & 0x80)
        return false;
    if (line == 15)
        outb(0x20, 0x20);  // the master did see the cascade
    return true;
}

}  // namespace

extern "C" const uint32_t isrStubs[kVectors];

extern "C" void isrDispatch(Frame* frame) {
    if (frame->vector < kIrqBase) {
        uint32_t cr2;
        asm volatile("mov %%cr2,%0" : "=r"(cr2));
        consolePrintf("\nkxaudio-metal: exception %u (error %x) at eip %x, cr2 %x\n", frame->vector,
                      frame->error, frame->eip, cr2);
        machineExit(0x7E);
    }
    int line = static_cast<int>(frame->vector) - kIrqBase;
    if (spurious(line))
        return;
    kernelInterruptEnter();
    if (handlers[line] != nullptr)
        handlers[line]();
    if (line >= 8)
        outb(0xA0, 0x20);
    outb(0x20, 0x20);
    kernelInterruptLeave();
    kernelInterruptExit();
}

void cpuInit() {
    for (int v = 0; v < kVectors; ++v)
        idt[v] = IdtGate{static_cast<uint16_t>(isrStubs[v]), 0x08, 0, 0x8E,
                         static_cast<uint16_t>(isrStubs[v] >> 16)};
    IdtPointer pointer{sizeof idt - 1, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(idt))};
    asm volatile("lidt %0" ::"m"(pointer));
    outb(0x20, 0x11);  // ICW1: cascade, ICW4 follows (the ELCR sets level lines)
    outb(0xA0, 0x11);
    outb(0x21, kIrqBase);  // ICW2: vector bases
    outb(0xA1, kIrqBase + 8);
    outb(0x21, 0x04);  // ICW3: the slave on line 2
    outb(0xA1, 0x02);
    outb(0x21, 0x01);  // ICW4: 8086 mode
    outb(0xA1, 0x01);
    outb(0x21, 0xFB);  // everything masked but the cascade
    outb(0xA1, 0xFF);
}

bool sseEnable() {
    uint32_t a, b, c, d;
    asm volatile("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(1));
    const uint32_t fxsr = 1u << 24, sse2 = 1u << 26;
    if ((d & fxsr) == 0 || (d & sse2) == 0)
        return false;
    uint32_t cr0, cr4;
    asm volatile("mov %%cr0,%0; mov %%cr4,%1" : "=r"(cr0), "=r"(cr4));
    cr0 = (cr0 & ~4u) | 2u;         // EM off, MP on
    cr4 |= (1u << 9) | (1u << 10);  // OSFXSR, OSXMMEXCPT
    asm volatile("mov %0,%%cr0; mov %1,%%cr4; fninit" ::"r"(cr0), "r"(cr4));
    return true;
}

void irqInstall(int line, IrqHandler handler) {
    IrqGuard off;
    handlers[line] = handler;
    picMask(line, false);
}

void machineExit(uint8_t code) {
    outb(0xF4, code);
    for (;;)
        asm volatile("cli; hlt");
}

}  // namespace kx::metal
