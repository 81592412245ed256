// SPDX-License-Identifier: Apache-2.0
// The simulated HD-audio driver's clocks: how a write waits for its period (free, stepped by the
// host, paced or real time), and the host's stepping and waiting calls (hdaStep, hdaRun,
// hdaSync...). Writes wait on the caller's task; the host's calls run on the test or player
// thread. All driver state (hda_driver.h) is guarded by Driver::mutex; a write waits for its
// clock on Driver::changed.
#include <algorithm>
#include <chrono>
#include <mutex>

#include "platform/devices/hda.h"
#include "platform/devices/hda_driver.h"
#include "platform/devices/sink.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_select.h"
#include "platform/kernel/rtk_types.h"

namespace kx {
namespace hdadriver {
namespace {

// The start of `frames`-frame period number `index` from the base, computed from whole frames
// each time so that rounding never accumulates into drift.
SteadyClock::duration periodsFrom(uint64_t index, uint32_t frames) {
    // A stream that reports no frames is paced as one frame per period so that it cannot spin.
    uint64_t total = index * std::max<uint32_t>(frames, 1);
    uint64_t seconds = total / kStreamRate;
    uint64_t rest = total % kStreamRate;
    auto ns = std::chrono::nanoseconds(static_cast<int64_t>(rest * 1000000000ull / kStreamRate));
    return std::chrono::duration_cast<SteadyClock::duration>(std::chrono::seconds(seconds) + ns);
}

// A write inside a run waits for what the host would wait for before stepping past it: every
// other task quiescent. It is never marked blocked, so the host sleeps through the whole run
// instead of being woken once a period. Ends early on release, reset, exit or deletion.
// True when it ended on quiescence.
bool waitForQuiet(Driver& d, std::unique_lock<std::mutex>& lock, uint64_t epoch, RtkTaskId task) {
    for (;;) {
        if (d.released || d.epoch != epoch)
            return false;
        // Kernel calls without the driver's mutex, as in waitForStep.
        lock.unlock();
        bool quiet = RtkWaitQuiescent(task, kStepPollMs);
        RtkCheckDeleted();
        bool exiting = task != 0 && RtkEventPending(task, kExitEvent);
        lock.lock();
        if (quiet || exiting)
            return quiet && !exiting;
    }
}

// On the one-processor kernel a stepped write waits as a kernel wait (the host, or the caller
// task that steps, runs on the same thread): until the step, release, reset or exit event.
struct StepWait {
    Driver* d;
    uint64_t serial;
    uint64_t epoch;
    RtkTaskId task;
};

bool stepWaitOver(void* context) {
    auto* w = static_cast<StepWait*>(context);
    {
        std::lock_guard<std::mutex> lock(w->d->mutex);
        if (w->d->releasedUpTo >= w->serial || w->d->released || w->d->epoch != w->epoch)
            return true;
    }
    return w->task != 0 && RtkEventPending(w->task, kExitEvent);
}

void waitForStepOnOneProcessor(Driver& d, std::unique_lock<std::mutex>& lock, uint64_t serial,
                               uint64_t epoch, RtkTaskId task) {
    StepWait w{&d, serial, epoch, task};
    lock.unlock();
    RtkWaitUntil(stepWaitOver, &w, RTK_WAIT_FOREVER);
    lock.lock();
}

}  // namespace

// A stepped write waits here, after recording, until the host steps past it. Leaves the blocked
// mark cleared on every way out, including the unwinding of a task deleted by force. True when
// the host (or its run) let the write go; false on release, reset, exit or deletion.
bool waitForStep(Driver& d, std::unique_lock<std::mutex>& lock) {
    uint64_t serial = ++d.stepSerial;
    uint64_t epoch = d.epoch;
    RtkTaskId task = RtkCurrentTask();
    if (serial <= d.runUntil)
        return waitForQuiet(d, lock, epoch, task);
    d.blocked = true;
    d.blockedSerial = serial;
    d.blockedTask = task;
    d.changed.notify_all();
    d.writerBlocked.notify_all();

    struct Unblock {
        Driver& d;
        std::unique_lock<std::mutex>& lock;
        uint64_t serial;
        ~Unblock() {
            if (!lock.owns_lock())
                lock.lock();
            if (d.blocked && d.blockedSerial == serial) {
                d.blocked = false;
                d.changed.notify_all();
            }
        }
    } unblock{d, lock, serial};

    for (;;) {
        if (d.released || d.epoch != epoch)
            return false;
        if (d.releasedUpTo >= serial)
            return true;
        if (RtkSelectedKernel() == RtkKernel::OneProcessor) {
            waitForStepOnOneProcessor(d, lock, serial, epoch, task);
            lock.unlock();
            bool exiting = task != 0 && RtkEventPending(task, kExitEvent);
            lock.lock();
            if (d.released || d.epoch != epoch)
                return false;
            if (d.releasedUpTo >= serial)
                return true;
            if (exiting)
                return false;
            continue;
        }
        d.changed.wait_for(lock, kStepPoll);
        // The kernel's calls are made without the driver's mutex: the host's hdaSync holds
        // the kernel's own lock order the other way round.
        lock.unlock();
        RtkCheckDeleted();
        bool exiting = task != 0 && RtkEventPending(task, kExitEvent);
        lock.lock();
        if (exiting)
            return false;
    }
}

// A timed write returns when its period is due on an absolute schedule; the first write sets
// it, and a write that comes after its due time is counted late, once per stall.
// RealTime: the write waits on arrival; a late one starts a new schedule at its arrival, so
// later writes are not all late behind it.
// Paced: the write waits once the host has let it go, and a late one lets the schedule resume
// from it. Lateness is judged before the wait, when everything the write waited for has
// happened, never by how late the wait itself wakes; a release ends the wait.
void waitForPeriod(Driver& d, std::unique_lock<std::mutex>& lock, uint32_t frames, bool paced) {
    SteadyClock::time_point now = SteadyClock::now();
    if (!d.scheduled) {
        d.scheduled = true;
        d.base = now;
        d.index = 0;
    }
    SteadyClock::time_point due = d.base + periodsFrom(d.index, frames);
    if (now > due) {
        d.stats.latePeriods++;
        if (paced) {
            d.base = now - periodsFrom(d.index, frames);
        } else {
            d.base = now;
            d.index = 0;
        }
        due = now;
    }
    d.index++;
    uint64_t epoch = d.epoch;
    d.changed.wait_until(lock, due, [&] { return d.epoch != epoch || (paced && d.released); });
    lock.unlock();
    RtkCheckDeleted();
    lock.lock();
}

namespace {

// hdaSync on the one-processor kernel: kernel waits, bounded in virtual time.
struct SyncWait {
    Driver* d;
    uint64_t afterSerial;
};

bool writerStopped(void* context) {
    auto* w = static_cast<SyncWait*>(context);
    std::lock_guard<std::mutex> lock(w->d->mutex);
    return w->d->blocked && w->d->blockedSerial > w->afterSerial &&
           w->d->releasedUpTo < w->d->blockedSerial;
}

bool syncOnOneProcessor(int32_t timeoutMs, uint64_t afterSerial) {
    Driver& d = driver();
    SyncWait w{&d, afterSerial};
    uint64_t start = RtkNowUsec();
    for (;;) {
        if (!RtkWaitUntil(writerStopped, &w, timeoutMs))
            return false;
        RtkTaskId writer;
        uint64_t serial;
        {
            std::lock_guard<std::mutex> lock(d.mutex);
            writer = d.blockedTask;
            serial = d.blockedSerial;
        }
        int32_t left = -1;
        if (timeoutMs >= 0) {
            uint64_t spentMs = (RtkNowUsec() - start) / 1000;
            left = spentMs >= static_cast<uint64_t>(timeoutMs)
                       ? 0
                       : timeoutMs - static_cast<int32_t>(spentMs);
        }
        bool quiet = RtkWaitQuiescent(writer, left);
        std::lock_guard<std::mutex> lock(d.mutex);
        if (quiet && d.blocked && d.blockedSerial == serial)
            return true;
        if (timeoutMs >= 0 && (RtkNowUsec() - start) / 1000 >= static_cast<uint64_t>(timeoutMs))
            return false;
    }
}

// hdaSync's wait, with the deadline shared by its two halves.
bool syncUntil(SteadyClock::time_point deadline, bool forever, uint64_t afterSerial) {
    Driver& d = driver();
    std::unique_lock<std::mutex> lock(d.mutex);
    for (;;) {
        auto ready = [&] {
            return d.blocked && d.blockedSerial > afterSerial && d.releasedUpTo < d.blockedSerial;
        };
        if (forever) {
            d.writerBlocked.wait(lock, ready);
        } else if (!d.writerBlocked.wait_until(lock, deadline, ready)) {
            return false;
        }
        uint64_t serial = d.blockedSerial;
        RtkTaskId writer = d.blockedTask;
        lock.unlock();
        int32_t remaining = -1;
        if (!forever) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                              SteadyClock::now());
            remaining = static_cast<int32_t>(std::max<int64_t>(left.count(), 0));
        }
        bool quiet = RtkWaitQuiescent(writer, remaining);
        lock.lock();
        // The writer may have been released meanwhile (by exit or release); then look again.
        if (quiet && d.blocked && d.blockedSerial == serial)
            return true;
        if (!forever && SteadyClock::now() >= deadline)
            return false;
    }
}

bool sync(int32_t timeoutMs, uint64_t afterSerial) {
    if (RtkSelectedKernel() == RtkKernel::OneProcessor)
        return syncOnOneProcessor(timeoutMs, afterSerial);
    bool forever = timeoutMs < 0;
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
    return syncUntil(deadline, forever, afterSerial);
}

}  // namespace
}  // namespace hdadriver

