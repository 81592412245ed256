// SPDX-License-Identifier: Apache-2.0
// The paced clock: the stepped clock let go on the real-time schedule. Whatever the host's runs
// and however late they come, it records exactly what the stepped clock records; a run the host
// lets go after its due time is counted late; playing out ends the stepping with nothing more
// recorded. Contents and counts are asserted, never durations.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/devices/hda_protocol.h"
#include "tests/device/device_support.h"

namespace {

using kxdev::Descriptor;
using kxdev::DeviceTest;
using kxdev::HdaHandle;
using kxdev::MiniEngine;

constexpr int32_t kBound = 10000;  // ms: generous bound of every wait

// The capture of the miniature engine advanced by `advances` runs under `clock`.
std::vector<uint8_t> engineSession(kx::HdaClock clock, const std::vector<uint64_t>& advances) {
    kx::hdaReset();
    kx::hdaSetClock(clock);
    kx::hdaSetFramesPerPeriod(MiniEngine::kFrames);
    MiniEngine engine;
    HdaHandle hda;
    engine.start(hda);
    for (uint64_t n : advances)
        EXPECT_TRUE(kx::hdaRun(n, kBound)) << "a run of " << n;
    engine.stop();
    return kx::hdaCaptured();
}

using PacedClockTest = DeviceTest;

TEST_F(PacedClockTest, RecordsWhatTheSteppedClockRecords) {
    // The engine's loader takes far longer than one of its 8-frame periods, so nearly every
    // period is let go late: what is recorded must not depend on it.
    const std::vector<std::vector<uint64_t>> scripts = {{1}, {13}, {5, 1, 3}, {1, 1, 7}};
    for (const auto& script : scripts) {
        std::vector<uint8_t> paced = engineSession(kx::HdaClock::Paced, script);
        std::vector<uint8_t> stepped = engineSession(kx::HdaClock::Stepped, script);
        EXPECT_EQ(paced, stepped) << "a script of " << script.size() << " runs";
        std::vector<int16_t> samples(paced.size() / 2);
        std::memcpy(samples.data(), paced.data(), samples.size() * 2);
        for (size_t n = 0; n < samples.size() / (MiniEngine::kFrames * 2); ++n)
            ASSERT_EQ(samples[n * MiniEngine::kFrames * 2], static_cast<int16_t>(n * 1000))
                << "period " << n;
    }
}

// 50 ms periods, written by a thread that numbers them; the test's thread is the host.
class PacedHostTest : public DeviceTest {
  protected:
    static constexpr uint32_t kFrames = 2205;
    static constexpr auto kPeriod = std::chrono::milliseconds(50);

    void SetUp() override {
        DeviceTest::SetUp();
        if (kxdev::onOneProcessor())
            GTEST_SKIP() << kxdev::kSecondHostThread;
        kx::hdaSetClock(kx::HdaClock::Paced);
        kx::hdaSetFramesPerPeriod(kFrames);
        desc = Descriptor::stereo();
        ASSERT_EQ(hda.control(kx::IOCTL_STREAM_OPEN, desc.bytes), 0);
        desc.setBuffer(period.data());
        writer = std::thread([this] {
            for (int16_t n = 0; !stop.load(); ++n) {
                std::fill(period.begin(), period.end(), n);
                hda.control(kx::IOCTL_STREAM_WRITE, desc.bytes);
            }
        });
        ASSERT_TRUE(kx::hdaSync(kBound));
    }
    void TearDown() override {
        stop = true;
        kx::hdaRelease();
        if (writer.joinable())
            writer.join();
        DeviceTest::TearDown();
    }

    HdaHandle hda;
    Descriptor desc;
    std::vector<int16_t> period = std::vector<int16_t>(kFrames * 2);
    std::atomic<bool> stop{false};
    std::thread writer;
};

TEST_F(PacedHostTest, EveryStalledRunIsLateAndChangesNothingRecorded) {
    struct Run {
        uint64_t periods;
        bool stallBefore;  // the host dawdles four periods before letting the run go
    };
    const std::vector<Run> runs = {{2, false}, {1, true}, {3, false}, {1, false}, {2, true}};
    uint64_t expected = 1;
    uint64_t stalls = 0;
    for (const Run& run : runs) {
        // The stall is what is being tested: the host is late on purpose.
        if (run.stallBefore) {
            std::this_thread::sleep_for(4 * kPeriod);
            ++stalls;
        }
        ASSERT_TRUE(kx::hdaRunStart(run.periods, kBound));
        ASSERT_TRUE(kx::hdaRunWait(kBound));
        expected += run.periods;
        ASSERT_EQ(kx::hdaStats().periods, expected);
    }
    EXPECT_GE(kx::hdaStats().latePeriods, stalls) << "each stall lets a period go late";

    // Playing out ends the stepping: the writer's later periods are not recorded.
    stop = true;
    EXPECT_TRUE(kx::hdaPlayOut(kBound));
    writer.join();
    std::vector<uint8_t> captured = kx::hdaCaptured();
    ASSERT_EQ(captured.size(), expected * kFrames * 4);
    for (uint64_t n = 0; n < expected; ++n) {
        int16_t first;
        std::memcpy(&first, captured.data() + n * kFrames * 4, sizeof first);
        EXPECT_EQ(first, static_cast<int16_t>(n)) << "period " << n << " in its place";
    }
    EXPECT_EQ(kx::hdaStats().periods, expected);
}

}  // namespace
