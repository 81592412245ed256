// SPDX-License-Identifier: Apache-2.0
// kxplay prepare, the command: its options and usage, and the run over the files it is given (the
// output directory made, no output claimed twice or landing on an input, one file's refusal never
// stopping the others). Without libsndfile and libsoxr it still parses its options and names the
// packages it needs. Runs on the caller's thread; no shared state.
#include "tools/kxplay/prepare.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "tools/kxplay/options.h"
#include "tools/kxplay/prepare_convert.h"

namespace kx {
namespace {

constexpr int kUsageError = 2;
constexpr uint32_t kMinPeriod = 2;
constexpr uint32_t kMaxPeriod = 65536;
constexpr uint32_t kMaxHeadroom = 64;
constexpr double kMaxFadeMs = 600000;

const char kPrepareUsage[] =
    "Usage: kxplay prepare [options] FILE... -o DIR\n"
    "Writes DIR/NAME.wav for each FILE (any format libsndfile reads): 16-bit stereo 44100 Hz\n"
    "PCM that kxaudio plays, resampled by libsoxr, TPDF-dithered.\n"
    "  -o, --output DIR    the directory to write to (made when missing)\n"
    "      --loop[=FRAMES] a loop: a whole number of FRAMES-frame periods (default 1024),\n"
    "                      its end crossfaded into its start so the seam never clicks\n"
    "      --fade-in MS    a ramp at the file's start\n"
    "      --fade-out MS   a ramp at the file's end (a stop in the middle still cuts)\n"
    "      --headroom N    a gain from the file's peak so that N copies mixed never clip\n"
    "      --gain DB       this gain instead\n"
    "      --no-dither     round to 16 bits instead of dithering\n"
    "  -q, --quiet         print refusals only\n"
    "Exit status: 0 every file written, 1 a file failed (the others are written), 2 usage.\n";

bool parseNumber(const std::string& text, double low, double high, double* out) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < low || value > high)
        return false;
    *out = value;
    return true;
}

bool parseWhole(const std::string& text, uint32_t low, uint32_t high, uint32_t* out) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != text.npos)
        return false;
    unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
    if (value < low || value > high)
        return false;
    *out = static_cast<uint32_t>(value);
    return true;
}

}  // namespace

int parsePrepareOptions(const std::vector<std::string>& args, PrepareOptions* options,
                        std::string* error) {
    PrepareOptions result;
    bool ended = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (ended || arg.size() < 2 || arg[0] != '-') {
            result.files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            ended = true;
            continue;
        }
        KxplayOptionWord word = splitKxplayOption(arg);
        std::string name = word.name;
        std::string value = word.value;
        bool inlineValue = word.inlineValue;
        bool takesValue = name == "--output" || name == "--fade-in" || name == "--fade-out" ||
                          name == "--headroom" || name == "--gain";
        if (takesValue && !inlineValue) {
            if (i + 1 >= args.size()) {
                *error = "option " + name + " needs a value";
                return kUsageError;
            }
            value = args[++i];
        } else if (!takesValue && inlineValue && name != "--loop") {
            *error = "option " + name + " takes no value";
            if (name != "--quiet" && name != "--help" && name != "--no-dither")
                *error = "unknown option '" + arg + "'";
            return kUsageError;
        }
        if (name == "--output") {
            if (value.empty()) {
                *error = "option --output needs a directory";
                return kUsageError;
            }
            result.outDir = value;
        } else if (name == "--loop") {
            result.loop = true;
            if (inlineValue && !parseWhole(value, kMinPeriod, kMaxPeriod, &result.loopFrames)) {
                *error = "option --loop=FRAMES needs a whole number from 2 to 65536, not '" +
                         value + "'";
                return kUsageError;
            }
        } else if (name == "--fade-in" || name == "--fade-out") {
            double* target = name == "--fade-in" ? &result.fadeInMs : &result.fadeOutMs;
            if (!parseNumber(value, 0, kMaxFadeMs, target)) {
                *error =
                    "option " + name + " needs milliseconds from 0 to 600000, not '" + value + "'";
                return kUsageError;
            }
        } else if (name == "--headroom") {
            if (!parseWhole(value, 1, kMaxHeadroom, &result.headroom)) {
                *error =
                    "option --headroom needs a number of copies from 1 to 64, not '" + value + "'";
                return kUsageError;
            }
        } else if (name == "--gain") {
            if (!parseNumber(value, -96, 48, &result.gainDb)) {
                *error = "option --gain needs decibels from -96 to 48, not '" + value + "'";
                return kUsageError;
            }
            result.hasGain = true;
        } else if (name == "--no-dither") {
            result.dither = false;
        } else if (name == "--quiet") {
            result.quiet = true;
        } else if (name == "--help") {
            result.help = true;
        } else {
            *error = "unknown option '" + arg + "'";
            return kUsageError;
        }
    }
    if (result.help) {
        *options = std::move(result);
        return 0;
    }
    if (result.files.empty()) {
        *error = "prepare needs at least one FILE";
        return kUsageError;
    }
    if (result.outDir.empty()) {
        *error = "prepare needs -o DIR, the directory to write to";
        return kUsageError;
    }
    if (result.hasGain && result.headroom != 0) {
        *error = "choose one of --gain and --headroom";
        return kUsageError;
    }
    if (result.loop && (result.fadeInMs > 0 || result.fadeOutMs > 0)) {
        *error = "a loop has no start or end to fade: --loop takes no --fade-in or --fade-out";
        return kUsageError;
    }
    *options = std::move(result);
    return 0;
}

