// SPDX-License-Identifier: Apache-2.0
// Priority inversion on one processor, measured in virtual time. The module runs on the
// one-processor kernel over the stepped driver, whose periods are released by a task above the
// mixer ("tperiod", the driver's interrupt) at the output's rate: a write that has not arrived
// when its period is due is a period the output had nothing for. File reads cost processor time
// (kxSetReadCost), so the loader's pass spans virtual time; a caller task between the loader and
// the mixer ("tbusy") wakes inside a pass that holds a lock the mixer is about to need and keeps
// the processor for a while (RtkBusyUsec). Each scene runs twice: with priority inheritance
// turned off (RtkSetPriorityInheritance), the mixer waits as long as the busy task runs; with it
// on, the holder runs at the mixer's priority as soon as the mixer waits, so the wait is only the
// holder's own remaining work inside the section and no period is missed.
//
// Each scene asserts the mixer's longest lock wait (RtkLongestSectionWait) and the periods missed
// against what the schedule's arithmetic predicts, and that the output is the same as with no
// busy task and no lending: inversion delays periods, it never changes what is in them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "kxaudio/audioLib.h"
#include "platform/devices/hda.h"
#include "platform/files/kxfile_host.h"
#include "platform/files/kxfs_host.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_select.h"
#include "platform/kernel/rtk_sleep.h"
#include "platform/kernel/rtk_tasks.h"
#include "platform/kernel/rtk_types.h"
#include "tests/support/harness.h"
#include "tests/support/wavgen.h"

