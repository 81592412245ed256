// SPDX-License-Identifier: Apache-2.0
// Sound files that turn hostile: cut short, removed or replaced while they play, lying about
// their size, a FIFO, a directory, a file that may not be read. Each gives a clear status or
// ends the sound early; the driver never receives anything but the file's samples and silence.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>

#include "platform/files/kxfile_host.h"
#include "tests/reliability/listen.h"
#include "tests/support/engine_fixture.h"

namespace kxtest {
namespace {

using kx::SND_PLAYING;
using kx::SND_STOPPED;

constexpr int kBound = 40;  // periods a sound gets to end by itself
// Periods read from the file after a play and two periods: two mixed, four queued.
constexpr int kReadAfterTwo = 2 + static_cast<int>(kx::QUEUE_PERIODS);

class HostileFiles : public EngineTest {
  protected:
    // Plays and steps until the sound stops by itself or the bound runs out; returns the status
    // of the play and leaves first at the first period that belongs to it.
    int32_t play(kx::SoundHandle h, uint32_t loop = 0) {
        first = m.periods();
        return m.ops().sndPlay(h, 0, loop);
    }
    void runToEnd(kx::SoundHandle h) {
        for (int i = 0; i < kBound && soundState(h) != SND_STOPPED; ++i)
            m.step();
    }
    // Every period heard is the next slice of data, the last possibly cut short by silence.
    void expectHeard(const std::vector<int16_t>& data, int slices) {
        std::vector<int> heard = heardSlices(m, first, data, true);
        EXPECT_EQ(sliceList(heard), sliceList(firstSlices(slices)));
    }

