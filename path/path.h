// SPDX-License-Identifier: Apache-2.0
// Sound file paths: the location's directory as the platform resolves it, "/", then the name.
#pragma once

#include <cstdint>

namespace kx {

// Builds the full path of name at location into buffer (size bytes, zero-filled by the caller).
// 0 when the buffer holds the whole path; 1 when the location cannot be resolved or the joined
// path does not fit (size - 1 characters at most). The buffer is unspecified after a failure.
uint16_t creatPath(uint32_t location, const char* name, char* buffer, uint32_t size);

}  // namespace kx
