// SPDX-License-Identifier: Apache-2.0
// A scene's commands as the runner carries them out: each one through the module's operation
// table, its result logged, the play tracker told, and a file that fails explained in words.
// Runner's thread only (or the scene's caller task in its place).
#pragma once

#include "tools/kxplay/runner_state.h"

namespace kx {

// Runs command c through r.ops at period r.period. A failed file counts in
// r.report.failedFiles and is said on config.log.
void execute(Runner& r, const SceneCommand& c);

}  // namespace kx
