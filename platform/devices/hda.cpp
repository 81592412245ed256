// The simulated HD-audio driver "DdHdAudio": its control protocol, its four clocks, gain and
// counters. Control calls run on the caller's task (the module's mixer for writes); the host's
// controls run on the test or player thread. All driver state is guarded by Driver::mutex; a
// write waits for its clock on Driver::changed, and sinks and the period hook run outside it.
#include "platform/devices/hda.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/devices/dm.h"
#include "platform/devices/hda_protocol.h"
#include "platform/devices/sink.h"
#include "platform/fault.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_select.h"
#include "platform/kernel/rtk_types.h"

namespace kx {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr uint16_t kChannels = 2;
constexpr uint32_t kRate = 44100;
constexpr uint16_t kBits = 16;
constexpr uint32_t kDefaultFrames = 1024;
constexpr uint32_t kFullVolume = 100;
constexpr uint16_t kExitEvent = 0x4000;
// How often a stepped write that waits looks at its task's exit event and deletion: the kernel
// does not signal the driver, so the driver asks.
constexpr int32_t kStepPollMs = 1;
constexpr auto kStepPoll = std::chrono::milliseconds(kStepPollMs);

struct Driver {
    std::mutex mutex;
    std::condition_variable changed;        // any change a write or a host wait may look for
    std::condition_variable writerBlocked;  // a stepped write blocked, or stepping ended
    std::condition_variable periodsDue;     // the period count reached periodsWanted
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
    Driver() { stats.volume = kFullVolume; }

    HdaPeriodHook hook = nullptr;
    void* hookContext = nullptr;

    // Stepped clock. Each write that blocks gets the next serial; it returns once releasedUpTo
    // reaches that serial (or on release, exit or deletion).
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

Driver& driver() {
    // Never destroyed: a task still blocked in a write while the process exits finds live state.
    static Driver* instance = new Driver;
    return *instance;
}

uint16_t load16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | at[1] << 8);
}

uint32_t load32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

void store32(uint8_t* at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The start of `frames`-frame period number `index` from the base, computed from whole frames
// each time so that rounding never accumulates into drift.
SteadyClock::duration periodsFrom(uint64_t index, uint32_t frames) {
    // A stream that reports no frames is paced as one frame per period so that it cannot spin.
    uint64_t total = index * std::max<uint32_t>(frames, 1);
    uint64_t seconds = total / kRate;
    uint64_t rest = total % kRate;
    auto ns = std::chrono::nanoseconds(static_cast<int64_t>(rest * 1000000000ull / kRate));
    return std::chrono::duration_cast<SteadyClock::duration>(std::chrono::seconds(seconds) + ns);
}

int32_t streamOpen(uint8_t* descriptor) {
    if (faultCheck(Fault::StreamOpen))
        return DM_ERR_FAULT;
    if (descriptor == nullptr)
        return HDA_ERR_PARAM;
    if (load16(descriptor + HDA_DESC_CHANNELS) != kChannels ||
        load32(descriptor + HDA_DESC_SAMPLE_RATE) != kRate ||
        load16(descriptor + HDA_DESC_BITS) != kBits)
        return HDA_ERR_FORMAT;
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.stats.opens > 0 && d.framesAtReopen != 0) {
        d.frames = d.framesAtReopen;
        d.framesAtReopen = 0;
    }
    store32(descriptor + HDA_DESC_FRAMES, d.frames);
    // Opening an open stream starts it afresh, so a caller whose close failed can still reopen.
    d.open = true;
    d.streamClock = d.clock;
    d.streamFrames = d.frames;
    d.scheduled = false;
    d.stats.opens++;
    d.stats.notifyTask = load32(descriptor + HDA_DESC_NOTIFY_TASK);
    d.changed.notify_all();
    return 0;
}

int32_t streamClose() {
    if (faultCheck(Fault::StreamClose))
        return DM_ERR_FAULT;
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    // Closing a stream that is not open does nothing and succeeds: the module closes after a
    // failed open as well.
    if (d.open) {
        d.open = false;
        d.stats.closes++;
        d.changed.notify_all();
    }
    return 0;
}

