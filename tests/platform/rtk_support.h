// SPDX-License-Identifier: Apache-2.0
// Helpers for the kernel tests: bounded condition waits (never a bare sleep), a fixture that
// leaves no task or fault behind, and task creation in one line.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/fault.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_select.h"
#include "platform/kernel/rtk_tasks.h"
#include "platform/kernel/rtk_types.h"

namespace rtktest {

constexpr int kBoundMs = 10000;  // generous: only a broken kernel ever reaches it

// Polls a condition until it holds or about boundMs of the kernel's time passed; returns whether
// it held. Between looks the host lets a millisecond pass as the kernel counts time (a host
// sleep on the threaded kernel, the virtual clock on the one-processor kernel).
template <class Pred>
bool waitUntil(Pred pred, int boundMs = kBoundMs) {
    for (int i = 0; i < boundMs; ++i) {
        if (pred())
            return true;
        kx::RtkIdle(1000);
    }
    return pred();
}

// The kernel this test program runs on (KX_KERNEL; ctest runs each kernel test on both).
inline bool onOneProcessor() {
    return kx::RtkSelectedKernel() == kx::RtkKernel::OneProcessor;
}

// Every test starts and ends with no task thread alive; tasks a test forgot are deleted.
class KernelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kx::RtkSetSleepScale(100);
        ASSERT_TRUE(waitUntil([] { return kx::RtkThreadsAlive() == 0; }));
    }
    void TearDown() override {
        for (kx::RtkTaskId id : created_)
            kx::RtkDeleteTask(id);  // ended ones: NO_TASK
        EXPECT_TRUE(waitUntil([] { return kx::RtkThreadsAlive() == 0; }))
            << "a task thread outlived its test";
        kx::faultClearAll();
        kx::RtkSetSleepScale(100);
    }
    // Creates a suspended task (priority 100) and remembers it for TearDown.
    kx::RtkTaskId create(kx::RtkTaskEntry entry, void* argument, const char* name = "test") {
        kx::RtkTaskId id = 0;
        EXPECT_EQ(kx::RtkCreateTask(name, 100, 0x4000, 0, 1, entry, argument, &id), kx::RTK_OK);
        EXPECT_NE(id, 0u);
        created_.push_back(id);
        return id;
    }
    kx::RtkTaskId start(kx::RtkTaskEntry entry, void* argument, const char* name = "test") {
        kx::RtkTaskId id = create(entry, argument, name);
        EXPECT_EQ(kx::RtkResumeTask(id), kx::RTK_OK);
        return id;
    }

  private:
    std::vector<kx::RtkTaskId> created_;
};

}  // namespace rtktest
