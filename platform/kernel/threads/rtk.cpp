// The threaded kernel: tasks, 16-bit task events, critical sections and sleep over host threads.
// One kernel mutex guards every task record, pending set, section record and both registries;
// a blocked task waits on a condition variable under that mutex (its own, or a section's), so
// its "blocked" state and its pending codes are always read together. A deleted running task
// is ended by unwinding its thread at its next kernel call; only the task trampoline catches.
#include "platform/kernel/kernels.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/fault.h"
#include "platform/kernel/pending.h"

namespace kx {
namespace threads {
namespace {

using Clock = std::chrono::steady_clock;

// Thrown into a deleted task at its next kernel call. Private, so nothing outside this file can
// catch it by name; the trampoline that runs the task's entry is its only handler.
struct TaskUnwind {};

struct Task {
    RtkTaskId id = 0;
    std::string name;
    uint16_t priority = 0;
    uint32_t stackSize = 0;  // stackSize, options and mode are recorded only
    uint32_t options = 0;
    uint32_t mode = 0;
    RtkTaskEntry entry = nullptr;
    void* argument = nullptr;
    std::thread thread;  // set by the creator before the record is published, read by the joiner

    // Guarded by the kernel mutex.
    // Resume, a send its receive wants, deletion, sleep's end. Shared, so that a sender can
    // notify it after releasing the kernel mutex without the record being reaped meanwhile.
    std::shared_ptr<std::condition_variable> wake;
    std::condition_variable* waitingOn = nullptr;  // what it blocks on now; deletion notifies it
    bool resumed = false;
    bool finished = false;   // the trampoline has returned; only the join is left
    bool receiving = false;  // blocked in RtkReceiveTaskEvent
    uint16_t receiveMask = 0;
    bool receiveTimed = false;
    Clock::time_point receiveDeadline{};
    PendingCodes pending;

    // Set under the kernel mutex; also read without it by RtkCheckDeleted on the task itself.
    std::atomic<bool> deleted{false};  // the id names it no more; it ends at its next kernel call
};

struct Section {
    std::string name;
    bool held = false;
    bool deleted = false;
    uint64_t owner = 0;  // thread token of the holder (thread ids can be reused, tokens cannot)
    std::condition_variable freed;
};

struct Kernel {
    std::mutex mutex;
    std::condition_variable changed;            // a task became quiescent or finished
    std::unordered_map<RtkTaskId, Task*> live;  // the tasks that ids name
    std::vector<Task*> threads;                 // tasks whose thread is not joined yet
    std::unordered_map<RtkHandle, std::shared_ptr<Section>> sections;
    RtkTaskId nextTask = 1;
    RtkHandle nextSection = 1;
    bool realtime = false;
    bool singleProcessor = false;
    int cpu = -1;  // the processor tasks are kept on while singleProcessor
};

// Never destroyed: a task thread that outlives main (detached at exit, see KernelExit) may still
// make kernel calls, and must find the kernel intact.
Kernel& kernel() {
    static Kernel* instance = new Kernel;
    return *instance;
}

std::atomic<uint64_t> sleepCount{0};
std::atomic<uint64_t> droppedEvents{0};
std::atomic<uint32_t> sleepScale{100};
std::atomic<uint64_t> nextThreadToken{1};

thread_local Task* currentTask = nullptr;
thread_local uint64_t threadToken = 0;

uint64_t callerToken() {
    if (threadToken == 0)
        threadToken = nextThreadToken.fetch_add(1, std::memory_order_relaxed);
    return threadToken;
}

// Called at every kernel call a deleted task can make; never with a lock other than a
// unique_lock on the kernel mutex, which the unwind releases.
void unwindIfDeleted() {
    // Pairs with the store in markDeleted (made under the kernel mutex).
    if (currentTask != nullptr && currentTask->deleted.load(std::memory_order_acquire)) {
        throw TaskUnwind{};
    }
}

bool selfDeleted() {
    return currentTask != nullptr && currentTask->deleted.load(std::memory_order_relaxed);
}

// A task is quiescent when it cannot run before something else happens: never resumed,
// finished, or blocked in receive with nothing pending that its mask selects (and, for a timed
// receive, its deadline not passed yet). A deleted task still on its way out is not.
bool quiescent(const Task* t, Clock::time_point now) {
    if (t->finished || !t->resumed)
        return true;
    if (t->deleted.load(std::memory_order_relaxed) || !t->receiving)
        return false;
    if (t->receiveTimed && now >= t->receiveDeadline)
        return false;
    return !pendingHas(t->pending, t->receiveMask);
}

// Under the kernel mutex: the id stops naming the task and whatever it waits on is woken so
// that it unwinds now rather than at some later kernel call.
void markDeleted(Kernel& k, Task* t) {
    auto it = k.live.find(t->id);
    if (it != k.live.end() && it->second == t)
        k.live.erase(it);
    // Pairs with the acquire load in unwindIfDeleted on the task's own thread.
    t->deleted.store(true, std::memory_order_release);
    t->wake->notify_all();
    if (t->waitingOn != nullptr)
        t->waitingOn->notify_all();
}

// Takes every finished task out of the registry and joins its thread. Never called with the
// kernel mutex held (a join waits for a thread that may still be leaving it), and never on a
// thread that is finished itself, so no thread joins itself.
void reapFinished(Kernel& k) {
    std::vector<Task*> done;
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        std::vector<Task*> rest;
        for (Task* t : k.threads)
            (t->finished ? done : rest).push_back(t);
        k.threads.swap(rest);
    }
    for (Task* t : done) {
        t->thread.join();
        delete t;
    }
}

void pinToProcessor(pthread_t thread, int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    (void)pthread_setaffinity_np(thread, sizeof set, &set);  // refused: runs where it may
}

// The processor for single-processor mode: the one the caller runs on now, which the system
// chose for it (so that several programs in single-processor mode spread over the processors
// rather than all sharing the first), else the first this process may run on.
int chooseProcessor() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 0;
    int current = sched_getcpu();
    if (current >= 0 && current < CPU_SETSIZE && CPU_ISSET(current, &set))
        return current;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set))
            return cpu;
    }
    return 0;
}

