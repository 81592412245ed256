// SPDX-License-Identifier: Apache-2.0
// Runs of the stepped clock (hdaRun): n periods without the host between them give the capture
// that n steps give, each period written only after the other tasks went quiet; a run ends on
// the exit event, and fails within its bound when nothing writes.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "tests/device/device_support.h"

namespace {

using kxdev::DeviceTest;
using kxdev::HdaHandle;
using kxdev::MiniEngine;

constexpr int32_t kBound = 10000;  // ms: generous bound of every wait
constexpr uint32_t kFrames = MiniEngine::kFrames;

// The capture of one session that advances by `advances`, each by hdaRun(n) (or hdaStep when
// stepping is asked for, n times over).
std::vector<uint8_t> session(const std::vector<uint64_t>& advances, bool stepping) {
    kx::hdaReset();
    kx::hdaSetClock(kx::HdaClock::Stepped);
    kx::hdaSetFramesPerPeriod(kFrames);
    MiniEngine engine;
    std::vector<uint8_t> capture;
    {
        HdaHandle hda;
        engine.start(hda);
        uint64_t expected = 1;
        for (uint64_t n : advances) {
            if (stepping) {
                for (uint64_t i = 0; i < (n == 0 ? 1 : n); ++i)
                    EXPECT_TRUE(kx::hdaStep(kBound));
            } else {
                EXPECT_TRUE(kx::hdaRun(n, kBound)) << n;
            }
            expected += n == 0 ? 1 : n;
            EXPECT_EQ(kx::hdaStats().periods, expected) << "a run of " << n;
        }
        engine.stop();
        capture = kx::hdaCaptured();
    }
    return capture;
}

using SteppedRunTest = DeviceTest;

TEST_F(SteppedRunTest, ARunGivesTheCaptureOfAsManySteps) {
    const std::vector<std::vector<uint64_t>> scripts = {{1}, {0}, {2}, {5, 1, 3}, {13}, {1, 1, 7}};
    for (const auto& script : scripts) {
        std::vector<uint8_t> ran = session(script, false);
        std::vector<uint8_t> stepped = session(script, true);
        EXPECT_EQ(ran, stepped) << "a script of " << script.size() << " runs";

        // Period n carries generation n: the loader ran exactly once between any two periods.
        std::vector<int16_t> samples(ran.size() / 2);
        std::memcpy(samples.data(), ran.data(), samples.size() * 2);
        for (size_t n = 0; n < samples.size() / (kFrames * 2); ++n)
            ASSERT_EQ(samples[n * kFrames * 2], static_cast<int16_t>(n * 1000)) << "period " << n;
    }
}

TEST_F(SteppedRunTest, AnExitEventEndsAWriteInsideARun) {
    if (kxdev::onOneProcessor())
        GTEST_SKIP() << kxdev::kSecondHostThread;
    kx::hdaSetClock(kx::HdaClock::Stepped);
    kx::hdaSetFramesPerPeriod(kFrames);
    MiniEngine engine;
    HdaHandle hda;
    engine.start(hda);
    // A run far longer than the test: the host's thread waits in it while the tasks are told to
    // end, and it reports the periods that stopped coming once its bound has passed.
    std::atomic<bool> finished{false};
    bool result = true;
    std::thread host([&] {
        result = kx::hdaRun(1000000, 200);
        finished = true;
    });
    ASSERT_TRUE(kx::hdaWaitPeriods(20, kBound));
    engine.stop();
    host.join();
    EXPECT_TRUE(finished);
    EXPECT_FALSE(result) << "the run could not finish";
    EXPECT_LT(kx::hdaStats().periods, 1000000u);
}

TEST_F(SteppedRunTest, ARunFailsWithinItsBoundWhenNothingWrites) {
    kx::hdaSetClock(kx::HdaClock::Stepped);
    for (uint64_t n : {0u, 1u, 2u, 100u})
        EXPECT_FALSE(kx::hdaRun(n, 20)) << n;
}

}  // namespace
