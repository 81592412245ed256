// SPDX-License-Identifier: Apache-2.0
// kxplay prepare, judged by what the module makes of its files: inputs of every kind made by sox
// and ffmpeg come out accepted and play; the conversion's quality against sox's own; loops that
// play without a gap; copies that mix without clipping; refusals that name their reason.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/kxplay/kxplay_run.h"
#include "tests/support/wavgen.h"

namespace {

using kxplaytest::KxplayRun;
using kxplaytest::runKxplay;

// Why this test cannot run here, naming the packages that would let it; "" when it can.
std::string missing(bool sox, bool ffmpeg) {
    std::string words;
#if KX_M32_BUILD
    return "the 32-bit build has no kxplay prepare (Debian's libsndfile and libsoxr are 64-bit)";
#elif !KX_HAVE_PREPARE
    words +=
        "this build has no kxplay prepare: libsndfile and libsoxr were not found when it was "
        "configured (Debian package libsndfile1-dev) (Debian package libsoxr-dev); ";
#endif
    if (sox && std::system("command -v sox >/dev/null 2>&1") != 0)
        words += "sox is not installed (Debian package sox); ";
    if (ffmpeg && std::system("command -v ffmpeg >/dev/null 2>&1") != 0)
        words += "ffmpeg is not installed (Debian package ffmpeg); ";
    return words.empty() ? words : words.substr(0, words.size() - 2);
}

int shell(const std::string& dir, const std::string& command) {
    return std::system(("cd '" + dir + "' && (" + command + ") >/dev/null 2>&1").c_str());
}

// The 16-bit samples of a PCM WAV file (its first "data" chunk; a size past the end of the file
// means "to the end"); empty when there is none.
std::vector<int16_t> samplesOf(const std::string& path) {
    kxtest::Bytes b = kxtest::readFile(path);
    auto le32 = [&](size_t at) {
        return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
               uint32_t(b[at + 3]) << 24;
    };
    for (size_t at = 12; at + 8 <= b.size(); at += 8 + le32(at + 4) + (le32(at + 4) & 1)) {
        if (std::string(b.begin() + at, b.begin() + at + 4) != "data")
            continue;
        size_t length = std::min<size_t>(le32(at + 4), b.size() - at - 8);
        return kxtest::bytesToSamples(
            kxtest::Bytes(b.begin() + at + 8, b.begin() + at + 8 + length / 2 * 2));
    }
    return {};
}

// A 16-bit stereo 44100 Hz WAV of `frames` frames: left and right both f(frame).
template <typename F>
std::string writeTone(const kxtest::TempDir& dir, const std::string& name, uint32_t frames, F f) {
    std::vector<int16_t> s;
    for (uint32_t i = 0; i < frames; ++i) {
        int16_t v = static_cast<int16_t>(f(i));
        s.push_back(v);
        s.push_back(v);
    }
    return dir.write(name, kxtest::canonicalWav(s));
}

// The longest run of all-zero frames between the first and the last frame that is not silent.
size_t longestInnerSilence(const std::vector<int16_t>& s) {
    size_t frames = s.size() / 2, first = frames, last = 0;
    for (size_t i = 0; i < frames; ++i)
        if (s[2 * i] != 0 || s[2 * i + 1] != 0) {
            first = std::min(first, i);
            last = i;
        }
    size_t longest = 0, run = 0;
    for (size_t i = first; i <= last && i < frames; ++i) {
        run = (s[2 * i] == 0 && s[2 * i + 1] == 0) ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return longest;
}

// The SNR of the left channel against a sine fitted at `hz` (with an offset), over the file less
// 0.1 s at each end.
double sineSnrDb(const std::vector<int16_t>& s, double hz) {
    const size_t frames = s.size() / 2, skip = 4410;
    double w = 2 * M_PI * hz / 44100;
    // Least squares on the basis sin, cos, 1: the normal equations, solved by Cramer's rule.
    double m[3][3] = {}, v[3] = {};
    for (size_t i = skip; i + skip < frames; ++i) {
        double b[3] = {std::sin(w * i), std::cos(w * i), 1}, y = s[2 * i];
        for (int r = 0; r < 3; ++r) {
            v[r] += b[r] * y;
            for (int c = 0; c < 3; ++c)
                m[r][c] += b[r] * b[c];
        }
    }
    auto det = [](double a[3][3]) {
        return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
               a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
               a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    };
    double x[3], d = det(m);
    for (int k = 0; k < 3; ++k) {
        double t[3][3];
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c)
                t[r][c] = c == k ? v[r] : m[r][c];
        x[k] = det(t) / d;
    }
    double signal = 0, noise = 0;
    for (size_t i = skip; i + skip < frames; ++i) {
        double fit = x[0] * std::sin(w * i) + x[1] * std::cos(w * i) + x[2];
        signal += (fit - x[2]) * (fit - x[2]);
        noise += (s[2 * i] - fit) * (s[2 * i] - fit);
    }
    return 10 * std::log10(signal / noise);
}

int16_t peakOf(const std::vector<int16_t>& s) {
    int peak = 0;
    for (int16_t v : s)
        peak = std::max(peak, std::abs(int(v)));
    return static_cast<int16_t>(peak);
}

TEST(KxplayPrepare, EveryKindOfInputComesOutAcceptedAndPlays) {
    std::string why = missing(true, true);
    if (!why.empty())
        GTEST_SKIP() << why;
    struct Case {
        const char* file;
        const char* make;  // a shell command that writes `file`, one second of a tone
    };
    const Case cases[] = {
        {"mono48k24.wav", "sox -n -r 48000 -c 1 -b 24 mono48k24.wav synth 1 sine 440 vol 0.5"},
        {"low8bit.wav", "sox -n -r 22050 -c 2 -b 8 low8bit.wav synth 1 sine 440 vol 0.5"},
        {"float.wav", "sox -n -r 44100 -c 2 -e floating-point -b 32 float.wav synth 1 sine 440"},
        {"extensible.wav",
         "ffmpeg -v error -f lavfi -i sine=frequency=440:duration=1:sample_rate=48000 -ac 4 "
         "-c:a pcm_s24le extensible.wav"},
        {"surround.flac", "sox -n -r 48000 -c 6 -b 24 surround.flac synth 1 sine 300 vol 0.3"},
        {"vorbis.ogg",
         "ffmpeg -v error -f lavfi -i sine=frequency=440:duration=1:sample_rate=48000 -ac 2 "
         "-c:a libvorbis vorbis.ogg"},
        {"piped.wav",
         "ffmpeg -v error -f lavfi -i sine=frequency=440:duration=1:sample_rate=48000 -ac 1 "
         "-c:a pcm_s16le -f wav - | cat > piped.wav"},
    };
    kxtest::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        ASSERT_EQ(shell(dir.path(), c.make), 0) << c.make;
        std::string stem = std::string(c.file).substr(0, std::string(c.file).rfind('.'));
        if (stem == "piped") {  // the input is what it claims: sizes of 0xFFFFFFFF
            kxtest::Bytes b = kxtest::readFile(dir.file(c.file));
            ASSERT_GE(b.size(), 44u);
            ASSERT_EQ(std::vector<uint8_t>(b.begin() + 4, b.begin() + 8),
                      std::vector<uint8_t>(4, 0xFF));
        }
        KxplayRun run = runKxplay(dir.path(), std::string("prepare ") + c.file + " -o out");
        ASSERT_EQ(run.status, 0) << run.err;
        std::string out = "out/" + stem + ".wav";
        EXPECT_EQ(kxplaytest::linesStartingWith(run.out, c.file).size(), 1u) << run.out;

        KxplayRun info = runKxplay(dir.path(), "--info " + out);
        EXPECT_EQ(info.status, 0);
        EXPECT_NE(info.out.find(out + ": accepted"), std::string::npos) << info.out;
        // The whole second was decoded and converted, and the header says exactly that.
        kxtest::Bytes bytes = kxtest::readFile(dir.file(out));
        std::vector<int16_t> prepared = samplesOf(dir.file(out));
        EXPECT_NEAR(prepared.size() / 2.0, 44100, 2);
        EXPECT_EQ(bytes.size(), 44 + prepared.size() * 2);
        EXPECT_GT(peakOf(prepared), 2000);

        // It plays: the module's output holds the prepared samples, in order.
        KxplayRun play = runKxplay(dir.path(), "--fast -q -o played.wav " + out);
        ASSERT_EQ(play.status, 0) << play.err;
        std::vector<int16_t> played = samplesOf(dir.file("played.wav"));
        auto at = std::search(played.begin(), played.end(), prepared.begin(), prepared.end());
        EXPECT_TRUE(at != played.end()) << "the prepared samples are not in what was played";
    }
    // The same input gives the same bytes, dither included.
    ASSERT_EQ(runKxplay(dir.path(), "prepare -q mono48k24.wav -o again").status, 0);
    EXPECT_EQ(kxtest::readFile(dir.file("again/mono48k24.wav")),
              kxtest::readFile(dir.file("out/mono48k24.wav")));
}

