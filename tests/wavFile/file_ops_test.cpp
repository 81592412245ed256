// SPDX-License-Identifier: Apache-2.0
// WAV reader: the file operations of a playing sound (open at an offset, rewind, read a block
// with fill, close), the byte readers, and failing file calls.
#include <gtest/gtest.h>

#include <numeric>

#include "platform/fault.h"
#include "platform/files/kxfile_host.h"
#include "tests/support/wavgen.h"
#include "wavFile/wavFile.h"

namespace {

using namespace kx;
using kxtest::Bytes;

class WavFileOps : public ::testing::Test {
  protected:
    void SetUp() override {
        faultClearAll();
        bytes.resize(1000);
        std::iota(bytes.begin(), bytes.end(), 0);  // byte k holds k mod 256
        path = dir.write("ramp.raw", bytes);
    }
    void TearDown() override { faultClearAll(); }

    kxtest::TempDir dir;
    Bytes bytes;
    std::string path;
};

TEST_F(WavFileOps, ReadStopsAtTheDataAndFillsTheRest) {
    struct Case {
        const char* name;
        uint32_t offset;
        int32_t size;
        uint32_t remaining;
        uint8_t fill;
        int32_t result;
    };
    const Case cases[] = {
        {"whole block", 0, 400, 1000, 0x00, 400},
        {"file ends: 100 left, size 400", 900, 400, 1000, 0x80, 100},
        {"data ends before the file", 100, 400, 150, 0x00, 150},
        {"data ends, 8-bit fill", 100, 400, 1, 0x80, 1},
        {"at the very end", 1000, 64, 5, 0x80, 0},
        {"remaining 0", 0, 64, 0, 0x80, -1},
        // A count is unsigned: a "data" chunk may declare up to 4 GiB, and what is there plays.
        {"remaining 2 GiB", 0, 64, 0x80000000, 0x80, 64},
        {"remaining 4 GiB - 1, file ends", 950, 64, 0xFFFFFFFF, 0x80, 50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int32_t fd = openWavFile(path.c_str(), c.offset);
        ASSERT_GE(fd, 0);
        Bytes buffer(c.size + 8, 0x55);  // 8 guard bytes past size
        faultClear(Fault::FileRead);
        EXPECT_EQ(readWavFile(fd, buffer.data(), c.size, c.remaining, c.fill), c.result);
        if (c.result < 0) {
            EXPECT_EQ(faultCalls(Fault::FileRead), 0u) << "no read is made";
        }
        for (int32_t i = 0; i < c.size + 8; ++i) {
            uint8_t want = i >= c.size    ? 0x55
                           : c.result < 0 ? 0x55
                           : i < c.result ? static_cast<uint8_t>(c.offset + i)
                                          : c.fill;
            ASSERT_EQ(buffer[i], want) << "byte " << i;
        }
        // The file is left just behind what was read.
        if (c.result > 0 && c.offset + c.result < bytes.size()) {
            EXPECT_EQ(iReadByteUnsigned(fd), static_cast<uint8_t>(c.offset + c.result));
        }
        closeWavFile(fd);
    }
}

TEST_F(WavFileOps, OpenRewindAndCloseAndNoFileMakesNoCall) {
    int open = kxOpenFiles();
    int32_t fd = openWavFile(path.c_str(), 300);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(iReadByteUnsigned(fd), 300 % 256);
    EXPECT_EQ(resetWavFile(fd, 44), 44);
    EXPECT_EQ(iReadByteUnsigned(fd), 44);
    EXPECT_EQ(closeWavFile(fd), -1);
    EXPECT_EQ(kxOpenFiles(), open);

    EXPECT_EQ(openWavFile(nullptr, 0), -1);
    EXPECT_EQ(openWavFile(dir.file("absent").c_str(), 0), -1);
    faultClearAll();
    uint8_t buffer[4] = {9, 9, 9, 9};
    EXPECT_EQ(closeWavFile(-1), -1);
    EXPECT_EQ(resetWavFile(-1, 10), -1);
    EXPECT_EQ(readWavFile(-1, buffer, 4, 100, 0), -1);
    EXPECT_EQ(iReadByteUnsigned(-1), 0);
    EXPECT_EQ(fskip(-1, 4, WAV_SEEK_CUR), -1);
    EXPECT_EQ(faultCalls(Fault::FileRead) + faultCalls(Fault::FileSeek), 0u);
    EXPECT_EQ(buffer[0], 9);
    EXPECT_EQ(kxOpenFiles(), open);
}

TEST_F(WavFileOps, ByteReadersTakeFileOrderAndCountMissingBytesAsZero) {
    struct Case {
        const char* name;
        Bytes file;
        uint32_t (*read)(int32_t);
        uint32_t value;
    };
    const Case cases[] = {
        {"16 low-high",
         {0x34, 0x12},
         [](int32_t fd) -> uint32_t { return iRead16BitsLowHigh(fd); },
         0x1234},
        {"32 low-high", {0x78, 0x56, 0x34, 0x12}, iRead32BitsLowHigh, 0x12345678},
        {"32 high-low", {'d', 'a', 't', 'a'}, iRead32BitsHighLow, WAV_DATA},
        {"32 low-high, 3 bytes", {0xAA, 0xBB, 0xCC}, iRead32BitsLowHigh, 0x00CCBBAA},
        {"32 high-low, 1 byte", {0xAA}, iRead32BitsHighLow, 0xAA000000},
        {"16 low-high, empty",
         {},
         [](int32_t fd) -> uint32_t { return iRead16BitsLowHigh(fd); },
         0},
        {"byte", {0xFE}, [](int32_t fd) -> uint32_t { return iReadByteUnsigned(fd); }, 0xFE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int32_t fd = openWavFile(dir.write("b", c.file).c_str(), 0);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(c.read(fd), c.value);
        closeWavFile(fd);
    }
}

TEST_F(WavFileOps, FailingFileCalls) {
    // A failed read is returned as it is, with nothing filled.
    int32_t fd = openWavFile(path.c_str(), 0);
    ASSERT_GE(fd, 0);
    uint8_t buffer[16];
    std::fill(std::begin(buffer), std::end(buffer), 0x55);
    faultArm(Fault::FileRead, 1);
    EXPECT_LT(readWavFile(fd, buffer, 16, 100, 0x80), 0);
    EXPECT_EQ(buffer[0], 0x55);
    EXPECT_EQ(buffer[15], 0x55);
    // A failed byte read counts as 0, and the next byte comes from where the file stood.
    ASSERT_EQ(resetWavFile(fd, 5), 5);
    faultArm(Fault::FileRead, 1);
    EXPECT_EQ(iRead16BitsLowHigh(fd), 0x0500);

    // A failed seek: reset reports it, open ignores it and leaves the file at its start.
    faultArm(Fault::FileSeek, 1, true);
    EXPECT_LT(resetWavFile(fd, 10), 0);
    closeWavFile(fd);
    fd = openWavFile(path.c_str(), 500);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(iReadByteUnsigned(fd), 0);
    // Forward skips still work by reading; a failing read ends the skip without progress.
    EXPECT_EQ(fskip(fd, 9, WAV_SEEK_CUR), 0);
    EXPECT_EQ(iReadByteUnsigned(fd), 10);
    faultArm(Fault::FileRead, 1);
    EXPECT_EQ(fskip(fd, 100, WAV_SEEK_CUR), -1);
    EXPECT_EQ(iReadByteUnsigned(fd), 11);
    EXPECT_EQ(fskip(fd, 1000, WAV_SEEK_CUR), -1) << "the end of the file ends the skip";
    closeWavFile(fd);

    // A parse that must skip fmt's extra bytes still succeeds through reading.
    kxtest::WavLayout layout;
    layout.fmtSize = 18;
    layout.data = Bytes(4, 0);
    WavFormat format{};
    uint32_t offset = 0;
    uint32_t length = 0;
    EXPECT_EQ(parseWavFmt(dir.write("s.wav", buildWav(layout)).c_str(), &format, &offset, &length),
              0);
    EXPECT_EQ(offset, 46u);
    faultClearAll();
    faultArm(Fault::FileRead, 5, true);
    EXPECT_EQ(parseWavFmt(dir.file("s.wav").c_str(), &format, &offset, &length), -1);
}

}  // namespace
