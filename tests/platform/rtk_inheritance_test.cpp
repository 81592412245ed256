// SPDX-License-Identifier: Apache-2.0
// Priority inheritance of critical sections, for every kernel that claims it
// (RtkPriorityInheritance): a holder is raised to its highest waiter's priority, transitively
// through a holder that itself waits, and given back exactly what each section lent as it leaves
// them; the switch turns lending off and on at once. A kernel that does not claim it skips these
// cases and says why.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/kernel/rtk_events.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_sections.h"
#include "platform/kernel/rtk_tasks.h"
#include "tests/platform/rtk_support.h"

namespace {

using namespace kx;

// One task's script: enter or leave a section (by index), or wait for the host's release.
enum class Do : uint8_t { Enter, Leave, Await };
struct Step {
    Do what;
    int section;
};

struct Actor {
    const char* name;
    uint16_t priority;
    std::vector<Step> steps;
    const RtkHandle* sections = nullptr;
    RtkTaskId id = 0;
    std::atomic<int> done{0};  // steps completed
    std::atomic<bool> failed{false};
};

void actorEntry(void* argument) {
    auto* a = static_cast<Actor*>(argument);
    for (const Step& s : a->steps) {
        int32_t status = RTK_OK;
        uint16_t code = 0;
        if (s.what == Do::Enter)
            status = RtkEnterCriticalSection(a->sections[s.section]);
        else if (s.what == Do::Leave)
            status = RtkLeaveCriticalSection(a->sections[s.section]);
        else
            status = RtkReceiveTaskEvent(0, 1, 0, RTK_WAIT_FOREVER, &code);
        if (status != RTK_OK)
            a->failed = true;
        a->done.fetch_add(1);
    }
}

// What the host does: start an actor, release its Await, switch lending, or look at an actor
// once it has completed `at` steps (its effective priority must then be `priority`).
enum class Host : uint8_t { Start, Release, Lend, Expect };
struct Action {
    Host what;
    int actor;
    int at = 0;
    int priority = 0;
};

struct Case {
    const char* name;
    std::vector<std::pair<uint16_t, std::vector<Step>>> actors;
    std::vector<Action> script;
};

constexpr Step E(int s) {
    return {Do::Enter, s};
}
constexpr Step L(int s) {
    return {Do::Leave, s};
}
constexpr Step W{Do::Await, 0};

Action start(int a) {
    return {Host::Start, a};
}
Action release(int a) {
    return {Host::Release, a};
}
Action lend(bool on) {
    return {Host::Lend, on ? 1 : 0};
}
Action expect(int a, int at, int priority) {
    return {Host::Expect, a, at, priority};
}

const Case kCases[] = {
    {"raised to its waiter, restored on leaving",
     {{50, {E(0), W, L(0), W}}, {150, {E(0), L(0)}}},
     {start(0), expect(0, 1, 50), start(1), expect(1, 0, 150), expect(0, 1, 150), release(0),
      expect(0, 3, 50), release(0)}},
    {"transitively through a holder that waits",
     {{50, {E(0), W, L(0), W}}, {100, {E(1), E(0), L(0), W, L(1), W}}, {150, {E(1), L(1)}}},
     {start(0), start(1), expect(1, 1, 100), expect(0, 1, 100), start(2), expect(1, 1, 150),
      expect(0, 1, 150), release(0), expect(0, 3, 50), expect(1, 3, 150), release(1),
      expect(1, 5, 100), release(0), release(1)}},
    {"several held: leaving the higher lender first",
     {{50, {E(0), E(1), W, L(0), W, L(1), W}}, {150, {E(0), L(0)}}, {120, {E(1), L(1)}}},
     {start(0), start(1), start(2), expect(0, 2, 150), release(0), expect(0, 4, 120), release(0),
      expect(0, 6, 50), release(0)}},
    {"several held: leaving the lower lender first",
     {{50, {E(0), E(1), W, L(1), W, L(0), W}}, {150, {E(0), L(0)}}, {120, {E(1), L(1)}}},
     {start(0), start(1), start(2), expect(0, 2, 150), release(0), expect(0, 4, 150), release(0),
      expect(0, 6, 50), release(0)}},
    {"the switch lends and takes back at once",
     {{50, {E(0), W, L(0), W}}, {150, {E(0), L(0)}}},
     {lend(false), start(0), start(1), expect(0, 1, 50), lend(true), expect(0, 1, 150), lend(false),
      expect(0, 1, 50), lend(true), release(0), expect(0, 3, 50), release(0)}},
};

class RtkInheritance : public rtktest::KernelTest {
  protected:
    void SetUp() override {
        rtktest::KernelTest::SetUp();
        if (rtktest::onOneProcessor()) {
            EXPECT_TRUE(RtkPriorityInheritance()) << "on by default on this kernel";
        }
        if (!RtkPriorityInheritance())
            GTEST_SKIP() << "this kernel's sections lend no priority (RtkPriorityInheritance is "
                            "false): the threaded kernel's section contract does not fit the "
                            "host's priority-inheritance mutexes";
    }
    void TearDown() override {
        RtkSetPriorityInheritance(true);
        rtktest::KernelTest::TearDown();
    }
};

TEST_F(RtkInheritance, HolderRunsAtItsHighestWaitersPriority) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        RtkHandle sections[2] = {};
        for (RtkHandle& h : sections)
            ASSERT_EQ(RtkCreateCriticalSection("lent", &h), RTK_OK);
        std::vector<Actor> actors(c.actors.size());
        for (size_t i = 0; i < actors.size(); ++i) {
            actors[i].priority = c.actors[i].first;
            actors[i].steps = c.actors[i].second;
            actors[i].sections = sections;
            ASSERT_EQ(RtkCreateTask("actor", actors[i].priority, 0x4000, 0, 1, actorEntry,
                                    &actors[i], &actors[i].id),
                      RTK_OK);
        }
        for (size_t n = 0; n < c.script.size(); ++n) {
            const Action& a = c.script[n];
            SCOPED_TRACE("action " + std::to_string(n));
            Actor& who = actors[a.actor];
            if (a.what == Host::Start) {
                ASSERT_EQ(RtkResumeTask(who.id), RTK_OK);
            } else if (a.what == Host::Release) {
                ASSERT_EQ(RtkSendTaskEvent(who.id, 1), RTK_OK);
            } else if (a.what == Host::Lend) {
                RtkSetPriorityInheritance(a.actor != 0);
                EXPECT_EQ(RtkPriorityInheritance(), a.actor != 0);
            } else {
                EXPECT_TRUE(rtktest::waitUntil([&] {
                    return who.done == a.at && RtkTaskEffectivePriority(who.id) == a.priority;
                })) << "actor "
                    << a.actor << " at step " << who.done << " runs at "
                    << RtkTaskEffectivePriority(who.id) << ", not " << a.priority;
                EXPECT_EQ(RtkTaskPriority(who.id), who.priority) << "its own priority changed";
            }
        }
        for (Actor& a : actors) {
            EXPECT_TRUE(rtktest::waitUntil([&] { return !RtkTaskExists(a.id); }))
                << "actor of priority " << a.priority << " did not end";
            EXPECT_FALSE(a.failed) << "a kernel call of the actor of priority " << a.priority;
        }
        for (RtkHandle h : sections)
            EXPECT_EQ(RtkDeleteCriticalSection(h), RTK_OK);
    }
}

}  // namespace