TEST(KxplayPrepare, ConvertsAsCleanlyAsSox) {
    std::string why = missing(true, false);
    if (!why.empty())
        GTEST_SKIP() << why;
    kxtest::TempDir dir;
    ASSERT_EQ(shell(dir.path(), "sox -R -n -r 48000 -c 2 -b 24 sine.wav synth 5 sine 997 gain -1"),
              0);
    ASSERT_EQ(runKxplay(dir.path(), "prepare -q sine.wav -o p").status, 0);
    ASSERT_EQ(shell(dir.path(), "sox -R sine.wav -b 16 sox.wav rate -v 44100 dither"), 0);
    double ours = sineSnrDb(samplesOf(dir.file("p/sine.wav")), 997);
    double sox = sineSnrDb(samplesOf(dir.file("sox.wav")), 997);
    std::printf(
        "997 Hz at -1 dBFS, 48000 to 44100 Hz, TPDF to 16 bits: SNR prepare %.2f dB, "
        "sox %.2f dB\n",
        ours, sox);
    EXPECT_GT(ours, 85.0);
    EXPECT_NEAR(ours, sox, 1.0);
}

TEST(KxplayPrepare, PreparedLoopsPlayWithoutGapsAndUnpreparedOnesGap) {
    std::string why = missing(false, false);
    if (!why.empty())
        GTEST_SKIP() << why;
    kxtest::TempDir dir;
    // Half a second of 441 Hz: 22050 frames, no whole number of periods at 1024 or 256.
    writeTone(dir, "tone.wav", 22050, [](uint32_t i) { return 16000 * std::sin(M_PI * i / 50); });
    ASSERT_EQ(runKxplay(dir.path(), "prepare -q --loop tone.wav -o p").status, 0);
    const std::string scene = "sound t tone.wav\nplay t loop\nat 3 end\n";
    dir.write("loop.scene", kxtest::Bytes(scene.begin(), scene.end()));
    struct Case {
        const char* dir;  // p holds the prepared tone.wav, . the unprepared one
        uint32_t frames;
        bool gapless;
    };
    const Case cases[] = {
        {"p", 1024, true}, {"p", 256, true}, {".", 1024, false}, {".", 256, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.dir) + "/tone.wav at " + std::to_string(c.frames));
        KxplayRun run =
            runKxplay(dir.path(), "--fast -q --frames " + std::to_string(c.frames) + " --dir " +
                                      c.dir + " --script loop.scene -o out.wav");
        ASSERT_EQ(run.status, 0) << run.err;
        std::vector<int16_t> out = samplesOf(dir.file("out.wav"));
        ASSERT_GT(out.size() / 2, 44100u * 5 / 2) << "several passes were played";
        if (c.gapless)
            EXPECT_LE(longestInnerSilence(out), 2u);
        else
            EXPECT_GT(longestInnerSilence(out), 100u);
    }
}

