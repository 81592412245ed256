// SPDX-License-Identifier: Apache-2.0
// The device registry, as the module reads it: a list of device entries under "Devices", each
// with a "Driver" value naming its driver. The registry is guarded by one mutex; the host fills
// it through registry_host.h.
#pragma once

#include <cstdint>

namespace kx {

using KXRegCallback = uint8_t (*)(uint32_t entryKey, uint32_t device);

inline constexpr const char* IOREG_KEY_DEV_ROOT = "Devices";   // the key whose entries are devices
inline constexpr const char* IOREG_KEY_DEV_DRIVER = "Driver";  // value naming an entry's driver

constexpr int32_t KXREG_ERR_NOT_FOUND = 0x0201;  // no such key, entry or value
constexpr int32_t KXREG_ERR_SIZE = 0x0202;       // the value does not fit the caller's buffer
constexpr int32_t KXREG_ERR_FAULT = 0x0203;      // injected by a test

// Calls callback(entryKey, device) for each entry under key, in registry order, until a call
// returns 0 (iteration then stops) or the entries run out. hive 1 is the system hive; reserved
// arguments are ignored. Returns 0 when a callback returned 0, KXREG_ERR_NOT_FOUND otherwise.
int32_t KXRegIterateKey(uint32_t hive, const char* key, uint32_t reserved0, uint32_t reserved1,
                        KXRegCallback callback, uint32_t reserved2);
// Copies the zero-terminated text value `name` of an entry into buffer (capacity *length bytes)
// and sets *length to the bytes written including the terminator. A value that does not fit
// gives KXREG_ERR_SIZE and writes nothing; an unknown entry or value gives KXREG_ERR_NOT_FOUND.
int32_t KXRegQueryValue(uint32_t entryKey, const char* name, uint32_t reserved, char* buffer,
                        uint32_t* length);

}  // namespace kx
