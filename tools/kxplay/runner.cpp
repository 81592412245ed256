// SPDX-License-Identifier: Apache-2.0
// The runner: the host side of kxaudio for kxplay. It loads the module through its entry, keeps
// to the operation table the host framework copied, drives the driver's clock period by period
// and runs each command once its period has been handed to the driver. The runner's thread owns
// all of its state; the level meter's peak is the one value the mixer's task writes, an atomic.
#include "tools/kxplay/runner.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <thread>

#include "kxaudio/kxaudio.h"
#include "platform/files/kxfile_host.h"
#include "platform/host_load.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_select.h"
#include "platform/kernel/rtk_types.h"
#include "tools/kxplay/info.h"
#include "tools/kxplay/timeline.h"
#include "tools/kxplay/tracker.h"

namespace kx {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kRealTimePollMs = 100;  // wake-up interval while waiting in real time
// Most periods run at once: under the stepped clock long enough that the host's hand-off costs
// nothing per period, short enough that progress and an interrupt are seen promptly.
constexpr uint64_t kMaxRun = 256;
constexpr auto kProgressInterval = std::chrono::milliseconds(100);
constexpr int kMeterWidth = 20;                              // characters of the level bar
constexpr double kMeterFloorDb = -60.0;                      // the bar's empty end
constexpr auto kReaderPoll = std::chrono::milliseconds(50);  // a FIFO output without a reader
constexpr double kBytesPerSecond = KXPLAY_RATE * 4.0;        // 16-bit stereo

// Set from a signal handler, read by the runner between periods.
std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler may only store lock-free");

// Largest absolute sample since the progress line last read it. Written by the driver's hook on
// the mixer's task, read and cleared by the runner; relaxed, as it publishes nothing else.
std::atomic<int32_t> meterPeak{0};

void meterHook(const int16_t* samples, uint32_t frames, void*) {
    int32_t peak = 0;
    for (uint32_t i = 0; i < frames * 2; ++i) {
        int32_t v = samples[i] < 0 ? -static_cast<int32_t>(samples[i]) : samples[i];
        peak = v > peak ? v : peak;
    }
    int32_t seen = meterPeak.load(std::memory_order_relaxed);
    while (peak > seen && !meterPeak.compare_exchange_weak(seen, peak, std::memory_order_relaxed)) {
    }
}

// The address of this zero-filled record names no sound the module has: it is what a pause or
// stop of a NAME that names nothing is given, so that the module answers SND_ERR_PARAM for it
// instead of taking "no sound" as "every sound".
alignas(std::max_align_t) unsigned char noSuchSound[64];

double decibels(int32_t peak) {
    return 20.0 * std::log10(static_cast<double>(peak) / 32767.0);
}

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

// The driver's period hook, on the mixer's task: touches only the meter's atomic and the
// timeline's levels, which have their own lock.
void periodHook(const int16_t* samples, uint32_t frames, void* context) {
    auto* r = static_cast<Runner*>(context);
    if (r->meter)
        meterHook(samples, frames, nullptr);
    if (r->recording)
        timelineLevel(&r->timeline, samples, frames);
}

void clearProgress(Runner& r) {
    if (r.progressShown) {
        std::fputs("\r\033[K", r.config.log);
        r.progressShown = false;
    }
}

// An error or warning: always printed.
void say(Runner& r, const char* format, ...) __attribute__((format(printf, 2, 3)));
void say(Runner& r, const char* format, ...) {
    clearProgress(r);
    std::fputs("kxplay: ", r.config.log);
    va_list args;
    va_start(args, format);
    std::vfprintf(r.config.log, format, args);
    va_end(args);
    std::fputc('\n', r.config.log);
    std::fflush(r.config.log);
}

// Passes on what the module printed on its console (the reader's one message), line by line.
void forwardConsole(Runner& r) {
    std::string text = kxConsoleTaken();
    if (text.size() <= r.consoleSeen)
        return;
    std::string fresh = text.substr(r.consoleSeen);
    r.consoleSeen = text.size();
    if (r.config.quiet)
        return;
    clearProgress(r);
    std::fprintf(r.config.log, "kxaudio: %s\n", fresh.c_str());
}

// Marks everything on the console so far as seen, without printing it (kxplay's own reads).
void skipConsole(Runner& r) {
    r.consoleSeen = kxConsoleTaken().size();
}

std::string pathOf(const Runner& r, const SceneCommand& c) {
    auto it = r.directories.find(c.location);
    if (it == r.directories.end() || it->second == ".")
        return c.file;
    return it->second + (it->second.back() == '/' ? "" : "/") + c.file;
}

void drawProgress(Runner& r, bool force) {
    if (!r.config.progress || r.config.quiet)
        return;
    Clock::time_point now = Clock::now();
    if (!force && now - r.lastDraw < kProgressInterval)
        return;
    r.lastDraw = now;
    // Within a run of periods the driver is ahead of r.period.
    uint64_t written = std::max(r.period + 1, hdaStats().periods);
    double audio = static_cast<double>(written) * r.config.frames / KXPLAY_RATE;
    double wall = std::chrono::duration<double>(now - r.start).count();
    int32_t peak = meterPeak.exchange(0, std::memory_order_relaxed);
    double db = peak > 0 ? decibels(peak) : kMeterFloorDb;
    int filled = static_cast<int>((db - kMeterFloorDb) / -kMeterFloorDb * kMeterWidth + 0.5);
    filled = filled < 0 ? 0 : filled > kMeterWidth ? kMeterWidth : filled;
    char bar[kMeterWidth + 1];
    for (int i = 0; i < kMeterWidth; ++i)
        bar[i] = i < filled ? '#' : '-';
    bar[kMeterWidth] = '\0';
    std::fprintf(
        r.config.log, "\r\033[K%9.2f s  x%-7.1f [%s] %s", audio, wall > 0.0 ? audio / wall : 0.0,
        bar,
        peak > 0 ? (std::to_string(static_cast<int>(std::lround(db))) + " dB").c_str() : "silent");
    std::fflush(r.config.log);
    r.progressShown = true;
}

void logResult(Runner& r, const SceneCommand& c, int32_t status) {
    const char* name = sndStatusName(status);
    char result[64];
    if (name != nullptr)
        std::snprintf(result, sizeof result, "%d %s", static_cast<int>(status), name);
    else
        std::snprintf(result, sizeof result, "%d", static_cast<int>(status));
    // Appended piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict) about "p" + string.
    std::string line = "p";
    line += std::to_string(r.period);
    line += ' ';
    line += c.text;
    line += " -> ";
    line += result;
    r.report.logLines.push_back(line);
    if (r.recording)
        timelineCommand(&r.timeline, r.period, c, status, line);
    if (r.config.quiet)
        return;
    clearProgress(r);
    std::fprintf(r.config.log, "%s\n", line.c_str());
    std::fflush(r.config.log);
}

// After a failed _sndCreate: says in words what is wrong with the file.
void explainCreate(Runner& r, const SceneCommand& c, int32_t status) {
    std::string path = pathOf(r, c);
    if (status == SND_ERR_FILE || status == SND_ERR_FORMAT) {
        WavInspection w = inspectWav(path);
        skipConsole(r);
        if (!w.unreadable.empty())
            say(r, "%s: cannot be read: %s", path.c_str(), w.unreadable.c_str());
        else if (!w.accepted)
            say(r, "%s: refused: %s (kxplay --info shows more)", path.c_str(), w.reason.c_str());
        else
            say(r, "%s: kxaudio could not open it (%s)", path.c_str(), sndStatusName(status));
    } else if (status == SND_ERR_NO_MEMORY) {
        say(r, "%s: kxaudio has no memory left for it", path.c_str());
    } else {
        const char* name = sndStatusName(status);
        say(r, "%s: not created (%s)", path.c_str(), name ? name : std::to_string(status).c_str());
    }
    ++r.report.failedFiles;
}

// Says why a file was not played. In a scene the module's refusals are its rules at work and the
// log shows them; only a file that can no longer be opened is a failed file there.
void explainPlay(Runner& r, const SceneCommand& c, int32_t status) {
    if (status == SND_OK)
        return;
    if (!r.config.filesMode) {
        if (status == SND_ERR_FILE) {
            say(r,
                "sound '%s' not played: kxaudio could not reopen its file (removed, renamed or "
                "made unreadable since it was made)",
                c.name.c_str());
            ++r.report.failedFiles;
        }
        return;
    }
    std::string path = pathOf(r, c);
    if (status == SND_ERR_TOO_MANY)
        say(r, "%s: not played: four sounds already play, and kxaudio plays at most four",
            path.c_str());
    else if (status == SND_ERR_FILE)
        say(r, "%s: not played: kxaudio could not reopen the file", path.c_str());
    else
        say(r, "%s: not played (%s)", path.c_str(),
            sndStatusName(status) ? sndStatusName(status) : std::to_string(status).c_str());
    ++r.report.failedFiles;
}

// Runs one command through the operation table, logs it and updates the tracker.
void execute(Runner& r, const SceneCommand& c) {
    const SndOperations& ops = *r.ops;
    SoundHandle named = c.name.empty() ? nullptr : trackerLookup(r.tracker, c.name);
    int32_t status = 0;
    switch (c.verb) {
        case SceneVerb::Sound: {
            SoundHandle handle = nullptr;
            status = ops.sndCreate(c.location, c.file.c_str(), &handle);
            logResult(r, c, status);
            forwardConsole(r);
            uint32_t heard = 0;
            if (status == SND_OK) {
                WavInspection w = inspectWav(pathOf(r, c));
                skipConsole(r);
                heard = wavBytesHeard(w);
            } else if (status != SND_ERR_EXISTS) {
                explainCreate(r, c, status);
            }
            trackerCreated(&r.tracker, c.name, status, handle, heard);
            return;
        }
        case SceneVerb::Play:
            if (r.config.filesMode && named == nullptr)
                return;  // its file was not created; that has been said
            status = ops.sndPlay(named, c.exclusive ? 1 : 0, c.loop ? 1 : 0);
            trackerPlayed(&r.tracker, named, c.exclusive, c.loop, status);
            logResult(r, c, status);
            explainPlay(r, c, status);
            break;
        case SceneVerb::Pause:
        case SceneVerb::Stop: {
            SoundHandle handle = c.all              ? nullptr
                                 : named != nullptr ? named
                                                    : reinterpret_cast<SoundHandle>(noSuchSound);
            if (c.verb == SceneVerb::Pause) {
                status = ops.sndPause(handle);
                trackerPaused(&r.tracker, c.all ? nullptr : named, status);
            } else {
                status = ops.sndStop(handle);
                trackerStopped(&r.tracker, c.all ? nullptr : named, status);
            }
            logResult(r, c, status);
            break;
        }
        case SceneVerb::Delete:
            status = ops.sndDelete(named);
            trackerDeleted(&r.tracker, named, status);
            logResult(r, c, status);
            break;
        case SceneVerb::Volume:
            status = ops.sndVolume(c.value);
            logResult(r, c, status);
            break;
        case SceneVerb::Mute:
            status = ops.sndMute(c.value);
            logResult(r, c, status);
            break;
        case SceneVerb::End:
            break;
    }
    forwardConsole(r);
}

// True when standard output is a pipe whose reader has gone.
bool outputBroken() {
    struct pollfd p = {1, 0, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP)) != 0;
}

