// SPDX-License-Identifier: Apache-2.0
// Test helpers for the mix: a plain reference and the list of mixes this processor runs (each
// supported variant, then the dispatched S16sMix).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "dxmix/dxmix.h"

namespace mixtest {

struct Mix {
    std::string name;
    kx::S16sMixFn fn;
};

inline std::vector<Mix> runnableMixes() {
    std::vector<Mix> mixes;
    int count = 0;
    const kx::S16sMixVariant* variants = kx::S16sMixVariants(&count);
    for (int i = 0; i < count; ++i)
        if (variants[i].supported)
            mixes.push_back({variants[i].name, variants[i].fn});
    mixes.push_back({"dispatched", kx::S16sMix});
    return mixes;
}

// One sample at a time, widened and clamped; an odd last byte is left alone.
inline void referenceMix(uint8_t* dst, const uint8_t* src, uint32_t length) {
    for (uint32_t i = 0; i + 2 <= length; i += 2) {
        int16_t a;
        int16_t b;
        std::memcpy(&a, dst + i, 2);
        std::memcpy(&b, src + i, 2);
        int32_t sum = a + b;
        int16_t r = static_cast<int16_t>(sum > 32767 ? 32767 : sum < -32768 ? -32768 : sum);
        std::memcpy(dst + i, &r, 2);
    }
}

}  // namespace mixtest
