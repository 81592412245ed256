// SPDX-License-Identifier: Apache-2.0
// The host's controls and observations of the file, heap and console services (kxfile.h), for
// the host program and the tests; never for the module. Counters are atomic.
#pragma once

#include <cstdint>
#include <string>

namespace kx {

// From now on every kxread that does not fail also keeps the processor for that many
// microseconds of the kernel's clock (RtkBusyUsec), as a read costs the target's processor
// time; on the one-processor kernel a read then spans virtual time that a wake-up can land in.
// 0, the default, costs nothing.
void kxSetReadCost(uint32_t microseconds);

void kxConsoleCapture(bool enabled);  // starting a capture empties it
std::string kxConsoleTaken();         // what was printed while capturing

int64_t kxHeapOutstanding();   // blocks allocated and not yet freed
uint64_t kxHeapAllocations();  // successful allocations since start
int kxOpenFiles();             // descriptors opened by kxopen and not yet closed

}  // namespace kx
