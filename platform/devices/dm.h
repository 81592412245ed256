// SPDX-License-Identifier: Apache-2.0
// The device manager, as the module calls it: opens a registered device (registry.h) and routes
// control calls to its driver. The handle table is guarded by one mutex; driver calls run
// outside it. The host observes it through dm_host.h.
#pragma once

#include <cstdint>

namespace kx {

constexpr int32_t DM_ERR_NO_DEVICE = 0x0301;      // unknown device or handle
constexpr int32_t DM_ERR_NOT_SUPPORTED = 0x0302;  // the driver has no such control code
constexpr int32_t DM_ERR_FAULT = 0x0303;          // injected by a test

// Opens a registered device and writes a non-zero handle; on failure *handle is untouched.
int32_t DmDeviceOpen(uint32_t device, uint32_t flags, uint32_t* handle);
// Routes a control call to the driver of an open handle and returns its result.
int32_t DmDeviceIoControl(uint32_t handle, uint32_t code, void* block, uint32_t a0, uint32_t a1,
                          uint32_t a2, uint32_t a3);
int32_t DmDeviceClose(uint32_t handle);

}  // namespace kx
