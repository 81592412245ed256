// SPDX-License-Identifier: Apache-2.0
// The runner's output: opening the driver's sink, telling a run too long for a WAV file, and
// watching the sink for the reason to stop (failed write, reader gone, file full). Runner's
// thread only; the sink's writer and its status belong to the driver.
#include "tools/kxplay/output.h"

#include <poll.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/devices/hda.h"
#include "tools/kxplay/report.h"

namespace kx {
namespace {

constexpr auto kReaderPoll = std::chrono::milliseconds(50);  // a FIFO output without a reader
constexpr double kBytesPerSecond = double(KXPLAY_RATE) * kStreamBytesPerFrame;

// True when standard output is a pipe whose reader has gone.
bool outputBroken() {
    struct pollfd p = {1, 0, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP)) != 0;
}

}  // namespace

const char* outputName(const RunConfig& c) {
    return c.sink == KxplaySink::WavFile  ? c.target.c_str()
           : c.sink == KxplaySink::Stdout ? "standard output"
                                          : "the device";
}

// The output's own reason to end the run, said once: a write failed (its reader left, the disk
// is full), standard output's reader left, or a WAV file reached the most its sizes can say.
bool outputStopped(Runner& r) {
    if (r.outputStopped)
        return true;
    const RunConfig& c = r.config;
    HdaSinkStatus out = hdaSinkStatus();
    double held = static_cast<double>(out.written) / kBytesPerSecond;
    if (c.sink == KxplaySink::Stdout && (out.error == EPIPE || outputBroken()))
        say(r, "standard output was closed by its reader; stopping");
    else if (out.error != 0)
        say(r, "writing %s failed: %s; stopping (it holds the first %.2f s)", outputName(c),
            std::strerror(out.error), held);
    else if (out.full)
        say(r,
            "%s reached %llu bytes of samples (%.2f s), the most a WAV file's sizes can say; "
            "stopping there (for more, write raw PCM: -o - > FILE.raw)",
            c.target.c_str(), static_cast<unsigned long long>(hdaWavDataLimit()),
            static_cast<double>(hdaWavDataLimit()) / kBytesPerSecond);
    else
        return false;
    r.outputStopped = true;
    return true;
}

// Opens the output. A FIFO is waited for until a reader opens it, or the run is interrupted.
int openSink(Runner& r) {
    const RunConfig& c = r.config;
    switch (c.sink) {
        case KxplaySink::WavFile:
            for (bool told = false;; std::this_thread::sleep_for(kReaderPoll)) {
                errno = 0;
                if (hdaSinkWavFile(c.target))
                    return KXPLAY_EXIT_OK;
                if (errno != ENXIO) {
                    say(r, "cannot write %s: %s", c.target.c_str(),
                        errno != 0 ? std::strerror(errno) : "the file cannot be created");
                    return KXPLAY_EXIT_FAILED;
                }
                if (!told && !c.quiet)
                    std::fprintf(c.log, "kxplay: %s is a FIFO; waiting for its reader\n",
                                 c.target.c_str());
                told = true;
                if (stopRequested.load()) {
                    r.report.interrupted = true;
                    return KXPLAY_EXIT_INTERRUPTED;
                }
            }
        case KxplaySink::Stdout:
            if (!hdaSinkFd(1)) {
                say(r, "cannot start the writer of standard output");
                return KXPLAY_EXIT_FAILED;
            }
            return KXPLAY_EXIT_OK;
        case KxplaySink::Device:
            if (!hdaHasAlsa()) {
                say(r,
                    "this build has no ALSA, so it cannot play on device '%s'; write a file "
                    "with -o FILE.wav, or pipe with -o - into a player",
                    c.target.c_str());
                return KXPLAY_EXIT_FAILED;
            }
            if (!hdaSinkAlsa(c.target)) {
                say(r, "cannot open ALSA device '%s'", c.target.c_str());
                return KXPLAY_EXIT_FAILED;
            }
            return KXPLAY_EXIT_OK;
    }
    return KXPLAY_EXIT_FAILED;
}

// A WAV file holds at most hdaWavDataLimit() bytes of samples; a run known to be longer (by
// --duration or an 'end') is told so before it starts.
void warnOfLimit(Runner& r, const Scene& scene) {
    const RunConfig& c = r.config;
    struct stat st;
    if (c.sink != KxplaySink::WavFile || stat(c.target.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return;
    uint64_t periods = c.durationNanos ? periodAt(c.durationNanos, c.frames) : 0;
    for (const SceneCommand& command : scene.commands)
        if (command.verb == SceneVerb::End && (periods == 0 || command.period + 1 < periods))
            periods = command.period + 1;
    uint64_t limit = hdaWavDataLimit();
    if (periods == 0 || periods * c.frames * 4 <= limit)
        return;
    say(r,
        "%s: the run is %.2f s, and a WAV file holds at most %.2f s (its sizes are 32-bit); "
        "it stops there. For longer, write raw PCM: -o - > FILE.raw",
        c.target.c_str(), static_cast<double>(periods) * c.frames / KXPLAY_RATE,
        static_cast<double>(limit) / kBytesPerSecond);
}

}  // namespace kx
