// SPDX-License-Identifier: Apache-2.0
// Tasks: suspended until resumed, ids, deletion in every state a task can be in (never
// resumed, blocked in each kernel call, running, itself), thread reaping, injected faults and
// the scheduling controls.
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <set>

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

class RtkTask : public rtktest::KernelTest {};

struct Probe {
    std::atomic<bool> released{false};  // set by the test just before it resumes the task
    std::atomic<bool> ran{false};
    std::atomic<bool> ranBeforeRelease{false};
    std::atomic<RtkTaskId> self{0};
};

void probeEntry(void* argument) {
    auto* p = static_cast<Probe*>(argument);
    if (!p->released.load())
        p->ranBeforeRelease = true;
    p->self = RtkCurrentTask();
    p->ran = true;
}

TEST_F(RtkTask, EntryWaitsForResume) {
    Probe probe;
    RtkTaskId id = create(probeEntry, &probe, "probe");
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(RtkTaskExists(id));
    EXPECT_STREQ(RtkTaskName(id), "probe");
    EXPECT_EQ(RtkTaskPriority(id), 100);
    EXPECT_TRUE(RtkWaitQuiescent(0, rtktest::kBoundMs)) << "a suspended task is quiescent";
    EXPECT_FALSE(waitUntil([&] { return probe.ran.load(); }, 50)) << "ran while suspended";
    probe.released = true;
    ASSERT_EQ(RtkResumeTask(id), RTK_OK);
    ASSERT_TRUE(waitUntil([&] { return probe.ran.load(); }));
    EXPECT_FALSE(probe.ranBeforeRelease.load());
    EXPECT_EQ(probe.self.load(), id) << "RtkCurrentTask inside the entry";
    ASSERT_TRUE(waitUntil([&] { return !RtkTaskExists(id); })) << "returned entry ends the task";
    EXPECT_STREQ(RtkTaskName(id), "");
    EXPECT_EQ(RtkTaskPriority(id), 0);
    EXPECT_EQ(RtkCurrentTask(), 0u) << "the test thread is no task";
}

TEST_F(RtkTask, DeleteOfANeverResumedTask) {
    Probe probe;
    int before = RtkThreadsAlive();
    RtkTaskId id = create(probeEntry, &probe);
    EXPECT_EQ(RtkThreadsAlive(), before + 1);
    ASSERT_EQ(RtkDeleteTask(id), RTK_OK);
    EXPECT_EQ(RtkThreadsAlive(), before) << "its thread is joined by the delete itself";
    EXPECT_FALSE(RtkTaskExists(id));
    EXPECT_FALSE(probe.ran.load());
    EXPECT_EQ(RtkResumeTask(id), RTK_ERR_NO_TASK);
    EXPECT_EQ(RtkDeleteTask(id), RTK_ERR_NO_TASK);
    EXPECT_EQ(RtkSendTaskEvent(id, 0x8000), RTK_ERR_NO_TASK);
}

TEST_F(RtkTask, ThousandCyclesLeaveNoThread) {
    std::set<RtkTaskId> ids;
    Probe probe;
    for (int i = 0; i < 1000; ++i) {
        RtkTaskId id = 0;
        ASSERT_EQ(RtkCreateTask("cycle", 50, 0x4000, 0, 1, probeEntry, &probe, &id), RTK_OK);
        ASSERT_TRUE(ids.insert(id).second) << "id " << id << " reused";
        ASSERT_NE(id, 0u);
        ASSERT_EQ(RtkDeleteTask(id), RTK_OK);
    }
    EXPECT_EQ(RtkThreadsAlive(), 0);
    EXPECT_FALSE(probe.ran.load());
    // Tasks that end by returning are reaped too.
    for (int i = 0; i < 200; ++i) {
        RtkTaskId id = 0;
        ASSERT_EQ(RtkCreateTask("ends", 50, 0x4000, 0, 1, probeEntry, &probe, &id), RTK_OK);
        ASSERT_EQ(RtkResumeTask(id), RTK_OK);
    }
    EXPECT_TRUE(waitUntil([] { return RtkThreadsAlive() == 0; }));
}

// What a running task is doing when the test deletes it.
enum class Blocked { Receive, TimedReceive, Sleep, Section, Running };

