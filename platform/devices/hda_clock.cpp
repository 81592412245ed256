// SPDX-License-Identifier: Apache-2.0
// The simulated HD-audio driver's timed clocks and clock settings: how a write waits for its
// period on the real-time and paced schedules, the clock and period size that streams open
// with, and the host's waits on the schedule (hdaPlayOut, hdaWaitPeriods). Writes wait on the
// caller's task; the host's calls run on the test or player thread. All driver state
// (hda_driver.h) is guarded by Driver::mutex; a timed write waits for its period on
// Driver::changed. The stepped clock is hda_step.cpp.
#include <algorithm>
#include <chrono>
#include <mutex>

#include "platform/devices/hda.h"
#include "platform/devices/hda_driver.h"
#include "platform/kernel/rtk_host.h"

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

}  // namespace

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
    lock.unlock();
    RtkHostWake();  // a stepped write blocked now returns, as on hdaRelease
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
