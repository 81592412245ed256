// SPDX-License-Identifier: Apache-2.0
// kxplay's command line: what the user asked for, checked for consistency before anything is
// opened. Pure parsing over argv; no shared state, no lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

// The version is the project's, from CMakeLists.txt's project() (KX_VERSION, set by the build).
inline constexpr const char KXPLAY_VERSION[] = KX_VERSION;
constexpr uint32_t KXPLAY_DEFAULT_FRAMES = 1024;
constexpr uint32_t KXPLAY_MIN_FRAMES = 2;      // the driver reports at least two frames
constexpr uint32_t KXPLAY_MAX_FRAMES = 65536;  // 256 KiB periods; four are queued per sound
inline constexpr const char KXPLAY_DEMO_OUTPUT[] = "kxplay-demo.wav";

enum class KxplayMode : uint8_t { Files, Script, Info, Demo, Live, Help, Version };
enum class KxplayClock : uint8_t { Default, Fast, RealTime };

struct KxplayOptions {
    KxplayMode mode = KxplayMode::Files;
    std::vector<std::string> files;  // FILE.wav arguments (Files, Info)
    std::string script;              // SCENE path; "-" is standard input (Live: run first)
    bool hasOutput = false;
    std::string output;  // -o PATH; "-" is raw PCM on standard output
    bool hasDevice = false;
    std::string device;  // --device NAME
    KxplayClock clock = KxplayClock::Default;
    uint32_t frames = KXPLAY_DEFAULT_FRAMES;
    std::string dir = ".";       // directory bound to location 1
    uint64_t durationNanos = 0;  // --duration; 0 when not given
    bool quiet = false;
    bool oneProcessor = false;        // --one-cpu
    bool realtimeScheduling = false;  // --rt-sched
    std::string timeline;             // --timeline FILE.svg; "" when not given
    bool hasKernel = false;           // --kernel given
    std::string kernel;               // --kernel: "threads" or "oneproc"
    std::string target;               // --target: "qemu", or "" (the host); tools/kxplay/target.h
    std::string image;                // --image FILE: the target's image
    bool noInheritance = false;       // --no-inherit: sections lend no priority (oneproc)
};

// Parses argv[1..argc-1]. Returns 0 with *options filled, or 2 (a usage error) with *error
// saying in words what is wrong; *options is then left in no particular state.
int parseKxplayOptions(int argc, const char* const* argv, KxplayOptions* options,
                       std::string* error);

// The --help text.
// One command-line argument that begins with '-' split into its option name and a value given
// with it: "--name=value" and "-ovalue" (the short forms -o, -q and -h named by their long
// forms). `inlineValue` says whether a value came attached.
struct KxplayOptionWord {
    std::string name;
    std::string value;
    bool inlineValue = false;
};
KxplayOptionWord splitKxplayOption(std::string_view arg);

const char* kxplayUsage();

}  // namespace kx
