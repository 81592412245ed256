// SPDX-License-Identifier: Apache-2.0
// The stepped clock: a write is recorded on arrival and waits for the host's step; hdaSync waits
// for the writer and for every other task to be quiet, so the same host actions give the same
// capture every run. Also: release, the wake events, a forced delete, failing writes.
#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "platform/devices/dm.h"
#include "platform/devices/hda_protocol.h"
#include "platform/kernel/rtk_events.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_tasks.h"
#include "platform/kernel/rtk_types.h"
#include "tests/device/device_support.h"

namespace {

using kxdev::Descriptor;
using kxdev::DeviceTest;
using kxdev::HdaHandle;
using kxdev::MiniEngine;

constexpr int32_t kBound = 10000;  // ms: generous bound of every wait
constexpr uint32_t kFrames = MiniEngine::kFrames;
constexpr uint16_t kExit = MiniEngine::kExit;
constexpr uint16_t kLoad = MiniEngine::kLoad;

using SteppedClockTest = DeviceTest;

// Runs one scripted session and returns its capture.
std::vector<uint8_t> runScript() {
    kx::hdaReset();
    kx::hdaSetClock(kx::HdaClock::Stepped);
    kx::hdaSetFramesPerPeriod(kFrames);
    MiniEngine engine;
    std::vector<uint8_t> capture;
    {
        HdaHandle hda;
        engine.start(hda);
        for (int step = 1; step <= 6; ++step) {
            // Host actions between periods reach the period after the one just recorded.
            if (step == 3) {
                uint32_t volume[2] = {50, 0};
                EXPECT_EQ(hda.control(kx::IOCTL_VOLUME, volume), 0);
            }
            if (step == 5) {
                uint32_t mute[2] = {0, 1};
                EXPECT_EQ(hda.control(kx::IOCTL_MUTE, mute), 0);
            }
            EXPECT_TRUE(kx::hdaStep(kBound)) << step;
            EXPECT_EQ(kx::hdaStats().periods, static_cast<uint64_t>(step) + 1)
                << "one step, one period";
        }

        // The exit event ends a write that waits for a step, so both tasks can end.
        engine.stop();
        capture = kx::hdaCaptured();
    }
    return capture;
}

TEST_F(SteppedClockTest, TheSameHostActionsGiveByteIdenticalCaptures) {
    std::vector<uint8_t> first = runScript();
    ASSERT_EQ(first.size(), 7u * kFrames * 4);
    // Period n carries generation n: the loader ran exactly once between any two periods.
    std::vector<int16_t> samples(first.size() / 2);
    std::memcpy(samples.data(), first.data(), first.size());
    for (uint32_t n = 0; n < 7; ++n) {
        for (uint32_t i = 0; i < kFrames * 2; ++i) {
            int full = static_cast<int>(n) * 1000 + static_cast<int>(i);
            int expected = n < 3 ? full : n < 5 ? full * 50 / 100 : 0;
            ASSERT_EQ(samples[n * kFrames * 2 + i], expected) << "period " << n << " sample " << i;
        }
    }
    for (int run = 0; run < 3; ++run)
        EXPECT_EQ(runScript(), first) << "run " << run;
}

// A write from a plain thread, reporting its result through a future.
std::future<int32_t> writeAsync(uint32_t handle, Descriptor* desc, std::thread* thread) {
    auto promise = std::make_shared<std::promise<int32_t>>();
    std::future<int32_t> done = promise->get_future();
    *thread = std::thread([=] {
        promise->set_value(
            kx::DmDeviceIoControl(handle, kx::IOCTL_STREAM_WRITE, desc->bytes, 0, 0, 0, 0));
    });
    return done;
}

bool finishes(std::future<int32_t>& done) {
    return done.wait_for(std::chrono::milliseconds(kBound)) == std::future_status::ready;
}

TEST_F(SteppedClockTest, ReleaseEndsABlockedWriteAndLaterWritesGoUnrecorded) {
    if (kxdev::onOneProcessor())
        GTEST_SKIP() << kxdev::kSecondHostThread;
    kx::hdaSetClock(kx::HdaClock::Stepped);
    kx::hdaSetFramesPerPeriod(kFrames);
    HdaHandle hda;
    Descriptor desc = Descriptor::stereo();
    ASSERT_EQ(hda.control(kx::IOCTL_STREAM_OPEN, desc.bytes), 0);
    std::vector<int16_t> period(kFrames * 2, 7);
    desc.setBuffer(period.data());

    std::thread writer;
    std::future<int32_t> done = writeAsync(hda.handle(), &desc, &writer);
    ASSERT_TRUE(kx::hdaSync(kBound));
    EXPECT_EQ(kx::hdaStats().periods, 1u) << "recorded on arrival, before any step";
    kx::hdaRelease();
    ASSERT_TRUE(finishes(done));
    EXPECT_EQ(done.get(), 0);
    writer.join();

    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(hda.control(kx::IOCTL_STREAM_WRITE, desc.bytes), 0);
    EXPECT_EQ(kx::hdaStats().periods, 1u);
    EXPECT_EQ(kx::hdaCaptured().size(), kFrames * 4);
    EXPECT_FALSE(kx::hdaSync(20)) << "nothing waits any more";
}

TEST_F(SteppedClockTest, AFailingWriteWaitsForItsStepAllTheSame) {
    if (kxdev::onOneProcessor())
        GTEST_SKIP() << kxdev::kSecondHostThread;
    kx::hdaSetClock(kx::HdaClock::Stepped);
    HdaHandle hda;
    Descriptor desc = Descriptor::stereo();
    ASSERT_EQ(hda.control(kx::IOCTL_STREAM_OPEN, desc.bytes), 0);  // no buffer named: fails

    std::thread writer;
    std::future<int32_t> done = writeAsync(hda.handle(), &desc, &writer);
    ASSERT_TRUE(kx::hdaSync(kBound)) << "the failing write is paced";
    EXPECT_EQ(kx::hdaStats().failedWrites, 1u);
    EXPECT_EQ(done.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    kx::hdaRelease();
    ASSERT_TRUE(finishes(done));
    EXPECT_EQ(done.get(), kx::HDA_ERR_BUFFER);
    writer.join();
}

// A task that makes one write and reports what became of it.
struct OneWrite {
    uint32_t handle = 0;
    Descriptor desc;
    std::vector<int16_t> period = std::vector<int16_t>(kFrames * 2, 3);
    std::atomic<bool> returned{false};
};

void writeOnce(void* argument) {
    auto* w = static_cast<OneWrite*>(argument);
    kx::DmDeviceIoControl(w->handle, kx::IOCTL_STREAM_WRITE, w->desc.bytes, 0, 0, 0, 0);
    w->returned = true;
    kx::RtkDeleteTask(0);
}

// A blocked write ends on a code in the driver's wake set (every code unless the host narrows
// it), on its task's deletion, or on release; any other code leaves it blocked, for the task's
// own receive. Whether it ended is read once every task, the writer included, is quiescent:
// blocked again in its write, or ended.
TEST_F(SteppedClockTest, AWakeEventOrAForcedDeleteEndsABlockedWrite) {
    constexpr int kDefaultSet = -1;
    constexpr uint16_t kDelete = 0;
    struct Case {
        const char* what;
        int wakeEvents;  // hdaSetWakeEvents, or kDefaultSet
        uint16_t code;   // sent to the writer, or kDelete
        bool ends;
    };
    const std::vector<Case> cases = {
        {"the exit event, by default", kDefaultSet, kExit, true},
        {"any code, by default", kDefaultSet, kLoad, true},
        {"a code in the set", kExit, kExit, true},
        {"a code outside the set", kExit, kLoad, false},
        {"an empty set", 0, kExit, false},
        {"a forced delete", kExit, kDelete, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kx::hdaReset();
        kx::hdaSetClock(kx::HdaClock::Stepped);
        kx::hdaSetFramesPerPeriod(kFrames);
        if (c.wakeEvents != kDefaultSet)
            kx::hdaSetWakeEvents(static_cast<uint16_t>(c.wakeEvents));
        HdaHandle hda;
        OneWrite w;
        w.handle = hda.handle();
        w.desc = Descriptor::stereo();
        ASSERT_EQ(hda.control(kx::IOCTL_STREAM_OPEN, w.desc.bytes), 0);
        w.desc.setBuffer(w.period.data());
        kx::RtkTaskId task = 0;
        ASSERT_EQ(kx::RtkCreateTask("writer", 192, 0x4000, 0, 1, writeOnce, &w, &task), 0);
        ASSERT_EQ(kx::RtkResumeTask(task), 0);
        ASSERT_TRUE(kx::hdaSync(kBound));

        if (c.code == kDelete) {
            EXPECT_EQ(kx::RtkDeleteTask(task), 0);
        } else {
            EXPECT_EQ(kx::RtkSendTaskEvent(task, c.code), 0);
        }
        ASSERT_TRUE(kx::RtkWaitQuiescent(0, kBound));
        EXPECT_EQ(kx::RtkThreadsAlive() == 0, c.ends);
        EXPECT_EQ(w.returned.load(), c.ends && c.code != kDelete) << "returned, or unwound";
        if (!c.ends) {
            EXPECT_TRUE(kx::hdaSync(kBound)) << "still blocked";
            kx::hdaRelease();
            ASSERT_TRUE(kx::RtkWaitQuiescent(0, kBound));
            EXPECT_TRUE(w.returned.load());
        }
        EXPECT_EQ(kx::RtkThreadsAlive(), 0);
        EXPECT_EQ(kx::hdaStats().periods, 1u);
    }
}

TEST_F(SteppedClockTest, SyncTimesOutWhenNothingWrites) {
    kx::hdaSetClock(kx::HdaClock::Stepped);
    EXPECT_FALSE(kx::hdaSync(20));
    EXPECT_FALSE(kx::hdaStep(20));
}

}  // namespace
