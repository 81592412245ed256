// SPDX-License-Identifier: Apache-2.0
// kxplay's top level: reads the command line and goes by its mode, prepares the scene (from a
// file, from FILE arguments or the built-in demo), checks it before anything plays (with
// preflight.cpp) and hands it to the runner, once the signal thread (signals.cpp) is in place.
// Main thread only.
#include "tools/kxplay/app.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "dxmix/dxmix.h"
#include "platform/devices/hda.h"
#include "platform/kernel/rtk_select.h"
#include "tools/kxplay/demo.h"
#include "tools/kxplay/info.h"
#include "tools/kxplay/live.h"
#include "tools/kxplay/options.h"
#include "tools/kxplay/preflight.h"
#include "tools/kxplay/runner.h"
#include "tools/kxplay/scene.h"
#include "tools/kxplay/signals.h"
#include "tools/kxplay/target.h"

namespace kx {
namespace {

int usageError(const std::string& message) {
    std::fprintf(stderr, "kxplay: %s\nTry 'kxplay --help' for more information.\n",
                 message.c_str());
    return KXPLAY_EXIT_USAGE;
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
