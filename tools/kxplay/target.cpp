// SPDX-License-Identifier: Apache-2.0
// kxplay --target qemu. The scene is rendered once with --fast on the host, which fixes how many
// periods the output holds; the image then plays it on its own kernel and driver under QEMU,
// and its capture (not the host's render) becomes the output, trimmed to those periods after
// the image's ring of silence. The image's log lines and summary are relayed from its serial
// port. Main thread only; QEMU is a child process read through one pipe.
#include "tools/kxplay/target.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/devices/wav_format.h"

namespace kx {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kQemu = "qemu-system-i386";
constexpr const char* kImageVariable = "KXPLAY_METAL_IMAGE";
constexpr const char* kImageName = "kxaudio-metal.elf";
constexpr int kPollMs = 100;

std::string hex8(uint32_t v) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", v);
    return text;
}

bool readFile(const std::string& path, std::string* bytes) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    std::ostringstream buffer;
    buffer << file.rdbuf();
    *bytes = buffer.str();
    return !file.bad();
}

// A name the image can open under its root: relative, without "." or ".." components.
bool plainName(const std::string& name) {
    if (name.empty() || name[0] == '/' || name.find('|') != std::string::npos)
        return false;
    std::stringstream parts(name);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part == "." || part == "..")
            return false;
    }
    return true;
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

const char* verbName(SceneVerb verb) {
    switch (verb) {
        case SceneVerb::Sound:
            return "sound";
        case SceneVerb::Play:
            return "play";
        case SceneVerb::Pause:
            return "pause";
        case SceneVerb::Stop:
            return "stop";
        case SceneVerb::Delete:
            return "delete";
        case SceneVerb::Volume:
            return "volume";
        case SceneVerb::Mute:
            return "mute";
        case SceneVerb::End:
            break;
    }
    return "end";
}

// What one boot of the image reported on its serial port.
struct TargetRun {
    std::vector<std::string> lines;  // every line, for a failure's report
    uint64_t ringPeriods = 0;
    uint64_t latePeriods = 0;
    bool ended = false;  // the image printed its last line
    bool interrupted = false;
    bool timedOut = false;
    int exitStatus = -1;
};

// Relays one serial line: log lines and the module's console as they are, the summary with
// kxplay's prefix; boot lines are kept for a failure's report only.
void relay(const std::string& line, bool quiet, TargetRun* run) {
    run->lines.push_back(line);
    unsigned long long n = 0;
    unsigned long long late = 0;
    if (std::sscanf(line.c_str(), "kxaudio-metal: ring %llu periods", &n) == 1)
        run->ringPeriods = n;
    if (std::sscanf(line.c_str(), "kxaudio-metal: summary: %llu periods accepted, %llu late", &n,
                    &late) == 2)
        run->latePeriods = late;
    if (line == "kxaudio-metal: end")
        run->ended = true;
    bool logLine = line.size() > 1 && line[0] == 'p' && line[1] >= '0' && line[1] <= '9';
    if (quiet)
        return;
    if (logLine || line.rfind("kxaudio: ", 0) == 0)
        std::fprintf(stderr, "%s\n", line.c_str());
    else if (line.rfind("kxaudio-metal: summary: ", 0) == 0)
        std::fprintf(stderr, "kxplay: target: %s\n", line.c_str() + 24);
}