const char* outputName(const RunConfig& c) {
    return c.sink == KxplaySink::WavFile  ? c.target.c_str()
           : c.sink == KxplaySink::Stdout ? "standard output"
                                          : "the device";
}

// The output's own reason to end the run, said once: a write failed (its reader left, the disk
// is full), standard output's reader left, or a WAV file reached the most its sizes can say.
bool outputStopped(Runner& r) {
    if (r.outputStopped)
        return true;
    const RunConfig& c = r.config;
    HdaSinkStatus out = hdaSinkStatus();
    double held = static_cast<double>(out.written) / kBytesPerSecond;
    if (c.sink == KxplaySink::Stdout && (out.error == EPIPE || outputBroken()))
        say(r, "standard output was closed by its reader; stopping");
    else if (out.error != 0)
        say(r, "writing %s failed: %s; stopping (it holds the first %.2f s)", outputName(c),
            std::strerror(out.error), held);
    else if (out.full)
        say(r,
            "%s reached %llu bytes of samples (%.2f s), the most a WAV file's sizes can say; "
            "stopping there (for more, write raw PCM: -o - > FILE.raw)",
            c.target.c_str(), static_cast<unsigned long long>(hdaWavDataLimit()),
            static_cast<double>(hdaWavDataLimit()) / kBytesPerSecond);
    else
        return false;
    r.outputStopped = true;
    return true;
}

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