    size_t first = 0;
};

// Cut short while it plays: what was already read is heard, then the sound ends (a looping one
// goes on with silence). Nothing past the cut is invented.
TEST_F(HostileFiles, TruncatedWhilePlaying) {
    const uint32_t periodBytes = kFrames * 4;
    struct Case {
        const char* name;
        off_t keep;  // file bytes left after the cut
        bool loop;
        int heard;  // periods heard in all
    };
    const Case cases[] = {
        {"in the data, past the read-ahead", 44 + 9 * periodBytes + periodBytes / 2, false, 10},
        {"in the data, within the read-ahead", 44 + 3 * periodBytes, false, kReadAfterTwo},
        {"to its header", 44, false, kReadAfterTwo},
        {"to nothing", 0, false, kReadAfterTwo},
        {"looping, to its header", 44, true, kReadAfterTwo},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int16_t> data = rampSamples(20 * kFrames, 3, 1);
        std::string name = "cut" + std::to_string(n++) + ".wav";
        kx::SoundHandle h = sound(name, data);
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(play(h, c.loop), kx::SND_OK);
        m.step(2);
        ASSERT_EQ(truncate(dir.file(name).c_str(), c.keep), 0);
        runToEnd(h);
        expectHeard(data, c.heard);
        if (c.loop) {
            // Each pass through the vanished data yields a block of silence: the loader does not
            // spin (every step above reached a quiet engine) and the sound plays on until stopped.
            EXPECT_EQ(soundState(h), SND_PLAYING);
            EXPECT_EQ(m.ops().sndStop(h), kx::SND_OK);
        }
        EXPECT_EQ(soundState(h), SND_STOPPED);
        EXPECT_EQ(kx::kxOpenFiles(), 0);
        EXPECT_EQ(blockInvariant(), "");
        EXPECT_EQ(m.ops().sndDelete(h), kx::SND_OK);
    }
}

// Removed while it plays: the open file plays on, and a restart rewinds it; once stopped, the
// sound's file is gone and a play says so.
TEST_F(HostileFiles, RemovedWhilePlaying) {
    std::vector<int16_t> data = rampSamples(6 * kFrames + 9, 11, 2);
    kx::SoundHandle h = sound("gone.wav", data);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(play(h), kx::SND_OK);
    m.step(2);
    ASSERT_EQ(std::remove(dir.file("gone.wav").c_str()), 0);
    runToEnd(h);
    expectHeard(data, 7);

    ASSERT_EQ(play(h), kx::SND_ERR_FILE) << "the file cannot be opened again";
    EXPECT_EQ(soundState(h), SND_STOPPED);
    EXPECT_EQ(kx::kxOpenFiles(), 0);

    kx::SoundHandle g = sound("gone2.wav", data);
    ASSERT_EQ(play(g), kx::SND_OK);
    m.step(3);
    ASSERT_EQ(std::remove(dir.file("gone2.wav").c_str()), 0);
    ASSERT_EQ(play(g), kx::SND_OK) << "a restart rewinds the open file";
    runToEnd(g);
    expectHeard(data, 7);
    EXPECT_EQ(blockInvariant(), "");
}

// A "data" size larger than the file: the samples there are heard, then the sound ends at the
// file's end, up to the largest size a header can declare (writers streaming to a pipe declare
// 0xFFFFFFFF).
TEST_F(HostileFiles, DataSizeBeyondTheFile) {
    std::vector<int16_t> data = rampSamples(5 * kFrames + kFrames / 2, 7, 1);
    struct Case {
        const char* name;
        int64_t size;
        int heard;
    };
    const Case cases[] = {
        {"a little more", static_cast<int64_t>(data.size() * 2 + 1000), 6},
        {"almost 2 GiB", 0x7FFFFFF0, 6},
        {"2 GiB", 0x80000000, 6},
        {"top bit set", 0xFFFFFFF0, 6},
        {"streamed: 4 GiB - 1", 0xFFFFFFFF, 6},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WavLayout layout;
        layout.data = samplesToBytes(data);
        layout.dataSizeOverride = c.size;
        kx::SoundHandle h = sound("big" + std::to_string(n++) + ".wav", buildWav(layout));
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(play(h), kx::SND_OK);
        runToEnd(h);
        EXPECT_EQ(soundState(h), SND_STOPPED);
        expectHeard(data, c.heard);
        EXPECT_EQ(blockInvariant(), "");
    }
}

// Runs a call that must not hang on another thread; if it is still running after the bound, the
// test fails and `unstick` is called to free it.
template <class Call>
int32_t withinBound(Call call, const std::function<void()>& unstick) {
    std::packaged_task<int32_t()> task(call);
    std::future<int32_t> done = task.get_future();
    std::thread runner(std::move(task));
    if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "the call hung";
        unstick();
    }
    runner.join();
    return done.get();
}

// A FIFO blocks a reader's open until a writer comes: neither creation nor a play may hang on
// one; both report that the file cannot be opened.
TEST_F(HostileFiles, FifoAsASoundFile) {
    std::string path = dir.file("fifo.wav");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    auto unstick = [&] {
        int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
    };
    kx::SoundHandle h = nullptr;
    int32_t status = withinBound([&] { return m.ops().sndCreate(1, "fifo.wav", &h); }, unstick);
    EXPECT_EQ(status, kx::SND_ERR_FILE);
    EXPECT_EQ(h, nullptr);

    // A sound whose file is replaced by a FIFO between two plays.
    std::vector<int16_t> data = rampSamples(3 * kFrames, 5, 1);
    kx::SoundHandle s = sound("swapped.wav", data);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(std::rename(path.c_str(), dir.file("swapped.wav").c_str()), 0);
    path = dir.file("swapped.wav");
    status = withinBound([&] { return play(s); }, unstick);
    EXPECT_EQ(status, kx::SND_ERR_FILE);
    EXPECT_EQ(soundState(s), SND_STOPPED);
    m.step(2);
    expectHeard(data, 0);
    EXPECT_EQ(kx::kxOpenFiles(), 0);
    EXPECT_EQ(blockInvariant(), "");
}

// A directory opens on this platform, but nothing can be read from it: creation finds no WAV
// header, and a sound whose file became a directory ends at once, silent.
TEST_F(HostileFiles, DirectoryAsASoundFile) {
    ASSERT_TRUE(std::filesystem::create_directory(dir.file("folder.wav")));
    kx::SoundHandle h = nullptr;
    EXPECT_EQ(m.ops().sndCreate(1, "folder.wav", &h), kx::SND_ERR_FORMAT);
    EXPECT_EQ(h, nullptr);

    std::vector<int16_t> data = rampSamples(3 * kFrames, 5, 1);
    kx::SoundHandle s = sound("became.wav", data);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(std::remove(dir.file("became.wav").c_str()), 0);
    ASSERT_TRUE(std::filesystem::create_directory(dir.file("became.wav")));
    ASSERT_EQ(play(s), kx::SND_OK);
    runToEnd(s);
    EXPECT_EQ(soundState(s), SND_STOPPED);
    expectHeard(data, 0);
    EXPECT_EQ(kx::kxOpenFiles(), 0);
    EXPECT_EQ(blockInvariant(), "");
}

// A file without read permission cannot be opened, at creation or at a later play. Root may
// read any file, so there the same files simply play.
TEST_F(HostileFiles, FileWithoutReadPermission) {
    const bool root = geteuid() == 0;
    std::vector<int16_t> data = rampSamples(2 * kFrames, 9, 1);
    dir.write("locked.wav", canonicalWav(data));
    ASSERT_EQ(chmod(dir.file("locked.wav").c_str(), 0), 0);
    kx::SoundHandle h = nullptr;
    EXPECT_EQ(m.ops().sndCreate(1, "locked.wav", &h), root ? kx::SND_OK : kx::SND_ERR_FILE);

    kx::SoundHandle s = sound("later.wav", data);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(chmod(dir.file("later.wav").c_str(), 0), 0);
    EXPECT_EQ(play(s), root ? kx::SND_OK : kx::SND_ERR_FILE);
    runToEnd(s);
    EXPECT_EQ(soundState(s), SND_STOPPED);
    expectHeard(data, root ? 2 : 0);
    EXPECT_EQ(kx::kxOpenFiles(), 0);
    EXPECT_EQ(blockInvariant(), "");
}

}  // namespace
}  // namespace kxtest
