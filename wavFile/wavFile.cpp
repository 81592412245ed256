// SPDX-License-Identifier: Apache-2.0
// The WAV reader: header parsing and the small file operations of a playing sound, all over the
// platform's POSIX-style file calls. It keeps no state, so it needs no lock; a descriptor is
// used by one task at a time (creation, or the sound's owner under the sound pool's lock).
#include "wavFile/wavFile.h"

#include <cstring>

#include "platform/files/kxfile.h"

namespace kx {
namespace {

constexpr int32_t kNoFile = -1;
constexpr int32_t kSkipScratch = 4096;  // bytes read per step when skipping on a stream
constexpr int32_t kFmtMinSize = 16;     // the six fields of the format record

// Closes the parse's descriptor and gives the failure result, so every exit closes the file.
int32_t failParse(int32_t fd) {
    closeWavFile(fd);
    return -1;
}

// RIFF pads every odd-sized chunk body to an even length, and the pad byte belongs to no chunk:
// it is skipped here so the next header is read where writers put it.
int32_t skipPad(int32_t fd, int32_t size) {
    return (size & 1) != 0 ? fskip(fd, 1, WAV_SEEK_CUR) : 0;
}

}  // namespace

uint8_t iReadByteUnsigned(int32_t fd) {
    // Cleared first: a failed read or the end of the file leaves it 0, so a truncated header
    // reads as zero bytes rather than as stale memory.
    uint8_t byte = 0;
    if (fd == kNoFile)
        return 0;
    kxread(fd, &byte, 1);
    return byte;
}

uint16_t iRead16BitsLowHigh(int32_t fd) {
    uint16_t b0 = iReadByteUnsigned(fd);
    uint16_t b1 = iReadByteUnsigned(fd);
    return static_cast<uint16_t>(b0 | (b1 << 8));
}

uint32_t iRead32BitsLowHigh(int32_t fd) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<uint32_t>(iReadByteUnsigned(fd)) << (8 * i);
    return value;
}

uint32_t iRead32BitsHighLow(int32_t fd) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value = (value << 8) | iReadByteUnsigned(fd);
    return value;
}

int32_t fskip(int32_t fd, int32_t distance, int32_t whence) {
    if (fd == kNoFile)
        return -1;
    if (kxlseek(fd, distance, whence) >= 0)
        return 0;
    // A pipe or FIFO cannot seek, but a forward move from the current position can still be
    // made by reading and dropping the bytes. Nothing else can be emulated.
    if (whence != WAV_SEEK_CUR || distance < 0)
        return -1;
    uint8_t scratch[kSkipScratch];
    while (distance > 0) {
        int32_t n = kxread(
            fd, scratch, static_cast<uint32_t>(distance < kSkipScratch ? distance : kSkipScratch));
        // The end of the file or an error: the bytes to skip are not there. An error is not
        // progress, so it must not shorten the distance.
        if (n <= 0)
            return -1;
        distance -= n;
    }
    return 0;
}

int32_t parseWavFmt(const char* path, WavFormat* format, uint32_t* dataOffset,
                    uint32_t* dataLength) {
    int32_t fd = openWavFile(path, 0);
    if (fd == kNoFile || format == nullptr || dataOffset == nullptr || dataLength == nullptr)
        return failParse(fd);
    if (iRead32BitsHighLow(fd) != WAV_RIFF)
        return failParse(fd);
    iRead32BitsLowHigh(fd);  // the RIFF size: the chunks themselves say where data lies
    if (iRead32BitsHighLow(fd) != WAV_WAVE)
        return failParse(fd);

    *dataOffset = 12;
    // A file cut short reads as zero bytes, i.e. as empty chunks with identifier 0; the bound on
    // chunk headers is what ends such a parse.
    for (int chunks = 0; chunks < WAV_MAX_CHUNKS; ++chunks) {
        uint32_t id = iRead32BitsHighLow(fd);
        *dataOffset += 4;
        int32_t size = static_cast<int32_t>(iRead32BitsLowHigh(fd));
        *dataOffset += 4;
        if (id == WAV_DATA) {
            *dataLength = static_cast<uint32_t>(size);
            closeWavFile(fd);
            // A "data" chunk before any "fmt " is judged by the caller's record as it stands.
            return format->formatTag == 1 ? 0 : -1;
        }
        if (id == WAV_FMT) {
            if (size < kFmtMinSize) {
                kxprintf("'fmt' chunk too short (only %ld bytes)!", static_cast<long>(size));
                return failParse(fd);
            }
            format->formatTag = iRead16BitsLowHigh(fd);
            format->channels = iRead16BitsLowHigh(fd);
            format->sampleRate = iRead32BitsLowHigh(fd);
            format->byteRate = iRead32BitsLowHigh(fd);
            format->blockAlign = iRead16BitsLowHigh(fd);
            format->bitsPerSample = iRead16BitsLowHigh(fd);
            *dataOffset += kFmtMinSize;
            if (size > kFmtMinSize) {
                if (fskip(fd, size - kFmtMinSize, WAV_SEEK_CUR) != 0)
                    return failParse(fd);
                *dataOffset += static_cast<uint32_t>(size - kFmtMinSize);
            }
        } else if (size > 0) {
            if (fskip(fd, size, WAV_SEEK_CUR) != 0)
                return failParse(fd);
            *dataOffset += static_cast<uint32_t>(size);
        }
        // A size of 0 or less is an empty body, with nothing to skip and no pad.
        if (size > 0) {
            if (skipPad(fd, size) != 0)
                return failParse(fd);
            *dataOffset += static_cast<uint32_t>(size & 1);
        }
    }
    return failParse(fd);
}

int32_t openWavFile(const char* path, uint32_t offset) {
    if (path == nullptr)
        return kNoFile;
    int32_t fd = kxopen(path, 0, 0);
    if (fd < 0)
        return kNoFile;
    // Not examined: a file that cannot be positioned is left at its start, and the first read
    // will tell the caller what it needs to know.
    kxlseek(fd, static_cast<int32_t>(offset), WAV_SEEK_SET);
    return fd;
}

int32_t closeWavFile(int32_t fd) {
    if (fd >= 0)
        kxclose(fd);
    return kNoFile;
}

int32_t resetWavFile(int32_t fd, uint32_t offset) {
    if (fd == kNoFile)
        return -1;
    return kxlseek(fd, static_cast<int32_t>(offset), WAV_SEEK_SET);
}

int32_t readWavFile(int32_t fd, uint8_t* buffer, int32_t size, uint32_t remaining, uint8_t fill) {
    if (fd == kNoFile || remaining == 0 || buffer == nullptr || size < 0)
        return -1;
    // Never past the sound's own data: whatever follows the "data" chunk in the file (a "LIST"
    // chunk, say) is not samples and must not be played. The rest of the block is silence.
    int32_t want = static_cast<uint32_t>(size) < remaining ? size : static_cast<int32_t>(remaining);
    int32_t n = kxread(fd, buffer, static_cast<uint32_t>(want));
    if (n < 0)
        return n;
    if (n < size)
        std::memset(buffer + n, fill, static_cast<size_t>(size - n));
    return n;
}

}  // namespace kx
