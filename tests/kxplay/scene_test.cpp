// SPDX-License-Identifier: Apache-2.0
// The scene language: what each line becomes, every kind of malformed line (its number and what
// was expected), times in seconds and periods, ordering, and the check for endless loops.
#include <gtest/gtest.h>

#include <string>

#include "tools/kxplay/live.h"
#include "tools/kxplay/scene.h"

namespace {

using kx::SceneCommand;
using kx::SceneVerb;

// The whole literal, NUL bytes included.
template <size_t N>
std::string withNul(const char (&text)[N]) {
    return std::string(text, N - 1);
}

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
        // Passed on as written; the text says what kxaudio, which keeps the low 8 bits, hears.
        {"volume 255", SceneVerb::Volume, "", false, "", false, false, 255, false, 0, "volume 255"},
        {"volume 356", SceneVerb::Volume, "", false, "", false, false, 356, false, 0,
         "volume 356 (kxaudio keeps the low 8 bits: volume 100)"},
        {"volume 4294967040", SceneVerb::Volume, "", false, "", false, false, 4294967040u, false, 0,
         "volume 4294967040 (kxaudio keeps the low 8 bits: volume 0)"},
        // A byte order mark before the first line is not part of it.
        {"\xEF\xBB\xBFsound a a.wav", SceneVerb::Sound, "a", false, "a.wav", false, false, 0, false,
         0, "sound a a.wav"},
        // A FILE may hold any byte but NUL; the text shows control bytes spelled out.
        {"sound a \"x\x1b[2J.wav\"", SceneVerb::Sound, "a", false, "x\x1b[2J.wav", false, false, 0,
         false, 0, "sound a \"x\\x1b[2J.wav\""},
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

// Lines a user did not mean as written: bytes that are not text, a name a scene cannot take, a
// typo. The message names what is there, shows control bytes spelled out, and claims nothing
// that is not so (no "at" advice for a typo, nor under --live).
TEST(SceneInput, MessagesSayWhatIsThereAndNothingElse) {
    struct Case {
        std::string text;
        bool live;          // parsed as one --live line
        const char* says;   // a part of the message
        const char* never;  // must not be in the message ("" for no such part)
    };
    const Case cases[] = {
        {withNul("sound x a\0.wav\nplay x"), false, "expected text, found a NUL byte at column 10",
         ""},
        {"paly a", false, "found 'paly'", "a time is written"},
        {"p4 play a", false, "found 'p4' (a time is written 'at p4')", ""},
        {"1.5 play a", true, "write it without a time", "'at"},
        {"paly a", true, "found 'paly'", "'at"},
        {"play \x1b[2Ja", false, "found '\\x1b[2Ja'", "\x1b"},
        {"mute \xff\xfe", false, "found '\\xff\\xfe'", "\xff"},
        {"\xEF\xBB\xBFplya", false, "found 'plya'", "\xEF"},
        {"volume -1", false, "found '-1'; kxaudio can be given 0 to 4294967295 only", ""},
        {"volume 4294967296", false, "found '4294967296'; kxaudio can be given 0 to 4294967295",
         ""},
        {"volume loud", false, "found 'loud'", "4294967295"},
        {"sound a /tmp/x/a.wav", false,
         "found the absolute path '/tmp/x/a.wav'; a scene's files are names in the --dir "
         "directory (kxaudio's location 1): give --dir '/tmp/x' and write 'a.wav'",
         ""},
    };
    for (const Case& c : cases) {
        std::string message;
        if (c.live) {
            SceneCommand command;
            EXPECT_FALSE(kx::parseLiveLine(c.text, &command, &message)) << c.text;
        } else {
            kx::Scene scene;
            kx::SceneError error;
            EXPECT_FALSE(kx::parseScene(c.text, &scene, &error)) << c.text;
            EXPECT_EQ(error.line, 1) << c.text;
            message = error.message;
        }
        EXPECT_NE(message.find(c.says), std::string::npos)
            << c.text << "\n  message: " << message << "\n  wanted: " << c.says;
        if (*c.never != '\0') {
            EXPECT_EQ(message.find(c.never), std::string::npos) << c.text << ": " << message;
        }
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
