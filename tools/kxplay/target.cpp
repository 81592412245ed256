// SPDX-License-Identifier: Apache-2.0
// kxplay --target qemu. The scene is rendered once with --fast on the host, which fixes how many
// periods the output holds; the image then plays it on its own kernel and driver under QEMU,
// and its capture (not the host's render) becomes the output, trimmed to those periods after
// the image's ring of silence. This file finds the image and QEMU, packs the archive into a
// temporary directory, trims the capture and writes the output. Main thread only.
#include "tools/kxplay/target.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/devices/wav_format.h"
#include "tools/kxplay/target_qemu.h"

namespace kx {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kQemu = "qemu-system-i386";
constexpr const char* kImageVariable = "KXPLAY_METAL_IMAGE";
constexpr const char* kImageName = "kxaudio-metal.elf";

bool readFile(const std::string& path, std::string* bytes) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    std::ostringstream buffer;
    buffer << file.rdbuf();
    *bytes = buffer.str();
    return !file.bad();
}

std::string searchPath(const char* program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

// The output: a WAV file or raw PCM on standard output. False with *problem on failure.
bool writeOutput(const RunConfig& config, const std::string& pcm, std::string* problem) {
    if (config.sink == KxplaySink::Stdout) {
        size_t at = 0;
        while (at < pcm.size()) {
            ssize_t n = write(1, pcm.data() + at, pcm.size() - at);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                *problem = std::string("standard output: ") + std::strerror(errno);
                return false;
            }
            at += static_cast<size_t>(n);
        }
        return true;
    }
    uint8_t bytes[kWavHeaderBytes];
    wavHeader(bytes, pcm.size());
    std::string header(reinterpret_cast<const char*>(bytes), sizeof bytes);
    std::ofstream out(config.target, std::ios::binary | std::ios::trunc);
    if (out)
        out << header << pcm;
    if (out)
        out.flush();
    if (!out) {
        *problem = config.target + ": " + std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    return true;
}

struct TempDirectory {
    std::string path;
    TempDirectory() {
        std::error_code ec;
        std::string pattern = (fs::temp_directory_path(ec).string()) + "/kxplay-target-XXXXXX";
        if (ec)
            pattern = "/tmp/kxplay-target-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) != nullptr)
            path = buffer.data();
    }
    ~TempDirectory() {
        std::error_code ec;
        if (!path.empty())
            fs::remove_all(path, ec);
    }
};

int fail(const std::string& message) {
    std::fprintf(stderr, "kxplay: %s\n", message.c_str());
    return KXPLAY_EXIT_FAILED;
}

}  // namespace

// One boot of the image.
using target::boot;
using target::TargetRun;

std::string findTargetImage(const std::string& given, const std::string& self) {
    auto isFile = [](const std::string& path) {
        struct stat st;
        return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    };
    if (!given.empty())
        return isFile(given) ? given : "";
    if (const char* env = std::getenv(kImageVariable); env != nullptr && *env != '\0')
        return isFile(env) ? env : "";
    std::error_code ec;
    fs::path exe = fs::canonical(self, ec);
    if (ec)
        return "";
    fs::path dir = exe.parent_path();
    // An install puts both under one prefix; make metal puts the image beside the host build.
    for (const fs::path& candidate :
         {dir / ".." / "share" / "kxaudio" / kImageName,
          dir / ".." / ".." / "metal" / "install" / "share" / "kxaudio" / kImageName}) {
        if (isFile(candidate.string()))
            return fs::weakly_canonical(candidate, ec).string();
    }
    return "";
}

