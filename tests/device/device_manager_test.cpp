// SPDX-License-Identifier: Apache-2.0
// The device manager: handles of registered devices, unknown devices and handles, devices
// whose driver the platform lacks, and injected open failures.
#include <set>

#include "platform/devices/dm.h"
#include "platform/devices/dm_host.h"
#include "platform/devices/hda_protocol.h"
#include "platform/devices/registry_host.h"
#include "tests/device/device_support.h"

namespace {

using kxdev::DeviceTest;
using DeviceManagerTest = DeviceTest;

constexpr uint32_t kUntouched = 0xA5A5A5A5;

TEST_F(DeviceManagerTest, HandlesAreNonZeroDistinctAndCounted) {
    uint32_t device = kxdev::deviceNamed("DdHdAudio");
    ASSERT_NE(device, 0u);
    int before = kx::DmOpenHandles();
    std::set<uint32_t> seen;
    for (int i = 0; i < 3; ++i) {
        uint32_t handle = 0;
        ASSERT_EQ(kx::DmDeviceOpen(device, 0, &handle), 0);
        EXPECT_NE(handle, 0u);
        seen.insert(handle);
    }
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_EQ(kx::DmOpenHandles(), before + 3);
    for (uint32_t handle : seen)
        EXPECT_EQ(kx::DmDeviceClose(handle), 0);
    EXPECT_EQ(kx::DmOpenHandles(), before);
}

TEST_F(DeviceManagerTest, ClosedAndUnknownHandlesAreRefused) {
    uint32_t handle = 0;
    ASSERT_EQ(kx::DmDeviceOpen(kxdev::deviceNamed("DdHdAudio"), 0, &handle), 0);
    ASSERT_EQ(kx::DmDeviceClose(handle), 0);
    uint32_t block[2] = {50, 0};
    for (uint32_t h : {handle, 0u, 0xFFFFFFFFu}) {
        int32_t control = kx::DmDeviceIoControl(h, kx::IOCTL_VOLUME, block, 0, 0, 0, 0);
        EXPECT_EQ(control, kx::DM_ERR_NO_DEVICE) << h;
        EXPECT_NE(control & 0xFFFF, 0);
        EXPECT_EQ(kx::DmDeviceClose(h), kx::DM_ERR_NO_DEVICE) << h;
    }
    EXPECT_EQ(kx::hdaStats().volume, 100u) << "a refused handle never reaches the driver";
}

TEST_F(DeviceManagerTest, FailedOpensLeaveTheHandleAloneAndFailInTheLowSixteenBits) {
    uint32_t hda = kxdev::deviceNamed("DdHdAudio");
    struct Case {
        const char* what;
        uint32_t device;
        bool injectFault;
    };
    for (Case c : {Case{"unregistered device", 0xDEAD, false}, Case{"device 0", 0, false},
                   Case{"injected fault", hda, true}}) {
        if (c.injectFault)
            kx::faultArm(kx::Fault::DeviceOpen, 1);
        int before = kx::DmOpenHandles();
        uint32_t handle = kUntouched;
        int32_t result = kx::DmDeviceOpen(c.device, 0, &handle);
        EXPECT_NE(result & 0xFFFF, 0) << c.what;
        EXPECT_EQ(handle, kUntouched) << c.what;
        EXPECT_EQ(kx::DmOpenHandles(), before) << c.what;
        EXPECT_EQ(kx::faultReached(kx::Fault::DeviceOpen), c.injectFault) << c.what;
    }
    // The fault was for one call only.
    uint32_t handle = 0;
    EXPECT_EQ(kx::DmDeviceOpen(hda, 0, &handle), 0);
    EXPECT_EQ(kx::DmDeviceClose(handle), 0);
}

TEST_F(DeviceManagerTest, DevicesWithoutTheHdAudioDriverSupportNoControlCode) {
    kx::kxRegClear();
    std::vector<uint32_t> devices = {kx::kxRegAddDevice("DdUart"), kx::kxRegAddDevice("ddhdaudio"),
                                     kx::kxRegAddDevice("DdHdAudio2"), kx::kxRegAddDevice(nullptr)};
    for (uint32_t device : devices) {
        uint32_t handle = 0;
        ASSERT_EQ(kx::DmDeviceOpen(device, 0, &handle), 0) << "any registered device opens";
        auto descriptor = kxdev::Descriptor::stereo();
        uint32_t block[2] = {0, 1};
        for (uint32_t code : {kx::IOCTL_STREAM_OPEN, kx::IOCTL_STREAM_CLOSE, kx::IOCTL_STREAM_WRITE,
                              kx::IOCTL_VOLUME, kx::IOCTL_MUTE, 0x1234u}) {
            void* arg = code == kx::IOCTL_VOLUME || code == kx::IOCTL_MUTE
                            ? static_cast<void*>(block)
                            : static_cast<void*>(descriptor.bytes);
            EXPECT_EQ(kx::DmDeviceIoControl(handle, code, arg, 0, 0, 0, 0),
                      kx::DM_ERR_NOT_SUPPORTED)
                << std::hex << device << " " << code;
        }
        EXPECT_EQ(kx::DmDeviceClose(handle), 0);
    }
    kx::HdaStats stats = kx::hdaStats();
    EXPECT_EQ(stats.opens, 0u);
    EXPECT_EQ(stats.mute, 0u);
}

TEST_F(DeviceManagerTest, TheHdAudioDriverRefusesUnknownCodes) {
    kxdev::HdaHandle hda;
    uint32_t block[2] = {};
    for (uint32_t code : {0u, 0x2600u, 0x2604u, 0x2631u, 0x2634u}) {
        EXPECT_EQ(hda.control(code, block), kx::DM_ERR_NOT_SUPPORTED) << std::hex << code;
    }
}

}  // namespace