std::string prepareCommand(const std::string& quotedPath) {
    return "kxplay prepare " + quotedPath + " -o prepared";
}

#if !KX_HAVE_PREPARE

bool prepareBuilt() {
    return false;
}

int runPrepare(const std::vector<std::string>& args) {
    PrepareOptions options;
    std::string error;
    if (parsePrepareOptions(args, &options, &error) != 0) {
        std::fprintf(stderr, "kxplay: prepare: %s\n", error.c_str());
        return kUsageError;
    }
    if (options.help) {
        std::fputs(kPrepareUsage, stdout);
        return 0;
    }
    std::fprintf(stderr,
                 "kxplay: prepare is not in this build: it needs libsndfile and libsoxr, which "
                 "were not found when it was configured; install libsndfile1-dev and "
                 "libsoxr-dev (Debian packages) and configure again\n");
    return 1;
}

#else

namespace {

// The file's path as one identity (device and inode); false when it does not exist.
bool identity(const std::string& path, dev_t* device, ino_t* inode) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    *device = st.st_dev;
    *inode = st.st_ino;
    return true;
}

std::string stemOf(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0)
        name.resize(dot);
    return name;
}

}  // namespace

// One file's conversion and write.
using prepare::prepareOne;

bool prepareBuilt() {
    return true;
}

int runPrepare(const std::vector<std::string>& args) {
    PrepareOptions o;
    std::string error;
    if (parsePrepareOptions(args, &o, &error) != 0) {
        std::fprintf(stderr, "kxplay: prepare: %s\nTry 'kxplay prepare --help'.\n", error.c_str());
        return kUsageError;
    }
    if (o.help) {
        std::fputs(kPrepareUsage, stdout);
        return 0;
    }
    struct stat st;
    if (stat(o.outDir.c_str(), &st) != 0 && mkdir(o.outDir.c_str(), 0777) != 0) {
        std::fprintf(stderr, "kxplay: prepare: -o %s: cannot be made (%s)\n", o.outDir.c_str(),
                     std::strerror(errno));
        return 1;
    }
    if (stat(o.outDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "kxplay: prepare: -o %s: not a directory\n", o.outDir.c_str());
        return kUsageError;
    }

    // Every input's identity, so that no output replaces an input under any name.
    std::vector<std::pair<dev_t, ino_t> > inputs;
    for (const std::string& path : o.files) {
        dev_t device;
        ino_t inode;
        if (identity(path, &device, &inode))
            inputs.emplace_back(device, inode);
    }
    std::map<std::string, std::string> claimed;  // output name -> the input that has it
    int status = 0;
    for (const std::string& path : o.files) {
        std::string target = o.outDir + "/" + stemOf(path) + ".wav";
        std::string reason;
        dev_t device;
        ino_t inode;
        auto taken = claimed.find(target);
        if (taken != claimed.end()) {
            reason = "its output " + target + " is already that of " + taken->second +
                     "; prepare it on its own into another directory";
        } else if (identity(target, &device, &inode)) {
            for (const auto& [d, i] : inputs)
                if (d == device && i == inode)
                    reason = "its output " + target +
                             " is an input; give -o a directory other than the inputs'";
        }
        if (reason.empty()) {
            claimed.emplace(target, path);
            reason = prepareOne(o, path, target);
        }
        if (!reason.empty()) {
            std::fprintf(stderr, "kxplay: prepare: %s: refused: %s\n", path.c_str(),
                         reason.c_str());
            status = 1;
        }
    }
    return status;
}

#endif

}  // namespace kx
