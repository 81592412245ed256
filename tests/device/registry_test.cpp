// SPDX-License-Identifier: Apache-2.0
// The device registry: iteration order and stop, the "Driver" value of each entry, near misses
// of the HD-audio driver's name, an empty registry, and values that do not fit.
#include <string>
#include <vector>

#include "platform/devices/registry.h"
#include "platform/devices/registry_host.h"
#include "tests/device/device_support.h"

namespace {

using kxdev::DeviceTest;

struct Visit {
    uint32_t entryKey;
    uint32_t device;
};

std::vector<Visit> visits;
size_t stopAfter = 0;  // 0: never stop

uint8_t record(uint32_t entryKey, uint32_t device) {
    visits.push_back({entryKey, device});
    return stopAfter != 0 && visits.size() == stopAfter ? 0 : 1;
}

std::vector<Visit> iterate(int32_t* result, size_t stop = 0) {
    visits.clear();
    stopAfter = stop;
    *result = kx::KXRegIterateKey(1, kx::IOREG_KEY_DEV_ROOT, 0, 0, record, 0);
    return visits;
}

// The driver value of an entry, or the error as text, for readable comparisons.
std::string driverOf(uint32_t entryKey) {
    char value[128] = {};
    uint32_t length = sizeof value;
    int32_t result = kx::KXRegQueryValue(entryKey, kx::IOREG_KEY_DEV_DRIVER, 0, value, &length);
    if (result != 0)
        return "error " + std::to_string(result);
    EXPECT_EQ(length, std::string(value).size() + 1);
    return value;
}

using RegistryTest = DeviceTest;

TEST_F(RegistryTest, DefaultRegistryListsFourDevicesWithOneHdAudioDriver) {
    int32_t result;
    std::vector<Visit> all = iterate(&result);
    EXPECT_EQ(result, kx::KXREG_ERR_NOT_FOUND);  // every callback asked to go on
    std::vector<std::string> drivers;
    for (const Visit& v : all)
        drivers.push_back(driverOf(v.entryKey));
    EXPECT_EQ(drivers, (std::vector<std::string>{"DdPciBus", "DdAta", "DdHdAudio", "DdUart"}));
    EXPECT_NE(kxdev::deviceNamed("DdHdAudio"), 0u);
}

TEST_F(RegistryTest, IterationStopsAtTheFirstCallbackReturningZero) {
    int32_t result;
    EXPECT_EQ(iterate(&result, 2).size(), 2u);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(iterate(&result, 1).size(), 1u);
    EXPECT_EQ(result, 0);
}

TEST_F(RegistryTest, OnlyTheDevicesKeyOfTheSystemHiveHasEntries) {
    struct Case {
        uint32_t hive;
        const char* key;
    };
    for (Case c : {Case{0, "Devices"}, Case{2, "Devices"}, Case{1, "devices"}, Case{1, "Devices2"},
                   Case{1, ""}, Case{1, nullptr}}) {
        visits.clear();
        stopAfter = 0;
        EXPECT_EQ(kx::KXRegIterateKey(c.hive, c.key, 0, 0, record, 0), kx::KXREG_ERR_NOT_FOUND)
            << c.hive << " " << (c.key ? c.key : "(null)");
        EXPECT_TRUE(visits.empty());
    }
}

TEST_F(RegistryTest, ClearedRegistryIteratesNothing) {
    kx::kxRegClear();
    int32_t result;
    EXPECT_TRUE(iterate(&result).empty());
    EXPECT_EQ(result, kx::KXREG_ERR_NOT_FOUND);
    EXPECT_EQ(kxdev::deviceNamed("DdHdAudio"), 0u);
}

TEST_F(RegistryTest, NearMissesOfTheDriverNameAreDistinctValues) {
    kx::kxRegClear();
    const std::vector<std::string> names = {"ddhdaudio",  "DdHdAudio2", "DdHdAudi",
                                            " DdHdAudio", "DDHDAUDIO",  "DdHdAudio"};
    std::vector<uint32_t> devices;
    for (const std::string& name : names)
        devices.push_back(kx::kxRegAddDevice(name.c_str()));
    uint32_t noValue = kx::kxRegAddDevice(nullptr);

    int32_t result;
    std::vector<Visit> all = iterate(&result);
    ASSERT_EQ(all.size(), names.size() + 1);
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(all[i].device, devices[i]);
        EXPECT_EQ(driverOf(all[i].entryKey), names[i]);
    }
    EXPECT_EQ(all.back().device, noValue);
    EXPECT_EQ(driverOf(all.back().entryKey), "error " + std::to_string(kx::KXREG_ERR_NOT_FOUND));
    // The exact name is found only where it was added, last.
    EXPECT_EQ(kxdev::deviceNamed("DdHdAudio"), devices.back());
}

