// SPDX-License-Identifier: Apache-2.0
// Pools: teardown through a destroy function, pools torn down in any state, re-initialisation,
// and kernel failures of creating or entering the pool's critical section.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_types.h"
#include "tests/pool/pool_nodes.h"

namespace pooltest {
namespace {

using namespace kx;

bool isZero(const Pool& pool) {
    static const Pool zero{};
    return std::memcmp(&pool, &zero, sizeof(Pool)) == 0;
}

const int kKey = 0;
Pool* gPool = nullptr;
std::vector<int32_t> gSizesSeenByDestroy;

// Asks another thread for the pool's size: that can only finish while the caller does not hold
// the pool's lock. A bounded wait turns a held lock into a failure instead of a hang.
int32_t destroyWhileUnlocked(void* node) {
    auto size = std::make_shared<std::atomic<int32_t>>(-1);
    std::thread([size] { size->store(SizePool(gPool)); }).detach();
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (size->load() < 0 && std::chrono::steady_clock::now() < limit)
        std::this_thread::yield();
    gSizesSeenByDestroy.push_back(size->load());
    return recordDestroy(node);
}

TEST_F(PoolTest, ExitDestroysEveryNodeFromHeadWithoutTheLock) {
    for (Item& item : items)
        ASSERT_EQ(PushPool(&pool, &item, 1), 0);
    int sections = RtkSectionsAlive();
    gPool = &pool;
    gSizesSeenByDestroy.clear();
    ExitPool(&pool, destroyWhileUnlocked);
    EXPECT_EQ(destroyed(), (std::vector<void*>{&items[0], &items[1], &items[2], &items[3]}));
    EXPECT_EQ(gSizesSeenByDestroy, (std::vector<int32_t>{3, 2, 1, 0}))
        << "each node is unlinked, and the lock left, before destroy runs";
    EXPECT_EQ(RtkSectionsAlive(), sections - 1);
    EXPECT_TRUE(isZero(pool));
}

TEST_F(PoolTest, ExitWithoutDestroyDoesNothing) {
    for (Item& item : items)
        ASSERT_EQ(PushPool(&pool, &item, 1), 0);
    Pool before = pool;
    int sections = RtkSectionsAlive();
    ExitPool(&pool, nullptr);
    EXPECT_EQ(std::memcmp(&before, &pool, sizeof(Pool)), 0);
    EXPECT_EQ(RtkSectionsAlive(), sections);
    EXPECT_EQ(SizePool(&pool), kItems);
}

TEST_F(PoolTest, ExitOfAnUninitialisedPoolAndTwiceInARow) {
    Pool never{};
    int sections = RtkSectionsAlive();
    ExitPool(&never, recordDestroy);
    EXPECT_TRUE(isZero(never));
    ExitPool(nullptr, recordDestroy);
    ASSERT_EQ(PushPool(&pool, &items[0], 1), 0);
    ExitPool(&pool, recordDestroy);
    ExitPool(&pool, recordDestroy);
    EXPECT_EQ(destroyed(), std::vector<void*>{&items[0]});
    EXPECT_EQ(RtkSectionsAlive(), sections - 1);
    EXPECT_TRUE(isZero(pool));
}

TEST_F(PoolTest, ReinitialisedAfterExitIsEmptyAndWorks) {
    ASSERT_EQ(PushPool(&pool, &items[0], 1), 0);
    ExitPool(&pool, recordDestroy);
    ASSERT_EQ(InitPool(&pool, "again"), 0);
    EXPECT_EQ(SizePool(&pool), 0);
    ASSERT_EQ(PushPool(&pool, &items[1], 1), 0);
    ASSERT_EQ(PushPool(&pool, &items[0], 1), 0);
    EXPECT_EQ(drain(&pool, 1), (std::vector<int>{2, 1}));
}

TEST(PoolFaults, FailedCreationLeavesThePoolUninitialised) {
    faultClearAll();
    Pool pool{};
    faultArm(Fault::SectionCreate, 1);
    int32_t result = InitPool(&pool, "doomed");
    faultClearAll();
    EXPECT_NE(result & 0xFFFF, 0) << "a failure is visible in the low 16 bits";
    EXPECT_EQ(pool.lock, 0u);
    Item item{};
    EXPECT_EQ(PushPool(&pool, &item, 1), 1);
    EXPECT_EQ(SizePool(&pool), 0);
    ExitPool(&pool, recordDestroy);
    EXPECT_EQ(pool.lock, 0u);
    EXPECT_TRUE(destroyed().empty());
}

TEST_F(PoolTest, AFailedEnterChangesNothing) {
    ASSERT_EQ(PushPool(&pool, &items[0], 1), 0);
    ASSERT_EQ(PushPool(&pool, &items[1], 1), 0);
    struct Case {
        const char* name;
        int32_t (*op)(Pool*, Item*, void**);
        int32_t result;
        bool outNull;
    };
    const Case cases[] = {
        {"lock", [](Pool* p, Item*, void**) { return LockPool(p); }, RTK_ERR_FAULT, false},
        {"push", [](Pool* p, Item* i, void**) { return PushPool(p, &i[2], 1); }, 1, false},
        {"pop", [](Pool* p, Item*, void** o) { return PopPool(p, o, 1); }, 1, true},
        {"find",
         [](Pool* p, Item*, void** o) {
             return FindPool(p, &kKey, o, [](void*, const void*) { return 0; });
         },
         1, true},
        {"delete", [](Pool* p, Item* i, void**) { return DeletePool(p, &i[0], recordDestroy); }, 1,
         false},
        {"size", [](Pool* p, Item*, void**) { return SizePool(p); }, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        void* out = &items[3];
        faultArm(Fault::SectionEnter, 1);
        EXPECT_EQ(c.op(&pool, items, &out), c.result);
        EXPECT_TRUE(faultReached(Fault::SectionEnter));
        faultClearAll();
        EXPECT_EQ(out, c.outNull ? nullptr : static_cast<void*>(&items[3]));
        EXPECT_TRUE(destroyed().empty());
        EXPECT_EQ(SizePool(&pool), 2);
    }
}

TEST_F(PoolTest, ExitWhoseLockCannotBeEnteredStillTearsDown) {
    ASSERT_EQ(PushPool(&pool, &items[0], 1), 0);
    int sections = RtkSectionsAlive();
    faultArm(Fault::SectionEnter, 1, true);
    ExitPool(&pool, recordDestroy);
    faultClearAll();
    EXPECT_EQ(destroyed().size(), 1u) << "nodes still linked are destroyed, not abandoned";
    EXPECT_EQ(RtkSectionsAlive(), sections - 1);
    EXPECT_TRUE(isZero(pool));
}

}  // namespace
}  // namespace pooltest