TEST(KxplayPrepare, HeadroomLetsCopiesMixWithoutClipping) {
    std::string why = missing(false, false);
    if (!why.empty())
        GTEST_SKIP() << why;
    kxtest::TempDir dir;
    // A full-scale square wave, and a quiet one at -12 dBFS.
    writeTone(dir, "full.wav", 44100, [](uint32_t i) { return (i / 50) % 2 ? 32767 : -32767; });
    writeTone(dir, "quiet.wav", 44100, [](uint32_t i) { return (i / 50) % 2 ? 8192 : -8192; });
    ASSERT_EQ(runKxplay(dir.path(), "prepare -q --headroom 4 full.wav quiet.wav -o p").status, 0);
    auto clippedInMix = [&](const std::string& file) {
        std::string copies;
        for (int i = 0; i < 4; ++i) {
            std::string name = "copy" + std::to_string(i) + ".wav";
            dir.write(name, kxtest::readFile(dir.file(file)));
            copies += " " + name;
        }
        KxplayRun run = runKxplay(dir.path(), "--fast -q -o mix.wav" + copies);
        EXPECT_EQ(run.status, 0) << run.err;
        std::vector<int16_t> mix = samplesOf(dir.file("mix.wav"));
        EXPECT_GT(mix.size(), 44100u * 2);
        size_t clipped = 0;
        for (int16_t v : mix)
            clipped += v == 32767 || v == -32768;
        return clipped;
    };
    EXPECT_EQ(clippedInMix("p/full.wav"), 0u);
    EXPECT_GT(clippedInMix("full.wav"), 44100u);
    // Attenuation: input peak over output peak. The quiet file needs (almost) none.
    double full = 32767.0 / peakOf(samplesOf(dir.file("p/full.wav")));
    double quiet = 8192.0 / peakOf(samplesOf(dir.file("p/quiet.wav")));
    EXPECT_NEAR(full, 4.0, 0.01);
    EXPECT_LT(quiet, full);
    EXPECT_NEAR(quiet, 1.0, 0.01);
}

