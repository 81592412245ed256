// SPDX-License-Identifier: Apache-2.0
// kxstrlcat, the BSD strlcat of platform/files/kxfs.h: plain C++ over the caller's buffers, no
// state, no lock; shared by the host and the bootable image.
#include <cstring>

#include "platform/files/kxfs.h"

namespace kx {

size_t kxstrlcat(char* dst, const char* src, size_t size) {
    // Length of dst, looking no further than size bytes: a dst with no terminator there is
    // taken to be size long and nothing is appended (there is no room even for a terminator).
    size_t dstLength = 0;
    while (dstLength < size && dst[dstLength] != '\0')
        ++dstLength;
    size_t srcLength = std::strlen(src);
    if (dstLength == size)
        return size + srcLength;

    size_t room = size - dstLength - 1;
    size_t copied = srcLength < room ? srcLength : room;
    std::memcpy(dst + dstLength, src, copied);
    dst[dstLength + copied] = '\0';
    return dstLength + srcLength;
}

}  // namespace kx
