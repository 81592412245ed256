// SPDX-License-Identifier: Apache-2.0
// Playback through loader and mixer: sounds started directly through their state changes, the
// output checked period by period under the stepped clock.
#include <algorithm>

#include "platform/fault.h"
#include "platform/files/kxfile_host.h"
#include "tests/support/engine_fixture.h"

namespace kxtest {
namespace {

using kx::SND_LOOP;
using kx::SND_PAUSED;
using kx::SND_PLAY;
using kx::SND_PLAYING;
using kx::SND_STOPPED;

const std::vector<int16_t> kSilence(EngineTest::kSamples, 0);

TEST_F(EngineTest, WithNoSoundEveryPeriodIsSilence) {
    m.step(6);
    ASSERT_EQ(m.periods(), 7u);
    EXPECT_EQ(m.captured().size(), 7u * m.periodBytes());
    for (size_t k = 0; k < m.periods(); ++k)
        EXPECT_EQ(m.period(k), kSilence) << "period " << k;
}

// A non-looping sound plays its data once and is stopped by the mixer in the cycle that mixes
// its last block, which gives the block back.
TEST_F(EngineTest, SoundEndsInTheCycleOfItsLastBlock) {
    struct Case {
        const char* name;
        uint32_t frames;   // data length in frames
        Bytes extraAfter;  // a chunk behind "data" whose bytes must never be heard
    };
    const Case cases[] = {
        {"whole-periods", 3 * kFrames, {}},
        {"half-period-tail", 2 * kFrames + kFrames / 2, {}},
        {"shorter-than-a-period", 5, {}},
        {"list-chunk-behind-data", 2 * kFrames + 3, Bytes(300, 0x55)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int16_t> data = rampSamples(c.frames, 100, 3);
        WavLayout layout;
        layout.data = samplesToBytes(data);
        if (!c.extraAfter.empty())
            layout.after.push_back({"LIST", c.extraAfter});
        kx::SoundHandle s = sound(std::string(c.name) + ".wav", buildWav(layout));
        size_t blocks = (c.frames + kFrames - 1) / kFrames;
        size_t first = m.periods();
        ASSERT_EQ(setSoundState(s, SND_PLAYING), kx::SND_OK);
        for (size_t k = 0; k < blocks; ++k) {
            EXPECT_EQ(soundState(s), SND_PLAYING) << "before block " << k;
            m.step();
            EXPECT_EQ(m.period(first + k), slice(data, k)) << "block " << k;
        }
        EXPECT_EQ(soundState(s), SND_STOPPED);
        EXPECT_EQ(freeBlocks(), kx::NUM_STREAM_BLOCKS);
        EXPECT_EQ(blockInvariant(), "");
        m.step();
        EXPECT_EQ(m.period(first + blocks), kSilence);
        EXPECT_EQ(m.ops().sndDelete(s), kx::SND_OK);
    }
}

// A looping sound rewinds: a data length that is a whole number of periods joins without a gap;
// any other length ends each pass with a block padded with silence.
TEST_F(EngineTest, LoopingSoundRewinds) {
    for (uint32_t frames : {2 * kFrames, kFrames + kFrames / 4}) {
        SCOPED_TRACE(frames);
        std::vector<int16_t> data = rampSamples(frames, 7, 11);
        kx::SoundHandle s = sound(numberedName("loop", frames, ".wav"), data);
        size_t blocks = (frames + kFrames - 1) / kFrames;
        size_t first = m.periods();
        ASSERT_EQ(setSoundState(s, SND_PLAYING, SND_PLAY | SND_LOOP), kx::SND_OK);
        m.step(static_cast<int>(3 * blocks));
        for (size_t k = 0; k < 3 * blocks; ++k)
            EXPECT_EQ(m.period(first + k), slice(data, k % blocks)) << "period " << k;
        EXPECT_EQ(soundState(s), SND_PLAYING);
        ASSERT_EQ(setSoundState(s, SND_STOPPED), kx::SND_OK);
        EXPECT_EQ(m.ops().sndDelete(s), kx::SND_OK);
    }
}

TEST_F(EngineTest, TwoSoundsClampAtTheSampleLimits) {
    struct Case {
        int16_t a, b, sum;
    };
    const Case cases[] = {{30000, 10000, 32767}, {-30000, -10000, -32768}, {100, -300, -200}};
    for (const Case& c : cases) {
        kx::SoundHandle a = sound(numberedName("a", c.a, ".wav"), constantSamples(kFrames, c.a));
        kx::SoundHandle b = sound(numberedName("b", c.b, ".wav"), constantSamples(kFrames, c.b));
        ASSERT_EQ(setSoundState(a, SND_PLAYING), kx::SND_OK);
        ASSERT_EQ(setSoundState(b, SND_PLAYING), kx::SND_OK);
        m.step();
        EXPECT_EQ(m.period(m.periods() - 1), std::vector<int16_t>(kSamples, c.sum))
            << c.a << " + " << c.b;
        m.ops().sndDelete(a);
        m.ops().sndDelete(b);
    }
    EXPECT_GT(kx::hdaStats().clippedSamples, 0u);
}

// Pause keeps the queue where it stands, play of a paused sound resumes it, play of a playing
// sound restarts it from its first sample.
TEST_F(EngineTest, PauseResumeAndRestart) {
    std::vector<int16_t> data = rampSamples(10 * kFrames, 1, 1);
    kx::SoundHandle s = sound("long.wav", data);
    size_t first = m.periods();
    ASSERT_EQ(setSoundState(s, SND_PLAYING), kx::SND_OK);
    m.step(2);
    ASSERT_EQ(setSoundState(s, SND_PAUSED), kx::SND_OK);
    m.step(2);
    ASSERT_EQ(setSoundState(s, SND_PLAYING), kx::SND_OK);  // resume
    m.step();
    ASSERT_EQ(setSoundState(s, SND_PLAYING), kx::SND_OK);  // restart
    m.step();
    const std::vector<std::vector<int16_t>> expected = {
        slice(data, 0), slice(data, 1), kSilence, kSilence, slice(data, 2), slice(data, 0)};
    for (size_t k = 0; k < expected.size(); ++k)
        EXPECT_EQ(m.period(first + k), expected[k]) << "period " << k;
    EXPECT_EQ(blockInvariant(), "");
}

// Pausing a stopped sound leaves it stopped; stopping twice finds no block and a closed file.
TEST_F(EngineTest, StateTableEdges) {
    kx::SoundHandle s = sound("edge.wav", rampSamples(4 * kFrames));
    EXPECT_EQ(setSoundState(s, SND_PAUSED), kx::SND_OK);
    EXPECT_EQ(soundState(s), SND_STOPPED);
    EXPECT_EQ(setSoundState(s, SND_PLAYING), kx::SND_OK);
    EXPECT_EQ(setSoundState(s, SND_STOPPED), kx::SND_OK);
    EXPECT_EQ(setSoundState(s, SND_STOPPED), kx::SND_OK);
    EXPECT_EQ(s->block, nullptr);
    EXPECT_EQ(s->fd, -1);
    EXPECT_EQ(setSoundState(s, 3), kx::SND_ERR_PARAM);
    EXPECT_EQ(kx::iSetStreamState(nullptr, SND_STOPPED), kx::SND_ERR_PARAM);
    EXPECT_EQ(blockInvariant(), "");
}

// A fifth sound started while four paused sounds hold every block plays without a block:
// it counts as playing but is silent.
TEST_F(EngineTest, FifthSoundWithoutABlockIsSilent) {
    std::vector<kx::SoundHandle> held;
    for (int i = 0; i < 4; ++i) {
        held.push_back(sound(numberedName("held", i, ".wav"), constantSamples(8 * kFrames, 9)));
        ASSERT_EQ(setSoundState(held.back(), SND_PLAYING), kx::SND_OK);
        ASSERT_EQ(setSoundState(held.back(), SND_PAUSED), kx::SND_OK);
    }
    kx::SoundHandle fifth = sound("fifth.wav", constantSamples(8 * kFrames, 1000));
    ASSERT_EQ(setSoundState(fifth, SND_PLAYING), kx::SND_OK);
    EXPECT_EQ(soundState(fifth), SND_PLAYING);
    EXPECT_EQ(fifth->block, nullptr);
    m.step(3);
    EXPECT_EQ(m.period(m.periods() - 1), kSilence);
    EXPECT_EQ(soundState(fifth), SND_PLAYING);
    EXPECT_EQ(blockInvariant(), "");
}

// The heap sees no allocation while the mixer runs its cycles with sounds playing.
TEST_F(EngineTest, MixerCyclesAllocateNothing) {
    kx::SoundHandle a = sound("a.wav", noiseSamples(40 * kFrames, 1));
    kx::SoundHandle b = sound("b.wav", noiseSamples(40 * kFrames, 2));
    ASSERT_EQ(setSoundState(a, SND_PLAYING, SND_PLAY | SND_LOOP), kx::SND_OK);
    ASSERT_EQ(setSoundState(b, SND_PLAYING), kx::SND_OK);
    m.step();
    uint64_t before = kx::kxHeapAllocations();
    m.step(30);
    EXPECT_EQ(kx::kxHeapAllocations(), before);
}

}  // namespace
}  // namespace kxtest
