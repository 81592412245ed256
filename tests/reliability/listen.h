// SPDX-License-Identifier: Apache-2.0
// Reading back what the driver received as pieces of the sound that was played: every captured
// period must be silence or one period-long slice of the sound's samples; anything else is noise.
// Used under the stepped clock, on the test thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/harness.h"

namespace kxtest {

constexpr int kNoise = -1;

// Number of period-long slices in `samples` samples with `frames` frames per period.
inline int sliceCount(size_t samples, uint32_t frames) {
    size_t per = static_cast<size_t>(frames) * 2;
    return static_cast<int>((samples + per - 1) / per);
}

// For each captured period from `first` on that is not all zeros: the index k of the slice of
// `stream` it equals (samples [k * n, (k + 1) * n), zeros past the stream's end), or kNoise.
// With `cut`, a period that equals the start of a slice and is silent from there on (a block the
// file ran short of) also counts as that slice.
inline std::vector<int> heardSlices(const Module& m, size_t first,
                                    const std::vector<int16_t>& stream, bool cut = false) {
    const size_t per = static_cast<size_t>(m.frames()) * 2;
    const int slices = sliceCount(stream.size(), m.frames());
    std::vector<int> heard;
    const size_t periods = m.periods();
    for (size_t p = first; p < periods; ++p) {
        std::vector<int16_t> got = m.period(p);
        bool silent = true;
        for (int16_t v : got)
            silent = silent && v == 0;
        if (silent)
            continue;
        int match = kNoise;
        for (int k = 0; k < slices && match == kNoise; ++k) {
            size_t i = 0;
            for (; i < per; ++i) {
                size_t at = static_cast<size_t>(k) * per + i;
                int16_t want = at < stream.size() ? stream[at] : 0;
                if (got[i] != want)
                    break;
            }
            bool restSilent = true;
            for (size_t j = i; j < per; ++j)
                restSilent = restSilent && got[j] == 0;
            if (i == per || (cut && i > 0 && restSilent))
                match = k;
        }
        heard.push_back(match);
    }
    return heard;
}

// 0, 1, ..., n - 1.
inline std::vector<int> firstSlices(int n) {
    std::vector<int> out;
    for (int k = 0; k < n; ++k)
        out.push_back(k);
    return out;
}

inline std::string sliceList(const std::vector<int>& heard) {
    std::string out = "[";
    for (size_t i = 0; i < heard.size(); ++i) {
        if (i > 0)
            out += ' ';
        out += heard[i] == kNoise ? std::string("noise") : std::to_string(heard[i]);
    }
    return out + "]";
}

}  // namespace kxtest
