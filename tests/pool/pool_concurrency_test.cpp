// SPDX-License-Identifier: Apache-2.0
// Pools: several threads pushing, popping, searching and counting one pool at once. A node
// belongs to whoever popped it, so each thread re-pushes only what it holds; at the end every
// node must be held by exactly one thread and the pool must be empty.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "tests/pool/pool_nodes.h"

namespace pooltest {
namespace {

using namespace kx;

TEST_F(PoolTest, ConcurrentPushPopFindAndSizeLoseNothing) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 32;
    constexpr int kRounds = 300;
    constexpr int kTotal = kThreads * kPerThread;
    std::vector<Item> nodes(kTotal);
    std::vector<std::vector<Item*>> held(kThreads);
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kPerThread; ++i)
            held[t].push_back(&nodes[t * kPerThread + i]);

    std::vector<int> failures(kThreads, 0);
    auto work = [&](int t) {
        const Item* first = nodes.data();
        const Item* last = nodes.data() + kTotal;
        for (int round = 0; round < kRounds; ++round) {
            for (Item* item : held[t])
                failures[t] += PushPool(&pool, item, static_cast<uint8_t>((round + t) & 1));
            held[t].clear();
            int32_t size = SizePool(&pool);
            failures[t] += size < 0 || size > kTotal;
            void* found = nullptr;
            // Every node matches: the search returns whichever node is first right now.
            if (FindPool(&pool, first, &found, [](void*, const void*) { return 0; }) == 0)
                failures[t] += found < first || found >= last;
            // This thread pushed kPerThread and has popped fewer, so the pool is never empty.
            for (int i = 0; i < kPerThread; ++i) {
                void* node = nullptr;
                if (PopPool(&pool, &node, static_cast<uint8_t>(round & 1)) != 0) {
                    ++failures[t];
                    continue;
                }
                held[t].push_back(static_cast<Item*>(node));
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(work, t);
    for (std::thread& thread : threads)
        thread.join();

    std::set<Item*> all;
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(failures[t], 0) << "thread " << t;
        all.insert(held[t].begin(), held[t].end());
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(kTotal)) << "no node lost or held twice";
    EXPECT_EQ(SizePool(&pool), 0);
}

}  // namespace
}  // namespace pooltest
