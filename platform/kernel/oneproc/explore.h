// SPDX-License-Identifier: Apache-2.0
// Explored schedules of the one-processor kernel: a seed chooses a few of the run's preemption
// places (every kernel call and every RtkPreemptionPoint) at which a pending higher-priority
// wake-up takes effect early, as probabilistic concurrency testing chooses a few change points
// per run rather than flipping a coin at every step. Owned by the kernel's one thread.
#pragma once

#include <cstdint>

namespace kx::oneproc {

bool exploring();
// Counts one preemption place; true when the seed chose it.
bool explorePreemptHere();
// A chosen place found a wake-up to bring forward.
void exploreNotePreemption();

}  // namespace kx::oneproc
