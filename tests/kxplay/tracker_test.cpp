// SPDX-License-Identifier: Apache-2.0
// The play tracker: from statuses and data lengths, which NAME names which sound and when
// nothing is heard any more, under the module's rules (restart, resume, exclusive, pause, stop,
// delete, refusals). Handles are fake addresses: the tracker only compares them.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/wavgen.h"
#include "tools/kxplay/tracker.h"

namespace {

using kx::SND_ERR_EXCLUSIVE;
using kx::SND_ERR_EXISTS;
using kx::SND_ERR_FILE;
using kx::SND_ERR_PARAM;
using kx::SND_ERR_TOO_MANY;
using kx::SND_OK;
using kx::SoundHandle;
using kx::TrackedState;

constexpr uint32_t P = 4096;  // 1024 frames

SoundHandle fake(uintptr_t n) {
    return reinterpret_cast<SoundHandle>(n * 64);
}

TrackedState stateOf(const kx::PlayTracker& t, SoundHandle h) {
    for (const kx::TrackedSound& s : t.sounds)
        if (s.handle == h)
            return s.state;
    ADD_FAILURE() << "no such sound";
    return TrackedState::Stopped;
}

// Advances until nothing plays; returns the periods that took (at most `bound`).
uint64_t periodsUntilQuiet(kx::PlayTracker* t, uint64_t bound = 1000) {
    uint64_t n = 0;
    while (kx::trackerAnyPlaying(*t) && n < bound) {
        kx::trackerAdvance(t);
        ++n;
    }
    return n;
}

TEST(PlayTracker, ASoundIsHeardForItsDataRoundedUpToWholePeriods) {
    struct Case {
        uint32_t dataLength;
        uint64_t periods;
    };
    const Case cases[] = {{0, 1}, {1, 1}, {P - 1, 1}, {P, 1}, {P + 1, 2}, {10 * P, 10}};
    for (const Case& c : cases) {
        kx::PlayTracker t;
        kx::trackerInit(&t, P);
        kx::trackerCreated(&t, "a", SND_OK, fake(1), c.dataLength);
        kx::trackerPlayed(&t, fake(1), false, false, SND_OK);
        EXPECT_EQ(periodsUntilQuiet(&t), c.periods) << c.dataLength;
    }
}

TEST(PlayTracker, NamesFollowCreateResultsAndDeletion) {
    kx::PlayTracker t;
    kx::trackerInit(&t, P);
    kx::trackerCreated(&t, "a", SND_OK, fake(1), P);
    kx::trackerCreated(&t, "again", SND_ERR_EXISTS, fake(1), 0);  // the existing sound
    kx::trackerCreated(&t, "bad", SND_ERR_FILE, nullptr, 0);
    EXPECT_EQ(kx::trackerLookup(t, "a"), fake(1));
    EXPECT_EQ(kx::trackerLookup(t, "again"), fake(1));
    EXPECT_EQ(kx::trackerLookup(t, "bad"), nullptr);
    EXPECT_EQ(kx::trackerLookup(t, "never"), nullptr);
    EXPECT_EQ(t.sounds.size(), 1u);

    // A name rebound by a failed create names nothing any more.
    kx::trackerCreated(&t, "b", SND_OK, fake(2), P);
    kx::trackerCreated(&t, "b", kx::SND_ERR_FORMAT, nullptr, 0);
    EXPECT_EQ(kx::trackerLookup(t, "b"), nullptr);

    // A refused delete changes nothing; a delete through either name unbinds both.
    kx::trackerDeleted(&t, fake(1), SND_ERR_PARAM);
    EXPECT_EQ(kx::trackerLookup(t, "a"), fake(1));
    kx::trackerDeleted(&t, fake(1), SND_OK);
    EXPECT_EQ(kx::trackerLookup(t, "a"), nullptr);
    EXPECT_EQ(kx::trackerLookup(t, "again"), nullptr);
    EXPECT_EQ(t.sounds.size(), 1u);  // b's sound is still known
}

TEST(PlayTracker, PauseSuspendsTheCountAndRestartResetsIt) {
    kx::PlayTracker t;
    kx::trackerInit(&t, P);
    kx::trackerCreated(&t, "a", SND_OK, fake(1), 5 * P);
    kx::trackerPlayed(&t, fake(1), false, false, SND_OK);
    kx::trackerAdvance(&t);
    kx::trackerAdvance(&t);
    kx::trackerPaused(&t, fake(1), SND_OK);
    for (int i = 0; i < 10; ++i)
        kx::trackerAdvance(&t);
    EXPECT_EQ(stateOf(t, fake(1)), TrackedState::Paused);
    EXPECT_FALSE(kx::trackerAnyPlaying(t));
    kx::trackerPlayed(&t, fake(1), false, false, SND_OK);  // resumes: 3 periods left
    EXPECT_EQ(periodsUntilQuiet(&t), 3u);

    kx::trackerPlayed(&t, fake(1), false, false, SND_OK);
    kx::trackerAdvance(&t);
    kx::trackerPlayed(&t, fake(1), false, false, SND_OK);  // playing: restarts from the start
    EXPECT_EQ(periodsUntilQuiet(&t), 5u);

    // Pausing a stopped sound leaves it stopped.
    kx::trackerPaused(&t, fake(1), SND_OK);
    EXPECT_EQ(stateOf(t, fake(1)), TrackedState::Stopped);
}

TEST(PlayTracker, RefusedRequestsChangeNothing) {
    kx::PlayTracker t;
    kx::trackerInit(&t, P);
    kx::trackerCreated(&t, "a", SND_OK, fake(1), 2 * P);
    kx::trackerCreated(&t, "b", SND_OK, fake(2), 2 * P);
    kx::trackerPlayed(&t, fake(1), false, false, SND_OK);
    kx::trackerPlayed(&t, fake(2), false, false, SND_ERR_TOO_MANY);
    kx::trackerPlayed(&t, fake(2), false, false, SND_ERR_EXCLUSIVE);
    kx::trackerPlayed(&t, nullptr, false, false, SND_ERR_PARAM);
    EXPECT_EQ(stateOf(t, fake(2)), TrackedState::Stopped);
    kx::trackerStopped(&t, fake(1), 1);  // "not started": no change
    kx::trackerPaused(&t, nullptr, 1);
    EXPECT_EQ(stateOf(t, fake(1)), TrackedState::Playing);
    EXPECT_EQ(periodsUntilQuiet(&t), 2u);
}

TEST(PlayTracker, ExclusiveStopsThePlayingAndLeavesThePaused) {
    kx::PlayTracker t;
    kx::trackerInit(&t, P);
    for (uintptr_t i = 1; i <= 4; ++i)
        kx::trackerCreated(&t, std::string(1, static_cast<char>('a' + i - 1)), SND_OK, fake(i),
                           8 * P);
    kx::trackerPlayed(&t, fake(1), false, true, SND_OK);  // a loops
    kx::trackerPlayed(&t, fake(2), false, false, SND_OK);
    kx::trackerPlayed(&t, fake(3), false, false, SND_OK);
    kx::trackerPaused(&t, fake(3), SND_OK);
    kx::trackerPlayed(&t, fake(4), true, false, SND_OK);
    EXPECT_EQ(stateOf(t, fake(1)), TrackedState::Stopped);
    EXPECT_EQ(stateOf(t, fake(2)), TrackedState::Stopped);
    EXPECT_EQ(stateOf(t, fake(3)), TrackedState::Paused);
    EXPECT_EQ(stateOf(t, fake(4)), TrackedState::Playing);
    EXPECT_FALSE(kx::trackerLooping(t));

    // An exclusive play of the paused sound resumes it and stops the exclusive one.
    kx::trackerAdvance(&t);
    kx::trackerPlayed(&t, fake(3), true, false, SND_OK);
    EXPECT_EQ(stateOf(t, fake(4)), TrackedState::Stopped);
    EXPECT_EQ(stateOf(t, fake(3)), TrackedState::Playing);

    // With SND_ERR_FILE the sweep has run, but the sound did not start.
    kx::trackerPlayed(&t, fake(2), false, false, SND_OK);
    kx::trackerPlayed(&t, fake(1), true, false, SND_ERR_FILE);
    EXPECT_EQ(stateOf(t, fake(2)), TrackedState::Stopped);
    EXPECT_EQ(stateOf(t, fake(3)), TrackedState::Stopped);
    EXPECT_EQ(stateOf(t, fake(1)), TrackedState::Stopped);

    // The sole playing sound restarts without a sweep, so a failed reopen leaves it playing.
    kx::trackerPlayed(&t, fake(2), false, false, SND_OK);
    kx::trackerPlayed(&t, fake(2), true, false, SND_ERR_FILE);
    EXPECT_EQ(stateOf(t, fake(2)), TrackedState::Playing);
}

TEST(PlayTracker, LoopsNeverEndAndAllFormsReachEverySound) {
    kx::PlayTracker t;
    kx::trackerInit(&t, P);
    kx::trackerCreated(&t, "a", SND_OK, fake(1), P);
    kx::trackerCreated(&t, "b", SND_OK, fake(2), P);
    kx::trackerPlayed(&t, fake(1), false, true, SND_OK);
    kx::trackerPlayed(&t, fake(2), false, false, SND_OK);
    EXPECT_EQ(periodsUntilQuiet(&t, 50), 50u);
    std::string name;
    EXPECT_TRUE(kx::trackerLooping(t, &name));
    EXPECT_EQ(name, "a");
    EXPECT_EQ(stateOf(t, fake(2)), TrackedState::Stopped);

    kx::trackerPlayed(&t, fake(2), false, false, SND_OK);
    kx::trackerPaused(&t, nullptr, SND_OK);
    EXPECT_EQ(stateOf(t, fake(1)), TrackedState::Paused);
    EXPECT_EQ(stateOf(t, fake(2)), TrackedState::Paused);
    kx::trackerStopped(&t, nullptr, SND_OK);  // stops paused sounds too
    EXPECT_EQ(stateOf(t, fake(1)), TrackedState::Stopped);
    EXPECT_EQ(stateOf(t, fake(2)), TrackedState::Stopped);

    // A play without loop clears the loop flag.
    kx::trackerPlayed(&t, fake(1), false, true, SND_OK);
    kx::trackerPlayed(&t, fake(1), false, false, SND_OK);
    EXPECT_FALSE(kx::trackerLooping(t));
    EXPECT_EQ(periodsUntilQuiet(&t), 1u);
}

}  // namespace

