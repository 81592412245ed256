// SPDX-License-Identifier: Apache-2.0
// The single-processor scheduler core: task contexts, the ready order, blocking and waking, task
// events, critical sections, deadlines on the home's clock and preemption places. A home (the
// host's one-processor kernel in platform/kernel/oneproc/, or a bare-metal image) owns the
// records' memory, the clock, the context switch and how a deleted task ends, and provides the
// functions declared under "The home's obligations". The core is freestanding: no exceptions,
// no RTTI, no standard containers or strings, no allocation (every record is the home's), no
// host threads; the build compiles it alone with -ffreestanding -fno-exceptions -fno-rtti to keep
// it so.
//
// Locking: the core's state (every Core, Context and Section field) belongs to the one processor.
// Code that runs in a context changes it freely; an interrupt handler may only call the two
// functions marked "interrupt-safe", and the core changes the fields they touch (a context's
// ready state and the core's touched flag) with the home's interrupts off.
//
// Guarantees: the highest-priority ready context runs; equal priorities run in the order they
// became ready; a context runs until it blocks, ends, or makes a higher one ready, which then
// runs before the call that readied it returns. A context is ready again only through a wake
// (an event its mask selects, a section left or deleted, a condition that holds, its deadline,
// a wake from an interrupt).
//
// Priority inheritance (on unless the home turns it off, coreSetInheritance): a context that
// holds a section is scheduled at no less than the effective priority of every context blocked
// on that section, transitively along a chain of holders that themselves wait, until it leaves
// the section. So a higher context waits for a lower holder only as long as the holder's own
// work inside its sections, never for a context between the two. The priority the home gives a
// context (`priority`) never changes; the core schedules by `effective`.
#pragma once

#include <stdint.h>

#include "platform/kernel/pending.h"
#include "platform/kernel/rtk_types.h"

