// SPDX-License-Identifier: Apache-2.0
// The host's sound framework keeps its own copy of an attached operation table: the module's
// table may vanish after the call, and a later attach replaces the copy.
#include <gtest/gtest.h>

#include "platform/devices/sndhost.h"

namespace {

int32_t initA() {
    return 1;
}
int32_t initB() {
    return 2;
}
int32_t volumeA(uint32_t) {
    return 3;
}

class SoundHostTest : public ::testing::Test {
  protected:
    void SetUp() override { kx::sndDetachDelegate(); }
    void TearDown() override { kx::sndDetachDelegate(); }
};

TEST_F(SoundHostTest, TheTableIsCopiedDuringTheCall) {
    EXPECT_EQ(kx::sndDelegate(), nullptr);
    {
        kx::SndOperations table{};
        table.sndInit = initA;
        table.sndVolume = volumeA;
        EXPECT_EQ(kx::sndAttachDelegate(&table), 0);
        table.sndInit = initB;  // the caller's table changes or goes away afterwards
    }
    const kx::SndOperations* kept = kx::sndDelegate();
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->sndInit, &initA);
    EXPECT_EQ(kept->sndVolume(0), 3);
    EXPECT_EQ(kept->sndPlay, nullptr);
}

TEST_F(SoundHostTest, ALaterAttachReplacesAndDetachForgets) {
    kx::SndOperations a{};
    a.sndInit = initA;
    kx::SndOperations b{};
    b.sndInit = initB;
    ASSERT_EQ(kx::sndAttachDelegate(&a), 0);
    ASSERT_EQ(kx::sndAttachDelegate(&b), 0);
    EXPECT_EQ(kx::sndDelegate()->sndInit(), 2);
    EXPECT_NE(kx::sndAttachDelegate(nullptr), 0);
    EXPECT_EQ(kx::sndDelegate()->sndInit(), 2) << "a null table changes nothing";
    kx::sndDetachDelegate();
    EXPECT_EQ(kx::sndDelegate(), nullptr);
}

}  // namespace
