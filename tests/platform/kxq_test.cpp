// SPDX-License-Identifier: Apache-2.0
// Byte queues: a writer and a reader at once over millions of checked bytes, and the single-
// threaded contract (all-or-nothing writes, zero fill on short reads, reset, bad handles).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/fault.h"
#include "platform/kernel/kxq.h"

namespace {

using namespace kx;
using Bytes = std::vector<uint8_t>;

class Kxq : public ::testing::Test {
  protected:
    void TearDown() override {
        faultClearAll();
        for (KxqHandle h : made_)
            kxqFree(h);
    }
    KxqHandle make(uint32_t capacity) {
        KxqHandle h = 0;
        EXPECT_EQ(kxqInit(capacity, &h), 0);
        EXPECT_NE(h, 0u);
        made_.push_back(h);
        return h;
    }

  private:
    std::vector<KxqHandle> made_;
};

// The byte at stream position pos: no short period, so a lost, repeated or reordered chunk
// shows at once.
uint8_t streamByte(uint64_t pos) {
    uint64_t x = pos * 0x9E3779B97F4A7C15ull;
    return static_cast<uint8_t>(x >> 56);
}

// Small deterministic generator, one per thread.
struct Rng {
    uint32_t state;
    uint32_t next(uint32_t bound) {  // 1..bound
        state = state * 1664525u + 1013904223u;
        return 1 + (state >> 8) % bound;
    }
};

TEST_F(Kxq, WriterAndReaderAtOnce) {
    struct Case {
        uint32_t capacity;
        uint32_t maxWrite;
        uint32_t maxRead;
        uint64_t total;  // bytes through the queue
    };
#if defined(__SANITIZE_THREAD__)
    constexpr uint64_t kScale = 1;  // instrumented copies are slow
#else
    constexpr uint64_t kScale = 4;
#endif
    const Case cases[] = {
        // The module's shape: four periods, one period at a time.
        {4 * 1024, 1024, 1024, kScale << 21},
        {1000, 997, 13, kScale << 19},  // odd capacity, writes near full size, small reads
        {7, 7, 3, kScale << 16},        // tiny ring: constant wrap-around
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.capacity);
        KxqHandle h = make(c.capacity);
        std::atomic<bool> failed{false};
        uint64_t shortReads = 0;
        std::thread writer([&] {
            Rng rng{c.capacity};
            Bytes chunk(c.maxWrite);
            uint64_t pos = 0;
            while (pos < c.total && !failed) {
                uint32_t n = rng.next(c.maxWrite);
                if (pos + n > c.total)
                    n = static_cast<uint32_t>(c.total - pos);
                for (uint32_t i = 0; i < n; ++i)
                    chunk[i] = streamByte(pos + i);
                // Half the time ask first, as the loader does; else write blind and retry on
                // refusal, which must then have queued nothing.
                bool ask = (n & 1) != 0;
                while (!failed) {
                    if (ask && kxqCanWrite(h, n) != 0) {
                        std::this_thread::yield();
                        continue;
                    }
                    if (kxqWrite(h, chunk.data(), n) == 0)
                        break;
                    if (ask)
                        failed = true;  // it said the length fits
                    std::this_thread::yield();
                }
                pos += n;
            }
        });
        Rng rng{c.capacity * 7 + 1};
        Bytes buffer(c.maxRead);
        uint64_t pos = 0;
        while (pos < c.total && !failed) {
            uint32_t n = rng.next(c.maxRead);
            std::memset(buffer.data(), 0xA5, n);
            int32_t got = kxqRead(h, buffer.data(), n);
            if (got < 0 || static_cast<uint32_t>(got) > n) {
                ADD_FAILURE() << "read returned " << got << " for " << n;
                failed = true;
                break;
            }
            for (int32_t i = 0; i < got; ++i) {
                if (buffer[i] != streamByte(pos + i)) {
                    ADD_FAILURE() << "byte " << pos + i << " is wrong";
                    failed = true;
                    break;
                }
            }
            for (uint32_t i = got; i < n; ++i) {
                if (buffer[i] != 0) {
                    ADD_FAILURE() << "unfilled byte " << i << " not zero";
                    failed = true;
                    break;
                }
            }
            if (static_cast<uint32_t>(got) < n) {
                ++shortReads;
                std::this_thread::yield();
            }
            pos += got;
        }
        writer.join();
        EXPECT_FALSE(failed.load());
        EXPECT_EQ(pos, c.total);
        EXPECT_NE(kxqCanRead(h, 1), 0) << "everything written was read";
        EXPECT_GT(shortReads, 0u) << "the reader must have caught up with the writer at times";
    }
}

