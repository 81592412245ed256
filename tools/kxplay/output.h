// SPDX-License-Identifier: Apache-2.0
// The run's output (a WAV file, standard output or an ALSA device) as the runner sees it:
// opened before the module starts, watched between periods for a failure or the most a WAV file
// can hold, and named in messages. Runner's thread only; the writer behind it is the driver's.
#pragma once

#include "tools/kxplay/runner_state.h"

namespace kx {

// The output in words: the file's path, "standard output" or "the device".
const char* outputName(const RunConfig& c);

// True once the output has a reason to end the run (a failed write, a reader gone, a WAV file
// full); the reason is said once.
bool outputStopped(Runner& r);

// Opens config's output, waiting for a FIFO's reader. KXPLAY_EXIT_OK, KXPLAY_EXIT_FAILED (said
// on config.log) or KXPLAY_EXIT_INTERRUPTED when a stop came while waiting.
int openSink(Runner& r);

// Warns when a WAV file cannot hold the run that --duration or an 'end' make known beforehand.
void warnOfLimit(Runner& r, const Scene& scene);

}  // namespace kx