// Stream blocks: four are lent to playing and paused sounds; a sound started while all four are
// lent plays unheard, is not counted down and never stops by itself.
TEST(PlayTracker, BlocksAreLentAsTheModuleLendsThem) {
    enum Op { Play, PlayLoop, PlayExclusive, Pause, Stop, Delete, FileFails, Advance };
    struct Step {
        Op op;
        int sound;  // 1..6
    };
    struct Case {
        const char* what;
        std::vector<Step> steps;
        std::vector<std::pair<TrackedState, bool>> expected;  // state and block of sounds 1..6
        bool anyHeard;
    };
    using S = TrackedState;
    const std::pair<S, bool> stopped{S::Stopped, false}, heard{S::Playing, true},
        unheard{S::Playing, false}, paused{S::Paused, true};
    const std::vector<Step> fourPaused = {{Play, 1},  {Play, 2},  {Play, 3},  {Play, 4},
                                          {Pause, 1}, {Pause, 2}, {Pause, 3}, {Pause, 4}};
    auto with = [&](std::vector<Step> more) {
        std::vector<Step> steps = fourPaused;
        steps.insert(steps.end(), more.begin(), more.end());
        return steps;
    };
    const Case cases[] = {
        {"a fifth sound while four paused hold the blocks plays unheard and stays playing",
         with({{Play, 5}, {Advance, 100}}),
         {paused, paused, paused, paused, unheard, stopped},
         false},
        {"a stop frees a block for the next start",
         with({{Play, 5}, {Stop, 1}, {Play, 5}}),
         {stopped, paused, paused, paused, heard, stopped},
         true},
        {"an unheard sound does not take a block that is freed later",
         with({{Play, 5}, {Stop, 2}}),
         {paused, stopped, paused, paused, unheard, stopped},
         false},
        {"a restart gives its block back before it takes one",
         {{Play, 1}, {Play, 2}, {Play, 3}, {Play, 4}, {Play, 4}},
         {heard, heard, heard, heard, stopped, stopped},
         true},
        {"an exclusive start stops the playing sounds and frees their blocks",
         {{Play, 1}, {Play, 2}, {Pause, 2}, {Play, 3}, {Play, 4}, {PlayExclusive, 5}},
         {stopped, paused, stopped, stopped, heard, stopped},
         true},
        {"a sound heard to its end gives its block back",
         {{Play, 1}, {Play, 2}, {Play, 3}, {PlayLoop, 4}, {Advance, 3}, {Play, 5}, {Play, 6}},
         {stopped, stopped, stopped, heard, heard, heard},
         true},
        {"a restart that cannot reopen its file leaves the sound playing without its block",
         {{Play, 1}, {FileFails, 1}, {Advance, 10}},
         {unheard, stopped, stopped, stopped, stopped, stopped},
         false},
        {"a deleted sound's block is free again",
         with({{Delete, 1}, {Play, 5}}),
         {stopped, paused, paused, paused, heard, stopped},
         true},
    };
    for (const Case& c : cases) {
        kx::PlayTracker t;
        kx::trackerInit(&t, P);
        for (int i = 1; i <= 6; ++i)
            kx::trackerCreated(&t, kxtest::numberedName("s", i), SND_OK, fake(i), 3 * P);
        for (const Step& step : c.steps) {
            SoundHandle h = fake(static_cast<uintptr_t>(step.sound));
            switch (step.op) {
                case Play:
                    kx::trackerPlayed(&t, h, false, false, SND_OK);
                    break;
                case PlayLoop:
                    kx::trackerPlayed(&t, h, false, true, SND_OK);
                    break;
                case PlayExclusive:
                    kx::trackerPlayed(&t, h, true, false, SND_OK);
                    break;
                case Pause:
                    kx::trackerPaused(&t, h, SND_OK);
                    break;
                case Stop:
                    kx::trackerStopped(&t, h, SND_OK);
                    break;
                case Delete:
                    kx::trackerDeleted(&t, h, SND_OK);
                    break;
                case FileFails:
                    kx::trackerPlayed(&t, h, false, false, SND_ERR_FILE);
                    break;
                case Advance:
                    for (int i = 0; i < step.sound; ++i)
                        kx::trackerAdvance(&t);
                    break;
            }
        }
        for (size_t i = 0; i < c.expected.size(); ++i) {
            const kx::TrackedSound* sound = nullptr;
            for (const kx::TrackedSound& s : t.sounds)
                if (s.handle == fake(i + 1))
                    sound = &s;
            if (sound == nullptr) {  // deleted
                EXPECT_EQ(c.expected[i], stopped) << c.what << ": s" << i + 1;
                continue;
            }
            EXPECT_EQ(sound->state, c.expected[i].first) << c.what << ": s" << i + 1;
            EXPECT_EQ(sound->block, c.expected[i].second) << c.what << ": s" << i + 1;
        }
        EXPECT_EQ(kx::trackerAnyPlaying(t), c.anyHeard) << c.what;
    }
}
