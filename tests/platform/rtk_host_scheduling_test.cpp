// SPDX-License-Identifier: Apache-2.0
// The host's own thread under the scheduling controls: real-time mode raises it to the lowest
// real-time priority (below every task) where the system allows it and puts it back as it was
// when turned off; single-processor mode keeps it and the tasks on the processor it ran on.
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <thread>

#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_tasks.h"
#include "platform/kernel/rtk_types.h"
#include "tests/platform/rtk_support.h"

namespace {

using namespace kx;
using rtktest::waitUntil;

class RtkHostScheduling : public rtktest::KernelTest {};

struct Policy {
    int policy = -1;
    int priority = -1;
};

Policy policyOfCaller() {
    Policy p;
    sched_param param{};
    if (pthread_getschedparam(pthread_self(), &p.policy, &param) == 0)
        p.priority = param.sched_priority;
    return p;
}

// Whether this process may make a thread SCHED_FIFO at all: tried on a throwaway thread.
bool fifoPermitted() {
    bool permitted = false;
    std::thread probe([&] {
        sched_param param{};
        param.sched_priority = 1;
        permitted = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
    });
    probe.join();
    return permitted;
}

struct TaskPolicy {
    std::atomic<int> policy{-1};
    std::atomic<int> priority{-1};
    std::atomic<bool> done{false};
};

void recordPolicy(void* argument) {
    auto* t = static_cast<TaskPolicy*>(argument);
    Policy p = policyOfCaller();
    t->policy = p.policy;
    t->priority = p.priority;
    t->done = true;
}

TEST_F(RtkHostScheduling, RealTimeModeRaisesTheHostBelowEveryTaskAndRestoresIt) {
    if (rtktest::onOneProcessor())
        GTEST_SKIP() << "host threads' scheduling: the one-processor kernel has none";
    Policy before = policyOfCaller();
    ASSERT_EQ(before.policy, SCHED_OTHER) << "tests run at ordinary priority";
    bool permitted = fifoPermitted();

    RtkSetRealtimeScheduling(true);
    Policy raised = policyOfCaller();
    TaskPolicy task;
    RtkTaskId id = create(recordPolicy, &task);
    RtkSetRealtimeScheduling(true);  // again: nothing changes, and off restores the original
    EXPECT_EQ(policyOfCaller().priority, raised.priority);
    RtkSetRealtimeScheduling(false);
    Policy after = policyOfCaller();

    ASSERT_EQ(RtkResumeTask(id), RTK_OK);
    ASSERT_TRUE(waitUntil([&] { return task.done.load(); }));
    if (permitted) {
        EXPECT_EQ(raised.policy, SCHED_FIFO);
        EXPECT_EQ(raised.priority, 1);
        EXPECT_EQ(task.policy.load(), SCHED_FIFO);
        EXPECT_GT(task.priority.load(), raised.priority) << "every task runs before the host";
    } else {
        EXPECT_EQ(raised.policy, before.policy) << "refused: left as it was";
    }
    EXPECT_EQ(after.policy, before.policy);
    EXPECT_EQ(after.priority, before.priority);

    RtkSetRealtimeScheduling(false);  // off while off: the host is left alone
    EXPECT_EQ(policyOfCaller().policy, before.policy);
}

TEST_F(RtkHostScheduling, SingleProcessorModeKeepsTheHostWhereItRan) {
    if (rtktest::onOneProcessor())
        GTEST_SKIP() << "host threads' scheduling: the one-processor kernel has none";
    cpu_set_t all;
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    // The host runs on the last processor it may use (not the first, which a choice that
    // ignored where it runs would take); the mode keeps it, and the tasks, there.
    int last = -1;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &all))
            last = cpu;
    ASSERT_GE(last, 0);
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(last, &only);
    ASSERT_EQ(pthread_setaffinity_np(pthread_self(), sizeof only, &only), 0);

    RtkSetSingleProcessor(true);
    struct Where {
        std::atomic<int> cpus{0};
        std::atomic<bool> onLast{false};
        std::atomic<bool> done{false};
        int last = -1;
    } where;
    where.last = last;
    RtkTaskId id = create(
        [](void* argument) {
            auto* w = static_cast<Where*>(argument);
            cpu_set_t set;
            if (pthread_getaffinity_np(pthread_self(), sizeof set, &set) == 0) {
                w->cpus = CPU_COUNT(&set);
                w->onLast = CPU_ISSET(w->last, &set);
            }
            w->done = true;
        },
        &where);
    RtkSetSingleProcessor(false);  // tasks created before keep their processor
    ASSERT_EQ(RtkResumeTask(id), RTK_OK);
    ASSERT_TRUE(waitUntil([&] { return where.done.load(); }));
    EXPECT_EQ(where.cpus.load(), 1);
    EXPECT_TRUE(where.onLast.load()) << "the processor the host ran on";

    cpu_set_t after;
    ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof after, &after), 0);
    EXPECT_TRUE(CPU_EQUAL(&after, &only)) << "off: the host has what it had before";

    // From every processor: pinned while on, all of them again once off.
    ASSERT_EQ(pthread_setaffinity_np(pthread_self(), sizeof all, &all), 0);
    RtkSetSingleProcessor(true);
    cpu_set_t pinned;
    ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof pinned, &pinned), 0);
    EXPECT_EQ(CPU_COUNT(&pinned), 1);
    RtkSetSingleProcessor(false);
    ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof after, &after), 0);
    EXPECT_TRUE(CPU_EQUAL(&after, &all));
}

}  // namespace
