// SPDX-License-Identifier: Apache-2.0
// kxplay's command line: accepted forms and what they set, and every usage error.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tools/kxplay/options.h"

namespace {

int parse(std::vector<const char*> args, kx::KxplayOptions* options, std::string* error) {
    args.insert(args.begin(), "kxplay");
    return kx::parseKxplayOptions(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(KxplayOptions, AcceptedFormsSetWhatTheySay) {
    kx::KxplayOptions o;
    std::string error;

    ASSERT_EQ(parse({"a.wav", "b/c.wav"}, &o, &error), 0) << error;
    EXPECT_EQ(o.mode, kx::KxplayMode::Files);
    EXPECT_EQ(o.files, (std::vector<std::string>{"a.wav", "b/c.wav"}));
    EXPECT_FALSE(o.hasOutput);
    EXPECT_EQ(o.frames, 1024u);
    EXPECT_EQ(o.dir, ".");
    EXPECT_EQ(o.clock, kx::KxplayClock::Default);

    ASSERT_EQ(parse({"-o", "out.wav", "--frames", "256", "--fast", "-q", "a.wav"}, &o, &error), 0)
        << error;
    EXPECT_TRUE(o.hasOutput);
    EXPECT_EQ(o.output, "out.wav");
    EXPECT_EQ(o.frames, 256u);
    EXPECT_EQ(o.clock, kx::KxplayClock::Fast);
    EXPECT_TRUE(o.quiet);

    ASSERT_EQ(parse({"-oout.wav", "--output=x.wav", "--frames=2", "a.wav"}, &o, &error), 0);
    EXPECT_EQ(o.output, "x.wav");  // the last one wins
    EXPECT_EQ(o.frames, 2u);

    ASSERT_EQ(parse({"-o", "-", "--duration", "2.5", "--realtime", "a.wav"}, &o, &error), 0);
    EXPECT_EQ(o.output, "-");
    EXPECT_EQ(o.durationNanos, 2500000000u);
    EXPECT_EQ(o.clock, kx::KxplayClock::RealTime);

    ASSERT_EQ(parse({"--script", "s.txt", "--dir", "sounds", "--device", "hw:0", "--one-cpu",
                     "--rt-sched"},
                    &o, &error),
              0)
        << error;
    EXPECT_EQ(o.mode, kx::KxplayMode::Script);
    EXPECT_EQ(o.script, "s.txt");
    EXPECT_EQ(o.dir, "sounds");
    EXPECT_TRUE(o.hasDevice);
    EXPECT_EQ(o.device, "hw:0");
    EXPECT_TRUE(o.oneProcessor);
    EXPECT_TRUE(o.realtimeScheduling);
    EXPECT_FALSE(o.noInheritance);

    ASSERT_EQ(parse({"--no-inherit", "a.wav"}, &o, &error), 0) << error;
    EXPECT_TRUE(o.noInheritance);

    ASSERT_EQ(parse({"--script", "-"}, &o, &error), 0);
    EXPECT_EQ(o.script, "-");

    ASSERT_EQ(parse({"--info", "a.wav", "b.wav"}, &o, &error), 0);
    EXPECT_EQ(o.mode, kx::KxplayMode::Info);
    EXPECT_EQ(o.files.size(), 2u);

    ASSERT_EQ(parse({"--demo", "-o", "d.wav", "--timeline", "d.svg"}, &o, &error), 0);
    EXPECT_EQ(o.mode, kx::KxplayMode::Demo);
    EXPECT_EQ(o.timeline, "d.svg");

    ASSERT_EQ(parse({"--live", "-o", "l.wav", "--script", "first.scene"}, &o, &error), 0) << error;
    EXPECT_EQ(o.mode, kx::KxplayMode::Live);
    EXPECT_EQ(o.script, "first.scene");
    ASSERT_EQ(parse({"--live", "--device", "default", "--realtime"}, &o, &error), 0) << error;
    EXPECT_EQ(o.mode, kx::KxplayMode::Live);
    EXPECT_TRUE(o.script.empty());

    ASSERT_EQ(
        parse({"--target", "qemu", "--image=x.elf", "--fast", "--demo", "-o", "q.wav"}, &o, &error),
        0)
        << error;
    EXPECT_EQ(o.target, "qemu");
    EXPECT_EQ(o.image, "x.elf");
    EXPECT_EQ(o.clock, kx::KxplayClock::Fast);

    // "--" ends the options: a file may then begin with '-'.
    ASSERT_EQ(parse({"--", "-odd.wav"}, &o, &error), 0);
    EXPECT_EQ(o.files, std::vector<std::string>{"-odd.wav"});

    // --help and --version win over conflicting modes; an unknown option is still an error.
    ASSERT_EQ(parse({"--bogus-free", "-h"}, &o, &error), 2);
    ASSERT_EQ(parse({"--demo", "a.wav", "--help"}, &o, &error), 0);
    EXPECT_EQ(o.mode, kx::KxplayMode::Help);
    ASSERT_EQ(parse({"--version"}, &o, &error), 0);
    EXPECT_EQ(o.mode, kx::KxplayMode::Version);
}

TEST(KxplayOptions, UsageErrorsSayWhatIsWrong) {
    struct Case {
        std::vector<const char*> args;
        const char* expected;
    };
    const Case cases[] = {
        {{}, "nothing to play"},
        {{"--bogus", "a.wav"}, "unknown option '--bogus'"},
        {{"-x", "a.wav"}, "unknown option '-x'"},
        {{"a.wav", "-o"}, "option --output needs a value"},
        {{"-o", "", "a.wav"}, "needs a file name"},
        {{"--frames", "1", "a.wav"}, "from 2 to 65536, not '1'"},
        {{"--frames", "65537", "a.wav"}, "not '65537'"},
        {{"--frames", "many", "a.wav"}, "not 'many'"},
        {{"--duration", "0", "a.wav"}, "above 0"},
        {{"--duration", "-1", "a.wav"}, "not '-1'"},
        {{"--quiet=yes", "a.wav"}, "option --quiet takes no value"},
        {{"--fast", "--realtime", "a.wav"}, "choose one of --fast and --realtime"},
        {{"-o", "x.wav", "--device", "default", "a.wav"}, "choose one of --output and --device"},
        {{"--info"}, "--info needs at least one FILE.wav"},
        {{"--info", "--demo", "a.wav"}, "choose one of --info, --script and --demo"},
        {{"--script", "s", "a.wav"}, "--script takes no FILE arguments ('a.wav' given)"},
        {{"--demo", "a.wav"}, "--demo takes no FILE arguments"},
        {{"--demo", "--dir", "x"}, "--demo makes its own sounds"},
        {{"--dir", "", "a.wav"}, "--dir needs a directory"},
        {{"--timeline", "", "a.wav"}, "--timeline needs a file name"},
        {{"--info", "a.wav", "--timeline", "x.svg"}, "--info plays nothing"},
        {{"--live", "--fast", "-o", "x.wav"}, "--live runs in real time"},
        {{"--live", "--demo"}, "--live takes no --demo"},
        {{"--live", "--info", "a.wav"}, "--live takes no --info"},
        {{"--live", "--script", "-", "-o", "x.wav"}, "give --script a file, not '-'"},
        {{"--live", "-o", "x.wav", "a.wav"}, "--live takes no FILE arguments ('a.wav' given)"},
        {{"--live=yes"}, "option --live takes no value"},
        {{"--target", "host", "a.wav"}, "--target takes qemu, not 'host'"},
        {{"--target", "qemu", "--realtime", "a.wav"}, "it takes no --realtime"},
        {{"--target", "qemu", "--device", "d", "a.wav"}, "it takes no --device"},
        {{"--live", "--target", "qemu", "-o", "x.wav"}, "it takes no --live"},
        {{"--image", "x.elf", "a.wav"}, "give --target qemu with it"},
    };
    for (const Case& c : cases) {
        kx::KxplayOptions o;
        std::string error;
        EXPECT_EQ(parse(c.args, &o, &error), 2) << c.expected;
        EXPECT_NE(error.find(c.expected), std::string::npos)
            << "message: " << error << "\nwanted: " << c.expected;
    }
}

// The manual page (written by hand), docs/kxplay.md and README.md's table stay in step with the
// options kxplay takes: each names exactly the long options of --help, and every short form of
// one. README.md's table has no empty cell, and its exit line names every status --help does.
TEST(KxplayOptions, ManualPageAndGuideNameEveryOption) {
    auto find = [](std::string text, const char* pattern) {
        text = std::regex_replace(text, std::regex(R"(\\-)"), "-");  // roff's escaped dash
        std::set<std::string> found;
        std::regex re(pattern);
        for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it)
            found.insert((*it)[2]);
        return found;
    };
    const char* longOption = R"((^|[^\w-])(--[a-z][a-z0-9-]*))";
    auto section = [](const std::string& text, const char* from, const char* to) {
        size_t start = text.find(from);
        return start == std::string::npos ? std::string()
                                          : text.substr(start, text.find(to, start) - start);
    };
    auto read = [](const char* relative) {
        std::ifstream in(std::string(KX_SOURCE_DIR) + "/" + relative);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    };
    std::string usage = kx::kxplayUsage();
    std::set<std::string> shortForms = find(usage, R"((^|\s)(-[a-z]), --)");
    ASSERT_EQ(shortForms, (std::set<std::string>{"-h", "-o", "-q"}));
    std::string readme = read("README.md");
    std::string readmeTable = section(readme, "| option | meaning |", "\n\n");
    const std::string documents[][2] = {
        {"docs/kxplay.md", section(read("docs/kxplay.md"), "## Options", "\n## ")},
        {"docs/kxplay.1", section(read("docs/kxplay.1"), ".SH OPTIONS", ".SH SCENES")},
        {"README.md", readmeTable},
    };
    for (const auto& [name, text] : documents) {
        EXPECT_EQ(find(text, longOption), find(usage, longOption)) << name;
        for (const std::string& option : shortForms)
            EXPECT_EQ(find(text, R"((^|[^\w-])(-[a-z])\b)").count(option), 1u)
                << name << ": " << option;
    }
    EXPECT_FALSE(std::regex_search(readmeTable, std::regex(R"(\|[ \t]*\|)")))
        << "README.md's options table has an empty cell";
    auto statuses = [&](const std::string& text) {
        return find(section(text, "Exit status:", "\n\n"), R"((^|[\s:,])([0-9]+) )");
    };
    EXPECT_EQ(statuses(readme), statuses(usage)) << "README.md's exit line";
    EXPECT_EQ(statuses(usage).count("130"), 1u) << "--help's exit line";
    // The manual page's version is the project's (CMakeLists.txt's project(), as KX_VERSION).
    EXPECT_NE(read("docs/kxplay.1").find("\n.TH KXPLAY 1 \"\" \"kxaudio " KX_VERSION "\""),
              std::string::npos)
        << "docs/kxplay.1's .TH line does not name kxaudio " KX_VERSION;
}

}  // namespace
