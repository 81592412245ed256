// SPDX-License-Identifier: Apache-2.0
// Critical sections: mutual exclusion under contention, handle rules, ownership, deletion
// while others wait, and creation and entry failing on an injected fault.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "platform/fault.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_sections.h"
#include "platform/kernel/rtk_types.h"
#include "tests/platform/rtk_support.h"

namespace {

using namespace kx;

class RtkSection : public ::testing::Test {
  protected:
    void TearDown() override { faultClearAll(); }
};

TEST_F(RtkSection, ExcludesUnderContention) {
    if (rtktest::onOneProcessor())
        GTEST_SKIP() << "host threads contend; the one-processor kernel serves one host thread";
    RtkHandle h = 0;
    ASSERT_EQ(RtkCreateCriticalSection("contended", &h), RTK_OK);
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    long counter = 0;  // plain on purpose: only the section protects it (TSan checks too)
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                ASSERT_EQ(RtkEnterCriticalSection(h), RTK_OK);
                if (inside.fetch_add(1) != 0)
                    overlaps.fetch_add(1);
                long seen = counter;
                if (i % 64 == 0)
                    std::this_thread::yield();  // widen the window
                counter = seen + 1;
                inside.fetch_sub(1);
                ASSERT_EQ(RtkLeaveCriticalSection(h), RTK_OK);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(counter, long{kThreads} * kRounds);
    EXPECT_EQ(RtkDeleteCriticalSection(h), RTK_OK);
}

TEST_F(RtkSection, HandlesAreNonZeroUniqueAndCounted) {
    int before = RtkSectionsAlive();
    std::set<RtkHandle> seen;
    for (int i = 0; i < 100; ++i) {
        RtkHandle h = 0;
        ASSERT_EQ(RtkCreateCriticalSection(i % 2 ? "odd" : nullptr, &h), RTK_OK);
        ASSERT_NE(h, 0u);
        EXPECT_TRUE(seen.insert(h).second) << "handle " << h << " reused";
        EXPECT_EQ(RtkSectionsAlive(), before + 1);
        ASSERT_EQ(RtkDeleteCriticalSection(h), RTK_OK);  // freed at once: reuse would show
        EXPECT_EQ(RtkSectionsAlive(), before);
    }
    EXPECT_EQ(RtkCreateCriticalSection("x", nullptr), RTK_ERR_PARAM);
}

// RtkHoldsCriticalSection answers for the caller only: the host thread and a task each see their
// own holding, never the other's, and nothing is held through a handle that names no section.
TEST_F(RtkSection, HoldsAnswersForTheCallerOnly) {
    RtkHandle h = 0;
    ASSERT_EQ(RtkCreateCriticalSection("held", &h), RTK_OK);
    struct OnTask {
        RtkHandle handle;
        bool enter;  // the task enters (and leaves) the section itself
        bool holdsInside = false;
        bool holdsAfter = true;
    };
    auto onTask = [](void* argument) {
        auto* t = static_cast<OnTask*>(argument);
        if (t->enter) {
            EXPECT_EQ(RtkEnterCriticalSection(t->handle), RTK_OK);
        }
        t->holdsInside = RtkHoldsCriticalSection(t->handle);
        if (t->enter) {
            EXPECT_EQ(RtkLeaveCriticalSection(t->handle), RTK_OK);
        }
        t->holdsAfter = RtkHoldsCriticalSection(t->handle);
    };
    struct Case {
        const char* what;
        bool hostHolds;  // the host thread holds the section around the task's run
        bool taskEnters;
        bool hostSees;  // what the host's query answers while it holds (or not)
        bool taskSees;  // what the task's query answers inside
    };
    const Case cases[] = {
        {"nobody holds it", false, false, false, false},
        {"the host holds it, the task asks", true, false, true, false},
        {"the task holds it", false, true, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.hostHolds) {
            ASSERT_EQ(RtkEnterCriticalSection(h), RTK_OK);
        }
        EXPECT_EQ(RtkHoldsCriticalSection(h), c.hostSees);
        OnTask t{h, c.taskEnters};
        ASSERT_EQ(RtkRunAsTask("asker", 100, onTask, &t), RTK_OK);
        EXPECT_EQ(t.holdsInside, c.taskSees);
        EXPECT_FALSE(t.holdsAfter);
        EXPECT_EQ(RtkHoldsCriticalSection(h), c.hostHolds);
        if (c.hostHolds) {
            ASSERT_EQ(RtkLeaveCriticalSection(h), RTK_OK);
        }
        EXPECT_FALSE(RtkHoldsCriticalSection(h));
    }
    ASSERT_EQ(RtkEnterCriticalSection(h), RTK_OK);
    ASSERT_EQ(RtkDeleteCriticalSection(h), RTK_OK);  // deleted while held: nothing is held
    EXPECT_FALSE(RtkHoldsCriticalSection(h));
    EXPECT_FALSE(RtkHoldsCriticalSection(0));
}

TEST_F(RtkSection, BadHandlesAndOwnership) {
    if (rtktest::onOneProcessor())
        GTEST_SKIP()
            << "a second host thread calls; the one-processor kernel serves one host thread";
    RtkHandle h = 0;
    ASSERT_EQ(RtkCreateCriticalSection("owned", &h), RTK_OK);
    struct Case {
        const char* what;
        int32_t result;
        int32_t expected;
    };
    EXPECT_EQ(RtkLeaveCriticalSection(h), RTK_ERR_STATE) << "leave of a free section";
    ASSERT_EQ(RtkEnterCriticalSection(h), RTK_OK);
    int32_t otherLeave = RTK_OK;
    std::thread([&] { otherLeave = RtkLeaveCriticalSection(h); }).join();
    const Case cases[] = {
        {"enter again by the holder", RtkEnterCriticalSection(h), RTK_ERR_STATE},
        {"leave by another thread", otherLeave, RTK_ERR_STATE},
        {"enter of handle 0", RtkEnterCriticalSection(0), RTK_ERR_PARAM},
        {"leave of handle 0", RtkLeaveCriticalSection(0), RTK_ERR_PARAM},
        {"delete of handle 0", RtkDeleteCriticalSection(0), RTK_ERR_PARAM},
        {"leave by the holder", RtkLeaveCriticalSection(h), RTK_OK},
        {"delete", RtkDeleteCriticalSection(h), RTK_OK},
        {"enter after delete", RtkEnterCriticalSection(h), RTK_ERR_PARAM},
        {"delete twice", RtkDeleteCriticalSection(h), RTK_ERR_PARAM},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.result, c.expected) << c.what;
}

TEST_F(RtkSection, DeleteReleasesWaitersWithAnError) {
    if (rtktest::onOneProcessor())
        GTEST_SKIP()
            << "a second host thread waits; the one-processor kernel serves one host thread";
    RtkHandle h = 0;
    ASSERT_EQ(RtkCreateCriticalSection("doomed", &h), RTK_OK);
    ASSERT_EQ(RtkEnterCriticalSection(h), RTK_OK);
    std::atomic<int32_t> waiterResult{-1};
    std::thread waiter([&] { waiterResult = RtkEnterCriticalSection(h); });
    // The waiter cannot get in while we hold the section. Give it a moment to block, so that
    // the delete usually finds it waiting (if not, its late enter must fail the same way).
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    while (std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    EXPECT_EQ(waiterResult.load(), -1);
    ASSERT_EQ(RtkDeleteCriticalSection(h), RTK_OK);
    waiter.join();
    EXPECT_EQ(waiterResult.load(), RTK_ERR_PARAM);
}

// A task that ends holding a section leaves it held by no one: a later task neither owns it (its
// leave is refused, wherever its record lands) nor gets in; its enter waits until it is deleted.
class RtkSectionTasks : public rtktest::KernelTest {};

struct Abandoned {
    RtkHandle h = 0;
    std::atomic<int32_t> leave{-1};
    std::atomic<int32_t> enter{-1};
    std::atomic<bool> entering{false};
};

TEST_F(RtkSectionTasks, HeldByAnEndedTaskStaysHeld) {
    Abandoned a;
    ASSERT_EQ(RtkCreateCriticalSection("abandoned", &a.h), RTK_OK);
    RtkTaskId holder = start(
        [](void* c) { EXPECT_EQ(RtkEnterCriticalSection(static_cast<Abandoned*>(c)->h), RTK_OK); },
        &a, "holder");
    ASSERT_TRUE(rtktest::waitUntil([&] { return !RtkTaskExists(holder); }));
    RtkTaskId later = start(
        [](void* c) {
            auto* a = static_cast<Abandoned*>(c);
            a->leave = RtkLeaveCriticalSection(a->h);
            a->entering = true;
            a->enter = RtkEnterCriticalSection(a->h);
        },
        &a, "later");
    ASSERT_TRUE(rtktest::waitUntil([&] { return a.entering.load(); }));
    EXPECT_EQ(a.leave, RTK_ERR_STATE);
    RtkIdle(20000);
    EXPECT_EQ(a.enter, -1) << "entered a section that its ended holder never left";
    EXPECT_EQ(RtkDeleteTask(later), RTK_OK);
    EXPECT_TRUE(rtktest::waitUntil([&] { return !RtkTaskExists(later); }));
    EXPECT_EQ(RtkDeleteCriticalSection(a.h), RTK_OK);
}

TEST_F(RtkSection, InjectedFaults) {
    faultArm(Fault::SectionCreate, 1);
    RtkHandle h = 12345;
    int before = RtkSectionsAlive();
    EXPECT_EQ(RtkCreateCriticalSection("fails", &h), RTK_ERR_FAULT);
    EXPECT_EQ(h, 0u) << "failed create leaves the handle 0";
    EXPECT_EQ(RtkSectionsAlive(), before);
    EXPECT_TRUE(faultReached(Fault::SectionCreate));

    ASSERT_EQ(RtkCreateCriticalSection("works", &h), RTK_OK);  // one-shot fault is spent
    ASSERT_NE(h, 0u);
    faultArm(Fault::SectionEnter, 1);
    EXPECT_EQ(RtkEnterCriticalSection(h), RTK_ERR_FAULT);
    EXPECT_EQ(RtkLeaveCriticalSection(h), RTK_ERR_STATE) << "a failed enter holds nothing";
    EXPECT_EQ(RtkEnterCriticalSection(h), RTK_OK);
    EXPECT_EQ(RtkLeaveCriticalSection(h), RTK_OK);
    EXPECT_EQ(RtkDeleteCriticalSection(h), RTK_OK);
}

}  // namespace
