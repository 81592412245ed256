// SPDX-License-Identifier: Apache-2.0
// The built-in demo: its sounds are files the module accepts, its scene parses and ends, and
// running it through kxplay's own entry writes a WAV file that an independent reader plays,
// with the log showing every rule the demo is there to show.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "platform/files/kxfile_host.h"
#include "tests/kxplay/kxplay_run.h"
#include "tests/support/wavgen.h"
#include "tools/kxplay/app.h"
#include "tools/kxplay/demo.h"
#include "tools/kxplay/info.h"
#include "tools/kxplay/scene.h"

namespace {

TEST(KxplayDemo, SoundsAreFilesTheModuleAcceptsAndStayBelowFullScale) {
    kxtest::TempDir dir;
    std::string error;
    ASSERT_TRUE(kx::writeDemoSounds(dir.path(), &error)) << error;
    kx::kxConsoleCapture(true);
    int loopAndTones = 0;  // the four that play together: their peaks must not sum past full scale
    for (const kx::DemoSound& sound : kx::demoSounds()) {
        kx::WavInspection w = kx::inspectWav(dir.file(sound.file));
        EXPECT_TRUE(w.accepted) << sound.file << ": " << w.reason;
        EXPECT_GT(w.dataLength, 44100u * 4) << sound.file;  // at least a second
        std::vector<int16_t> samples = kx::demoSamples(sound.file);
        int peak = 0;
        for (int16_t s : samples)
            peak = std::max(peak, std::abs(static_cast<int>(s)));
        EXPECT_GT(peak, 4000) << sound.file;  // clearly audible
        std::string file = sound.file;
        if (file == "boom.wav")
            EXPECT_LT(peak, 32767) << "the hum clips only over the loop, not alone";
        else if (file != "chime.wav")
            loopAndTones += peak;
        EXPECT_EQ(samples, kx::demoSamples(sound.file)) << "deterministic";
    }
    kx::kxConsoleCapture(false);
    EXPECT_LT(loopAndTones, 32767);
    EXPECT_TRUE(kx::demoSamples("other.wav").empty());
}

TEST(KxplayDemo, SceneParsesAndEnds) {
    kx::Scene scene;
    kx::SceneError error;
    ASSERT_TRUE(kx::parseScene(kx::demoScene(), &scene, &error))
        << error.line << ": " << error.message;
    kx::resolveScene(&scene, 1024);
    EXPECT_TRUE(kx::sceneHasEnd(scene));
    for (const kx::SceneCommand& c : scene.commands) {
        if (c.verb != kx::SceneVerb::Sound)
            continue;
        bool known = false;
        for (const kx::DemoSound& sound : kx::demoSounds())
            known = known || c.file == sound.file;
        EXPECT_TRUE(known) << c.file;
    }
}

TEST(KxplayDemo, WritesAPlayableFileAndShowsEveryRule) {
    kxtest::TempDir dir;
    std::string out = dir.file("demo.wav");
    std::string log = dir.file("demo.log");
    // kxplay's own entry, in this process, with its messages redirected to a file.
    FILE* saved = fdopen(dup(2), "w");
    ASSERT_NE(freopen(log.c_str(), "w", stderr), nullptr);
    std::vector<std::string> args = {"kxplay", "--demo", "-o", out};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    int status = kx::kxplayMain(static_cast<int>(argv.size()), argv.data());
    std::fflush(stderr);
    dup2(fileno(saved), 2);
    std::fclose(saved);
    EXPECT_EQ(status, 0);

    std::string text = kxplaytest::readText(log);
    for (const char* shown :
         {"play beat loop -> 0 OK", "-> -30483 SND_ERR_EXISTS",
          "play chime -> -30480 SND_ERR_TOO_MANY", "pause all -> 0 OK",
          "play chime exclusive -> 0 OK", "play again -> -30479 SND_ERR_EXCLUSIVE",
          "mute on -> 0 OK", "play chime -> 0 OK", "stop chime -> 0 OK", "play boom -> 0 OK",
          "kxplay: rendered 583 periods (13.54 s)", " clipped samples"})
        EXPECT_NE(text.find(shown), std::string::npos) << shown << "\n" << text;
    EXPECT_EQ(text.find(" 0 clipped samples"), std::string::npos) << "the hum clips over the loop";

    // Python's reader: 583 periods of 1024 frames; silent while everything is paused
    // (4.5 s to 5.5 s) and while muted (11.5 s to 12 s), sound elsewhere.
    std::string summary = kxplaytest::pythonWavSummary(dir.path(), out, 1024);
    ASSERT_FALSE(summary.empty());
    std::istringstream in(summary);
    int channels = 0, width = 0, rate = 0, frames = 0;
    in >> channels >> width >> rate >> frames;
    EXPECT_EQ(channels, 2);
    EXPECT_EQ(width, 2);
    EXPECT_EQ(rate, 44100);
    EXPECT_EQ(frames, 583 * 1024);
    std::vector<std::string> periods;
    for (std::string p; in >> p;)
        periods.push_back(p);
    ASSERT_EQ(periods.size(), 583u);
    EXPECT_EQ(periods[0], "0..0");
    EXPECT_NE(periods[100], "0..0");
    EXPECT_EQ(periods[210], "0..0");  // paused
    EXPECT_EQ(periods[222], "0..0");  // the chime plays, but the paused sounds hold every block
    EXPECT_NE(periods[260], "0..0");
    EXPECT_EQ(periods[505], "0..0");  // muted
    EXPECT_NE(periods[530], "0..0");
    EXPECT_EQ(periods[570], "0..0");  // stopped
}

}  // namespace
