// SPDX-License-Identifier: Apache-2.0
// Helpers of the device tests: finding the HD-audio device through the registry, an open handle
// that closes itself, and a stream descriptor built byte by byte at the driver's offsets.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/devices/dm.h"
#include "platform/devices/hda.h"
#include "platform/devices/hda_protocol.h"
#include "platform/devices/registry.h"
#include "platform/devices/registry_host.h"
#include "platform/fault.h"
#include "platform/kernel/rtk_events.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_select.h"
#include "platform/kernel/rtk_sleep.h"
#include "platform/kernel/rtk_tasks.h"
#include "platform/kernel/rtk_types.h"

namespace kxdev {

// Tests whose writer or host is a second host thread: the one-processor kernel serves the one
// host thread that uses it, so there they are skipped (GTEST_SKIP in the caller) with this reason.
constexpr const char* kSecondHostThread =
    "a second host thread calls the driver; the one-processor kernel serves one host thread";
inline bool onOneProcessor() {
    return kx::RtkSelectedKernel() == kx::RtkKernel::OneProcessor;
}

// Device id of the first entry whose "Driver" value is exactly `driver`, or 0.
inline uint32_t deviceNamed(const char* driver) {
    static const char* wanted;
    static uint32_t found;
    wanted = driver;
    found = 0;
    kx::KXRegIterateKey(
        1, kx::IOREG_KEY_DEV_ROOT, 0, 0,
        [](uint32_t entryKey, uint32_t device) -> uint8_t {
            char value[128] = {};
            uint32_t length = sizeof value;
            if (kx::KXRegQueryValue(entryKey, kx::IOREG_KEY_DEV_DRIVER, 0, value, &length) != 0)
                return 1;
            if (std::strcmp(value, wanted) != 0)
                return 1;
            found = device;
            return 0;
        },
        0);
    return found;
}

// A handle of the HD-audio device for one test; the stream and handle are closed at the end.
class HdaHandle {
  public:
    HdaHandle() {
        uint32_t device = deviceNamed("DdHdAudio");
        EXPECT_NE(device, 0u);
        EXPECT_EQ(kx::DmDeviceOpen(device, 0, &handle_), 0);
    }
    ~HdaHandle() {
        if (handle_ == 0)
            return;
        kx::DmDeviceIoControl(handle_, kx::IOCTL_STREAM_CLOSE, nullptr, 0, 0, 0, 0);
        kx::DmDeviceClose(handle_);
    }
    HdaHandle(const HdaHandle&) = delete;
    HdaHandle& operator=(const HdaHandle&) = delete;

    int32_t control(uint32_t code, void* block) const {
        return kx::DmDeviceIoControl(handle_, code, block, 0, 0, 0, 0);
    }
    uint32_t handle() const { return handle_; }

  private:
    uint32_t handle_ = 0;
};

// The stream descriptor as the driver sees it: bytes at fixed offsets, the period buffer's
// address pointer-wide at offset 40.
struct Descriptor {
    alignas(8) uint8_t bytes[48] = {};

    static Descriptor stereo(uint16_t channels = 2, uint32_t rate = 44100, uint16_t bits = 16) {
        Descriptor d;
        std::memcpy(d.bytes + kx::HDA_DESC_CHANNELS, &channels, 2);
        std::memcpy(d.bytes + kx::HDA_DESC_SAMPLE_RATE, &rate, 4);
        std::memcpy(d.bytes + kx::HDA_DESC_BITS, &bits, 2);
        return d;
    }
    void setNotifyTask(uint32_t task) { std::memcpy(bytes + kx::HDA_DESC_NOTIFY_TASK, &task, 4); }
    void setFrames(uint32_t frames) { std::memcpy(bytes + kx::HDA_DESC_FRAMES, &frames, 4); }
    uint32_t frames() const {
        uint32_t frames;
        std::memcpy(&frames, bytes + kx::HDA_DESC_FRAMES, 4);
        return frames;
    }
    void setBuffer(const void* buffer) {
        std::memcpy(bytes + kx::HDA_DESC_PERIOD_BUFFER, &buffer, sizeof buffer);
    }
};

// A period of interleaved stereo samples as bytes.
inline std::vector<uint8_t> periodBytes(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> out(samples.size() * 2);
    std::memcpy(out.data(), samples.data(), out.size());
    return out;
}

// Every test starts and ends with the driver, registry and faults at their defaults.
class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override { resetAll(); }
    void TearDown() override { resetAll(); }
    static void resetAll() {
        kx::faultClearAll();
        kx::hdaReset();
        kx::kxRegReset();
    }
};