TEST(KxplayPrepare, FadesAndGainShapeWhatIsHeard) {
    std::string why = missing(false, false);
    if (!why.empty())
        GTEST_SKIP() << why;
    kxtest::TempDir dir;
    writeTone(dir, "square.wav", 44100, [](uint32_t i) { return (i / 50) % 2 ? -32767 : 32767; });
    struct Case {
        const char* options;
        int edgeAtMost;  // the first and the last sound frame heard, in magnitude
        int peakLow, peakHigh;
    };
    const Case cases[] = {
        {"--no-dither", 32767, 32766, 32767},  // a hard start and end: the click fades remove
        {"--fade-in 10 --fade-out 20 --no-dither", 200, 32000, 32767},
        {"--fade-in 10 --fade-out 20", 200, 32000, 32767},
        {"--gain -6.0206 --no-dither", 16384, 16383, 16385},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        ASSERT_EQ(runKxplay(dir.path(), std::string("prepare -q ") + c.options + " square.wav -o p")
                      .status,
                  0);
        ASSERT_EQ(runKxplay(dir.path(), "--fast -q -o heard.wav p/square.wav").status, 0);
        std::vector<int16_t> heard = samplesOf(dir.file("heard.wav"));
        size_t first = heard.size(), last = 0;
        for (size_t i = 0; i < heard.size(); ++i)
            if (heard[i] != 0) {
                first = std::min(first, i);
                last = i;
            }
        ASSERT_LT(first, heard.size());
        EXPECT_LE(std::abs(int(heard[first])), c.edgeAtMost);
        EXPECT_LE(std::abs(int(heard[last])), c.edgeAtMost);
        EXPECT_GE(peakOf(heard), c.peakLow);
        EXPECT_LE(peakOf(heard), c.peakHigh);
        if (c.edgeAtMost > 1000) {  // without fades the edges are as loud as the rest
            EXPECT_GE(std::abs(int(heard[first])), c.peakLow);
        }
    }
}

