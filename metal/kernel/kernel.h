// SPDX-License-Identifier: Apache-2.0
// The image's own face of its kernel, beside the services of platform/kernel/rtk_*.h that the
// module calls: starting the scheduler, the waits a driver needs (ended from an interrupt
// handler), and what the summary reports about tasks.
//
// Where the metal's contract differs from rtk.h's text:
// - A task deleted by force (RtkDeleteTask of another task's id) never runs again, wherever it
//   stood: there is no unwind. Its stack is released when its record is reused by a later
//   RtkCreateTask; critical sections it held stay held, so a deleted holder blocks every later
//   enter of them (the module deletes only tasks that hold none).
// - RtkDeleteTask(0) does not return.
// - Time is the processor's clock; sleeps and timeouts end at their deadline, rounded up to the
//   PIT's count (under a microsecond), by a one-shot alarm; there is no periodic tick.
// - Preemption is real: an interrupt handler that readies a task of higher priority than the
//   running one switches to it when the handler ends, wherever the running task stood.
#pragma once

#include <cstdint>

namespace kx::metal {

// Makes the boot context the idle context (lowest of all) and starts the 1 kHz deadline prompt.
// Call after clockInit and sseEnable, with interrupts off.
void kernelInit();
// The boot context's last call: runs the tasks, halting while none is ready.
[[noreturn]] void kernelIdle();

// On a task: waits until ready(context) returns true, asked again after every kernelNotify and
// at its deadline; deadlineUsec 0 waits without limit. Returns ready's last answer. ready runs
// with interrupts off and must not block.
bool kernelWaitUntil(bool (*ready)(void* context), void* context, uint64_t deadlineUsec);
// From a handler or a task: the waits' conditions may have changed.
void kernelNotify();
// True inside an interrupt handler (the kernel switches tasks only when it ends).
bool kernelInInterrupt();

struct TaskReport {
    uint32_t id;
    char name[16];
    uint16_t priority;
    bool alive;
    uint32_t stackSize;
    uint32_t stackUsed;  // high-water mark: bytes ever touched from the top
    // The longest pass: from becoming ready to blocking again, time spent preempted included
    // (for the loader, its longest pass over the queues).
    uint64_t longestPassNs;
};
// Fills up to max reports, for every task created since boot; returns how many.
int kernelTasks(TaskReport* out, int max);

}  // namespace kx::metal
