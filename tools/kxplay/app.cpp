// SPDX-License-Identifier: Apache-2.0
// kxplay's top level: reads the command line, prepares the scene (from a file, from FILE
// arguments or the built-in demo), checks it before anything plays and hands it to the runner.
// Main thread only, but for the signal thread, which touches nothing but the runner's atomic
// stop flag.
#include "tools/kxplay/app.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "dxmix/dxmix.h"
#include "platform/devices/hda.h"
#include "platform/kernel/rtk_select.h"
#include "tools/kxplay/demo.h"
#include "tools/kxplay/info.h"
#include "tools/kxplay/live.h"
#include "tools/kxplay/options.h"
#include "tools/kxplay/runner.h"
#include "tools/kxplay/scene.h"
#include "tools/kxplay/target.h"

namespace kx {
namespace {

int usageError(const std::string& message) {
    std::fprintf(stderr, "kxplay: %s\nTry 'kxplay --help' for more information.\n",
                 message.c_str());
    return KXPLAY_EXIT_USAGE;
}

// Ctrl-C and SIGTERM are taken by one thread of their own that waits for them: every other
// thread, the module's tasks and the output's writer included, inherits them blocked, so no
// handler ever runs in the middle of a task or of the runner. The first asks for a clean stop
// (module freed, output finished). Signals after it are held, so that none can end the program
// before the output's header is right. The stop may wait on the output only so long: after
// kAbandonAfter its writer drops what a stalled pipe or disk has not taken, and a stop that
// still has not ended after kStopBound is cut short, the WAV header made to say what the file
// holds, with status 130.
constexpr auto kAbandonAfter = std::chrono::milliseconds(500);
constexpr auto kStopBound = std::chrono::seconds(2);

void say(const char* text) {
    // Straight to the descriptor: the thread that holds stderr's lock may be the stuck one.
    ssize_t ignored = write(2, text, std::strlen(text));
    (void)ignored;
}

void signalLoop(sigset_t set) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0)
        return;
    kxplayRequestStop();
    auto start = std::chrono::steady_clock::now();
    bool abandoned = false;
    bool told = false;
    for (;;) {
        auto waited = std::chrono::steady_clock::now() - start;
        if (!abandoned && waited >= kAbandonAfter) {
            hdaSinkAbandon();
            abandoned = true;
        }
        if (waited >= kStopBound)
            break;
        auto left = (abandoned ? kStopBound : kAbandonAfter) - waited;
        auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        struct timespec timeout = {static_cast<time_t>(nanos / 1000000000),
                                   static_cast<long>(nanos % 1000000000)};
        if (sigtimedwait(&set, nullptr, &timeout) > 0 && !told) {
            say("kxplay: stopping; the output is finished first\n");
            told = true;
        }
    }
    hdaSinkFinishNow(500);
    say("kxplay: the stop took more than 2 s and was cut short; the output holds what was "
        "written until then\n");
    _exit(KXPLAY_EXIT_INTERRUPTED);
}

void installSignals() {
    static std::once_flag once;
    std::call_once(once, [] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        std::thread(signalLoop, set).detach();
    });
    // A closed pipe or FIFO must show as a failed write, which the runner reports, not kill the
    // program before the module is freed.
    signal(SIGPIPE, SIG_IGN);
}

// A scene is a few lines of text; more than this is not a scene (--script /dev/zero), and is
// refused before it fills the memory.
constexpr size_t kSceneLimit = 1 << 20;

// Reads at most kSceneLimit bytes of `in`; false when there is more.
bool readBounded(std::istream& in, std::string* text, std::string* problem) {
    text->assign(kSceneLimit + 1, '\0');
    in.read(text->data(), static_cast<std::streamsize>(text->size()));
    text->resize(static_cast<size_t>(in.gcount()));
    if (text->size() > kSceneLimit) {
        *problem = "longer than 1 MiB, which no scene is; give the scene's text file";
        return false;
    }
    return true;
}

