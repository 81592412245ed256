// SPDX-License-Identifier: Apache-2.0
// The cpio "newc" reader. Every header is checked before it is trusted: the magic, each field's
// eight hexadecimal digits, and every size against the bytes that remain, so that a truncated
// or malformed archive is refused with its reason, never read past its end. Written at boot by
// archiveMount only; read-only afterwards.
#include "metal/files/archive.h"

#include <cstring>

#include "metal/boot/console.h"

namespace kx::metal {
namespace {

constexpr int kMaxFiles = 128;
constexpr uint32_t kHeaderSize = 110;
constexpr uint32_t kModeTypeMask = 0170000;
constexpr uint32_t kModeRegular = 0100000;

ArchiveFile files[kMaxFiles];
int fileCount = 0;

bool hexField(const uint8_t* at, uint32_t* value) {
    uint32_t v = 0;
    for (int i = 0; i < 8; ++i) {
        uint8_t c = at[i];
        uint32_t digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        v = v << 4 | digit;
    }
    *value = v;
    return true;
}

uint32_t padded(uint32_t n) {
    return (n + 3) & ~3u;
}

const char* stripped(const char* name) {
    while (name[0] == '.' && name[1] == '/')
        name += 2;
    while (name[0] == '/')
        ++name;
    return name;
}

}  // namespace

bool archiveMount(const uint8_t* begin, uint32_t size, char* error, uint32_t errorSize) {
    fileCount = 0;
    int found = 0;
    uint32_t at = 0;
    for (;;) {
        if (size - at < kHeaderSize) {
            formatText(error, errorSize, "truncated: header at offset %u cut short (%u bytes)", at,
                       size);
            return false;
        }
        const uint8_t* h = begin + at;
        if (std::memcmp(h, "070701", 6) != 0) {
            formatText(error, errorSize, "no cpio newc magic at offset %u", at);
            return false;
        }
        uint32_t fields[13];
        for (int i = 0; i < 13; ++i) {
            if (!hexField(h + 6 + 8 * i, &fields[i])) {
                formatText(error, errorSize, "malformed header field %d at offset %u", i, at);
                return false;
            }
        }
        uint32_t mode = fields[1], fileSize = fields[6], nameSize = fields[11];
        uint32_t nameEnd = padded(kHeaderSize + nameSize);
        if (nameSize == 0 || nameSize > size - at - kHeaderSize || nameEnd > size - at) {
            formatText(error, errorSize, "truncated: name at offset %u runs past the end", at);
            return false;
        }
        const char* name = reinterpret_cast<const char*>(h + kHeaderSize);
        if (name[nameSize - 1] != '\0') {
            formatText(error, errorSize, "malformed: name at offset %u is not terminated", at);
            return false;
        }
        if (std::strcmp(name, "TRAILER!!!") == 0)
            break;
        if (fileSize > size - at - nameEnd) {
            formatText(error, errorSize, "truncated: \"%s\" holds %u bytes, only %u remain", name,
                       fileSize, size - at - nameEnd);
            return false;
        }
        if ((mode & kModeTypeMask) == kModeRegular) {
            if (found == kMaxFiles) {
                formatText(error, errorSize, "more than %d files", kMaxFiles);
                return false;
            }
            files[found++] = ArchiveFile{stripped(name), h + nameEnd, fileSize};
        }
        uint32_t next = padded(fileSize);
        if (next > size - at - nameEnd) {
            next = size - at - nameEnd;  // the last file's padding may be missing
        }
        at += nameEnd + next;
    }
    fileCount = found;
    return true;
}

const ArchiveFile* archiveFind(const char* name) {
    name = stripped(name);
    for (int i = 0; i < fileCount; ++i) {
        if (std::strcmp(files[i].name, name) == 0)
            return &files[i];
    }
    return nullptr;
}

int archiveCount() {
    return fileCount;
}

const ArchiveFile* archiveAt(int index) {
    return index >= 0 && index < fileCount ? &files[index] : nullptr;
}

}  // namespace kx::metal
