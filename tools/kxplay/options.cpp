// SPDX-License-Identifier: Apache-2.0
// kxplay's command-line parser: GNU-style long options (--name VALUE or --name=VALUE), short
// options (-o PATH, -oPATH, -q, -h), "--" ending the options. No shared state, no lock.
#include "tools/kxplay/options.h"

#include <cstring>
#include <string_view>

#include "tools/kxplay/scene.h"

namespace kx {
namespace {

constexpr int kUsageError = 2;

const char kUsage[] =
    "Usage: kxplay [options] FILE.wav...     play WAV files together through kxaudio\n"
    "       kxplay [options] --script SCENE  run a scene (one timed command a line)\n"
    "       kxplay --info FILE.wav...        show what kxaudio reads in a file, and why it\n"
    "                                        would refuse it\n"
    "       kxplay [options] --demo          render the built-in demo (kxplay-demo.wav)\n"
    "       kxplay [options] --live          type scene commands, each run as its line ends\n"
    "       kxplay prepare [options] FILE... -o DIR\n"
    "                                        convert sound files into ones kxaudio plays well\n"
    "\n"
    "Output:\n"
    "  -o, --output PATH   write a WAV file (it stops at 4 GiB of samples, the most its\n"
    "                      sizes can say); '-' writes raw 16-bit little-endian stereo\n"
    "                      44100 Hz PCM to standard output (kxplay -o - a.wav | aplay -f cd)\n"
    "      --device NAME   play on an ALSA device (where the build has ALSA; the default\n"
    "                      output when neither -o nor --device is given)\n"
    "Clock:\n"
    "      --fast          render as fast as the machine allows, deterministically, with\n"
    "                      the tasks on one processor (default for -o)\n"
    "      --realtime      render at the pace of real time (default for a device); the\n"
    "                      output is the --fast output, sample for sample\n"
    "      --frames N      frames per period the driver reports (default 1024)\n"
    "      --duration S    stop after S seconds of output\n"
    "      --timeline F.svg  draw the run: a lane per sound, every command, the volume,\n"
    "                      the output's level and clipping (open it in a browser)\n"
    "Live:\n"
    "      --live          read commands from standard input while the module plays, in\n"
    "                      real time, each as soon as its line is complete (no 'at');\n"
    "                      'end' or the end of input stops once the sounds have ended,\n"
    "                      Ctrl-C at once; --script SCENE runs first\n"
    "Files:\n"
    "      --dir DIR       directory a scene's files are taken from: a scene's FILE is a\n"
    "                      name under it, not an absolute path (default: the current\n"
    "                      directory)\n"
    "Scheduling:\n"
    "      --one-cpu       run all of the module's tasks on one processor, as its kernel does\n"
    "      --rt-sched      give the tasks real-time priorities where the system allows it\n"
    "                      (not with the threaded kernel's tasks on one processor: it hangs)\n"
    "      --kernel K      the kernel under --fast: oneproc (default: every task on one\n"
    "                      thread, as the target schedules them) or threads (a thread each);\n"
    "                      --realtime and devices always use threads\n"
    "      --no-inherit    oneproc: a section's holder does not inherit its waiter's\n"
    "                      priority, so a priority inversion shows\n"
    "Target:\n"
    "      --target qemu   play on the bootable image under qemu-system-i386, on its emulated\n"
    "                      HD-audio controller; the output is its capture (needs -o)\n"
    "      --image FILE    the image (default: $KXPLAY_METAL_IMAGE, else where make metal\n"
    "                      or an install put it)\n"
    "Prepare (kxplay prepare, where the build has libsndfile and libsoxr):\n"
    "      --loop[=FRAMES] make a loop: a whole number of FRAMES-frame periods (default\n"
    "                      1024), its end crossfaded into its start\n"
    "      --fade-in MS, --fade-out MS  ramps at the file's own start and end\n"
    "      --headroom N    a gain from the file's peak so that N copies mixed never clip\n"
    "      --gain DB       this gain instead\n"
    "      --no-dither     round to 16 bits instead of TPDF dither\n"
    "Other:\n"
    "  -q, --quiet         print errors only (no log, progress or summary)\n"
    "  -h, --help          show this help\n"
    "      --version       show the version and the build (kernel, ALSA, mix variant)\n"
    "\n"
    "Scene commands (TIME is seconds such as 1.5, or a period index such as p64; a line\n"
    "without 'at TIME' runs at the start; '#' starts a comment):\n"
    "  at TIME sound NAME FILE       create a sound from FILE and call it NAME\n"
    "  at TIME play NAME [loop] [exclusive]\n"
    "  at TIME pause NAME|all\n"
    "  at TIME stop NAME|all\n"
    "  at TIME delete NAME\n"
    "  at TIME volume N              0 to 100\n"
    "  at TIME mute on|off\n"
    "  at TIME end                   the output ends with this period\n"
    "\n"
    "Exit status: 0 success, 1 a file or the output failed, 2 a usage or scene error,\n"
    "130 after Ctrl-C (the module freed and the WAV file finished first).\n";

bool parseWhole(std::string_view text, uint64_t limit, uint64_t* out) {
    if (text.empty() || text.size() > 10)
        return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > limit)
        return false;
    *out = value;
    return true;
}

}  // namespace

