// SPDX-License-Identifier: Apache-2.0
// The host's side of the device registry (registry.h): resetting and filling it, and the device
// manager's look-up of a device's driver. Never for the module. Guarded by the registry's mutex.
#pragma once

#include <cstdint>

namespace kx {

// Host side: the default registry holds four devices ("DdPciBus", "DdAta", "DdHdAudio",
// "DdUart"). Tests may clear it and add their own entries. Returns the new entry's device id.
void kxRegReset();                                // back to the default registry
void kxRegClear();                                // no entries at all
uint32_t kxRegAddDevice(const char* driverName);  // driverName null: an entry with no value
// The device manager's look-up: copies the "Driver" value of the entry with this device id into
// buffer ("" for an entry without one). False when no entry has that id or the value does not
// fit; buffer is then untouched.
bool kxRegDeviceDriver(uint32_t device, char* buffer, uint32_t size);

}  // namespace kx