// Boots the image and reads its serial port until QEMU ends, the bound passes or the user
// asks to stop (QEMU is then ended, and what it captured so far is kept).
TargetRun boot(const std::string& qemu, const std::string& image, const std::string& archive,
               const std::string& capture, std::chrono::seconds bound, bool quiet) {
    TargetRun run;
    std::string audiodev = "wav,id=snd0,path=" + capture;
    std::vector<std::string> args = {qemu,        "-accel",
                                     "tcg",       "-m",
                                     "128",       "-display",
                                     "none",      "-serial",
                                     "stdio",     "-monitor",
                                     "none",      "-net",
                                     "none",      "-no-reboot",
                                     "-device",   "isa-debug-exit,iobase=0xf4,iosize=0x04",
                                     "-audiodev", audiodev,
                                     "-device",   "intel-hda",
                                     "-device",   "hda-output,audiodev=snd0",
                                     "-icount",   "shift=0,sleep=off",
                                     "-kernel",   image,
                                     "-initrd",   archive};
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return run;
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(pipeFds[1], 1);
        close(pipeFds[0]);
        close(pipeFds[1]);
        sigset_t none;
        sigemptyset(&none);
        pthread_sigmask(SIG_SETMASK, &none, nullptr);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    if (child < 0) {
        close(pipeFds[0]);
        return run;
    }
    Clock::time_point deadline = Clock::now() + bound;
    std::string pending;
    bool open = true;
    while (open) {
        if (kxplayStopRequested() && !run.interrupted) {
            run.interrupted = true;
            kill(child, SIGTERM);
        }
        if (Clock::now() > deadline && !run.timedOut) {
            run.timedOut = true;
            kill(child, SIGTERM);
        }
        pollfd p{pipeFds[0], POLLIN, 0};
        if (poll(&p, 1, kPollMs) <= 0)
            continue;
        char chunk[4096];
        ssize_t n = read(pipeFds[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            open = false;
            n = 0;
        }
        pending.append(chunk, static_cast<size_t>(n));
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            relay(line, quiet, &run);
            pending.erase(0, end + 1);
        }
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
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

bool targetScene(const Scene& scene, const RunConfig& config, uint64_t lastPeriod,
                 std::string* commands, std::vector<TargetFile>* files, std::string* error) {
    std::map<uint32_t, std::string> directories{{KXPLAY_SCENE_LOCATION, config.dir}};
    for (const auto& [location, directory] : config.locations)
        directories[location] = directory;
    std::map<std::string, std::string> packed;  // archive name -> host path
    std::string out =
        "kxscene|" + std::to_string(config.frames) + "|" + std::to_string(lastPeriod) + "\n";
    for (const SceneCommand& c : scene.commands) {
        if (c.verb == SceneVerb::End || c.period > lastPeriod)
            continue;
        std::string file;
        if (c.verb == SceneVerb::Sound) {
            auto dir = directories.find(c.location);
            if (!plainName(c.file) || dir == directories.end()) {
                *error = (c.line > 0 ? "line " + std::to_string(c.line) + ": " : "") +
                         "the target opens files below --dir only, by names without '.', '..' "
                         "or '|': '" +
                         c.file + "'";
                return false;
            }
            // Files of further locations go under a folder of their own in the archive.
            file = c.location == KXPLAY_SCENE_LOCATION
                       ? c.file
                       : "L" + std::to_string(c.location) + "/" + c.file;
            packed.emplace(file, dir->second + "/" + c.file);
        }
        std::string flags;
        if (c.loop)
            flags += 'l';
        if (c.exclusive)
            flags += 'e';
        if (c.all)
            flags += 'a';
        if (config.filesMode && c.verb == SceneVerb::Play)
            flags += 's';
        out += std::to_string(c.period) + "|" + verbName(c.verb) + "|" + c.name + "|" + file + "|" +
               std::to_string(KXPLAY_SCENE_LOCATION) + "|" + flags + "|" + std::to_string(c.value) +
               "|" + c.text + "\n";
    }
    files->clear();
    for (const auto& [name, path] : packed)
        files->push_back(TargetFile{name, path});
    *commands = std::move(out);
    return true;
}

std::string cpioArchive(const std::vector<std::pair<std::string, std::string>>& members) {
    std::string out;
    auto add = [&out](const std::string& name, const std::string& data, uint32_t mode) {
        uint32_t fields[13] = {0,
                               mode,
                               0,
                               0,
                               1,
                               0,
                               static_cast<uint32_t>(data.size()),
                               0,
                               0,
                               0,
                               0,
                               static_cast<uint32_t>(name.size() + 1),
                               0};
        out += "070701";
        for (uint32_t field : fields)
            out += hex8(field);
        out += name;
        out.push_back('\0');
        out.append((4 - out.size() % 4) % 4, '\0');
        out += data;
        out.append((4 - out.size() % 4) % 4, '\0');
    };
    for (const auto& [name, data] : members)
        add(name, data, 0100644);
    add("TRAILER!!!", "", 0);
    return out;
}

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
