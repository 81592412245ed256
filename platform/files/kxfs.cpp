// SPDX-License-Identifier: Apache-2.0
// File-system path services: the table binding locations to directories, the normalised form
// of a path, and strlcat. The binding table is guarded by bindingMutex; kxfsDevice and
// kxstrlcat keep no state and run on any task.
#include "platform/files/kxfs.h"
#include "platform/files/kxfs_host.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace kx {
namespace {

constexpr uint32_t kCurrentDirectoryLocation = 1;

std::mutex bindingMutex;
// Explicit bindings. Location 1, unless bound here, names the current directory as it is at the
// time of the call, so a program that changes directory sees its new one.
std::map<uint32_t, std::string> bindings;  // guarded by bindingMutex

bool currentDirectory(std::string* out) {
    std::vector<char> buffer(256);
    for (;;) {
        if (getcwd(buffer.data(), buffer.size()) != nullptr) {
            *out = buffer.data();
            return true;
        }
        if (errno != ERANGE || buffer.size() > (1u << 20))
            return false;
        buffer.resize(buffer.size() * 2);
    }
}

// Writes text and its terminator into buffer, or reports that it does not fit.
int32_t copyOut(const std::string& text, char* buffer, uint32_t size) {
    if (buffer == nullptr || text.size() + 1 > size)
        return KXFS_ERR_SIZE;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return 0;
}

}  // namespace

int32_t kxfsPath(uint32_t location, char* buffer, uint32_t size) {
    if (location == 0)
        return KXFS_ERR_LOCATION;
    std::string directory;
    {
        std::lock_guard<std::mutex> lock(bindingMutex);
        auto it = bindings.find(location);
        if (it != bindings.end()) {
            directory = it->second;
        } else if (location != kCurrentDirectoryLocation) {
            return KXFS_ERR_LOCATION;
        }
    }
    if (directory.empty() && !currentDirectory(&directory))
        return KXFS_ERR_PATH;
    return copyOut(directory, buffer, size);
}

// Works on a copy, so path and out may share a buffer. Components are resolved lexically: ".."
// removes the component before it even if that is a symbolic link, and stops at the root.
int32_t kxfsDevice(const char* path, char* out, uint32_t size, uint32_t flags) {
    if (flags != 0 || path == nullptr || path[0] == '\0')
        return KXFS_ERR_PATH;
    std::string full;
    if (path[0] != '/') {
        if (!currentDirectory(&full))
            return KXFS_ERR_PATH;
        full += '/';
    }
    full += path;
    bool trailingSlash = full.back() == '/';

    std::vector<std::string> parts;
    size_t at = 0;
    while (at < full.size()) {
        size_t end = full.find('/', at);
        if (end == std::string::npos)
            end = full.size();
        std::string part = full.substr(at, end - at);
        at = end + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
            continue;
        }
        parts.push_back(std::move(part));
    }

    std::string result;
    for (const std::string& part : parts)
        result += "/" + part;
    if (result.empty() || trailingSlash)
        result += '/';
    return copyOut(result, out, size);
}

int32_t kxfsBind(uint32_t location, const char* directory) {
    if (location == 0)
        return KXFS_ERR_LOCATION;
    if (directory == nullptr || directory[0] == '\0')
        return KXFS_ERR_PATH;
    std::lock_guard<std::mutex> lock(bindingMutex);
    bindings[location] = directory;
    return 0;
}

void kxfsReset() {
    std::lock_guard<std::mutex> lock(bindingMutex);
    bindings.clear();
}

}  // namespace kx
