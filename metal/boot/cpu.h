// SPDX-License-Identifier: Apache-2.0
// The processor and the PC around it: port and memory-mapped access, the interrupt table and the
// two PICs, SSE, and leaving QEMU. Interrupts are the only concurrency on the image (one
// processor): state shared with a handler is touched with interrupts off (IrqGuard).
#pragma once

#include <cstdint>

namespace kx::metal {

inline void outb(uint16_t port, uint8_t v) {
    asm volatile("outb %0,%1" ::"a"(v), "Nd"(port));
}
inline void outl(uint16_t port, uint32_t v) {
    asm volatile("outl %0,%1" ::"a"(v), "Nd"(port));
}
inline uint8_t inb(uint16_t port) {
    uint8_t v;
    asm volatile("inb %1,%0" : "=a"(v) : "Nd"(port));
    return v;
}
inline uint32_t inl(uint16_t port) {
    uint32_t v;
    asm volatile("inl %1,%0" : "=a"(v) : "Nd"(port));
    return v;
}
template <class T>
inline T mmioRead(uintptr_t at) {
    return *reinterpret_cast<volatile T*>(at);
}
template <class T>
inline void mmioWrite(uintptr_t at, T v) {
    *reinterpret_cast<volatile T*>(at) = v;
}

inline uint32_t irqSave() {
    uint32_t flags;
    asm volatile("pushf; pop %0; cli" : "=r"(flags)::"memory");
    return flags;
}
inline void irqRestore(uint32_t flags) {
    if (flags & 0x200)
        asm volatile("sti" ::: "memory");
}
// Interrupts off for a scope, back as they were after it.
struct IrqGuard {
    uint32_t flags = irqSave();
    IrqGuard() = default;
    IrqGuard(const IrqGuard&) = delete;
    IrqGuard& operator=(const IrqGuard&) = delete;
    ~IrqGuard() { irqRestore(flags); }
};
// Waits for the next interrupt with interrupts on; returns with them off.
inline void waitForInterrupt() {
    asm volatile("sti; hlt; cli" ::: "memory");
}

using IrqHandler = void (*)();
// The IDT (exceptions stop the image with their vector and address), the PICs remapped to
// vectors 32..47 with every line masked.
void cpuInit();
// Turns on SSE (CR4.OSFXSR and OSXMMEXCPT, CR0.MP, no emulation) and resets the x87.
// False when the processor has no SSE2 or no fxsave.
bool sseEnable();
// Installs the handler of a PIC line and unmasks it. The handler runs with interrupts off; the
// end of interrupt is sent after it.
void irqInstall(int line, IrqHandler handler);
// Ends the emulator: QEMU's isa-debug-exit device makes status 2 * code + 1.
[[noreturn]] void machineExit(uint8_t code);

// The scheduler's hook at the end of every interrupt: switches to a task the handler made ready
// if it outranks the interrupted one (defined by the kernel).
void kernelInterruptExit();
// Bracket every handler, so that the kernel defers its switches to the handler's end.
void kernelInterruptEnter();
void kernelInterruptLeave();

}  // namespace kx::metal
