// SPDX-License-Identifier: Apache-2.0
// Test helpers for kxplay's end-to-end tests: running the built binary in a directory (to its
// end, or as a process the test talks to and signals) and reading a WAV file back with an
// independent reader (Python's wave module).
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/wavgen.h"

namespace kxplaytest {

struct KxplayRun {
    int status = -1;  // exit status, or -1 when the program did not exit normally
    std::string out;  // standard output
    std::string err;  // standard error
};

inline std::string readText(const std::string& path) {
    kxtest::Bytes bytes = kxtest::readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// Runs `command` (a shell command line) in directory `dir` with standard input empty, and
// captures what it writes.
inline KxplayRun runIn(const std::string& dir, const std::string& command) {
    std::string line = "cd '" + dir + "' && " + command + " </dev/null >.kxplay-out 2>.kxplay-err";
    int raw = std::system(line.c_str());
    KxplayRun run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = readText(dir + "/.kxplay-out");
    run.err = readText(dir + "/.kxplay-err");
    return run;
}

// Runs kxplay with `args` (shell words) in directory `dir`; standard input is empty. `prefix`
// (shell words) comes before the program: variables for it, or a command that runs it.
inline KxplayRun runKxplay(const std::string& dir, const std::string& args,
                           const std::string& prefix = "") {
    return runIn(dir, prefix + " '" KX_BINARY_DIR "/tools/kxplay' " + args);
}

// Runs the shell `script` in `dir` with $KXPLAY naming the program, for what runKxplay cannot
// say (closed descriptors, FIFOs, limits); its standard output and error are captured as
// kxplay's are. The script is put in single quotes, so it holds none.
inline KxplayRun runShell(const std::string& dir, const std::string& script) {
    return runIn(dir, "KXPLAY='" KX_BINARY_DIR "/tools/kxplay' sh -c '" + script + "'");
}

constexpr int kProcessBoundMs = 60000;  // sanitizer builds on a loaded machine

// kxplay started with pipes on its standard input and standard error (and, when asked, its
// standard output), for tests that write commands, wait for what it says and send it signals.
// `environment` holds NAME=value settings added to the test's own.
struct KxplayProcess {
    pid_t pid = -1;
    int input = -1;
    int errors = -1;
    int output = -1;     // standard output's pipe, when asked for; else it is the test's
    std::string err;     // standard error so far
    bool ended = false;  // standard error has ended

    KxplayProcess(const std::string& dir, const std::vector<std::string>& args,
                  const std::vector<std::string>& environment = {}, bool pipeOutput = false) {
        int in[2], er[2], out[2] = {-1, -1};
        if (pipe(in) != 0 || pipe(er) != 0 || (pipeOutput && pipe(out) != 0))
            return;
        pid = fork();
        if (pid == 0) {
            dup2(in[0], 0);
            dup2(er[1], 2);
            if (pipeOutput) {
                dup2(out[1], 1);
                close(out[0]);
            }
            close(in[1]);
            close(er[0]);
            if (chdir(dir.c_str()) != 0)
                _exit(127);
            for (const std::string& setting : environment)
                putenv(const_cast<char*>(setting.c_str()));
            std::vector<char*> argv;
            std::string binary = KX_BINARY_DIR "/tools/kxplay";
            argv.push_back(binary.data());
            std::vector<std::string> copy = args;
            for (std::string& a : copy)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(er[1]);
        if (pipeOutput) {
            close(out[1]);
            output = out[0];
        }
        input = in[1];
        errors = er[0];
        signal(SIGPIPE, SIG_IGN);
    }
    ~KxplayProcess() {
        for (int fd : {input, errors, output})
            if (fd >= 0)
                close(fd);
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    void write(const std::string& line) {
        std::string text = line + "\n";
        ASSERT_EQ(::write(input, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void closeInput() {
        close(input);
        input = -1;
    }
    void closeOutput() {
        close(output);
        output = -1;
    }

    // Reads standard error until it holds `text` (true) or ends or the bound passes (false).
    bool waitFor(const std::string& text) {
        auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kProcessBoundMs);
        while (err.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            struct pollfd p = {errors, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char buffer[4096];
            ssize_t n = read(errors, buffer, sizeof buffer);
            if (n <= 0) {
                ended = true;
                return false;
            }
            err.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }

    // Reads `count` bytes of standard output (fewer if it ends first).
    std::string readOutput(size_t count) {
        std::string bytes;
        char buffer[4096];
        while (bytes.size() < count) {
            ssize_t n = read(output, buffer, std::min(sizeof buffer, count - bytes.size()));
            if (n <= 0)
                break;
            bytes.append(buffer, static_cast<size_t>(n));
        }
        return bytes;
    }

    // Reads standard error to its end, then returns the exit status (-1: not a normal exit, or
    // still running when the bound passed, and then killed).
    int finish() {
        waitFor(std::string(1, '\0'));  // never in the text: reads to the end or the bound
        if (!ended)
            kill(pid, SIGKILL);
        int raw = 0;
        pid_t done = waitpid(pid, &raw, 0);
        pid = -1;
        return done > 0 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
};

// The lines of text that start with `prefix`.
inline std::vector<std::string> linesStartingWith(const std::string& text,
                                                  const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0)
            lines.push_back(line);
    return lines;
}

// Reads a WAV file with Python's wave module and describes it in one line:
// "channels width rate frames" then, for each period of `frames` frames, "min..max" of its
// samples. Returns "" when Python could not read the file.
inline std::string pythonWavSummary(const std::string& dir, const std::string& wav,
                                    uint32_t frames) {
    const char* script =
        "import sys, wave, array\n"
        "w = wave.open(sys.argv[1], 'rb')\n"
        "n = w.getnframes()\n"
        "s = array.array('h', w.readframes(n))\n"
        "if sys.byteorder != 'little': s.byteswap()\n"
        "out = ['%d %d %d %d' % (w.getnchannels(), w.getsampwidth(), w.getframerate(), n)]\n"
        "step = int(sys.argv[2]) * w.getnchannels()\n"
        "for i in range(0, len(s), step):\n"
        "    p = s[i:i + step]\n"
        "    out.append('%d..%d' % (min(p), max(p)))\n"
        "print(' '.join(out))\n";
    kxtest::writeFile(dir + "/.wavsummary.py", kxtest::Bytes(script, script + strlen(script)));
    std::string command = "python3 '" + dir + "/.wavsummary.py' '" + wav + "' " +
                          std::to_string(frames) + " >'" + dir + "/.wavsummary' 2>&1";
    if (std::system(command.c_str()) != 0)
        return "";
    std::string text = readText(dir + "/.wavsummary");
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

}  // namespace kxplaytest
