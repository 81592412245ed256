// SPDX-License-Identifier: Apache-2.0
// The file calls over the archive: read-only descriptors on its files, with POSIX meaning. The
// descriptor table is guarded by IrqGuard (a descriptor is used by one task at a time, but two
// tasks may open and close at once).
#include "platform/files/kxfile.h"

#include <cstring>

#include "metal/boot/cpu.h"
#include "metal/files/archive.h"

namespace kx {
namespace {

constexpr int kMaxOpen = 32;
constexpr int kFirstFd = 3;  // 0..2 stay the console's, as on a POSIX host
constexpr int32_t kSeekSet = 0, kSeekCur = 1, kSeekEnd = 2;

struct Descriptor {
    const metal::ArchiveFile* file;  // null: closed
    uint32_t position;
};
Descriptor descriptors[kMaxOpen];
int openCount = 0;

Descriptor* lookup(int32_t fd) {
    int slot = fd - kFirstFd;
    if (slot < 0 || slot >= kMaxOpen || descriptors[slot].file == nullptr)
        return nullptr;
    return &descriptors[slot];
}

}  // namespace

int32_t kxopen(const char* path, int32_t flags, int32_t) {
    if (path == nullptr || flags != 0)
        return -1;
    const metal::ArchiveFile* file = metal::archiveFind(path);
    if (file == nullptr)
        return -1;
    metal::IrqGuard off;
    for (int slot = 0; slot < kMaxOpen; ++slot) {
        if (descriptors[slot].file == nullptr) {
            descriptors[slot] = Descriptor{file, 0};
            ++openCount;
            return slot + kFirstFd;
        }
    }
    return -1;
}

int32_t kxread(int32_t fd, void* buffer, uint32_t length) {
    Descriptor* d = lookup(fd);
    if (d == nullptr || (buffer == nullptr && length != 0))
        return -1;
    uint32_t size = d->file->size;
    uint32_t left = d->position < size ? size - d->position : 0;
    uint32_t n = length < left ? length : left;
    if (n > 0x7FFFFFFF)
        n = 0x7FFFFFFF;
    std::memcpy(buffer, d->file->data + d->position, n);
    d->position += n;
    return static_cast<int32_t>(n);
}

int32_t kxlseek(int32_t fd, int32_t offset, int32_t whence) {
    Descriptor* d = lookup(fd);
    if (d == nullptr)
        return -1;
    int64_t base = whence == kSeekSet   ? 0
                   : whence == kSeekCur ? d->position
                   : whence == kSeekEnd ? d->file->size
                                        : -1;
    if (base < 0)
        return -1;
    int64_t at = base + offset;
    if (at < 0 || at > 0x7FFFFFFF)
        return -1;
    d->position = static_cast<uint32_t>(at);
    return static_cast<int32_t>(at);
}

int32_t kxclose(int32_t fd) {
    metal::IrqGuard off;
    Descriptor* d = lookup(fd);
    if (d == nullptr)
        return -1;
    d->file = nullptr;
    --openCount;
    return 0;
}

int kxOpenFiles() {
    metal::IrqGuard off;
    return openCount;
}

}  // namespace kx
