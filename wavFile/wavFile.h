// SPDX-License-Identifier: Apache-2.0
// The WAV reader: parses a RIFF/WAVE PCM header into a format record, the file position of the
// first sample byte and the number of sample bytes, and offers the small file operations with
// which a sound's file is opened, positioned, read and closed. A descriptor of -1 means no file;
// every operation accepts it and then touches no file. Keeps no state between calls.
#pragma once

#include <cstdint>

namespace kx {

// The 16-byte format record, in the order of a "fmt " chunk's first 16 bytes.
struct WavFormat {
    uint16_t formatTag;      // 1 = PCM, the only tag accepted
    uint16_t channels;       // interleaved channels per frame
    uint32_t sampleRate;     // frames per second
    uint32_t byteRate;       // stored as read
    uint16_t blockAlign;     // stored as read
    uint16_t bitsPerSample;  // sample width
};
static_assert(sizeof(WavFormat) == 16, "the WAV format record is 16 bytes");

constexpr uint32_t WAV_RIFF = 0x52494646;  // "RIFF"
constexpr uint32_t WAV_WAVE = 0x57415645;  // "WAVE"
constexpr uint32_t WAV_FMT = 0x666D7420;   // "fmt "
constexpr uint32_t WAV_DATA = 0x64617461;  // "data"
constexpr int WAV_MAX_CHUNKS = 20;         // chunk headers read behind "WAVE" before giving up
constexpr int32_t WAV_SEEK_SET = 0;
constexpr int32_t WAV_SEEK_CUR = 1;

// 0 when a "data" chunk was found and the tag is PCM, else -1. Opens and closes the file itself.
// On success *dataOffset is the position of the first sample byte and *dataLength the "data"
// chunk's size; both are also written for a non-PCM tag. The pad byte behind an odd-sized chunk
// body is skipped and counted in the offset. A short "fmt " chunk prints
// "'fmt' chunk too short (only %ld bytes)!".
int32_t parseWavFmt(const char* path, WavFormat* format, uint32_t* dataOffset,
                    uint32_t* dataLength);
// Opens read-only and seeks to offset (the seek's result is not examined). -1 on failure.
int32_t openWavFile(const char* path, uint32_t offset);
// Closes unless -1; always returns -1, which callers store as the closed descriptor.
int32_t closeWavFile(int32_t fd);
// Seeks to offset: the new position, or negative on failure (-1 for descriptor -1).
int32_t resetWavFile(int32_t fd, uint32_t offset);
// Reads min(size, remaining) bytes into buffer and sets the rest of the size bytes to fill.
// Returns the count read (less than size at the end of the data or file), or -1 without reading
// when fd is -1, remaining is 0, buffer is null or size is negative; a failed read is returned
// negative with nothing filled. remaining is unsigned: a "data" chunk may declare up to 4 GiB
// (writers streaming to a pipe declare 0xFFFFFFFF), and every byte present is read.
int32_t readWavFile(int32_t fd, uint8_t* buffer, int32_t size, uint32_t remaining, uint8_t fill);
// Moves the position by distance as lseek does; where the seek fails and the move is forward
// from the current position, reads forward instead. 0 on success, -1 on failure.
int32_t fskip(int32_t fd, int32_t distance, int32_t whence);

// One byte per read call; a byte that cannot be read counts as 0.
uint8_t iReadByteUnsigned(int32_t fd);
uint16_t iRead16BitsLowHigh(int32_t fd);
uint32_t iRead32BitsLowHigh(int32_t fd);
uint32_t iRead32BitsHighLow(int32_t fd);

}  // namespace kx