// The module's two tasks in miniature, for the stepped clock: the mixer fills each period from a
// generation number (period sample i = generation * 1000 + i) that the loader, woken by the
// mixer, advances after a delay, as a loader reading a file does. A write that returned before
// the loader had finished would let two periods carry one generation, or skip one.
struct MiniEngine {
    static constexpr uint32_t kFrames = 8;
    static constexpr uint16_t kExit = 0x4000;
    static constexpr uint16_t kLoad = 0x8000;

    uint32_t handle = 0;
    Descriptor desc;
    std::vector<int16_t> period = std::vector<int16_t>(kFrames * 2);
    kx::RtkTaskId mixer = 0;
    kx::RtkTaskId loader = 0;
    std::atomic<int> generation{0};
    std::atomic<bool> mixerExited{false};
    std::atomic<bool> loaderExited{false};

    static void mixerTask(void* argument) {
        auto* e = static_cast<MiniEngine*>(argument);
        for (;;) {
            uint16_t code = 0;
            kx::RtkReceiveTaskEvent(0, kExit, 0, 0, &code);
            if (code == kExit) {
                e->mixerExited = true;
                kx::RtkDeleteTask(0);
                return;
            }
            int g = e->generation.load();
            for (uint32_t i = 0; i < kFrames * 2; ++i)
                e->period[i] = static_cast<int16_t>(g * 1000 + static_cast<int>(i));
            kx::RtkSendTaskEvent(e->loader, kLoad);
            kx::DmDeviceIoControl(e->handle, kx::IOCTL_STREAM_WRITE, e->desc.bytes, 0, 0, 0, 0);
        }
    }

    static void loaderTask(void* argument) {
        auto* e = static_cast<MiniEngine*>(argument);
        for (;;) {
            uint16_t code = 0;
            kx::RtkReceiveTaskEvent(0, kExit | kLoad, 0, -1, &code);
            if (code == kExit) {
                e->loaderExited = true;
                kx::RtkDeleteTask(0);
                return;
            }
            kx::RtkSleepTaskUsec(2000);  // a file read takes its time
            e->generation.fetch_add(1);
        }
    }

    // Starts both tasks on a stream opened on hda (clock and frames set by the caller) and
    // syncs on the first period.
    void start(HdaHandle& hda) {
        handle = hda.handle();
        ASSERT_EQ(kx::RtkCreateTask("minimix", 192, 0x4000, 0, 1, mixerTask, this, &mixer), 0);
        ASSERT_EQ(kx::RtkCreateTask("miniload", 89, 0x4000, 0, 1, loaderTask, this, &loader), 0);
        desc = Descriptor::stereo();
        desc.setNotifyTask(mixer);
        ASSERT_EQ(hda.control(kx::IOCTL_STREAM_OPEN, desc.bytes), 0);
        desc.setBuffer(period.data());
        ASSERT_EQ(kx::RtkResumeTask(loader), 0);
        ASSERT_EQ(kx::RtkResumeTask(mixer), 0);
        ASSERT_TRUE(kx::hdaSync(10000));
    }

    // Sends both tasks the exit event (which also ends a write waiting for a step) and checks
    // that both ended.
    void stop() {
        kx::RtkSendTaskEvent(mixer, kExit);
        kx::RtkSendTaskEvent(loader, kExit);
        EXPECT_TRUE(kx::RtkWaitQuiescent(0, 10000));
        EXPECT_TRUE(mixerExited);
        EXPECT_TRUE(loaderExited);
        EXPECT_EQ(kx::RtkThreadsAlive(), 0);
    }
};

}  // namespace kxdev