// The body of every task thread: wait to be resumed (or deleted first), run the entry, and
// record the end. The unwind of a deleted task stops here.
void runTask(Task* t) {
    Kernel& k = kernel();
    currentTask = t;
    bool run;
    {
        std::unique_lock<std::mutex> lock(k.mutex);
        t->wake->wait(lock,
                      [t] { return t->resumed || t->deleted.load(std::memory_order_relaxed); });
        run = !t->deleted.load(std::memory_order_relaxed);
    }
    if (run) {
        try {
            t->entry(t->argument);
        } catch (const TaskUnwind&) {
            // Deleted while running: the unwind has released what the entry's frames held.
        }
    }
    std::lock_guard<std::mutex> lock(k.mutex);
    auto it = k.live.find(t->id);
    if (it != k.live.end() && it->second == t)
        k.live.erase(it);
    t->finished = true;  // after this the record belongs to whoever reaps it
    k.changed.notify_all();
}

// At process exit: every task left is deleted, which ends those blocked in (or next entering) a
// kernel call. Those that end within a bound are joined; a task stuck outside the kernel is
// detached and its record left alone, since the kernel it may still call is never destroyed.
struct KernelExit {
    KernelExit() { kernel(); }  // the kernel exists before, and so outlives, this object
    ~KernelExit() {
        Kernel& k = kernel();
        std::vector<Task*> all;
        {
            std::unique_lock<std::mutex> lock(k.mutex);
            for (Task* t : k.threads) {
                if (!t->finished && t != currentTask)
                    markDeleted(k, t);
            }
            k.changed.wait_for(lock, std::chrono::seconds(2), [&k] {
                for (const Task* t : k.threads) {
                    if (!t->finished && t != currentTask)
                        return false;
                }
                return true;
            });
            for (Task* t : k.threads) {
                if (t->finished) {
                    all.push_back(t);
                } else {
                    t->thread.detach();
                }
            }
            k.threads.clear();
        }
        for (Task* t : all) {
            t->thread.join();
            delete t;
        }
    }
};

KernelExit kernelExit;

}  // namespace

// ---- Tasks ----

