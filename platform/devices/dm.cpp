// SPDX-License-Identifier: Apache-2.0
// The device manager: the table of open handles and the routing of control calls to drivers.
// The table is guarded by handleMutex; a control call looks its handle up under the mutex and
// runs the driver outside it, since a stream write may block for a whole period or longer.
#include <cstring>
#include <map>
#include <mutex>

#include "platform/devices/dm.h"
#include "platform/devices/dm_host.h"
#include "platform/devices/hda.h"
#include "platform/devices/registry_host.h"
#include "platform/fault.h"

namespace kx {
namespace {

constexpr const char* kHdaDriverName = "DdHdAudio";
constexpr uint32_t kDriverNameMax = 128;
// Handles count up from here and are never reused, so a stale handle is always unknown.
constexpr uint32_t kFirstHandle = 0x00D00001;

enum class Driver : uint8_t {
    None,     // a registered device whose driver this platform does not provide
    HdAudio,  // the simulated HD-audio driver
};

struct OpenDevice {
    uint32_t device;
    Driver driver;
};

std::mutex handleMutex;
std::map<uint32_t, OpenDevice> handles;  // guarded by handleMutex
uint32_t nextHandle = kFirstHandle;      // guarded by handleMutex

}  // namespace

int32_t DmDeviceOpen(uint32_t device, uint32_t, uint32_t* handle) {
    if (faultCheck(Fault::DeviceOpen))
        return DM_ERR_FAULT;
    if (handle == nullptr)
        return DM_ERR_NO_DEVICE;
    char driverName[kDriverNameMax] = {};
    if (!kxRegDeviceDriver(device, driverName, kDriverNameMax))
        return DM_ERR_NO_DEVICE;
    Driver driver = std::strcmp(driverName, kHdaDriverName) == 0 ? Driver::HdAudio : Driver::None;
    std::lock_guard<std::mutex> lock(handleMutex);
    uint32_t opened = nextHandle++;
    handles[opened] = OpenDevice{device, driver};
    *handle = opened;
    return 0;
}

int32_t DmDeviceIoControl(uint32_t handle, uint32_t code, void* block, uint32_t, uint32_t, uint32_t,
                          uint32_t) {
    Driver driver;
    {
        std::lock_guard<std::mutex> lock(handleMutex);
        auto it = handles.find(handle);
        if (it == handles.end())
            return DM_ERR_NO_DEVICE;
        driver = it->second.driver;
    }
    switch (driver) {
        case Driver::HdAudio:
            return hdaIoControl(code, block);
        case Driver::None:
            break;
    }
    return DM_ERR_NOT_SUPPORTED;
}

int32_t DmDeviceClose(uint32_t handle) {
    std::lock_guard<std::mutex> lock(handleMutex);
    return handles.erase(handle) == 1 ? 0 : DM_ERR_NO_DEVICE;
}

int DmOpenHandles() {
    std::lock_guard<std::mutex> lock(handleMutex);
    return static_cast<int>(handles.size());
}

}  // namespace kx
