// SPDX-License-Identifier: Apache-2.0
// The host's bring-up of a sound module: every platform service the module touches put back to
// its start, the driver's clock and period size chosen, the file locations bound, then the
// module's entry run and the table it attached handed back. For the host program, the tests,
// the fuzzers and the benchmarks; never for the module. Each service keeps its own lock; the
// sequence itself is the calling thread's, with no task of an earlier module left running.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kxaudio/kxaudio.h"
#include "platform/devices/hda.h"

namespace kx {

// A location and the directory it names for the module's file calls.
struct HostLocation {
    uint32_t location;
    std::string directory;
};

struct HostSetup {
    HdaClock clock = HdaClock::Stepped;   // the clock of the streams the module opens
    uint32_t frames = 1024;               // frames per period the driver reports
    std::vector<HostLocation> locations;  // bound in order once the bindings are reset
};

// A module's entry point (dkm_kxaudio_Init): attaches its operation table and returns 0.
using ModuleEntry = int32_t (*)();

// Clears every armed fault, puts back the default device registry and file locations, resets
// the driver (memory sink, counters, volume; see hdaReset) and the kernel's counters, forgets
// the table attached before, applies setup and runs entry. Returns the table the entry attached
// (the sound framework's copy, valid until the next load or sndDetachDelegate), or null when a
// location could not be bound (the entry is then not run), the entry failed or it attached
// nothing. Starts nothing: sndInit is the caller's, as is the choice of kernel.
const SndOperations* hostLoadModule(ModuleEntry entry, const HostSetup& setup);

}  // namespace kx
