// SPDX-License-Identifier: Apache-2.0
// File calls: POSIX meaning of open, read, lseek and close, the count of descriptors kxopen
// handed out, and injected open, read and seek failures (by call and by descriptor).
#include <fcntl.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/fault.h"
#include "platform/files/kxfile.h"
#include "platform/files/kxfile_host.h"
#include "tests/support/wavgen.h"

namespace {

class FileIoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kx::faultClearAll();
        path = dir.write("ten.bin", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    }
    void TearDown() override { kx::faultClearAll(); }

    kxtest::TempDir dir;
    std::string path;
};

TEST_F(FileIoTest, ReadAndSeekHavePosixMeaning) {
    int32_t fd = kx::kxopen(path.c_str(), 0, 0);
    ASSERT_GE(fd, 0);
    uint8_t bytes[16] = {};
    EXPECT_EQ(kx::kxread(fd, bytes, 4), 4);
    EXPECT_EQ(bytes[3], 3);
    EXPECT_EQ(kx::kxlseek(fd, 2, SEEK_CUR), 6);
    EXPECT_EQ(kx::kxread(fd, bytes, 16), 4) << "a short read at the end";
    EXPECT_EQ(bytes[0], 6);
    EXPECT_EQ(kx::kxread(fd, bytes, 16), 0) << "end of file";
    EXPECT_EQ(kx::kxlseek(fd, -3, SEEK_END), 7);
    EXPECT_EQ(kx::kxlseek(fd, 0, SEEK_SET), 0);
    EXPECT_EQ(kx::kxlseek(fd, -1, SEEK_SET), -1);
    EXPECT_EQ(kx::kxlseek(fd, 0, 99), -1) << "an unknown whence";
    EXPECT_EQ(kx::kxclose(fd), 0);
    EXPECT_EQ(kx::kxread(fd, bytes, 1), -1) << "a closed descriptor";
    EXPECT_EQ(kx::kxclose(fd), -1);
}

TEST_F(FileIoTest, OpenFailsForMissingFilesAndHonoursFlags) {
    EXPECT_EQ(kx::kxopen(dir.file("missing").c_str(), 0, 0), -1);
    EXPECT_EQ(kx::kxopen(nullptr, 0, 0), -1);
    int32_t fd = kx::kxopen(dir.file("made").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::write(fd, "ab", 2), 2);
    EXPECT_EQ(kx::kxclose(fd), 0);
    EXPECT_EQ(kxtest::readFile(dir.file("made")), (kxtest::Bytes{'a', 'b'}));
}

TEST_F(FileIoTest, OnlyDescriptorsFromKxopenAreCounted) {
    int before = kx::kxOpenFiles();
    int32_t a = kx::kxopen(path.c_str(), 0, 0);
    int32_t b = kx::kxopen(path.c_str(), 0, 0);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_EQ(kx::kxOpenFiles(), before + 2);
    EXPECT_EQ(kx::kxopen(dir.file("missing").c_str(), 0, 0), -1);
    EXPECT_EQ(kx::kxOpenFiles(), before + 2) << "a failed open counts nothing";

    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    EXPECT_EQ(kx::kxclose(pipeEnds[0]), 0);
    EXPECT_EQ(kx::kxclose(pipeEnds[1]), 0);
    EXPECT_EQ(kx::kxOpenFiles(), before + 2) << "closing a foreign descriptor counts nothing";

    EXPECT_EQ(kx::kxclose(a), 0);
    EXPECT_EQ(kx::kxclose(a), -1);
    EXPECT_EQ(kx::kxOpenFiles(), before + 1) << "a second close counts nothing";
    EXPECT_EQ(kx::kxclose(b), 0);
    EXPECT_EQ(kx::kxOpenFiles(), before);
}

TEST_F(FileIoTest, InjectedFaultsFailTheArmedCallOnly) {
    struct Case {
        kx::Fault fault;
        int nth;
    };
    for (Case c : {Case{kx::Fault::FileOpen, 1}, Case{kx::Fault::FileRead, 2},
                   Case{kx::Fault::FileSeek, 3}}) {
        int before = kx::kxOpenFiles();
        kx::faultArm(c.fault, c.nth);
        std::vector<int32_t> results;
        for (int call = 1; call <= 4; ++call) {
            int32_t fd = -1;
            int32_t result;
            switch (c.fault) {
                case kx::Fault::FileOpen:
                    result = fd = kx::kxopen(path.c_str(), 0, 0);
                    break;
                case kx::Fault::FileRead: {
                    fd = kx::kxopen(path.c_str(), 0, 0);
                    uint8_t byte;
                    result = kx::kxread(fd, &byte, 1);
                    break;
                }
                default:
                    fd = kx::kxopen(path.c_str(), 0, 0);
                    result = kx::kxlseek(fd, 5, SEEK_SET);
                    break;
            }
            results.push_back(result < 0 ? -1 : 1);
            if (fd >= 0)
                kx::kxclose(fd);
        }
        std::vector<int32_t> expected(4, 1);
        expected[c.nth - 1] = -1;
        EXPECT_EQ(results, expected) << kx::faultName(c.fault);
        EXPECT_TRUE(kx::faultReached(c.fault));
        EXPECT_EQ(kx::kxOpenFiles(), before) << "an injected open failure opens nothing";
        kx::faultClear(c.fault);
    }
}