namespace kx::core {

constexpr int kHostPriority = -1;  // the home's own context: below every task (0..65535)

enum class Wait : uint8_t {
    None,        // ready, or running
    Receive,     // an event its mask selects
    Sleep,       // its deadline
    Section,     // a critical section to be left
    Condition,   // a predicate of the home's (RtkWaitUntil)
    Quiescence,  // every other task quiescent, or its condition (when it names one) holds
};

// One context: a task, or the home's own context (id 0, priority kHostPriority). The home
// derives its task record from it and allocates it; the core links it in and never frees it.
struct Context {
    Context* next = nullptr;  // the core's task list, in creation order
    RtkTaskId id = 0;
    int priority = kHostPriority;   // its own, as the home created it
    int effective = kHostPriority;  // what the core schedules by: priority, or a waiter's, lent
    bool resumed = false;
    bool finished = false;  // its entry has returned or it has been ended
    bool deleted = false;   // its id names it no more; the home ends it
    volatile bool ready = false;
    uint64_t readySince = 0;  // order among equal priorities: the earliest ready runs first
    Wait wait = Wait::None;
    uint16_t mask = 0;  // Receive: the codes it takes
    bool timed = false;
    uint64_t deadline = 0;  // on the home's clock, when timed
    bool timedOut = false;
    RtkHandle section = 0;               // Section: the one it waits for
    bool (*condition)(void*) = nullptr;  // Condition, and Quiescence if set: ready when it holds
    void* conditionContext = nullptr;
    RtkTaskId except = 0;  // Quiescence: the task not waited for
    PendingCodes pending;
};

// One critical section. The home derives its record (with a name, if it keeps one).
struct Section {
    Section* next = nullptr;
    RtkHandle handle = 0;
    Context* owner = nullptr;
    bool abandoned = false;  // its owner ended holding it: held for ever, by no context
};

struct Core {
    Context* host = nullptr;     // the home's context; set by coreInit
    Context* current = nullptr;  // the context that runs
    Context* tasks = nullptr;    // every task not yet finished, in creation order
    Section* sections = nullptr;
    RtkTaskId nextTask = 1;  // ids and handles are never reused
    RtkHandle nextSection = 1;
    uint64_t readySerial = 0;
    uint64_t dropped = 0;           // event codes dropped because a pending set was full
    volatile bool touched = false;  // an interrupt changed something a wait may look at
    bool inherit = true;            // sections lend their holder their waiters' priority
    volatile bool stale = false;    // a section wait began or ended: recompute `effective`
};

// ---- The home's obligations ----
// Defined once by the home; the core calls them and nothing else outside itself.

// The clock, in microseconds; it never goes back. (Host: a virtual clock. Metal: a hardware one.)
uint64_t homeNow(Core& core);
// Nothing is ready. `timed`: some wait ends at `deadline`, the earliest. The home lets time pass
// (a virtual clock jumps to the deadline; a machine halts until its timer or another interrupt)
// and returns; the core then ends every wait due by homeNow(). When nothing can ever become
// ready (not timed, and no interrupt can come), the home reports the deadlock and does not
// return. Called with interrupts off (homeInterruptsOff); it returns with them off, and a home
// that halts enables them and halts in one step, so no wake-up falls between.
void homeIdle(Core& core, bool timed, uint64_t deadline);
// Saves the running context `from` and runs `to` until something switches back to `from`.
// from->finished: `from` never runs again (its stack may be given back once `to` runs).
void homeSwitch(Core& core, Context* from, Context* to);
// Called at the end of every scheduling decision, on the context that was chosen. A home whose
// deleted tasks end by unwinding their stack (the host) does it here: the core keeps nothing on
// its stack across a decision that an unwind would leave half done. A home that never runs a
// deleted task again does nothing.
void homeDecided(Core& core);
// A preemption place found `sleeper`, the earliest sleep of a context above the caller. True:
// bring its end forward to now (the home sets its clock to the deadline when it is virtual);
// the core then ends the sleep and lets it preempt. False: leave it (a machine's interrupts do
// the preempting, so its home always answers false).
bool homeBringForward(Core& core, Context* sleeper);
// Interrupts off, returning what homeInterruptsRestore needs; a home without interrupts
// returns 0 and does nothing.
uint32_t homeInterruptsOff();
void homeInterruptsRestore(uint32_t state);

// ---- The core's calls (from a context; the current one is core.current) ----

// Makes `host` the running context. Call once before anything else.
void coreInit(Core& core, Context* host);

// Every context in a fixed order: the tasks in creation order, then the home's context.
template <typename F>
void forEachContext(Core& core, F f) {
    for (Context* t = core.tasks; t != nullptr; t = t->next)
        f(t);
    f(core.host);
}

// Tasks: gives the record an id and appends it, suspended, at its own priority. Finds a live
// task by id (null for 0, a deleted, finished or unknown id). Unlinks a task (finished or never
// resumed).
void coreAddTask(Core& core, Context* task);
Context* coreFindTask(Core& core, RtkTaskId id);
void coreRemoveTask(Core& core, Context* task);
int coreTaskCount(const Core& core);
// A resumed task becomes ready and runs if it is the highest.
void coreResume(Core& core, Context* task);
// The running task ends: it is unlinked and never chosen again. The home then frees its
// record once another context runs; this call switches away and does not return.
[[noreturn]] void coreFinish(Core& core);

// Readiness. coreMakeReady: ready now, after every context already ready at its priority.
void coreMakeReady(Core& core, Context* context);
// The one scheduling decision: runs the highest ready context (the caller keeps running if it
// is that one); returns on the caller's context once it is chosen again.
void coreSchedule(Core& core);
// The running context waits in `wait` until woken; timeoutUs < 0 waits without limit, else its
// deadline is homeNow() + timeoutUs and context->timedOut says whether that ended it.
void coreBlock(Core& core, Wait wait, int64_t timeoutUs);
// Whether a task counts as quiescent (suspended, ended, or waiting for nothing that is there),
// and whether every task but `self` and `except` does.
bool coreQuiescent(const Context* task);
bool coreOthersQuiescent(Core& core, const Context* self, RtkTaskId except);

// Deadlines. The earliest deadline of a timed wait among contexts other than `skip` (null: all);
// false when none. Then: ends every such wait due by `now` (timedOut set) and returns the
// highest priority among those it woke (kHostPriority - 1 when none).
bool coreEarliestDeadline(Core& core, const Context* skip, uint64_t* deadline);
int coreWakeDue(Core& core, uint64_t now, const Context* skip);

// A preemption place: a pending sleep of a higher context may end here (homeBringForward).
void corePreemptionPlace(Core& core);

// Events. Send: RTK_OK (added or merged; a receiver it selects runs if higher), RTK_ERR_RESOURCE
// (dropped and counted). Receive on the running task: RTK_OK with *code, or RTK_ERR_TIMEOUT with
// *code 0 (timeoutUs 0: at once; < 0: no limit).
int32_t coreSend(Core& core, Context* task, uint16_t code);
int32_t coreReceive(Core& core, uint16_t mask, int64_t timeoutUs, uint16_t* code);

// Sections. Add gives the record a handle; Find looks one up by handle; Remove unlinks it and
// wakes its waiters (their enters then fail), returning the record for the home to free.
void coreAddSection(Core& core, Section* section);
Section* coreFindSection(Core& core, RtkHandle handle);
Section* coreRemoveSection(Core& core, RtkHandle handle);
int coreSectionCount(const Core& core);
// One attempt to enter: Entered (now held by the caller), Unknown handle, Reentry (the caller
// holds it), or Held by another (*holder); on Held the caller may coreWaitForSection and try
// again.
enum class Enter : uint8_t { Entered, Unknown, Reentry, Held };
Enter coreTryEnter(Core& core, RtkHandle handle, Section** section);
void coreWaitForSection(Core& core, RtkHandle handle);
// RTK_OK, RTK_ERR_PARAM (unknown handle) or RTK_ERR_STATE (the caller does not hold it).
int32_t coreLeaveSection(Core& core, RtkHandle handle);
// Whether the running context holds the section.
bool coreHolds(Core& core, RtkHandle handle);

// Priority inheritance. Sets every context's `effective` from the sections' holders and waiters
// now (the decision does it whenever a section wait began or ended). Turning lending on or off
// takes effect at once, and the highest ready context then runs.
void coreUpdatePriorities(Core& core);
void coreSetInheritance(Core& core, bool enabled);

// ---- From an interrupt handler (interrupt-safe) ----

// Makes a blocked context ready (its wait ends as if woken). It runs at the next scheduling
// decision, which the home makes on the interrupt's way out or leaves to the next kernel call.
void coreWakeFromInterrupt(Core& core, Context* context);
// Something a Condition or Quiescence wait looks at has changed: the next decision asks again.
void coreTouchFromInterrupt(Core& core);
// Whether a decision would now run another context than the current one (for the home's
// interrupt exit).
bool coreSwitchWanted(Core& core);

}  // namespace kx::core
