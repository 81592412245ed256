// SPDX-License-Identifier: Apache-2.0
// Start latency under the real-time clock: from _sndPlay returning to the driver receiving the
// first period that carries the sound's first sample. The driver's period hook (on the mixer's
// task) timestamps that period; the main thread plays, waits and stops. They share atomics only.
//
// Usage: bench_latency [--frames N] [--trials N] [--dir DIR] [--rt-sched 1]; prints "name value"
// lines. With --rt-sched 1 the module's tasks get real-time priorities where the system allows.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include "bench/host.h"
#include "platform/kernel/rtk_host.h"

namespace kx::bench {
namespace {

// Frame i of the sound holds 1 + i % 20000 in both channels: never 0, so the first period that
// is not silent is the first that carries the sound, and its first sample says whether that is
// the sound's first frame (1) or a later one.
int16_t rampSample(uint32_t frame) {
    return static_cast<int16_t>(1 + frame % 20000);
}

// Written by the hook on the mixer's task, read by the main thread. `armed` is stored (release)
// by the main thread before the play and cleared (release) by the hook after it has stored the
// time and the sample, which the main thread reads after acquiring armed == false.
std::atomic<bool> armed{false};
std::atomic<double> heardAt{0.0};
std::atomic<int32_t> heardSample{0};

void onPeriod(const int16_t* samples, uint32_t frames, void*) {
    if (!armed.load(std::memory_order_acquire))
        return;
    for (uint32_t i = 0; i < frames * 2; ++i) {
        if (samples[i] != 0) {
            heardAt.store(nowSeconds(), std::memory_order_relaxed);
            heardSample.store(samples[i], std::memory_order_relaxed);
            armed.store(false, std::memory_order_release);
            return;
        }
    }
}

// Waits, without sleeping for a fixed time, until the hook has seen the sound or the bound
// passes. False on timeout.
bool waitHeard(double boundSeconds) {
    double deadline = nowSeconds() + boundSeconds;
    while (armed.load(std::memory_order_acquire)) {
        if (nowSeconds() > deadline)
            return false;
        hdaWaitPeriods(hdaStats().periods + 1, 100);
    }
    return true;
}

int run(int argc, char** argv) {
    auto frames = static_cast<uint32_t>(optionOf(argc, argv, "--frames", 1024));
    auto trials = static_cast<int>(optionOf(argc, argv, "--trials", 40));
    std::string dir = optionOf(argc, argv, "--dir", std::string("."));
    bool realtime = optionOf(argc, argv, "--rt-sched", 0) != 0;
    double period = static_cast<double>(frames) / kStreamRate;

    if (!writeWav(dir + "/latency.wav", kStreamRate, rampSample)) {
        std::fprintf(stderr, "cannot write %s/latency.wav\n", dir.c_str());
        return 1;
    }
    RtkSetRealtimeScheduling(realtime);
    const SndOperations* ops = startModule(HdaClock::RealTime, frames, dir);
    if (ops == nullptr)
        return 1;
    hdaSetPeriodHook(onPeriod, nullptr);
    SoundHandle sound = nullptr;
    int32_t created = ops->sndCreate(kLocation, "latency.wav", &sound);
    if (created != SND_OK || !hdaWaitPeriods(2, 10000)) {
        std::fprintf(stderr, "no sound or no periods (create %d)\n", static_cast<int>(created));
        stopModule(ops);
        return 1;
    }

    // Plays start at a random point of a period, as a caller's request would.
    std::mt19937 random(12345);
    std::uniform_real_distribution<double> phase(0.0, period);
    std::vector<double> latencies;
    int laterFrame = 0;  // first heard period began past the sound's first frame
    int failed = 0;
    for (int t = 0; t < trials; ++t) {
        std::this_thread::sleep_for(std::chrono::duration<double>(phase(random)));
        armed.store(true, std::memory_order_release);
        int32_t status = ops->sndPlay(sound, 0, 0);
        double returned = nowSeconds();
        if (status != SND_OK || !waitHeard(10.0)) {
            armed.store(false, std::memory_order_release);
            ++failed;
        } else {
            latencies.push_back(heardAt.load(std::memory_order_relaxed) - returned);
            if (heardSample.load(std::memory_order_relaxed) != rampSample(0))
                ++laterFrame;
        }
        ops->sndStop(sound);
        // Two whole periods pass after the stop, so the next trial starts from silence.
        hdaWaitPeriods(hdaStats().periods + 2, 10000);
    }
    hdaSetPeriodHook(nullptr, nullptr);
    HdaStats stats = hdaStats();
    stopModule(ops);

    std::sort(latencies.begin(), latencies.end());
    auto at = [&](double q) {
        if (latencies.empty())
            return 0.0;
        auto i = static_cast<size_t>(q * static_cast<double>(latencies.size() - 1) + 0.5);
        return latencies[i];
    };
    report("frames", frames);
    report("period_ms", period * 1e3);
    report("trials", static_cast<double>(latencies.size()));
    report("failed", failed);
    report("first_period_not_first_frame", laterFrame);
    report("min_ms", at(0.0) * 1e3);
    report("median_ms", at(0.5) * 1e3);
    report("p90_ms", at(0.9) * 1e3);
    report("max_ms", at(1.0) * 1e3);
    report("late_periods", static_cast<double>(stats.latePeriods));
    return failed == 0 ? 0 : 1;
}

}  // namespace
}  // namespace kx::bench

int main(int argc, char** argv) {
    return kx::bench::run(argc, argv);
}
