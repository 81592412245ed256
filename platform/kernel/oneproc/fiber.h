// SPDX-License-Identifier: Apache-2.0
// Stackful coroutines for the one-processor kernel: a stack, a saved context and the switch
// between two of them, with AddressSanitizer told of every switch. Boost.Context's fcontext
// where the build has it (about 5 ns a switch), else glibc's ucontext (about 1 us: it saves the
// signal mask with a system call), which is what the 32-bit build uses. Single-threaded: only
// the kernel's thread switches, so nothing here is locked.
#pragma once

#include <cstddef>

#if KX_FIBER_FCONTEXT
#include <boost/context/detail/fcontext.hpp>
#else
#include <ucontext.h>
#endif

namespace kx::oneproc {

struct Fiber {
    void* mapping = nullptr;  // the stack's memory with its guard page; null for the host
    size_t mapped = 0;
    void (*entry)() = nullptr;  // run on the fiber's first switch-in; must never return
#if KX_FIBER_FCONTEXT
    boost::context::detail::fcontext_t context = nullptr;
#else
    ucontext_t context{};
#endif
    // What AddressSanitizer needs to know of the stack (learnt on the first switch away for
    // the host's thread) and the fake stack it keeps for this fiber while it is switched out.
    const void* stackBottom = nullptr;
    size_t stackSize = 0;
    void* fakeStack = nullptr;
};

// Gives the fiber a stack of at least stackBytes and a context that starts at entry. False
// when no memory could be had (the fiber is left empty).
bool fiberPrepare(Fiber* fiber, void (*entry)(), size_t stackBytes);
// Gives the stack back (to a small cache for the next fiber). Never on the running fiber.
void fiberRelease(Fiber* fiber);
// Suspends `from` and runs `to` until some fiber switches back to `from`. fromEnds: `from` will
// never run again (its stack may be released once another fiber runs).
void fiberSwitch(Fiber* from, Fiber* to, bool fromEnds);
// The switch mechanism in use: "fcontext" or "ucontext".
const char* fiberMechanism();

}  // namespace kx::oneproc
