// SPDX-License-Identifier: Apache-2.0
// The simulated HD-audio driver's stepped clock: how a write waits for the host's step (or, in a
// run, for the other tasks to be quiet), and the host's stepping calls (hdaSync, hdaStep,
// hdaStepNow, hdaRun, hdaRelease). Writes wait on the writing task; the host's calls run on the
// test or player thread, or on a caller task. Driver state (hda_driver.h) is guarded by
// Driver::mutex. Every wait is the kernel's host wait (RtkHostWait), made without that mutex;
// whoever changes what a wait looks at calls RtkHostWake after releasing it.
#include <algorithm>
#include <mutex>

#include "platform/devices/hda.h"
#include "platform/devices/hda_driver.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_types.h"

namespace kx {
namespace hdadriver {
namespace {

// A write inside a run: stepping has ended or the driver was reset.
struct RunWrite {
    Driver* d;
    uint64_t epoch;
};

bool runCut(void* context) {
    auto* w = static_cast<RunWrite*>(context);
    std::lock_guard<std::mutex> lock(w->d->mutex);
    return w->d->released || w->d->epoch != w->epoch;
}

// A write inside a run waits for what the host would wait for before stepping past it: every
// other task quiescent. It is never marked blocked, so the host sleeps through the whole run
// instead of being woken once a period. Ends early on release, reset, a code in the wake set or
// deletion. True when it ended on quiescence.
bool waitForQuiet(Driver& d, std::unique_lock<std::mutex>& lock, uint64_t epoch) {
    RunWrite w{&d, epoch};
    RtkHostWaitFor until{
        .ready = runCut, .context = &w, .events = d.wakeEvents, .quiescent = true, .except = 0};
    for (;;) {
        if (d.released || d.epoch != epoch)
            return false;
        lock.unlock();
        RtkHostWoken why = RtkHostWait(until, RTK_WAIT_FOREVER);
        lock.lock();
        if (d.released || d.epoch != epoch || why == RtkHostWoken::Event)
            return false;
        if (why == RtkHostWoken::Quiescent)
            return true;
    }
}

// A write blocked for a step: the host stepped past it, ended stepping or reset the driver.
struct StepWrite {
    Driver* d;
    uint64_t serial;
    uint64_t epoch;
};

bool stepCut(void* context) {
    auto* w = static_cast<StepWrite*>(context);
    std::lock_guard<std::mutex> lock(w->d->mutex);
    return w->d->releasedUpTo >= w->serial || w->d->released || w->d->epoch != w->epoch;
}

}  // namespace

// A stepped write waits here, after recording, until the host steps past it. Leaves the blocked
// mark cleared on every way out, including the unwinding of a task deleted by force. True when
// the host (or its run) let the write go; false on release, reset, a code in the wake set or
// deletion.
bool waitForStep(Driver& d, std::unique_lock<std::mutex>& lock) {
    uint64_t serial = ++d.stepSerial;
    uint64_t epoch = d.epoch;
    RtkTaskId task = RtkCurrentTask();
    if (serial <= d.runUntil)
        return waitForQuiet(d, lock, epoch);
    d.blocked = true;
    d.blockedSerial = serial;
    d.blockedTask = task;

    struct Unblock {
        Driver& d;
        std::unique_lock<std::mutex>& lock;
        uint64_t serial;
        ~Unblock() {
            if (!lock.owns_lock())
                lock.lock();
            if (d.blocked && d.blockedSerial == serial)
                d.blocked = false;
        }
    } unblock{d, lock, serial};

    StepWrite w{&d, serial, epoch};
    RtkHostWaitFor until{.ready = stepCut, .context = &w, .events = d.wakeEvents};
    lock.unlock();
    RtkHostWake();  // the host's sync, or a caller task's hdaStepNow, waits for this block
    for (;;) {
        RtkHostWoken why = RtkHostWait(until, RTK_WAIT_FOREVER);
        lock.lock();
        if (d.released || d.epoch != epoch)
            return false;
        if (d.releasedUpTo >= serial)
            return true;
        if (why == RtkHostWoken::Event)
            return false;
        lock.unlock();
    }
}

namespace {

// hdaSync: a write after `afterSerial` is blocked and not yet let go.
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

// hdaSync's wait, bounded on the kernel's clock (virtual on the one-processor kernel, where the
// host's waits let the tasks run): for a write after `afterSerial` to block, then for every
// other task to be quiescent around it. The writer may be let go meanwhile (by an exit or a
// release); then it looks again.
bool sync(int32_t timeoutMs, uint64_t afterSerial) {
    Driver& d = driver();
    SyncWait w{&d, afterSerial};
    const RtkHostWaitFor stopped{.ready = writerStopped, .context = &w};
    uint64_t start = RtkNowUsec();
    auto left = [&]() -> int32_t {
        if (timeoutMs < 0)
            return RTK_WAIT_FOREVER;
        uint64_t spentMs = (RtkNowUsec() - start) / 1000;
        return spentMs >= static_cast<uint64_t>(timeoutMs)
                   ? 0
                   : timeoutMs - static_cast<int32_t>(spentMs);
    };
    for (;;) {
        if (RtkHostWait(stopped, left()) != RtkHostWoken::Ready)
            return false;
        RtkTaskId writer;
        uint64_t serial;
        {
            std::lock_guard<std::mutex> lock(d.mutex);
            writer = d.blockedTask;
            serial = d.blockedSerial;
        }
        bool quiet = RtkWaitQuiescent(writer, left());
        bool reached;
        {
            std::lock_guard<std::mutex> lock(d.mutex);
            reached = quiet && d.blocked && d.blockedSerial == serial;
        }
        if (reached)
            return true;
        if (left() == 0)
            return false;
    }
}

// hdaStepNow: the write after `serial` blocked, or stepping ended, or the driver was reset.
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
}  // namespace hdadriver

using namespace hdadriver;

void hdaSetWakeEvents(uint16_t mask) {
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.wakeEvents = mask;
}

bool hdaSync(int32_t timeoutMs) {
    return sync(timeoutMs, 0);
}

bool hdaStep(int32_t timeoutMs) {
    uint64_t start = RtkNowUsec();
    if (!hdaSync(timeoutMs))
        return false;
    uint64_t serial;
    {
        Driver& d = driver();
        std::lock_guard<std::mutex> lock(d.mutex);
        serial = d.blockedSerial;
        d.releasedUpTo = serial;
    }
    RtkHostWake();
    if (timeoutMs < 0)
        return sync(RTK_WAIT_FOREVER, serial);
    uint64_t spentMs = (RtkNowUsec() - start) / 1000;
    int32_t left =
        spentMs >= static_cast<uint64_t>(timeoutMs) ? 0 : timeoutMs - static_cast<int32_t>(spentMs);
    return sync(left, serial);
}

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
    }
    RtkHostWake();
    if (RtkHostWait({.ready = nextWriteBlocked, .context = &w}, timeoutMs) != RtkHostWoken::Ready)
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
    {
        Driver& d = driver();
        std::lock_guard<std::mutex> lock(d.mutex);
        uint64_t serial = d.blockedSerial;
        uint64_t last = serial + std::max<uint64_t>(periods, 1) - 1;
        d.runUntil = std::max(d.runUntil, last);
        d.runLast = last;
        d.releasedUpTo = serial;
    }
    RtkHostWake();
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
    {
        Driver& d = driver();
        std::lock_guard<std::mutex> lock(d.mutex);
        d.released = true;
        d.changed.notify_all();
    }
    RtkHostWake();
}

}  // namespace kx