struct Victim {
    Blocked how = Blocked::Receive;
    RtkHandle section = 0;
    std::atomic<bool> started{false};
    std::atomic<bool> unwound{false};    // a destructor on its stack ran
    std::atomic<bool> continued{false};  // it got past the call it was deleted in
};

struct SetOnUnwind {
    std::atomic<bool>* flag;
    ~SetOnUnwind() { *flag = true; }
};

void victimEntry(void* argument) {
    auto* v = static_cast<Victim*>(argument);
    SetOnUnwind guard{&v->unwound};
    v->started = true;
    uint16_t code = 0;
    switch (v->how) {
        case Blocked::Receive:
            RtkReceiveTaskEvent(0, 0x8000, 0, RTK_WAIT_FOREVER, &code);
            break;
        case Blocked::TimedReceive:
            RtkReceiveTaskEvent(0, 0x8000, 0, 600000, &code);
            break;
        case Blocked::Sleep:
            RtkSleepTaskUsec(600000000);
            break;
        case Blocked::Section:
            RtkEnterCriticalSection(v->section);
            break;
        case Blocked::Running:
            // Outside the kernel: only its next kernel call (here the driver-style check) ends it.
            for (;;) {
                RtkCheckDeleted();
                std::this_thread::yield();
            }
    }
    v->continued = true;
}

TEST_F(RtkTask, DeleteOfARunningTaskEndsItsThread) {
    if (rtktest::onOneProcessor())
        GTEST_SKIP()
            << "one case spins outside the kernel; one processor never returns to the host";
    struct Case {
        const char* what;
        Blocked how;
    };
    const Case cases[] = {
        {"blocked in receive", Blocked::Receive},
        {"blocked in a timed receive", Blocked::TimedReceive},
        {"sleeping", Blocked::Sleep},
        {"waiting for a section", Blocked::Section},
        {"running outside the kernel", Blocked::Running},
    };
    RtkHandle section = 0;
    ASSERT_EQ(RtkCreateCriticalSection("held by the test", &section), RTK_OK);
    ASSERT_EQ(RtkEnterCriticalSection(section), RTK_OK);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Victim victim;
        victim.how = c.how;
        victim.section = section;
        RtkTaskId id = start(victimEntry, &victim);
        ASSERT_TRUE(waitUntil([&] { return victim.started.load(); }));
        EXPECT_EQ(RtkResumeTask(id), RTK_ERR_STATE) << "second resume";
        if (c.how == Blocked::Receive || c.how == Blocked::TimedReceive) {
            ASSERT_TRUE(RtkWaitQuiescent(0, rtktest::kBoundMs));
        }
        ASSERT_EQ(RtkDeleteTask(id), RTK_OK);
        EXPECT_FALSE(RtkTaskExists(id)) << "the id stops naming the task at once";
        EXPECT_EQ(RtkSendTaskEvent(id, 0x8000), RTK_ERR_NO_TASK);
        EXPECT_EQ(RtkDeleteTask(id), RTK_ERR_NO_TASK);
        ASSERT_TRUE(waitUntil([] { return RtkThreadsAlive() == 0; }));
        EXPECT_TRUE(victim.unwound.load()) << "its stack was unwound";
        EXPECT_FALSE(victim.continued.load()) << "it never returned from the call";
    }
    EXPECT_EQ(RtkLeaveCriticalSection(section), RTK_OK) << "the test still holds it";
    EXPECT_EQ(RtkDeleteCriticalSection(section), RTK_OK);
}

struct SelfDelete {
    std::atomic<int32_t> result{-1};
    std::atomic<bool> existedAfter{true};
    std::atomic<bool> continued{false};
};

void selfDeleteEntry(void* argument) {
    auto* s = static_cast<SelfDelete*>(argument);
    s->result = RtkDeleteTask(0);
    s->existedAfter = RtkTaskExists(RtkCurrentTask());
    uint16_t code = 0;
    RtkReceiveTaskEvent(0, 0xFFFF, 0, 0, &code);  // a kernel call after its own deletion
    s->continued = true;
}

