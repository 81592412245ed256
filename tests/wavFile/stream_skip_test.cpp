// SPDX-License-Identifier: Apache-2.0
// WAV reader: skipping forward where the file cannot seek (a FIFO fed by a writer thread), both
// directly and inside a header parse.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "tests/support/wavgen.h"
#include "wavFile/wavFile.h"

namespace {

using namespace kx;
using kxtest::Bytes;

// Feeds bytes into a FIFO from its own thread; the reader opens the FIFO with kxopen. The bytes
// stay well below a pipe's capacity, so the writer is done before the reader can close.
class FifoFeed {
  public:
    FifoFeed(const std::string& path, Bytes bytes) : path_(path) {
        EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
        writer_ = std::thread([this, bytes] {
            int fd = ::open(path_.c_str(), O_WRONLY);
            if (fd < 0)
                return;
            size_t done = 0;
            while (done < bytes.size()) {
                ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
                if (n <= 0)
                    break;
                done += static_cast<size_t>(n);
            }
            ::close(fd);
        });
    }
    ~FifoFeed() { writer_.join(); }

  private:
    std::string path_;
    std::thread writer_;
};

TEST(WavStreamSkip, ReadsForwardWhereSeekingFails) {
    kxtest::TempDir dir;
    Bytes bytes(9000);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 7);
    std::string path = dir.file("fifo");
    FifoFeed feed(path, bytes);
    int32_t fd = openWavFile(path.c_str(), 0);
    ASSERT_GE(fd, 0);
    struct Step {
        const char* name;
        int32_t distance;
        int32_t whence;
        int32_t result;
        size_t next;  // position of the next byte read afterwards
    };
    const Step steps[] = {
        {"several scratch blocks", 5000, WAV_SEEK_CUR, 0, 5000},
        {"zero distance", 0, WAV_SEEK_CUR, 0, 5001},
        {"backwards", -1, WAV_SEEK_CUR, -1, 5002},
        {"from the start", 6000, WAV_SEEK_SET, -1, 5003},
        {"one byte", 1, WAV_SEEK_CUR, 0, 5005},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(fskip(fd, s.distance, s.whence), s.result);
        EXPECT_EQ(iReadByteUnsigned(fd), bytes[s.next]);
    }
    EXPECT_EQ(fskip(fd, 5000, WAV_SEEK_CUR), -1) << "the writer closed before 5000 more bytes";
    closeWavFile(fd);
}

TEST(WavStreamSkip, ParsesAHeaderFromAFifo) {
    kxtest::TempDir dir;
    kxtest::WavLayout layout;
    layout.fmtSize = 20;
    layout.before = {{"LIST", Bytes(5001, 'l')}};
    layout.data = Bytes(64, 3);
    std::string path = dir.file("fifo");
    FifoFeed feed(path, buildWav(layout));
    WavFormat format{};
    uint32_t offset = 0;
    uint32_t length = 0;
    EXPECT_EQ(parseWavFmt(path.c_str(), &format, &offset, &length), 0);
    EXPECT_EQ(offset, 12u + 8 + 20 + 8 + 5001 + 1 + 8);
    EXPECT_EQ(length, 64u);
    EXPECT_EQ(format.sampleRate, 44100u);
}

}  // namespace
