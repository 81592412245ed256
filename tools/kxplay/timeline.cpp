// SPDX-License-Identifier: Apache-2.0
// The timeline's record: the runner feeds it each command and each period it steps past, the
// driver's period hook each period written. Everything but the levels belongs to the runner's
// thread; the levels and the driver counters they are taken from are guarded by levelLock.
#include <algorithm>
#include <cmath>

#include "tools/kxplay/timeline.h"

namespace kx {
namespace {

// Periods of levels kept reserved ahead of the hook: more than the runner lets the driver write
// between two of its steps.
constexpr size_t kLevelHeadroom = 4096;

TimelineLane* laneOf(TimelineRecord* record, const std::string& name) {
    for (TimelineLane& lane : record->lanes)
        if (lane.name == name)
            return &lane;
    TimelineLane lane;
    lane.name = name;
    record->lanes.push_back(std::move(lane));
    return &record->lanes.back();
}

const TrackedSound* soundOf(const PlayTracker& tracker, SoundHandle handle) {
    for (const TrackedSound& sound : tracker.sounds)
        if (sound.handle == handle)
            return &sound;
    return nullptr;
}

// Extends the lane's last span by `period` when it is the same state, else starts a new one.
void append(TimelineLane* lane, uint64_t period, LaneState state, uint64_t pass,
            const std::string& alias) {
    if (state == LaneState::Stopped)
        return;
    if (!lane->spans.empty()) {
        LaneSpan& last = lane->spans.back();
        if (last.last + 1 == period && last.state == state && last.pass == pass &&
            last.alias == alias) {
            last.last = period;
            return;
        }
    }
    LaneSpan span;
    span.first = span.last = period;
    span.state = state;
    span.pass = pass;
    span.alias = alias;
    lane->spans.push_back(std::move(span));
}

}  // namespace

void timelineStart(TimelineRecord* record, uint32_t frames, bool realTime,
                   const std::string& title) {
    record->frames = frames == 0 ? 1 : frames;
    record->realTime = realTime;
    record->title = title;
    record->lanes.clear();
    record->master = TimelineLane();
    record->master.name = "master";
    record->lastPeriod = 0;
    std::lock_guard<std::mutex> hold(record->levelLock);
    record->levels.clear();
    record->levels.reserve(kLevelHeadroom * 2);
    record->clippedSeen = 0;
    record->lateSeen = 0;
}

void timelineCommand(TimelineRecord* record, uint64_t period, const SceneCommand& command,
                     int32_t status, const std::string& line) {
    LaneMark mark;
    mark.period = period;
    mark.verb = command.verb;
    mark.status = status;
    mark.line = line;
    if (command.name.empty()) {
        record->master.marks.push_back(std::move(mark));
        return;
    }
    TimelineLane* lane = laneOf(record, command.name);
    if (command.verb == SceneVerb::Sound)
        lane->owner = status == SND_OK;
    lane->marks.push_back(std::move(mark));
}

void timelineHeard(TimelineRecord* record, const PlayTracker& tracker, uint64_t period) {
    record->lastPeriod = std::max(record->lastPeriod, period);
    {
        // Room ahead for the hook, so that the mixer's task does not allocate in a period.
        std::lock_guard<std::mutex> hold(record->levelLock);
        if (record->levels.capacity() - record->levels.size() < kLevelHeadroom)
            record->levels.reserve(record->levels.capacity() * 2 + kLevelHeadroom);
    }
    for (TimelineLane& lane : record->lanes) {
        SoundHandle handle = trackerLookup(tracker, lane.name);
        const TrackedSound* sound = soundOf(tracker, handle);
        if (sound == nullptr)
            continue;
        if (!lane.owner) {
            // Another NAME made this sound; its lane shows it.
            std::string owner;
            for (const TimelineLane& other : record->lanes)
                if (other.owner && trackerLookup(tracker, other.name) == handle)
                    owner = other.name;
            append(&lane, period, LaneState::Alias, 0, owner);
            continue;
        }
        switch (sound->state) {
            case TrackedState::Stopped:
                break;
            case TrackedState::Paused:
                append(&lane, period, LaneState::Paused, 0, "");
                break;
            case TrackedState::Playing:
                if (sound->block)
                    append(&lane, period, LaneState::Heard,
                           sound->heard / trackerPeriodsOf(tracker, sound->dataLength), "");
                else
                    append(&lane, period, LaneState::Unheard, 0, "");
                break;
        }
    }
}

void timelineLevel(TimelineRecord* record, const int16_t* samples, uint32_t frames) {
    PeriodLevel level;
    int32_t peak = 0;
    double sum = 0.0;
    for (uint32_t i = 0; i < frames * 2; ++i) {
        int32_t v = samples[i];
        int32_t magnitude = v < 0 ? -v : v;
        peak = std::max(peak, magnitude);
        sum += static_cast<double>(v) * v;
    }
    level.peak = static_cast<uint16_t>(std::min(peak, 32767));
    level.rms = frames == 0 ? 0
                            : static_cast<uint16_t>(std::min(
                                  32767.0, std::sqrt(sum / (2.0 * static_cast<double>(frames)))));
    // The driver counted this period's clipping before it called the hook, and the lateness of
    // the period before (a write is found late after it has been recorded).
    HdaStats stats = hdaStats();
    level.volume = static_cast<uint8_t>(std::min<uint32_t>(stats.volume, 100));
    level.muted = stats.mute != 0;
    std::lock_guard<std::mutex> hold(record->levelLock);
    level.clipped = static_cast<uint32_t>(stats.clippedSamples - record->clippedSeen);
    record->clippedSeen = stats.clippedSamples;
    if (stats.latePeriods != record->lateSeen && !record->levels.empty())
        record->levels.back().late = true;
    record->lateSeen = stats.latePeriods;
    record->levels.push_back(level);
}

void timelineFinish(TimelineRecord* record, const HdaStats& stats, uint64_t lastPeriod) {
    record->lastPeriod = std::max(record->lastPeriod, lastPeriod);
    std::lock_guard<std::mutex> hold(record->levelLock);
    if (stats.latePeriods != record->lateSeen && !record->levels.empty())
        record->levels.back().late = true;
    record->lateSeen = stats.latePeriods;
}

uint64_t timelinePeriods(TimelineRecord* record) {
    std::lock_guard<std::mutex> hold(record->levelLock);
    return std::max<uint64_t>(record->levels.size(), record->lastPeriod + 1);
}

}  // namespace kx
