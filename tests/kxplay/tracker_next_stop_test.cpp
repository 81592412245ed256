// SPDX-License-Identifier: Apache-2.0
// The tracker's next stop, which bounds how many periods kxplay renders in one run: the fewest
// periods until a playing sound that does not loop ends by itself, never a period past it.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/wavgen.h"
#include "tools/kxplay/tracker.h"

namespace {

using kx::SND_OK;
using kx::SoundHandle;

constexpr uint32_t P = 4096;  // 1024 frames

SoundHandle fake(uintptr_t n) {
    return reinterpret_cast<SoundHandle>(n * 64);
}

struct Sound {
    uint32_t dataLength;
    bool loop;
    bool paused;
};

TEST(TrackerNextStop, IsTheSoonestEndOfAPlayingSoundThatDoesNotLoop) {
    struct Case {
        const char* what;
        std::vector<Sound> sounds;
        uint64_t expected;
    };
    const Case cases[] = {
        {"nothing created", {}, UINT64_MAX},
        {"one sound of three periods", {{3 * P, false, false}}, 3},
        {"part of a period counts whole", {{2 * P + 1, false, false}}, 3},
        {"an empty sound ends in one period", {{0, false, false}}, 1},
        {"the sooner of two", {{9 * P, false, false}, {4 * P, false, false}}, 4},
        {"a loop never ends", {{2 * P, true, false}}, UINT64_MAX},
        {"a loop beside a sound", {{P, true, false}, {5 * P, false, false}}, 5},
        {"a paused sound waits", {{P, false, true}, {6 * P, false, false}}, 6},
        {"only paused", {{P, false, true}}, UINT64_MAX},
    };
    for (const Case& c : cases) {
        kx::PlayTracker t;
        kx::trackerInit(&t, P);
        uintptr_t n = 1;
        for (const Sound& s : c.sounds) {
            kx::trackerCreated(&t, kxtest::numberedName("s", static_cast<long>(n)), SND_OK, fake(n),
                               s.dataLength);
            kx::trackerPlayed(&t, fake(n), false, s.loop, SND_OK);
            if (s.paused)
                kx::trackerPaused(&t, fake(n), SND_OK);
            ++n;
        }
        EXPECT_EQ(kx::trackerPeriodsToNextStop(t), c.expected) << c.what;
    }
}

TEST(TrackerNextStop, AdvancingThatFarStopsASoundAndOneFewerStopsNone) {
    const uint32_t lengths[] = {P, 3 * P - 7, 8 * P};
    kx::PlayTracker t;
    kx::trackerInit(&t, P);
    for (uintptr_t n = 1; n <= 3; ++n) {
        kx::trackerCreated(&t, kxtest::numberedName("s", static_cast<long>(n)), SND_OK, fake(n),
                           lengths[n - 1]);
        kx::trackerPlayed(&t, fake(n), false, false, SND_OK);
    }
    const uint64_t expectedStops[] = {1, 3, 8};
    uint64_t elapsed = 0;
    for (uint64_t stopAt : expectedStops) {
        uint64_t next = kx::trackerPeriodsToNextStop(t);
        EXPECT_EQ(elapsed + next, stopAt);
        auto playing = [&] {
            int count = 0;
            for (const kx::TrackedSound& s : t.sounds)
                count += s.state == kx::TrackedState::Playing ? 1 : 0;
            return count;
        };
        int before = playing();
        for (uint64_t i = 0; i + 1 < next; ++i)
            kx::trackerAdvance(&t);
        EXPECT_EQ(playing(), before) << "no sound ends before the next stop";
        kx::trackerAdvance(&t);
        EXPECT_EQ(playing(), before - 1) << "one ends at it";
        elapsed += next;
    }
    EXPECT_EQ(kx::trackerPeriodsToNextStop(t), UINT64_MAX);
}

}  // namespace
