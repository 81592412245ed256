// SPDX-License-Identifier: Apache-2.0
// The device registry: an ordered list of device entries under the "Devices" key, each with an
// optional "Driver" text value. Guarded by registryMutex; callbacks of an iteration run outside
// it, so a callback may query values or open devices.
#include "platform/devices/registry.h"
#include "platform/devices/registry_host.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fault.h"

namespace kx {
namespace {

constexpr uint32_t kSystemHive = 1;
// Entry keys and device ids come from different ranges, and neither is reused after a clear, so
// a caller that confuses the two, or keeps a key from an earlier registry, finds nothing.
constexpr uint32_t kFirstEntryKey = 0x00E10000;
constexpr uint32_t kFirstDevice = 0x00000D01;

struct Entry {
    uint32_t key;
    uint32_t device;
    bool hasDriver;
    std::string driver;
};

std::mutex registryMutex;
std::vector<Entry> entries;  // guarded by registryMutex
uint32_t nextEntryKey = kFirstEntryKey;
uint32_t nextDevice = kFirstDevice;
bool seeded = false;  // the default entries exist until the first reset or clear

uint32_t addLocked(const char* driverName) {
    Entry entry{nextEntryKey++, nextDevice++, driverName != nullptr,
                driverName != nullptr ? driverName : ""};
    entries.push_back(entry);
    return entry.device;
}

void seedLocked() {
    entries.clear();
    for (const char* name : {"DdPciBus", "DdAta", "DdHdAudio", "DdUart"})
        addLocked(name);
    seeded = true;
}

// The default registry is made on first use rather than by a static constructor, so that the
// order in which static objects of other files start does not matter.
void ensureSeededLocked() {
    if (!seeded)
        seedLocked();
}

}  // namespace

int32_t KXRegIterateKey(uint32_t hive, const char* key, uint32_t, uint32_t, KXRegCallback callback,
                        uint32_t) {
    if (hive != kSystemHive || key == nullptr || callback == nullptr ||
        std::strcmp(key, IOREG_KEY_DEV_ROOT) != 0)
        return KXREG_ERR_NOT_FOUND;
    std::vector<Entry> snapshot;
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        ensureSeededLocked();
        snapshot = entries;
    }
    for (const Entry& entry : snapshot) {
        if (callback(entry.key, entry.device) == 0)
            return 0;
    }
    return KXREG_ERR_NOT_FOUND;
}

int32_t KXRegQueryValue(uint32_t entryKey, const char* name, uint32_t, char* buffer,
                        uint32_t* length) {
    if (faultCheck(Fault::RegQuery))
        return KXREG_ERR_FAULT;
    if (name == nullptr || std::strcmp(name, IOREG_KEY_DEV_DRIVER) != 0)
        return KXREG_ERR_NOT_FOUND;
    std::lock_guard<std::mutex> lock(registryMutex);
    ensureSeededLocked();
    for (const Entry& entry : entries) {
        if (entry.key != entryKey)
            continue;
        if (!entry.hasDriver)
            return KXREG_ERR_NOT_FOUND;
        uint32_t needed = static_cast<uint32_t>(entry.driver.size()) + 1;
        if (buffer == nullptr || length == nullptr || *length < needed)
            return KXREG_ERR_SIZE;
        std::memcpy(buffer, entry.driver.c_str(), needed);
        *length = needed;
        return 0;
    }
    return KXREG_ERR_NOT_FOUND;
}

void kxRegReset() {
    std::lock_guard<std::mutex> lock(registryMutex);
    seedLocked();
}

void kxRegClear() {
    std::lock_guard<std::mutex> lock(registryMutex);
    entries.clear();
    seeded = true;
}

uint32_t kxRegAddDevice(const char* driverName) {
    std::lock_guard<std::mutex> lock(registryMutex);
    ensureSeededLocked();
    return addLocked(driverName);
}

bool kxRegDeviceDriver(uint32_t device, char* buffer, uint32_t size) {
    std::lock_guard<std::mutex> lock(registryMutex);
    ensureSeededLocked();
    for (const Entry& entry : entries) {
        if (entry.device != device)
            continue;
        if (buffer == nullptr || entry.driver.size() + 1 > size)
            return false;
        std::memcpy(buffer, entry.driver.c_str(), entry.driver.size() + 1);
        return true;
    }
    return false;
}

}  // namespace kx
