// SPDX-License-Identifier: Apache-2.0
// kxplay --target qemu's input to the image: the scene.cmd text and the archive's file list made
// from a resolved scene (each field, each flag, what is left out, where other locations' files
// go, every refused name), and the cpio archive read back by a reader of the format's own.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tools/kxplay/target.h"

namespace {

using kx::SceneCommand;
using kx::SceneVerb;

SceneCommand command(uint64_t period, SceneVerb verb, const std::string& name,
                     const std::string& text) {
    SceneCommand c;
    c.line = static_cast<int>(period) + 1;
    c.period = period;
    c.verb = verb;
    c.name = name;
    c.text = text;
    return c;
}

SceneCommand sound(uint64_t period, const std::string& name, const std::string& file,
                   uint32_t location = kx::KXPLAY_SCENE_LOCATION) {
    SceneCommand c = command(period, SceneVerb::Sound, name, "sound " + name + " " + file);
    c.file = file;
    c.location = location;
    return c;
}

TEST(TargetScene, CommandsAndFilesAreWhatTheImageIsGiven) {
    SceneCommand loopExclusive = command(2, SceneVerb::Play, "a", "play a exclusive loop");
    loopExclusive.loop = true;
    loopExclusive.exclusive = true;
    SceneCommand stopAll = command(3, SceneVerb::Stop, "", "stop all");
    stopAll.all = true;
    SceneCommand volume = command(3, SceneVerb::Volume, "", "volume 300 (heard as 44)");
    volume.value = 300;
    SceneCommand mute = command(4, SceneVerb::Mute, "", "mute on");
    mute.value = 1;
    struct Case {
        const char* what;
        std::vector<SceneCommand> commands;
        std::vector<std::pair<uint32_t, std::string>> locations;
        bool filesMode;
        uint64_t lastPeriod;
        std::string text;
        std::vector<std::pair<std::string, std::string>> files;  // archive name, host path
    };
    const Case cases[] = {
        {"every verb, its flags and value; end is left out",
         {sound(0, "a", "a.wav"), loopExclusive, command(2, SceneVerb::Pause, "a", "pause a"),
          stopAll, volume, mute, command(5, SceneVerb::Delete, "a", "delete a"),
          command(6, SceneVerb::End, "", "end")},
         {},
         false,
         UINT64_MAX,
         "kxscene|256|18446744073709551615\n"
         "0|sound|a|a.wav|1||0|sound a a.wav\n"
         "2|play|a||1|le|0|play a exclusive loop\n"
         "2|pause|a||1||0|pause a\n"
         "3|stop|||1|a|0|stop all\n"
         "3|volume|||1||300|volume 300 (heard as 44)\n"
         "4|mute|||1||1|mute on\n"
         "5|delete|a||1||0|delete a\n",
         {{"a.wav", "/scenes/a.wav"}}},
        {"commands after the last period and their files are left out",
         {sound(0, "a", "sub/a.wav"), command(1, SceneVerb::Play, "a", "play a"),
          sound(7, "b", "b.wav"), command(7, SceneVerb::Play, "b", "play b")},
         {},
         false,
         1,
         "kxscene|256|1\n"
         "0|sound|a|sub/a.wav|1||0|sound a sub/a.wav\n"
         "1|play|a||1||0|play a\n",
         {{"sub/a.wav", "/scenes/sub/a.wav"}}},
        {"another location's files go under L<n>/, a file named twice is packed once",
         {sound(0, "a", "a.wav"), sound(0, "b", "a.wav", 2), sound(1, "c", "a.wav", 2),
          command(1, SceneVerb::Play, "b", "play b")},
         {{2, "/other"}},
         true,
         UINT64_MAX,
         "kxscene|256|18446744073709551615\n"
         "0|sound|a|a.wav|1||0|sound a a.wav\n"
         "0|sound|b|L2/a.wav|1||0|sound b a.wav\n"
         "1|sound|c|L2/a.wav|1||0|sound c a.wav\n"
         "1|play|b||1|s|0|play b\n",
         {{"L2/a.wav", "/other/a.wav"}, {"a.wav", "/scenes/a.wav"}}},
    };
    for (const Case& c : cases) {
        kx::Scene scene;
        scene.commands = c.commands;
        kx::RunConfig config;
        config.frames = 256;
        config.dir = "/scenes";
        config.locations = c.locations;
        config.filesMode = c.filesMode;
        std::string text;
        std::vector<kx::TargetFile> files;
        std::string error;
        ASSERT_TRUE(kx::targetScene(scene, config, c.lastPeriod, &text, &files, &error))
            << c.what << ": " << error;
        EXPECT_EQ(text, c.text) << c.what;
        std::vector<std::pair<std::string, std::string>> got;
        for (const kx::TargetFile& f : files)
            got.emplace_back(f.name, f.path);
        EXPECT_EQ(got, c.files) << c.what;
    }
}

TEST(TargetScene, NamesTheImageCannotOpenAreRefusedWithTheirLine) {
    struct Case {
        SceneCommand command;
        std::string error;
    };
    SceneCommand made = sound(0, "a", "../a.wav");
    made.line = 0;
    const std::string rule =
        "the target opens files below --dir only, by names without '.', '..' or '|': '";
    const Case cases[] = {
        {sound(2, "a", "../a.wav"), "line 3: " + rule + "../a.wav'"},
        {sound(0, "a", "sub/./a.wav"), "line 1: " + rule + "sub/./a.wav'"},
        {sound(0, "a", "/abs/a.wav"), "line 1: " + rule + "/abs/a.wav'"},
        {sound(0, "a", "a|b.wav"), "line 1: " + rule + "a|b.wav'"},
        {sound(0, "a", ""), "line 1: " + rule + "'"},
        {sound(0, "a", "a.wav", 3), "line 1: " + rule + "a.wav'"},  // location 3 is not bound
        {made, rule + "../a.wav'"},
    };
    for (const Case& c : cases) {
        kx::Scene scene;
        scene.commands = {sound(0, "ok", "ok.wav"), c.command};
        kx::RunConfig config;
        config.dir = "/scenes";
        std::string text = "untouched";
        std::vector<kx::TargetFile> files;
        std::string error;
        EXPECT_FALSE(kx::targetScene(scene, config, UINT64_MAX, &text, &files, &error))
            << c.command.file;
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(text, "untouched") << c.command.file;
    }
}

// One member as the newc format stores it.
struct CpioMember {
    uint32_t fields[13];  // ino, mode, uid, gid, nlink, mtime, filesize, ..., namesize, check
    std::string name;
    std::string data;
};

// Reads a newc archive through its trailer; false at the first byte that breaks the format.
bool readCpio(const std::string& archive, std::vector<CpioMember>* members) {
    size_t at = 0;
    for (;;) {
        if (at % 4 != 0 || archive.compare(at, 6, "070701") != 0 || archive.size() < at + 110)
            return false;
        CpioMember m{};
        for (int i = 0; i < 13; ++i) {
            std::string hex = archive.substr(at + 6 + 8 * i, 8);
            if (hex.find_first_not_of("0123456789abcdef") != std::string::npos)
                return false;
            m.fields[i] = static_cast<uint32_t>(std::stoul(hex, nullptr, 16));
        }
        size_t nameSize = m.fields[11];
        size_t nameAt = at + 110;
        if (nameSize == 0 || archive.size() < nameAt + nameSize || archive[nameAt + nameSize - 1])
            return false;
        m.name = archive.substr(nameAt, nameSize - 1);
        size_t dataAt = (nameAt + nameSize + 3) / 4 * 4;
        if (archive.find_first_not_of('\0', nameAt + nameSize) < dataAt)
            return false;  // the name's padding is not zeros
        if (archive.size() < dataAt + m.fields[6])
            return false;
        m.data = archive.substr(dataAt, m.fields[6]);
        at = (dataAt + m.fields[6] + 3) / 4 * 4;
        if (archive.size() < at || archive.find_first_not_of('\0', dataAt + m.fields[6]) < at)
            return false;
        members->push_back(m);
        if (m.name == "TRAILER!!!")
            return at == archive.size();
    }
}

TEST(CpioArchive, ReadsBackAsItsMembersThenTheTrailer) {
    std::string binary("\0\x01\xff\n", 4);
    const std::vector<std::vector<std::pair<std::string, std::string>>> cases = {
        {},
        {{"scene.cmd", "kxscene|1024|3\n"}},
        // Names and data of every length modulo 4, so that each padding is exercised.
        {{"a", ""}, {"ab", "x"}, {"abc", "xy"}, {"L2/abcd.wav", "xyz"}, {"e.wav", binary}},
    };
    for (const auto& members : cases) {
        std::string archive = kx::cpioArchive(members);
        std::vector<CpioMember> got;
        ASSERT_TRUE(readCpio(archive, &got)) << members.size() << " members";
        ASSERT_EQ(got.size(), members.size() + 1);
        for (size_t i = 0; i < got.size(); ++i) {
            bool trailer = i == members.size();
            EXPECT_EQ(got[i].name, trailer ? "TRAILER!!!" : members[i].first);
            EXPECT_EQ(got[i].data, trailer ? "" : members[i].second);
            EXPECT_EQ(got[i].fields[1], trailer ? 0u : 0100644u) << got[i].name;  // mode
            EXPECT_EQ(got[i].fields[4], 1u) << got[i].name;                       // nlink
        }
    }
}

}  // namespace
