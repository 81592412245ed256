// Runs of the stepped clock (hdaRun): n periods without the host between them give the capture
// that n steps give, each period written only after the other tasks went quiet; a run ends on
// the exit event, and fails within its bound when nothing writes.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/rtk.h"
#include "tests/device/device_support.h"

namespace {

using kxdev::Descriptor;
using kxdev::DeviceTest;
using kxdev::HdaHandle;

constexpr int32_t kBound = 10000;  // ms: generous bound of every wait
constexpr uint16_t kExit = 0x4000;
constexpr uint16_t kLoad = 0x8000;
constexpr uint32_t kFrames = 8;

// The module's two tasks in miniature: the mixer fills each period from a generation number
// that the loader, woken by the mixer, advances after a delay. A write that returned before the
// loader had finished would let two periods carry one generation.
struct Tasks {
    uint32_t handle = 0;
    Descriptor desc;
    std::vector<int16_t> period = std::vector<int16_t>(kFrames * 2);
    kx::RtkTaskId mixer = 0;
    kx::RtkTaskId loader = 0;
    std::atomic<int> generation{0};
};

void miniMixer(void* argument) {
    auto* t = static_cast<Tasks*>(argument);
    for (;;) {
        uint16_t code = 0;
        kx::RtkReceiveTaskEvent(0, kExit, 0, 0, &code);
        if (code == kExit) {
            kx::RtkDeleteTask(0);
            return;
        }
        int g = t->generation.load();
        for (uint32_t i = 0; i < kFrames * 2; ++i)
            t->period[i] = static_cast<int16_t>(g * 100 + static_cast<int>(i));
        kx::RtkSendTaskEvent(t->loader, kLoad);
        kx::DmDeviceIoControl(t->handle, kx::IOCTL_STREAM_WRITE, t->desc.bytes, 0, 0, 0, 0);
    }
}

void miniLoader(void* argument) {
    auto* t = static_cast<Tasks*>(argument);
    for (;;) {
        uint16_t code = 0;
        kx::RtkReceiveTaskEvent(0, kExit | kLoad, 0, -1, &code);
        if (code == kExit) {
            kx::RtkDeleteTask(0);
            return;
        }
        kx::RtkSleepTaskUsec(1000);  // a file read takes its time
        t->generation.fetch_add(1);
    }
}

// Starts both tasks on an open stepped stream and syncs on the first period.
void start(HdaHandle& hda, Tasks* t) {
    t->handle = hda.handle();
    ASSERT_EQ(kx::RtkCreateTask("minimix", 192, 0x4000, 0, 1, miniMixer, t, &t->mixer), 0);
    ASSERT_EQ(kx::RtkCreateTask("miniload", 89, 0x4000, 0, 1, miniLoader, t, &t->loader), 0);
    t->desc = Descriptor::stereo();
    t->desc.setNotifyTask(t->mixer);
    ASSERT_EQ(hda.control(kx::IOCTL_STREAM_OPEN, t->desc.bytes), 0);
    t->desc.setBuffer(t->period.data());
    ASSERT_EQ(kx::RtkResumeTask(t->loader), 0);
    ASSERT_EQ(kx::RtkResumeTask(t->mixer), 0);
    ASSERT_TRUE(kx::hdaSync(kBound));
}

void stop(Tasks* t) {
    kx::RtkSendTaskEvent(t->mixer, kExit);
    kx::RtkSendTaskEvent(t->loader, kExit);
    EXPECT_TRUE(kx::RtkWaitQuiescent(0, kBound));
    EXPECT_EQ(kx::RtkThreadsAlive(), 0);
}

// The capture of one session that advances by `advances`, each by hdaRun(n) (or hdaStep when
// stepping is asked for, n times over).
std::vector<uint8_t> session(const std::vector<uint64_t>& advances, bool stepping) {
    kx::hdaReset();
    kx::hdaSetClock(kx::HdaClock::Stepped);
    kx::hdaSetFramesPerPeriod(kFrames);
    Tasks t;
    std::vector<uint8_t> capture;
    {
        HdaHandle hda;
        start(hda, &t);
        uint64_t expected = 1;
        for (uint64_t n : advances) {
            if (stepping) {
                for (uint64_t i = 0; i < (n == 0 ? 1 : n); ++i)
                    EXPECT_TRUE(kx::hdaStep(kBound));
            } else {
                EXPECT_TRUE(kx::hdaRun(n, kBound)) << n;
            }
            expected += n == 0 ? 1 : n;
            EXPECT_EQ(kx::hdaStats().periods, expected) << "a run of " << n;
        }
        stop(&t);
        capture = kx::hdaCaptured();
    }
    return capture;
}

using SteppedRunTest = DeviceTest;

TEST_F(SteppedRunTest, ARunGivesTheCaptureOfAsManySteps) {
    const std::vector<std::vector<uint64_t>> scripts = {{1}, {0}, {2}, {5, 1, 3}, {13}, {1, 1, 7}};
    for (const auto& script : scripts) {
        std::vector<uint8_t> ran = session(script, false);
        std::vector<uint8_t> stepped = session(script, true);
        EXPECT_EQ(ran, stepped) << "a script of " << script.size() << " runs";

        // Period n carries generation n: the loader ran exactly once between any two periods.
        std::vector<int16_t> samples(ran.size() / 2);
        std::memcpy(samples.data(), ran.data(), samples.size() * 2);
        for (size_t n = 0; n < samples.size() / (kFrames * 2); ++n)
            ASSERT_EQ(samples[n * kFrames * 2], static_cast<int16_t>(n * 100)) << "period " << n;
    }
}

TEST_F(SteppedRunTest, AnExitEventEndsAWriteInsideARun) {
    kx::hdaSetClock(kx::HdaClock::Stepped);
    kx::hdaSetFramesPerPeriod(kFrames);
    Tasks t;
    HdaHandle hda;
    start(hda, &t);
    // A run far longer than the test: the host's thread waits in it while the tasks are told to
    // end, and it reports the periods that stopped coming once its bound has passed.
    std::atomic<bool> finished{false};
    bool result = true;
    std::thread host([&] {
        result = kx::hdaRun(1000000, 200);
        finished = true;
    });
    ASSERT_TRUE(kx::hdaWaitPeriods(20, kBound));
    stop(&t);
    host.join();
    EXPECT_TRUE(finished);
    EXPECT_FALSE(result) << "the run could not finish";
    EXPECT_LT(kx::hdaStats().periods, 1000000u);
}

TEST_F(SteppedRunTest, ARunFailsWithinItsBoundWhenNothingWrites) {
    kx::hdaSetClock(kx::HdaClock::Stepped);
    for (uint64_t n : {0u, 1u, 2u, 100u})
        EXPECT_FALSE(kx::hdaRun(n, 20)) << n;
}

}  // namespace