int32_t RtkCreateTask(const char* name, uint16_t priority, uint32_t stackSize, uint32_t options,
                      uint32_t mode, RtkTaskEntry entry, void* argument, RtkTaskId* id) {
    if (id == nullptr)
        return RTK_ERR_PARAM;
    *id = 0;
    if (faultCheck(Fault::TaskCreate))
        return RTK_ERR_FAULT;
    if (entry == nullptr)
        return RTK_ERR_PARAM;
    Kernel& k = kernel();
    reapFinished(k);
    Task* t = new (std::nothrow) Task;
    if (t == nullptr)
        return RTK_ERR_RESOURCE;
    bool realtime;
    int cpu;
    try {
        t->wake = std::make_shared<std::condition_variable>();
        t->name = name != nullptr ? name : "";
        t->priority = priority;
        t->stackSize = stackSize;
        t->options = options;
        t->mode = mode;
        t->entry = entry;
        t->argument = argument;
        {
            std::lock_guard<std::mutex> lock(k.mutex);
            t->id = k.nextTask++;
            realtime = k.realtime;
            cpu = k.singleProcessor ? k.cpu : -1;
        }
        // The thread starts blocked on t->wake until resumed; it reads nothing the code below
        // writes except under the kernel mutex.
        t->thread = std::thread(runTask, t);
    } catch (const std::exception&) {  // std::system_error (no thread) or std::bad_alloc
        delete t;
        return RTK_ERR_RESOURCE;
    }
    if (realtime) {
        sched_param param{};
        param.sched_priority = 1 + priority * 98 / 255;
        (void)pthread_setschedparam(t->thread.native_handle(), SCHED_FIFO,
                                    &param);  // refused: normal
    }
    if (cpu >= 0)
        pinToProcessor(t->thread.native_handle(), cpu);
    // Published only now, with its thread set, so that no reaper can see a record without one.
    bool published = false;
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        try {
            k.threads.push_back(t);
            try {
                k.live.emplace(t->id, t);
                published = true;
            } catch (const std::bad_alloc&) {
                k.threads.pop_back();
            }
        } catch (const std::bad_alloc&) {
        }
        if (!published) {
            t->deleted.store(true, std::memory_order_release);  // leaves without its entry
            t->wake->notify_all();
        }
    }
    if (!published) {
        t->thread.join();
        delete t;
        return RTK_ERR_RESOURCE;
    }
    *id = t->id;
    return RTK_OK;
}

int32_t RtkResumeTask(RtkTaskId id) {
    if (faultCheck(Fault::TaskResume))
        return RTK_ERR_FAULT;
    Kernel& k = kernel();
    std::lock_guard<std::mutex> lock(k.mutex);
    auto it = k.live.find(id);
    if (it == k.live.end())
        return RTK_ERR_NO_TASK;
    Task* t = it->second;
    if (t->resumed)
        return RTK_ERR_STATE;
    t->resumed = true;
    t->wake->notify_all();
    return RTK_OK;
}

int32_t RtkDeleteTask(RtkTaskId id) {
    Kernel& k = kernel();
    Task* self = currentTask;
    if (id == 0) {
        if (self == nullptr)
            return RTK_ERR_NO_TASK;
        id = self->id;
    }
    Task* joinable = nullptr;
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        auto it = k.live.find(id);
        if (it == k.live.end())
            return RTK_ERR_NO_TASK;
        Task* t = it->second;
        markDeleted(k, t);
        // A task never resumed leaves its wait at once and never runs its entry, so its thread
        // can be joined here; claiming it keeps any other reaper away from it.
        if (!t->resumed) {
            for (auto& entry : k.threads) {
                if (entry == t) {
                    entry = k.threads.back();
                    k.threads.pop_back();
                    joinable = t;
                    break;
                }
            }
        }
    }
    if (joinable != nullptr) {
        joinable->thread.join();
        delete joinable;
    }
    // A running task (the caller itself included) ends at its next kernel call or by returning.
    if (self == nullptr || self->id != id)
        reapFinished(k);
    return RTK_OK;
}

RtkTaskId RtkCurrentTask() {
    return currentTask != nullptr ? currentTask->id : 0;
}

bool RtkTaskExists(RtkTaskId id) {
    Kernel& k = kernel();
    std::lock_guard<std::mutex> lock(k.mutex);
    return k.live.count(id) != 0;
}

uint16_t RtkTaskPriority(RtkTaskId id) {
    Kernel& k = kernel();
    std::lock_guard<std::mutex> lock(k.mutex);
    auto it = k.live.find(id);
    return it != k.live.end() ? it->second->priority : 0;
}

const char* RtkTaskName(RtkTaskId id) {
    Kernel& k = kernel();
    std::lock_guard<std::mutex> lock(k.mutex);
    auto it = k.live.find(id);
    // The record, and so the string, lives until the task's thread is reaped after it ends.
    return it != k.live.end() ? it->second->name.c_str() : "";
}