TEST_F(RegistryTest, EntryKeysAndDeviceIdsAreNotInterchangeable) {
    int32_t result;
    std::vector<Visit> all = iterate(&result);
    for (const Visit& v : all) {
        EXPECT_NE(v.entryKey, v.device);
        char value[128];
        uint32_t length = sizeof value;
        EXPECT_EQ(kx::KXRegQueryValue(v.device, kx::IOREG_KEY_DEV_DRIVER, 0, value, &length),
                  kx::KXREG_ERR_NOT_FOUND);
    }
    // A key from before a reset names nothing afterwards.
    uint32_t oldKey = all.front().entryKey;
    kx::kxRegReset();
    EXPECT_EQ(driverOf(oldKey), "error " + std::to_string(kx::KXREG_ERR_NOT_FOUND));
}

TEST_F(RegistryTest, QueryOfAValueTheBufferCannotHold) {
    int32_t result;
    uint32_t key = 0;
    for (const Visit& v : iterate(&result))
        if (driverOf(v.entryKey) == "DdHdAudio")
            key = v.entryKey;
    ASSERT_NE(key, 0u);

    struct Case {
        uint32_t capacity;
        int32_t expected;
    };
    // "DdHdAudio" needs 10 bytes with its terminator.
    for (Case c : {Case{0, kx::KXREG_ERR_SIZE}, Case{1, kx::KXREG_ERR_SIZE},
                   Case{9, kx::KXREG_ERR_SIZE}, Case{10, 0}, Case{11, 0}, Case{128, 0}}) {
        std::vector<char> buffer(c.capacity + 4, '#');
        uint32_t length = c.capacity;
        EXPECT_EQ(kx::KXRegQueryValue(key, "Driver", 0, buffer.data(), &length), c.expected)
            << c.capacity;
        if (c.expected == 0) {
            EXPECT_EQ(length, 10u);
            EXPECT_STREQ(buffer.data(), "DdHdAudio");
        } else {
            EXPECT_EQ(length, c.capacity) << "length is left alone on failure";
            EXPECT_EQ(std::string(buffer.begin(), buffer.end()), std::string(buffer.size(), '#'))
                << "nothing is written on failure";
        }
        EXPECT_EQ(buffer[c.capacity + 3], '#');
    }
}

TEST_F(RegistryTest, UnknownValueNamesAreNotFound) {
    int32_t result;
    uint32_t key = iterate(&result).front().entryKey;
    for (const char* name : {"driver", "Driver ", "", "Name"}) {
        char value[128];
        uint32_t length = sizeof value;
        EXPECT_EQ(kx::KXRegQueryValue(key, name, 0, value, &length), kx::KXREG_ERR_NOT_FOUND)
            << name;
    }
}

TEST_F(RegistryTest, InjectedQueryFaultFailsInTheLowSixteenBitsOnce) {
    int32_t result;
    uint32_t key = iterate(&result).front().entryKey;
    kx::faultArm(kx::Fault::RegQuery, 2);
    EXPECT_EQ(driverOf(key), "DdPciBus");
    char value[128];
    uint32_t length = sizeof value;
    int32_t failed = kx::KXRegQueryValue(key, "Driver", 0, value, &length);
    EXPECT_NE(failed & 0xFFFF, 0);
    EXPECT_TRUE(kx::faultReached(kx::Fault::RegQuery));
    EXPECT_EQ(driverOf(key), "DdPciBus");
}

}  // namespace
