// The scene language: what each line becomes, every kind of malformed line (its number and what
// was expected), times in seconds and periods, ordering, and the check for endless loops.
#include <gtest/gtest.h>

#include <string>

#include "tools/kxplay/scene.h"

namespace {

using kx::SceneCommand;
using kx::SceneVerb;

SceneCommand parseOne(const std::string& line) {
    kx::Scene scene;
    kx::SceneError error;
    EXPECT_TRUE(kx::parseScene(line, &scene, &error)) << line << ": " << error.message;
    EXPECT_EQ(scene.commands.size(), 1u) << line;
    return scene.commands.empty() ? SceneCommand{} : scene.commands[0];
}

TEST(SceneParse, EachCommandBecomesItsFields) {
    struct Case {
        const char* line;
        SceneVerb verb;
        const char* name;
        bool all;
        const char* file;
        bool loop, exclusive;
        uint32_t value;
        bool atPeriod;
        uint64_t when;
        const char* text;
    };
    const Case cases[] = {
        {"sound a a.wav", SceneVerb::Sound, "a", false, "a.wav", false, false, 0, false, 0,
         "sound a a.wav"},
        {"at 1.5 sound drum-1 sub/drum.wav", SceneVerb::Sound, "drum-1", false, "sub/drum.wav",
         false, false, 0, false, 1500000000, "sound drum-1 sub/drum.wav"},
        {"at p64 play a", SceneVerb::Play, "a", false, "", false, false, 0, true, 64, "play a"},
        {"at 2 play a loop", SceneVerb::Play, "a", false, "", true, false, 0, false, 2000000000,
         "play a loop"},
        {"play a exclusive loop", SceneVerb::Play, "a", false, "", true, true, 0, false, 0,
         "play a exclusive loop"},
        {"pause all", SceneVerb::Pause, "", true, "", false, false, 0, false, 0, "pause all"},
        {"at p0 pause x.y", SceneVerb::Pause, "x.y", false, "", false, false, 0, true, 0,
         "pause x.y"},
        {"stop all", SceneVerb::Stop, "", true, "", false, false, 0, false, 0, "stop all"},
        {"stop b_2", SceneVerb::Stop, "b_2", false, "", false, false, 0, false, 0, "stop b_2"},
        {"delete a", SceneVerb::Delete, "a", false, "", false, false, 0, false, 0, "delete a"},
        {"volume 40", SceneVerb::Volume, "", false, "", false, false, 40, false, 0, "volume 40"},
        {"volume 356", SceneVerb::Volume, "", false, "", false, false, 356, false, 0, "volume 356"},
        {"mute on", SceneVerb::Mute, "", false, "", false, false, 1, false, 0, "mute on"},
        {"mute off", SceneVerb::Mute, "", false, "", false, false, 0, false, 0, "mute off"},
        {"at 0.25 end", SceneVerb::End, "", false, "", false, false, 0, false, 250000000, "end"},
        // The text is the command as written: inner spacing kept, comment and margins dropped.
        {"  at 3   play  a   loop   # the loop\r", SceneVerb::Play, "a", false, "", true, false, 0,
         false, 3000000000, "play  a   loop"},
        {"sound s \"my song #1.wav\"", SceneVerb::Sound, "s", false, "my song #1.wav", false, false,
         0, false, 0, "sound s \"my song #1.wav\""},
    };
    for (const Case& c : cases) {
        SceneCommand got = parseOne(c.line);
        EXPECT_EQ(got.verb, c.verb) << c.line;
        EXPECT_EQ(got.name, c.name) << c.line;
        EXPECT_EQ(got.all, c.all) << c.line;
        EXPECT_EQ(got.file, c.file) << c.line;
        EXPECT_EQ(got.loop, c.loop) << c.line;
        EXPECT_EQ(got.exclusive, c.exclusive) << c.line;
        EXPECT_EQ(got.value, c.value) << c.line;
        EXPECT_EQ(got.atPeriod, c.atPeriod) << c.line;
        EXPECT_EQ(got.when, c.when) << c.line;
        EXPECT_EQ(got.text, c.text) << c.line;
        EXPECT_EQ(got.line, 1) << c.line;
        EXPECT_EQ(got.location, kx::KXPLAY_SCENE_LOCATION) << c.line;
    }
}

TEST(SceneParse, CommentsBlankLinesAndLineNumbers) {
    kx::Scene scene;
    kx::SceneError error;
    const char* text =
        "# a scene\n"
        "\n"
        "sound a a.wav   # first\n"
        "   \t\n"
        "at 1 play a\n"
        "# done";
    ASSERT_TRUE(kx::parseScene(text, &scene, &error)) << error.message;
    ASSERT_EQ(scene.commands.size(), 2u);
    EXPECT_EQ(scene.commands[0].line, 3);
    EXPECT_EQ(scene.commands[1].line, 5);

    ASSERT_TRUE(kx::parseScene("", &scene, &error));
    EXPECT_TRUE(scene.commands.empty());
}

TEST(SceneParse, MalformedLinesNameTheLineAndWhatWasExpected) {
    struct Case {
        const char* text;
        int line;
        const char* expected;  // a part of the message
    };
    const Case cases[] = {
        {"paly a", 1, "expected a command: sound, play, pause, stop, delete, volume, mute or end"},
        {"sound a a.wav\nat", 2,
         "expected a time (seconds such as 1.5, or a period such as p64) "
         "after 'at'"},
        {"at x play a", 1, "after 'at', found 'x'"},
        {"at 1.5.2 play a", 1, "found '1.5.2'"},
        {"at -1 play a", 1, "found '-1'"},
        {"at 1.0000000001 play a", 1, "found '1.0000000001'"},
        {"at 100001 play a", 1, "found '100001'"},
        {"at p play a", 1, "found 'p'"},
        {"at px play a", 1, "period index"},
        {"at 2", 1,
         "expected a command: sound, play, pause, stop, delete, volume, mute or end "
         "after 'at 2'"},
        {"1.5 play a", 1, "(a time is written 'at 1.5')"},
        {"\n\nsound", 3, "expected a sound NAME and a FILE after 'sound'"},
        {"sound a", 1, "expected a FILE after 'sound a'"},
        {"sound all x.wav", 1, "expected a sound NAME"},
        {"sound a/b x.wav", 1, "found 'a/b'"},
        {"sound a x.wav y.wav", 1, "expected nothing after 'sound NAME FILE', found 'y.wav'"},
        {"sound a \"x.wav", 1, "expected a closing '\"'"},
        {"sound a \"\"", 1, "found an empty name"},
        {"play", 1, "expected a sound NAME"},
        {"play a looop", 1, "expected 'loop' or 'exclusive' after 'play a', found 'looop'"},
        {"play a loop loop", 1, "expected 'loop' at most once"},
        {"play all", 1, "found 'all'"},
        {"pause", 1, "expected a sound NAME or 'all' after 'pause'"},
        {"stop a b", 1, "expected nothing after 'stop a', found 'b'"},
        {"delete all", 1, "found 'all'"},
        {"volume", 1, "expected a volume N"},
        {"volume -3", 1, "found '-3'"},
        {"volume loud", 1, "found 'loud'"},
        {"volume 4294967296", 1, "found '4294967296'"},
        {"mute yes", 1, "expected 'on' or 'off' after 'mute', found 'yes'"},
        {"end now", 1, "expected nothing after 'end', found 'now'"},
        {"\"play\" a", 1, "found 'play'"},
    };
    for (const Case& c : cases) {
        kx::Scene scene;
        scene.commands.push_back(SceneCommand{});
        kx::SceneError error;
        EXPECT_FALSE(kx::parseScene(c.text, &scene, &error)) << c.text;
        EXPECT_EQ(error.line, c.line) << c.text;
        EXPECT_NE(error.message.find(c.expected), std::string::npos)
            << c.text << "\n  message: " << error.message << "\n  wanted: " << c.expected;
        EXPECT_TRUE(scene.commands.empty()) << c.text;
    }
}

TEST(SceneTime, SecondsAreExactAndNameTheFirstPeriodAtOrAfterThem) {
    struct Case {
        const char* seconds;
        uint32_t frames;
        uint64_t period;
    };
    const Case cases[] = {
        {"0", 1024, 0},
        {"0.000001", 1024, 1},  // any time after the start is in a later period
        {"1.5", 1024, 65},      // 66150 / 1024 = 64.6
        {"0.1", 441, 10},       // exactly on a boundary: floating point would say 11
        {"0.3", 441, 30},
        {"1", 44100, 1},
        {"1.000000001", 44100, 2},
        {"100000", 2, 2205000000},
        {"2", 1024, 87},  // 88200 / 1024 = 86.13
    };
    for (const Case& c : cases) {
        uint64_t nanos = 0;
        ASSERT_TRUE(kx::parseSeconds(c.seconds, &nanos)) << c.seconds;
        EXPECT_EQ(kx::periodAt(nanos, c.frames), c.period) << c.seconds << " at " << c.frames;
    }
    uint64_t untouched = 7;
    for (const char* bad : {"", ".5", "5.", "1e3", "1,5", " 1", "100000.000000001"})
        EXPECT_FALSE(kx::parseSeconds(bad, &untouched)) << bad;
    EXPECT_EQ(untouched, 7u);
}

TEST(SceneTime, ResolveOrdersByPeriodAndKeepsWrittenOrderWithinAPeriod) {
    kx::Scene scene;
    kx::SceneError error;
    ASSERT_TRUE(
        kx::parseScene("at 1 play c\n"
                       "at p43 play d\n"  // 1 s at 1024 frames is p44
                       "sound a a.wav\n"
                       "at p44 play e\n"
                       "at 0 play b\n",
                       &scene, &error));
    kx::resolveScene(&scene, 1024);
    std::string order;
    for (const SceneCommand& c : scene.commands)
        order +=
            (c.name.empty() ? std::string("?") : c.name) + "@" + std::to_string(c.period) + " ";
    EXPECT_EQ(order, "a@0 b@0 d@43 c@44 e@44 ");
}

TEST(SceneLoops, ALoopLeftPlayingAfterTheLastCommandIsFound) {
    struct Case {
        const char* scene;
        const char* looping;  // "" when every loop is ended
    };
    const Case cases[] = {
        {"sound a a.wav\nplay a loop", "a"},
        {"sound a a.wav\nplay a", ""},
        {"sound a a.wav\nplay a loop\nat 2 stop a", ""},
        {"sound a a.wav\nplay a loop\nat 2 stop all", ""},
        {"sound a a.wav\nplay a loop\nat 2 pause all", ""},
        {"sound a a.wav\nplay a loop\nat 2 pause a", ""},
        {"sound a a.wav\nplay a loop\nat 2 delete a", ""},
        {"sound a a.wav\nplay a loop\nat 2 play a", ""},
        // An exclusive play of another sound stops the loop; its own loop flag counts.
        {"sound a a.wav\nsound b b.wav\nplay a loop\nat 1 play b exclusive", ""},
        {"sound a a.wav\nsound b b.wav\nplay a loop\nat 1 play b exclusive loop", "b"},
        // Names given the same file are the same sound.
        {"sound a a.wav\nsound b a.wav\nplay a loop\nat 1 stop b", ""},
        {"sound a a.wav\nsound b b.wav\nplay a loop\nat 1 stop b", "a"},
        // Order is by time, not by line.
        {"sound a a.wav\nat 2 play a loop\nat 1 stop a", "a"},
        // A play of a NAME that names nothing changes nothing.
        {"play x loop", ""},
    };
    for (const Case& c : cases) {
        kx::Scene scene;
        kx::SceneError error;
        ASSERT_TRUE(kx::parseScene(c.scene, &scene, &error)) << c.scene;
        kx::resolveScene(&scene, 1024);
        EXPECT_EQ(kx::sceneEndlessLoop(scene), c.looping) << c.scene;
    }
    kx::Scene scene;
    kx::SceneError error;
    ASSERT_TRUE(kx::parseScene("play a\nat 3 end", &scene, &error));
    EXPECT_TRUE(kx::sceneHasEnd(scene));
    ASSERT_TRUE(kx::parseScene("play a", &scene, &error));
    EXPECT_FALSE(kx::sceneHasEnd(scene));
}

}  // namespace