int RtkThreadsAlive() {
    Kernel& k = kernel();
    reapFinished(k);
    std::lock_guard<std::mutex> lock(k.mutex);
    return static_cast<int>(k.threads.size());
}

void RtkCheckDeleted() {
    unwindIfDeleted();
}

// ---- Task events ----

int32_t RtkSendTaskEvent(RtkTaskId id, uint16_t code) {
    if (code == 0)
        return RTK_ERR_PARAM;  // 0 is what a receive without a code stores
    Kernel& k = kernel();
    std::shared_ptr<std::condition_variable> receiver;
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        auto it = k.live.find(id);
        if (it == k.live.end())
            return RTK_ERR_NO_TASK;
        Task* t = it->second;
        // Appended under the mutex: from here on RtkWaitQuiescent sees a deliverable code, even
        // before the receiver has woken up to take it.
        PendingAdd added = pendingAdd(&t->pending, code);
        if (added == PendingAdd::Merged)
            return RTK_OK;  // one delivery for both sends
        if (added == PendingAdd::Dropped) {
            droppedEvents.fetch_add(1, std::memory_order_relaxed);
            return RTK_ERR_RESOURCE;
        }
        if (t->receiving && (code & t->receiveMask) != 0)
            receiver = t->wake;
    }
    // Woken after the mutex is released: a receiver woken while the sender still held it would
    // only block again on the mutex, which costs two more task switches on one processor. The
    // code was published under the mutex, so the receiver cannot miss it.
    if (receiver != nullptr)
        receiver->notify_all();
    return RTK_OK;
}

int32_t RtkReceiveTaskEvent(uint32_t reserved0, uint16_t mask, uint32_t reserved2,
                            int32_t timeoutMs, uint16_t* code) {
    (void)reserved0;
    (void)reserved2;
    if (code == nullptr)
        return RTK_ERR_PARAM;
    *code = 0;
    Task* self = currentTask;
    if (self == nullptr)
        return RTK_ERR_NO_TASK;
    Kernel& k = kernel();
    std::unique_lock<std::mutex> lock(k.mutex);
    unwindIfDeleted();
    if (pendingTake(&self->pending, mask, code))
        return RTK_OK;
    if (timeoutMs == 0)
        return RTK_ERR_TIMEOUT;
    // Any negative timeout waits without limit, as RTK_WAIT_FOREVER does.
    self->receiving = true;
    self->receiveMask = mask;
    self->receiveTimed = timeoutMs > 0;
    if (self->receiveTimed) {
        self->receiveDeadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    }
    self->waitingOn = self->wake.get();
    // Blocked: this may be the last task RtkWaitQuiescent waits for. Its waiter is woken with
    // the mutex released, so that it does not wake only to block on the mutex; what it reads
    // was published above. A send or a deletion meanwhile is seen by the wait's predicate.
    lock.unlock();
    k.changed.notify_all();
    lock.lock();
    auto ready = [&] { return pendingHas(self->pending, mask) || selfDeleted(); };
    if (self->receiveTimed) {
        self->wake->wait_until(lock, self->receiveDeadline, ready);
    } else {
        self->wake->wait(lock, ready);
    }
    self->receiving = false;
    self->waitingOn = nullptr;
    unwindIfDeleted();
    return pendingTake(&self->pending, mask, code) ? RTK_OK : RTK_ERR_TIMEOUT;
}

bool RtkEventPending(RtkTaskId id, uint16_t mask) {
    Kernel& k = kernel();
    std::lock_guard<std::mutex> lock(k.mutex);
    auto it = k.live.find(id);
    return it != k.live.end() && pendingHas(it->second->pending, mask);
}

uint64_t RtkDroppedEvents() {
    return droppedEvents.load(std::memory_order_relaxed);
}

// ---- Sleep ----

int32_t RtkSleepTaskUsec(uint32_t microseconds) {
    sleepCount.fetch_add(1, std::memory_order_relaxed);
    uint64_t scaled = uint64_t{microseconds} * sleepScale.load(std::memory_order_relaxed) / 100;
    auto length = std::chrono::microseconds(scaled);
    Task* self = currentTask;
    if (self == nullptr) {
        if (scaled != 0)
            std::this_thread::sleep_for(length);
        return RTK_OK;
    }
    // A task sleeps as a kernel wait, so that deleting it cuts the sleep short.
    Kernel& k = kernel();
    std::unique_lock<std::mutex> lock(k.mutex);
    unwindIfDeleted();
    if (scaled == 0)
        return RTK_OK;
    self->waitingOn = self->wake.get();
    self->wake->wait_until(lock, Clock::now() + length, [] { return selfDeleted(); });
    self->waitingOn = nullptr;
    unwindIfDeleted();
    return RTK_OK;
}

