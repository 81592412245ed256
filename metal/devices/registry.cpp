// SPDX-License-Identifier: Apache-2.0
// The device registry and the device manager of the image: a fixed list of device entries, as
// on the host ("DdPciBus", "DdAta", "DdHdAudio", "DdUart"), and a table of open handles routing
// control calls to the HD-audio driver. The handle table is guarded by IrqGuard; driver calls
// run outside it (a write blocks for a period).
#include <cstring>

#include "metal/boot/cpu.h"
#include "metal/devices/hda.h"
#include "platform/devices/dm.h"
#include "platform/devices/registry.h"
#include "platform/fault.h"

namespace kx {
namespace {

struct Entry {
    uint32_t key;
    uint32_t device;
    const char* driver;
};

// Keys and device ids from different ranges, as on the host, so that confusing them fails.
constexpr Entry kEntries[] = {
    {0x00E10000, 0x0D01, "DdPciBus"},
    {0x00E10001, 0x0D02, "DdAta"},
    {0x00E10002, 0x0D03, "DdHdAudio"},
    {0x00E10003, 0x0D04, "DdUart"},
};
constexpr const char* kHdaDriver = "DdHdAudio";
constexpr int kMaxHandles = 8;
constexpr uint32_t kFirstHandle = 0x00D00001;

struct Handle {
    uint32_t handle;  // 0: free
    bool hdAudio;
};
Handle handles[kMaxHandles];
uint32_t nextHandle = kFirstHandle;

const Entry* entryOfDevice(uint32_t device) {
    for (const Entry& e : kEntries) {
        if (e.device == device)
            return &e;
    }
    return nullptr;
}

}  // namespace

int32_t KXRegIterateKey(uint32_t hive, const char* key, uint32_t, uint32_t, KXRegCallback callback,
                        uint32_t) {
    if (hive != 1 || key == nullptr || callback == nullptr ||
        std::strcmp(key, IOREG_KEY_DEV_ROOT) != 0)
        return KXREG_ERR_NOT_FOUND;
    for (const Entry& e : kEntries) {
        if (callback(e.key, e.device) == 0)
            return 0;
    }
    return KXREG_ERR_NOT_FOUND;
}

int32_t KXRegQueryValue(uint32_t entryKey, const char* name, uint32_t, char* buffer,
                        uint32_t* length) {
    if (name == nullptr || std::strcmp(name, IOREG_KEY_DEV_DRIVER) != 0)
        return KXREG_ERR_NOT_FOUND;
    for (const Entry& e : kEntries) {
        if (e.key != entryKey)
            continue;
        uint32_t needed = static_cast<uint32_t>(std::strlen(e.driver)) + 1;
        if (buffer == nullptr || length == nullptr || *length < needed)
            return KXREG_ERR_SIZE;
        std::memcpy(buffer, e.driver, needed);
        *length = needed;
        return 0;
    }
    return KXREG_ERR_NOT_FOUND;
}

int32_t DmDeviceOpen(uint32_t device, uint32_t, uint32_t* handle) {
    const Entry* e = entryOfDevice(device);
    if (handle == nullptr || e == nullptr)
        return DM_ERR_NO_DEVICE;
    metal::IrqGuard off;
    for (Handle& h : handles) {
        if (h.handle == 0) {
            h = Handle{nextHandle++, std::strcmp(e->driver, kHdaDriver) == 0};
            *handle = h.handle;
            return 0;
        }
    }
    return DM_ERR_NO_DEVICE;
}

int32_t DmDeviceIoControl(uint32_t handle, uint32_t code, void* block, uint32_t, uint32_t, uint32_t,
                          uint32_t) {
    bool hdAudio = false;
    {
        metal::IrqGuard off;
        bool found = false;
        for (const Handle& h : handles) {
            if (handle != 0 && h.handle == handle) {
                found = true;
                hdAudio = h.hdAudio;
            }
        }
        if (!found)
            return DM_ERR_NO_DEVICE;
    }
    return hdAudio ? metal::hdaControl(code, block) : DM_ERR_NOT_SUPPORTED;
}

int32_t DmDeviceClose(uint32_t handle) {
    metal::IrqGuard off;
    for (Handle& h : handles) {
        if (handle != 0 && h.handle == handle) {
            h.handle = 0;
            return 0;
        }
    }
    return DM_ERR_NO_DEVICE;
}

int DmOpenHandles() {
    metal::IrqGuard off;
    int n = 0;
    for (const Handle& h : handles)
        n += h.handle != 0;
    return n;
}

// The image injects no faults: every service call goes ahead.
bool faultCheck(Fault) {
    return false;
}
bool faultCheckFd(Fault, int) {
    return false;
}

}  // namespace kx