// Opens the output. A FIFO is waited for until a reader opens it, or the run is interrupted.
int openSink(Runner& r) {
    const RunConfig& c = r.config;
    switch (c.sink) {
        case KxplaySink::WavFile:
            for (bool told = false;; std::this_thread::sleep_for(kReaderPoll)) {
                errno = 0;
                if (hdaSinkWavFile(c.target))
                    return KXPLAY_EXIT_OK;
                if (errno != ENXIO) {
                    say(r, "cannot write %s: %s", c.target.c_str(),
                        errno != 0 ? std::strerror(errno) : "the file cannot be created");
                    return KXPLAY_EXIT_FAILED;
                }
                if (!told && !c.quiet)
                    std::fprintf(c.log, "kxplay: %s is a FIFO; waiting for its reader\n",
                                 c.target.c_str());
                told = true;
                if (stopRequested.load()) {
                    r.report.interrupted = true;
                    return KXPLAY_EXIT_INTERRUPTED;
                }
            }
        case KxplaySink::Stdout:
            if (!hdaSinkFd(1)) {
                say(r, "cannot start the writer of standard output");
                return KXPLAY_EXIT_FAILED;
            }
            return KXPLAY_EXIT_OK;
        case KxplaySink::Device:
            if (!hdaHasAlsa()) {
                say(r,
                    "this build has no ALSA, so it cannot play on device '%s'; write a file "
                    "with -o FILE.wav, or pipe with -o - into a player",
                    c.target.c_str());
                return KXPLAY_EXIT_FAILED;
            }
            if (!hdaSinkAlsa(c.target)) {
                say(r, "cannot open ALSA device '%s'", c.target.c_str());
                return KXPLAY_EXIT_FAILED;
            }
            return KXPLAY_EXIT_OK;
    }
    return KXPLAY_EXIT_FAILED;
}

