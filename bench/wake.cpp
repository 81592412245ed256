// SPDX-License-Identifier: Apache-2.0
// What this machine charges for the wake-ups a real-time period needs, with no audio work: one
// thread wakes on an absolute schedule once a period (as the mixer's write returns when its
// period is due), hands a token to a second thread and waits for it back (as the mixer wakes the
// loader and the loader goes back to sleep). The process's processor time over the run is the
// floor under the module's real-time processor use. The two threads share one mutex.
//
// Usage: bench_wake [--frames N] [--seconds S] [--one-cpu 1]; prints "name value" lines.
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "bench/host.h"

namespace kx::bench {
namespace {

struct Baton {
    std::mutex mutex;
    std::condition_variable changed;
    uint64_t sent = 0;      // tokens handed to the worker
    uint64_t returned = 0;  // tokens it gave back
    bool done = false;
};

void worker(Baton* b) {
    std::unique_lock<std::mutex> lock(b->mutex);
    for (;;) {
        b->changed.wait(lock, [b] { return b->done || b->sent > b->returned; });
        if (b->done)
            return;
        b->returned = b->sent;
        b->changed.notify_all();
    }
}

void pin(pthread_t thread, int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    (void)pthread_setaffinity_np(thread, sizeof set, &set);
}

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

int run(int argc, char** argv) {
    auto frames = static_cast<uint32_t>(optionOf(argc, argv, "--frames", 1024));
    uint64_t seconds = optionOf(argc, argv, "--seconds", 10);
    bool oneCpu = optionOf(argc, argv, "--one-cpu", 0) != 0;
    auto period = std::chrono::nanoseconds(uint64_t{frames} * 1000000000ull / kStreamRate);
    uint64_t periods = seconds * kStreamRate / frames;

    Baton baton;
    if (oneCpu)
        pin(pthread_self(), sched_getcpu() >= 0 ? sched_getcpu() : 0);
    std::thread helper(worker, &baton);  // inherits the caller's processor when pinned
    double cpuStart = processCpuSeconds();
    double wallStart = nowSeconds();
    auto due = std::chrono::steady_clock::now();
    for (uint64_t i = 0; i < periods; ++i) {
        due += period;
        std::this_thread::sleep_until(due);
        std::unique_lock<std::mutex> lock(baton.mutex);
        ++baton.sent;
        baton.changed.notify_all();
        baton.changed.wait(lock, [&] { return baton.returned == baton.sent; });
    }
    double cpu = processCpuSeconds() - cpuStart;
    double wall = nowSeconds() - wallStart;
    {
        std::lock_guard<std::mutex> lock(baton.mutex);
        baton.done = true;
        baton.changed.notify_all();
    }
    helper.join();
    report("periods", static_cast<double>(periods));
    report("cpu_percent", cpu / wall * 100.0);
    report("cpu_us_per_period", cpu / static_cast<double>(periods) * 1e6);
    return 0;
}

}  // namespace
}  // namespace kx::bench

int main(int argc, char** argv) {
    return kx::bench::run(argc, argv);
}
