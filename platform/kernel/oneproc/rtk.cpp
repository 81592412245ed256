// The one-processor kernel: every task is a coroutine (fiber.h) on the one host thread that
// uses the kernel, and the host thread itself is the lowest context of all. The scheduler picks
// the highest-priority ready context, equal priorities in the order they became ready; the
// context that runs keeps the processor until it blocks, ends, or makes a higher one ready.
// Time is a virtual clock that moves only when nothing is ready, to the next deadline. All state
// below belongs to that one thread, so none of it is locked; a call from any other thread is a
// misuse that the kernel reports and stops on.
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/fault.h"
#include "platform/kernel/kernels.h"
#include "platform/kernel/oneproc/explore.h"
#include "platform/kernel/oneproc/fiber.h"
#include "platform/kernel/pending.h"

namespace kx {
namespace oneproc {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kStackBytes = 1024 * 1024;  // the sanitizer's frames are large
#else
constexpr size_t kStackBytes = 256 * 1024;
#endif
constexpr int kHostPriority = -1;  // below every task (task priorities are 0..65535)

// Thrown into a deleted task at its next kernel call; only the task's trampoline catches it.
struct TaskUnwind {};

enum class Wait : uint8_t {
    None,        // ready, or running
    Receive,     // an event its mask selects
    Sleep,       // its deadline
    Section,     // a critical section to be left
    Condition,   // RtkWaitUntil's predicate
    Quiescence,  // every other task quiescent
};

struct Task {
    RtkTaskId id = 0;  // 0: the host thread
    std::string name;
    int priority = kHostPriority;
    RtkTaskEntry entry = nullptr;
    void* argument = nullptr;
    Fiber fiber;
    bool resumed = false;
    bool finished = false;  // its entry has returned or unwound
    bool deleted = false;   // its id names it no more; it ends at its next kernel call
    bool ready = false;
    uint64_t readySince = 0;  // order among equal priorities: the earliest ready runs first
    Wait wait = Wait::None;
    uint16_t mask = 0;
    bool timed = false;
    uint64_t deadline = 0;
    bool timedOut = false;
    RtkHandle section = 0;
    bool (*condition)(void*) = nullptr;
    void* conditionContext = nullptr;
    RtkTaskId except = 0;
    PendingCodes pending;
    RtkSectionWait longestWait = {};  // its longest wait for a critical section
};

struct Section {
    std::string name;
    Task* owner = nullptr;
};

struct Kernel {
    Task host;
    Task* current = &host;
    std::vector<Task*> tasks;  // every task not yet reaped, in creation order
    std::vector<Task*> ended;  // finished tasks whose stacks wait to be released
    std::map<RtkHandle, Section> sections;
    RtkTaskId nextTask = 1;
    RtkHandle nextSection = 1;
    uint64_t now = 0;  // the virtual clock, microseconds
    uint64_t readySerial = 0;
    uint64_t sleeps = 0;
    uint64_t dropped = 0;
    uint32_t sleepScale = 100;
    std::thread::id thread{};  // the one host thread that uses this kernel
    bool threadKnown = false;
};

Kernel* makeKernel() {
    auto* k = new Kernel;
    k->host.ready = true;  // the host thread runs when it first calls
    return k;
}

Kernel& kernel() {
    static Kernel* instance = makeKernel();  // never destroyed: tasks may be left at exit
    return *instance;
}

[[noreturn]] void misuse(const char* what) {
    std::fprintf(stderr, "rtk oneproc: %s\n", what);
    std::abort();
}

// Every call starts here: the kernel belongs to the first thread that called it.
Kernel& enter() {
    Kernel& k = kernel();
    if (!k.threadKnown) {
        k.thread = std::this_thread::get_id();
        k.threadKnown = true;
    } else if (k.thread != std::this_thread::get_id()) {
        misuse("called from a second host thread; this kernel runs on one");
    }
    return k;
}

Task* findTask(Kernel& k, RtkTaskId id) {
    if (id == 0)
        return nullptr;
    for (Task* t : k.tasks) {
        if (t->id == id && !t->deleted && !t->finished)
            return t;
    }
    return nullptr;
}

void makeReady(Kernel& k, Task* t) {
    if (t->ready)
        return;
    t->ready = true;
    t->readySince = ++k.readySerial;
    t->wait = Wait::None;
}

// Cannot run before something else happens: suspended, ended, blocked in a receive with
// nothing pending for it, waiting on a predicate that does not hold yet (RtkWaitUntil), or
// itself waiting on others (RtkWaitQuiescent). A predicate that holds (an exit event sent to a
// write that waits for a step) makes the task as good as ready.
bool quiescent(const Task* t) {
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
            return true;
        default:
            return false;
    }
}

bool othersQuiescent(const Kernel& k, const Task* self, RtkTaskId except) {
    for (const Task* t : k.tasks) {
        if (t == self || (except != 0 && t->id == except))
            continue;
        if (!quiescent(t))
            return false;
    }
    return true;
}

// Waits whose condition may have come true without an event: the platform's predicates and
// quiescence. Asked at every scheduling decision, in a fixed order.
void wakeConditions(Kernel& k) {
    auto look = [&k](Task* t) {
        if (t->ready)
            return;
        if (t->wait == Wait::Condition && t->condition(t->conditionContext))
            makeReady(k, t);
        else if (t->wait == Wait::Quiescence && othersQuiescent(k, t, t->except))
            makeReady(k, t);
    };
    for (Task* t : k.tasks)
        look(t);
    look(&k.host);
}

Task* highestReady(Kernel& k) {
    Task* best = nullptr;
    auto consider = [&best](Task* t) {
        if (!t->ready)
            return;
        if (best == nullptr || t->priority > best->priority ||
            (t->priority == best->priority && t->readySince < best->readySince))
            best = t;
    };
    for (Task* t : k.tasks)
        consider(t);
    consider(&k.host);
    return best;
}

// Nothing is ready: the clock moves to the earliest deadline and every wait due by then ends.
bool advanceClock(Kernel& k) {
    bool any = false;
    uint64_t next = 0;
    auto earliest = [&](const Task* t) {
        if (!t->ready && t->timed && t->wait != Wait::None && (!any || t->deadline < next)) {
            next = t->deadline;
            any = true;
        }
    };
    for (const Task* t : k.tasks)
        earliest(t);
    earliest(&k.host);
    if (!any)
        return false;
    k.now = std::max(k.now, next);
    auto due = [&](Task* t) {
        if (!t->ready && t->timed && t->wait != Wait::None && t->deadline <= k.now) {
            t->timedOut = true;
            makeReady(k, t);
        }
    };
    for (Task* t : k.tasks)
        due(t);
    due(&k.host);
    return true;
}

[[noreturn]] void deadlock(Kernel& k) {
    std::fprintf(stderr, "rtk oneproc: deadlock at %llu us: nothing is ready and nothing is due\n",
                 static_cast<unsigned long long>(k.now));
    auto show = [](const Task* t) {
        static const char* const waits[] = {"none",    "receive",   "sleep",
                                            "section", "condition", "quiescence"};
        std::fprintf(stderr, "  %s (id %u, priority %d): waits for %s\n",
                     t->id == 0 ? "host" : t->name.c_str(), t->id, t->priority,
                     waits[static_cast<int>(t->wait)]);
    };
    show(&k.host);
    for (const Task* t : k.tasks) {
        if (t->resumed && !t->finished)
            show(t);
    }
    std::abort();
}

void releaseEnded(Kernel& k) {
    for (Task* t : k.ended) {
        if (t != k.current) {
            fiberRelease(&t->fiber);
            delete t;
        }
    }
    k.ended.erase(
        std::remove_if(k.ended.begin(), k.ended.end(), [&k](Task* t) { return t != k.current; }),
        k.ended.end());
}

void unwindIfDeleted(Kernel& k) {
    if (k.current != &k.host && k.current->deleted && !k.current->finished)
        throw TaskUnwind{};
}

// The one scheduling decision: runs the highest ready context (the caller keeps running if it
// is that one). Returns on the caller's context once it is chosen again; a deleted task then
// unwinds.
void schedule(Kernel& k) {
    for (;;) {
        wakeConditions(k);
        Task* next = highestReady(k);
        if (next == nullptr) {
            if (!advanceClock(k))
                deadlock(k);
            continue;
        }
        if (next != k.current) {
            Task* self = k.current;
            k.current = next;
            fiberSwitch(&self->fiber, &next->fiber, self->finished);
            releaseEnded(k);
        }
        break;
    }
    unwindIfDeleted(k);
}

// The calling context waits in state `wait` until made ready again.
void block(Kernel& k, Wait wait, int64_t timeoutUs) {
    Task* self = k.current;
    self->ready = false;
    self->wait = wait;
    self->timed = timeoutUs >= 0;
    self->deadline = self->timed ? k.now + static_cast<uint64_t>(timeoutUs) : 0;
    self->timedOut = false;
    schedule(k);
    self->timed = false;
}

// A place where the explorer may let a pending wake-up preempt the caller.
// Only places where a preemption can happen count, so every chosen place preempts.
void preemptionPlace(Kernel& k) {
    if (!exploring() || k.current == &k.host)
        return;
    // The earliest pending sleep of a higher context ends now. Only sleeps: they are the timers
    // (a caller between commands, a periodic task); the bound of a wait is a failure's deadline,
    // and ending it early would report a timeout that no amount of waiting brings.
    Task* first = nullptr;
    for (Task* t : k.tasks) {
        if (!t->ready && t->timed && t->wait == Wait::Sleep && t->priority > k.current->priority &&
            (first == nullptr || t->deadline < first->deadline))
            first = t;
    }
    if (first == nullptr || !explorePreemptHere())
        return;
    k.now = std::max(k.now, first->deadline);
    first->timedOut = true;
    makeReady(k, first);
    exploreNotePreemption();
    schedule(k);
}

// Runs on a task's own stack: the entry, then the end. The unwind of a deletion stops here.
void trampoline() {
    Kernel& k = kernel();
    Task* self = k.current;
    if (!self->deleted) {
        try {
            self->entry(self->argument);
        } catch (const TaskUnwind&) {
            // Deleted: the unwind has run the destructors of the entry's frames.
        }
    }
    self->finished = true;
    self->ready = false;
    self->wait = Wait::None;
    k.tasks.erase(std::find(k.tasks.begin(), k.tasks.end(), self));
    k.ended.push_back(self);
    schedule(k);  // never returns: nothing makes a finished task ready
    misuse("a finished task was run again");
}

// ---- Tasks ----

int32_t RtkCreateTask(const char* name, uint16_t priority, uint32_t stackSize, uint32_t options,
                      uint32_t mode, RtkTaskEntry entry, void* argument, RtkTaskId* id) {
    (void)stackSize;
    (void)options;
    (void)mode;
    if (id == nullptr)
        return RTK_ERR_PARAM;
    *id = 0;
    Kernel& k = enter();
    preemptionPlace(k);
    if (faultCheck(Fault::TaskCreate))
        return RTK_ERR_FAULT;
    if (entry == nullptr)
        return RTK_ERR_PARAM;
    Task* t = new (std::nothrow) Task;
    if (t == nullptr)
        return RTK_ERR_RESOURCE;
    try {
        t->name = name != nullptr ? name : "";
        k.tasks.push_back(t);
    } catch (const std::bad_alloc&) {
        delete t;
        return RTK_ERR_RESOURCE;
    }
    t->id = k.nextTask++;
    t->priority = priority;
    t->entry = entry;
    t->argument = argument;
    *id = t->id;
    return RTK_OK;
}

int32_t RtkResumeTask(RtkTaskId id) {
    Kernel& k = enter();
    preemptionPlace(k);
    if (faultCheck(Fault::TaskResume))
        return RTK_ERR_FAULT;
    Task* t = findTask(k, id);
    if (t == nullptr)
        return RTK_ERR_NO_TASK;
    if (t->resumed)
        return RTK_ERR_STATE;
    if (!fiberPrepare(&t->fiber, trampoline, kStackBytes))
        return RTK_ERR_RESOURCE;
    t->resumed = true;
    makeReady(k, t);
    schedule(k);
    return RTK_OK;
}

int32_t RtkDeleteTask(RtkTaskId id) {
    Kernel& k = enter();
    preemptionPlace(k);
    Task* self = k.current == &k.host ? nullptr : k.current;
    if (id == 0) {
        if (self == nullptr)
            return RTK_ERR_NO_TASK;
        id = self->id;
    }
    Task* t = findTask(k, id);
    if (t == nullptr)
        return RTK_ERR_NO_TASK;
    t->deleted = true;
    if (!t->resumed) {
        // Never ran: nothing on a stack of its own to unwind.
        t->finished = true;
        k.tasks.erase(std::find(k.tasks.begin(), k.tasks.end(), t));
        delete t;
        return RTK_OK;
    }
    if (t == self)
        return RTK_OK;  // the entry returns at once, or unwinds at its next kernel call
    // Blocked or preempted: it runs once more, to unwind where it stands.
    makeReady(k, t);
    schedule(k);
    return RTK_OK;
}

void RtkCheckDeleted() {
    Kernel& k = enter();
    preemptionPlace(k);
    unwindIfDeleted(k);
}

RtkTaskId RtkCurrentTask() {
    Kernel& k = enter();
    return k.current->id;
}

bool RtkTaskExists(RtkTaskId id) {
    return findTask(enter(), id) != nullptr;
}

uint16_t RtkTaskPriority(RtkTaskId id) {
    Task* t = findTask(enter(), id);
    return t != nullptr ? static_cast<uint16_t>(t->priority) : 0;
}

const char* RtkTaskName(RtkTaskId id) {
    Task* t = findTask(enter(), id);
    return t != nullptr ? t->name.c_str() : "";
}

int RtkThreadsAlive() {
    Kernel& k = enter();
    return static_cast<int>(k.tasks.size());
}

// ---- Task events ----

int32_t RtkSendTaskEvent(RtkTaskId id, uint16_t code) {
    Kernel& k = enter();
    preemptionPlace(k);
    if (code == 0)
        return RTK_ERR_PARAM;
    Task* t = findTask(k, id);
    if (t == nullptr)
        return RTK_ERR_NO_TASK;
    PendingAdd added = pendingAdd(&t->pending, code);
    if (added == PendingAdd::Merged)
        return RTK_OK;
    if (added == PendingAdd::Dropped) {
        ++k.dropped;
        return RTK_ERR_RESOURCE;
    }
    if (!t->ready && t->wait == Wait::Receive && (code & t->mask) != 0) {
        makeReady(k, t);
        schedule(k);
    }
    return RTK_OK;
}

int32_t RtkReceiveTaskEvent(uint32_t reserved0, uint16_t mask, uint32_t reserved2,
                            int32_t timeoutMs, uint16_t* code) {
    (void)reserved0;
    (void)reserved2;
    if (code == nullptr)
        return RTK_ERR_PARAM;
    *code = 0;
    Kernel& k = enter();
    if (k.current == &k.host)
        return RTK_ERR_NO_TASK;
    preemptionPlace(k);
    unwindIfDeleted(k);
    Task* self = k.current;
    if (pendingTake(&self->pending, mask, code))
        return RTK_OK;
    if (timeoutMs == 0)
        return RTK_ERR_TIMEOUT;
    self->mask = mask;
    block(k, Wait::Receive, timeoutMs > 0 ? int64_t{timeoutMs} * 1000 : -1);
    return pendingTake(&self->pending, mask, code) ? RTK_OK : RTK_ERR_TIMEOUT;
}

bool RtkEventPending(RtkTaskId id, uint16_t mask) {
    Task* t = findTask(enter(), id);
    return t != nullptr && pendingHas(t->pending, mask);
}

uint64_t RtkDroppedEvents() {
    return enter().dropped;
}

// ---- Sleep and time ----

int32_t RtkSleepTaskUsec(uint32_t microseconds) {
    Kernel& k = enter();
    preemptionPlace(k);
    unwindIfDeleted(k);
    ++k.sleeps;
    uint64_t scaled = uint64_t{microseconds} * k.sleepScale / 100;
    if (scaled != 0)
        block(k, Wait::Sleep, static_cast<int64_t>(scaled));
    return RTK_OK;
}

// The caller computes for `microseconds` of virtual time. The span is cut at each deadline that
// falls within it: every wait due by then ends (as advanceClock ends them), and when one of
// those contexts is above the caller it runs first; the rest of the span follows when the
// caller is chosen again.
void RtkBusyUsec(uint32_t microseconds) {
    Kernel& k = enter();
    preemptionPlace(k);
    unwindIfDeleted(k);
    Task* self = k.current;
    uint64_t left = microseconds;
    while (left > 0) {
        uint64_t end = k.now + left;
        bool any = false;
        uint64_t next = end;
        auto earliest = [&](const Task* t) {
            if (t != self && !t->ready && t->timed && t->wait != Wait::None && t->deadline < next) {
                next = t->deadline;
                any = true;
            }
        };
        for (const Task* t : k.tasks)
            earliest(t);
        earliest(&k.host);
        k.now = std::max(k.now, next);
        left = end - k.now;
        if (!any)
            break;
        bool preempted = false;
        auto due = [&](Task* t) {
            if (t != self && !t->ready && t->timed && t->wait != Wait::None &&
                t->deadline <= k.now) {
                t->timedOut = true;
                makeReady(k, t);
                preempted = preempted || t->priority > self->priority;
            }
        };
        for (Task* t : k.tasks)
            due(t);
        due(&k.host);
        if (preempted)
            schedule(k);  // the caller stays ready; it resumes here, and the clock may have moved
    }
    unwindIfDeleted(k);
}

void RtkIdle(uint32_t microseconds) {
    Kernel& k = enter();
    block(k, Wait::Sleep, microseconds);
}

uint64_t RtkNowUsec() {
    return enter().now;
}

uint64_t RtkSleepCount() {
    return enter().sleeps;
}

void RtkSetSleepScale(uint32_t percent) {
    enter().sleepScale = percent;
}

void RtkResetCounters() {
    Kernel& k = enter();
    k.sleeps = 0;
    k.dropped = 0;
    for (Task* t : k.tasks)
        t->longestWait = RtkSectionWait{};
}

void RtkSetRealtimeScheduling(bool) {}
void RtkSetSingleProcessor(bool) {}

// The byte queues may also be used by host threads with no task at all (their own tests): a
// place reached on a thread other than the kernel's is no place, not a misuse.
void RtkPreemptionPoint() {
    Kernel& k = kernel();
    if (k.threadKnown && k.thread == std::this_thread::get_id())
        preemptionPlace(k);
}

// ---- Waiting for others ----

bool RtkWaitQuiescent(RtkTaskId except, int32_t timeoutMs) {
    Kernel& k = enter();
    preemptionPlace(k);
    Task* self = k.current;
    // Ready tasks of lower priority must get the processor first: the caller waits.
    if (othersQuiescent(k, self, except))
        return true;
    self->except = except;
    block(k, Wait::Quiescence, timeoutMs >= 0 ? int64_t{timeoutMs} * 1000 : -1);
    return othersQuiescent(k, self, except);
}

bool RtkWaitUntil(bool (*ready)(void*), void* context, int32_t timeoutMs) {
    Kernel& k = enter();
    preemptionPlace(k);
    unwindIfDeleted(k);
    if (ready(context))
        return true;
    Task* self = k.current;
    self->condition = ready;
    self->conditionContext = context;
    block(k, Wait::Condition, timeoutMs >= 0 ? int64_t{timeoutMs} * 1000 : -1);
    self->condition = nullptr;
    return ready(context);
}

// ---- Critical sections ----

int32_t RtkCreateCriticalSection(const char* name, RtkHandle* handle) {
    if (handle == nullptr)
        return RTK_ERR_PARAM;
    *handle = 0;
    Kernel& k = enter();
    preemptionPlace(k);
    if (faultCheck(Fault::SectionCreate))
        return RTK_ERR_FAULT;
    try {
        RtkHandle h = k.nextSection;
        k.sections[h].name = name != nullptr ? name : "";
        ++k.nextSection;
        *handle = h;
    } catch (const std::bad_alloc&) {
        return RTK_ERR_RESOURCE;
    }
    return RTK_OK;
}

void copyName(char (&to)[RTK_NAME_MAX], const char* from) {
    std::strncpy(to, from, RTK_NAME_MAX - 1);
    to[RTK_NAME_MAX - 1] = 0;
}

// One enter's wait, kept on the waiter's stack until the enter returns.
struct WaitRecord {
    bool waited;
    uint64_t since;
    char section[RTK_NAME_MAX];
    char holder[RTK_NAME_MAX];
};

void noteWait(const Kernel& k, Task* self, const WaitRecord& w) {
    if (!w.waited || self == &k.host)
        return;
    uint64_t length = k.now - w.since;
    RtkSectionWait& longest = self->longestWait;
    if (longest.waits++ != 0 && length <= longest.microseconds)
        return;
    longest.microseconds = length;
    std::memcpy(longest.section, w.section, RTK_NAME_MAX);
    std::memcpy(longest.holder, w.holder, RTK_NAME_MAX);
}

bool RtkLongestSectionWait(RtkTaskId id, RtkSectionWait* wait) {
    if (wait == nullptr)
        return false;
    *wait = RtkSectionWait{};
    Kernel& k = enter();
    const Task* t = findTask(k, id == 0 ? k.current->id : id);
    if (t == nullptr)
        return false;
    *wait = t->longestWait;
    return true;
}

// Waiters for a section that is left or deleted become ready and look again.
void wakeSectionWaiters(Kernel& k, RtkHandle handle) {
    for (Task* t : k.tasks) {
        if (!t->ready && t->wait == Wait::Section && t->section == handle)
            makeReady(k, t);
    }
    if (!k.host.ready && k.host.wait == Wait::Section && k.host.section == handle)
        makeReady(k, &k.host);
}

int32_t RtkDeleteCriticalSection(RtkHandle handle) {
    Kernel& k = enter();
    preemptionPlace(k);
    auto it = k.sections.find(handle);
    if (it == k.sections.end())
        return RTK_ERR_PARAM;
    k.sections.erase(it);
    wakeSectionWaiters(k, handle);
    schedule(k);
    return RTK_OK;
}

int32_t RtkEnterCriticalSection(RtkHandle handle) {
    Kernel& k = enter();
    preemptionPlace(k);
    if (faultCheck(Fault::SectionEnter))
        return RTK_ERR_FAULT;
    unwindIfDeleted(k);
    Task* self = k.current;
    // Set when the enter first finds the section held: what it waits for, and since when.
    WaitRecord waited{};
    for (;;) {
        auto it = k.sections.find(handle);
        if (it == k.sections.end()) {
            noteWait(k, self, waited);
            return RTK_ERR_PARAM;
        }
        Section& section = it->second;
        if (section.owner == self)
            return RTK_ERR_STATE;  // not re-entrant
        if (section.owner == nullptr) {
            section.owner = self;
            noteWait(k, self, waited);
            return RTK_OK;
        }
        if (!waited.waited) {
            waited.waited = true;
            waited.since = k.now;
            copyName(waited.section, section.name.c_str());
            copyName(waited.holder, section.owner->name.c_str());
        }
        self->section = handle;
        block(k, Wait::Section, -1);
    }
}

int32_t RtkLeaveCriticalSection(RtkHandle handle) {
    Kernel& k = enter();
    preemptionPlace(k);
    auto it = k.sections.find(handle);
    if (it == k.sections.end())
        return RTK_ERR_PARAM;
    if (it->second.owner != k.current)
        return RTK_ERR_STATE;
    it->second.owner = nullptr;
    wakeSectionWaiters(k, handle);
    schedule(k);
    return RTK_OK;
}

int RtkSectionsAlive() {
    return static_cast<int>(enter().sections.size());
}

}  // namespace

}  // namespace oneproc