// A WAV file holds at most hdaWavDataLimit() bytes of samples; a run known to be longer (by
// --duration or an 'end') is told so before it starts.
void warnOfLimit(Runner& r, const Scene& scene) {
    const RunConfig& c = r.config;
    struct stat st;
    if (c.sink != KxplaySink::WavFile || stat(c.target.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return;
    uint64_t periods = c.durationNanos ? periodAt(c.durationNanos, c.frames) : 0;
    for (const SceneCommand& command : scene.commands)
        if (command.verb == SceneVerb::End && (periods == 0 || command.period + 1 < periods))
            periods = command.period + 1;
    uint64_t limit = hdaWavDataLimit();
    if (periods == 0 || periods * c.frames * 4 <= limit)
        return;
    say(r,
        "%s: the run is %.2f s, and a WAV file holds at most %.2f s (its sizes are 32-bit); "
        "it stops there. For longer, write raw PCM: -o - > FILE.raw",
        c.target.c_str(), static_cast<double>(periods) * c.frames / KXPLAY_RATE,
        static_cast<double>(limit) / kBytesPerSecond);
}

void printSummary(Runner& r, bool outputOk) {
    const RunConfig& c = r.config;
    const HdaStats& s = r.report.stats;
    double audio = static_cast<double>(r.report.periods) * c.frames / KXPLAY_RATE;
    double wall = r.report.wallSeconds;
    std::fprintf(c.log, "kxplay: rendered %llu periods (%.2f s) in %.2f s, %.1fx real time\n",
                 static_cast<unsigned long long>(r.report.periods), audio, wall,
                 wall > 0.0 ? audio / wall : 0.0);
    char peakText[32];
    if (s.peak > 0)
        std::snprintf(peakText, sizeof peakText, "%.1f dBFS", decibels(s.peak));
    else
        std::snprintf(peakText, sizeof peakText, "silent");
    std::fprintf(c.log, "kxplay: peak %s, %llu clipped samples", peakText,
                 static_cast<unsigned long long>(s.clippedSamples));
    if (c.clock == HdaClock::RealTime)
        std::fprintf(c.log, ", %llu late periods", static_cast<unsigned long long>(s.latePeriods));
    if (c.sink == KxplaySink::WavFile && outputOk)
        std::fprintf(c.log, "; wrote %s", c.target.c_str());
    std::fputc('\n', c.log);
    std::fflush(c.log);
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

FileScene sceneForFiles(const std::vector<std::string>& files) {
    FileScene out;
    std::map<std::string, uint32_t> locationOf;
    std::set<std::string> namesUsed;
    std::vector<SceneCommand> plays;
    for (const std::string& file : files) {
        size_t slash = file.rfind('/');
        std::string directory = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : file.substr(0, slash);
        std::string base = slash == std::string::npos ? file : file.substr(slash + 1);
        auto [it, added] = locationOf.emplace(
            directory, static_cast<uint32_t>(KXPLAY_SCENE_LOCATION + 1 + locationOf.size()));
        if (added)
            out.locations.emplace_back(it->second, directory);

        // A NAME from the file name: its stem, with characters a NAME cannot hold replaced,
        // made unique with a number.
        size_t dot = base.rfind('.');
        std::string name = dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
        for (char& ch : name)
            if (!(std::isalnum(static_cast<unsigned char>(ch)) || ch == '_' || ch == '-' ||
                  ch == '.'))
                ch = '_';
        if (name.empty() || name == "all")
            name = "sound" + name;
        std::string unique = name;
        for (int n = 2; namesUsed.count(unique) != 0; ++n)
            unique = name + "-" + std::to_string(n);
        name = unique;
        namesUsed.insert(name);

        bool plain = file.find_first_of(" \t#\"") == std::string::npos && !file.empty();
        SceneCommand sound;
        sound.verb = SceneVerb::Sound;
        sound.name = name;
        sound.file = base;
        sound.location = it->second;
        sound.text = "sound " + name + " " + (plain ? file : "\"" + file + "\"");
        out.scene.commands.push_back(sound);

        SceneCommand playCommand;
        playCommand.verb = SceneVerb::Play;
        playCommand.name = name;
        playCommand.file = base;  // for messages about it
        playCommand.location = it->second;
        playCommand.text = "play " + name;
        plays.push_back(playCommand);
    }
    out.scene.commands.insert(out.scene.commands.end(), plays.begin(), plays.end());
    return out;
}

}  // namespace kx
