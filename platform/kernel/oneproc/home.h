// SPDX-License-Identifier: Apache-2.0
// The host's home for the scheduler core (platform/kernel/core/), private to this folder: the
// task and section records around the core's, the kernel instance, and what every call does
// first. Every task is a coroutine (fiber.h) on the one host thread that uses the kernel; that
// thread is the core's lowest context. Time is a virtual clock that moves only when nothing is
// ready (to the next deadline) or inside RtkBusyUsec. All state belongs to that one thread, so
// none of it is locked; a call from any other thread is a misuse that the kernel reports and
// stops on.
#pragma once

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/core/core.h"
#include "platform/kernel/oneproc/fiber.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_types.h"

namespace kx::oneproc {

#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kStackBytes = 1024 * 1024;  // the sanitizer's frames are large
#else
constexpr size_t kStackBytes = 256 * 1024;
#endif

// Thrown into a deleted task at its next kernel call; only the task's trampoline catches it.
// This is how the host ends a deleted task: the unwind runs the destructors of its frames.
struct TaskUnwind {};

struct Task : core::Context {
    std::string name;
    RtkTaskEntry entry = nullptr;
    void* argument = nullptr;
    Fiber fiber;
    RtkSectionWait longestWait = {};  // its longest wait for a critical section
};

struct Section : core::Section {
    std::string name;
};

struct Kernel {
    core::Core core;
    Task host;
    std::vector<Task*> ended;  // finished tasks whose stacks wait to be released
    uint64_t now = 0;          // the virtual clock, microseconds
    uint64_t sleeps = 0;
    uint32_t sleepScale = 100;
    std::thread::id thread{};  // the one host thread that uses this kernel
    bool threadKnown = false;
};

inline Task* task(core::Context* c) {
    return static_cast<Task*>(c);
}

Kernel& kernel();
[[noreturn]] void misuse(const char* what);
// Every call starts here: the kernel belongs to the first thread that called it.
Kernel& enter();
// A deleted task that runs unwinds here.
void unwindIfDeleted(Kernel& k);
// A place where the explorer may let a pending wake-up preempt the caller.
void preemptionPlace(Kernel& k);
Task* findTask(Kernel& k, RtkTaskId id);
inline bool onHost(const Kernel& k) {
    return k.core.current == &k.host;
}

// The calls of this kernel's table (kernels.h), each defined in the file of its service.
#include "platform/kernel/kernel_calls.inc"

}  // namespace kx::oneproc
