// SPDX-License-Identifier: Apache-2.0
// The simulated HD-audio driver's shared state, private to platform/devices/: the driver record,
// its constants, and the waits of the clocks that the protocol's write (hda.cpp) calls: the
// stepped clock's (hda_step.cpp) and the timed clocks' (hda_clock.cpp). All of it is guarded by
// Driver::mutex.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/devices/hda.h"
#include "platform/devices/hda_protocol.h"
#include "platform/devices/wav_format.h"
#include "platform/kernel/rtk_types.h"

namespace kx::hdadriver {

using SteadyClock = std::chrono::steady_clock;

constexpr uint32_t kDefaultFrames = 1024;
// A stepped write that waits ends on any code pending for its task unless the host narrows the
// set (hdaSetWakeEvents).
constexpr uint16_t kAllEvents = 0xFFFF;

struct Driver {
    std::mutex mutex;
    // The timed clocks' waits (a period due, hdaPlayOut) end early on release or reset, told
    // here. The stepped clock's waits are the kernel's host waits (RtkHostWait), told by
    // RtkHostWake once the mutex is released.
    std::condition_variable changed;
    std::condition_variable periodsDue;  // the period count reached periodsWanted
    // The smallest count that a host waits for in hdaWaitPeriods: writes before it wake no one,
    // so a host waiting for many periods is not woken at every one.
    uint64_t periodsWanted = UINT64_MAX;

    HdaClock clock = HdaClock::Free;   // for streams opened from now on
    uint32_t frames = kDefaultFrames;  // reported at the next open
    uint32_t framesAtReopen = 0;       // replaces frames at the next reopen (0: none)
    uint64_t epoch = 0;                // advanced by hdaReset: waits of an older epoch end

    bool open = false;
    HdaClock streamClock = HdaClock::Free;  // the clock the open stream was opened with
    uint32_t streamFrames = kDefaultFrames;
    HdaStats stats{};

    // A driver plays at full volume until told otherwise, as after hdaReset.
    Driver() { stats.volume = HDA_FULL_VOLUME; }

    HdaPeriodHook hook = nullptr;
    void* hookContext = nullptr;

    // Stepped clock. Each write that blocks gets the next serial; it returns once releasedUpTo
    // reaches that serial (or on release, reset, a code in wakeEvents pending for its task, or
    // its deletion).
    uint16_t wakeEvents = kAllEvents;
    uint64_t stepSerial = 0;
    bool blocked = false;        // a write is blocked with its period recorded
    uint64_t blockedSerial = 0;  // which one
    RtkTaskId blockedTask = 0;   // on which task
    uint64_t releasedUpTo = 0;
    // hdaRun: writes up to this serial return by themselves once every other task is quiescent.
    uint64_t runUntil = 0;
    uint64_t runLast = 0;   // the last serial of the run hdaRunStart began
    bool released = false;  // hdaRelease: stepping has ended

    // RealTime and Paced clocks: write `index` of the current schedule is due at base + index
    // periods.
    bool scheduled = false;
    SteadyClock::time_point base;
    uint64_t index = 0;
};

Driver& driver();

// A stepped write waits here, after recording, until the host steps past it (hda_step.cpp).
bool waitForStep(Driver& d, std::unique_lock<std::mutex>& lock);
// A timed write waits here for its period (hda_clock.cpp).
void waitForPeriod(Driver& d, std::unique_lock<std::mutex>& lock, uint32_t frames, bool paced);

}  // namespace kx::hdadriver