bool readText(const std::string& path, std::string* text, std::string* problem) {
    if (path == "-")
        return readBounded(std::cin, text, problem);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *problem = errno == ENOENT ? "no such file" : std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        *problem = "a directory, not a scene file";
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *problem = std::strerror(errno);
        return false;
    }
    return readBounded(file, text, problem);
}

// Standard streams the caller closed are opened on /dev/null before anything else is opened,
// so that no file of kxplay's (the output above all) is given descriptor 0, 1 or 2 and receives
// what is written to them.
void holdStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

// The timeline is written after the run; a path that cannot be written is told before it. A
// file made only to try is removed again.
bool canWrite(const std::string& path, std::string* problem) {
    struct stat st;
    bool existed = stat(path.c_str(), &st) == 0;
    if (existed && S_ISDIR(st.st_mode)) {
        *problem = "a directory";
        return false;
    }
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        *problem = std::strerror(errno);
        return false;
    }
    close(fd);
    if (!existed)
        unlink(path.c_str());
    return true;
}

// Why an input cannot be played into `output` ("" when it can): it is the output itself (the
// same file, by whatever name), which opening the output would empty before it is read, or a
// pipe, which the module cannot seek in. In FILE mode (`strict`) a file that is missing or a
// directory is told here too, before the output is opened and emptied.
std::string inputProblem(const std::string& path, const std::string& output, bool strict) {
    struct stat in;
    if (stat(path.c_str(), &in) != 0)
        return !strict           ? ""
               : errno == ENOENT ? "cannot be read: no such file"
                                 : std::string("cannot be read: ") + std::strerror(errno);
    if (strict && S_ISDIR(in.st_mode))
        return "cannot be read: a directory, not a file";
    if (S_ISFIFO(in.st_mode))
        return "cannot be played: a pipe (FIFO), and kxaudio seeks in its files; copy it to a "
               "regular file first (cat " +
               path + " > copy.wav)";
    struct stat out;
    if (!output.empty() && stat(output.c_str(), &out) == 0 && out.st_dev == in.st_dev &&
        out.st_ino == in.st_ino)
        return "cannot be played: it is also the output (-o " + output +
               "), which would be emptied before it is read; write the output elsewhere";
    return "";
}

// --rt-sched puts the threaded kernel's tasks at real-time priorities. When they also share one
// processor, a task that waits by polling keeps it from the lower ones it waits for, and the
// run hangs; this says why such a run is refused ("" when it is not).
std::string realtimeOnOneProcessor(const KxplayOptions& options, const RunConfig& config) {
    if (!options.realtimeScheduling)
        return "";
    bool threads = config.clock == HdaClock::RealTime || config.kernel == RtkKernel::Threads;
    if (!threads)
        return "";  // the one-processor kernel schedules by priority itself; --rt-sched is moot
    cpu_set_t set;
    bool oneAvailable = sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) == 1;
    const char* why = options.oneProcessor                ? "--one-cpu"
                      : config.clock == HdaClock::Stepped ? "--fast --kernel threads"
                      : oneAvailable                      ? "this process's only processor"
                                                          : nullptr;
    if (why == nullptr)
        return "";
    return std::string("--rt-sched with the tasks on one processor (") + why +
           ") would hang: at real-time priorities a task that polls keeps that processor from "
           "the lower tasks it waits for; drop --rt-sched, or let the tasks use several "
           "processors, or use --fast, whose one-processor kernel schedules by priority itself";
}

// A fresh private directory for the demo's sounds; "" when none can be made.
std::string makeTempDirectory() {
    std::error_code ec;
    std::string base = std::filesystem::temp_directory_path(ec).string();
    if (ec)
        base = "/tmp";
    std::string pattern = base + "/kxplay-demo-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    return mkdtemp(buffer.data()) != nullptr ? std::string(buffer.data()) : std::string();
}

}  // namespace

std::string kxplayBuildLine() {
    // kxplay picks the kernel per run: the one-processor kernel for --fast (unless --kernel says
    // otherwise), the threaded one for the real-time clock and devices.
    return std::string("build: kernel ") + RtkKernelName(RtkKernel::OneProcessor) + " (--fast), " +
           RtkKernelName(RtkKernel::Threads) + " (--realtime), ALSA " +
           (hdaHasAlsa() ? "yes" : "no") + ", mix " + S16sMixSelected();
}

