// SPDX-License-Identifier: Apache-2.0
// Sleep: every call counted, on tasks and other threads alike, and scaled (0 returns at once).
#include <atomic>
#include <chrono>

#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_sleep.h"
#include "platform/kernel/rtk_types.h"
#include "tests/platform/rtk_support.h"

namespace {

using namespace kx;
using rtktest::waitUntil;

class RtkSleep : public rtktest::KernelTest {};

struct Sleeper {
    uint32_t usec = 0;
    int times = 0;
    std::atomic<bool> done{false};
};

void sleeperEntry(void* argument) {
    auto* s = static_cast<Sleeper*>(argument);
    for (int i = 0; i < s->times; ++i)
        RtkSleepTaskUsec(s->usec);
    s->done = true;
}

TEST_F(RtkSleep, CountedAndScaled) {
    RtkResetCounters();
    RtkSetSleepScale(0);
    // An hour each: only the scale of 0 lets this finish within the bound.
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(RtkSleepTaskUsec(3600u * 1000000u), RTK_OK);
    EXPECT_EQ(RtkSleepCount(), 5u);
    Sleeper s;
    s.usec = 3600u * 1000000u;
    s.times = 7;
    start(sleeperEntry, &s);
    ASSERT_TRUE(waitUntil([&] { return s.done.load(); }));
    EXPECT_EQ(RtkSleepCount(), 12u) << "a task's sleeps are counted too";

    RtkSetSleepScale(100);
    EXPECT_EQ(RtkSleepTaskUsec(1000), RTK_OK);
    EXPECT_EQ(RtkSleepTaskUsec(0), RTK_OK);
    EXPECT_EQ(RtkSleepCount(), 14u);
    RtkResetCounters();
    EXPECT_EQ(RtkSleepCount(), 0u);
}

// Lower bounds only: a sleep may overrun on a busy machine but never end early.
TEST_F(RtkSleep, SleepsAtLeastTheScaledLength) {
    if (rtktest::onOneProcessor())
        GTEST_SKIP() << "host time; the one-processor kernel sleeps in virtual time (pinned in "
                        "rtk_one_processor_test)";
    using Clock = std::chrono::steady_clock;
    struct Case {
        uint32_t percent;
        uint32_t usec;
        int minimumMs;
    };
    for (Case c : {Case{100, 20000, 20}, Case{50, 40000, 20}, Case{200, 10000, 20}}) {
        SCOPED_TRACE(c.percent);
        RtkSetSleepScale(c.percent);
        auto begin = Clock::now();
        EXPECT_EQ(RtkSleepTaskUsec(c.usec), RTK_OK);
        EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(c.minimumMs));

        Sleeper s;
        s.usec = c.usec;
        s.times = 1;
        begin = Clock::now();
        start(sleeperEntry, &s);
        ASSERT_TRUE(waitUntil([&] { return s.done.load(); }));
        EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(c.minimumMs)) << "on a task";
    }
}

}  // namespace