int runOnTarget(const Scene& scene, const RunConfig& config, const KxplayOptions& options,
                const std::string& self) {
    if (config.frames < KXPLAY_TARGET_MIN_FRAMES || config.frames > KXPLAY_TARGET_MAX_FRAMES)
        return fail("the target's driver takes " + std::to_string(KXPLAY_TARGET_MIN_FRAMES) +
                    " to " + std::to_string(KXPLAY_TARGET_MAX_FRAMES) + " frames per period, not " +
                    std::to_string(config.frames));
    std::string image = findTargetImage(options.image, self);
    if (image.empty())
        return fail("no target image: give --image FILE or set " + std::string(kImageVariable) +
                    ", or build it with make metal");
    std::string qemu = searchPath(kQemu);
    if (qemu.empty())
        return fail(std::string(kQemu) +
                    " is not installed (Debian: apt-get install qemu-system-x86)");

    std::string commands;
    std::vector<TargetFile> files;
    std::string problem;
    if (!targetScene(scene, config, UINT64_MAX, &commands, &files, &problem))
        return fail("cannot run on the target: " + problem);  // before anything plays

    TempDirectory temp;
    if (temp.path.empty())
        return fail("cannot make a temporary directory");
    // The host's stepped render fixes the number of periods the output holds.
    RunConfig fast = config;
    fast.clock = HdaClock::Stepped;
    fast.sink = KxplaySink::WavFile;
    fast.target = temp.path + "/fast.wav";
    fast.quiet = true;
    fast.progress = false;
    fast.timeline.clear();
    RunReport fastReport;
    int fastStatus = runScene(scene, fast, &fastReport);
    if (fastStatus != KXPLAY_EXIT_OK && fastStatus != KXPLAY_EXIT_FAILED)
        return fastStatus;
    uint64_t periods = fastReport.periods;
    if (periods == 0)
        return fail("the scene renders no period");

    if (!targetScene(scene, config, periods - 1, &commands, &files, &problem))
        return fail("cannot run on the target: " + problem);
    std::vector<std::pair<std::string, std::string>> members{{"scene.cmd", commands}};
    uint64_t total = commands.size();
    for (const TargetFile& f : files) {
        std::string bytes;
        if (!readFile(f.path, &bytes))
            continue;  // the image's module fails to open it, as the host's did
        if (config.sink == KxplaySink::WavFile) {
            std::error_code ec;
            if (fs::equivalent(f.path, config.target, ec))
                return fail("-o " + config.target +
                            " is an input of the scene; refusing to "
                            "overwrite it");
        }
        total += bytes.size();
        if (total > KXPLAY_TARGET_MAX_ARCHIVE)
            return fail("the scene's files exceed the " +
                        std::to_string(KXPLAY_TARGET_MAX_ARCHIVE >> 20) +
                        " MiB the target can hold");
        members.emplace_back(f.name, std::move(bytes));
    }
    std::string archive = temp.path + "/scene.cpio";
    {
        std::ofstream out(archive, std::ios::binary);
        out << cpioArchive(members);
        if (!out)
            return fail("cannot write " + archive);
    }

    std::string capture = temp.path + "/capture.wav";
    double audio = static_cast<double>(periods) * config.frames / KXPLAY_RATE;
    auto bound = std::chrono::seconds(60 + static_cast<int64_t>(audio * 4));
    Clock::time_point start = Clock::now();
    TargetRun run = boot(qemu, image, archive, capture, bound, config.quiet);
    double wall = std::chrono::duration<double>(Clock::now() - start).count();
    // isa-debug-exit: status 2 * code + 1; the image ends with code 0 after its last line.
    bool clean = run.ended && run.exitStatus == 1;
    if (!clean && !run.interrupted) {
        for (const std::string& line : run.lines)
            std::fprintf(stderr, "kxplay: target: %s\n", line.c_str());
        return fail(run.timedOut
                        ? "the target did not finish within " + std::to_string(bound.count()) + " s"
                        : "the target failed (QEMU exit status " + std::to_string(run.exitStatus) +
                              ")");
    }

    // QEMU's wav backend writes the canonical header.
    std::string captured;
    if (!readFile(capture, &captured) || captured.size() < kWavHeaderBytes)
        return fail("QEMU wrote no capture");
    uint64_t periodBytes = static_cast<uint64_t>(config.frames) * kStreamBytesPerFrame;
    uint64_t skip = run.ringPeriods * periodBytes;
    uint64_t want = (periods + run.latePeriods) * periodBytes;
    uint64_t have =
        captured.size() - kWavHeaderBytes > skip ? captured.size() - kWavHeaderBytes - skip : 0;
    if (have < want && !run.interrupted)
        return fail("the capture holds " + std::to_string(have / periodBytes) + " of " +
                    std::to_string(want / periodBytes) + " periods");
    std::string pcm =
        captured.substr(kWavHeaderBytes + skip, have < want ? have - have % periodBytes : want);
    if (!writeOutput(config, pcm, &problem))
        return fail("cannot write the output: " + problem);
    uint64_t written = pcm.size() / periodBytes;
    if (!config.quiet)
        std::fprintf(stderr,
                     "kxplay: target: rendered %llu periods (%.2f s) in %.2f s under QEMU%s%s\n",
                     static_cast<unsigned long long>(written),
                     static_cast<double>(written) * config.frames / KXPLAY_RATE, wall,
                     config.sink == KxplaySink::WavFile ? "; wrote " : "",
                     config.sink == KxplaySink::WavFile ? config.target.c_str() : "");
    // Files that failed on the host failed on the target too (the log lines agree): the status
    // says so as --fast's does.
    return run.interrupted ? KXPLAY_EXIT_INTERRUPTED : fastStatus;
}

}  // namespace kx
