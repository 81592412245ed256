// SPDX-License-Identifier: Apache-2.0
// Pools: which end a push links to and a pop takes from, sizes, and every operation on a pool
// that is empty, null or not initialised.
#include <gtest/gtest.h>

#include "tests/pool/pool_nodes.h"

namespace pooltest {
namespace {

using namespace kx;

TEST_F(PoolTest, PushAndPopEndsGiveTheirOrder) {
    struct Case {
        const char* name;
        uint8_t atTail;
        uint8_t fromHead;
        std::vector<int> popped;
    };
    const Case cases[] = {
        {"tail push, head pop: first in, first out", 1, 1, {1, 2, 3, 4}},
        {"head push, head pop: reverse", 0, 1, {4, 3, 2, 1}},
        {"tail push, tail pop: last tail-pushed first", 1, 0, {4, 3, 2, 1}},
        {"head push, tail pop: first in, first out", 0, 0, {1, 2, 3, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (Item& item : items)
            ASSERT_EQ(PushPool(&pool, &item, c.atTail), 0);
        EXPECT_EQ(SizePool(&pool), kItems);
        EXPECT_EQ(drain(&pool, c.fromHead), c.popped);
        EXPECT_EQ(SizePool(&pool), 0);
    }
}

TEST(PoolStates, EveryOperationFailsOnNullOrUninitialisedPools) {
    faultClearAll();
    Pool zero{};
    for (Pool* p : {static_cast<Pool*>(nullptr), &zero}) {
        SCOPED_TRACE(p == nullptr ? "null pool" : "zero-filled pool");
        Item item{};
        KxNode junk{};
        item.links = {&junk, &junk};  // stale links from an earlier list
        EXPECT_EQ(LockPool(p), 1);
        EXPECT_EQ(UnlockPool(p), 1);
        EXPECT_EQ(PushPool(p, &item, 1), 1);
        if (p != nullptr) {
            EXPECT_EQ(item.links.succ, nullptr) << "the node's links are reset before the lock";
            EXPECT_EQ(item.links.pred, nullptr);
        }
        void* out = &junk;
        EXPECT_EQ(PopPool(p, &out, 1), 1);
        EXPECT_EQ(out, p == nullptr ? static_cast<void*>(&junk) : nullptr);
        out = &junk;
        int key = 0;
        EXPECT_EQ(FindPool(p, &key, &out, [](void*, const void*) { return 0; }), 1);
        EXPECT_EQ(out, p == nullptr ? static_cast<void*>(&junk) : nullptr);
        EXPECT_EQ(DeletePool(p, &item, recordDestroy), 1);
        EXPECT_EQ(SizePool(p), 0);
        EXPECT_TRUE(destroyed().empty());
    }
    EXPECT_EQ(InitPool(nullptr, "none"), 1);
}

TEST_F(PoolTest, EmptyPoolAndMissingArguments) {
    void* out = &items[0];
    EXPECT_EQ(PopPool(&pool, &out, 1), 1);
    EXPECT_EQ(out, nullptr);
    out = &items[0];
    EXPECT_EQ(PopPool(&pool, &out, 0), 1);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(PopPool(&pool, nullptr, 1), 1);
    EXPECT_EQ(PushPool(&pool, nullptr, 1), 1);
    EXPECT_EQ(SizePool(&pool), 0);
    EXPECT_EQ(LockPool(&pool), 0);
    EXPECT_EQ(UnlockPool(&pool), 0);
}

}  // namespace
}  // namespace pooltest
