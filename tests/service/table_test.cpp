// SPDX-License-Identifier: Apache-2.0
// The operation table and the device-level operations: the started test comes before every
// other check, only the low 8 bits of volume and mute count, and the driver's result is
// returned unchanged.
#include "platform/devices/sndhost.h"
#include "platform/fault.h"
#include "platform/kernel/rtk_host.h"
#include "tests/support/engine_fixture.h"

namespace kxtest {
namespace {

TEST(Table, EntryAttachesNineOperationsAndStartsNothing) {
    Module m(64);
    const kx::SndOperations& ops = m.ops();
    const void* slots[] = {
        reinterpret_cast<const void*>(ops.sndInit),   reinterpret_cast<const void*>(ops.sndFree),
        reinterpret_cast<const void*>(ops.sndVolume), reinterpret_cast<const void*>(ops.sndMute),
        reinterpret_cast<const void*>(ops.sndCreate), reinterpret_cast<const void*>(ops.sndDelete),
        reinterpret_cast<const void*>(ops.sndPlay),   reinterpret_cast<const void*>(ops.sndPause),
        reinterpret_cast<const void*>(ops.sndStop)};
    for (const void* slot : slots)
        EXPECT_NE(slot, nullptr);
    EXPECT_EQ(ops.sndInit, &kx::_sndInit);
    EXPECT_EQ(ops.sndStop, &kx::_sndStop);
    EXPECT_EQ(kx::audioLib.device, 0u);
    EXPECT_EQ(kx::RtkThreadsAlive(), 0);
}

TEST(Table, EveryOperationBeforeStartUp) {
    Module m(64);
    const kx::SndOperations& ops = m.ops();
    kx::SoundHandle h = reinterpret_cast<kx::SoundHandle>(&m);  // not a sound: never looked into
    kx::SoundHandle out = h;
    struct Case {
        const char* call;
        int32_t got, expected;
    };
    const Case cases[] = {
        {"volume(101)", ops.sndVolume(101), kx::SND_ERR_NOT_READY},
        {"volume(50)", ops.sndVolume(50), kx::SND_ERR_NOT_READY},
        {"mute(1)", ops.sndMute(1), kx::SND_ERR_NOT_READY},
        {"create", ops.sndCreate(1, "a.wav", &out), kx::SND_ERR_NOT_READY},
        {"create(location 0)", ops.sndCreate(0, "a.wav", &out), kx::SND_ERR_NOT_READY},
        {"play", ops.sndPlay(h, 0, 0), kx::SND_ERR_NOT_READY},
        {"pause", ops.sndPause(h), 1},
        {"pause(all)", ops.sndPause(nullptr), 1},
        {"stop", ops.sndStop(h), 1},
        {"stop(all)", ops.sndStop(nullptr), 1},
        {"delete(none)", ops.sndDelete(nullptr), kx::SND_ERR_PARAM},
        {"delete", ops.sndDelete(h), kx::SND_ERR_PARAM},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.got, c.expected) << c.call;
    EXPECT_EQ(out, h) << "a refused create writes no handle";
}

TEST(Table, VolumeAndMuteTakeTheLowByteAndPassTheDriversResult) {
    Module m(64);
    ASSERT_EQ(m.init(), kx::SND_OK);
    struct Case {
        uint32_t volume;
        int32_t status;
        uint32_t applied;  // volume the driver holds afterwards
    };
    const Case volumes[] = {{100, 0, 100},
                            {356, 0, 100},
                            {0, 0, 0},
                            {101, kx::SND_ERR_RANGE, 0},
                            {255, kx::SND_ERR_RANGE, 0},
                            {0x1234532, 0, 50}};
    for (const Case& c : volumes) {
        EXPECT_EQ(m.ops().sndVolume(c.volume), c.status) << c.volume;
        EXPECT_EQ(kx::hdaStats().volume, c.applied) << c.volume;
    }
    const uint32_t mutes[][2] = {{1, 1}, {0x100, 0}, {0x1FF, 0xFF}, {0, 0}, {0x42, 0x42}};
    for (const auto& mute : mutes) {
        EXPECT_EQ(m.ops().sndMute(mute[0]), 0) << mute[0];
        EXPECT_EQ(kx::hdaStats().mute, mute[1]) << mute[0];
    }
    // A failing control call comes back unchanged and nothing is kept by the module.
    kx::faultArm(kx::Fault::Volume, 1);
    int32_t failed = m.ops().sndVolume(20);
    EXPECT_NE(failed & 0xFFFF, 0);
    EXPECT_EQ(kx::hdaStats().volume, 50u);
    kx::faultArm(kx::Fault::Mute, 1);
    EXPECT_NE(m.ops().sndMute(1) & 0xFFFF, 0);
    EXPECT_EQ(kx::hdaStats().mute, 0x42u);
}

TEST(Table, StatusNames) {
    EXPECT_STREQ(kx::sndStatusName(0), "OK");
    EXPECT_STREQ(kx::sndStatusName(-30486), "SND_ERR_NOT_READY");
    EXPECT_STREQ(kx::sndStatusName(-30478), "SND_ERR_RANGE");
    EXPECT_EQ(kx::sndStatusName(1), nullptr);
    EXPECT_EQ(kx::sndStatusName(-30487), nullptr);
}

}  // namespace
}  // namespace kxtest
