// SPDX-License-Identifier: Apache-2.0
// The timeline's record as the runner feeds it: each NAME's periods merged into spans of one
// state, a loop's passes, another NAME for the same sound, commands on their lanes; and a long
// scene with many sounds stays a picture of bounded size.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/kxplay/kxplay_run.h"
#include "tests/support/wavgen.h"
#include "tools/kxplay/text.h"
#include "tools/kxplay/timeline.h"
#include "tools/kxplay/tracker.h"

namespace {

using kx::LaneState;

constexpr uint32_t P = 4096;  // 1024 frames

kx::SoundHandle fake(uintptr_t n) {
    return reinterpret_cast<kx::SoundHandle>(n * 64);
}

kx::SceneCommand command(kx::SceneVerb verb, const std::string& name) {
    kx::SceneCommand c;
    c.verb = verb;
    c.name = name;
    return c;
}

struct Expected {
    uint64_t first, last;
    LaneState state;
    uint64_t pass;
    const char* alias;
};

TEST(KxplayTimeline, PeriodsMergeIntoSpansPerName) {
    kx::PlayTracker t;
    kx::trackerInit(&t, P);
    kx::TimelineRecord r;
    kx::timelineStart(&r, 1024, false, "test");
    // As the runner: commands after period k, then periods k+1... counted by the tracker.
    auto run = [&](uint64_t from, uint64_t to) {
        for (uint64_t p = from; p <= to; ++p) {
            kx::timelineHeard(&r, t, p);
            kx::trackerAdvance(&t);
        }
    };
    kx::timelineCommand(&r, 0, command(kx::SceneVerb::Sound, "loop"), kx::SND_OK, "p0 a");
    kx::trackerCreated(&t, "loop", kx::SND_OK, fake(1), 2 * P);
    kx::timelineCommand(&r, 0, command(kx::SceneVerb::Sound, "same"), kx::SND_ERR_EXISTS, "p0 b");
    kx::trackerCreated(&t, "same", kx::SND_ERR_EXISTS, fake(1), 0);
    kx::timelineCommand(&r, 0, command(kx::SceneVerb::Sound, "one"), kx::SND_OK, "p0 c");
    kx::trackerCreated(&t, "one", kx::SND_OK, fake(2), 3 * P);
    kx::timelineCommand(&r, 0, command(kx::SceneVerb::Play, "loop"), kx::SND_OK, "p0 d");
    kx::trackerPlayed(&t, fake(1), false, true, kx::SND_OK);
    run(1, 5);
    kx::timelineCommand(&r, 5, command(kx::SceneVerb::Pause, "loop"), kx::SND_OK, "p5 e");
    kx::trackerPaused(&t, fake(1), kx::SND_OK);
    kx::timelineCommand(&r, 5, command(kx::SceneVerb::Play, "one"), kx::SND_OK, "p5 f");
    kx::trackerPlayed(&t, fake(2), false, false, kx::SND_OK);
    kx::timelineCommand(&r, 5, command(kx::SceneVerb::Play, "ghost"), kx::SND_ERR_PARAM, "p5 g");
    run(6, 7);
    kx::timelineCommand(&r, 7, command(kx::SceneVerb::Play, "loop"), kx::SND_OK, "p7 h");
    kx::trackerPlayed(&t, fake(1), false, true, kx::SND_OK);  // resumes in its third pass
    kx::timelineCommand(&r, 7, command(kx::SceneVerb::Volume, ""), kx::SND_OK, "p7 i");
    run(8, 12);

    struct Case {
        const char* lane;
        std::vector<Expected> spans;
        size_t marks;
    };
    const Case cases[] = {
        {"loop",
         {{1, 2, LaneState::Heard, 0, ""},
          {3, 4, LaneState::Heard, 1, ""},
          {5, 5, LaneState::Heard, 2, ""},
          {6, 7, LaneState::Paused, 0, ""},
          {8, 8, LaneState::Heard, 2, ""},
          {9, 10, LaneState::Heard, 3, ""},
          {11, 12, LaneState::Heard, 4, ""}},
         4},
        {"same", {{1, 12, LaneState::Alias, 0, "loop"}}, 1},
        {"one", {{6, 8, LaneState::Heard, 0, ""}}, 2},
        {"ghost", {}, 1},
    };
    ASSERT_EQ(r.lanes.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        const Case& c = cases[i];
        const kx::TimelineLane& lane = r.lanes[i];
        EXPECT_EQ(lane.name, c.lane) << "lanes in the order the NAMEs appear";
        ASSERT_EQ(lane.spans.size(), c.spans.size()) << c.lane;
        for (size_t k = 0; k < c.spans.size(); ++k) {
            const kx::LaneSpan& s = lane.spans[k];
            EXPECT_EQ(s.first, c.spans[k].first) << c.lane << " span " << k;
            EXPECT_EQ(s.last, c.spans[k].last) << c.lane << " span " << k;
            EXPECT_EQ(s.state, c.spans[k].state) << c.lane << " span " << k;
            EXPECT_EQ(s.pass, c.spans[k].pass) << c.lane << " span " << k;
            EXPECT_EQ(s.alias, c.spans[k].alias) << c.lane << " span " << k;
        }
        EXPECT_EQ(lane.marks.size(), c.marks) << c.lane;
    }
    ASSERT_EQ(r.master.marks.size(), 1u);
    EXPECT_EQ(r.master.marks[0].line, "p7 i");
    EXPECT_EQ(r.lanes[3].marks[0].status, kx::SND_ERR_PARAM);
}

// Ten minutes of 50 sounds, each started every few seconds and four at a time heard: the picture
// stays about 2400 pixels wide, names every lane and holds spans, not periods.
TEST(KxplayTimeline, ATenMinuteSceneWithFiftySoundsStaysOnePicture) {
    constexpr uint64_t kPeriods = 600ull * 44100 / 1024;
    constexpr int kSounds = 50;
    kx::PlayTracker t;
    kx::trackerInit(&t, P);
    kx::TimelineRecord r;
    kx::timelineStart(&r, 1024, false, "long");
    for (int s = 0; s < kSounds; ++s) {
        std::string name = "sound-" + std::to_string(s);
        kx::timelineCommand(&r, 0, command(kx::SceneVerb::Sound, name), kx::SND_OK, "p0 " + name);
        kx::trackerCreated(&t, name, kx::SND_OK, fake(static_cast<uintptr_t>(s + 1)), 40 * P);
    }
    std::vector<int16_t> quiet(2 * 16, 100);
    size_t commands = 0;
    for (uint64_t p = 0; p < kPeriods; ++p) {
        if (p % 50 == 0) {  // one start a little over a second apart, round the sounds
            int s = static_cast<int>(p / 50) % kSounds;
            kx::SoundHandle h = fake(static_cast<uintptr_t>(s + 1));
            int32_t status = kx::trackerAnyPlaying(t) && p % 200 == 0 ? kx::SND_ERR_TOO_MANY : 0;
            std::string name = kxtest::numberedName("sound-", static_cast<long>(s));
            kx::timelineCommand(&r, p, command(kx::SceneVerb::Play, name), status,
                                kxtest::numberedName("p", static_cast<long>(p), " play ") + name);
            kx::trackerPlayed(&t, h, false, false, status);
            ++commands;
        }
        kx::timelineLevel(&r, quiet.data(), 16);
        if (p > 0) {
            kx::timelineHeard(&r, t, p);
            kx::trackerAdvance(&t);
        }
    }
    size_t spans = 0;
    for (const kx::TimelineLane& lane : r.lanes)
        spans += lane.spans.size();
    EXPECT_LE(spans, commands) << "one span per start at most";

    kxtest::TempDir dir;
    std::string error;
    ASSERT_TRUE(kx::writeTimelineSvg(&r, dir.file("long.svg"), &error)) << error;
    std::string svg = kxplaytest::readText(dir.file("long.svg"));
    kx::TimelineGeometry g = kx::timelineGeometry(kPeriods, 1024, kSounds, false);
    EXPECT_LT(g.width, 2800);
    EXPECT_LT(svg.size(), 3u * 1024 * 1024);
    for (int s = 0; s < kSounds; ++s)
        EXPECT_NE(svg.find(">sound-" + std::to_string(s) + "</text>"), std::string::npos) << s;

    std::string missing;
    EXPECT_FALSE(kx::writeTimelineSvg(&r, dir.file("no/such/dir.svg"), &missing));
    EXPECT_FALSE(missing.empty());
}

// Foreign text in the picture and in messages: well-formed UTF-8 is kept, anything a terminal
// acts on or an XML parser refuses is spelled out byte by byte.
TEST(KxplayTimelineText, ControlAndBrokenBytesAreSpelledOut) {
    struct Case {
        std::string in;
        const char* out;
    };
    const Case cases[] = {
        {"plain name.wav\tx", "plain name.wav\tx"},
        {"caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x8E\xB5", "caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x8E\xB5"},
        {"\x1b[2J", "\\x1b[2J"},
        {std::string("a\0b", 3), "a\\x00b"},
        {"\x7f\xC2\x9B", "\\x7f\\xc2\\x9b"},  // DEL, and C1's CSI
        {"\xC0\xAF", "\\xc0\\xaf"},           // overlong '/'
        {"\xED\xA0\x80", "\\xed\\xa0\\x80"},  // a surrogate
        {"\xE2\x82(", "\\xe2\\x82("},         // cut short, then a character
        {"\xEF\xBF\xBE", "\\xef\\xbf\\xbe"},  // U+FFFE, which XML does not allow
    };
    for (const Case& c : cases)
        EXPECT_EQ(kx::visibleText(c.in), c.out) << c.out;
}

// A scene file and a sound file whose names hold control bytes and bytes that are not UTF-8: the
// picture still parses as XML (Python's parser) and shows the bytes spelled out.
TEST(KxplayTimelineText, ForeignBytesInNamesAndLogLinesKeepThePictureValid) {
    kxtest::TempDir dir;
    dir.write("x\x07\xc3(.wav", kxtest::canonicalWav(kxtest::noiseSamples(3000, 4)));
    const char* scene =
        "sound a \"x\x07\xc3(.wav\"\n"
        "sound b \"\x1b]0;gone\x07\xff.wav\"\n"
        "play a\n"
        "at 0.05 end\n";
    dir.write("s\x1b\xfe.scene", kxtest::Bytes(scene, scene + strlen(scene)));
    kxplaytest::KxplayRun run =
        kxplaytest::runKxplay(dir.path(), "-q --script s*.scene --timeline t.svg -o out.wav");
    EXPECT_EQ(run.status, 1) << run.err;  // sound b's file is missing
    std::string check =
        "python3 -c 'import sys, xml.etree.ElementTree as E; E.parse(sys.argv[1])' '" +
        dir.file("t.svg") + "'";
    EXPECT_EQ(std::system(check.c_str()), 0) << "the picture does not parse as XML";
    std::string svg = kxplaytest::readText(dir.file("t.svg"));
    for (const char* shown :
         {"kxplay: s\\x1b\\xfe.scene", "x\\x07\\xc3(.wav", "\\x1b]0;gone\\x07\\xff.wav"})
        EXPECT_NE(svg.find(shown), std::string::npos) << shown;
}

}  // namespace
