// SPDX-License-Identifier: Apache-2.0
// Runs one command and reports what it cost as a whole process: wall time, processor time (user
// and system, its threads and children included) and peak resident memory, from wait4. One
// thread; the child's output goes to a log file so that the figures stand alone on stdout.
//
// Usage: bench_runstat [--log FILE] -- COMMAND [ARGS...]; prints "name value" lines and exits
// with the command's status (127 when it could not be started).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace kx::bench {
namespace {

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

int run(int argc, char** argv) {
    const char* log = "/dev/null";
    int first = 1;
    for (; first < argc; ++first) {
        if (std::strcmp(argv[first], "--log") == 0 && first + 1 < argc) {
            log = argv[++first];
        } else if (std::strcmp(argv[first], "--") == 0) {
            ++first;
            break;
        } else {
            break;
        }
    }
    if (first >= argc) {
        std::fprintf(stderr, "usage: bench_runstat [--log FILE] -- COMMAND [ARGS...]\n");
        return 2;
    }
    int out = ::open(log, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        std::perror(log);
        return 2;
    }
    double start = now();
    pid_t child = fork();
    if (child == 0) {
        dup2(out, 1);
        dup2(out, 2);
        execvp(argv[first], argv + first);
        _exit(127);
    }
    ::close(out);
    if (child < 0) {
        std::perror("fork");
        return 127;
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) {
        std::perror("wait4");
        return 127;
    }
    double wall = now() - start;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf("wall_s %.6f\n", wall);
    std::printf("cpu_s %.6f\n", seconds(usage.ru_utime) + seconds(usage.ru_stime));
    std::printf("user_s %.6f\n", seconds(usage.ru_utime));
    std::printf("sys_s %.6f\n", seconds(usage.ru_stime));
    std::printf("maxrss_kib %ld\n", usage.ru_maxrss);
    std::printf("status %d\n", code);
    return code;
}

}  // namespace
}  // namespace kx::bench

int main(int argc, char** argv) {
    return kx::bench::run(argc, argv);
}
