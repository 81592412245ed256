// SPDX-License-Identifier: Apache-2.0
// The one-processor kernel's explored schedules: the switches and counters of its explorer, for
// the model tests and the host program. The explorer's own state is explore.h.
#pragma once

#include <stdint.h>

namespace kx {

// oneproc only: explored schedules. A preemption place (every kernel call made by a task and
// every RtkPreemptionPoint) counts when a task of higher priority than the caller is asleep
// (RtkSleepTaskUsec). From this call on, `preemptions` of the next `places` such places, chosen
// from seed, end the earliest of those sleeps there (the virtual clock jumps to its deadline) and
// that task preempts the caller: a caller task's next command, or a periodic task's period, cuts
// into the loader's pass. Bounded waits are never ended early. seed 0 turns exploring off; a
// seed with preemptions 0 only counts places. The same seed over the same run gives the same
// schedule.
void RtkExplore(uint64_t seed, uint32_t preemptions, uint64_t places);
uint64_t RtkExplorePreemptions();  // chosen places that brought a wake-up forward
uint64_t RtkExplorePlaces();       // preemption places passed since RtkExplore

}  // namespace kx
