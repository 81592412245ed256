// Kernel services the module runs on: tasks, 16-bit task events, critical sections and sleep.
// Results are 0 for success; every failure is non-zero in its low 16 bits.
//
// Two kernels stand behind these calls, chosen at start-up (RtkSelectKernel, or the KX_KERNEL
// environment variable: "threads" or "oneproc"); docs/kernels.md compares them.
// - threads (platform/kernel/threads/, the default): every task is a host thread, on as many
//   processors as the host gives; time is the host's. Real-time playback and devices use it.
// - oneproc (platform/kernel/oneproc/): every task is a coroutine on the one host thread that
//   uses the kernel, scheduled as the target schedules: the highest-priority ready task runs,
//   equal priorities in turn, and a task runs until it blocks, ends or a higher one becomes
//   ready. Time is virtual: no time passes while code runs (but in RtkBusyUsec); sleeps and
//   timeouts end when the virtual clock reaches them, and when nothing is ready the clock jumps
//   to the next of them.
//   The host thread is the lowest context of all: its calls that make a task ready run that
//   task before they return, and its waits let the tasks run.
// Where the contracts below differ between the two, the text says "oneproc:".
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
// (a host thread has its own stack; oneproc gives every task a stack of its own size, large
// enough for host library calls); the task is created suspended whatever they hold.
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
// deleted while it sleeps ends at once. oneproc: the sleep ends when the virtual clock reaches
// its end; on the host thread it lets the tasks run meanwhile.
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

// Holds the processor for that many microseconds, as a task that computes: no kernel wait, no
// sleep counted. A task deleted meanwhile ends at the call's start or end.
// threads: a busy loop on the host's clock (the other tasks go on running on other processors).
// oneproc: the virtual clock advances while the caller runs. A context of higher priority whose
// wake-up falls due within the span (a sleep's end, a timeout) preempts the caller at that
// moment; the rest of the span runs only when the caller is again the highest ready context.
// Lower contexts that fall due meanwhile become ready then, and run after it.
void RtkBusyUsec(uint32_t microseconds);

// ---- Host controls and observations (host program and tests only) ----

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

// Waits until every task except `except` is quiescent: suspended (never resumed), ended, or
// blocked in RtkReceiveTaskEvent with no pending code that its mask selects. A task that is
// running, sleeping or waiting for a critical section is not quiescent. Returns true when
// reached, false when timeoutMs (-1: no limit) ran out first. A task in a timed receive counts
// as blocked only until its timeout has passed; a deleted task only once its thread has ended.
// Called on a task, that task is never waited for.
// oneproc: the timeout is virtual time; a task blocked in RtkWaitUntil (while its predicate does
// not hold) or in RtkWaitQuiescent also counts as quiescent (it waits for the others, as the host
// does), so that a caller task can step the driver's clock while the mixer waits for quiescence
// inside a run.
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

// The host thread lets time pass without counting a sleep: threads sleeps the host thread;
// oneproc advances the virtual clock by that much, running every task that falls due.
void RtkIdle(uint32_t microseconds);

// Microseconds on the kernel's clock: threads, the host's monotonic clock; oneproc, the virtual
// clock (0 at start-up; it never goes back).
uint64_t RtkNowUsec();

// A place where a task may be preempted: called at every access to a byte that two tasks share
// without a lock (the byte queues' indices, the module's shared bytes). threads: nothing.
// oneproc: a pending higher-priority wake-up may take effect here when an explored schedule
// (RtkExplore) chooses this place.
void RtkPreemptionPoint();

// oneproc only: explored schedules. A preemption place (every kernel call made by a task and
// every RtkPreemptionPoint) counts when a task of higher priority than the caller is asleep
// (RtkSleepTaskUsec). From this call on, `preemptions` of the next `places` such places, chosen
// from seed, end the earliest of those sleeps there (the virtual clock jumps to its deadline) and
// that task preempts the caller: a caller task's next command, or a periodic task's period, cuts
// into the loader's pass. Bounded waits are never ended early. seed 0 turns exploring off; a
// seed with preemptions 0 only counts places. The same seed over the same run gives the same
// schedule.
void RtkExplore(uint64_t seed, uint32_t preemptions, uint64_t places);
uint64_t RtkExplorePreemptions();  // chosen places that brought a wake-up forward
uint64_t RtkExplorePlaces();       // preemption places passed since RtkExplore

// Runs body(argument) on a new task of that name and priority, and returns once body has
// returned (the host waits as RtkWaitUntil waits). Returns RtkCreateTask's or RtkResumeTask's
// failure, with body not run, or RTK_OK. body must not delete its own task.
int32_t RtkRunAsTask(const char* name, uint16_t priority, void (*body)(void*), void* argument);

// ---- The choice of kernel ----

enum class RtkKernel : uint8_t { Threads, OneProcessor };
// Chooses the kernel behind every call from now on. Only while no task of either kernel
// exists: false (and nothing changed) otherwise.
bool RtkSelectKernel(RtkKernel kernel);
RtkKernel RtkSelectedKernel();
const char* RtkKernelName(RtkKernel kernel);                // "threads" or "oneproc"
bool RtkKernelByName(const char* name, RtkKernel* kernel);  // false for any other name

}  // namespace kx
