// SPDX-License-Identifier: Apache-2.0
// The host's side of the path services (kxfs.h): binding locations to directories. For the host
// program and the tests; never for the module. The binding table is guarded by one mutex.
#pragma once

#include <cstdint>

namespace kx {

// Binds a location to a directory (copied). Location 0 is refused. By default location 1 is the
// current directory.
int32_t kxfsBind(uint32_t location, const char* directory);
void kxfsReset();  // back to the default binding

}  // namespace kx
