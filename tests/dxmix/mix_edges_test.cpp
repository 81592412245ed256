// SPDX-License-Identifier: Apache-2.0
// Saturating mix: the sums at the limits, a buffer mixed into itself, missing buffers and the
// odd last byte, for every mix this processor runs.
#include <gtest/gtest.h>

#include "tests/dxmix/mix_helpers.h"

namespace mixtest {
namespace {

TEST(MixEdges, SumsClampAtTheLimits) {
    struct Case {
        int16_t dst;
        int16_t src;
        int16_t sum;
    };
    const Case cases[] = {
        {32767, 1, 32767}, {-32768, -1, -32768}, {20000, 20000, 32767},    {-20000, -20000, -32768},
        {100, -300, -200}, {32767, -32768, -1},  {-32768, -32768, -32768}, {0, 0, 0}};
    constexpr int kCases = sizeof(cases) / sizeof(cases[0]);
    for (const Mix& mix : runnableMixes()) {
        SCOPED_TRACE(mix.name);
        // Each case at every position of a 100-sample buffer, to pass through the packed bulk
        // and the scalar tail of every variant.
        int16_t dst[100];
        int16_t src[100];
        for (int i = 0; i < 100; ++i) {
            dst[i] = cases[i % kCases].dst;
            src[i] = cases[i % kCases].src;
        }
        mix.fn(dst, src, sizeof(dst));
        for (int i = 0; i < 100; ++i)
            ASSERT_EQ(dst[i], cases[i % kCases].sum) << "sample " << i;
    }
}

TEST(MixEdges, SameBufferDoublesEverySample) {
    for (const Mix& mix : runnableMixes()) {
        SCOPED_TRACE(mix.name);
        for (uint32_t samples : {1u, 7u, 8u, 33u, 130u}) {
            std::vector<int16_t> buffer(samples);
            for (uint32_t i = 0; i < samples; ++i)
                buffer[i] = static_cast<int16_t>(static_cast<int32_t>(i * 997) % 65536 - 32768);
            std::vector<int16_t> expected(buffer);
            for (int16_t& s : expected)
                s = static_cast<int16_t>(s > 16383 ? 32767 : s < -16384 ? -32768 : s * 2);
            mix.fn(buffer.data(), buffer.data(), samples * 2);
            EXPECT_EQ(buffer, expected) << samples << " samples";
        }
    }
}

TEST(MixEdges, MissingBuffersZeroLengthAndOddByteChangeNothing) {
    for (const Mix& mix : runnableMixes()) {
        SCOPED_TRACE(mix.name);
        uint8_t dst[67];
        uint8_t src[67];
        std::fill(std::begin(dst), std::end(dst), 0x11);
        std::fill(std::begin(src), std::end(src), 0x22);
        mix.fn(nullptr, src, sizeof(src));
        mix.fn(dst, nullptr, sizeof(dst));
        mix.fn(dst, src, 0);
        EXPECT_EQ(dst[0], 0x11);
        mix.fn(dst, src, 1);
        EXPECT_EQ(dst[0], 0x11) << "half a sample is not mixed";
        mix.fn(dst, src, sizeof(dst));
        for (int i = 0; i < 66; ++i)
            ASSERT_EQ(dst[i], 0x33) << "byte " << i;
        EXPECT_EQ(dst[66], 0x11);
    }
}

}  // namespace
}  // namespace mixtest
