// Kernel services the module runs on: tasks, 16-bit task events, critical sections and sleep.
// Every task is a real host thread; the kernel's own bookkeeping is guarded by one kernel mutex.
// Results are 0 for success; every failure is non-zero in its low 16 bits.
#pragma once

#include <cstdint>

namespace kx {

using RtkTaskId = uint32_t;   // 0 names no task (or, for RtkDeleteTask, the caller)
using RtkHandle = uintptr_t;  // critical-section handle; 0 is never a valid handle
using RtkTaskEntry = void (*)(void* argument);

constexpr int32_t RTK_OK = 0;
constexpr int32_t RTK_ERR_PARAM = 0x0101;     // bad argument
constexpr int32_t RTK_ERR_NO_TASK = 0x0102;   // the id names no live task
constexpr int32_t RTK_ERR_STATE = 0x0103;     // e.g. resume of a task that already runs
constexpr int32_t RTK_ERR_RESOURCE = 0x0104;  // no thread, memory or handle could be had
constexpr int32_t RTK_ERR_FAULT = 0x0105;     // failure injected by a test (platform/fault.h)
constexpr int32_t RTK_ERR_TIMEOUT = 0x0106;   // a receive returned without a code

constexpr int32_t RTK_WAIT_FOREVER = -1;

// Creates a task that does not run until RtkResumeTask. The id is written before the call
// returns; ids are non-zero and never reused. stackSize, options and mode are recorded only
// (a host thread has its own stack); the task is created suspended whatever they hold.
// On failure *id is left 0 and nothing is created: RTK_ERR_PARAM (null id or entry),
// RTK_ERR_RESOURCE (no thread or memory), RTK_ERR_FAULT (injected).
int32_t RtkCreateTask(const char* name, uint16_t priority, uint32_t stackSize, uint32_t options,
                      uint32_t mode, RtkTaskEntry entry, void* argument, RtkTaskId* id);

// Lets a created task run its entry. RTK_ERR_STATE if it was resumed already, RTK_ERR_NO_TASK
// if the id names no task, RTK_ERR_FAULT when injected; the task then stays as it was.
int32_t RtkResumeTask(RtkTaskId id);

// id 0: ends the calling task. The call returns to the caller, which must return from its
// entry at once; the task counts as ended from this call on.
// id of a task never resumed: the task ends without running its entry; its thread is joined.
// id of a running task: the id stops naming a task at once (sends to it are dropped) and the
// thread is ended at its next kernel call (receive, sleep, critical-section enter or a driver
// write), by unwinding out of its entry. Critical sections it holds stay held, as on a kernel
// that deletes a task by force. Deleting an id that names no task returns RTK_ERR_NO_TASK.
// The unwind is a private exception that only the task's own trampoline catches, so code that
// runs on a task must let exceptions pass through (no catch (...) that swallows them, no
// noexcept function around a kernel call). A task that deleted itself (id 0, or its own id)
// and still makes a kernel call is unwound there too.
int32_t RtkDeleteTask(RtkTaskId id);

// Ends the calling task by the same unwind if it has been deleted; returns otherwise (also on
// a thread that is not a task). For code outside the kernel that blocks on a task's behalf,
// such as the simulated audio driver's write, so that it honours a deletion as a kernel call
// would.
void RtkCheckDeleted();

// Posts a 16-bit code to a task without blocking. A code already pending for that task is
// merged with the new send. At most RTK_PENDING_MAX distinct codes are kept pending per task;
// a further distinct code is dropped and counted (RtkDroppedEvents). Sending to an id that
// names no task does nothing and returns RTK_ERR_NO_TASK. A dropped code returns
// RTK_ERR_RESOURCE, code 0 (which no mask selects) RTK_ERR_PARAM; a merged send returns 0.
constexpr int RTK_PENDING_MAX = 16;
int32_t RtkSendTaskEvent(RtkTaskId id, uint16_t code);

// Receives one code sent to the calling task: the oldest pending code that shares at least one
// bit with mask (code & mask != 0). timeoutMs 0 returns at once, RTK_WAIT_FOREVER (-1) waits
// without limit, a positive value waits up to that many milliseconds. One return stores at most
// one code; a return without a code stores 0 and returns RTK_ERR_TIMEOUT. reserved0 and
// reserved2 are ignored; any negative timeout waits without limit.
// Called from a thread that is not a task, it returns RTK_ERR_NO_TASK and stores 0.
int32_t RtkReceiveTaskEvent(uint32_t reserved0, uint16_t mask, uint32_t reserved2,
                            int32_t timeoutMs, uint16_t* code);

// Sleeps the calling thread (task or not). Every call is counted (RtkSleepCount). A task
// deleted while it sleeps ends at once.
int32_t RtkSleepTaskUsec(uint32_t microseconds);

// Critical sections: not re-entrant, may be held across blocking calls. Create writes a
// non-zero handle and returns 0; on failure it returns non-zero and leaves *handle 0.
// Handles are never reused. A section is held by the thread that entered it: entering it again
// from that thread returns RTK_ERR_STATE instead of deadlocking, and so does leaving a section
// the caller does not hold. An unknown (or deleted) handle gives RTK_ERR_PARAM; deleting a
// section makes the enters waiting for it return RTK_ERR_PARAM.
int32_t RtkCreateCriticalSection(const char* name, RtkHandle* handle);
int32_t RtkDeleteCriticalSection(RtkHandle handle);
int32_t RtkEnterCriticalSection(RtkHandle handle);  // waits; 0 once held
int32_t RtkLeaveCriticalSection(RtkHandle handle);

// ---- Host controls and observations (host program and tests only) ----

// Priorities: numerically higher runs first, as the module's numbers intend (mixer 192 over
// loader 89). When enabled and the process may, tasks get SCHED_FIFO at
// 1 + priority * 98 / 255; where that is refused the task runs at normal priority, silently.
// Off by default: a real-time thread that spins can freeze a small machine. Applies to tasks
// created after the call. The calling thread (the host, which shares the kernel's and the
// driver's locks with the tasks) is raised to SCHED_FIFO priority 1, below every task, where
// allowed and unless it is real-time already; turning the mode off puts it back as it was.
void RtkSetRealtimeScheduling(bool enabled);
// Keeps every task created from now on, and the calling thread, on one processor (the one the
// caller runs on when the mode is turned on), as the target kernel runs all its tasks on one.
// Off by default; turning it off gives the calling thread back the processors it had.
void RtkSetSingleProcessor(bool enabled);
// Scales every sleep: percent 100 sleeps as asked, 0 returns at once (sleeps are still counted).
void RtkSetSleepScale(uint32_t percent);

uint64_t RtkSleepCount();     // sleeps since start or the last RtkResetCounters
uint64_t RtkDroppedEvents();  // codes dropped because a task's pending set was full
void RtkResetCounters();

// Which kernel this is, in one word ("threads": each task a host thread). Shown by the host
// programs' --version; never null.
const char* RtkKernelName();

// Id of the calling task, 0 on a thread that is not a task.
RtkTaskId RtkCurrentTask();
// Whether an id names a live task (created and not ended or deleted).
bool RtkTaskExists(RtkTaskId id);
// Priority recorded for a task, 0 if none.
uint16_t RtkTaskPriority(RtkTaskId id);
// Name recorded for a task ("" if none); valid until the task ends.
const char* RtkTaskName(RtkTaskId id);
// Whether a code sharing a bit with mask is pending for the task.
bool RtkEventPending(RtkTaskId id, uint16_t mask);

// Joins every thread whose task has ended and returns how many task threads still exist.
int RtkThreadsAlive();
// Number of critical sections created and not deleted.
int RtkSectionsAlive();

// Waits until every task except `except` is quiescent: suspended (never resumed), ended, or
// blocked in RtkReceiveTaskEvent with no pending code that its mask selects. A task that is
// running, sleeping or waiting for a critical section is not quiescent. Returns true when
// reached, false when timeoutMs (-1: no limit) ran out first. A task in a timed receive counts
// as blocked only until its timeout has passed; a deleted task only once its thread has ended.
// Called on a task, that task is never waited for.
bool RtkWaitQuiescent(RtkTaskId except, int32_t timeoutMs);

}  // namespace kx
