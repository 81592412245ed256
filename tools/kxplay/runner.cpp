// SPDX-License-Identifier: Apache-2.0
// The runner: the host side of kxaudio for kxplay. It readies the platform, loads the module
// through its entry, keeps to the operation table the host framework copied, drives the driver's
// clock period by period and runs each command once its period has been handed to the driver.
// The runner's thread (or the scene's caller task) owns the run's state; the stop flag is the
// one value another thread writes, an atomic.
#include "tools/kxplay/runner.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "kxaudio/kxaudio.h"
#include "platform/files/kxfile_host.h"
#include "platform/host_load.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_select.h"
#include "platform/kernel/rtk_types.h"
#include "tools/kxplay/commands.h"
#include "tools/kxplay/output.h"
#include "tools/kxplay/report.h"
#include "tools/kxplay/runner_state.h"
#include "tools/kxplay/timeline.h"
#include "tools/kxplay/tracker.h"

namespace kx {

// Set from a signal handler, read by the runner between periods.
std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler may only store lock-free");

namespace {

constexpr int32_t kRealTimePollMs = 100;  // wake-up interval while waiting in real time
// Most periods run at once: under the stepped clock long enough that the host's hand-off costs
// nothing per period, short enough that progress and an interrupt are seen promptly.
constexpr uint64_t kMaxRun = 256;

// The driver's clock for the run: kxplay's real time is the stepped clock let go on the
// real-time schedule, so that what it renders is what --fast renders.
HdaClock driverClock(const RunConfig& c) {
    return c.clock == HdaClock::Stepped ? HdaClock::Stepped : HdaClock::Paced;
}

// Lets the mixer produce periods r.period + 1 to r.period + count and waits until the driver
// has them, with the mixer blocked in the write of the last and the tasks quiescent, under
// either clock. In real time the runner wakes only for the last of them (and to draw progress
// and see an interrupt), not at every period. False when the driver wrote no period for the
// stall bound.
bool nextPeriods(Runner& r, uint64_t count) {
    if (r.config.clock == HdaClock::Stepped)
        return hdaRun(count, r.config.stallMs);
    if (!hdaRunStart(count, r.config.stallMs))
        return false;
    uint64_t written = hdaStats().periods;
    Clock::time_point progress = Clock::now();
    while (!hdaRunWait(kRealTimePollMs)) {
        if (stopRequested.load() || outputStopped(r))
            return true;
        drawProgress(r, false);
        uint64_t now = hdaStats().periods;
        if (now != written) {
            written = now;
            progress = Clock::now();
        } else if (Clock::now() - progress > std::chrono::milliseconds(r.config.stallMs)) {
            return false;
        }
    }
    return true;
}

// Periods after r.period in which the runner has nothing to do: no command falls due, the
// duration does not end and no sound stops by itself before the last of them. Rendering them
// in one run gives the same output as stepping them one by one; in real time the runner
// sleeps through them.
uint64_t quietPeriods(const Runner& r, const Scene& scene, size_t next, uint64_t limit) {
    uint64_t count = kMaxRun;
    if (next < scene.commands.size())
        count = std::min(count, scene.commands[next].period - r.period);
    if (limit != UINT64_MAX)
        count = std::min(count, limit - 1 - r.period);
    count = std::min(count, trackerPeriodsToNextStop(r.tracker));
    return std::max<uint64_t>(count, 1);
}

// The period loop. Returns the exit status of the scene itself.
int play(Runner& r, const Scene& scene) {
    const RunConfig& c = r.config;
    const auto& commands = scene.commands;
    uint64_t limit = c.durationNanos ? periodAt(c.durationNanos, c.frames) : UINT64_MAX;
    if (limit == 0)
        limit = 1;
    size_t next = 0;
    for (;;) {
        // Period r.period has been handed to the driver: its commands run now and are heard
        // from the next period on.
        bool ended = false;
        while (next < commands.size() && commands[next].period <= r.period) {
            const SceneCommand& command = commands[next++];
            if (command.verb == SceneVerb::End) {
                ended = true;
                break;
            }
            execute(r, command);
        }
        // Live commands follow the scene's own, each run at the period it arrives in.
        bool liveOpen = false;
        if (c.live != nullptr && !ended && next == commands.size()) {
            SceneCommand command;
            while (c.live->take(c.live->context, &command)) {
                command.period = r.period;
                execute(r, command);
            }
            liveOpen = !c.live->ended(c.live->context);
        }
        drawProgress(r, false);
        if (ended || r.period + 1 >= limit)
            return KXPLAY_EXIT_OK;
        if (next == commands.size() && !liveOpen) {
            if (!trackerAnyPlaying(r.tracker))
                return KXPLAY_EXIT_OK;
            std::string loopName;
            if (c.live != nullptr) {
                // Only loops are left once nothing that ends by itself is heard.
                if (trackerPeriodsToNextStop(r.tracker) == UINT64_MAX) {
                    trackerLooping(r.tracker, &loopName);
                    say(r, "the input has ended and sound '%s' loops; stopping it",
                        loopName.empty() ? "?" : loopName.c_str());
                    return KXPLAY_EXIT_OK;
                }
            } else if (c.sink != KxplaySink::Device && c.durationNanos == 0 &&
                       trackerLooping(r.tracker, &loopName)) {
                say(r,
                    "sound '%s' still loops after the last command (p%llu), so the output "
                    "would never end; add 'at TIME end' or a 'stop', or give --duration",
                    loopName.empty() ? "?" : loopName.c_str(),
                    static_cast<unsigned long long>(r.period));
                return KXPLAY_EXIT_USAGE;
            }
        }
        if (stopRequested.load()) {
            r.report.interrupted = true;
            return KXPLAY_EXIT_INTERRUPTED;
        }
        if (outputStopped(r))
            return KXPLAY_EXIT_FAILED;
        uint64_t count = liveOpen ? 1 : quietPeriods(r, scene, next, limit);
        if (!nextPeriods(r, count)) {
            say(r, "the driver took no period for %d ms; stopping", c.stallMs);
            return KXPLAY_EXIT_FAILED;
        }
        if (stopRequested.load()) {
            r.report.interrupted = true;
            return KXPLAY_EXIT_INTERRUPTED;
        }
        for (uint64_t i = 0; i < count; ++i) {
            ++r.period;
            if (r.recording)
                timelineHeard(&r.timeline, r.tracker, r.period);
            trackerAdvance(&r.tracker);
        }
    }
}

// Starts the module runScene loaded, plays the scene and frees the module: everything that calls
// the operation table. *started says whether the module started.
int session(Runner& r, const Scene& scene, bool* started) {
    const RunConfig& config = r.config;
    int status = KXPLAY_EXIT_OK;
    if (r.ops == nullptr) {
        say(r, "kxaudio did not load: a location could not be bound or it attached no operations");
        status = KXPLAY_EXIT_FAILED;
    } else {
        int32_t init = r.ops->sndInit();
        *started = init == SND_OK;
        if (!*started) {
            say(r, "kxaudio did not start: %d %s", static_cast<int>(init),
                sndStatusName(init) ? sndStatusName(init) : "");
            status = KXPLAY_EXIT_FAILED;
        }
    }
    if (*started) {
        if (!hdaSync(config.stallMs)) {
            say(r, "the driver received no period within %d ms", config.stallMs);
            status = KXPLAY_EXIT_FAILED;
        } else {
            trackerInit(&r.tracker, hdaStats().framesPerPeriod * kStreamBytesPerFrame);
            status = play(r, scene);
        }
    }

    // Release the clock first, so that the mixer's blocked write returns and the module's
    // shutdown can end it; only then is the output complete and finished. A real-time run that
    // was not cut short first lets its last period play out.
    if (status == KXPLAY_EXIT_OK && *started)
        hdaPlayOut(config.stallMs);
    hdaRelease();
    if (r.ops != nullptr)
        r.ops->sndFree();
    return status;
}

// The session as the body of the scene's caller task.
struct Session {
    Runner* runner;
    const Scene* scene;
    int status;
    bool started;
};

void runSession(void* argument) {
    auto* s = static_cast<Session*>(argument);
    s->status = session(*s->runner, *s->scene, &s->started);
}

}  // namespace

void kxplayRequestStop() {
    stopRequested.store(true);
}

bool kxplayStopRequested() {
    return stopRequested.load();
}

int runScene(const Scene& scene, const RunConfig& config, RunReport* report) {
    Runner r(config);
    r.start = Clock::now();
    stopRequested.store(false);
    meterPeak.store(0);

    HostSetup setup{driverClock(config), config.frames, {{KXPLAY_SCENE_LOCATION, config.dir}}};
    r.directories[KXPLAY_SCENE_LOCATION] = config.dir;
    for (const auto& [location, directory] : config.locations) {
        setup.locations.push_back({location, directory});
        r.directories[location] = directory;
    }

    // The real-time clock waits for the host's time, which only the threaded kernel has.
    bool oneProcessorKernel =
        config.clock == HdaClock::Stepped && config.kernel == RtkKernel::OneProcessor;
    if (!RtkSelectKernel(oneProcessorKernel ? RtkKernel::OneProcessor : RtkKernel::Threads))
        oneProcessorKernel = RtkSelectedKernel() == RtkKernel::OneProcessor;

    // The module is loaded (its entry only attaches the table) before the output is opened;
    // session() starts it and says so when the load failed.
    r.ops = hostLoadModule(dkm_kxaudio_Init, setup);
    // Under the stepped clock the host and the tasks run strictly one after another, so one
    // processor costs no time and spares every hand-off a wake-up across processors.
    bool oneProcessor = config.oneProcessor || config.clock == HdaClock::Stepped;
    RtkSetSingleProcessor(oneProcessor);
    RtkSetRealtimeScheduling(config.realtimeScheduling);
    // Test hook: a smaller WAV limit, so that reaching it takes a test seconds, not hours.
    if (const char* limit = std::getenv("KXPLAY_TEST_WAV_LIMIT"))
        hdaSetWavDataLimit(std::strtoull(limit, nullptr, 10));
    if (int opened = openSink(r); opened != KXPLAY_EXIT_OK) {
        if (r.report.interrupted)
            say(r, "interrupted before the output was opened");
        if (report != nullptr)
            *report = r.report;
        return opened;
    }
    warnOfLimit(r, scene);
    // The hook feeds the progress line and the timeline; without them the mixer's task is spared
    // the scan.
    r.meter = config.progress && !config.quiet;
    r.recording = !config.timeline.empty();
    if (r.recording)
        timelineStart(&r.timeline, config.frames, config.clock == HdaClock::RealTime,
                      config.timelineTitle);
    if (r.meter || r.recording)
        hdaSetPeriodHook(periodHook, &r);
    kxConsoleCapture(true);

    int status = KXPLAY_EXIT_OK;
    bool started = false;
    if (oneProcessorKernel) {
        RtkSetPriorityInheritance(config.inheritance);
        Session caller{&r, &scene, KXPLAY_EXIT_OK, false};
        if (RtkRunAsTask("tscene", kSceneTaskPriority, runSession, &caller) != RTK_OK) {
            say(r, "the scene's caller task could not be started");
            status = KXPLAY_EXIT_FAILED;
        } else {
            status = caller.status;
            started = caller.started;
        }
    } else {
        status = session(r, scene, &started);
    }
    RtkSetPriorityInheritance(true);  // the kernel's default
    if (oneProcessor)
        RtkSetSingleProcessor(false);  // the calling thread may use every processor again
    if (config.realtimeScheduling)
        RtkSetRealtimeScheduling(false);  // and runs at its own priority again
    hdaSetPeriodHook(nullptr, nullptr);
    r.report.stats = hdaStats();
    // Test hook: a clean stop that takes this long before it finishes the output, so that a
    // test can send a second signal inside it.
    if (const char* delay = std::getenv("KXPLAY_TEST_STOP_DELAY_MS");
        delay && r.report.interrupted) {
        say(r, "test: the stop waits %s ms before finishing the output", delay);
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(delay)));
    }
    bool sinkOk = hdaCloseSink();
    forwardConsole(r);
    kxConsoleCapture(false);
    clearProgress(r);

    r.report.periods = r.report.stats.periods;
    r.report.lastPeriod = r.period;
    if (r.recording) {
        timelineFinish(&r.timeline, r.report.stats, r.period);
        std::string problem;
        if (!writeTimelineSvg(&r.timeline, config.timeline, &problem)) {
            say(r, "cannot write %s: %s", config.timeline.c_str(), problem.c_str());
            status = KXPLAY_EXIT_FAILED;
        }
    }
    r.report.wallSeconds = std::chrono::duration<double>(Clock::now() - r.start).count();
    // Under the stepped clock a full writer's buffer only slows the render; in real time the
    // periods that waited for it were late.
    if (config.clock != HdaClock::Stepped && r.report.stats.outputOverruns > 0) {
        say(r,
            "the output could not keep up: %llu periods found its writer's buffer full and "
            "waited for room, so they were late",
            static_cast<unsigned long long>(r.report.stats.outputOverruns));
        status = KXPLAY_EXIT_FAILED;
    }
    if (!sinkOk || hdaSinkStatus().full) {
        if (!outputStopped(r))
            say(r, "writing %s failed", outputName(config));
        status = KXPLAY_EXIT_FAILED;
    }
    if (!config.quiet && started)
        printSummary(r, sinkOk);
    if (r.report.interrupted)
        say(r, "interrupted; the output holds what was rendered until then");
    if (status == KXPLAY_EXIT_OK && r.report.failedFiles > 0)
        status = KXPLAY_EXIT_FAILED;
    if (report != nullptr)
        *report = r.report;
    return status;
}

}  // namespace kx
