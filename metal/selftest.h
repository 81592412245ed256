// SPDX-License-Identifier: Apache-2.0
// The kernel's contract checked on the image itself: the shared contract cases
// (tests/platform/contract_cases.h) over tasks, events, sections, sleep, byte queues and lists,
// and the image's own cases, run by a small freestanding runner that prints
// "selftest: N passed, N failed" (boot with the command line "selftest").
#pragma once

#include <cstdint>

namespace kx::metal {

constexpr uint16_t kSelftestPriority = 100;

// The runner's task entry; ends the emulator when every case has run.
void selftestTask(void*);

}  // namespace kx::metal
