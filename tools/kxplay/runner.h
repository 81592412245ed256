// SPDX-License-Identifier: Apache-2.0
// kxplay's runner: loads the module as the kernel's host does, starts it over the simulated
// driver and hands it a scene's commands period by period, logging each result. Everything runs
// on the calling thread except the level meter, which the driver calls on the mixer's task and
// which shares only atomics with it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "platform/devices/hda.h"
#include "platform/kernel/rtk_select.h"
#include "tools/kxplay/scene.h"

namespace kx {

enum class KxplaySink : uint8_t { WavFile, Stdout, Device };

// The scene's caller task on the one-processor kernel: "tscene", below the loader (89) and the
// mixer (192), as an application task that calls the module on the target would be.
constexpr uint16_t kSceneTaskPriority = 50;

// Exit statuses.
constexpr int KXPLAY_EXIT_OK = 0;
constexpr int KXPLAY_EXIT_FAILED = 1;  // a file or the output failed
constexpr int KXPLAY_EXIT_USAGE = 2;   // the command line or the scene is wrong
constexpr int KXPLAY_EXIT_INTERRUPTED = 130;

// Commands that arrive while the scene plays (kxplay --live), asked for between periods on the
// runner's thread. take fills *command and returns true when a command is complete, false when
// none is yet; ended returns true once no command will come any more.
struct LiveSource {
    bool (*take)(void* context, SceneCommand* command);
    bool (*ended)(void* context);
    void* context;
};

struct RunConfig {
    HdaClock clock = HdaClock::Stepped;  // Stepped (--fast) or RealTime
    uint32_t frames = 1024;              // frames per period the driver reports
    KxplaySink sink = KxplaySink::WavFile;
    std::string target;                                       // WAV file path, or ALSA device name
    std::string dir = ".";                                    // bound to location 1
    std::vector<std::pair<uint32_t, std::string>> locations;  // further bindings (FILE mode)
    uint64_t durationNanos = 0;                               // 0: no limit
    bool quiet = false;                                       // errors only
    bool progress = false;                                    // draw the progress line (a terminal)
    bool filesMode = false;  // explain refused plays and count them as failures
    bool oneProcessor = false;
    bool realtimeScheduling = false;
    // The kernel of a stepped run (the real-time clock always runs on the threaded kernel). On
    // the one-processor kernel the scene runs as a caller task of priority kSceneTaskPriority.
    RtkKernel kernel = RtkKernel::OneProcessor;
    bool inheritance = true;           // RtkSetPriorityInheritance on the one-processor kernel
    FILE* log = stderr;                // log lines, messages, progress and summary
    int32_t stallMs = 10000;           // longest wait for the driver before giving up
    std::string timeline;              // SVG picture of the run to write ("" for none)
    std::string timelineTitle;         // its heading
    const LiveSource* live = nullptr;  // commands after the scene's, as they come
};

struct RunReport {
    uint64_t periods = 0;     // periods in the output
    uint64_t lastPeriod = 0;  // index of the last period the runner reached
    double wallSeconds = 0.0;
    HdaStats stats{};
    int failedFiles = 0;  // sounds that could not be created (or, in FILE mode, played)
    bool interrupted = false;
    std::vector<std::string> logLines;  // every command's log line, without the newline
};

// Runs a resolved scene (resolveScene with config.frames) and finishes the output. With
// config.live, once the scene's commands have run, each live command runs at the period it
// arrives in, and the run ends when the source has ended and no sound that ends by itself is
// heard (a loop still playing is cut, and said so). Returns
// KXPLAY_EXIT_OK; KXPLAY_EXIT_FAILED when the output could not be opened or written, the module
// did not start, the driver stalled, or a file failed (each reported in words on config.log);
// KXPLAY_EXIT_USAGE when a loop was left playing with nothing to end the output;
// KXPLAY_EXIT_INTERRUPTED after kxplayRequestStop. In every case the module is freed and the
// output finished, so what was rendered is playable. *report may be null.
int runScene(const Scene& scene, const RunConfig& config, RunReport* report);

// Asks a running runScene to stop after the current period. Async-signal-safe.
void kxplayRequestStop();
// Whether a stop has been asked for since the last run began.
bool kxplayStopRequested();

}  // namespace kx
