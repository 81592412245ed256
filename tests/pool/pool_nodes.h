// SPDX-License-Identifier: Apache-2.0
// Test helpers for pools: records that begin with the two links, a destroy function that
// records what it was handed, and a pool that is created and torn down around each test.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "platform/fault.h"
#include "pool/pool.h"

namespace pooltest {

struct Item {
    kx::KxNode links;  // first, as in every record kept in a pool
    int value;
};

// Nodes handed to recordDestroy, in order.
inline std::vector<void*>& destroyed() {
    static std::vector<void*> nodes;
    return nodes;
}
inline int32_t recordDestroy(void* node) {
    destroyed().push_back(node);
    return 0;
}

// Pops until the pool is empty, returning the values in pop order.
inline std::vector<int> drain(kx::Pool* pool, uint8_t fromHead) {
    std::vector<int> values;
    void* node = nullptr;
    while (kx::PopPool(pool, &node, fromHead) == 0)
        values.push_back(static_cast<Item*>(node)->value);
    EXPECT_EQ(node, nullptr) << "the failed pop that ends the drain leaves the pointer null";
    return values;
}

class PoolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kx::faultClearAll();
        destroyed().clear();
        ASSERT_EQ(kx::InitPool(&pool, "testPool"), 0);
        for (int i = 0; i < kItems; ++i)
            items[i].value = i + 1;
    }
    void TearDown() override {
        kx::faultClearAll();
        kx::ExitPool(&pool, [](void*) { return 0; });
    }

    static constexpr int kItems = 4;
    kx::Pool pool{};
    Item items[kItems]{};
};

}  // namespace pooltest
