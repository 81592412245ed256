// SPDX-License-Identifier: Apache-2.0
// The state of one run of runScene, shared by the runner's files: the period loop and the
// session (runner.cpp), the report on the terminal (report.cpp), the commands (commands.cpp) and
// the output (output.cpp). The thread that calls runScene owns all of it (or the scene's caller
// task in its place); the stop flag is the one value another thread writes, an atomic.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "kxaudio/kxaudio.h"
#include "tools/kxplay/runner.h"
#include "tools/kxplay/timeline.h"
#include "tools/kxplay/tracker.h"

namespace kx {

using Clock = std::chrono::steady_clock;

// Set by kxplayRequestStop, read by the runner between periods (runner.cpp).
extern std::atomic<bool> stopRequested;

// One run: made by runScene for the length of the call, handed by reference to every part of it.
struct Runner {
    const RunConfig& config;
    const SndOperations* ops = nullptr;
    PlayTracker tracker;
    RunReport report;
    std::map<uint32_t, std::string> directories;  // location -> directory, for messages
    size_t consoleSeen = 0;                       // console bytes already forwarded
    bool progressShown = false;
    Clock::time_point start;
    Clock::time_point lastDraw;
    uint64_t period = 0;         // the last period handed to the driver
    bool meter = false;          // the period hook feeds the progress line's meter
    bool recording = false;      // and the timeline
    bool outputStopped = false;  // the output's failure or limit has been said
    TimelineRecord timeline;

    explicit Runner(const RunConfig& c) : config(c) {}
};

}  // namespace kx