namespace {

constexpr uint32_t kFrames = 1024;           // the driver's default period
constexpr uint32_t kReadCostUs = 200;        // processor time of one file read
constexpr uint16_t kPeriodPriority = 250;    // the driver's interrupt, above the mixer (192)
constexpr uint16_t kBusyPriority = 120;      // between the loader (89) and the mixer
constexpr uint16_t kLowCallerPriority = 50;  // below the loader
constexpr uint32_t kShortPeriods = 8;        // periods of the sound that drains
constexpr uint32_t kPeriodsRun = 16;         // releases in each scene

// Start of period `index` of a schedule, in whole microseconds, from whole frames.
uint64_t periodStart(uint64_t index) {
    return index * kFrames * 1000000ull / 44100;
}

std::vector<int16_t> tone(uint32_t periods, int16_t step) {
    std::vector<int16_t> samples(size_t{periods} * kFrames * 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int16_t>((i * step) % 20000 - 10000);
    return samples;
}

struct OnOneProcessor {
    kx::RtkKernel before = kx::RtkSelectedKernel();
    bool ok = kx::RtkSelectKernel(kx::RtkKernel::OneProcessor);
    ~OnOneProcessor() {
        kx::RtkSetPriorityInheritance(true);
        kx::RtkSelectKernel(before);
    }
};

// Each scene's busy times, and whether sections lend their holder the waiter's priority.
constexpr uint32_t kBusyTimes[] = {0, 10000, 30000, 100000};
constexpr bool kLending[] = {false, true};

// The busy caller: sleeps until its wake-up, then keeps the processor.
struct Busy {
    uint32_t sleepUs;
    uint32_t busyUs;
    uint64_t wokeAt = 0;
};

void busyEntry(void* argument) {
    auto* b = static_cast<Busy*>(argument);
    kx::RtkSleepTaskUsec(b->sleepUs);
    b->wokeAt = kx::RtkNowUsec();
    kx::RtkBusyUsec(b->busyUs);
}

// A caller below the loader that plays a sound: inside the call it holds the sound pool's lock
// while the play's wake-up of the loader preempts it.
struct LowCaller {
    const kx::SndOperations* ops;
    kx::SoundHandle sound;
    int32_t status = -1;
};

void lowCallerEntry(void* argument) {
    auto* c = static_cast<LowCaller*>(argument);
    c->status = c->ops->sndPlay(c->sound, 0, 0);
}

enum class Path : uint8_t {
    LoadPool,   // the mixer stops a drained sound; the detach waits for the loader's pass
    SoundPool,  // the mixer's cycle waits for a low caller inside a play
};

// What the driver's task saw.
struct Scene {
    Path path = Path::LoadPool;
    uint32_t busyAtRelease = 0;  // the release before which the busy task is started
    const kx::SndOperations* ops = nullptr;
    kx::SoundHandle lateSound = nullptr;  // SoundPool: what the low caller plays
    Busy busy{0, 0};
    LowCaller low{};
    std::vector<uint64_t> releases;  // virtual us of each release
    std::vector<uint64_t> arrivals;  // virtual us at which each released write's successor arrived
    uint64_t missed = 0;             // period starts at which no write was there
    kx::RtkSectionWait mixerWait{};
    std::string wrong;
};

void start(Scene* r, const char* name, uint16_t priority, kx::RtkTaskEntry entry, void* argument) {
    kx::RtkTaskId id = 0;
    if (kx::RtkCreateTask(name, priority, 0x4000, 0, 1, entry, argument, &id) != kx::RTK_OK ||
        kx::RtkResumeTask(id) != kx::RTK_OK)
        r->wrong = std::string("could not start ") + name;
}

// The driver's interrupt: releases the blocked write at each period's start. A write that arrives
// after the next period's start is late: every period start it missed is counted, and the
// schedule begins again at its arrival, where the output resumes.
void periodEntry(void* argument) {
    auto* r = static_cast<Scene*>(argument);
    uint64_t base = kx::RtkNowUsec();
    uint64_t index = 0;
    for (uint32_t release = 1; release <= kPeriodsRun && r->wrong.empty(); ++release) {
        if (release == r->busyAtRelease) {
            start(r, "tbusy", kBusyPriority, busyEntry, &r->busy);
            if (r->path == Path::SoundPool) {
                r->low.ops = r->ops;
                r->low.sound = r->lateSound;
                start(r, "tlow", kLowCallerPriority, lowCallerEntry, &r->low);
            }
        }
        r->releases.push_back(kx::RtkNowUsec());
        if (!kx::hdaStepNow(kxtest::kWaitMs)) {
            r->wrong = "release " + std::to_string(release) + ": no write came back";
            return;
        }
        uint64_t arrived = kx::RtkNowUsec();
        r->arrivals.push_back(arrived);
        ++index;
        if (base + periodStart(index) < arrived) {
            while (base + periodStart(index) < arrived) {
                ++r->missed;
                ++index;
            }
            base = arrived;
            index = 0;
            continue;
        }
        kx::RtkSleepTaskUsec(static_cast<uint32_t>(base + periodStart(index) - arrived));
    }
    kx::RtkLongestSectionWait(kx::audioLib.mixer.id, &r->mixerWait);
}

// Plays the scene and returns the output, or fails the test.
std::vector<uint8_t> playScene(Scene* r) {
    kxtest::Module m(kFrames);
    kxtest::TempDir dir;
    kx::kxfsBind(1, dir.path().c_str());
    dir.write("short.wav", kxtest::canonicalWav(tone(kShortPeriods, 7)));
    dir.write("loop.wav", kxtest::canonicalWav(tone(kShortPeriods, 13)));
    dir.write("late.wav", kxtest::canonicalWav(tone(kShortPeriods, 29)));
    EXPECT_EQ(m.init(), kx::SND_OK);
    const kx::SndOperations& ops = m.ops();
    kx::SoundHandle shortSound = nullptr;
    kx::SoundHandle loopSound = nullptr;
    EXPECT_EQ(ops.sndCreate(1, "short.wav", &shortSound), kx::SND_OK);
    EXPECT_EQ(ops.sndCreate(1, "loop.wav", &loopSound), kx::SND_OK);
    EXPECT_EQ(ops.sndCreate(1, "late.wav", &r->lateSound), kx::SND_OK);
    if (r->path == Path::LoadPool) {
        EXPECT_EQ(ops.sndPlay(shortSound, 0, 0), kx::SND_OK);
    }
    EXPECT_EQ(ops.sndPlay(loopSound, 0, 1), kx::SND_OK);
    EXPECT_TRUE(kx::hdaSync(kxtest::kWaitMs));
    r->ops = &ops;
    kx::kxSetReadCost(kReadCostUs);
    kx::RtkResetCounters();
    EXPECT_EQ(kx::RtkRunAsTask("tperiod", kPeriodPriority, periodEntry, r), kx::RTK_OK);
    kx::kxSetReadCost(0);
    EXPECT_EQ(r->wrong, "");
    EXPECT_EQ(m.free(), kx::SND_OK);
    return m.captured();
}

// Period starts before `arrived` in a schedule that began at `from`, the first one excluded.
uint64_t startsBefore(uint64_t from, uint64_t arrived) {
    uint64_t n = 0;
    for (uint64_t k = 1; from + periodStart(k) < arrived; ++k)
        ++n;
    return n;
}

// Prints the scene's row (docs/kernels.md quotes them); where no wait is due, checks that the
// mixer neither waited nor missed a period, and says so to the caller. With lending on, a wait
// that is due lasts at most `holderWork`, the holder's own work left inside the section when the
// mixer begins to wait, and misses no period; the caller checks the rest.
bool reportAndCheckQuiet(const char* scene, bool lending, uint32_t busyUs, const Scene& r,
                         bool waitDue, uint64_t holderWork) {
    std::printf(
        "%s, inheritance %s: busy %u us -> mixer waited %llu us (%llu waits), %llu "
        "periods missed\n",
        scene, lending ? "on" : "off", busyUs,
        static_cast<unsigned long long>(r.mixerWait.microseconds),
        static_cast<unsigned long long>(r.mixerWait.waits),
        static_cast<unsigned long long>(r.missed));
    if (waitDue && lending) {
        EXPECT_EQ(r.mixerWait.waits, 1u);
        EXPECT_EQ(r.mixerWait.microseconds, holderWork) << "not the holder's own work";
        EXPECT_EQ(r.missed, 0u);
        return true;
    }
    if (waitDue)
        return false;
    EXPECT_EQ(r.mixerWait.waits, 0u) << "waited for " << r.mixerWait.section;
    EXPECT_EQ(r.missed, 0u);
    return true;
}

// Runs row(lending, busyUs) for every busy time, first with inheritance off, then on.
template <typename Row>
void forEachRow(Row row) {
    for (bool lending : kLending) {
        for (uint32_t busyUs : kBusyTimes) {
            SCOPED_TRACE("busy " + std::to_string(busyUs) + " us, inheritance " +
                         (lending ? "on" : "off"));
            kx::RtkSetPriorityInheritance(lending);
            row(lending, busyUs);
        }
    }
}

// The load pool scene's figures for one row.
void checkLoadPoolRow(const Scene& r, bool lending, uint32_t busyUs) {
    uint64_t before = r.releases[kShortPeriods - 2];  // the pass the busy task cuts into
    uint64_t needed = r.releases[kShortPeriods - 1];  // the mixer needs the lock
    EXPECT_EQ(r.busy.wokeAt, before + kReadCostUs / 2) << "not woken inside the pass";
    uint64_t passEnd = before + kReadCostUs + busyUs;
    uint64_t wait = passEnd > needed ? passEnd - needed : 0;
    if (reportAndCheckQuiet("load pool", lending, busyUs, r, wait != 0, kReadCostUs / 2)) {
        if (wait != 0) {
            EXPECT_EQ(r.arrivals[kShortPeriods - 1], needed + kReadCostUs / 2);
        }
    } else {
        EXPECT_EQ(r.mixerWait.microseconds, wait);
        EXPECT_EQ(r.mixerWait.waits, 1u);
        EXPECT_EQ(r.arrivals[kShortPeriods - 1], passEnd) << "the write came after the wait";
        EXPECT_EQ(r.missed, startsBefore(needed, passEnd));
    }
    if (r.mixerWait.waits != 0) {
        EXPECT_STREQ(r.mixerWait.section, kx::LOAD_POOL_NAME);
        EXPECT_STREQ(r.mixerWait.holder, kx::LOADER_NAME);
    }
}

// The load pool's lock: the loader's pass after the release before the short sound's last
// period is preempted half-way through its read by the busy task; at the next release the mixer
// stops the drained sound and its detach waits for the pass. Without lending the wait ends when
// the busy time and the rest of the read are done: exactly busy + read - (the period between the
// two releases). With lending the loader finishes its read ahead of the busy task: the wait is
// the half read it had left.
TEST(Inversion, LoadPoolHeldByThePreemptedLoader) {
    OnOneProcessor kernel;
    ASSERT_TRUE(kernel.ok) << "tasks were left running";
    std::vector<uint8_t> reference;
    forEachRow([&](bool lending, uint32_t busyUs) {
        Scene r;
        r.path = Path::LoadPool;
        r.busyAtRelease = kShortPeriods - 1;
        r.busy = Busy{kReadCostUs / 2, busyUs};
        std::vector<uint8_t> out = playScene(&r);
        ASSERT_EQ(r.releases.size(), kPeriodsRun);
        if (reference.empty())
            reference = out;
        EXPECT_EQ(out, reference) << "the output changed";
        checkLoadPoolRow(r, lending, busyUs);
    });
}

// The sound pool's lock: a caller below the loader plays a sound; inside the call, holding the
// sound pool's lock, its wake-up of the loader preempts it, and the busy task preempts the
// loader's first read of the new sound. At the next release the mixer's cycle waits for the
// caller, which runs only after the busy task and then the loader's whole fill of the new
// sound's queue (one read per queued period, at most four).
// The sound pool scene's figures for one row. Lending: the caller, raised to the mixer's
// priority, finishes its play at once (it has no read left inside the section).
void checkSoundPoolRow(const Scene& r, bool lending, uint32_t busyUs, uint32_t atRelease) {
    uint64_t before = r.releases[atRelease - 1];
    uint64_t needed = r.releases[atRelease];
    EXPECT_EQ(r.busy.wokeAt, before + kReadCostUs + kReadCostUs / 2);
    // A wait is due when the busy span and the rest of the first read end after the release.
    uint64_t busyEnd = r.busy.wokeAt + busyUs;
    bool due = busyEnd + kReadCostUs / 2 > needed;
    if (!reportAndCheckQuiet("sound pool", lending, busyUs, r, due, 0)) {
        // The wait starts at the release and lasts until the busy span, the rest of the first
        // read and the remaining reads of the fill are done.
        uint64_t least = busyEnd + kReadCostUs / 2 - needed;
        EXPECT_GE(r.mixerWait.microseconds, least);
        EXPECT_LE(r.mixerWait.microseconds, least + 3 * kReadCostUs);
        EXPECT_EQ((r.mixerWait.microseconds - least) % kReadCostUs, 0u) << "not whole reads";
        EXPECT_EQ(r.missed, startsBefore(needed, needed + r.mixerWait.microseconds));
    }
    if (r.mixerWait.waits != 0) {
        EXPECT_STREQ(r.mixerWait.section, kx::SOUND_POOL_NAME);
        EXPECT_STREQ(r.mixerWait.holder, "tlow");
    }
}

TEST(Inversion, SoundPoolHeldByAPreemptedCaller) {
    OnOneProcessor kernel;
    ASSERT_TRUE(kernel.ok) << "tasks were left running";
    constexpr uint32_t kAtRelease = 4;
    std::vector<uint8_t> reference;
    forEachRow([&](bool lending, uint32_t busyUs) {
        Scene r;
        r.path = Path::SoundPool;
        r.busyAtRelease = kAtRelease;
        // The loop's read after the release, then the caller's play, then half the first
        // read of the played sound.
        r.busy = Busy{kReadCostUs + kReadCostUs / 2, busyUs};
        std::vector<uint8_t> out = playScene(&r);
        ASSERT_EQ(r.releases.size(), kPeriodsRun);
        EXPECT_EQ(r.low.status, kx::SND_OK);
        if (reference.empty())
            reference = out;
        if (!lending || busyUs < 30000) {
            EXPECT_EQ(out, reference) << "the output changed";
        } else {
            // The mixer no longer waits for the fill: the played sound joins the mix while
            // the loader, below the busy task, has yet to fill its queue, so the periods
            // after the play differ. Those before it do not, and none is missing.
            size_t bytesBefore = size_t{kAtRelease + 1} * kFrames * 4;
            ASSERT_EQ(out.size(), reference.size());
            EXPECT_TRUE(std::equal(out.begin(), out.begin() + bytesBefore, reference.begin()));
            EXPECT_NE(out, reference) << "the played sound waited for its fill after all";
        }
        checkSoundPoolRow(r, lending, busyUs, kAtRelease);
    });
}

}  // namespace
