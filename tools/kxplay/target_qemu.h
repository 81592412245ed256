// SPDX-License-Identifier: Apache-2.0
// kxplay --target qemu's boot of the image under QEMU, for the command that packs its archive
// before and trims its capture after. Main thread only: it polls kxplay's stop request and waits
// for the child it starts.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kx::target {

// What one boot of the image reported on its serial port.
struct TargetRun {
    std::vector<std::string> lines;  // every line, for a failure's report
    uint64_t ringPeriods = 0;
    uint64_t latePeriods = 0;
    bool ended = false;  // the image printed its last line
    bool interrupted = false;
    bool timedOut = false;
    int exitStatus = -1;
};

// Boots `image` under the QEMU at `qemu` with `archive` as its ramdisk, its audio captured to the
// WAV file `capture`, and reads its serial port until QEMU ends, `bound` passes or the user asks
// to stop (QEMU is then ended and what it captured so far is kept). Log lines and the summary are
// relayed to standard error unless `quiet`. When QEMU cannot be started the result holds no line
// and exitStatus -1.
TargetRun boot(const std::string& qemu, const std::string& image, const std::string& archive,
               const std::string& capture, std::chrono::seconds bound, bool quiet);

}  // namespace kx::target