TEST_F(RtkTask, DeleteOfItself) {
    SelfDelete s;
    start(selfDeleteEntry, &s);
    ASSERT_TRUE(waitUntil([] { return RtkThreadsAlive() == 0; }));
    EXPECT_EQ(s.result.load(), RTK_OK) << "RtkDeleteTask(0) returns to the task";
    EXPECT_FALSE(s.existedAfter.load()) << "it counts as ended from the call on";
    EXPECT_FALSE(s.continued.load()) << "a later kernel call ends it";
    EXPECT_EQ(RtkDeleteTask(0), RTK_ERR_NO_TASK) << "the test thread is no task";
}

TEST_F(RtkTask, FailuresCreateNothing) {
    Probe probe;
    RtkTaskId id = 77;
    int before = RtkThreadsAlive();
    faultArm(Fault::TaskCreate, 1);
    EXPECT_EQ(RtkCreateTask("f", 1, 0, 0, 1, probeEntry, &probe, &id), RTK_ERR_FAULT);
    EXPECT_EQ(id, 0u);
    id = 77;
    EXPECT_EQ(RtkCreateTask("f", 1, 0, 0, 1, nullptr, &probe, &id), RTK_ERR_PARAM);
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(RtkCreateTask("f", 1, 0, 0, 1, probeEntry, &probe, nullptr), RTK_ERR_PARAM);
    EXPECT_EQ(RtkThreadsAlive(), before);

    id = create(probeEntry, &probe);
    faultArm(Fault::TaskResume, 1);
    EXPECT_EQ(RtkResumeTask(id), RTK_ERR_FAULT);
    EXPECT_FALSE(waitUntil([&] { return probe.ran.load(); }, 50)) << "a failed resume runs it";
    probe.released = true;
    EXPECT_EQ(RtkResumeTask(id), RTK_OK);
    EXPECT_TRUE(waitUntil([&] { return probe.ran.load(); }));
    EXPECT_EQ(RtkResumeTask(0), RTK_ERR_NO_TASK);
}

struct Placement {
    std::atomic<bool> done{false};
    std::atomic<int> processors{0};
    std::atomic<int> policy{-1};
    std::atomic<int> fifoPriority{0};
};

void placementEntry(void* argument) {
    auto* p = static_cast<Placement*>(argument);
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        p->processors = CPU_COUNT(&set);
    sched_param param{};
    int policy = -1;
    if (pthread_getschedparam(pthread_self(), &policy, &param) == 0) {
        p->policy = policy;
        p->fifoPriority = param.sched_priority;
    }
    p->done = true;
}

TEST_F(RtkTask, SchedulingControls) {
    if (rtktest::onOneProcessor())
        GTEST_SKIP() << "the host scheduling controls do nothing on one processor";
    Placement pinned;
    RtkSetSingleProcessor(true);
    start(placementEntry, &pinned);
    ASSERT_TRUE(waitUntil([&] { return pinned.done.load(); }));
    EXPECT_EQ(pinned.processors.load(), 1) << "task kept on one processor";
    RtkSetSingleProcessor(false);

    Placement free;
    start(placementEntry, &free);
    ASSERT_TRUE(waitUntil([&] { return free.done.load(); }));
    cpu_set_t mine;
    ASSERT_EQ(sched_getaffinity(0, sizeof mine, &mine), 0);
    EXPECT_EQ(free.processors.load(), CPU_COUNT(&mine)) << "off again: every processor";

    // Real-time scheduling may be refused here; the task must run either way, and where it is
    // granted the priority must follow the mapping.
    Placement rt;
    RtkSetRealtimeScheduling(true);
    RtkTaskId id = 0;
    ASSERT_EQ(RtkCreateTask("rt", 192, 0x4000, 0, 1, placementEntry, &rt, &id), RTK_OK);
    RtkSetRealtimeScheduling(false);
    EXPECT_EQ(RtkTaskPriority(id), 192);
    ASSERT_EQ(RtkResumeTask(id), RTK_OK);
    ASSERT_TRUE(waitUntil([&] { return rt.done.load(); }));
    if (rt.policy.load() == SCHED_FIFO) {
        EXPECT_EQ(rt.fifoPriority.load(), 1 + 192 * 98 / 255);
    }
}

}  // namespace
