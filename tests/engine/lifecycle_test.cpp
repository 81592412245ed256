// SPDX-License-Identifier: Apache-2.0
// Start-up and shutdown: every failure of _sndInit leaves nothing behind, repeated start and
// stop are harmless, and a thousand start/stop cycles with sounds playing leak nothing.
#include <cstdlib>

#include "platform/devices/registry_host.h"
#include "platform/fault.h"
#include "platform/files/kxfile_host.h"
#include "platform/files/kxfs_host.h"
#include "platform/kernel/rtk_host.h"
#include "tests/support/engine_fixture.h"

namespace kxtest {
namespace {

using kx::audioLib;

struct SleepScale {
    explicit SleepScale(uint32_t percent) { kx::RtkSetSleepScale(percent); }
    ~SleepScale() { kx::RtkSetSleepScale(100); }
};

// Fails the 1st, 2nd, ... call of one platform service during start-up until start-up succeeds;
// every failed start-up must report SND_ERR_NOT_READY and leave nothing behind.
TEST(StartUp, EveryInjectedFailureLeavesNothing) {
    struct Case {
        kx::Fault fault;
        int failingCalls;  // calls of this service that start-up makes
        uint32_t sleepPercent;
    };
    const Case cases[] = {
        {kx::Fault::TaskCreate, 2, 0},   {kx::Fault::SectionCreate, 3, 0},
        {kx::Fault::DeviceOpen, 1, 0},   {kx::Fault::StreamOpen, 1, 0},
        {kx::Fault::Alloc, 13, 0},       {kx::Fault::QueueInit, 4, 0},
        {kx::Fault::TaskResume, 2, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(kx::faultName(c.fault));
        int failed = 0;
        for (uint64_t nth = 1; nth <= 40; ++nth) {
            Module m(64);
            SleepScale scale(c.sleepPercent);
            kx::faultArm(c.fault, nth);
            int32_t status = m.init();
            bool reached = kx::faultReached(c.fault);
            kx::faultClearAll();
            if (!reached) {
                EXPECT_EQ(status, kx::SND_OK) << "call " << nth;
                break;
            }
            ++failed;
            EXPECT_EQ(status, kx::SND_ERR_NOT_READY) << "call " << nth;
            EXPECT_EQ(leftovers(), "") << "call " << nth;
        }
        EXPECT_EQ(failed, c.failingCalls);
    }
}

// No "DdHdAudio" in the registry: start-up fails after the mixer's whole budget of 51 sleeps and
// the loader's single one.
TEST(StartUp, NoDriverInTheRegistry) {
    for (const char* nearMiss : {"ddhdaudio", "DdHdAudio2", "DdHdAudi"}) {
        SCOPED_TRACE(nearMiss);
        Module m(64);
        SleepScale scale(0);
        kx::kxRegClear();
        kx::kxRegAddDevice("DdUart");
        kx::kxRegAddDevice(nearMiss);
        kx::kxRegAddDevice(nullptr);
        kx::RtkResetCounters();
        EXPECT_EQ(m.init(), kx::SND_ERR_NOT_READY);
        EXPECT_EQ(kx::RtkSleepCount(), 52u);
        EXPECT_EQ(leftovers(), "");
    }
}

TEST(StartUp, DriverReportingNoFramesFailsAtTheBlocks) {
    Module m(64);
    SleepScale scale(0);
    kx::hdaSetFramesPerPeriod(0);
    EXPECT_EQ(m.init(), kx::SND_ERR_NOT_READY);
    EXPECT_EQ(leftovers(), "");
}

TEST(StartUp, SecondInitCreatesNothingAndSecondFreeIsHarmless) {
    Module m(64);
    ASSERT_EQ(m.init(), kx::SND_OK);
    EXPECT_EQ(audioLib.mixer.priority, 192);
    EXPECT_STREQ(audioLib.loader.name, "tload");
    EXPECT_EQ(blockInvariant(), "");
    int threads = kx::RtkThreadsAlive();
    uint64_t allocations = kx::kxHeapAllocations();
    EXPECT_EQ(m.ops().sndInit(), kx::SND_OK);
    EXPECT_EQ(kx::RtkThreadsAlive(), threads);
    EXPECT_EQ(kx::kxHeapAllocations(), allocations);

    m.free();
    EXPECT_EQ(leftovers(), "");
    kx::RtkResetCounters();
    m.free();  // the recorded tasks have exited: one sleep each
    EXPECT_EQ(kx::RtkSleepCount(), 2u);
    EXPECT_EQ(leftovers(), "");
}

// Start, play, stop: a thousand times under the real-time clock, with nothing left behind and
// neither task ever deleted by force.
TEST(StartUp, ThousandCyclesWithSoundsPlaying) {
    int cycles = 1000;
    if (const char* env = std::getenv("KX_LIFECYCLE_CYCLES"))
        cycles = std::atoi(env);
    TempDir dir;
    dir.write("a.wav", canonicalWav(noiseSamples(2000, 3)));
    dir.write("b.wav", canonicalWav(noiseSamples(300, 4)));
    Module m(64, kx::HdaClock::RealTime);
    SleepScale scale(10);
    for (int i = 0; i < cycles; ++i) {
        kx::kxfsBind(1, dir.path().c_str());
        ASSERT_EQ(m.init(), kx::SND_OK) << "cycle " << i;
        kx::SoundHandle a = nullptr, b = nullptr;
        ASSERT_EQ(m.ops().sndCreate(1, "a.wav", &a), kx::SND_OK);
        ASSERT_EQ(m.ops().sndCreate(1, "b.wav", &b), kx::SND_OK);
        ASSERT_EQ(m.ops().sndPlay(a, 0, 1), kx::SND_OK);
        ASSERT_EQ(m.ops().sndPlay(b, 0, 0), kx::SND_OK);
        if (i % 2)
            m.ops().sndDelete(b);
        m.free();
        ASSERT_TRUE(kx::sharedLoad(audioLib.mixer.exited)) << "mixer deleted by force, cycle " << i;
        ASSERT_TRUE(kx::sharedLoad(audioLib.loader.exited))
            << "loader deleted by force, cycle " << i;
        ASSERT_EQ(leftovers(), "") << "cycle " << i;
    }
}

}  // namespace
}  // namespace kxtest
