// SPDX-License-Identifier: Apache-2.0
// kxplay --live as a user drives it: commands written into its standard input one at a time,
// each written only once the log shows the one before it, checked in the log and in the output,
// where each sound must begin at a period at or after the one its command ran at. Ctrl-C stops a
// live session at once, with the output finished. Every wait is on the program's own output,
// with a generous bound; the test never sleeps.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/kxplay/kxplay_run.h"
#include "tests/support/wavgen.h"

namespace {

constexpr uint32_t kFrames = 256;

using Live = kxplaytest::KxplayProcess;

// A stereo file with noise in one channel and silence in the other.
std::vector<int16_t> oneSided(uint32_t frames, uint32_t seed, bool left) {
    std::vector<int16_t> samples = kxtest::noiseSamples(frames, seed);
    for (uint32_t i = 0; i < frames; ++i)
        samples[2 * i + (left ? 1 : 0)] = 0;
    return samples;
}

// The frame at which `sound`'s channel appears whole in `output`'s, or -1.
long findSound(const std::vector<int16_t>& output, const std::vector<int16_t>& sound, int channel) {
    size_t frames = sound.size() / 2;
    for (size_t start = 0; start + frames <= output.size() / 2; ++start) {
        size_t i = 0;
        while (i < frames && output[2 * (start + i) + channel] == sound[2 * i + channel])
            ++i;
        if (i == frames)
            return static_cast<long>(start);
    }
    return -1;
}

uint64_t periodOfLine(const std::string& log, const std::string& fragment) {
    for (const std::string& line : kxplaytest::linesStartingWith(log, "p"))
        if (line.find(fragment) != std::string::npos)
            return std::stoull(line.substr(1, line.find(' ') - 1));
    ADD_FAILURE() << "no log line holds " << fragment << "\n" << log;
    return 0;
}

TEST(KxplayLive, EachLineRunsAsItArrivesAndIsHeardFromThen) {
    kxtest::TempDir dir;
    std::vector<int16_t> a = oneSided(3000, 11, true);
    std::vector<int16_t> b = oneSided(2500, 12, false);
    dir.write("a.wav", kxtest::canonicalWav(a));
    dir.write("b.wav", kxtest::canonicalWav(b));
    dir.write("first.scene",
              kxtest::Bytes{'s', 'o', 'u', 'n', 'd', ' ', 'a', ' ', 'a', '.', 'w', 'a', 'v', '\n'});

    Live live(dir.path(), {"--live", "--script", "first.scene", "-o", "out.wav", "--frames",
                           std::to_string(kFrames), "--timeline", "live.svg"});
    ASSERT_GT(live.pid, 0);
    struct Step {
        const char* line;
        const char* logged;  // what standard error shows once the line has been taken
    };
    const Step steps[] = {
        {"sound b b.wav", "sound b b.wav -> 0 OK"},
        {"at 1 play a", "<stdin>:2: live input runs each command as soon as its line is complete"},
        {"plya a", "<stdin>:3: expected a command"},
        {"play a", "play a -> 0 OK"},
        {"volume 101", "volume 101 -> -30478 SND_ERR_RANGE"},
        {"play b  # a comment", "play b -> 0 OK"},
    };
    ASSERT_TRUE(live.waitFor("sound a a.wav -> 0 OK")) << live.err;
    for (const Step& step : steps) {
        live.write(step.line);
        ASSERT_TRUE(live.waitFor(step.logged)) << step.line << "\n" << live.err;
    }
    live.write("end");
    live.write("play a");  // after end: never read
    EXPECT_EQ(live.finish(), 0) << live.err;

    EXPECT_EQ(kxplaytest::linesStartingWith(live.err, "p").size(), 5u) << live.err;
    uint64_t playA = periodOfLine(live.err, "play a -> 0 OK");
    uint64_t playB = periodOfLine(live.err, "play b -> 0 OK");
    EXPECT_GE(playB, playA);

    // Each sound is heard whole, from a period boundary at or after the one its command ran at;
    // the session ended only once both had ended.
    kxtest::Bytes bytes = kxtest::readFile(dir.file("out.wav"));
    ASSERT_GT(bytes.size(), 44u);
    std::vector<int16_t> output =
        kxtest::bytesToSamples(kxtest::Bytes(bytes.begin() + 44, bytes.end()));
    long startA = findSound(output, a, 0);
    long startB = findSound(output, b, 1);
    ASSERT_GE(startA, 0) << "a is not in the output whole";
    ASSERT_GE(startB, 0) << "b is not in the output whole";
    EXPECT_EQ(startA % kFrames, 0);
    EXPECT_EQ(startB % kFrames, 0);
    EXPECT_GE(static_cast<uint64_t>(startA) / kFrames, playA + 1);
    EXPECT_GE(static_cast<uint64_t>(startB) / kFrames, playB + 1);

    // The timeline holds the live commands, each with its log line.
    std::string svg = kxplaytest::readText(dir.file("live.svg"));
    EXPECT_NE(svg.find("<title>p" + std::to_string(playB) + " play b -&gt; 0 OK</title>"),
              std::string::npos);
}

TEST(KxplayLive, CtrlCStopsALoopAtOnceAndFinishesTheOutput) {
    kxtest::TempDir dir;
    dir.write("a.wav", kxtest::canonicalWav(kxtest::noiseSamples(2000, 5)));
    Live live(dir.path(), {"--live", "-o", "out.wav", "--frames", std::to_string(kFrames)});
    ASSERT_GT(live.pid, 0);
    live.write("sound a a.wav");
    live.write("play a loop");
    ASSERT_TRUE(live.waitFor("play a loop -> 0 OK")) << live.err;
    kill(live.pid, SIGINT);
    EXPECT_EQ(live.finish(), 130) << live.err;
    EXPECT_NE(live.err.find("interrupted"), std::string::npos) << live.err;
    // The WAV header was finished: its data size is what the file holds.
    kxtest::Bytes bytes = kxtest::readFile(dir.file("out.wav"));
    ASSERT_GT(bytes.size(), 44u);
    uint32_t dataSize = bytes[40] | bytes[41] << 8 | bytes[42] << 16 | uint32_t(bytes[43]) << 24;
    EXPECT_EQ(dataSize, bytes.size() - 44);
}

// A sound whose file is removed between its `sound` and its `play` cannot be played: that is a
// failed file, said and counted in the exit status even under -q, which hides only the log.
TEST(KxplayLive, AFileRemovedBeforeItsPlayFailsTheRunEvenWhenQuiet) {
    kxtest::TempDir dir;
    dir.write("a.wav", kxtest::canonicalWav(kxtest::noiseSamples(2000, 5)));
    int watch = inotify_init();
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, dir.file("a.wav").c_str(), IN_ACCESS | IN_CLOSE_NOWRITE), 0);
    Live live(dir.path(), {"--live", "-q", "-o", "out.wav"});
    ASSERT_GT(live.pid, 0);
    live.write("sound a a.wav");
    // The sound is made once kxaudio has read the header and closed the file: a read, then a
    // close (an open that reads nothing comes first).
    bool headerRead = false, made = false;
    for (struct pollfd p = {watch, POLLIN, 0};
         !made && poll(&p, 1, kxplaytest::kProcessBoundMs) == 1;) {
        alignas(inotify_event) char events[4096];
        ssize_t n = ::read(watch, events, sizeof events);
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(events + at);
            headerRead = headerRead || (e->mask & IN_ACCESS) != 0;
            made = made || (headerRead && (e->mask & IN_CLOSE_NOWRITE) != 0);
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
    close(watch);
    ASSERT_TRUE(made) << "the header was never read";
    ASSERT_EQ(std::remove(dir.file("a.wav").c_str()), 0);
    live.write("play a");
    live.closeInput();
    EXPECT_EQ(live.finish(), 1) << live.err;
    EXPECT_NE(live.err.find("sound 'a' not played: kxaudio could not reopen its file"),
              std::string::npos)
        << live.err;
}

}  // namespace
