// SPDX-License-Identifier: Apache-2.0
// kxplay's timeline: a record of a run kept period by period (each sound NAME's state, every
// command with its result, the volume and mute the driver applied, the level of every period
// written) and its picture as an SVG file. The runner's thread owns the record; the one part the
// driver's period hook writes on the mixer's task, the levels, is guarded by levelLock.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/devices/hda.h"
#include "tools/kxplay/scene.h"
#include "tools/kxplay/tracker.h"

namespace kx {

// What a NAME's sound does in a period, as kxplay's tracker follows it.
enum class LaneState : uint8_t {
    Stopped,  // no sound, or a stopped one: nothing drawn
    Heard,    // playing with a stream block: mixed into the output
    Unheard,  // playing, but no stream block was free: silent
    Paused,
    Alias,  // the NAME names a sound that another NAME's lane shows (the same file)
};

// A run of periods first..last (inclusive) in one state. `pass` counts a heard sound's passes
// through its data from 0 (a looping sound starts a new one each time its data ends).
struct LaneSpan {
    uint64_t first = 0;
    uint64_t last = 0;
    LaneState state = LaneState::Stopped;
    uint64_t pass = 0;
    std::string alias;  // Alias: the NAME whose lane shows the sound
};

// One command as logged: it ran once period `period` had been handed to the driver.
struct LaneMark {
    uint64_t period = 0;
    SceneVerb verb = SceneVerb::End;
    int32_t status = 0;
    std::string line;  // the log line
};

struct TimelineLane {
    std::string name;
    std::vector<LaneSpan> spans;  // in period order, merged; Stopped periods are left out
    std::vector<LaneMark> marks;
    bool owner = false;  // its last `sound` command created the sound (0), not SND_ERR_EXISTS
};

// One period as the driver wrote it. Peak and RMS are of the samples written (after volume and
// mute); clipped counts samples the mix saturated (before volume), as the driver counts them.
struct PeriodLevel {
    uint16_t peak = 0;
    uint16_t rms = 0;
    uint32_t clipped = 0;
    uint8_t volume = 100;
    bool muted = false;
    bool late = false;  // real time: the period reached the driver after it was due
};

struct TimelineRecord {
    uint32_t frames = 1024;
    bool realTime = false;
    std::string title;
    std::vector<TimelineLane> lanes;  // one per NAME, in the order the NAMEs first appear
    TimelineLane master;              // volume, mute, and commands on all sounds
    uint64_t lastPeriod = 0;          // the last period the runner reached

    std::mutex levelLock;  // guards the members below: written by the period hook
    std::vector<PeriodLevel> levels;
    uint64_t clippedSeen = 0;  // the driver's counters as the hook last read them
    uint64_t lateSeen = 0;
};

// Starts an empty record for periods of `frames` frames.
void timelineStart(TimelineRecord* record, uint32_t frames, bool realTime,
                   const std::string& title);

// A command ran after `period` and returned `status`; `line` is its log line. Named commands go
// on their NAME's lane (made on first use), the others on the master lane.
void timelineCommand(TimelineRecord* record, uint64_t period, const SceneCommand& command,
                     int32_t status, const std::string& line);

// Period `period` is heard with the sounds as `tracker` has them (before it counts the period).
void timelineHeard(TimelineRecord* record, const PlayTracker& tracker, uint64_t period);

// The driver's period hook: the next period written, after volume and mute. Reads the driver's
// counters; call it only from the hook (the driver's mutex is not held there).
void timelineLevel(TimelineRecord* record, const int16_t* samples, uint32_t frames);

// After the last period: gives a lateness the hook could not yet see to the last period.
void timelineFinish(TimelineRecord* record, const HdaStats& stats, uint64_t lastPeriod);

// Where things are drawn. The picture is a pure function of the record; these let a reader of
// the picture (and its tests) find a period, a lane and the output's bands.
struct TimelineGeometry {
    double left = 0;         // x of the start of period 0
    double pxPerPeriod = 0;  // width of one period
    double pxPerSecond = 0;
    double right = 0;  // x of the end of the last period
    double width = 0;
    double height = 0;
    double laneTop = 0;  // top of the first sound lane
    double laneHeight = 0;
    double masterTop = 0;
    double masterHeight = 0;
    double outputTop = 0;  // the output lane: the clip band, the level bars, the late band
    double outputHeight = 0;
    double clipBand = 0;  // height of the clip band at the top of the output lane
    double lateBand = 0;  // height of the late band at its bottom (real time only, else 0)
    double legendTop = 0;
};

// The layout for `periods` periods of `frames` frames and `lanes` sound lanes.
TimelineGeometry timelineGeometry(uint64_t periods, uint32_t frames, size_t lanes, bool realTime);
// x where period `period` starts (a fraction addresses a point inside it).
double timelineX(const TimelineGeometry& g, double period);
// y of the middle of sound lane `lane`.
double timelineLaneMiddle(const TimelineGeometry& g, size_t lane);
// y of the middle of the output lane's clip band.
double timelineClipMiddle(const TimelineGeometry& g);

// Periods the picture spans: every period written, at least up to the last one reached.
uint64_t timelinePeriods(TimelineRecord* record);

// Writes the picture. false with *error when the file cannot be written.
bool writeTimelineSvg(TimelineRecord* record, const std::string& path, std::string* error);

}  // namespace kx
