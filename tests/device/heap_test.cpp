// SPDX-License-Identifier: Apache-2.0
// The heap: zero-filled blocks, the counts of outstanding blocks and of allocations, and
// injected allocation failures (one call, or every call from the nth on).
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/fault.h"
#include "platform/files/kxfile.h"
#include "platform/files/kxfile_host.h"

namespace {

class HeapTest : public ::testing::Test {
  protected:
    void SetUp() override { kx::faultClearAll(); }
    void TearDown() override { kx::faultClearAll(); }
};

TEST_F(HeapTest, BlocksAreZeroFilledAndCounted) {
    int64_t outstanding = kx::kxHeapOutstanding();
    uint64_t allocations = kx::kxHeapAllocations();
    std::vector<uint8_t*> blocks;
    for (size_t size : {1u, 7u, 4096u, 100000u}) {
        auto* block = static_cast<uint8_t*>(kx::kxcalloc(size, 1));
        ASSERT_NE(block, nullptr);
        for (size_t i = 0; i < size; ++i)
            ASSERT_EQ(block[i], 0) << size << " at " << i;
        blocks.push_back(block);
    }
    EXPECT_EQ(kx::kxHeapOutstanding(), outstanding + 4);
    EXPECT_EQ(kx::kxHeapAllocations(), allocations + 4);
    for (uint8_t* block : blocks)
        kx::kxfree(block);
    kx::kxfree(nullptr);
    EXPECT_EQ(kx::kxHeapOutstanding(), outstanding);
    EXPECT_EQ(kx::kxHeapAllocations(), allocations + 4) << "freeing does not undo the count";
}

TEST_F(HeapTest, AnOverflowingRequestFailsWithoutCounting) {
    int64_t outstanding = kx::kxHeapOutstanding();
    EXPECT_EQ(kx::kxcalloc(SIZE_MAX / 2, 4), nullptr);
    EXPECT_EQ(kx::kxHeapOutstanding(), outstanding);
}

TEST_F(HeapTest, InjectedFailures) {
    struct Case {
        uint64_t nth;
        bool sticky;
        std::vector<bool> expected;  // which of six calls succeed
    };
    for (const Case& c : {Case{1, false, {false, true, true, true, true, true}},
                          Case{3, false, {true, true, false, true, true, true}},
                          Case{4, true, {true, true, true, false, false, false}}}) {
        int64_t outstanding = kx::kxHeapOutstanding();
        kx::faultArm(kx::Fault::Alloc, c.nth, c.sticky);
        std::vector<bool> got;
        std::vector<void*> blocks;
        for (int i = 0; i < 6; ++i) {
            void* block = kx::kxcalloc(1, 16);
            got.push_back(block != nullptr);
            blocks.push_back(block);
        }
        kx::faultClear(kx::Fault::Alloc);
        EXPECT_EQ(got, c.expected) << c.nth << (c.sticky ? " sticky" : "");
        size_t good = 0;
        for (bool ok : c.expected)
            good += ok ? 1 : 0;
        EXPECT_EQ(kx::kxHeapOutstanding(), outstanding + static_cast<int64_t>(good));
        for (void* block : blocks)
            kx::kxfree(block);
        EXPECT_EQ(kx::kxHeapOutstanding(), outstanding);
    }
}

TEST_F(HeapTest, CountsStayExactUnderConcurrentUse) {
    int64_t outstanding = kx::kxHeapOutstanding();
    uint64_t allocations = kx::kxHeapAllocations();
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < kRounds; ++i)
                kx::kxfree(kx::kxcalloc(1, 32));
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(kx::kxHeapOutstanding(), outstanding);
    EXPECT_EQ(kx::kxHeapAllocations(), allocations + kThreads * kRounds);
}

}  // namespace