TEST(KxplayPrepare, RefusalsNameTheirReasonAndTheRestIsWritten) {
    std::string why = missing(false, false);
    if (!why.empty())
        GTEST_SKIP() << why;
    kxtest::TempDir dir;
    writeTone(dir, "good.wav", 4410, [](uint32_t i) { return 1000 * std::sin(i * 0.1); });
    writeTone(dir, "short.wav", 1000, [](uint32_t i) { return 1000 * std::sin(i * 0.1); });
    dir.write("empty.wav", {});
    dir.write("text.wav", kxtest::Bytes(100, 'x'));
    ASSERT_EQ(mkdir(dir.file("src").c_str(), 0777), 0);
    ASSERT_EQ(mkdir(dir.file("out").c_str(), 0777), 0);
    writeTone(dir, "src/linked.wav", 4410, [](uint32_t i) { return 500 * std::sin(i * 0.1); });
    const kxtest::Bytes linked = kxtest::readFile(dir.file("src/linked.wav"));
    ASSERT_EQ(link(dir.file("src/linked.wav").c_str(), dir.file("out/linked.wav").c_str()), 0);
    writeTone(dir, "src/good.wav", 4410, [](uint32_t) { return 7; });
    struct Case {
        const char* args;
        int status;
        const char* words;  // on standard error
    };
    const Case cases[] = {
        {"missing.wav good.wav", 1, "missing.wav: refused: no such file"},
        {"empty.wav good.wav", 1, "empty.wav: refused: an empty file"},
        {"text.wav good.wav", 1, "text.wav: refused: not a sound file libsndfile reads"},
        {"src good.wav", 1, "src: refused: a directory"},
        {"--loop short.wav good.wav", 1, "short.wav: refused: a length that cannot loop"},
        {"src/linked.wav good.wav", 1, "src/linked.wav: refused: its output out/linked.wav is an"},
        {"good.wav src/good.wav", 1, "src/good.wav: refused: its output out/good.wav is already"},
        {"good.wav", 2, "needs -o DIR"},
        {"--gain -6 --headroom 4 good.wav -o out", 2, "choose one of --gain and --headroom"},
        {"--loop --fade-in 5 good.wav -o out", 2, "--loop takes no --fade-in"},
        {"--loop=1 good.wav -o out", 2, "from 2 to 65536, not '1'"},
        {"--headroom 0 good.wav -o out", 2, "from 1 to 64, not '0'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        std::remove(dir.file("out/good.wav").c_str());
        std::string args = std::string("prepare ") + c.args;
        if (c.status == 1)
            args += " -o out";
        KxplayRun run = runKxplay(dir.path(), args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_NE(run.err.find(c.words), std::string::npos) << run.err;
        if (c.status == 1) {  // the good file is still written, and from the first good.wav
            EXPECT_GT(peakOf(samplesOf(dir.file("out/good.wav"))), 500);
        }
    }
    // The input behind the link is untouched.
    EXPECT_EQ(kxtest::readFile(dir.file("src/linked.wav")), linked);
    // --info, for a refused file, names the command that makes it playable.
    KxplayRun info = runKxplay(dir.path(), "--info short.wav text.wav");
    EXPECT_EQ(info.status, 1);
    EXPECT_EQ(info.out.find("prepare   kxplay prepare short.wav -o prepared"), std::string::npos)
        << "short.wav is accepted; nothing to suggest";
    EXPECT_NE(info.out.find("prepare   kxplay prepare text.wav -o prepared"), std::string::npos)
        << info.out;
}

}  // namespace
