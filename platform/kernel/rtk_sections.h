// SPDX-License-Identifier: Apache-2.0
// Kernel service: critical sections, the module's locks.
#pragma once

#include "platform/kernel/rtk_types.h"

namespace kx {

// Critical sections: not re-entrant, may be held across blocking calls. Create writes a
// non-zero handle and returns 0; on failure it returns non-zero and leaves *handle 0.
// Handles are never reused. A section is held by the thread that entered it: entering it again
// from that thread returns RTK_ERR_STATE instead of deadlocking, and so does leaving a section
// the caller does not hold. An unknown (or deleted) handle gives RTK_ERR_PARAM; deleting a
// section makes the enters waiting for it return RTK_ERR_PARAM.
int32_t RtkCreateCriticalSection(const char* name, RtkHandle* handle);
int32_t RtkDeleteCriticalSection(RtkHandle handle);
int32_t RtkEnterCriticalSection(RtkHandle handle);  // waits; 0 once held
int32_t RtkLeaveCriticalSection(RtkHandle handle);
// Whether the caller holds the section now: the calling task, or (threads) the calling host
// thread, entered it and has not left it. False for an unknown or deleted handle. Never waits;
// for checking a lock rule ("the caller holds the pool's lock") where it is stated.
bool RtkHoldsCriticalSection(RtkHandle handle);

}  // namespace kx