const RtkKernelOps rtkOneProcKernel = {
    "oneproc",
    oneproc::RtkCreateTask,
    oneproc::RtkResumeTask,
    oneproc::RtkDeleteTask,
    oneproc::RtkCheckDeleted,
    oneproc::RtkSendTaskEvent,
    oneproc::RtkReceiveTaskEvent,
    oneproc::RtkSleepTaskUsec,
    oneproc::RtkCreateCriticalSection,
    oneproc::RtkDeleteCriticalSection,
    oneproc::RtkEnterCriticalSection,
    oneproc::RtkLeaveCriticalSection,
    oneproc::RtkSetRealtimeScheduling,
    oneproc::RtkSetSingleProcessor,
    oneproc::RtkSetSleepScale,
    oneproc::RtkSleepCount,
    oneproc::RtkDroppedEvents,
    oneproc::RtkResetCounters,
    oneproc::RtkCurrentTask,
    oneproc::RtkTaskExists,
    oneproc::RtkTaskPriority,
    oneproc::RtkTaskName,
    oneproc::RtkEventPending,
    oneproc::RtkThreadsAlive,
    oneproc::RtkSectionsAlive,
    oneproc::RtkWaitQuiescent,
    oneproc::RtkWaitUntil,
    oneproc::RtkIdle,
    oneproc::RtkNowUsec,
    oneproc::RtkPreemptionPoint,
    oneproc::RtkBusyUsec,
    oneproc::RtkLongestSectionWait,
};

}  // namespace kx
