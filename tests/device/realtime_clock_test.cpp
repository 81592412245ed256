// SPDX-License-Identifier: Apache-2.0
// The real-time clock: writes keep an absolute schedule from the first one; a writer made late on
// purpose is counted once per stall, failing writes keep their slot, and a writer on time is
// never counted. Only counts are asserted, never durations.
#include <chrono>
#include <thread>
#include <vector>

#include "platform/devices/hda_protocol.h"
#include "tests/device/device_support.h"

namespace {

using kxdev::Descriptor;
using kxdev::DeviceTest;
using kxdev::HdaHandle;

// 50 ms periods: a writer that is on time has a whole period of slack on a busy machine.
constexpr uint32_t kFrames = 2205;
constexpr auto kPeriod = std::chrono::milliseconds(50);

struct Action {
    bool stallBefore;  // the writer sleeps four periods before this write
    bool fails;        // this write is made to fail
};

class RealTimeClockTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        kx::hdaSetClock(kx::HdaClock::RealTime);
        kx::hdaSetFramesPerPeriod(kFrames);
        desc = Descriptor::stereo();
        ASSERT_EQ(hda.control(kx::IOCTL_STREAM_OPEN, desc.bytes), 0);
        period.assign(kFrames * 2, 1);
        desc.setBuffer(period.data());
    }

    void run(const std::vector<Action>& actions) {
        for (const Action& a : actions) {
            // The stall is what is being tested: it makes the writer late on purpose.
            if (a.stallBefore)
                std::this_thread::sleep_for(4 * kPeriod);
            if (a.fails)
                kx::faultArm(kx::Fault::StreamWrite, 1);
            int32_t result = hda.control(kx::IOCTL_STREAM_WRITE, desc.bytes);
            EXPECT_EQ(result == 0, !a.fails);
        }
    }

    HdaHandle hda;
    Descriptor desc;
    std::vector<int16_t> period;
};

TEST_F(RealTimeClockTest, EachStallCountsOnceAndTheScheduleResumesFromIt) {
    struct Case {
        const char* what;
        std::vector<Action> actions;
        uint64_t late;
        uint64_t periods;
    };
    const Action onTime{false, false};
    const Action stall{true, false};
    const Action failing{false, true};
    const Action stalledFailing{true, true};
    for (const Case& c : {
             Case{"on time", {onTime, onTime, onTime, onTime, onTime, onTime}, 0, 6},
             Case{"one stall", {onTime, onTime, onTime, stall, onTime, onTime, onTime}, 1, 7},
             Case{"two stalls", {onTime, stall, onTime, onTime, stall, onTime}, 2, 6},
             Case{"failing writes keep their slots", {onTime, failing, failing, onTime}, 0, 2},
             Case{"a late failing write", {onTime, onTime, stalledFailing, onTime, onTime}, 1, 4},
         }) {
        kx::HdaStats before = kx::hdaStats();
        run(c.actions);
        kx::HdaStats after = kx::hdaStats();
        EXPECT_EQ(after.latePeriods - before.latePeriods, c.late) << c.what;
        EXPECT_EQ(after.periods - before.periods, c.periods) << c.what;
        // A reopen starts a new schedule, so the next case does not inherit this one's.
        ASSERT_EQ(hda.control(kx::IOCTL_STREAM_CLOSE, desc.bytes), 0);
        ASSERT_EQ(hda.control(kx::IOCTL_STREAM_OPEN, desc.bytes), 0);
        desc.setBuffer(period.data());
    }
}

TEST_F(RealTimeClockTest, TheFirstWriteAfterAnIdleOpenIsNotLate) {
    // The schedule starts at the first write, not at the open.
    std::this_thread::sleep_for(3 * kPeriod);
    run({{false, false}, {false, false}});
    EXPECT_EQ(kx::hdaStats().latePeriods, 0u);
}

TEST_F(RealTimeClockTest, WaitPeriodsSeesAWriterOnAnotherThread) {
    std::thread writer([this] { run({{false, false}, {false, false}, {false, false}}); });
    EXPECT_TRUE(kx::hdaWaitPeriods(3, 10000));
    writer.join();
    EXPECT_FALSE(kx::hdaWaitPeriods(4, 20)) << "no fourth period comes";
}

}  // namespace