using namespace hdadriver;

void hdaSetClock(HdaClock clock) {
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.clock = clock;
    d.released = false;
}

void hdaSetFramesPerPeriod(uint32_t frames) {
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.frames = frames;
}

void hdaSetFramesAtReopen(uint32_t frames) {
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.framesAtReopen = frames;
}

bool hdaSync(int32_t timeoutMs) {
    return sync(timeoutMs, 0);
}

bool hdaStep(int32_t timeoutMs) {
    auto start = SteadyClock::now();
    if (!hdaSync(timeoutMs))
        return false;
    uint64_t serial;
    {
        Driver& d = driver();
        std::lock_guard<std::mutex> lock(d.mutex);
        serial = d.blockedSerial;
        d.releasedUpTo = serial;
        d.changed.notify_all();
    }
    if (timeoutMs < 0)
        return sync(-1, serial);
    auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start);
    int32_t left = static_cast<int32_t>(std::max<int64_t>(timeoutMs - spent.count(), 0));
    return sync(left, serial);
}

namespace {

struct NextWrite {
    Driver* d;
    uint64_t serial;
    uint64_t epoch;
};

bool nextWriteBlocked(void* context) {
    auto* w = static_cast<NextWrite*>(context);
    std::lock_guard<std::mutex> lock(w->d->mutex);
    return (w->d->blocked && w->d->blockedSerial > w->serial) || w->d->released ||
           w->d->epoch != w->epoch;
}

}  // namespace

