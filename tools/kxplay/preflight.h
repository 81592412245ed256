// SPDX-License-Identifier: Apache-2.0
// What kxplay settles before anything plays: the standard streams held, a scene's text read
// within a bound, the timeline's path, the inputs and the scheduling options checked, and a
// directory made for the demo's sounds. Main thread only; no shared state.
#pragma once

#include <string>

#include "tools/kxplay/options.h"
#include "tools/kxplay/runner.h"

namespace kx {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed.
void holdStandardStreams();

// Reads the file at `path` ("-": standard input) into *text. False with *problem in words when
// it cannot be read, is a directory, or is longer than a scene can be (1 MiB).
bool readText(const std::string& path, std::string* text, std::string* problem);

// Whether `path` can be opened for writing; false with *problem in words. Leaves no file made.
bool canWrite(const std::string& path, std::string* problem);

// Why the input `path` cannot be played into the WAV file `output` ("" for another output), in
// words after the path; "" when it can. `strict` (FILE mode) also refuses a missing file or a
// directory.
std::string inputProblem(const std::string& path, const std::string& output, bool strict);

// Why --rt-sched is refused for this run, in words; "" when it is not.
std::string realtimeOnOneProcessor(const KxplayOptions& options, const RunConfig& config);

// A fresh private temporary directory; "" when none can be made.
std::string makeTempDirectory();

}  // namespace kx
