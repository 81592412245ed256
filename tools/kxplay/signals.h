// SPDX-License-Identifier: Apache-2.0
// How kxplay stops on SIGINT and SIGTERM: a thread of its own takes them and asks the runner to
// stop cleanly, with bounds on how long the stop may take. That thread touches nothing but the
// runner's atomic stop flag and the output's writer, through calls made for it.
#pragma once

namespace kx {

// Blocks SIGINT and SIGTERM in the calling thread (and so in every thread it starts after) and
// starts, once per process, the thread that waits for them; ignores SIGPIPE, so that a closed
// pipe shows as a failed write. Call on the main thread before the run starts its tasks.
void installSignals();

}  // namespace kx
