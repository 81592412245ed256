// SPDX-License-Identifier: Apache-2.0
// The threaded kernel's sleep, waits and host controls: task and host sleeps, quiescence, the
// platform's waits (host waits, and the polled RtkWaitUntil), the clock, and the host's
// scheduling modes (real-time priorities, one processor). Task sleeps and quiescence wait under the
// kernel mutex (kernel.h), which also guards the modes' settings; the sleep counter and scale are
// atomics, and the host thread's saved policy and processor mask are its own (thread_local).
#include <pthread.h>
#include <sched.h>

#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_types.h"
#include "platform/kernel/threads/kernel.h"

namespace kx {
namespace threads {
namespace {

std::atomic<uint64_t> sleepsCounted{0};
std::atomic<uint32_t> sleepScale{100};

// A task is quiescent when it cannot run before something else happens: never resumed,
// finished, blocked in receive with nothing pending that its mask selects, or blocked in a host
// wait that nothing has woken (for a timed wait, its deadline not passed yet). A deleted task
// still on its way out is not.
bool quiescent(const Kernel& k, const Task* t, Clock::time_point now) {
    if (t->finished || !t->resumed)
        return true;
    if (t->deleted.load(std::memory_order_relaxed))
        return false;
    if (t->hostWaiting) {
        if (t->hostTimed && now >= t->hostDeadline)
            return false;
        return t->hostTicket == k.hostWakes && !pendingHas(t->pending, t->hostEvents);
    }
    if (!t->receiving)
        return false;
    if (t->receiveTimed && now >= t->receiveDeadline)
        return false;
    return !pendingHas(t->pending, t->receiveMask);
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

}  // namespace

void pinToProcessor(pthread_t thread, int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    (void)pthread_setaffinity_np(thread, sizeof set, &set);  // refused: runs where it may
}

// ---- Sleep ----

int32_t sleepTaskUsec(uint32_t microseconds) {
    sleepsCounted.fetch_add(1, std::memory_order_relaxed);
    uint64_t scaled = uint64_t{microseconds} * sleepScale.load(std::memory_order_relaxed) / 100;
    auto length = std::chrono::microseconds(scaled);
    Task* self = thisTask;
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

uint64_t sleepCount() {
    return sleepsCounted.load(std::memory_order_relaxed);
}

void setSleepScale(uint32_t percent) {
    sleepScale.store(percent, std::memory_order_relaxed);
}

void resetCounters() {
    sleepsCounted.store(0, std::memory_order_relaxed);
    droppedCodes.store(0, std::memory_order_relaxed);
    Kernel& k = kernel();
    std::lock_guard<std::mutex> lock(k.mutex);
    for (auto& [id, task] : k.live)
        task->longestWait = RtkSectionWait{};
}

// A busy loop on the host's clock: the caller keeps its processor, the others keep theirs.
void busyUsec(uint32_t microseconds) {
    unwindIfDeleted();
    auto end = Clock::now() + std::chrono::microseconds(microseconds);
    while (Clock::now() < end) {
    }
    unwindIfDeleted();
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

void setRealtimeScheduling(bool enabled) {
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

void setSingleProcessor(bool enabled) {
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

namespace {

// Under the kernel mutex: every task but `except` and the caller (which runs by definition, so
// is never waited for) is quiescent.
bool othersQuiescent(const Kernel& k, RtkTaskId except, RtkTaskId caller) {
    Clock::time_point now = Clock::now();
    for (const Task* t : k.threads) {
        if (t->id == except || t->id == caller)
            continue;
        if (!quiescent(k, t, now))
            return false;
    }
    return true;
}

}  // namespace

bool waitQuiescent(RtkTaskId except, int32_t timeoutMs) {
    Kernel& k = kernel();
    RtkTaskId caller = currentTask();
    auto reached = [&] { return othersQuiescent(k, except, caller); };
    std::unique_lock<std::mutex> lock(k.mutex);
    if (timeoutMs < 0) {
        k.changed.wait(lock, reached);
        return true;
    }
    return k.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), reached);
}

// ---- Waits of platform code and of the host ----

bool waitUntil(bool (*ready)(void*), void* context, int32_t timeoutMs) {
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

// The wait is an event count: the ticket is the count of wakes when ready was last asked, and
// the waiter blocks only while no wake has come since, so a change published before the wake is
// never missed. ready is asked without the kernel mutex (it may take the caller's own locks,
// which RtkHostWake's callers release before they wake). A task blocks on its own variable, named
// as what it waits on, so that its deletion and a code in its events wake it there; a wait that
// also asks for quiescence blocks on Kernel::changed, where quiescence is told. Nothing else
// wakes a host wait, so a host that waits for a run's end is not woken at every period.
RtkHostWoken hostWait(const RtkHostWaitFor& what, int32_t timeoutMs) {
    Kernel& k = kernel();
    Task* self = thisTask;
    RtkTaskId caller = self != nullptr ? self->id : 0;
    uint16_t events = self != nullptr ? what.events : 0;
    bool timed = timeoutMs >= 0;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timed ? timeoutMs : 0);
    std::condition_variable* blockOn = what.quiescent    ? &k.changed
                                       : self != nullptr ? self->wake.get()
                                                         : &k.hostWoken;
    std::unique_lock<std::mutex> lock(k.mutex);
    for (;;) {
        unwindIfDeleted();
        uint64_t ticket = k.hostWakes;
        if (what.ready != nullptr) {
            lock.unlock();
            bool ready = what.ready(what.context);
            lock.lock();
            if (ready)
                return RtkHostWoken::Ready;
        }
        if (self != nullptr && pendingHas(self->pending, events))
            return RtkHostWoken::Event;
        if (what.quiescent && othersQuiescent(k, what.except, caller))
            return RtkHostWoken::Quiescent;
        if (timed && Clock::now() >= deadline)
            return RtkHostWoken::TimedOut;
        if (k.hostWakes != ticket)
            continue;  // woken while ready was asked: ask again
        auto woken = [&] {
            return k.hostWakes != ticket || selfDeleted() ||
                   (self != nullptr && pendingHas(self->pending, events)) ||
                   (what.quiescent && othersQuiescent(k, what.except, caller));
        };
        if (self != nullptr) {
            self->hostWaiting = true;
            self->hostTicket = ticket;
            self->hostEvents = events;
            self->hostQuiescent = what.quiescent;
            self->hostTimed = timed;
            self->hostDeadline = deadline;
            self->waitingOn = blockOn;
            // Blocked: this may be the last task a quiescence wait waits for (as in a receive).
            lock.unlock();
            k.changed.notify_all();
            lock.lock();
        }
        if (timed) {
            blockOn->wait_until(lock, deadline, woken);
        } else {
            blockOn->wait(lock, woken);
        }
        if (self != nullptr) {
            self->hostWaiting = false;
            self->waitingOn = nullptr;
        }
    }
}

void hostWake() {
    Kernel& k = kernel();
    // The blocked tasks' own variables, shared so that they outlive a record reaped meanwhile,
    // are woken after the mutex is released, as a send wakes its receiver (the count was
    // published under it, so no waiter can miss the wake). Few tasks wait at once; any beyond
    // the list are woken under the mutex rather than allocate here.
    constexpr int kListed = 8;
    std::shared_ptr<std::condition_variable> listed[kListed];
    int count = 0;
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        ++k.hostWakes;
        for (Task* t : k.threads) {
            if (!t->hostWaiting || t->hostQuiescent)
                continue;
            if (count < kListed) {
                listed[count++] = t->wake;
            } else {
                t->wake->notify_all();
            }
        }
    }
    for (int i = 0; i < count; ++i)
        listed[i]->notify_all();
    k.hostWoken.notify_all();
    k.changed.notify_all();
}

void idle(uint32_t microseconds) {
    std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

uint64_t nowUsec() {
    static const Clock::time_point start = Clock::now();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
}

void preemptionPoint() {}

}  // namespace threads
}  // namespace kx
