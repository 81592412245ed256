// SPDX-License-Identifier: Apache-2.0
// Locations and paths on the image: location 1 is the archive's root, "/"; no other location is
// bound. kxfsDevice resolves a path lexically, as the host does (kxstrlcat is the platform's,
// platform/files/kxstrlcat.cpp). Stateless; safe on any task.
#include "platform/files/kxfs.h"

#include <cstring>

namespace kx {
namespace {

constexpr uint32_t kRootLocation = 1;
constexpr uint32_t kMaxPath = 1024;

}  // namespace

int32_t kxfsPath(uint32_t location, char* buffer, uint32_t size) {
    if (location != kRootLocation)
        return KXFS_ERR_LOCATION;
    if (buffer == nullptr || size < 2)
        return KXFS_ERR_SIZE;
    buffer[0] = '/';
    buffer[1] = '\0';
    return 0;
}

// Works on a copy, so path and out may be one buffer. A relative path is taken from "/".
int32_t kxfsDevice(const char* path, char* out, uint32_t size, uint32_t flags) {
    if (flags != 0 || path == nullptr || path[0] == '\0')
        return KXFS_ERR_PATH;
    size_t length = std::strlen(path);
    if (length >= kMaxPath)
        return KXFS_ERR_SIZE;
    char copy[kMaxPath];
    std::memcpy(copy, path, length + 1);
    bool trailingSlash = copy[length - 1] == '/';
    char result[kMaxPath + 2];
    size_t used = 0;
    size_t at = 0;
    while (at < length) {
        size_t end = at;
        while (end < length && copy[end] != '/')
            ++end;
        size_t part = end - at;
        if (part == 0 || (part == 1 && copy[at] == '.')) {
            // nothing
        } else if (part == 2 && copy[at] == '.' && copy[at + 1] == '.') {
            while (used > 0 && result[used - 1] != '/')
                --used;
            if (used > 0)
                --used;  // the '/' before the removed component
        } else {
            result[used++] = '/';
            std::memcpy(result + used, copy + at, part);
            used += part;
        }
        at = end + 1;
    }
    if (used == 0 || trailingSlash)
        result[used++] = '/';
    if (used + 1 > size || out == nullptr)
        return KXFS_ERR_SIZE;
    std::memcpy(out, result, used);
    out[used] = '\0';
    return 0;
}

}  // namespace kx
