// SPDX-License-Identifier: Apache-2.0
// Output sinks: a WAV file that an independent reader (Python's wave module) accepts with the
// recorded samples, memory and descriptor sinks that give the same bytes, write errors, and ALSA
// where the build has it.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/devices/hda_protocol.h"
#include "tests/device/device_support.h"
#include "tests/support/wavgen.h"

namespace {

using kxdev::Descriptor;
using kxdev::DeviceTest;
using kxdev::HdaHandle;

constexpr uint32_t kFrames = 300;

class SinkTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        kx::hdaSetFramesPerPeriod(kFrames);
        desc = Descriptor::stereo();
        ASSERT_EQ(hda.control(kx::IOCTL_STREAM_OPEN, desc.bytes), 0);
    }

    // Writes `count` periods of noise seeded by `seed` and returns the bytes they hold.
    std::vector<uint8_t> writePeriods(int count, uint32_t seed) {
        std::vector<uint8_t> all;
        for (int i = 0; i < count; ++i) {
            std::vector<int16_t> samples = kxtest::noiseSamples(kFrames, seed + i);
            desc.setBuffer(samples.data());
            EXPECT_EQ(hda.control(kx::IOCTL_STREAM_WRITE, desc.bytes), 0);
            std::vector<uint8_t> bytes = kxtest::samplesToBytes(samples);
            all.insert(all.end(), bytes.begin(), bytes.end());
        }
        return all;
    }

    // Reads a WAV file with Python's wave module, checking the format and the frame count,
    // and returns the frames' bytes (empty with a failure when Python refuses the file).
    std::vector<uint8_t> readWithPython(const std::string& wav, size_t frames) {
        std::string out = dir.file("frames.raw");
        std::string command =
            "python3 -c \"import sys, wave\n"
            "w = wave.open(sys.argv[1], 'rb')\n"
            "ok = (w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getcomptype()) == "
            "(2, 2, 44100, 'NONE') and w.getnframes() == int(sys.argv[3])\n"
            "open(sys.argv[2], 'wb').write(w.readframes(w.getnframes()))\n"
            "sys.exit(0 if ok else 3)\" '" +
            wav + "' '" + out + "' " + std::to_string(frames);
        int status = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
        return kxtest::readFile(out);
    }

    kxtest::TempDir dir;
    HdaHandle hda;
    Descriptor desc;
};

TEST_F(SinkTest, WavFileIsReadByAnIndependentReader) {
    std::string wav = dir.file("out.wav");
    ASSERT_TRUE(kx::hdaSinkWavFile(wav));
    std::vector<uint8_t> written = writePeriods(3, 11);
    EXPECT_TRUE(kx::hdaCaptured().empty()) << "the file sink takes the periods";
    ASSERT_TRUE(kx::hdaCloseSink());
    EXPECT_EQ(readWithPython(wav, 3 * kFrames), written);

    kxtest::Bytes file = kxtest::readFile(wav);
    ASSERT_EQ(file.size(), 44 + written.size());
    auto le32 = [&](size_t at) {
        return file[at] | file[at + 1] << 8 | file[at + 2] << 16 | file[at + 3] << 24;
    };
    EXPECT_EQ(le32(4), static_cast<int>(36 + written.size()));
    EXPECT_EQ(le32(40), static_cast<int>(written.size()));
}

TEST_F(SinkTest, AnEmptyWavFileIsStillValid) {
    std::string wav = dir.file("empty.wav");
    ASSERT_TRUE(kx::hdaSinkWavFile(wav));
    ASSERT_TRUE(kx::hdaCloseSink());
    EXPECT_TRUE(readWithPython(wav, 0).empty());
}

TEST_F(SinkTest, ChoosingAnotherSinkFinishesTheWavFile) {
    std::string first = dir.file("first.wav");
    ASSERT_TRUE(kx::hdaSinkWavFile(first));
    std::vector<uint8_t> written = writePeriods(1, 5);
    kx::hdaSinkMemory();
    std::vector<uint8_t> later = writePeriods(1, 6);
    EXPECT_EQ(kx::hdaCaptured(), later);
    EXPECT_EQ(readWithPython(first, kFrames), written);
}

TEST_F(SinkTest, MemoryAndDescriptorSinksGiveTheSameBytes) {
    std::vector<uint8_t> expected = writePeriods(4, 99);
    EXPECT_EQ(kx::hdaCaptured(), expected);

    std::string raw = dir.file("out.raw");
    int fd = ::open(raw.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    kx::hdaSinkFd(fd);
    EXPECT_TRUE(kx::hdaCaptured().empty()) << "choosing a sink empties the memory";
    writePeriods(4, 99);
    ASSERT_TRUE(kx::hdaCloseSink());
    EXPECT_NE(::fcntl(fd, F_GETFD), -1) << "the descriptor stays the caller's";
    ::close(fd);
    EXPECT_EQ(kxtest::readFile(raw), expected);
}

TEST_F(SinkTest, AFullWriterBufferIsCountedAndLosesNothing) {
    // A pipe that nobody reads yet: its writer stalls, the ring behind it fills, and a period
    // then finds no room. It waits for room and is counted; once the pipe is read, every byte
    // comes out in order.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
    ASSERT_TRUE(kx::hdaSinkFd(fds[1]));
    constexpr int kPeriods = 2000;  // 2.3 MiB: more than the ring and the pipe hold
    std::vector<uint8_t> written;
    std::thread mixer([&] { written = writePeriods(kPeriods, 7); });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (kx::hdaStats().outputOverruns == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GE(kx::hdaStats().outputOverruns, 1u) << "the full ring was counted";

    std::vector<uint8_t> received;
    uint8_t chunk[65536];
    while (received.size() < static_cast<size_t>(kPeriods) * kFrames * 4) {
        ssize_t n = ::read(fds[0], chunk, sizeof chunk);
        ASSERT_GT(n, 0);
        received.insert(received.end(), chunk, chunk + n);
    }
    mixer.join();
    EXPECT_TRUE(kx::hdaCloseSink());
    ::close(fds[1]);
    ::close(fds[0]);
    EXPECT_EQ(received, written);
    EXPECT_EQ(kx::hdaStats().outputOverruns, 0u) << "closing the sink clears the count";
}

TEST_F(SinkTest, WriteErrorsAreReportedWhenTheSinkCloses) {
    int fd = ::open(dir.write("readonly", {}).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    kx::hdaSinkFd(fd);
    writePeriods(1, 1);
    EXPECT_EQ(kx::hdaStats().periods, 1u) << "the driver's write succeeds regardless";
    EXPECT_FALSE(kx::hdaCloseSink());
    EXPECT_TRUE(kx::hdaCloseSink()) << "the memory sink it fell back to is sound";
    ::close(fd);
}

TEST_F(SinkTest, UncreatableWavFileLeavesTheMemorySink) {
    EXPECT_FALSE(kx::hdaSinkWavFile(dir.file("no/such/dir/out.wav")));
    std::vector<uint8_t> written = writePeriods(1, 3);
    EXPECT_EQ(kx::hdaCaptured(), written);
}

TEST_F(SinkTest, AlsaOpensOnlyWhereBuiltAndOnlyRealDevices) {
    if (!kx::hdaHasAlsa()) {
        EXPECT_FALSE(kx::hdaSinkAlsa("default"));
    } else {
        EXPECT_FALSE(kx::hdaSinkAlsa("kx_no_such_pcm_device"));
    }
    std::vector<uint8_t> written = writePeriods(1, 4);
    EXPECT_EQ(kx::hdaCaptured(), written) << "a failed choice leaves memory";
}

}  // namespace
