// SPDX-License-Identifier: Apache-2.0
// Quiescence: reached once every task is suspended, ended or blocked in a receive with nothing
// it wants pending; never reported while a task has a deliverable code, runs, sleeps or waits
// for a section.
#include <atomic>

#include "platform/kernel/rtk_events.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_sections.h"
#include "platform/kernel/rtk_sleep.h"
#include "platform/kernel/rtk_tasks.h"
#include "platform/kernel/rtk_types.h"
#include "tests/platform/rtk_support.h"

namespace {

using namespace kx;
using rtktest::waitUntil;

class RtkQuiescence : public rtktest::KernelTest {};

constexpr int kShortMs = 100;  // long enough to see a wrong "reached", short to run

// Waits for codes with mask 0x00FF. On 0x0001 it works (spins outside the kernel) until the
// test releases it; on 0x0002 it sleeps for an hour; on 0x0004 it takes a section and leaves it.
struct Worker {
    RtkHandle section = 0;
    std::atomic<bool> release{false};
    std::atomic<int> handled{0};
};

void workerEntry(void* argument) {
    auto* w = static_cast<Worker*>(argument);
    for (;;) {
        uint16_t code = 0;
        RtkReceiveTaskEvent(0, 0x00FF, 0, RTK_WAIT_FOREVER, &code);
        if (code == 0x0001) {
            while (!w->release.exchange(false))
                std::this_thread::yield();
        } else if (code == 0x0002) {
            RtkSleepTaskUsec(3600u * 1000000u);
        } else if (code == 0x0004) {
            RtkEnterCriticalSection(w->section);
            RtkLeaveCriticalSection(w->section);
        }
        w->handled.fetch_add(1);
    }
}

void spinEntry(void* argument) {
    auto* stop = static_cast<std::atomic<bool>*>(argument);
    while (!stop->load())
        RtkCheckDeleted();
}

TEST_F(RtkQuiescence, ReachedWhenEveryTaskWaits) {
    Worker a, b;
    RtkTaskId ta = start(workerEntry, &a);
    start(workerEntry, &b);
    create(workerEntry, &b);  // never resumed
    EXPECT_TRUE(RtkWaitQuiescent(0, rtktest::kBoundMs));
    EXPECT_TRUE(RtkWaitQuiescent(0, 0)) << "stays reached";
    EXPECT_EQ(RtkSendTaskEvent(ta, 0x0100), RTK_OK) << "a code its mask does not select";
    EXPECT_TRUE(RtkWaitQuiescent(0, 0));
    EXPECT_TRUE(RtkEventPending(ta, 0x0100));
    EXPECT_EQ(RtkDeleteTask(ta), RTK_OK);
    EXPECT_TRUE(RtkWaitQuiescent(0, rtktest::kBoundMs)) << "a deleted task ends";
}

TEST_F(RtkQuiescence, NotReportedWhileAWorkerHasWork) {
    if (rtktest::onOneProcessor())
        GTEST_SKIP()
            << "its worker spins outside the kernel; one processor never returns to the host";
    Worker w;
    ASSERT_EQ(RtkCreateCriticalSection("q", &w.section), RTK_OK);
    RtkTaskId id = start(workerEntry, &w);
    ASSERT_TRUE(RtkWaitQuiescent(0, rtktest::kBoundMs));

    // A send makes the task non-quiescent at once, before it has even woken up.
    ASSERT_EQ(RtkSendTaskEvent(id, 0x0001), RTK_OK);
    EXPECT_FALSE(RtkWaitQuiescent(0, 0)) << "deliverable code pending or running";
    EXPECT_FALSE(RtkWaitQuiescent(0, kShortMs)) << "running";
    EXPECT_TRUE(RtkWaitQuiescent(id, 0)) << "except names the running task";
    w.release = true;
    ASSERT_TRUE(RtkWaitQuiescent(0, rtktest::kBoundMs));
    EXPECT_EQ(w.handled.load(), 1);

    ASSERT_EQ(RtkEnterCriticalSection(w.section), RTK_OK);
    ASSERT_EQ(RtkSendTaskEvent(id, 0x0004), RTK_OK);
    EXPECT_FALSE(RtkWaitQuiescent(0, kShortMs)) << "waiting for a section";
    ASSERT_EQ(RtkLeaveCriticalSection(w.section), RTK_OK);
    ASSERT_TRUE(RtkWaitQuiescent(0, rtktest::kBoundMs));
    EXPECT_EQ(w.handled.load(), 2);

    ASSERT_EQ(RtkSendTaskEvent(id, 0x0002), RTK_OK);
    EXPECT_FALSE(RtkWaitQuiescent(0, kShortMs)) << "sleeping";
    EXPECT_EQ(w.handled.load(), 2);
    ASSERT_EQ(RtkDeleteTask(id), RTK_OK);  // cuts the hour short
    EXPECT_TRUE(RtkWaitQuiescent(0, rtktest::kBoundMs));
    ASSERT_TRUE(waitUntil([] { return RtkThreadsAlive() == 0; }));
    EXPECT_EQ(RtkDeleteCriticalSection(w.section), RTK_OK);
}

// Repeatedly: wake the worker with work and ask at once; a kernel that marks the task runnable
// only when it wakes would answer "reached" now and then.
TEST_F(RtkQuiescence, NeverEarlyAfterASend) {
    if (rtktest::onOneProcessor())
        GTEST_SKIP()
            << "its worker spins outside the kernel; one processor never returns to the host";
    Worker w;
    RtkTaskId id = start(workerEntry, &w);
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(RtkWaitQuiescent(0, rtktest::kBoundMs));
        ASSERT_EQ(RtkSendTaskEvent(id, 0x0001), RTK_OK);
        ASSERT_FALSE(RtkWaitQuiescent(0, 0)) << "round " << i;
        w.release = true;
        ASSERT_TRUE(waitUntil([&] { return w.handled.load() == i + 1; }));
    }
}

void timedEntry(void* argument) {
    auto* got = static_cast<std::atomic<uint16_t>*>(argument);
    uint16_t code = 0;
    RtkReceiveTaskEvent(0, 0xFFFF, 0, 600000, &code);
    *got = code;
}

TEST_F(RtkQuiescence, ExceptAndTimedReceive) {
    if (rtktest::onOneProcessor())
        GTEST_SKIP()
            << "its task spins outside the kernel; one processor never returns to the host";
    std::atomic<bool> stop{false};
    std::atomic<uint16_t> got{0};
    RtkTaskId spinner = start(spinEntry, &stop);
    RtkTaskId timed = start(timedEntry, &got);
    EXPECT_FALSE(RtkWaitQuiescent(0, kShortMs)) << "a running task";
    EXPECT_TRUE(RtkWaitQuiescent(spinner, rtktest::kBoundMs)) << "a timed receive blocks too";
    stop = true;
    EXPECT_TRUE(RtkWaitQuiescent(0, rtktest::kBoundMs)) << "the spinner returned";
    ASSERT_EQ(RtkSendTaskEvent(timed, 0x0040), RTK_OK);
    EXPECT_TRUE(waitUntil([&] { return got.load() == 0x0040; }));
}

}  // namespace
