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

#include <chrono>
#include <string>
#include <vector>

#include "tests/kxplay/kxplay_run.h"
#include "tests/support/wavgen.h"

namespace {

constexpr int kBoundMs = 60000;  // sanitizer builds on a loaded machine
constexpr uint32_t kFrames = 256;

// kxplay started with pipes on its standard input and standard error.
struct Live {
    pid_t pid = -1;
    int input = -1;
    int errors = -1;
    std::string err;  // standard error so far

    Live(const std::string& dir, const std::vector<std::string>& args) {
        int in[2], er[2];
        if (pipe(in) != 0 || pipe(er) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            dup2(in[0], 0);
            dup2(er[1], 2);
            close(in[1]);
            close(er[0]);
            if (chdir(dir.c_str()) != 0)
                _exit(127);
            std::vector<char*> argv;
            std::string binary = KX_BINARY_DIR "/tools/kxplay";
            argv.push_back(binary.data());
            std::vector<std::string> copy = args;
            for (std::string& a : copy)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(er[1]);
        input = in[1];
        errors = er[0];
        signal(SIGPIPE, SIG_IGN);
    }
    ~Live() {
        if (input >= 0)
            close(input);
        if (errors >= 0)
            close(errors);
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    void write(const std::string& line) {
        std::string text = line + "\n";
        ASSERT_EQ(::write(input, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void closeInput() {
        close(input);
        input = -1;
    }

    // Reads standard error until it holds `text` (true) or ends or the bound passes (false).
    bool waitFor(const std::string& text) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
        while (err.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            struct pollfd p = {errors, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char buffer[4096];
            ssize_t n = read(errors, buffer, sizeof buffer);
            if (n <= 0)
                return false;
            err.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }

    // Reads standard error to its end, then returns the exit status (-1: not a normal exit).
    int finish() {
        waitFor(std::string(1, '\0'));  // never in the text: reads to the end or the bound
        int raw = 0;
        pid_t done = waitpid(pid, &raw, 0);
        pid = -1;
        return done > 0 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
};

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
    for (struct pollfd p = {watch, POLLIN, 0}; !made && poll(&p, 1, kBoundMs) == 1;) {
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
