// SPDX-License-Identifier: Apache-2.0
// Host waits (RtkHostWait, RtkHostWake): what ends one (its ready after a wake, a code in its
// events, the others' quiescence, its bound, its task's deletion) and what leaves it waiting (a
// wake with nothing changed, a code outside its events); a task in one counts as quiescent; the
// host thread waits the same way.
#include <atomic>
#include <vector>

#include "platform/kernel/rtk_events.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_sleep.h"
#include "platform/kernel/rtk_tasks.h"
#include "platform/kernel/rtk_types.h"
#include "tests/platform/rtk_support.h"

namespace {

using namespace kx;
using rtktest::waitUntil;

class RtkHostWaitTest : public rtktest::KernelTest {};

constexpr int kUnwound = -1;  // the task was deleted in its wait and never returned from it

// A task that makes one host wait and records how it ended. Its ready reads `flag`.
struct Waiter {
    RtkHostWaitFor what;
    int32_t timeoutMs = RTK_WAIT_FOREVER;
    std::atomic<bool> flag{false};
    std::atomic<bool> returned{false};
    RtkHostWoken woken = RtkHostWoken::TimedOut;  // published by `returned`
    bool codePendingAfter = false;                // the wait left its code for a receive
    const std::atomic<bool>* otherDone = nullptr;
    bool otherDoneSeen = false;  // *otherDone when the wait ended
};

bool flagSet(void* context) {
    return static_cast<Waiter*>(context)->flag.load();
}

void waiterEntry(void* argument) {
    auto* w = static_cast<Waiter*>(argument);
    w->woken = RtkHostWait(w->what, w->timeoutMs);
    w->otherDoneSeen = w->otherDone != nullptr && w->otherDone->load();
    w->codePendingAfter = RtkEventPending(RtkCurrentTask(), 0xFFFF);
    w->returned = true;
}

void wakeOnly(Waiter&, RtkTaskId) {
    RtkHostWake();
}

void setAndWake(Waiter& w, RtkTaskId) {
    w.flag = true;
    RtkHostWake();
}

void sendOther(Waiter&, RtkTaskId id) {
    EXPECT_EQ(RtkSendTaskEvent(id, 0x0020), RTK_OK);
}

void sendWanted(Waiter&, RtkTaskId id) {
    EXPECT_EQ(RtkSendTaskEvent(id, 0x0010), RTK_OK);
}

void deleteIt(Waiter&, RtkTaskId id) {
    EXPECT_EQ(RtkDeleteTask(id), RTK_OK);
}

TEST_F(RtkHostWaitTest, WhatEndsAWaitAndWhatLeavesItWaiting) {
    using Action = void (*)(Waiter&, RtkTaskId);
    struct Case {
        const char* what;
        uint16_t events;
        int32_t timeoutMs;
        bool readyAtStart;
        uint16_t sentBefore;  // sent before the task runs (0: none)
        Action nudge;         // must leave the wait waiting (null: none)
        Action end;           // ends it (null: it ends by itself)
        int expected;         // an RtkHostWoken, or kUnwound
        bool codePendingAfter;
    };
    constexpr int kReady = static_cast<int>(RtkHostWoken::Ready);
    constexpr int kEvent = static_cast<int>(RtkHostWoken::Event);
    constexpr int kTimedOut = static_cast<int>(RtkHostWoken::TimedOut);
    const std::vector<Case> cases = {
        {"ready holding already", 0, -1, true, 0, nullptr, nullptr, kReady, false},
        {"a wake after the change", 0, -1, false, 0, wakeOnly, setAndWake, kReady, false},
        {"a code in its events", 0x0010, -1, false, 0, sendOther, sendWanted, kEvent, true},
        {"a code pending already", 0x0010, -1, false, 0x0010, nullptr, nullptr, kEvent, true},
        {"ready asked before events", 0x0010, -1, true, 0x0010, nullptr, nullptr, kReady, true},
        {"no events: codes ignored", 0, -1, false, 0, sendWanted, setAndWake, kReady, true},
        {"its bound", 0x0010, 50, false, 0, nullptr, nullptr, kTimedOut, false},
        {"a wake with its bound", 0, 60000, false, 0, wakeOnly, setAndWake, kReady, false},
        {"its deletion", 0x0010, -1, false, 0, sendOther, deleteIt, kUnwound, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Waiter w;
        w.what = RtkHostWaitFor{.ready = flagSet, .context = &w, .events = c.events};
        w.timeoutMs = c.timeoutMs;
        w.flag = c.readyAtStart;
        RtkTaskId id = create(waiterEntry, &w);
        if (c.sentBefore != 0) {
            ASSERT_EQ(RtkSendTaskEvent(id, c.sentBefore), RTK_OK);
        }
        ASSERT_EQ(RtkResumeTask(id), RTK_OK);
        if (c.nudge != nullptr) {
            ASSERT_TRUE(RtkWaitQuiescent(0, rtktest::kBoundMs)) << "a task in a host wait";
            c.nudge(w, id);
            ASSERT_TRUE(RtkWaitQuiescent(0, rtktest::kBoundMs)) << "back in its wait";
            EXPECT_FALSE(w.returned.load()) << "the nudge ended the wait";
        }
        if (c.end != nullptr)
            c.end(w, id);
        if (c.expected == kUnwound) {
            ASSERT_TRUE(waitUntil([] { return RtkThreadsAlive() == 0; }));
            EXPECT_FALSE(w.returned.load()) << "a deleted task returned from its wait";
            continue;
        }
        ASSERT_TRUE(waitUntil([&] { return w.returned.load(); }));
        EXPECT_EQ(static_cast<int>(w.woken), c.expected);
        EXPECT_EQ(w.codePendingAfter, c.codePendingAfter);
        ASSERT_TRUE(waitUntil([] { return RtkThreadsAlive() == 0; }));
    }
}

// Sleeps, notes that it is done, then waits in a receive (quiescent) until deleted.
struct Sleeper {
    uint32_t microseconds = 0;
    std::atomic<bool> done{false};
};

void sleeperEntry(void* argument) {
    auto* s = static_cast<Sleeper*>(argument);
    RtkSleepTaskUsec(s->microseconds);
    s->done = true;
    uint16_t code = 0;
    RtkReceiveTaskEvent(0, 0x0001, 0, RTK_WAIT_FOREVER, &code);
}

TEST_F(RtkHostWaitTest, QuiescenceOfTheOthersEndsAWaitThatAsksForIt) {
    struct Case {
        const char* what;
        uint32_t sleepUsec;
        bool exceptSleeper;
        bool sleeperDoneAtEnd;
    };
    const std::vector<Case> cases = {
        {"waits for a sleeping task", 20000, false, true},
        {"except names the sleeper", 3600u * 1000000u, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Sleeper s;
        s.microseconds = c.sleepUsec;
        RtkTaskId sleeper = start(sleeperEntry, &s, "sleeper");
        Waiter w;
        w.what = RtkHostWaitFor{.ready = flagSet,
                                .context = &w,
                                .quiescent = true,
                                .except = c.exceptSleeper ? sleeper : 0};
        w.otherDone = &s.done;
        start(waiterEntry, &w, "waiter");
        ASSERT_TRUE(waitUntil([&] { return w.returned.load(); }));
        EXPECT_EQ(w.woken, RtkHostWoken::Quiescent);
        EXPECT_EQ(w.otherDoneSeen, c.sleeperDoneAtEnd);
        EXPECT_EQ(RtkDeleteTask(sleeper), RTK_OK);
        ASSERT_TRUE(waitUntil([] { return RtkThreadsAlive() == 0; }));
    }
}

// A task that sets the host's flag and wakes it, after a sleep that lets the host block first.
void setterEntry(void* argument) {
    auto* flag = static_cast<std::atomic<bool>*>(argument);
    RtkSleepTaskUsec(10000);
    flag->store(true);
    RtkHostWake();
}

bool hostFlagSet(void* context) {
    return static_cast<std::atomic<bool>*>(context)->load();
}

TEST_F(RtkHostWaitTest, TheHostThreadWaitsAsATaskDoes) {
    struct Case {
        const char* what;
        bool setter;
        uint16_t events;
        int32_t timeoutMs;
        RtkHostWoken expected;
    };
    const std::vector<Case> cases = {
        {"a task's wake", true, 0, rtktest::kBoundMs, RtkHostWoken::Ready},
        {"no events off a task", false, 0xFFFF, 30, RtkHostWoken::TimedOut},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::atomic<bool> flag{false};
        if (c.setter)
            start(setterEntry, &flag, "setter");
        RtkHostWaitFor what{.ready = hostFlagSet, .context = &flag, .events = c.events};
        EXPECT_EQ(RtkHostWait(what, c.timeoutMs), c.expected);
        EXPECT_EQ(flag.load(), c.setter);
        ASSERT_TRUE(waitUntil([] { return RtkThreadsAlive() == 0; }));
    }
}

}  // namespace