int kxplayMain(int argc, char** argv) {
    holdStandardStreams();
    KxplayOptions options;
    std::string error;
    if (parseKxplayOptions(argc, argv, &options, &error) != 0)
        return usageError(error);

    switch (options.mode) {
        case KxplayMode::Help:
            std::fputs(kxplayUsage(), stdout);
            return KXPLAY_EXIT_OK;
        case KxplayMode::Version:
            std::printf("kxplay %s (kxaudio)\n%s\n", KXPLAY_VERSION, kxplayBuildLine().c_str());
            return KXPLAY_EXIT_OK;
        case KxplayMode::Info:
            return runWavInfo(options.files, stdout);
        default:
            break;
    }

    RunConfig config;
    config.frames = options.frames;
    config.dir = options.dir;
    config.durationNanos = options.durationNanos;
    config.quiet = options.quiet;
    config.oneProcessor = options.oneProcessor;
    config.realtimeScheduling = options.realtimeScheduling;
    config.inheritance = !options.noInheritance;
    config.filesMode = options.mode == KxplayMode::Files;
    if (options.hasOutput && options.output == "-") {
        config.sink = KxplaySink::Stdout;
        if (isatty(1))
            return usageError(
                "standard output is a terminal, not a place for raw audio; pipe "
                "it into a player (kxplay -o - a.wav | aplay -f cd)");
    } else if (options.hasOutput) {
        config.sink = KxplaySink::WavFile;
        config.target = options.output;
    } else if (options.hasDevice) {
        config.sink = KxplaySink::Device;
        config.target = options.device;
    } else if (options.mode == KxplayMode::Demo) {
        config.sink = KxplaySink::WavFile;
        config.target = KXPLAY_DEMO_OUTPUT;
    } else {
        if (!hdaHasAlsa())
            return usageError(
                "no output given, and this build has no ALSA to play on; give "
                "-o FILE.wav, or -o - to pipe into a player");
        config.sink = KxplaySink::Device;
        config.target = "default";
    }
    bool live = options.mode == KxplayMode::Live;
    bool realTime = live || options.clock == KxplayClock::RealTime ||
                    (options.clock == KxplayClock::Default && config.sink == KxplaySink::Device);
    config.clock = realTime ? HdaClock::RealTime : HdaClock::Stepped;
    // Live, the terminal is the user's to type on: no progress line redrawn under the typing.
    config.progress = !options.quiet && !live && isatty(2);
    config.timeline = options.timeline;
    if (options.hasKernel)
        RtkKernelByName(options.kernel.c_str(), &config.kernel);
    if (std::string refused = realtimeOnOneProcessor(options, config); !refused.empty())
        return usageError(refused);
    if (!config.timeline.empty()) {
        std::string problem;
        if (!canWrite(config.timeline, &problem)) {
            std::fprintf(stderr, "kxplay: cannot write %s: %s\n", config.timeline.c_str(),
                         problem.c_str());
            return KXPLAY_EXIT_FAILED;
        }
    }

    Scene scene;
    std::string sceneLabel;
    std::string demoDirectory;
    bool sceneFile = options.mode == KxplayMode::Script || (live && !options.script.empty());
    if (sceneFile || options.mode == KxplayMode::Demo) {
        std::string text;
        if (sceneFile) {
            sceneLabel = options.script == "-" ? "<stdin>" : options.script;
            std::string problem;
            if (!readText(options.script, &text, &problem)) {
                std::fprintf(stderr, "kxplay: %s: cannot be read: %s\n", sceneLabel.c_str(),
                             problem.c_str());
                return KXPLAY_EXIT_FAILED;
            }
        } else {
            sceneLabel = "demo";
            text = demoScene();
        }
        SceneError sceneError;
        if (!parseScene(text, &scene, &sceneError)) {
            std::fprintf(stderr, "kxplay: %s:%d: %s\n", sceneLabel.c_str(), sceneError.line,
                         sceneError.message.c_str());
            return KXPLAY_EXIT_USAGE;
        }
        for (const SceneCommand& c : scene.commands)
            if (live && c.verb == SceneVerb::End)
                return usageError(sceneLabel + ":" + std::to_string(c.line) +
                                  ": 'end' would end the output before live input is read; "
                                  "under --live, type end instead");
    } else if (live) {
        sceneLabel = "live";
    } else {
        FileScene files = sceneForFiles(options.files);
        scene = std::move(files.scene);
        config.locations = std::move(files.locations);
        sceneLabel = "the files";
    }

    if (sceneFile || live) {
        struct stat st;
        if (stat(config.dir.c_str(), &st) != 0)
            return usageError("--dir " + config.dir + ": " +
                              (errno == ENOENT ? "no such directory" : std::strerror(errno)));
        if (!S_ISDIR(st.st_mode))
            return usageError("--dir " + config.dir +
                              ": not a directory; give the directory "
                              "that holds the scene's files");
    }

    // Inputs are checked before the output is opened, which empties it.
    std::vector<std::string> inputs;
    if (options.mode == KxplayMode::Files)
        inputs = options.files;
    else if (options.mode != KxplayMode::Demo)
        for (const SceneCommand& c : scene.commands)
            if (c.verb == SceneVerb::Sound)
                inputs.push_back(config.dir == "." ? c.file : config.dir + "/" + c.file);
    for (const std::string& path : inputs) {
        std::string problem =
            inputProblem(path, config.sink == KxplaySink::WavFile ? config.target : "",
                         options.mode == KxplayMode::Files);
        if (!problem.empty()) {
            std::fprintf(stderr, "kxplay: %s: %s\n", path.c_str(), problem.c_str());
            return KXPLAY_EXIT_FAILED;
        }
    }

    resolveScene(&scene, config.frames);
    if (!live && config.sink != KxplaySink::Device && config.durationNanos == 0 &&
        !sceneHasEnd(scene)) {
        std::string looping = sceneEndlessLoop(scene);
        if (!looping.empty()) {
            std::fprintf(
                stderr,
                "kxplay: %s: sound '%s' is left looping and nothing ends the output, "
                "so %s would never be finished; add 'at TIME end' or a 'stop', or "
                "give --duration SECONDS\n",
                sceneLabel.c_str(), looping.c_str(),
                config.sink == KxplaySink::Stdout ? "standard output" : config.target.c_str());
            return KXPLAY_EXIT_USAGE;
        }
    }

    if (options.mode == KxplayMode::Demo) {
        demoDirectory = makeTempDirectory();
        std::string problem;
        if (demoDirectory.empty() || !writeDemoSounds(demoDirectory, &problem)) {
            std::fprintf(stderr, "kxplay: cannot make the demo's sounds: %s\n",
                         demoDirectory.empty() ? "no temporary directory" : problem.c_str());
            if (!demoDirectory.empty())
                std::filesystem::remove_all(demoDirectory);
            return KXPLAY_EXIT_FAILED;
        }
        config.dir = demoDirectory;
        if (!options.quiet)
            std::fprintf(stderr, "kxplay: demo: %zu sounds made in %s; the scene:\n",
                         demoSounds().size(), demoDirectory.c_str());
    }

    config.timelineTitle = "kxplay: " + sceneLabel;
    LiveInput input;
    LiveSource source = liveSource(&input);
    if (live) {
        config.live = &source;
        if (!options.quiet && isatty(0))
            std::fprintf(stderr,
                         "kxplay: live: type scene commands without 'at' (sound NAME FILE, play "
                         "NAME [loop] [exclusive], pause, stop, delete, volume, mute); 'end' or "
                         "Ctrl-D ends once the sounds have ended, Ctrl-C at once\n");
    }

    if (!options.target.empty() && config.sink == KxplaySink::Device)
        return usageError("--target writes its capture: give -o FILE.wav or -o -");
    installSignals();
    int status = options.target.empty() ? runScene(scene, config, nullptr)
                                        : runOnTarget(scene, config, options, "/proc/self/exe");
    if (!demoDirectory.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(demoDirectory, ec);
    }
    return status;
}

}  // namespace kx