// Single-threaded scripts: 'w' writes n bytes (expect 0 or non-zero), 'r' reads n and expects
// `value` of them, 'x' resets. After each step the fill level is checked through the can-calls.
struct Op {
    char op;
    uint32_t n;
    int value;  // 'w': expected result is zero (1) or non-zero (0); 'r': bytes returned
};

TEST_F(Kxq, LevelsThroughScripts) {
    struct Script {
        const char* name;
        uint32_t capacity;
        std::vector<Op> ops;
    };
    const std::vector<Script> scripts = {
        {"fill exactly", 8, {{'w', 8, 1}, {'w', 1, 0}, {'r', 8, 8}, {'r', 1, 0}}},
        {"too long refused whole", 8, {{'w', 5, 1}, {'w', 4, 0}, {'w', 3, 1}, {'r', 9, 8}}},
        {"over capacity", 8, {{'w', 9, 0}, {'r', 4, 0}}},
        {"short read", 8, {{'w', 3, 1}, {'r', 8, 3}, {'r', 8, 0}}},
        {"wrap around", 5, {{'w', 4, 1}, {'r', 3, 3}, {'w', 4, 1}, {'r', 2, 2}, {'r', 9, 3}}},
        {"reset empties", 8, {{'w', 6, 1}, {'x', 0, 0}, {'r', 8, 0}, {'w', 8, 1}, {'r', 8, 8}}},
        {"zero lengths", 8, {{'w', 0, 1}, {'r', 0, 0}, {'w', 8, 1}, {'w', 0, 1}}},
    };
    for (const Script& s : scripts) {
        SCOPED_TRACE(s.name);
        KxqHandle h = make(s.capacity);
        std::vector<uint8_t> model;  // what the queue must hold, oldest first
        uint8_t next = 1;
        for (const Op& op : s.ops) {
            if (op.op == 'w') {
                Bytes data(op.n);
                for (auto& b : data)
                    b = next++;
                int32_t r = kxqWrite(h, data.data(), op.n);
                EXPECT_EQ(r == 0, op.value == 1) << "write " << op.n;
                if (r == 0)
                    model.insert(model.end(), data.begin(), data.end());
            } else if (op.op == 'r') {
                Bytes out(op.n, 0xEE);
                int32_t got = kxqRead(h, out.data(), op.n);
                EXPECT_EQ(got, op.value) << "read " << op.n;
                Bytes expected(model.begin(), model.begin() + got);
                expected.resize(op.n, 0);  // the unfilled rest is zero
                EXPECT_EQ(out, expected);
                model.erase(model.begin(), model.begin() + got);
            } else {
                EXPECT_EQ(kxqReset(h), 0);
                model.clear();
            }
            uint32_t used = static_cast<uint32_t>(model.size());
            EXPECT_EQ(kxqCanRead(h, used), 0);
            EXPECT_NE(kxqCanRead(h, used + 1), 0);
            EXPECT_EQ(kxqCanWrite(h, s.capacity - used), 0);
            EXPECT_NE(kxqCanWrite(h, s.capacity - used + 1), 0);
        }
    }
}

TEST_F(Kxq, FailuresAndBadHandles) {
    KxqHandle h = 99;
    EXPECT_NE(kxqInit(0, &h), 0);
    EXPECT_EQ(h, 0u);
    EXPECT_NE(kxqInit(16, nullptr), 0);
    faultArm(Fault::QueueInit, 1);
    h = 99;
    EXPECT_NE(kxqInit(16, &h), 0);
    EXPECT_EQ(h, 0u);
    EXPECT_TRUE(faultReached(Fault::QueueInit));

    KxqHandle q = make(16);
    uint8_t data[4] = {1, 2, 3, 4};
    faultArm(Fault::QueueWrite, 1);
    EXPECT_NE(kxqWrite(q, data, 4), 0);
    EXPECT_NE(kxqCanRead(q, 1), 0) << "a failed write queues nothing";
    EXPECT_EQ(kxqWrite(q, data, 4), 0);
    EXPECT_NE(kxqWrite(q, nullptr, 4), 0);

    EXPECT_EQ(kxqFree(0), 0) << "handle 0: nothing to do";
    uint8_t out[4] = {9, 9, 9, 9};
    EXPECT_EQ(kxqRead(0, out, 4), 0);
    EXPECT_EQ(out[0] | out[1] | out[2] | out[3], 0) << "handle 0 reads silence";
    EXPECT_NE(kxqWrite(0, data, 4), 0);
    EXPECT_NE(kxqCanWrite(0, 1), 0);
    EXPECT_NE(kxqCanRead(0, 1), 0);
    EXPECT_NE(kxqReset(0), 0);
}

}  // namespace
