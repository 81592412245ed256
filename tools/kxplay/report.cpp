// SPDX-License-Identifier: Apache-2.0
// The runner's report: the terminal's progress line and its level meter, the log of each
// command's result, the module's console passed on, and the closing summary. The runner's thread
// writes config.log; the meter's peak is the one value the mixer's task writes, an atomic.
#include "tools/kxplay/report.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/devices/hda.h"
#include "platform/files/kxfile_host.h"

namespace kx {

// Largest absolute sample since the progress line last read it. Written by the driver's hook on
// the mixer's task, read and cleared by the runner; relaxed, as it publishes nothing else.
std::atomic<int32_t> meterPeak{0};

namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds(100);
constexpr int kMeterWidth = 20;          // characters of the level bar
constexpr double kMeterFloorDb = -60.0;  // the bar's empty end

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

double decibels(int32_t peak) {
    return 20.0 * std::log10(static_cast<double>(peak) / 32767.0);
}

}  // namespace

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

}  // namespace kx
