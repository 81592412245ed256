// SPDX-License-Identifier: Apache-2.0
// Kernel service: sleep.
#pragma once

#include "platform/kernel/rtk_types.h"

namespace kx {

// its end; on the host thread it lets the tasks run meanwhile.
int32_t RtkSleepTaskUsec(uint32_t microseconds);

}  // namespace kx
