// SPDX-License-Identifier: Apache-2.0
// How a kxplay run ends when something goes wrong around it: inputs and options refused before
// the output is opened (so the output is left as it was), standard streams the caller closed,
// signals in every state of the run (a second one, a stop that hangs, an output nobody reads, a
// FIFO nobody opens), and an output that fails, fills up or loses its reader. Every output left
// behind has a header that says what the file holds. Waits are on the program's own words or
// its exit, with a generous bound; the only delay is the one kxplay's test hook puts in a stop.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/kxplay/kxplay_run.h"
#include "tests/support/wavgen.h"

namespace {

using kxplaytest::KxplayProcess;
using kxplaytest::KxplayRun;
using kxplaytest::runKxplay;
using kxplaytest::runShell;
using kxtest::Bytes;

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

uint32_t le32(const Bytes& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

// A WAV file kxplay left is true to itself: its sizes say what it holds, in whole frames, or
// both say 0xFFFFFFFF (a stream). Returns the data bytes, or -1 after a failure.
long checkHeader(const Bytes& wav, bool stream, const std::string& what) {
    if (wav.size() < 44) {
        ADD_FAILURE() << what << ": " << wav.size() << " bytes, not even a header";
        return -1;
    }
    uint32_t riff = le32(wav, 4), data = le32(wav, 40);
    if (stream) {
        EXPECT_EQ(riff, 0xFFFFFFFFu) << what;
        EXPECT_EQ(data, 0xFFFFFFFFu) << what;
        return static_cast<long>(wav.size() - 44);
    }
    EXPECT_EQ(data, wav.size() - 44) << what << ": the data size is not what the file holds";
    EXPECT_EQ(riff, data + 36) << what;
    EXPECT_EQ(data % 4, 0u) << what << ": not whole frames";
    return static_cast<long>(data);
}

uint64_t periodsRendered(const std::string& err) {
    std::smatch m;
    static const std::regex rendered("rendered ([0-9]+) periods");
    return std::regex_search(err, m, rendered) ? std::stoull(m[1]) : UINT64_MAX;
}

class KxplayStop : public ::testing::Test {
  protected:
    void SetUp() override {
        dir.write("t0.wav", kxtest::canonicalWav(kxtest::noiseSamples(3000, 1)));
        dir.write("long.wav", kxtest::canonicalWav(kxtest::noiseSamples(441000, 2)));
        dir.write("loop.scene", text("sound l long.wav\nplay l loop\n"));
        dir.write("keep.wav", kxtest::canonicalWav(kxtest::noiseSamples(500, 3)));
        kept = kxtest::readFile(dir.file("keep.wav"));
    }
    // True when keep.wav is as SetUp wrote it.
    bool keepIntact() const { return kxtest::readFile(dir.file("keep.wav")) == kept; }

    kxtest::TempDir dir;
    Bytes kept;
};

// Whatever is wrong with the inputs or the options is said before the output is opened, which
// would empty it: keep.wav, the output of every row, is left as it was.
TEST_F(KxplayStop, RefusalsComeBeforeTheOutputIsOpened) {
    ASSERT_EQ(link(dir.file("keep.wav").c_str(), dir.file("alias.wav").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo.wav").c_str(), 0600), 0);
    dir.write("self.scene", text("sound k keep.wav\nplay k\n"));
    dir.write("fifo.scene", text("sound f fifo.wav\nplay f\n"));
    struct Row {
        const char* args;
        int status;
        const char* says;
    };
    const Row rows[] = {
        {"-o keep.wav keep.wav", 1, "keep.wav: cannot be played: it is also the output"},
        {"-o keep.wav t0.wav alias.wav", 1, "alias.wav: cannot be played: it is also the output"},
        {"--script self.scene -o keep.wav", 1, "keep.wav: cannot be played: it is also the output"},
        {"-o keep.wav t0.wav nosuch.wav", 1, "nosuch.wav: cannot be read: no such file"},
        {"-o keep.wav fifo.wav", 1, "a pipe (FIFO), and kxaudio seeks in its files; copy it"},
        {"--script fifo.scene -o keep.wav", 1, "copy it to a regular file first"},
        {"--info -o keep.wav t0.wav", 2, "--info only reads its files and plays nothing"},
        {"--script /dev/zero -o keep.wav", 1, "/dev/zero: cannot be read: longer than 1 MiB"},
        {"--timeline nodir/t.svg -o keep.wav t0.wav", 1, "cannot write nodir/t.svg"},
    };
    for (const Row& row : rows) {
        KxplayRun run = runKxplay(dir.path(), row.args, "timeout -s KILL 120");
        EXPECT_EQ(run.status, row.status) << row.args << "\n" << run.err;
        EXPECT_NE(run.err.find(row.says), std::string::npos) << row.args << "\n" << run.err;
        EXPECT_TRUE(keepIntact()) << row.args << ": the output was touched";
    }
}

// Where this process may give a thread real-time priority, the threaded kernel's tasks at
// real-time priorities on one processor would hang (a polling task keeps the processor from the
// lower ones): refused with the reason. On several processors they run to the end.
TEST_F(KxplayStop, RealTimePrioritiesOnOneProcessorAreRefused) {
    bool allowed = false;
    std::thread probe([&] {
        sched_param p{};
        p.sched_priority = 1;
        allowed = pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0;
    });
    probe.join();
    if (!allowed)
        GTEST_SKIP() << "this process may not use SCHED_FIFO, so --rt-sched changes nothing here";
    const char* refused[] = {"--realtime --one-cpu --rt-sched -o keep.wav t0.wav",
                             "--fast --kernel threads --rt-sched -o keep.wav t0.wav"};
    for (const char* args : refused) {
        KxplayRun run = runKxplay(dir.path(), args, "timeout -s KILL 120");
        EXPECT_EQ(run.status, 2) << args << "\n" << run.err;
        EXPECT_NE(run.err.find("--rt-sched with the tasks on one processor"), std::string::npos)
            << args << "\n"
            << run.err;
        EXPECT_NE(run.err.find("drop --rt-sched"), std::string::npos) << run.err;
        EXPECT_TRUE(keepIntact()) << args;
    }
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 1) {
        KxplayRun run = runKxplay(dir.path(), "-q --realtime --rt-sched -o rt.wav t0.wav",
                                  "timeout -s KILL 120");
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_GT(checkHeader(kxtest::readFile(dir.file("rt.wav")), false, "rt.wav"), 3000 * 4);
    }
}

// A closed standard stream is never handed to the output: the file is the one a run with every
// stream open writes, and the log goes nowhere.
TEST_F(KxplayStop, ClosedStandardStreamsNeverReachTheOutput) {
    ASSERT_EQ(runKxplay(dir.path(), "-o ref.wav t0.wav").status, 0);
    Bytes reference = kxtest::readFile(dir.file("ref.wav"));
    const char* scripts[] = {
        "$KXPLAY -o out.wav t0.wav 2>&-",
        "$KXPLAY -o out.wav t0.wav <&- >&- 2>&-",
        "$KXPLAY -o out.wav t0.wav >&-",
    };
    for (const char* script : scripts) {
        KxplayRun run = runShell(dir.path(), script);
        EXPECT_EQ(run.status, 0) << script;
        EXPECT_TRUE(kxtest::readFile(dir.file("out.wav")) == reference) << script;
    }
}

// Signals in every state of a run: each run ends with status 130 and an output whose header
// is true. A row's `again`, when set, is waited for and the signal sent a second time.
TEST_F(KxplayStop, EverySignalEndsTheRunWithATrueHeader) {
    ASSERT_EQ(mkfifo(dir.file("unread.wav").c_str(), 0600), 0);
    const std::string loop = "--script loop.scene --duration 100 -o ";
    const std::string played = "play l loop -> 0 OK";
    struct Row {
        std::string args, environment;
        bool pipeOutput;  // standard output is a pipe the test never reads
        std::string ready;
        int signal;
        std::string again, says, output;
    };
    const Row rows[] = {
        {"--realtime " + loop + "s.wav", "KXPLAY_TEST_STOP_DELAY_MS=300", false, played, SIGINT,
         "test: the stop waits", "interrupted; the output holds", "s.wav"},
        {"--realtime " + loop + "s.wav", "KXPLAY_TEST_STOP_DELAY_MS=600000", false, played, SIGTERM,
         "", "the stop took more than 2 s and was cut short", "s.wav"},
        {loop + "-", "", true, played, SIGINT, "", "interrupted", ""},
        {"--realtime --frames 8192 " + loop + "-", "", true, played, SIGINT, "", "interrupted", ""},
        {"-o unread.wav t0.wav", "", false, "unread.wav is a FIFO; waiting for its reader", SIGTERM,
         "", "interrupted before the output was opened", ""},
    };
    for (const Row& row : rows) {
        std::vector<std::string> args, environment;
        std::istringstream words(row.args);
        for (std::string word; words >> word;)
            args.push_back(word);
        if (!row.environment.empty())
            environment.push_back(row.environment);
        KxplayProcess run(dir.path(), args, environment, row.pipeOutput);
        ASSERT_GT(run.pid, 0);
        ASSERT_TRUE(run.waitFor(row.ready)) << row.args << "\n" << run.err;
        kill(run.pid, row.signal);
        if (!row.again.empty()) {
            ASSERT_TRUE(run.waitFor(row.again)) << row.args << "\n" << run.err;
            kill(run.pid, row.signal);
        }
        EXPECT_EQ(run.finish(), 130) << row.args << "\n" << run.err;
        EXPECT_NE(run.err.find(row.says), std::string::npos) << row.args << "\n" << run.err;
        if (!row.output.empty()) {
            EXPECT_GE(checkHeader(kxtest::readFile(dir.file(row.output)), false, row.args), 0);
        }
    }
}

// An output that fails, fills up or loses its reader ends the run at once, says why in the
// system's words, and leaves a file whose header says what it holds. A file-size limit stands
// in for a full disk (the shell's ulimit, in 512-byte blocks, with SIGXFSZ ignored so that the
// write fails instead): in real time the run ends within the writer's 16-period batch and a
// second of the failure.
TEST_F(KxplayStop, AFailingOutputEndsTheRunWithATrueHeader) {
    ASSERT_EQ(mkfifo(dir.file("fifo.wav").c_str(), 0600), 0);
    struct Row {
        const char* script;
        int status;
        const char* says;
        const char* output;  // the WAV file left, or ""
        bool stream;         // its sizes say 0xFFFFFFFF
        long data;           // its data bytes, or -1: any number of them, more than none
        uint64_t periods;    // the most periods rendered (in real time: a second past the end)
    };
    constexpr uint64_t kAny = UINT64_MAX;
    const Row rows[] = {
        {"trap \"\" XFSZ; ulimit -f 200; $KXPLAY -o full.wav long.wav", 1,
         "writing full.wav failed: File too large; stopping", "full.wav", false, -1, kAny},
        {"trap \"\" XFSZ; ulimit -f 200; $KXPLAY --realtime -o full.wav long.wav", 1,
         "writing full.wav failed: File too large; stopping", "full.wav", false, -1,
         102400 / 4096 + 16 + 44},
        {"$KXPLAY -o /dev/full t0.wav", 1, "cannot write /dev/full: No space left on device", "",
         false, 0, kAny},
        {"KXPLAY_TEST_WAV_LIMIT=100002 $KXPLAY --script loop.scene --duration 2 -o lim.wav", 1,
         "lim.wav reached 100000 bytes of samples (0.57 s), the most a WAV file", "lim.wav", false,
         100000, kAny},
        {"head -c 5000 fifo.wav >/dev/null & $KXPLAY --realtime -o fifo.wav long.wav", 1,
         "writing fifo.wav failed: Broken pipe; stopping", "", false, 0, kAny},
        {"cat fifo.wav > got.wav & $KXPLAY -o fifo.wav t0.wav; wait", 0, "wrote fifo.wav",
         "got.wav", true, -1, kAny},
    };
    for (const Row& row : rows) {
        KxplayRun run = runShell(dir.path(), row.script);
        EXPECT_EQ(run.status, row.status) << row.script << "\n" << run.err;
        EXPECT_NE(run.err.find(row.says), std::string::npos) << row.script << "\n" << run.err;
        EXPECT_EQ(run.err.find("; wrote full.wav"), std::string::npos) << row.script;
        if (row.periods != kAny) {
            EXPECT_LE(periodsRendered(run.err), row.periods) << row.script << "\n" << run.err;
        }
        if (*row.output == '\0')
            continue;
        long data = checkHeader(kxtest::readFile(dir.file(row.output)), row.stream, row.script);
        if (row.data >= 0)
            EXPECT_EQ(data, row.data) << row.script;
        else
            EXPECT_GT(data, 0) << row.script;
    }
    // Before the run, a WAV file that its sizes cannot describe is said to stop at their limit.
    KxplayRun run = runKxplay(dir.path(), "--script loop.scene --duration 2 -o lim.wav",
                              "KXPLAY_TEST_WAV_LIMIT=100002");
    EXPECT_LT(run.err.find("the run is 2.02 s, and a WAV file holds at most 0.57 s"),
              run.err.find("p0 sound l"))
        << run.err;
}

// A reader that leaves is noticed within a second of real time: the run renders at most a
// second's periods after the last byte it took.
TEST_F(KxplayStop, ADepartedReaderEndsTheRunWithinASecond) {
    KxplayProcess run(dir.path(),
                      {"--realtime", "--script", "loop.scene", "--duration", "100", "-o", "-"}, {},
                      true);
    ASSERT_GT(run.pid, 0);
    constexpr size_t kTaken = 100000;
    ASSERT_EQ(run.readOutput(kTaken).size(), kTaken);
    run.closeOutput();
    EXPECT_EQ(run.finish(), 1) << run.err;
    EXPECT_NE(run.err.find("standard output was closed by its reader"), std::string::npos)
        << run.err;
    constexpr uint64_t kPeriodsInASecond = 44100 / 1024 + 1;
    EXPECT_LE(periodsRendered(run.err), kTaken / 4096 + 1 + kPeriodsInASecond) << run.err;
}

}  // namespace
