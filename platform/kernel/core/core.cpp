// SPDX-License-Identifier: Apache-2.0
// The scheduler core (core.h): the task list, readiness, the one scheduling decision, blocking,
// deadlines and preemption places. State belongs to the one processor; what an interrupt may
// touch (readiness, the touched flag) changes with the home's interrupts off.
#include "platform/kernel/core/core.h"
#include "platform/kernel/rtk_types.h"

namespace kx::core {
namespace {

// Interrupts off for the scope of one change to what an interrupt handler may also change.
class InterruptsOff {
  public:
    InterruptsOff() : state_(homeInterruptsOff()) {}
    ~InterruptsOff() { homeInterruptsRestore(state_); }
    InterruptsOff(const InterruptsOff&) = delete;
    InterruptsOff& operator=(const InterruptsOff&) = delete;

  private:
    uint32_t state_;
};

void makeReadyLocked(Core& core, Context* t) {
    if (t->ready)
        return;
    if (t->wait == Wait::Section)
        core.stale = true;  // it no longer lends its priority to the section's holder
    t->ready = true;
    t->readySince = ++core.readySerial;
    t->wait = Wait::None;
}

bool waitsTimed(const Context* t) {
    return !t->ready && t->timed && t->wait != Wait::None;
}

// A quiescence wait may name a condition of the home's that also ends it.
bool quiescenceCut(const Context* t) {
    return t->condition != nullptr && t->condition(t->conditionContext);
}

// Waits whose condition may have come true without an event: the home's predicates and
// quiescence. Asked at every scheduling decision, in a fixed order.
void wakeConditions(Core& core) {
    core.touched = false;
    forEachContext(core, [&core](Context* t) {
        if (t->ready)
            return;
        if ((t->wait == Wait::Condition && t->condition(t->conditionContext)) ||
            (t->wait == Wait::Quiescence &&
             (quiescenceCut(t) || coreOthersQuiescent(core, t, t->except))))
            coreMakeReady(core, t);
    });
}

Context* highestReady(Core& core) {
    Context* best = nullptr;
    forEachContext(core, [&best](Context* t) {
        if (!t->ready)
            return;
        if (best == nullptr || t->effective > best->effective ||
            (t->effective == best->effective && t->readySince < best->readySince))
            best = t;
    });
    return best;
}

}  // namespace

void coreInit(Core& core, Context* host) {
    host->id = 0;
    host->priority = kHostPriority;
    host->effective = kHostPriority;
    host->ready = true;  // the home's context runs when it first calls
    core.host = host;
    core.current = host;
}

void coreAddTask(Core& core, Context* task) {
    task->id = core.nextTask++;
    task->effective = task->priority;
    task->next = nullptr;
    Context** end = &core.tasks;
    while (*end != nullptr)
        end = &(*end)->next;
    *end = task;
}

Context* coreFindTask(Core& core, RtkTaskId id) {
    if (id == 0)
        return nullptr;
    for (Context* t = core.tasks; t != nullptr; t = t->next) {
        if (t->id == id && !t->deleted && !t->finished)
            return t;
    }
    return nullptr;
}

void coreRemoveTask(Core& core, Context* task) {
    for (Context** at = &core.tasks; *at != nullptr; at = &(*at)->next) {
        if (*at == task) {
            *at = task->next;
            task->next = nullptr;
            return;
        }
    }
}

int coreTaskCount(const Core& core) {
    int n = 0;
    for (const Context* t = core.tasks; t != nullptr; t = t->next)
        ++n;
    return n;
}

void coreResume(Core& core, Context* task) {
    task->resumed = true;
    coreMakeReady(core, task);
    coreSchedule(core);
}

void coreFinish(Core& core) {
    Context* self = core.current;
    {
        InterruptsOff off;
        self->finished = true;
        self->ready = false;
        self->wait = Wait::None;
    }
    // Its record is the home's to free: a section it still holds stays held, by no context.
    for (Section* s = core.sections; s != nullptr; s = s->next) {
        if (s->owner == self) {
            s->owner = nullptr;
            s->abandoned = true;
        }
    }
    coreRemoveTask(core, self);
    coreSchedule(core);  // nothing makes a finished context ready again
    __builtin_trap();
}

void coreMakeReady(Core& core, Context* context) {
    InterruptsOff off;
    makeReadyLocked(core, context);
}

void coreSchedule(Core& core) {
    for (;;) {
        wakeConditions(core);
        if (core.stale)
            coreUpdatePriorities(core);
        Context* next;
        {
            InterruptsOff off;
            next = highestReady(core);
            if (next == nullptr) {
                uint64_t deadline = 0;
                bool timed = coreEarliestDeadline(core, nullptr, &deadline);
                homeIdle(core, timed, deadline);
            }
        }
        if (next == nullptr) {
            coreWakeDue(core, homeNow(core), nullptr);
            continue;
        }
        if (next != core.current) {
            Context* self = core.current;
            core.current = next;
            homeSwitch(core, self, next);
        }
        break;
    }
    homeDecided(core);
}

void coreBlock(Core& core, Wait wait, int64_t timeoutUs) {
    Context* self = core.current;
    {
        InterruptsOff off;
        self->ready = false;
        self->wait = wait;
        self->timed = timeoutUs >= 0;
        self->deadline = self->timed ? homeNow(core) + static_cast<uint64_t>(timeoutUs) : 0;
        self->timedOut = false;
    }
    coreSchedule(core);
    self->timed = false;
}

// Cannot run before something else happens: suspended, ended, blocked in a receive with
// nothing pending for it, waiting on a predicate that does not hold yet, or itself waiting on
// others. A predicate that holds (an exit event sent to a write that waits for a step) makes
// the task as good as ready.
bool coreQuiescent(const Context* t) {
    if (t->finished || !t->resumed)
        return true;
    if (t->ready || t->deleted)
        return false;
    switch (t->wait) {
        case Wait::Receive:
            return !pendingHas(t->pending, t->mask);
        case Wait::Condition:
            return !t->condition(t->conditionContext);
        case Wait::Quiescence:
            return !quiescenceCut(t);  // it waits for the others, as the host does
        default:
            return false;
    }
}

bool coreOthersQuiescent(Core& core, const Context* self, RtkTaskId except) {
    for (const Context* t = core.tasks; t != nullptr; t = t->next) {
        if (t == self || (except != 0 && t->id == except))
            continue;
        if (!coreQuiescent(t))
            return false;
    }
    return true;
}

bool coreEarliestDeadline(Core& core, const Context* skip, uint64_t* deadline) {
    bool any = false;
    forEachContext(core, [&](const Context* t) {
        if (t != skip && waitsTimed(t) && (!any || t->deadline < *deadline)) {
            *deadline = t->deadline;
            any = true;
        }
    });
    return any;
}

int coreWakeDue(Core& core, uint64_t now, const Context* skip) {
    int highest = kHostPriority - 1;
    InterruptsOff off;
    forEachContext(core, [&](Context* t) {
        if (t != skip && waitsTimed(t) && t->deadline <= now) {
            t->timedOut = true;
            makeReadyLocked(core, t);
            if (t->effective > highest)
                highest = t->effective;
        }
    });
    return highest;
}

// Only sleeps are brought forward: they are the timers (a caller between commands, a periodic
// task); the bound of a wait is a failure's deadline, and ending it early would report a
// timeout that no amount of waiting brings.
void corePreemptionPlace(Core& core) {
    Context* self = core.current;
    if (self == core.host)
        return;
    Context* first = nullptr;
    for (Context* t = core.tasks; t != nullptr; t = t->next) {
        if (!t->ready && t->timed && t->wait == Wait::Sleep && t->effective > self->effective &&
            (first == nullptr || t->deadline < first->deadline))
            first = t;
    }
    if (first == nullptr || !homeBringForward(core, first))
        return;
    {
        InterruptsOff off;
        first->timedOut = true;
        makeReadyLocked(core, first);
    }
    coreSchedule(core);
}

void coreWakeFromInterrupt(Core& core, Context* context) {
    InterruptsOff off;
    if (context->resumed && !context->finished && !context->ready)
        makeReadyLocked(core, context);
    core.touched = true;
}

void coreTouchFromInterrupt(Core& core) {
    core.touched = true;
}

bool coreSwitchWanted(Core& core) {
    InterruptsOff off;
    if (core.touched)
        return true;
    Context* next = highestReady(core);
    return next != nullptr && next != core.current;
}

}  // namespace kx::core
