// SPDX-License-Identifier: Apache-2.0
// The built kxplay as a user meets it: exit statuses with their messages, FILE mode, raw PCM
// on standard output, and renders that are a pure function of scene and files.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "dxmix/dxmix.h"
#include "platform/devices/hda.h"
#include "platform/kernel/rtk_select.h"
#include "tests/kxplay/kxplay_run.h"
#include "tests/support/wavgen.h"

namespace {

using kxplaytest::KxplayRun;
using kxplaytest::runKxplay;

kxtest::Bytes stereo(uint32_t frames, uint32_t seed) {
    return kxtest::canonicalWav(kxtest::noiseSamples(frames, seed));
}

kxtest::Bytes text(const char* s) {
    return kxtest::Bytes(s, s + strlen(s));
}

class KxplayCli : public ::testing::Test {
  protected:
    void SetUp() override {
        for (int i = 0; i < 5; ++i)
            dir.write(kxtest::numberedName("t", i, ".wav"), stereo(1000 + 300 * i, i + 1));
        kxtest::WavLayout mono;
        mono.channels = 1;
        mono.data = kxtest::Bytes(400, 0);
        dir.write("mono.wav", kxtest::buildWav(mono));
        kxtest::WavLayout rate48;
        rate48.sampleRate = 48000;
        rate48.data = kxtest::Bytes(400, 0);
        dir.write("48k.wav", kxtest::buildWav(rate48));
        dir.write("notes.txt", text("not a sound\n"));
        dir.write("loop.scene", text("sound a t0.wav\nplay a loop\n"));
        dir.write("bad.scene", text("sound a t0.wav\n\nat 1 plya a\n"));
        dir.write("ok.scene", text("sound a t0.wav\nplay a\n"));
        // Read before playing, the exclusive play ends the loop; played, it is refused (its
        // file is missing), so the loop goes on after the last command.
        dir.write("sneaky.scene", text("sound a t0.wav\nsound b missing.wav\nplay a loop\n"
                                       "at 1 play b exclusive\n"));
        mkdir(dir.file("sub").c_str(), 0700);
        dir.write("sub/s.wav", stereo(900, 9));
    }
    kxtest::TempDir dir;
};

TEST_F(KxplayCli, ExitStatusesAndTheirMessages) {
    struct Case {
        const char* args;
        int status;
        const char* says;  // in standard error, or in standard output for --help/--version
    };
    const Case cases[] = {
        {"--help", 0, "Usage: kxplay [options] FILE.wav..."},
        {"--version", 0, "kxplay " KX_VERSION},
        {"-o out.wav t0.wav", 0, "kxplay: rendered "},
        {"-q -o out.wav t0.wav sub/s.wav", 0, ""},
        {"--script ok.scene -o out.wav", 0, "p0 play a -> 0 OK"},
        {"", 2, "nothing to play"},
        {"--bogus t0.wav", 2, "unknown option '--bogus'"},
        {"--frames 1 -o out.wav t0.wav", 2, "--frames needs a whole number from 2 to 65536"},
        {"--script bad.scene -o out.wav", 2,
         "bad.scene:3: expected a command: sound, play, pause, stop, delete, volume, mute or "
         "end, found 'plya'"},
        {"--script loop.scene -o out.wav", 2,
         "sound 'a' is left looping and nothing ends the output"},
        {"--script sneaky.scene -o out.wav", 2,
         "sound 'a' still loops after the last command (p44), so the output would never end"},
        {"--script ok.scene --dir nowhere -o out.wav", 2, "--dir nowhere: no such directory"},
        {"--script ok.scene --dir t0.wav -o out.wav", 2, "--dir t0.wav: not a directory"},
        {"--duration 100001 -o out.wav t0.wav", 2, "seconds above 0 and at most 100000"},
        {"--script missing.scene -o out.wav", 1, "missing.scene: cannot be read: no such file"},
        {"-o out.wav missing.wav", 1, "missing.wav: cannot be read: no such file"},
        {"-o out.wav sub", 1, "sub: cannot be read: a directory, not a file"},
        {"-o out.wav mono.wav", 1, "mono.wav: refused: mono"},
        {"-o out.wav notes.txt", 1, "notes.txt: refused: not a WAV file"},
        {"-o nowhere/out.wav t0.wav", 1, "cannot write nowhere/out.wav"},
        {"-o out.wav t0.wav t1.wav t2.wav t3.wav t4.wav", 1,
         "t4.wav: not played: four sounds already play"},
        {"--target qemu --frames 32 --script ok.scene -o out.wav", 1,
         "the target's driver takes 64 to 16384 frames per period, not 32"},
        {"--target qemu --image nowhere.elf --script ok.scene -o out.wav", 1,
         "no target image: give --image FILE"},
        {"--info t0.wav sub/s.wav", 0, ""},
        {"--info t0.wav mono.wav", 1, ""},
        {"--info 48k.wav", 1, ""},
    };
    for (const Case& c : cases) {
        KxplayRun run = runKxplay(dir.path(), c.args);
        EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.err;
        std::string said = run.err + run.out;
        EXPECT_NE(said.find(c.says), std::string::npos)
            << c.args << "\n  wanted: " << c.says << "\n  stderr: " << run.err;
    }
    // A loop is rendered once --duration bounds the output.
    KxplayRun run = runKxplay(dir.path(), "--script loop.scene --duration 0.1 -o out.wav");
    EXPECT_EQ(run.status, 0) << run.err;
}

TEST_F(KxplayCli, FileModeCreatesAndPlaysEachFileFromItsOwnDirectory) {
    std::string subdir = dir.path() + "/sub";
    KxplayRun run = runKxplay(dir.path(), "-o out.wav t0.wav " + subdir + "/s.wav sub/s.wav");
    EXPECT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> expected = {
        "p0 sound t0 t0.wav -> 0 OK",
        "p0 sound s " + subdir + "/s.wav -> 0 OK",
        "p0 sound s-2 sub/s.wav -> -30483 SND_ERR_EXISTS",  // the same file, another way
        "p0 play t0 -> 0 OK",
        "p0 play s -> 0 OK",
        "p0 play s-2 -> 0 OK",  // restarts s
    };
    EXPECT_EQ(kxplaytest::linesStartingWith(run.err, "p"), expected) << run.err;
}

TEST_F(KxplayCli, RendersArePureAndStandardOutputCarriesTheSameSamples) {
    dir.write("mix.scene", text("sound a t1.wav\n"
                                "sound b t2.wav\n"
                                "sound c t3.wav\n"
                                "play a loop\n"
                                "at p1 play b\n"
                                "at p2 play c exclusive\n"
                                "at p3 play a loop\n"
                                "at p4 volume 37\n"
                                "at p6 end\n"));
    KxplayRun first = runKxplay(dir.path(), "--script mix.scene --frames 300 -o one.wav");
    KxplayRun second = runKxplay(dir.path(), "--script mix.scene --frames 300 -o two.wav");
    KxplayRun raw = runKxplay(dir.path(), "-q --script mix.scene --frames 300 -o -");
    ASSERT_EQ(first.status, 0) << first.err;
    ASSERT_EQ(second.status, 0) << second.err;
    ASSERT_EQ(raw.status, 0) << raw.err;
    EXPECT_EQ(raw.err, "");  // -q: errors only

    kxtest::Bytes one = kxtest::readFile(dir.file("one.wav"));
    kxtest::Bytes two = kxtest::readFile(dir.file("two.wav"));
    EXPECT_EQ(one, two);
    ASSERT_EQ(one.size(), 44u + 7 * 300 * 4);
    EXPECT_EQ(kxtest::Bytes(one.begin() + 44, one.end()),
              kxtest::Bytes(raw.out.begin(), raw.out.end()));
    // Not silence: the scene is heard.
    std::vector<int16_t> samples =
        kxtest::bytesToSamples(kxtest::Bytes(one.begin() + 44, one.end()));
    int nonzero = 0;
    for (int16_t s : samples)
        nonzero += s != 0;
    EXPECT_GT(nonzero, 6 * 300);
}

// --version names the build it comes from: the kernel of each clock, whether ALSA is built in, and
// the mix variant this processor runs, which is the fastest variant it supports.
TEST_F(KxplayCli, VersionNamesTheBuild) {
    int count = 0;
    const kx::S16sMixVariant* variants = kx::S16sMixVariants(&count);
    std::string fastest;
    for (int i = 0; i < count; ++i)
        if (variants[i].supported)
            fastest = variants[i].name;
    std::string expected = std::string("build: kernel ") +
                           kx::RtkKernelName(kx::RtkKernel::OneProcessor) + " (--fast), " +
                           kx::RtkKernelName(kx::RtkKernel::Threads) + " (--realtime), ALSA " +
                           (kx::hdaHasAlsa() ? "yes" : "no") + ", mix " + fastest;
    KxplayRun run = runKxplay(dir.path(), "--version");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "kxplay " KX_VERSION " (kxaudio)\n" + expected + "\n");
}

}  // namespace
