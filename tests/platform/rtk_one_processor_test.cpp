// SPDX-License-Identifier: Apache-2.0
// What only the one-processor kernel guarantees, pinned where the two kernels' contracts differ:
// strict priorities on one processor (a resumed or woken task of higher priority runs before the
// call that readied it returns; equal priorities take turns in the order they became ready),
// virtual time (a sleep or timeout ends exactly at its deadline, however long, at once in host
// time) and a schedule that is a function of what the tasks do.
#include <string>
#include <vector>

#include "platform/kernel/rtk_events.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_sections.h"
#include "platform/kernel/rtk_sleep.h"
#include "platform/kernel/rtk_tasks.h"
#include "platform/kernel/rtk_types.h"
#include "tests/platform/rtk_support.h"

namespace {

using namespace kx;

class RtkOneProcessor : public rtktest::KernelTest {
  protected:
    void SetUp() override {
        if (!rtktest::onOneProcessor())
            GTEST_SKIP() << "guarantees of the one-processor kernel only";
        rtktest::KernelTest::SetUp();
    }
};

// Each step of a task's script, logged as "<name><step>" when it runs.
enum class Do { Log, Receive, Sleep, SendTo, Enter, Leave, Busy, Reset };
struct Step {
    Do what;
    uint32_t value =
        0;  // Sleep, Busy: us; SendTo: index of the task; Receive: timeout ms (0: forever)
};
struct Actor {
    const char* name;
    uint16_t priority;
    std::vector<Step> script;
};
struct Play {
    std::vector<Actor> actors;
    std::vector<RtkTaskId> ids;
    RtkHandle section = 0;
    std::vector<std::string> log;
    std::vector<uint64_t> clock;     // RtkNowUsec at each log entry
    std::vector<std::string> waits;  // each actor's longest section wait at its end
};
struct Role {
    Play* play;
    size_t index;
};

void actorEntry(void* argument) {
    auto* role = static_cast<Role*>(argument);
    Play& p = *role->play;
    const Actor& a = p.actors[role->index];
    for (size_t i = 0; i < a.script.size(); ++i) {
        const Step& s = a.script[i];
        uint16_t code = 0;
        switch (s.what) {
            case Do::Log:
                break;
            case Do::Receive:
                RtkReceiveTaskEvent(0, 0x8000, 0, s.value == 0 ? RTK_WAIT_FOREVER : s.value, &code);
                break;
            case Do::Sleep:
                RtkSleepTaskUsec(s.value);
                break;
            case Do::SendTo:
                RtkSendTaskEvent(p.ids[s.value], 0x8000);
                break;
            case Do::Enter:
                RtkEnterCriticalSection(p.section);
                break;
            case Do::Leave:
                RtkLeaveCriticalSection(p.section);
                break;
            case Do::Busy:
                RtkBusyUsec(s.value);
                break;
            case Do::Reset:
                RtkResetCounters();
                break;
        }
        p.log.push_back(std::string(a.name) + std::to_string(i));
        p.clock.push_back(RtkNowUsec());
    }
    RtkSectionWait w{};
    if (RtkLongestSectionWait(0, &w) && w.waits != 0) {
        p.waits[role->index] = std::to_string(w.microseconds) + " " + w.section + " " + w.holder +
                               " x" + std::to_string(w.waits);
    }
}

TEST_F(RtkOneProcessor, SchedulesByStrictPriorityInVirtualTime) {
    struct Case {
        const char* what;
        std::vector<Actor> actors;  // resumed in this order by the host
        std::vector<std::string> order;
        std::vector<uint64_t> at;  // virtual us after the start of each entry of order
        // Each actor's longest section wait ("us section holder xwaits"), "" for none.
        std::vector<std::string> waits = {};
        bool lend = true;  // priority inheritance (RtkSetPriorityInheritance)
    };
    const Case cases[] = {
        {"a resumed task runs to its end before the resume returns",
         {{"L", 10, {{Do::Log}}}, {"H", 200, {{Do::Log}}}},
         {"L0", "H0"},
         {0, 0}},
        {"a send to a higher waiting task preempts the sender at once",
         {{"H", 200, {{Do::Receive}, {Do::Log}}},
          {"L", 10, {{Do::Log}, {Do::SendTo, 0}, {Do::Log}}}},
         {"L0", "H0", "H1", "L1", "L2"},
         {0, 0, 0, 0, 0}},
        {"a send to a lower task does not preempt",
         {{"L", 10, {{Do::Receive}, {Do::Log}}}, {"H", 200, {{Do::SendTo, 0}, {Do::Log}}}},
         {"H0", "H1", "L0", "L1"},
         {0, 0, 0, 0}},
        {"sleepers wake in deadline order, the clock jumping to each",
         {{"A", 50, {{Do::Sleep, 3000}, {Do::Log}}},
          {"B", 50, {{Do::Sleep, 1000}, {Do::Log}}},
          {"C", 50, {{Do::Sleep, 600000000}, {Do::Log}}}},
         {"B0", "B1", "A0", "A1", "C0", "C1"},
         {1000, 1000, 3000, 3000, 600000000, 600000000}},
        {"equal priorities woken together run in the order they became ready",
         {{"A", 50, {{Do::Sleep, 500}, {Do::Log}}}, {"B", 50, {{Do::Sleep, 500}, {Do::Log}}}},
         {"A0", "A1", "B0", "B1"},
         {500, 500, 500, 500}},
        {"a receive timeout ends exactly at its deadline",
         {{"R", 80, {{Do::Receive, 20}, {Do::Log}}}},
         {"R0", "R1"},
         {20000, 20000}},
        {"a waiter for a section gets it when the holder leaves, not before",
         {{"L", 10, {{Do::Enter}, {Do::Sleep, 100}, {Do::Leave}}},
          {"H", 200, {{Do::Enter}, {Do::Leave}}}},
         {"L0", "L1", "H0", "H1", "L2"},
         {0, 100, 100, 100, 100},
         {"", "100 play L x1"}},
        {"a busy task is preempted when a higher sleep falls due in its span, then finishes it",
         {{"H", 200, {{Do::Sleep, 300}, {Do::Log}}}, {"L", 10, {{Do::Busy, 1000}, {Do::Log}}}},
         {"H0", "H1", "L0", "L1"},
         {300, 300, 1000, 1000}},
        {"equal and lower wake-ups in a busy span wait for its end, then run by priority",
         {{"E", 50, {{Do::Sleep, 300}, {Do::Log}}},
          {"L", 10, {{Do::Sleep, 200}, {Do::Log}}},
          {"B", 50, {{Do::Busy, 1000}, {Do::Busy, 0}}}},
         {"B0", "B1", "E0", "E1", "L0", "L1"},
         {1000, 1000, 1000, 1000, 1000, 1000}},
        {"inversion without lending: a middle task's busy span keeps the holder, and so the high "
         "waiter, off",
         {{"H", 200, {{Do::Sleep, 100}, {Do::Enter}, {Do::Leave}}},
          {"M", 100, {{Do::Sleep, 50}, {Do::Busy, 1000}}},
          {"L", 10, {{Do::Enter}, {Do::Busy, 200}, {Do::Leave}}}},
         {"L0", "M0", "H0", "M1", "L1", "H1", "H2", "L2"},
         {0, 50, 100, 1050, 1200, 1200, 1200, 1200},
         {"1100 play L x1", "", ""},
         false},
        {"lending: the holder runs its rest at the waiter's priority, ahead of the middle task",
         {{"H", 200, {{Do::Sleep, 100}, {Do::Enter}, {Do::Leave}}},
          {"M", 100, {{Do::Sleep, 50}, {Do::Busy, 1000}}},
          {"L", 10, {{Do::Enter}, {Do::Busy, 200}, {Do::Leave}}}},
         {"L0", "M0", "H0", "L1", "H1", "H2", "M1", "L2"},
         {0, 50, 100, 250, 250, 250, 1200, 1200},
         {"150 play L x1", "", ""}},
        {"a reset forgets the longest waits; a later wait is recorded afresh",
         {{"L",
           10,
           {{Do::Enter}, {Do::Sleep, 100}, {Do::Leave}, {Do::Enter}, {Do::Busy, 50}, {Do::Leave}}},
          {"H",
           200,
           {{Do::Enter}, {Do::Leave}, {Do::Reset}, {Do::Sleep, 10}, {Do::Enter}, {Do::Leave}}}},
         {"L0", "L1", "H0", "H1", "H2", "L2", "L3", "H3", "L4", "H4", "H5", "L5"},
         {0, 100, 100, 100, 100, 100, 100, 110, 150, 150, 150, 150},
         {"", "40 play L x1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RtkSetPriorityInheritance(c.lend);
        Play p;
        p.actors = c.actors;
        p.waits.assign(c.actors.size(), "");
        ASSERT_EQ(RtkCreateCriticalSection("play", &p.section), RTK_OK);
        std::vector<Role> roles;
        for (size_t i = 0; i < p.actors.size(); ++i)
            roles.push_back({&p, i});
        for (size_t i = 0; i < p.actors.size(); ++i) {
            RtkTaskId id = 0;
            ASSERT_EQ(RtkCreateTask(p.actors[i].name, p.actors[i].priority, 0x4000, 0, 1,
                                    actorEntry, &roles[i], &id),
                      RTK_OK);
            p.ids.push_back(id);
        }
        uint64_t start = RtkNowUsec();
        for (RtkTaskId id : p.ids)
            ASSERT_EQ(RtkResumeTask(id), RTK_OK);
        ASSERT_TRUE(rtktest::waitUntil([] { return RtkThreadsAlive() == 0; }, 700000));
        EXPECT_EQ(p.log, c.order);
        std::vector<uint64_t> at;
        for (uint64_t t : p.clock)
            at.push_back(t - start);
        EXPECT_EQ(at, c.at);
        if (!c.waits.empty()) {
            EXPECT_EQ(p.waits, c.waits);
        }
        EXPECT_EQ(RtkDeleteCriticalSection(p.section), RTK_OK);
    }
    RtkSetPriorityInheritance(true);
}

// The host thread is the lowest context: its sleep lets every task run and moves the virtual
// clock by exactly the sleep, and a wait for a condition no task will make true ends at its
// virtual bound without host time passing.
TEST_F(RtkOneProcessor, HostWaitsMoveTheVirtualClock) {
    uint64_t before = RtkNowUsec();
    RtkSleepTaskUsec(250000);
    EXPECT_EQ(RtkNowUsec() - before, 250000u);
    before = RtkNowUsec();
    auto never = [](void*) { return false; };
    EXPECT_FALSE(RtkWaitUntil(never, nullptr, 3600 * 1000));
    EXPECT_EQ(RtkNowUsec() - before, 3600ull * 1000000u);
}

}  // namespace
