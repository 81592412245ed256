// SPDX-License-Identifier: Apache-2.0
// The simulated HD-audio driver "DdHdAudio": its control protocol (open, close, write, volume,
// mute), the recording of each written period with its gain, and the counters. Control calls
// run on the caller's task (the module's mixer for writes); the clocks a write waits for are
// hda_step.cpp (stepped) and hda_clock.cpp (timed). All driver state (hda_driver.h) is guarded by
// Driver::mutex; sinks and the period hook run outside it.
#include "platform/devices/hda.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/devices/dm.h"
#include "platform/devices/hda_driver.h"
#include "platform/devices/hda_protocol.h"
#include "platform/devices/sink.h"
#include "platform/fault.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_types.h"

namespace kx {
namespace hdadriver {

Driver& driver() {
    // Never destroyed: a task still blocked in a write while the process exits finds live state.
    static Driver* instance = new Driver;
    return *instance;
}

namespace {

int32_t streamOpen(uint8_t* descriptor) {
    if (faultCheck(Fault::StreamOpen))
        return DM_ERR_FAULT;
    if (descriptor == nullptr)
        return HDA_ERR_PARAM;
    if (le16(descriptor + HDA_DESC_CHANNELS) != kStreamChannels ||
        le32(descriptor + HDA_DESC_SAMPLE_RATE) != kStreamRate ||
        le16(descriptor + HDA_DESC_BITS) != kStreamBits)
        return HDA_ERR_FORMAT;
    Driver& d = driver();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.stats.opens > 0 && d.framesAtReopen != 0) {
        d.frames = d.framesAtReopen;
        d.framesAtReopen = 0;
    }
    putLe32(descriptor + HDA_DESC_FRAMES, d.frames);
    // Opening an open stream starts it afresh, so a caller whose close failed can still reopen.
    d.open = true;
    d.streamClock = d.clock;
    d.streamFrames = d.frames;
    d.scheduled = false;
    d.stats.opens++;
    d.stats.notifyTask = le32(descriptor + HDA_DESC_NOTIFY_TASK);
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
    size_t count = static_cast<size_t>(frames) * kStreamChannels;
    out->resize(count);
    bool muted = d.stats.mute != 0;
    if constexpr (std::endian::native == std::endian::little) {
        if (!muted && d.stats.volume == HDA_FULL_VOLUME) {
            recordUnity(d, buffer, count, out->data());
            return;
        }
    }
    for (size_t i = 0; i < count; ++i) {
        int16_t sample = static_cast<int16_t>(le16(buffer + 2 * i));
        if (sample == INT16_MAX || sample == INT16_MIN)
            d.stats.clippedSamples++;
        int16_t gained = muted ? 0 : hdaApplyGain(sample, d.stats.volume);
        int16_t magnitude =
            gained == INT16_MIN ? INT16_MAX : static_cast<int16_t>(gained < 0 ? -gained : gained);
        d.stats.peak = std::max(d.stats.peak, magnitude);
        (*out)[i] = gained;
    }
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
    uint32_t volume = le32(block);
    if (volume > HDA_FULL_VOLUME)
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
    d.stats.mute = le32(block + 4);
    return 0;
}

}  // namespace
}  // namespace hdadriver

using namespace hdadriver;

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
        d.stats.volume = HDA_FULL_VOLUME;
        d.hook = nullptr;
        d.hookContext = nullptr;
        d.blocked = false;
        d.releasedUpTo = d.stepSerial;
        d.runUntil = d.stepSerial;
        d.runLast = d.stepSerial;
        d.released = false;
        d.scheduled = false;
        d.wakeEvents = kAllEvents;
        d.changed.notify_all();
        d.periodsDue.notify_all();
    }
    RtkHostWake();  // waits of the old epoch end
    for (Fault fault :
         {Fault::StreamOpen, Fault::StreamClose, Fault::StreamWrite, Fault::Volume, Fault::Mute})
        faultClear(fault);
    sinkReset();
}

}  // namespace kx
