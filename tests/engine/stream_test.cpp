// SPDX-License-Identifier: Apache-2.0
// The device stream under failure: a failed write makes the mixer reopen the stream and play on;
// a reopen that reports another period size or fails outright never makes the mixer touch more
// than the buffers that exist; a load pool that cannot be locked never loses a linked block.
#include "platform/fault.h"
#include "tests/support/engine_fixture.h"

namespace kxtest {
namespace {

using kx::SND_PLAYING;

// Steps until `bytes` more bytes have been recorded; false if that never happens.
bool stepUntilRecorded(Module& m, size_t bytes) {
    size_t target = m.captured().size() + bytes;
    for (int i = 0; i < 40 && m.captured().size() < target; ++i)
        m.step();
    return m.captured().size() >= target;
}

std::vector<int16_t> recordedSamples(const Module& m, size_t fromByte, size_t count) {
    std::vector<uint8_t> bytes = m.captured();
    std::vector<int16_t> out;
    for (size_t i = 0; i < count && fromByte + 2 * i + 1 < bytes.size(); ++i)
        out.push_back(
            static_cast<int16_t>(bytes[fromByte + 2 * i] | (bytes[fromByte + 2 * i + 1] << 8)));
    return out;
}

// After a failed write the period is lost and playback goes on with the next one, at whatever
// period size the reopened stream reports, or, after a reopen that failed, once a later reopen
// succeeds.
TEST_F(EngineTest, FailedWriteReopensTheStream) {
    struct Case {
        const char* name;
        uint32_t framesAtReopen;  // 0: unchanged
        bool reopenFails;
    };
    const Case cases[] = {
        {"same-size", 0, false},
        {"smaller", kFrames / 2, false},
        {"larger", kFrames * 2, false},
        {"reopen-fails", 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int16_t> data = rampSamples(40 * kFrames, 5, 1);
        kx::SoundHandle s = sound(std::string(c.name) + ".wav", data);
        ASSERT_EQ(setSoundState(s, SND_PLAYING), kx::SND_OK);
        m.step(2);  // blocks 0 and 1 heard
        uint32_t opens = kx::hdaStats().opens;
        if (c.framesAtReopen)
            kx::hdaSetFramesAtReopen(c.framesAtReopen);
        kx::faultArm(kx::Fault::StreamWrite, 1);
        if (c.reopenFails)
            kx::faultArm(kx::Fault::StreamOpen, 1);

        uint32_t frames = c.framesAtReopen ? c.framesAtReopen : kFrames;
        size_t from = m.captured().size();
        ASSERT_TRUE(stepUntilRecorded(m, 2 * frames * 4));
        kx::faultClearAll();
        EXPECT_GE(kx::hdaStats().opens, opens + 1);
        EXPECT_EQ(kx::hdaStats().framesPerPeriod, frames);
        // Block 2 was lost with the failed write; the next two periods carry blocks 3 and 4,
        // cut to or padded to the new period.
        for (size_t k = 0; k < 2; ++k) {
            std::vector<int16_t> expected = slice(data, 3 + k);
            expected.resize(frames * 2, 0);
            EXPECT_EQ(recordedSamples(m, from + k * frames * 4, frames * 2), expected)
                << "period " << k << " after the failure";
        }
        EXPECT_EQ(blockInvariant(), "");
        // Back to the original period size for the next case.
        kx::hdaSetFramesAtReopen(kFrames);
        kx::faultArm(kx::Fault::StreamWrite, 1);
        ASSERT_TRUE(stepUntilRecorded(m, kFrames * 4));
        kx::faultClearAll();
        kx::hdaSetFramesAtReopen(0);
        ASSERT_EQ(setSoundState(s, kx::SND_STOPPED), kx::SND_OK);
        ASSERT_EQ(m.ops().sndDelete(s), kx::SND_OK);
    }
}

// When the load pool cannot be locked while a block is being detached, the block is still linked
// there: it must stay alive (ownerless, skipped by the loader) until shutdown destroys it.
TEST_F(EngineTest, DetachThatCannotLockTheLoadPoolKeepsTheBlock) {
    kx::SoundHandle s = sound("held.wav", rampSamples(20 * kFrames));
    ASSERT_EQ(setSoundState(s, SND_PLAYING), kx::SND_OK);
    m.step();
    ASSERT_EQ(loadBlocks(), 1);
    ASSERT_EQ(kx::LockPool(&kx::audioLib.mixer.pool), 0);
    kx::faultArm(kx::Fault::SectionEnter, 1);
    EXPECT_EQ(kx::iSetStreamState(s, kx::SND_STOPPED), kx::SND_OK);
    kx::faultClearAll();
    kx::UnlockPool(&kx::audioLib.mixer.pool);
    EXPECT_EQ(s->block, nullptr);
    EXPECT_EQ(loadBlocks(), 1);  // still linked, not destroyed
    EXPECT_EQ(freeBlocks(), kx::NUM_STREAM_BLOCKS - 1);
    m.step(3);
    EXPECT_EQ(m.period(m.periods() - 1), std::vector<int16_t>(kSamples, 0));
    // Playing again takes another free block and plays from the start.
    ASSERT_EQ(setSoundState(s, SND_PLAYING), kx::SND_OK);
    m.step();
    EXPECT_EQ(m.period(m.periods() - 1), slice(rampSamples(20 * kFrames), 0));
}

}  // namespace
}  // namespace kxtest
