// SPDX-License-Identifier: Apache-2.0
// Play admission through the table: at most four sounds play, an exclusive sound plays alone,
// the sole playing sound may always restart, pause and stop act on one sound or on all.
#include "platform/fault.h"
#include "tests/support/engine_fixture.h"

namespace kxtest {
namespace {

using kx::SND_PAUSED;
using kx::SND_PLAYING;
using kx::SND_STOPPED;

class AdmissionTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        for (int i = 0; i < 6; ++i)
            s.push_back(sound(numberedName("s", i, ".wav"),
                              constantSamples(50 * kFrames, static_cast<int16_t>(1 << i))));
    }
    // States of the sounds, as a string of S/P/A (stopped, playing, paused) for readable checks.
    std::string states() {
        std::string out;
        for (kx::SoundHandle h : s)
            out += "SPA"[soundState(h)];
        return out;
    }
    // The sum heard in the next period: each playing sound i adds 1 << i.
    int16_t heard() {
        m.step();
        return m.period(m.periods() - 1)[0];
    }
    std::vector<kx::SoundHandle> s;
};

TEST_F(AdmissionTest, AtMostFourPlay) {
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(m.ops().sndPlay(s[i], 0, 0), kx::SND_OK);
    EXPECT_EQ(m.ops().sndPlay(s[4], 0, 0), kx::SND_ERR_TOO_MANY);
    EXPECT_EQ(m.ops().sndPlay(s[2], 0, 0), kx::SND_ERR_TOO_MANY) << "even a restart with four";
    EXPECT_EQ(states(), "PPPPSS");
    EXPECT_EQ(heard(), 1 + 2 + 4 + 8);
    // Paused sounds do not count, but keep their block: the fifth sound plays without one, so
    // it counts as playing and is silent.
    EXPECT_EQ(m.ops().sndPause(s[0]), kx::SND_OK);
    EXPECT_EQ(m.ops().sndPlay(s[4], 0, 0), kx::SND_OK);
    EXPECT_EQ(states(), "APPPPS");
    EXPECT_EQ(heard(), 2 + 4 + 8);
    EXPECT_EQ(m.ops().sndPlay(s[5], 0, 0), kx::SND_ERR_TOO_MANY);
    // Once the paused sound stops and a playing one makes room, the silent one restarts with
    // the freed block.
    EXPECT_EQ(m.ops().sndStop(s[0]), kx::SND_OK);
    EXPECT_EQ(m.ops().sndStop(s[1]), kx::SND_OK);
    EXPECT_EQ(m.ops().sndPlay(s[4], 0, 0), kx::SND_OK);
    EXPECT_EQ(heard(), 4 + 8 + 16);
}

TEST_F(AdmissionTest, ExclusivePlaysAlone) {
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(m.ops().sndPlay(s[i], 0, 0), kx::SND_OK);
    ASSERT_EQ(m.ops().sndPause(s[3]), kx::SND_OK);
    // An exclusive play never fails on N or E: it stops every playing sound, not paused ones.
    EXPECT_EQ(m.ops().sndPlay(s[4], 1, 0), kx::SND_OK);
    EXPECT_EQ(states(), "SSSAPS");
    EXPECT_EQ(heard(), 16);
    EXPECT_EQ(m.ops().sndPlay(s[0], 0, 0), kx::SND_ERR_EXCLUSIVE);
    EXPECT_EQ(m.ops().sndPlay(s[3], 0, 0), kx::SND_ERR_EXCLUSIVE) << "resume refused too";
    EXPECT_EQ(m.ops().sndPlay(s[4], 0, 0), kx::SND_OK) << "the sole playing sound restarts";
    EXPECT_EQ(states(), "SSSAPS");
    // Having restarted without the flag, it no longer excludes others.
    EXPECT_EQ(m.ops().sndPlay(s[0], 0, 0), kx::SND_OK);
    EXPECT_EQ(m.ops().sndPlay(s[1], 0x100, 0x200), kx::SND_OK) << "only the low byte counts";
    EXPECT_EQ(kx::sharedLoad(s[1]->flags), kx::SND_PLAY);
    // Only an exclusive play resumes a paused sound while an exclusive one plays.
    EXPECT_EQ(m.ops().sndPlay(s[5], 1, 0), kx::SND_OK);
    EXPECT_EQ(states(), "SSSASP");
    EXPECT_EQ(m.ops().sndPlay(s[3], 1, 1), kx::SND_OK);
    EXPECT_EQ(states(), "SSSPSS");
    EXPECT_EQ(kx::sharedLoad(s[3]->flags), kx::SND_PLAY | kx::SND_LOOP | kx::SND_EXCLUSIVE);
}

TEST_F(AdmissionTest, PauseAndStopOfOneOrAll) {
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(m.ops().sndPlay(s[i], 0, 0), kx::SND_OK);
    ASSERT_EQ(m.ops().sndPause(s[1]), kx::SND_OK);
    EXPECT_EQ(m.ops().sndPause(nullptr), kx::SND_OK);
    EXPECT_EQ(states(), "AAASSS");
    EXPECT_EQ(heard(), 0);
    EXPECT_EQ(m.ops().sndPlay(s[0], 0, 0), kx::SND_OK);
    EXPECT_EQ(m.ops().sndStop(nullptr), kx::SND_OK);
    EXPECT_EQ(states(), "SSSSSS");
    EXPECT_EQ(freeBlocks(), kx::NUM_STREAM_BLOCKS);
    EXPECT_EQ(m.ops().sndStop(s[0]), kx::SND_OK) << "stop of a stopped sound";
    EXPECT_EQ(m.ops().sndPause(s[0]), kx::SND_OK) << "pause of a stopped sound";
    EXPECT_EQ(states(), "SSSSSS");
    EXPECT_EQ(blockInvariant(), "");
}

TEST_F(AdmissionTest, UnknownSounds) {
    int notASound = 0;
    auto* stranger = reinterpret_cast<kx::SoundHandle>(&notASound);
    struct Case {
        const char* call;
        int32_t got;
    };
    const Case cases[] = {
        {"play(none)", m.ops().sndPlay(nullptr, 0, 0)},
        {"play(stranger)", m.ops().sndPlay(stranger, 1, 1)},
        {"pause(stranger)", m.ops().sndPause(stranger)},
        {"stop(stranger)", m.ops().sndStop(stranger)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.got, kx::SND_ERR_PARAM) << c.call;
    for (kx::SoundHandle h : s)
        ASSERT_EQ(m.ops().sndDelete(h), kx::SND_OK);
    EXPECT_EQ(m.ops().sndPlay(stranger, 0, 0), kx::SND_ERR_PARAM) << "empty pool";
    EXPECT_EQ(m.ops().sndStop(stranger), kx::SND_ERR_PARAM) << "empty pool";
    EXPECT_EQ(m.ops().sndStop(nullptr), kx::SND_OK);
}

// A request that cannot lock the sound pool has done nothing and must not report success.
TEST_F(AdmissionTest, LockFailureIsNotSuccess) {
    kx::faultArm(kx::Fault::SectionEnter, 1, true);
    int32_t play = m.ops().sndPlay(s[0], 0, 0);
    int32_t pause = m.ops().sndPause(nullptr);
    int32_t stop = m.ops().sndStop(s[0]);
    kx::faultClearAll();
    EXPECT_EQ(play, kx::SND_ERR_NOT_READY);
    EXPECT_EQ(pause, kx::SND_ERR_NOT_READY);
    EXPECT_EQ(stop, kx::SND_ERR_NOT_READY);
    EXPECT_EQ(states(), "SSSSSS");
}

}  // namespace
}  // namespace kxtest
