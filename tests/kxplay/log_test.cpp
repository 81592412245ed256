// SPDX-License-Identifier: Apache-2.0
// One scene through the built kxplay, exercising every rule the module applies: the exact log
// line of each command, and the rendered WAV read back by Python period by period, so that the
// log and what is heard are checked against each other.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/kxplay/kxplay_run.h"
#include "tests/support/wavgen.h"

namespace {

constexpr uint32_t kFrames = 256;  // small periods keep the files small

// A stereo file of `periods` periods of one constant sample value.
kxtest::Bytes constantWav(uint32_t periods, int16_t value) {
    return kxtest::canonicalWav(kxtest::constantSamples(periods * kFrames, value));
}

TEST(KxplayLog, EveryCommandLogsItsResultAndTheOutputAgrees) {
    kxtest::TempDir dir;
    dir.write("a.wav", constantWav(8, 1000));
    for (const char* name : {"b.wav", "c.wav", "d.wav", "e.wav"})
        dir.write(name, constantWav(8, 100));
    kxtest::WavLayout mono;
    mono.channels = 1;
    mono.data = kxtest::Bytes(512, 0);
    dir.write("mono.wav", kxtest::buildWav(mono));
    const char* scene =
        "# every rule once\n"
        "sound a a.wav\n"
        "sound b b.wav\n"
        "sound c c.wav\n"
        "sound d d.wav\n"
        "sound e e.wav\n"
        "sound a2 a.wav          # the same file: a2 names a\n"
        "sound m mono.wav\n"
        "sound x missing.wav\n"
        "play a\n"
        "play b\n"
        "play c\n"
        "play d\n"
        "at p1 play e            # a fifth\n"
        "at p1 stop ghost        # names nothing: refused, nothing stops\n"
        "at p2 pause all\n"
        "at p3 play a2 loop      # resumes a\n"
        "at p3 play e exclusive  # stops a, leaves b c d paused\n"
        "at p4 play b\n"
        "at p4 volume 101\n"
        "at p4 volume 356        # low 8 bits: 100\n"
        "at p5 mute on\n"
        "at p6 mute off\n"
        "at p6 delete a\n"
        "at p6 play a2           # deleted through its other name\n"
        "at p6 play x            # never bound\n"
        "at p6 delete ghost\n"
        "at p7 stop all\n"
        "at p7 end\n";
    dir.write("every.scene", kxtest::Bytes(scene, scene + strlen(scene)));

    kxplaytest::KxplayRun run =
        kxplaytest::runKxplay(dir.path(), "--script every.scene --frames 256 -o out.wav");

    const std::vector<std::string> expected = {
        "p0 sound a a.wav -> 0 OK",
        "p0 sound b b.wav -> 0 OK",
        "p0 sound c c.wav -> 0 OK",
        "p0 sound d d.wav -> 0 OK",
        "p0 sound e e.wav -> 0 OK",
        "p0 sound a2 a.wav -> -30483 SND_ERR_EXISTS",
        "p0 sound m mono.wav -> -30482 SND_ERR_FORMAT",
        "p0 sound x missing.wav -> -30484 SND_ERR_FILE",
        "p0 play a -> 0 OK",
        "p0 play b -> 0 OK",
        "p0 play c -> 0 OK",
        "p0 play d -> 0 OK",
        "p1 play e -> -30480 SND_ERR_TOO_MANY",
        "p1 stop ghost -> -30485 SND_ERR_PARAM",
        "p2 pause all -> 0 OK",
        "p3 play a2 loop -> 0 OK",
        "p3 play e exclusive -> 0 OK",
        "p4 play b -> -30479 SND_ERR_EXCLUSIVE",
        "p4 volume 101 -> -30478 SND_ERR_RANGE",
        "p4 volume 356 (kxaudio keeps the low 8 bits: volume 100) -> 0 OK",
        "p5 mute on -> 0 OK",
        "p6 mute off -> 0 OK",
        "p6 delete a -> 0 OK",
        "p6 play a2 -> -30485 SND_ERR_PARAM",
        "p6 play x -> -30485 SND_ERR_PARAM",
        "p6 delete ghost -> -30485 SND_ERR_PARAM",
        "p7 stop all -> 0 OK",
    };
    EXPECT_EQ(kxplaytest::linesStartingWith(run.err, "p"), expected) << run.err;

    // Two files failed, so the status is 1, and each failure is said in words.
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("kxplay: mono.wav: refused: mono; kxaudio plays 2-channel 44100 Hz "
                           "16-bit PCM"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("kxplay: missing.wav: cannot be read: no such file"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("kxplay: rendered 8 periods"), std::string::npos) << run.err;

    // Period by period: p0 is produced before any command; four sounds (1000 + 3 * 100); the
    // refused stop stopped nothing; paused; e alone; volume 100 passes it unchanged; muted;
    // unmuted; and `end` at p7 made p7 the last period.
    EXPECT_EQ(kxplaytest::pythonWavSummary(dir.path(), dir.file("out.wav"), kFrames),
              "2 2 44100 2048 0..0 1300..1300 1300..1300 0..0 100..100 100..100 0..0 100..100");
}

TEST(KxplayLog, WithoutEndTheOutputStopsWhenTheLastSoundEnds) {
    kxtest::TempDir dir;
    dir.write("long.wav", constantWav(5, 200));
    // 2.5 periods of data: the last period is padded with silence.
    dir.write("short.wav", kxtest::canonicalWav(kxtest::constantSamples(640, -300)));
    const char* scene =
        "sound l long.wav\n"
        "sound s short.wav\n"
        "play s\n"
        "at p1 play l\n"
        "at p2 pause l\n"
        "at p4 play l            # resumes: 4 periods left\n";
    dir.write("end.scene", kxtest::Bytes(scene, scene + strlen(scene)));

    kxplaytest::KxplayRun run =
        kxplaytest::runKxplay(dir.path(), "--script end.scene --frames 256 -o out.wav");
    EXPECT_EQ(run.status, 0) << run.err;
    // s: p1 p2 and half of p3; l: p2, then p5 to p8.
    EXPECT_EQ(kxplaytest::pythonWavSummary(dir.path(), dir.file("out.wav"), kFrames),
              "2 2 44100 2304 0..0 -300..-300 -100..-100 -300..0 0..0 200..200 200..200 "
              "200..200 200..200");
}

}  // namespace
