// SPDX-License-Identifier: Apache-2.0
// Saturating mix: every variant this processor runs, and the dispatched mix, against a plain
// reference for every length up to 300 bytes, on misaligned buffers with guard bytes around.
#include <gtest/gtest.h>

#include <random>

#include "tests/dxmix/mix_helpers.h"

namespace mixtest {
namespace {

TEST(MixEquivalence, EveryLengthAndAlignmentMatchesTheReference) {
    constexpr uint32_t kMaxLength = 300;
    constexpr uint32_t kGuard = 16;
    constexpr uint8_t kGuardByte = 0xA5;
    std::mt19937 random(20240601);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<uint8_t> dst(kGuard + 8 + kMaxLength + kGuard);
    std::vector<uint8_t> src(dst.size());
    std::vector<uint8_t> expected(dst.size());

    for (const Mix& mix : runnableMixes()) {
        SCOPED_TRACE(mix.name);
        int mismatches = 0;
        for (uint32_t length = 0; length <= kMaxLength; ++length) {
            for (uint32_t offset = 0; offset < 8; ++offset) {
                // Source and destination misaligned differently, so no width lines both up.
                uint32_t srcOffset = (offset * 3) % 8;
                std::fill(dst.begin(), dst.end(), kGuardByte);
                std::fill(src.begin(), src.end(), kGuardByte);
                for (uint32_t i = 0; i < length; ++i) {
                    dst[kGuard + offset + i] = static_cast<uint8_t>(byte(random));
                    src[kGuard + srcOffset + i] = static_cast<uint8_t>(byte(random));
                }
                expected = dst;
                referenceMix(&expected[kGuard + offset], &src[kGuard + srcOffset], length);
                const std::vector<uint8_t> srcBefore = src;
                mix.fn(&dst[kGuard + offset], &src[kGuard + srcOffset], length);
                if (dst != expected || src != srcBefore) {
                    ADD_FAILURE() << "length " << length << " offset " << offset;
                    if (++mismatches > 5)
                        return;
                }
            }
        }
    }
}

}  // namespace
}  // namespace mixtest
