// SPDX-License-Identifier: Apache-2.0
// Pools: searching with a compare function (only the low 16 bits of its result count) and
// deleting a given node.
#include <gtest/gtest.h>

#include "kxaudio/kxaudio.h"
#include "tests/pool/pool_nodes.h"

namespace pooltest {
namespace {

using namespace kx;

void** gOut = nullptr;  // FindPool's out, watched by the compare function
int gCompares = 0;

// Each item's value is the status its comparison returns; the key is not looked at.
int32_t compareByValue(void* node, const void*) {
    ++gCompares;
    EXPECT_EQ(*gOut, node) << "each visited node is stored at out before it is compared";
    return static_cast<Item*>(node)->value;
}

TEST_F(PoolTest, FindReturnsTheFirstMatchCountedFromHead) {
    struct Case {
        const char* name;
        int values[kItems];
        int match;  // index of the expected node, -1 for none
    };
    const Case cases[] = {
        {"0 matches", {1, 0, 0, 1}, 1},
        {"65536 has low 16 bits 0", {2, 65536, 0, 1}, 1},
        {"the module's parameter error is no match", {SND_ERR_PARAM, 1, 7, 0}, 3},
        {"no match", {1, SND_ERR_PARAM, 0x10001, -65535}, -1},
        {"head first", {0, 0, 0, 0}, 0},
    };
    const int key = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (int i = 0; i < kItems; ++i) {
            items[i].value = c.values[i];
            ASSERT_EQ(PushPool(&pool, &items[i], 1), 0);
        }
        void* out = nullptr;
        gOut = &out;
        gCompares = 0;
        EXPECT_EQ(FindPool(&pool, &key, &out, compareByValue), c.match < 0 ? 1 : 0);
        EXPECT_EQ(out, c.match < 0 ? nullptr : &items[c.match]);
        EXPECT_EQ(gCompares, c.match < 0 ? kItems : c.match + 1);
        drain(&pool, 1);
    }
}

TEST_F(PoolTest, FindWithAMissingArgumentLeavesOutUntouched) {
    ASSERT_EQ(PushPool(&pool, &items[0], 1), 0);
    const int key = 0;
    void* sentinel = &items[3];
    void* out = sentinel;
    EXPECT_EQ(FindPool(nullptr, &key, &out, compareByValue), 1);
    EXPECT_EQ(FindPool(&pool, nullptr, &out, compareByValue), 1);
    EXPECT_EQ(FindPool(&pool, &key, &out, nullptr), 1);
    EXPECT_EQ(out, sentinel);
    EXPECT_EQ(FindPool(&pool, &key, nullptr, compareByValue), 1);
}

TEST_F(PoolTest, DeleteUnlinksAndHandsTheNodeToDestroy) {
    for (Item& item : items)
        ASSERT_EQ(PushPool(&pool, &item, 1), 0);
    EXPECT_EQ(DeletePool(&pool, &items[1], recordDestroy), 0);
    EXPECT_EQ(destroyed(), std::vector<void*>{&items[1]});
    EXPECT_EQ(DeletePool(&pool, &items[3], nullptr), 0) << "a null destroy only unlinks";
    EXPECT_EQ(destroyed().size(), 1u);
    EXPECT_EQ(drain(&pool, 1), (std::vector<int>{1, 3}));
}

TEST_F(PoolTest, DeleteRefusesNodesInNoList) {
    ASSERT_EQ(PushPool(&pool, &items[0], 1), 0);
    Item fresh{};  // zero-filled, never pushed
    KxNode other{};
    Item halfLinked{};
    halfLinked.links.succ = &other;  // pred null: in no list either
    EXPECT_EQ(DeletePool(&pool, &fresh, recordDestroy), 1);
    EXPECT_EQ(DeletePool(&pool, &halfLinked, recordDestroy), 1);
    EXPECT_EQ(DeletePool(&pool, nullptr, recordDestroy), 1);
    EXPECT_TRUE(destroyed().empty());
    EXPECT_EQ(SizePool(&pool), 1);
}

}  // namespace
}  // namespace pooltest