uint64_t RtkSleepCount() {
    return sleepCount.load(std::memory_order_relaxed);
}

void RtkSetSleepScale(uint32_t percent) {
    sleepScale.store(percent, std::memory_order_relaxed);
}

void RtkResetCounters() {
    sleepCount.store(0, std::memory_order_relaxed);
    droppedEvents.store(0, std::memory_order_relaxed);
}

// ---- Scheduling and quiescence ----

// The host's thread shares the kernel's mutex and the driver's with the tasks. At ordinary
// priority it can be preempted by any other program while it holds one, and a real-time task
// that wants it then waits as long as that program runs: a late period. At the lowest real-time
// priority no ordinary thread can keep it waiting, and every task still runs before it.
namespace {
thread_local bool hostRaised = false;  // this thread was raised here, from hostPolicy
thread_local int hostPolicy = SCHED_OTHER;
thread_local sched_param hostParam{};
thread_local bool hostPinned = false;  // this thread was pinned here, from hostMask
thread_local cpu_set_t hostMask;
}  // namespace

void RtkSetRealtimeScheduling(bool enabled) {
    {
        Kernel& k = kernel();
        std::lock_guard<std::mutex> lock(k.mutex);
        k.realtime = enabled;
    }
    pthread_t self = pthread_self();
    if (enabled && !hostRaised) {
        int policy = SCHED_OTHER;
        sched_param previous{};
        if (pthread_getschedparam(self, &policy, &previous) != 0 || policy == SCHED_FIFO ||
            policy == SCHED_RR)
            return;  // unknown, or real-time already by the program's own choice: left alone
        sched_param lowest{};
        lowest.sched_priority = 1;
        if (pthread_setschedparam(self, SCHED_FIFO, &lowest) == 0) {  // refused: stays as it was
            hostRaised = true;
            hostPolicy = policy;
            hostParam = previous;
        }
    } else if (!enabled && hostRaised) {
        (void)pthread_setschedparam(self, hostPolicy, &hostParam);
        hostRaised = false;
    }
}

void RtkSetSingleProcessor(bool enabled) {
    Kernel& k = kernel();
    int cpu = -1;
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        // Chosen when the mode is turned on; tasks created while it stays on share it.
        if (enabled && (!k.singleProcessor || k.cpu < 0))
            k.cpu = chooseProcessor();
        k.singleProcessor = enabled;
        cpu = k.cpu;
    }
    if (enabled) {
        // What the caller may use before it is pinned: what turning the mode off gives back.
        if (!hostPinned && pthread_getaffinity_np(pthread_self(), sizeof hostMask, &hostMask) == 0)
            hostPinned = true;
        pinToProcessor(pthread_self(), cpu);
    } else if (hostPinned) {
        (void)pthread_setaffinity_np(pthread_self(), sizeof hostMask, &hostMask);
        hostPinned = false;
    }
}

bool RtkWaitQuiescent(RtkTaskId except, int32_t timeoutMs) {
    Kernel& k = kernel();
    RtkTaskId caller = RtkCurrentTask();  // runs by definition: never waited for
    auto reached = [&] {
        Clock::time_point now = Clock::now();
        for (const Task* t : k.threads) {
            if (t->id == except || t->id == caller)
                continue;
            if (!quiescent(t, now))
                return false;
        }
        return true;
    };
    std::unique_lock<std::mutex> lock(k.mutex);
    if (timeoutMs < 0) {
        k.changed.wait(lock, reached);
        return true;
    }
    return k.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), reached);
}

// ---- Critical sections ----
// A section is a flag and an owner under the kernel mutex rather than a std::mutex: a task
// deleted while holding one leaves it held (as the contract says) without destroying a locked
// std::mutex later, and waiting for it is a kernel wait that deletion can interrupt.

int32_t RtkCreateCriticalSection(const char* name, RtkHandle* handle) {
    if (handle == nullptr)
        return RTK_ERR_PARAM;
    *handle = 0;
    if (faultCheck(Fault::SectionCreate))
        return RTK_ERR_FAULT;
    std::shared_ptr<Section> section;
    try {
        section = std::make_shared<Section>();
        section->name = name != nullptr ? name : "";
    } catch (const std::bad_alloc&) {
        return RTK_ERR_RESOURCE;
    }
    Kernel& k = kernel();
    std::lock_guard<std::mutex> lock(k.mutex);
    RtkHandle h = k.nextSection++;
    k.sections.emplace(h, std::move(section));
    *handle = h;
    return RTK_OK;
}

