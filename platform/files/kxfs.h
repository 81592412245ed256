// SPDX-License-Identifier: Apache-2.0
// File-system path services: locations (non-zero 32-bit ids bound to directories), the
// normalised form in which files are opened, and a BSD strlcat. The binding table is guarded by
// one mutex; the host binds locations through kxfs_host.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx {

constexpr int32_t KXFS_ERR_LOCATION = 0x0401;  // location 0 or not bound
constexpr int32_t KXFS_ERR_SIZE = 0x0402;      // the result does not fit the buffer
constexpr int32_t KXFS_ERR_PATH = 0x0403;      // an empty path or no current directory

// Writes the zero-terminated directory bound to location into buffer (size bytes).
int32_t kxfsPath(uint32_t location, char* buffer, uint32_t size);
// Writes the form of path under which files are opened into out (size bytes): absolute (a
// relative path is taken from the current directory), "." and ".." resolved and repeated "/"
// folded, without touching the file system. A trailing "/" is kept. path and out may be the
// same buffer. flags must be 0.
int32_t kxfsDevice(const char* path, char* out, uint32_t size, uint32_t flags);
// The BSD strlcat contract: appends src to the string in dst (a buffer of size bytes), writing
// at most size - 1 characters in all and zero-terminating whenever size > 0 and dst held a
// terminator; returns strlen(src) plus the length dst had (or size, if dst held no terminator
// within size).
size_t kxstrlcat(char* dst, const char* src, size_t size);

}  // namespace kx
