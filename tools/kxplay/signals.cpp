// SPDX-License-Identifier: Apache-2.0
// kxplay's signal thread: the one place SIGINT and SIGTERM are taken. It asks the runner to stop,
// bounds the stop, and as a last resort finishes the output and exits. It shares only the
// runner's atomic stop flag and the output's calls made for any thread.
#include "tools/kxplay/signals.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "platform/devices/hda.h"
#include "tools/kxplay/runner.h"

namespace kx {
namespace {

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

}  // namespace

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

}  // namespace kx
