// SPDX-License-Identifier: Apache-2.0
// kxplay in real time: every scene renders, sample for sample, what --fast renders, late periods
// or not; every file is heard to its last frame, to a WAV file, to standard output and through
// ALSA (its `file` plugin on a `null` device, configured by the test). Contents are compared,
// never durations; a run that counted late periods says so in the test's output.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <regex>
#include <string>
#include <vector>

#include "platform/devices/hda.h"
#include "tests/kxplay/kxplay_run.h"
#include "tests/support/wavgen.h"

namespace {

using kxplaytest::KxplayRun;
using kxplaytest::runKxplay;
using kxtest::Bytes;
using kxtest::TempDir;

constexpr size_t kWavHeader = 44;  // kxplay writes the canonical header

// Frames whose samples are never 0 and add up without cancelling, so that a frame of the output
// is silent exactly where no sound was heard.
std::vector<int16_t> tone(uint32_t frames, int16_t base) {
    std::vector<int16_t> samples(static_cast<size_t>(frames) * 2);
    for (uint32_t i = 0; i < frames; ++i) {
        samples[2 * i] = static_cast<int16_t>(base + i % 4000);
        samples[2 * i + 1] = static_cast<int16_t>(base + (i * 7) % 3000);
    }
    return samples;
}

Bytes dataOf(const Bytes& wav) {
    return wav.size() < kWavHeader ? Bytes{} : Bytes(wav.begin() + kWavHeader, wav.end());
}

// Frames of raw PCM in which either channel is not silent.
uint64_t framesHeard(const Bytes& pcm) {
    uint64_t heard = 0;
    for (size_t at = 0; at + 4 <= pcm.size(); at += 4)
        heard += (pcm[at] | pcm[at + 1] | pcm[at + 2] | pcm[at + 3]) != 0;
    return heard;
}

uint64_t latePeriods(const KxplayRun& run) {
    std::smatch m;
    static const std::regex late("([0-9]+) late periods");
    return std::regex_search(run.err, m, late) ? std::stoull(m[1]) : 0;
}

// Runs `args` with --fast to fast.wav and then in real time to `realtimeOutput` (a file, or "-"
// for standard output), and returns both outputs' PCM. A real-time run with late periods is
// still compared: the contract does not depend on them; it is reported.
struct Pair {
    Bytes fast;
    Bytes realtime;
};
Pair renderBoth(const TempDir& dir, const std::string& args, const std::string& realtimeOutput) {
    Pair p;
    KxplayRun fast = runKxplay(dir.path(), "--fast -o fast.wav " + args);
    EXPECT_EQ(fast.status, 0) << args << "\n" << fast.err;
    p.fast = dataOf(kxtest::readFile(dir.file("fast.wav")));
    KxplayRun rt = runKxplay(dir.path(), "--realtime -o " + realtimeOutput + " " + args);
    EXPECT_EQ(rt.status, 0) << args << "\n" << rt.err;
    p.realtime = realtimeOutput == "-" ? Bytes(rt.out.begin(), rt.out.end())
                                       : dataOf(kxtest::readFile(dir.file(realtimeOutput)));
    if (uint64_t late = latePeriods(rt); late > 0)
        std::cout << "note: '" << args << "' counted " << late << " late periods\n";
    return p;
}

TEST(KxplayRealTime, EveryFrameOfEveryFileIsHeard) {
    struct Row {
        const char* what;
        std::vector<uint32_t> files;  // frames of each file, played together
        const char* options;
        const char* output;  // "-" is standard output
        uint64_t heard;      // frames that are not silent
    };
    const Row rows[] = {
        {"a file of 44,137 frames", {44137}, "", "rt.wav", 44137},
        {"a file of exactly 3 periods", {3072}, "", "rt.wav", 3072},
        {"the same two files together", {44137, 3072}, "", "rt.wav", 44137},
        {"the first file at 256 frames", {44137}, "--frames 256", "rt.wav", 44137},
        {"the first file to standard output", {44137}, "", "-", 44137},
        {"3 periods at 256 frames to standard output", {768}, "--frames 256", "-", 768},
        {"16-frame periods, nearly all of them late", {4000, 333}, "--frames 16", "rt.wav", 4000},
    };
    for (const Row& row : rows) {
        TempDir dir;
        std::string args = row.options;
        for (size_t i = 0; i < row.files.size(); ++i) {
            std::string name = kxtest::numberedName("f", static_cast<long>(i), ".wav");
            dir.write(name, kxtest::canonicalWav(
                                tone(row.files[i], static_cast<int16_t>(100 + 900 * i))));
            args += " " + name;
        }
        Pair p = renderBoth(dir, args, row.output);
        EXPECT_EQ(framesHeard(p.fast), row.heard) << row.what;
        EXPECT_EQ(framesHeard(p.realtime), row.heard) << row.what;
        EXPECT_TRUE(p.realtime == p.fast)
            << row.what << ": the real-time output is not --fast's (" << p.realtime.size()
            << " and " << p.fast.size() << " bytes)";
    }
}

TEST(KxplayRealTime, ScenesRenderWhatFastRenders) {
    struct Scene {
        const char* what;
        const char* text;
        const char* options;
    };
    const Scene scenes[] = {
        {"files played to their end", "sound a a.wav\nsound b b.wav\nplay a\nat p2 play b\n", ""},
        {"a loop stopped by a command", "sound b b.wav\nplay b loop\nat p9 stop b\n", ""},
        {"a loop stopped by --duration", "sound b b.wav\nplay b loop\n", "--duration 0.2"},
        {"pause and resume", "sound a a.wav\nplay a\nat p3 pause a\nat p6 play a\n", ""},
        {"exclusive",
         "sound a a.wav\nsound b b.wav\nsound c c.wav\nplay a loop\nplay b\n"
         "at p4 play c exclusive\nat p7 play a loop\nat p10 end\n",
         ""},
        {"volume and mute",
         "sound a a.wav\nplay a loop\nat p2 volume 40\nat p4 mute on\n"
         "at p6 mute off\nat p8 volume 100\nat p10 end\n",
         ""},
        {"lengths on, off and under a period",
         "sound on on.wav\nsound off off.wav\nsound under under.wav\nplay on\nplay off\n"
         "at p1 play under\nat p3 play under\n",
         ""},
        {"end while sounds play", "sound a a.wav\nsound b b.wav\nplay a\nplay b loop\nat p5 end\n",
         ""},
    };
    for (uint32_t frames : {256u, 1024u}) {
        for (const Scene& scene : scenes) {
            TempDir dir;
            dir.write("a.wav", kxtest::canonicalWav(tone(5 * frames + 91, 200)));
            dir.write("b.wav", kxtest::canonicalWav(tone(frames + frames / 2, 1500)));
            dir.write("c.wav", kxtest::canonicalWav(tone(2 * frames + 3, 3000)));
            dir.write("on.wav", kxtest::canonicalWav(tone(2 * frames, 400)));
            dir.write("off.wav", kxtest::canonicalWav(tone(2 * frames + 1, 700)));
            dir.write("under.wav", kxtest::canonicalWav(tone(frames / 3, 1100)));
            const Bytes text(scene.text, scene.text + std::strlen(scene.text));
            dir.write("s.scene", text);
            std::string args =
                "--frames " + std::to_string(frames) + " " + scene.options + " --script s.scene";
            Pair p = renderBoth(dir, args, "rt.wav");
            EXPECT_GT(framesHeard(p.fast), 0u) << scene.what;
            EXPECT_TRUE(p.realtime == p.fast)
                << scene.what << " at " << frames << " frames: the real-time output is not "
                << "--fast's (" << p.realtime.size() << " and " << p.fast.size() << " bytes)";
        }
    }
}

// ALSA's own library plays through its `file` plugin onto a `null` device: no sound card, and
// what ALSA was given lands in a file. The configuration is the test's alone.
TEST(KxplayRealTime, AlsaPlaysWhatTheFileGets) {
    if (!kx::hdaHasAlsa()) {
#if KX_M32_BUILD
        GTEST_SKIP() << "the 32-bit build has no ALSA (Debian's libasound2-dev is 64-bit)";
#else
        GTEST_SKIP() << "this build has no ALSA: libasound was not found when it was configured "
                        "(Debian package libasound2-dev)";
#endif
    }
    struct Case {
        const char* what;
        std::vector<uint32_t> files;
        const char* options;
        uint64_t heard;
    };
    const Case cases[] = {
        {"a file of 44,137 frames", {44137}, "", 44137},
        {"3 periods and a longer file at 256 frames", {768, 2000}, "--frames 256", 2000},
    };
    for (const Case& c : cases) {
        TempDir dir;
        std::string config = "pcm.kxtest {\n  type file\n  slave { pcm { type null } }\n  file \"" +
                             dir.file("alsa.raw") + "\"\n  format \"raw\"\n}\n";
        dir.write("alsa.conf", Bytes(config.begin(), config.end()));
        std::string args = c.options;
        for (size_t i = 0; i < c.files.size(); ++i) {
            std::string name = kxtest::numberedName("f", static_cast<long>(i), ".wav");
            dir.write(name,
                      kxtest::canonicalWav(tone(c.files[i], static_cast<int16_t>(100 + 900 * i))));
            args += " " + name;
        }
        KxplayRun fast = runKxplay(dir.path(), "--fast -o fast.wav " + args);
        ASSERT_EQ(fast.status, 0) << fast.err;
        ::setenv("ALSA_CONFIG_PATH", dir.file("alsa.conf").c_str(), 1);
        KxplayRun device = runKxplay(dir.path(), "--device kxtest " + args);
        ::unsetenv("ALSA_CONFIG_PATH");
        ASSERT_EQ(device.status, 0) << c.what << "\n" << device.err;
        if (uint64_t late = latePeriods(device); late > 0)
            std::cout << "note: " << c.what << " counted " << late << " late periods\n";
        Bytes played = kxtest::readFile(dir.file("alsa.raw"));
        Bytes expected = dataOf(kxtest::readFile(dir.file("fast.wav")));
        EXPECT_EQ(framesHeard(played), c.heard) << c.what;
        EXPECT_TRUE(played == expected) << c.what << ": ALSA was given " << played.size()
                                        << " bytes, the file holds " << expected.size();
    }
}

}  // namespace