bool hdaStepNow(int32_t timeoutMs) {
    Driver& d = driver();
    NextWrite w{&d, 0, 0};
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (!d.blocked || d.released)
            return false;
        w.serial = d.blockedSerial;
        w.epoch = d.epoch;
        d.releasedUpTo = w.serial;
        d.changed.notify_all();
    }
    if (!RtkWaitUntil(nextWriteBlocked, &w, timeoutMs))
        return false;
    std::lock_guard<std::mutex> lock(d.mutex);
    return d.blocked && d.blockedSerial > w.serial;
}

bool hdaRun(uint64_t periods, int32_t timeoutMs) {
    if (periods <= 1)
        return hdaStep(timeoutMs);
    if (!hdaRunStart(periods, timeoutMs))
        return false;
    // The bound is on progress: a long run fails only when a whole bound passes without a
    // period being written.
    for (;;) {
        uint64_t before = hdaStats().periods;
        if (hdaRunWait(timeoutMs))
            return true;
        if (hdaStats().periods == before)
            return false;
    }
}

bool hdaRunStart(uint64_t periods, int32_t timeoutMs) {
    if (!hdaSync(timeoutMs))
        return false;
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    uint64_t serial = d.blockedSerial;
    uint64_t last = serial + std::max<uint64_t>(periods, 1) - 1;
    d.runUntil = std::max(d.runUntil, last);
    d.runLast = last;
    d.releasedUpTo = serial;
    d.changed.notify_all();
    return true;
}

bool hdaRunWait(int32_t timeoutMs) {
    uint64_t last;
    {
        Driver& d = driver();
        std::lock_guard<std::mutex> lock(d.mutex);
        last = d.runLast;
    }
    return sync(timeoutMs, last);
}

void hdaRelease() {
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.released = true;
    d.changed.notify_all();
    d.writerBlocked.notify_all();
}

bool hdaPlayOut(int32_t timeoutMs) {
    Driver& d = driver();
    std::unique_lock<std::mutex> lock(d.mutex);
    bool reached = true;
    if (d.open && d.streamClock == HdaClock::Paced && !d.released) {
        // The write blocked now is number d.index on the schedule; its period has played once
        // the next one is due. Before any write was let go the schedule starts now.
        SteadyClock::time_point now = SteadyClock::now();
        SteadyClock::time_point end = d.scheduled
                                          ? d.base + periodsFrom(d.index + 1, d.streamFrames)
                                          : now + periodsFrom(1, d.streamFrames);
        SteadyClock::time_point until =
            timeoutMs < 0 ? end : std::min(end, now + std::chrono::milliseconds(timeoutMs));
        uint64_t epoch = d.epoch;
        d.changed.wait_until(lock, until, [&] { return d.epoch != epoch || d.released; });
        reached = SteadyClock::now() >= end || d.released || d.epoch != epoch;
    }
    d.released = true;
    d.changed.notify_all();
    d.writerBlocked.notify_all();
    return reached;
}

bool hdaWaitPeriods(uint64_t count, int32_t timeoutMs) {
    Driver& d = driver();
    std::unique_lock<std::mutex> lock(d.mutex);
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    while (d.stats.periods < count) {
        d.periodsWanted = std::min(d.periodsWanted, count);
        if (timeoutMs < 0) {
            d.periodsDue.wait(lock);
        } else if (d.periodsDue.wait_until(lock, deadline) == std::cv_status::timeout) {
            return d.stats.periods >= count;
        }
    }
    return true;
}

}  // namespace kx
