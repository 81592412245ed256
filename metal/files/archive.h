// SPDX-License-Identifier: Apache-2.0
// The image's files: one cpio archive (the "newc" format of `cpio -H newc`) handed over as the
// first multiboot module. archiveMount checks the whole archive once at boot and indexes its
// regular files; afterwards the index is only read, by any task.
#pragma once

#include <cstdint>

namespace kx::metal {

struct ArchiveFile {
    const char* name;  // as stored, without a leading "./" or "/"
    const uint8_t* data;
    uint32_t size;
};

// Indexes the archive at [begin, begin + size). On a malformed or truncated archive returns
// false with *error naming the fault and its offset (no file is indexed then).
bool archiveMount(const uint8_t* begin, uint32_t size, char* error, uint32_t errorSize);
// The file of that name (leading "/" ignored), or null.
const ArchiveFile* archiveFind(const char* name);
int archiveCount();
const ArchiveFile* archiveAt(int index);

}  // namespace kx::metal
