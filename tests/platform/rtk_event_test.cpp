// SPDX-License-Identifier: Apache-2.0
// Task events: one code per receive, oldest first among those the mask selects, merging of
// repeated codes, the bound on distinct pending codes, timeouts, and receives off a task.
#include <atomic>
#include <vector>

#include "platform/kernel/rtk_events.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_tasks.h"
#include "platform/kernel/rtk_types.h"
#include "tests/platform/rtk_support.h"

namespace {

using namespace kx;
using rtktest::waitUntil;

class RtkEvent : public rtktest::KernelTest {};

// A task that, once resumed, makes one receive per mask with timeout 0 and records each.
struct Script {
    std::vector<uint16_t> masks;
    std::vector<uint16_t> codes;
    std::vector<int32_t> results;
    std::atomic<bool> done{false};
};

void scriptEntry(void* argument) {
    auto* s = static_cast<Script*>(argument);
    for (uint16_t mask : s->masks) {
        uint16_t code = 0xDEAD;  // a receive must overwrite it, with 0 when it gets nothing
        s->results.push_back(RtkReceiveTaskEvent(0, mask, 0, 0, &code));
        s->codes.push_back(code);
    }
    s->done = true;
}

TEST_F(RtkEvent, ReceiveSelectsOneCodeAtATime) {
    struct Case {
        const char* what;
        std::vector<uint16_t> sent;  // before the task runs: all pending when it receives
        std::vector<uint16_t> masks;
        std::vector<uint16_t> expected;
    };
    const std::vector<Case> cases = {
        {"one code per receive", {0x8000, 0x4000}, {0xC000, 0xC000, 0xC000}, {0x8000, 0x4000, 0}},
        {"mask passes over older codes", {0x8000, 0x4000}, {0x4000, 0xFFFF}, {0x4000, 0x8000}},
        {"send order kept", {3, 1, 2}, {0xFFFF, 0xFFFF, 0xFFFF}, {3, 1, 2}},
        {"repeated code merges", {0x8000, 0x8000, 0x8000}, {0x8000, 0x8000}, {0x8000, 0}},
        {"merge keeps the first place", {1, 2, 1}, {0xFFFF, 0xFFFF, 0xFFFF}, {1, 2, 0}},
        {"any shared bit selects", {0x0003}, {0x0002}, {0x0003}},
        {"unselected code stays out", {0x0001}, {0x8000, 0x0001}, {0, 0x0001}},
        {"nothing sent", {}, {0xFFFF}, {0}},
        {"mask 0 selects nothing", {0x8000}, {0, 0x8000}, {0, 0x8000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Script s;
        s.masks = c.masks;
        RtkTaskId id = create(scriptEntry, &s);
        for (uint16_t code : c.sent)
            EXPECT_EQ(RtkSendTaskEvent(id, code), RTK_OK);
        ASSERT_EQ(RtkResumeTask(id), RTK_OK);
        ASSERT_TRUE(waitUntil([&] { return s.done.load(); }));
        ASSERT_TRUE(waitUntil([] { return RtkThreadsAlive() == 0; }));  // done with s
        EXPECT_EQ(s.codes, c.expected);
        for (size_t i = 0; i < s.codes.size(); ++i) {
            EXPECT_EQ(s.results[i], s.codes[i] != 0 ? RTK_OK : RTK_ERR_TIMEOUT) << "receive " << i;
        }
    }
}

TEST_F(RtkEvent, PendingSetIsBoundedUnderAFlood) {
    Script s;
    s.masks.assign(RTK_PENDING_MAX + 1, 0xFFFF);
    RtkTaskId id = create(scriptEntry, &s);
    RtkResetCounters();
    std::vector<uint16_t> expected;
    for (uint16_t code = 1; code <= 1000; ++code) {
        int32_t r = RtkSendTaskEvent(id, code);
        if (code <= RTK_PENDING_MAX) {
            EXPECT_EQ(r, RTK_OK);
            expected.push_back(code);
        } else {
            EXPECT_EQ(r, RTK_ERR_RESOURCE) << "code " << code;
        }
    }
    EXPECT_EQ(RtkDroppedEvents(), 1000u - RTK_PENDING_MAX);
    EXPECT_EQ(RtkSendTaskEvent(id, 5), RTK_OK) << "a pending code still merges when full";
    EXPECT_EQ(RtkDroppedEvents(), 1000u - RTK_PENDING_MAX);
    EXPECT_TRUE(RtkEventPending(id, 0x0010));
    EXPECT_FALSE(RtkEventPending(id, 0x8000)) << "0x8000 itself was dropped";
    ASSERT_EQ(RtkResumeTask(id), RTK_OK);
    ASSERT_TRUE(waitUntil([&] { return s.done.load(); }));
    ASSERT_TRUE(waitUntil([] { return RtkThreadsAlive() == 0; }));
    expected.push_back(0);
    EXPECT_EQ(s.codes, expected) << "the first distinct codes are kept, in order";
    RtkResetCounters();
    EXPECT_EQ(RtkDroppedEvents(), 0u);
}

// A task that waits (timeout given) for codes until it receives the stop code 0x0100.
struct Waiter {
    int32_t timeoutMs = RTK_WAIT_FOREVER;
    uint16_t mask = 0xFFFF;
    std::atomic<bool> go{true};  // while false the task spins outside the kernel
    std::vector<uint16_t> codes;
    std::vector<int32_t> results;
    std::atomic<int> received{0};
    std::atomic<bool> done{false};
};

void waiterEntry(void* argument) {
    auto* w = static_cast<Waiter*>(argument);
    while (!w->go.load())
        std::this_thread::yield();
    for (;;) {
        uint16_t code = 0xDEAD;
        int32_t r = RtkReceiveTaskEvent(0, w->mask, 0, w->timeoutMs, &code);
        w->codes.push_back(code);
        w->results.push_back(r);
        w->received.fetch_add(1);
        if (code == 0x0100 || w->timeoutMs >= 0)
            break;
    }
    w->done = true;
}

TEST_F(RtkEvent, BlockedReceiveWakesForItsCode) {
    Waiter w;
    w.mask = 0x0101;
    RtkTaskId id = start(waiterEntry, &w);
    ASSERT_TRUE(RtkWaitQuiescent(0, rtktest::kBoundMs));
    EXPECT_EQ(RtkSendTaskEvent(id, 0x8000), RTK_OK);  // not selected: it must stay asleep
    EXPECT_TRUE(RtkWaitQuiescent(0, 0));
    EXPECT_EQ(w.received.load(), 0);
    EXPECT_EQ(RtkSendTaskEvent(id, 0x0001), RTK_OK);
    ASSERT_TRUE(waitUntil([&] { return w.received.load() == 1; }));
    EXPECT_EQ(RtkSendTaskEvent(id, 0x0100), RTK_OK);
    ASSERT_TRUE(waitUntil([&] { return w.done.load(); }));
    ASSERT_TRUE(waitUntil([] { return RtkThreadsAlive() == 0; }));
    EXPECT_EQ(w.codes, (std::vector<uint16_t>{0x0001, 0x0100}));
    EXPECT_EQ(w.results, (std::vector<int32_t>{RTK_OK, RTK_OK}));
}

TEST_F(RtkEvent, CodeSentWhileBusyStaysPending) {
    if (rtktest::onOneProcessor())
        GTEST_SKIP()
            << "its task spins until the host sets a flag; one processor never returns to the host";
    Waiter w;
    w.go = false;
    w.timeoutMs = 0;
    RtkTaskId id = start(waiterEntry, &w);
    EXPECT_EQ(RtkSendTaskEvent(id, 0x4000), RTK_OK);  // it spins: not waiting
    EXPECT_TRUE(RtkEventPending(id, 0x4000));
    w.go = true;
    ASSERT_TRUE(waitUntil([&] { return w.done.load(); }));
    ASSERT_TRUE(waitUntil([] { return RtkThreadsAlive() == 0; }));
    EXPECT_EQ(w.codes, std::vector<uint16_t>{0x4000});
}

TEST_F(RtkEvent, TimeoutsReturnWithoutACode) {
    for (int32_t timeout : {0, 1, 20}) {
        SCOPED_TRACE(timeout);
        Waiter w;
        w.timeoutMs = timeout;
        start(waiterEntry, &w);
        ASSERT_TRUE(waitUntil([&] { return w.done.load(); }));
        ASSERT_TRUE(waitUntil([] { return RtkThreadsAlive() == 0; }));
        EXPECT_EQ(w.codes, std::vector<uint16_t>{0});
        EXPECT_EQ(w.results, std::vector<int32_t>{RTK_ERR_TIMEOUT});
    }
}

TEST_F(RtkEvent, MisuseIsHarmless) {
    uint16_t code = 0xDEAD;
    EXPECT_EQ(RtkReceiveTaskEvent(0, 0xFFFF, 0, RTK_WAIT_FOREVER, &code), RTK_ERR_NO_TASK)
        << "off a task it must not block";
    EXPECT_EQ(code, 0);
    EXPECT_EQ(RtkReceiveTaskEvent(0, 0xFFFF, 0, 0, nullptr), RTK_ERR_PARAM);
    EXPECT_EQ(RtkSendTaskEvent(0, 0x8000), RTK_ERR_NO_TASK);
    EXPECT_EQ(RtkSendTaskEvent(0xFFFFFFF0u, 0x8000), RTK_ERR_NO_TASK);
    EXPECT_FALSE(RtkEventPending(0xFFFFFFF0u, 0xFFFF));
    Waiter w;
    RtkTaskId id = create(waiterEntry, &w);
    EXPECT_EQ(RtkSendTaskEvent(id, 0), RTK_ERR_PARAM) << "0 is the no-code value";
    EXPECT_FALSE(RtkEventPending(id, 0xFFFF));
}

}  // namespace
