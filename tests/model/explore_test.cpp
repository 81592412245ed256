// Explored schedules on the one-processor kernel: each model scenario runs with its calls made by a
// caller task above the loader, while a seed chooses a few preemption places (kernel calls, the
// module's shared bytes, the byte queues' indices) at which that caller's next call cuts into the
// loader's pass. Every status and period must still equal the reference model's, the blocks must
// be in order after every step, and _sndFree must leave nothing.
//
// KX_EXPLORE_SCHEDULES=N runs N schedules instead of the few CI runs; KX_EXPLORE_SEED=S:E replays
// the one schedule of scenario seed S and explore seed E that a failure printed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "platform/kernel/rtk.h"
#include "tests/model/scenario.h"

namespace kxmodel {
namespace {

constexpr uint64_t kScenarioSeeds[] = {1, 2, 3, 4, 5, 6, 7, 8};
constexpr uint32_t kPreemptionsPerRun[] = {1, 2, 3};
constexpr uint64_t kCiSchedules = 48;

uint64_t envNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != 0 ? std::strtoull(text, nullptr, 10) : fallback;
}

// The kernel is chosen for the test and given back afterwards.
struct OnOneProcessor {
    kx::RtkKernel before = kx::RtkSelectedKernel();
    bool ok = kx::RtkSelectKernel(kx::RtkKernel::OneProcessor);
    ~OnOneProcessor() { kx::RtkSelectKernel(before); }
};

// Places a scenario passes when nothing is preempted: the range the explorer chooses from.
uint64_t placesOf(const Scenario& sc) {
    Explored counting{~uint64_t{0}, 0, 1, 100};
    Trace trace;
    std::string wrong = runLockstep(sc, &trace, &counting);
    EXPECT_EQ(wrong, "") << "unpreempted run of seed " << sc.seed;
    return trace.places;
}

std::string runOne(const Scenario& sc, uint64_t places, uint64_t exploreSeed, uint32_t preemptions,
                   Trace* trace) {
    Explored e{exploreSeed, preemptions, places, 100};
    std::string wrong = runLockstep(sc, trace, &e);
    if (wrong.empty())
        return "";
    return wrong + "\nreplay: KX_EXPLORE_SEED=" + std::to_string(sc.seed) + ":" +
           std::to_string(exploreSeed) + " KX_EXPLORE_PREEMPTIONS=" + std::to_string(preemptions) +
           " build/default/tests/test_model --gtest_filter='Explore.*'";
}

TEST(Explore, ScheduleChosenBySeedMatchesTheModel) {
    OnOneProcessor kernel;
    ASSERT_TRUE(kernel.ok) << "tasks were left running";
    if (const char* replay = std::getenv("KX_EXPLORE_SEED"); replay != nullptr && *replay != 0) {
        char* rest = nullptr;
        uint64_t scenarioSeed = std::strtoull(replay, &rest, 10);
        ASSERT_TRUE(rest != nullptr && *rest == ':') << "KX_EXPLORE_SEED is scenario:explore";
        uint64_t exploreSeed = std::strtoull(rest + 1, nullptr, 10);
        Scenario sc = generateScenario(scenarioSeed);
        uint64_t places = placesOf(sc);
        Trace trace;
        EXPECT_EQ(runOne(sc, places, exploreSeed,
                         static_cast<uint32_t>(envNumber("KX_EXPLORE_PREEMPTIONS", 3)), &trace),
                  "");
        return;
    }
    uint64_t schedules = envNumber("KX_EXPLORE_SCHEDULES", kCiSchedules);
    std::map<uint64_t, std::pair<Scenario, uint64_t>> scenarios;
    for (uint64_t seed : kScenarioSeeds) {
        Scenario sc = generateScenario(seed);
        uint64_t places = placesOf(sc);
        ASSERT_GT(places, 1000u) << "seed " << seed << " passes too few preemption places";
        scenarios.emplace(seed, std::make_pair(std::move(sc), places));
    }
    uint64_t preempted = 0;
    uint64_t runsPreempted = 0;
    auto start = std::chrono::steady_clock::now();
    for (uint64_t n = 0; n < schedules; ++n) {
        const auto& [sc, places] = scenarios.at(kScenarioSeeds[n % std::size(kScenarioSeeds)]);
        uint32_t preemptions = kPreemptionsPerRun[n % std::size(kPreemptionsPerRun)];
        Trace trace;
        std::string wrong = runOne(sc, places, 0x5eed0000 + n, preemptions, &trace);
        ASSERT_EQ(wrong, "") << "schedule " << n;
        preempted += trace.preemptions;
        runsPreempted += trace.preemptions != 0;
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Exploring that never cuts into a pass explores nothing: most runs must be preempted.
    EXPECT_GT(runsPreempted * 2, schedules) << preempted << " preemptions in all";
    std::printf("explored %llu schedules (%llu preempted, %llu preemptions) in %.2f s: %.0f/s\n",
                static_cast<unsigned long long>(schedules),
                static_cast<unsigned long long>(runsPreempted),
                static_cast<unsigned long long>(preempted), seconds, schedules / seconds);
}

// The same seed gives the same schedule: the same preemptions and the same output.
TEST(Explore, SeedReplaysExactly) {
    OnOneProcessor kernel;
    ASSERT_TRUE(kernel.ok) << "tasks were left running";
    Scenario sc = generateScenario(kScenarioSeeds[0]);
    uint64_t places = placesOf(sc);
    for (uint64_t exploreSeed : {11u, 12u, 13u}) {
        Trace first;
        Trace second;
        ASSERT_EQ(runOne(sc, places, exploreSeed, 3, &first), "");
        ASSERT_EQ(runOne(sc, places, exploreSeed, 3, &second), "");
        EXPECT_EQ(first.preemptions, second.preemptions) << exploreSeed;
        EXPECT_EQ(first.places, second.places) << exploreSeed;
        EXPECT_EQ(first.statuses, second.statuses) << exploreSeed;
        EXPECT_EQ(first.periods, second.periods) << exploreSeed;
    }
}

}  // namespace
}  // namespace kxmodel
