// SPDX-License-Identifier: Apache-2.0
// What a run tells its user on config.log: errors and warnings, each command's log line, the
// module's console passed on, the progress line with its level meter, and the summary. Called on
// the runner's thread, but for periodHook, which runs on the mixer's task and touches only the
// meter's atomic and the timeline's levels (which have their own lock).
#pragma once

#include <atomic>
#include <cstdint>

#include "tools/kxplay/runner_state.h"

namespace kx {

// Largest absolute sample since the progress line last read it; runScene clears it.
extern std::atomic<int32_t> meterPeak;

// The driver's period hook, context the Runner: feeds the meter and the timeline as they are on.
void periodHook(const int16_t* samples, uint32_t frames, void* context);

// Erases the progress line if one is shown.
void clearProgress(Runner& r);
// "kxplay: " and the formatted text, on a line of its own, quiet or not.
void say(Runner& r, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Prints what the module put on its console since last seen (unless quiet).
void forwardConsole(Runner& r);
// Marks the console as seen up to now without printing it.
void skipConsole(Runner& r);
// Redraws the progress line, when it is on and, unless `force`, its interval has passed.
void drawProgress(Runner& r, bool force);
// Records command c's log line with the module's answer, and prints it unless quiet.
void logResult(Runner& r, const SceneCommand& c, int32_t status);
// The summary of a finished run: periods, speed, peak, clipped samples, the file written.
void printSummary(Runner& r, bool outputOk);

}  // namespace kx
