// SPDX-License-Identifier: Apache-2.0
// kxplay's checks and preparations before a run: standard streams, scene text, the timeline's
// path, inputs that cannot be played into the output, --rt-sched on one processor, and the
// demo's directory. Main thread only; no shared state, no lock.
#include "tools/kxplay/preflight.h"

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <vector>

#include "platform/devices/hda.h"
#include "platform/kernel/rtk_select.h"

namespace kx {
namespace {

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

}  // namespace

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

}  // namespace kx