// Full volume without mute passes samples through unchanged, which is every period of a render
// at default settings: one copy, then one pass for clipping and peak that the compiler
// vectorises (no branch, no division per sample). Samples are in the processor's order, which
// the copy keeps only where that order is little-endian.
void recordUnity(Driver& d, const uint8_t* buffer, size_t count, int16_t* out) {
    if (count == 0)
        return;  // a stream of zero frames records empty periods; out may then be null
    std::memcpy(out, buffer, count * sizeof(int16_t));
    uint32_t clipped = 0;
    int32_t peak = 0;
    for (size_t i = 0; i < count; ++i) {
        int32_t v = out[i];
        clipped += static_cast<uint32_t>(v == INT16_MAX) + static_cast<uint32_t>(v == INT16_MIN);
        int32_t magnitude = v < 0 ? -v : v;
        peak = magnitude > peak ? magnitude : peak;
    }
    d.stats.clippedSamples += clipped;
    // The magnitude of -32768 saturates at 32767.
    int16_t top = static_cast<int16_t>(peak > INT16_MAX ? INT16_MAX : peak);
    d.stats.peak = std::max(d.stats.peak, top);
}

// Copies the period, counts clipping on what the module produced, then applies the volume and
// mute in force now, so a change reaches the periods recorded after it.
void recordLocked(Driver& d, const uint8_t* buffer, uint32_t frames, std::vector<int16_t>* out) {
    size_t count = static_cast<size_t>(frames) * kChannels;
    out->resize(count);
    bool muted = d.stats.mute != 0;
    if constexpr (std::endian::native == std::endian::little) {
        if (!muted && d.stats.volume == kFullVolume) {
            recordUnity(d, buffer, count, out->data());
            return;
        }
    }
    for (size_t i = 0; i < count; ++i) {
        int16_t sample = static_cast<int16_t>(load16(buffer + 2 * i));
        if (sample == INT16_MAX || sample == INT16_MIN)
            d.stats.clippedSamples++;
        int16_t gained = muted ? 0 : hdaApplyGain(sample, d.stats.volume);
        int16_t magnitude =
            gained == INT16_MIN ? INT16_MAX : static_cast<int16_t>(gained < 0 ? -gained : gained);
        d.stats.peak = std::max(d.stats.peak, magnitude);
        (*out)[i] = gained;
    }
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

int32_t streamWrite(uint8_t* descriptor) {
    // A write is a kernel call: a task deleted by force ends here rather than write again.
    RtkCheckDeleted();
    bool injected = faultCheck(Fault::StreamWrite);
    Driver& d = driver();
    std::unique_lock<std::mutex> lock(d.mutex);
    HdaClock clock = d.open ? d.streamClock : d.clock;
    uint32_t frames = d.open ? d.streamFrames : d.frames;
    const uint8_t* buffer = nullptr;
    int32_t result = 0;
    if (injected) {
        result = DM_ERR_FAULT;
    } else if (descriptor == nullptr) {
        result = HDA_ERR_PARAM;
    } else if (!d.open) {
        result = HDA_ERR_STATE;
    } else {
        std::memcpy(&buffer, descriptor + HDA_DESC_PERIOD_BUFFER, sizeof buffer);
        if (buffer == nullptr)
            result = HDA_ERR_BUFFER;
    }
    if (result != 0)
        d.stats.failedWrites++;

    bool stepped = clock == HdaClock::Stepped || clock == HdaClock::Paced;
    if (stepped && d.released)
        return result;

    if (result == 0) {
        // One scratch per writing thread: the module's mixer allocates nothing per period here
        // once the first period has sized it.
        thread_local std::vector<int16_t> samples;
        recordLocked(d, buffer, frames, &samples);
        HdaPeriodHook hook = d.hook;
        void* context = d.hookContext;
        lock.unlock();
        sinkWrite(samples.data(), frames);
        if (hook != nullptr)
            hook(samples.data(), frames, context);
        lock.lock();
        // Counted last, so that whoever sees the count also sees the period in the sink.
        d.stats.periods++;
        if (d.stats.periods >= d.periodsWanted) {
            d.periodsWanted = UINT64_MAX;  // each waiter still short of its count registers anew
            d.periodsDue.notify_all();
        }
    }

    // A failing write is paced like a good one, so a failing device never lets a writer spin.
    switch (clock) {
        case HdaClock::Free:
            break;
        case HdaClock::Stepped:
            waitForStep(d, lock);
            break;
        case HdaClock::RealTime:
            waitForPeriod(d, lock, frames, false);
            break;
        case HdaClock::Paced:
            if (waitForStep(d, lock))
                waitForPeriod(d, lock, frames, true);
            break;
    }
    return result;
}

int32_t setVolume(const uint8_t* block) {
    if (faultCheck(Fault::Volume))
        return DM_ERR_FAULT;
    if (block == nullptr)
        return HDA_ERR_PARAM;
    uint32_t volume = load32(block);
    if (volume > kFullVolume)
        return HDA_ERR_RANGE;
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.stats.volume = volume;
    return 0;
}

int32_t setMute(const uint8_t* block) {
    if (faultCheck(Fault::Mute))
        return DM_ERR_FAULT;
    if (block == nullptr)
        return HDA_ERR_PARAM;
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.stats.mute = load32(block + 4);
    return 0;
}

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

int32_t hdaIoControl(uint32_t code, void* block) {
    auto* bytes = static_cast<uint8_t*>(block);
    switch (code) {
        case IOCTL_STREAM_OPEN:
            return streamOpen(bytes);
        case IOCTL_STREAM_CLOSE:
            return streamClose();
        case IOCTL_STREAM_WRITE:
            return streamWrite(bytes);
        case IOCTL_VOLUME:
            return setVolume(bytes);
        case IOCTL_MUTE:
            return setMute(bytes);
        default:
            return DM_ERR_NOT_SUPPORTED;
    }
}

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

void hdaSetPeriodHook(HdaPeriodHook hook, void* context) {
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.hook = hook;
    d.hookContext = context;
}

HdaStats hdaStats() {
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    HdaStats stats = d.stats;
    stats.outputOverruns = sinkOverruns();
    stats.streamOpen = d.open;
    stats.framesPerPeriod = d.open ? d.streamFrames : d.frames;
    return stats;
}

void hdaReset() {
    {
        Driver& d = driver();
        std::lock_guard<std::mutex> lock(d.mutex);
        d.clock = HdaClock::Free;
        d.frames = kDefaultFrames;
        d.framesAtReopen = 0;
        d.epoch++;
        d.open = false;
        d.streamClock = HdaClock::Free;
        d.streamFrames = kDefaultFrames;
        d.stats = HdaStats{};
        d.stats.volume = kFullVolume;
        d.hook = nullptr;
        d.hookContext = nullptr;
        d.blocked = false;
        d.releasedUpTo = d.stepSerial;
        d.runUntil = d.stepSerial;
        d.runLast = d.stepSerial;
        d.released = false;
        d.scheduled = false;
        d.changed.notify_all();
        d.writerBlocked.notify_all();
        d.periodsDue.notify_all();
    }
    for (Fault fault :
         {Fault::StreamOpen, Fault::StreamClose, Fault::StreamWrite, Fault::Volume, Fault::Mute})
        faultClear(fault);
    sinkReset();
}

int16_t hdaApplyGain(int16_t sample, uint32_t volume) {
    // Above full volume the gain saturates rather than wraps (the driver itself never holds
    // more than 100).
    int64_t scaled = static_cast<int64_t>(sample) * volume / 100;
    return static_cast<int16_t>(std::clamp<int64_t>(scaled, INT16_MIN, INT16_MAX));
}

}  // namespace kx
