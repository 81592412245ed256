// SPDX-License-Identifier: Apache-2.0
// kxplay --target qemu, one boot of the image: QEMU started as a child process with the image,
// its archive and a wav capture, its serial port read through one pipe line by line, the image's
// lines relayed and its ring, lateness and end noted, and QEMU ended when the bound passes or the
// user asks to stop. Main thread only.
#include "tools/kxplay/target_qemu.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "tools/kxplay/runner.h"

namespace kx::target {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 100;

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

}  // namespace

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

}  // namespace kx::target