int32_t RtkDeleteCriticalSection(RtkHandle handle) {
    Kernel& k = kernel();
    std::lock_guard<std::mutex> lock(k.mutex);
    auto it = k.sections.find(handle);
    if (it == k.sections.end())
        return RTK_ERR_PARAM;
    // Waiters hold their own reference; they wake, see the flag and fail their enter.
    it->second->deleted = true;
    it->second->freed.notify_all();
    k.sections.erase(it);
    return RTK_OK;
}

int32_t RtkEnterCriticalSection(RtkHandle handle) {
    if (faultCheck(Fault::SectionEnter))
        return RTK_ERR_FAULT;
    Kernel& k = kernel();
    uint64_t me = callerToken();
    std::unique_lock<std::mutex> lock(k.mutex);
    unwindIfDeleted();
    auto it = k.sections.find(handle);
    if (it == k.sections.end())
        return RTK_ERR_PARAM;
    std::shared_ptr<Section> section = it->second;
    if (section->held && section->owner == me)
        return RTK_ERR_STATE;  // not re-entrant
    Task* self = currentTask;
    if (self != nullptr)
        self->waitingOn = &section->freed;
    section->freed.wait(lock, [&] { return !section->held || section->deleted || selfDeleted(); });
    if (self != nullptr)
        self->waitingOn = nullptr;
    unwindIfDeleted();
    if (section->deleted)
        return RTK_ERR_PARAM;
    section->held = true;
    section->owner = me;
    return RTK_OK;
}

int32_t RtkLeaveCriticalSection(RtkHandle handle) {
    Kernel& k = kernel();
    std::lock_guard<std::mutex> lock(k.mutex);
    auto it = k.sections.find(handle);
    if (it == k.sections.end())
        return RTK_ERR_PARAM;
    Section& section = *it->second;
    if (!section.held || section.owner != callerToken())
        return RTK_ERR_STATE;
    section.held = false;
    section.owner = 0;
    // All waiters, not one: a waiter woken here may be a deleted task that unwinds instead of
    // taking the section, and must not leave the others asleep.
    section.freed.notify_all();
    return RTK_OK;
}

int RtkSectionsAlive() {
    Kernel& k = kernel();
    std::lock_guard<std::mutex> lock(k.mutex);
    return static_cast<int>(k.sections.size());
}

// ---- Waits of platform code and of the host ----

bool RtkWaitUntil(bool (*ready)(void*), void* context, int32_t timeoutMs) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        unwindIfDeleted();
        if (ready(context))
            return true;
        if (timeoutMs >= 0 && Clock::now() >= end)
            return ready(context);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void RtkIdle(uint32_t microseconds) {
    std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

uint64_t RtkNowUsec() {
    static const Clock::time_point start = Clock::now();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
}

void RtkPreemptionPoint() {}

}  // namespace threads

const RtkKernelOps rtkThreadsKernel = {
    "threads",
    threads::RtkCreateTask,
    threads::RtkResumeTask,
    threads::RtkDeleteTask,
    threads::RtkCheckDeleted,
    threads::RtkSendTaskEvent,
    threads::RtkReceiveTaskEvent,
    threads::RtkSleepTaskUsec,
    threads::RtkCreateCriticalSection,
    threads::RtkDeleteCriticalSection,
    threads::RtkEnterCriticalSection,
    threads::RtkLeaveCriticalSection,
    threads::RtkSetRealtimeScheduling,
    threads::RtkSetSingleProcessor,
    threads::RtkSetSleepScale,
    threads::RtkSleepCount,
    threads::RtkDroppedEvents,
    threads::RtkResetCounters,
    threads::RtkCurrentTask,
    threads::RtkTaskExists,
    threads::RtkTaskPriority,
    threads::RtkTaskName,
    threads::RtkEventPending,
    threads::RtkThreadsAlive,
    threads::RtkSectionsAlive,
    threads::RtkWaitQuiescent,
    threads::RtkWaitUntil,
    threads::RtkIdle,
    threads::RtkNowUsec,
    threads::RtkPreemptionPoint,
};

}  // namespace kx
