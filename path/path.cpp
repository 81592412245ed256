// SPDX-License-Identifier: Apache-2.0
// Sound file paths: chains the platform's path services and joins directory and name. Holds no
// state and takes no lock; the platform guards its own location table.
#include "path/path.h"

#include "platform/files/kxfs.h"

namespace kx {

uint16_t creatPath(uint32_t location, const char* name, char* buffer, uint32_t size) {
    if (name == nullptr || buffer == nullptr)
        return 1;
    if (kxfsPath(location, buffer, size) != 0)
        return 1;
    // Rewritten in place into the form in which files are opened, so that one file reached
    // through two spellings of its directory still gets one path, and one identity.
    if (kxfsDevice(buffer, buffer, size, 0) != 0)
        return 1;
    // The separator is always added: the path's exact text is the sound's identity, and it must
    // not depend on how the location's directory happens to end.
    kxstrlcat(buffer, "/", size);
    // strlcat reports the length the joined string wanted; size or more means it was cut.
    return kxstrlcat(buffer, name, size) >= size ? 1 : 0;
}

}  // namespace kx