TEST_F(FileIoTest, StickyAndDescriptorFaults) {
    int32_t fd = kx::kxopen(path.c_str(), 0, 0);
    int32_t other = kx::kxopen(path.c_str(), 0, 0);
    ASSERT_GE(fd, 0);
    ASSERT_GE(other, 0);
    uint8_t byte;
    kx::faultArm(kx::Fault::FileRead, 2, true);
    EXPECT_EQ(kx::kxread(fd, &byte, 1), 1);
    EXPECT_EQ(kx::kxread(fd, &byte, 1), -1);
    EXPECT_EQ(kx::kxread(other, &byte, 1), -1) << "sticky: every call from the nth on";
    kx::faultClear(kx::Fault::FileRead);

    kx::faultArmFd(kx::Fault::FileSeek, fd);
    EXPECT_EQ(kx::kxlseek(fd, 1, SEEK_SET), -1);
    EXPECT_EQ(kx::kxlseek(other, 1, SEEK_SET), 1);
    EXPECT_EQ(kx::kxlseek(fd, 2, SEEK_SET), -1);
    kx::faultArmFd(kx::Fault::FileSeek, -1);
    EXPECT_EQ(kx::kxlseek(fd, 2, SEEK_SET), 2);

    kx::faultArmFd(kx::Fault::FileRead, other);
    EXPECT_EQ(kx::kxread(other, &byte, 1), -1);
    EXPECT_EQ(kx::kxread(fd, &byte, 1), 1);
    EXPECT_EQ(kx::kxclose(fd), 0);
    EXPECT_EQ(kx::kxclose(other), 0);
}

// Reads are served partly from a read-ahead; whatever the mix of small reads, large reads and
// seeks, every result and every byte must be what read(2) and lseek(2) give on the same file.
TEST_F(FileIoTest, ReadAheadIsInvisibleToAnyMixOfReadsAndSeeks) {
    kxtest::Bytes content(700);
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<uint8_t>(i * 7 + 3);
    std::string big = dir.write("big.bin", content);
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        int32_t fd = kx::kxopen(big.c_str(), 0, 0);
        int plain = ::open(big.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        ASSERT_GE(plain, 0);
        for (int op = 0; op < 60; ++op) {
            uint32_t kind = random() % 6;
            if (kind < 4) {  // small reads are most of a header parse
                uint32_t length = kind < 3 ? 1 + random() % 4 : 16 + random() % 200;
                uint8_t got[256] = {}, want[256] = {};
                ASSERT_EQ(kx::kxread(fd, got, length), ::read(plain, want, length)) << op;
                ASSERT_EQ(std::vector<uint8_t>(got, got + length),
                          std::vector<uint8_t>(want, want + length))
                    << op;
            } else {
                int whence = static_cast<int>(random() % 3);
                int32_t offset =
                    static_cast<int32_t>(random() % 120) - (whence == SEEK_SET ? 0 : 60);
                ASSERT_EQ(kx::kxlseek(fd, offset, whence), ::lseek(plain, offset, whence)) << op;
            }
        }
        kx::kxclose(fd);
        ::close(plain);
    }
}

// What runs ahead of the caller is bounded: a file cut after large reads ends where it was cut,
// and a pipe's bytes come in order across small and large reads and a failed seek.
TEST_F(FileIoTest, ReadAheadNeverRunsPastACutOrReordersAPipe) {
    std::string cut = dir.write("cut.bin", kxtest::Bytes(4096, 5));
    int32_t fd = kx::kxopen(cut.c_str(), 0, 0);
    ASSERT_GE(fd, 0);
    uint8_t block[1024];
    ASSERT_EQ(kx::kxread(fd, block, 2), 2);
    ASSERT_EQ(kx::kxread(fd, block, sizeof block), 1024);
    ASSERT_EQ(::truncate(cut.c_str(), 1100), 0);
    EXPECT_EQ(kx::kxread(fd, block, sizeof block), 1100 - 1026) << "only the bytes left";
    EXPECT_EQ(kx::kxread(fd, block, sizeof block), 0);
    kx::kxclose(fd);

    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    kxtest::Bytes sent(300);
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(::write(ends[1], sent.data(), sent.size()), 300);
    ::close(ends[1]);
    kxtest::Bytes got;
    uint8_t piece[128];
    for (uint32_t length : {1u, 3u, 100u, 2u}) {
        int32_t n = kx::kxread(ends[0], piece, length);
        ASSERT_GT(n, 0);
        got.insert(got.end(), piece, piece + n);
        EXPECT_EQ(kx::kxlseek(ends[0], 1, SEEK_CUR), -1) << "a pipe cannot seek";
    }
    for (int32_t n; (n = kx::kxread(ends[0], piece, sizeof piece)) > 0;)
        got.insert(got.end(), piece, piece + n);
    EXPECT_EQ(got, sent);
    kx::kxclose(ends[0]);
}

}  // namespace
