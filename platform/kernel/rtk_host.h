// SPDX-License-Identifier: Apache-2.0
// The host's controls and observations of the kernel, for the host program, the platform's own
// code (the simulated driver) and the tests; never for the module, whose services are
// rtk_tasks.h, rtk_events.h, rtk_sections.h, rtk_sleep.h and rtk_preempt.h.
#pragma once

#include "platform/kernel/rtk_types.h"

namespace kx {

// How the host's kernels end a deleted task (RtkDeleteTask): by unwinding out of its entry at its
// next kernel call (receive, sleep, critical-section enter or a driver write). The unwind is a
// private exception that only the task's own trampoline catches, so code that runs on a task
// must let exceptions pass through (no catch (...) that swallows them, no noexcept function
// around a kernel call). Critical sections it holds stay held, as on a kernel that deletes a
// task by force.

// Ends the calling task by the same unwind if it has been deleted; returns otherwise (also on
// a thread that is not a task). For code outside the kernel that blocks on a task's behalf,
// such as the simulated audio driver's write, so that it honours a deletion as a kernel call
// would.
void RtkCheckDeleted();

// Holds the processor for that many microseconds, as a task that computes: no kernel wait, no
// sleep counted. A task deleted meanwhile ends at the call's start or end.
// threads: a busy loop on the host's clock (the other tasks go on running on other processors).
// oneproc: the virtual clock advances while the caller runs. A context of higher priority whose
// wake-up falls due within the span (a sleep's end, a timeout) preempts the caller at that
// moment; the rest of the span runs only when the caller is again the highest ready context.
// Lower contexts that fall due meanwhile become ready then, and run after it.
void RtkBusyUsec(uint32_t microseconds);

// Priorities: numerically higher runs first, as the module's numbers intend (mixer 192 over
// loader 89). oneproc: always strict, and the two controls below do nothing. When enabled and the
// process may, tasks get SCHED_FIFO at 1 + priority * 98 / 255; where that is refused the task runs
// at normal priority, silently. Off by default: a real-time thread that spins can freeze a small
// machine. Applies to tasks created after the call. The calling thread (the host, which shares the
// kernel's and the driver's locks with the tasks) is raised to SCHED_FIFO priority 1, below every
// task, where allowed and unless it is real-time already; turning the mode off puts it back as it
// was.
void RtkSetRealtimeScheduling(bool enabled);
// Keeps every task created from now on, and the calling thread, on one processor (the one the
// caller runs on when the mode is turned on), as the target kernel runs all its tasks on one.
// Off by default; turning it off gives the calling thread back the processors it had.
void RtkSetSingleProcessor(bool enabled);
// Scales every sleep: percent 100 sleeps as asked, 0 returns at once (sleeps are still counted).
void RtkSetSleepScale(uint32_t percent);

uint64_t RtkSleepCount();     // sleeps since start or the last RtkResetCounters
uint64_t RtkDroppedEvents();  // codes dropped because a task's pending set was full
void RtkResetCounters();      // also the longest section waits

// The longest wait of one task in RtkEnterCriticalSection since its start or the last
// RtkResetCounters, on the kernel's clock (RtkNowUsec): a wait starts when the enter finds the
// section held and ends when the enter returns. Names are cut to fit and zero-terminated.
constexpr int RTK_NAME_MAX = 32;
struct RtkSectionWait {
    uint64_t microseconds;       // the longest; the first wait's names stay until one is longer
    uint64_t waits;              // enters that found the section held
    char section[RTK_NAME_MAX];  // the section's name
    char holder[RTK_NAME_MAX];   // the task that held it when the wait began ("": not a task)
};
// Copies that record of task id (0: the calling task) into *wait. False, with *wait zeroed, when
// the id names no task or wait is null. Waits of threads that are not tasks are not recorded.
// Recording costs nothing on an enter that does not wait, and allocates nothing on one that does.
// oneproc: the wait is virtual time, so it counts exactly the time the holder, and whoever runs
// above the holder, kept the processor.
bool RtkLongestSectionWait(RtkTaskId id, RtkSectionWait* wait);

// Priority inheritance: a task that holds a critical section runs at no less than the priority
// of the highest task waiting for it, transitively (a holder that itself waits for another
// section lends on what it has been lent), until it leaves the section; with several sections
// held, at the highest of what each still lends. A higher task then waits for a lower holder
// only as long as the holder's own work inside the section, never for a task between them.
// oneproc: on by default; RtkSetPriorityInheritance(false) turns it off (so the inversion can be
// shown), true on again, taking effect at once. threads: never; the host's own priority-
// inheritance mutexes do not fit its sections (deleting a section wakes its waiters with an
// error, re-entry is refused, waits are recorded), so the call does nothing.
// RtkPriorityInheritance says whether the kernel lends priority now.
void RtkSetPriorityInheritance(bool enabled);
bool RtkPriorityInheritance();

// Id of the calling task, 0 on a thread that is not a task.
RtkTaskId RtkCurrentTask();
// Whether an id names a live task (created and not ended or deleted).
bool RtkTaskExists(RtkTaskId id);
// Priority recorded for a task, 0 if none.
uint16_t RtkTaskPriority(RtkTaskId id);
// Priority the task is scheduled at now: RtkTaskPriority, or more while it holds a section that
// a higher task waits for (RtkSetPriorityInheritance); 0 if none.
uint16_t RtkTaskEffectivePriority(RtkTaskId id);
// Name recorded for a task ("" if none); valid until the task ends.
const char* RtkTaskName(RtkTaskId id);
// Whether a code sharing a bit with mask is pending for the task.
bool RtkEventPending(RtkTaskId id, uint16_t mask);

// Joins every thread whose task has ended and returns how many task threads still exist.
int RtkThreadsAlive();
// Number of critical sections created and not deleted.
int RtkSectionsAlive();

// Waits until every task except `except` is quiescent: suspended (never resumed), ended,
// blocked in RtkReceiveTaskEvent with no pending code that its mask selects, or blocked in
// RtkHostWait with nothing yet that ends it (so that a caller task can step the driver's clock
// while the mixer waits for quiescence inside a run). A task that is running, sleeping or
// waiting for a critical section is not quiescent. Returns true when reached, false when
// timeoutMs (-1: no limit) ran out first. A task in a timed receive or host wait counts as
// blocked only until its timeout has passed; a deleted task only once its thread has ended.
// Called on a task, that task is never waited for.
// oneproc: the timeout is virtual time; a task blocked in RtkWaitUntil (while its predicate does
// not hold) or in RtkWaitQuiescent also counts as quiescent (it waits for the others, as the host
// does).
bool RtkWaitQuiescent(RtkTaskId except, int32_t timeoutMs);

// ---- Waits of platform code (the simulated driver) and of the host ----

// Waits until ready(context) returns true, or timeoutMs (-1: no limit) ran out; returns
// ready's last answer. For code outside the kernel that must wait for a condition of its own,
// on a task or on the host thread. ready must not block and must not make kernel calls other
// than RtkEventPending, RtkTaskExists and RtkCurrentTask.
// threads: ready is polled every millisecond.
// oneproc: a kernel wait; ready is asked again at every scheduling decision; the timeout is
// virtual; a deleted task ends here as at any kernel call.
bool RtkWaitUntil(bool (*ready)(void* context), void* context, int32_t timeoutMs);

// A host wait: how platform code that blocks on a task's behalf (the simulated driver's write)
// or on the host thread waits for a condition of its own, blocked rather than polling. The
// waiter says what ends its wait; whoever changes what its condition reads calls RtkHostWake
// afterwards. Any one of these ends the wait:
struct RtkHostWaitFor {
    // The waiter's own condition (null: none). It must not block and must make no kernel call;
    // it may take the caller's own locks, which RtkHostWake's callers therefore release first.
    bool (*ready)(void* context) = nullptr;
    void* context = nullptr;
    // A code sharing a bit with this is pending for the calling task (0: none; ignored on a
    // thread that is not a task). The code stays pending, for the task's own receive.
    uint16_t events = 0;
    // Every task but the caller and `except` is quiescent, as RtkWaitQuiescent judges it.
    bool quiescent = false;
    RtkTaskId except = 0;
};
enum class RtkHostWoken : uint8_t {
    Ready,      // ready(context) held
    Event,      // a code in `events` is pending (and ready did not hold)
    Quiescent,  // the others are quiescent (and neither of the above)
    TimedOut,   // none of them by the bound
};
// Blocks the calling task or host thread until what `what` names holds, or timeoutMs (-1: no
// limit) ran out, and says which (asked in that order). ready is asked on entry and again after
// every RtkHostWake; the events and quiescence are the kernel's own, seen as soon as they change.
// A deleted task ends here as at any kernel call. While blocked, a task counts as quiescent for
// RtkWaitQuiescent until something wakes it (a ready that holds, a code in `events`; with
// `quiescent`, it waits for the others as the host does).
// threads: the timeout is the host's clock; a wake reaches every waiter, which asks its ready.
// oneproc: the timeout is virtual; ready is asked at every scheduling decision, so a change is
// seen at the next kernel call of whoever runs (RtkHostWake itself makes no decision); every
// call is a preemption place.
RtkHostWoken RtkHostWait(const RtkHostWaitFor& what, int32_t timeoutMs);
// Tells every host wait that a condition may have changed. From a task or any host thread, after
// the change is published and with no lock held that a ready takes.
void RtkHostWake();

// The host thread lets time pass without counting a sleep: threads sleeps the host thread;
// oneproc advances the virtual clock by that much, running every task that falls due.
void RtkIdle(uint32_t microseconds);

// Microseconds on the kernel's clock: threads, the host's monotonic clock; oneproc, the virtual
// clock (0 at start-up; it never goes back).
uint64_t RtkNowUsec();

// Runs body(argument) on a new task of that name and priority, and returns once body has
// returned (the host waits as RtkWaitUntil waits). Returns RtkCreateTask's or RtkResumeTask's
// failure, with body not run, or RTK_OK. body must not delete its own task.
int32_t RtkRunAsTask(const char* name, uint16_t priority, void (*body)(void*), void* argument);

}  // namespace kx