const char* kxplayUsage() {
    return kUsage;
}

KxplayOptionWord splitKxplayOption(std::string_view arg) {
    KxplayOptionWord word;
    if (arg.substr(0, 2) == "--") {
        size_t eq = arg.find('=');
        word.name = std::string(arg.substr(0, eq));
        if (eq != std::string_view::npos) {
            word.value = std::string(arg.substr(eq + 1));
            word.inlineValue = true;
        }
    } else {
        word.name = std::string(arg.substr(0, 2));
        if (arg.size() > 2) {
            word.value = std::string(arg.substr(2));
            word.inlineValue = true;
        }
    }
    if (word.name == "-o")
        word.name = "--output";
    else if (word.name == "-q")
        word.name = "--quiet";
    else if (word.name == "-h")
        word.name = "--help";
    return word;
}

int parseKxplayOptions(int argc, const char* const* argv, KxplayOptions* options,
                       std::string* error) {
    KxplayOptions result;
    bool info = false, demo = false, help = false, version = false, hasScript = false;
    bool fast = false, realtime = false, hasDir = false, live = false;
    std::vector<std::string> positional;
    bool optionsEnded = false;

    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            positional.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }

        KxplayOptionWord word = splitKxplayOption(arg);
        std::string name = word.name;
        std::string value = word.value;
        bool inlineValue = word.inlineValue;

        static const char* const kWithValue[] = {"--output",   "--device", "--frames",   "--dir",
                                                 "--duration", "--script", "--timeline", "--kernel",
                                                 "--target",   "--image"};
        bool takesValue = false;
        for (const char* known : kWithValue)
            takesValue = takesValue || name == known;
        if (takesValue && !inlineValue) {
            if (i + 1 >= argc) {
                *error = "option " + name + " needs a value";
                return kUsageError;
            }
            value = argv[++i];
        } else if (!takesValue && inlineValue) {
            bool known = name == "--quiet" || name == "--help" || name == "--version" ||
                         name == "--fast" || name == "--realtime" || name == "--info" ||
                         name == "--demo" || name == "--one-cpu" || name == "--rt-sched" ||
                         name == "--live";
            *error = known ? "option " + name + " takes no value"
                           : "unknown option '" + std::string(arg) + "'";
            return kUsageError;
        }

        if (name == "--output") {
            if (value.empty()) {
                *error = "option --output needs a file name, or '-' for standard output";
                return kUsageError;
            }
            result.hasOutput = true;
            result.output = value;
        } else if (name == "--device") {
            if (value.empty()) {
                *error = "option --device needs an ALSA device name, such as 'default'";
                return kUsageError;
            }
            result.hasDevice = true;
            result.device = value;
        } else if (name == "--frames") {
            uint64_t frames = 0;
            if (!parseWhole(value, KXPLAY_MAX_FRAMES, &frames) || frames < KXPLAY_MIN_FRAMES) {
                *error =
                    "option --frames needs a whole number from 2 to 65536, not '" + value + "'";
                return kUsageError;
            }
            result.frames = static_cast<uint32_t>(frames);
        } else if (name == "--dir") {
            if (value.empty()) {
                *error = "option --dir needs a directory";
                return kUsageError;
            }
            result.dir = value;
            hasDir = true;
        } else if (name == "--duration") {
            uint64_t nanos = 0;
            if (!parseSeconds(value, &nanos) || nanos == 0) {
                *error =
                    "option --duration needs a number of seconds above 0 and at most 100000 "
                    "(such as 2.5), not '" +
                    value + "'";
                return kUsageError;
            }
            result.durationNanos = nanos;
        } else if (name == "--script") {
            if (value.empty()) {
                *error = "option --script needs a scene file, or '-' for standard input";
                return kUsageError;
            }
            result.script = value;
            hasScript = true;
        } else if (name == "--timeline") {
            if (value.empty()) {
                *error = "option --timeline needs a file name, such as run.svg";
                return kUsageError;
            }
            result.timeline = value;
        } else if (name == "--live") {
            live = true;
        } else if (name == "--quiet") {
            result.quiet = true;
        } else if (name == "--help") {
            help = true;
        } else if (name == "--version") {
            version = true;
        } else if (name == "--fast") {
            fast = true;
        } else if (name == "--realtime") {
            realtime = true;
        } else if (name == "--info") {
            info = true;
        } else if (name == "--demo") {
            demo = true;
        } else if (name == "--one-cpu") {
            result.oneProcessor = true;
        } else if (name == "--rt-sched") {
            result.realtimeScheduling = true;
        } else if (name == "--no-inherit") {
            result.noInheritance = true;
        } else if (name == "--kernel") {
            if (value != "threads" && value != "oneproc") {
                *error = "--kernel takes threads or oneproc, not '" + value + "'";
                return kUsageError;
            }
            result.hasKernel = true;
            result.kernel = value;
        } else if (name == "--target") {
            if (value != "qemu") {
                *error = "--target takes qemu, not '" + value + "'";
                return kUsageError;
            }
            result.target = value;
        } else if (name == "--image") {
            result.image = value;
        } else {
            *error = "unknown option '" + std::string(arg) + "'";
            return kUsageError;
        }
    }

    if (help || version) {
        result.mode = help ? KxplayMode::Help : KxplayMode::Version;
        *options = std::move(result);
        return 0;
    }
    int modes = int(info) + int(demo) + int(hasScript);
    if (modes > 1) {
        *error = "choose one of --info, --script and --demo";
        return kUsageError;
    }
    if (live && (info || demo)) {
        *error = std::string("--live takes no ") + (info ? "--info" : "--demo");
        return kUsageError;
    }
    if (live && fast) {
        *error = "--live runs in real time; it takes no --fast";
        return kUsageError;
    }
    if (live && hasScript && result.script == "-") {
        *error = "--live reads standard input; give --script a file, not '-'";
        return kUsageError;
    }
    if (info && !result.timeline.empty()) {
        *error = "--info plays nothing, so it has no --timeline to draw";
        return kUsageError;
    }
    if (info && (result.hasOutput || result.hasDevice)) {
        *error = std::string("--info only reads its files and plays nothing, so it takes no ") +
                 (result.hasOutput ? "-o" : "--device") + "; play them without --info";
        return kUsageError;
    }
    if (!result.target.empty() && (realtime || live || result.hasDevice)) {
        *error = std::string(
                     "--target plays the stepped render on the emulated target; it "
                     "takes no ") +
                 (realtime ? "--realtime"
                  : live   ? "--live"
                           : "--device");
        return kUsageError;
    }
    if (!result.image.empty() && result.target.empty()) {
        *error = "--image names the target's image; give --target qemu with it";
        return kUsageError;
    }
    if (fast && realtime) {
        *error = "choose one of --fast and --realtime";
        return kUsageError;
    }
    if (result.hasOutput && result.hasDevice) {
        *error = "choose one of --output and --device";
        return kUsageError;
    }
    result.clock = fast       ? KxplayClock::Fast
                   : realtime ? KxplayClock::RealTime
                              : KxplayClock::Default;
    if (info) {
        if (positional.empty()) {
            *error = "--info needs at least one FILE.wav";
            return kUsageError;
        }
        result.mode = KxplayMode::Info;
    } else if (live) {
        if (!positional.empty()) {
            *error = "--live takes no FILE arguments ('" + positional.front() +
                     "' given); create sounds with 'sound NAME FILE' lines";
            return kUsageError;
        }
        result.mode = KxplayMode::Live;
    } else if (demo || hasScript) {
        if (!positional.empty()) {
            *error = std::string(demo ? "--demo" : "--script") + " takes no FILE arguments ('" +
                     positional.front() + "' given)";
            return kUsageError;
        }
        if (demo && hasDir) {
            *error = "--demo makes its own sounds and takes no --dir";
            return kUsageError;
        }
        result.mode = demo ? KxplayMode::Demo : KxplayMode::Script;
    } else {
        if (positional.empty()) {
            *error = "nothing to play: give FILE.wav..., --script SCENE, --info FILE or --demo";
            return kUsageError;
        }
        result.mode = KxplayMode::Files;
    }
    result.files = std::move(positional);
    *options = std::move(result);
    return 0;
}

}  // namespace kx
