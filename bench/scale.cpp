// SPDX-License-Identifier: Apache-2.0
// Scale: how long creating many sounds takes, and what a mixer cycle costs with many sounds
// created and four playing (the mixer walks the whole sound pool every period). The driver's
// period hook reads the mixer task's own processor clock; the main thread creates, plays and
// runs the stepped clock. They share atomics only.
//
// Usage: bench_scale [--counts 1000,10000] [--periods N] [--frames N] [--dir DIR]; prints
// "name value" lines.
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <vector>

#include "bench/host.h"

namespace kx::bench {
namespace {

constexpr int kPlaying = 4;
constexpr int32_t kStallMs = 10000;

int16_t toneSample(uint32_t frame) {
    return static_cast<int16_t>(2000.0 * std::sin(frame * 0.05));
}

// The mixer task's processor time at the first and the latest period since `counting` was set,
// and how many periods that spans. Written by the hook on the mixer's task; read by the main
// thread after hdaRun has returned, whose wait orders the hook's stores before the reads.
std::atomic<bool> counting{false};
std::atomic<double> firstCpu{0.0};
std::atomic<double> lastCpu{0.0};
std::atomic<uint64_t> counted{0};

void onPeriod(const int16_t*, uint32_t, void*) {
    if (!counting.load(std::memory_order_acquire))
        return;
    double cpu = threadCpuSeconds();
    if (counted.fetch_add(1, std::memory_order_relaxed) == 0)
        firstCpu.store(cpu, std::memory_order_relaxed);
    lastCpu.store(cpu, std::memory_order_relaxed);
}

struct Result {
    bool ok = false;
    double createSeconds = 0.0;  // creating the `count` extra sounds (wall)
    double cycleSeconds = 0.0;   // mixer task processor time per cycle
};

// Creates four looping sounds and `count` more (all distinct paths to the same small file),
// plays the four, then runs `periods` periods and reads the mixer's processor time per cycle.
Result measure(const std::string& dir, uint32_t frames, int count, uint64_t periods) {
    Result result;
    const SndOperations* ops = startModule(HdaClock::Stepped, frames, dir);
    if (ops == nullptr || !hdaSync(kStallMs)) {
        stopModule(ops);
        return result;
    }
    hdaSetPeriodHook(onPeriod, nullptr);
    std::vector<SoundHandle> playing(kPlaying);
    bool ok = true;
    for (int i = 0; i < kPlaying; ++i) {
        std::string name = "play" + std::to_string(i) + ".wav";
        ok = ok && ops->sndCreate(kLocation, name.c_str(), &playing[i]) == SND_OK;
    }
    // The mixer is held in its write by the stepped clock, so creation competes with nothing.
    double start = nowSeconds();
    for (int i = 0; i < count && ok; ++i) {
        SoundHandle handle = nullptr;
        std::string name = "many" + std::to_string(i) + ".wav";
        ok = ops->sndCreate(kLocation, name.c_str(), &handle) == SND_OK;
    }
    result.createSeconds = nowSeconds() - start;
    for (int i = 0; i < kPlaying && ok; ++i)
        ok = ops->sndPlay(playing[i], 0, 1) == SND_OK;
    // A few periods first, so that the queues are full and the measure sees steady cycles.
    ok = ok && hdaRun(8, kStallMs);
    counted.store(0, std::memory_order_relaxed);
    counting.store(true, std::memory_order_release);
    ok = ok && hdaRun(periods, kStallMs);
    counting.store(false, std::memory_order_release);
    uint64_t n = counted.load(std::memory_order_relaxed);
    if (ok && n > 1) {
        result.cycleSeconds =
            (lastCpu.load(std::memory_order_relaxed) - firstCpu.load(std::memory_order_relaxed)) /
            static_cast<double>(n - 1);
    }
    hdaSetPeriodHook(nullptr, nullptr);
    stopModule(ops);
    result.ok = ok && n > 1;
    return result;
}

// Links name -> target, replacing nothing that exists already.
bool link(const std::string& target, const std::string& name) {
    return ::link(target.c_str(), name.c_str()) == 0 || access(name.c_str(), F_OK) == 0;
}

int run(int argc, char** argv) {
    std::string dir = optionOf(argc, argv, "--dir", std::string("."));
    std::string countList = optionOf(argc, argv, "--counts", std::string("1000,10000"));
    uint64_t periods = optionOf(argc, argv, "--periods", 2000);
    auto frames = static_cast<uint32_t>(optionOf(argc, argv, "--frames", 1024));

    std::vector<int> counts{0};
    std::stringstream list(countList);
    for (std::string item; std::getline(list, item, ',');)
        counts.push_back(std::stoi(item));
    int most = 0;
    for (int c : counts)
        most = c > most ? c : most;

    // One small file under many names: creation reads each header, and names must differ.
    std::string base = dir + "/tone.wav";
    bool ok = writeWav(base, kStreamRate / 10, toneSample);
    for (int i = 0; i < kPlaying && ok; ++i)
        ok = link(base, dir + "/play" + std::to_string(i) + ".wav");
    for (int i = 0; i < most && ok; ++i)
        ok = link(base, dir + "/many" + std::to_string(i) + ".wav");
    if (!ok) {
        std::fprintf(stderr, "cannot make the files in %s\n", dir.c_str());
        return 1;
    }

    report("frames", frames);
    report("periods", static_cast<double>(periods));
    double baseCycle = 0.0;
    for (int count : counts) {
        Result r = measure(dir, frames, count, periods);
        if (!r.ok) {
            std::fprintf(stderr, "scale run with %d sounds failed\n", count);
            return 1;
        }
        std::string n = std::to_string(count);
        if (count > 0) {
            report(("create_" + n + "_ms").c_str(), r.createSeconds * 1e3);
            report(("create_" + n + "_us_each").c_str(), r.createSeconds * 1e6 / count);
        } else {
            baseCycle = r.cycleSeconds;
        }
        report(("cycle_" + n + "_us").c_str(), r.cycleSeconds * 1e6);
        if (count > 0 && baseCycle > 0.0)
            report(("cycle_" + n + "_ratio").c_str(), r.cycleSeconds / baseCycle);
    }
    return 0;
}

}  // namespace
}  // namespace kx::bench

int main(int argc, char** argv) {
    return kx::bench::run(argc, argv);
}
