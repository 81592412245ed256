// SPDX-License-Identifier: Apache-2.0
// Kernel service: 16-bit task events, sent without blocking and received one code at a time.
#pragma once

#include "platform/kernel/rtk_types.h"

namespace kx {

// Posts a 16-bit code to a task without blocking. A code already pending for that task is
// merged with the new send. At most RTK_PENDING_MAX distinct codes are kept pending per task;
// a further distinct code is dropped and counted (RtkDroppedEvents). Sending to an id that
// names no task does nothing and returns RTK_ERR_NO_TASK. A dropped code returns
// RTK_ERR_RESOURCE, code 0 (which no mask selects) RTK_ERR_PARAM; a merged send returns 0.
constexpr int RTK_PENDING_MAX = 16;
int32_t RtkSendTaskEvent(RtkTaskId id, uint16_t code);

// Receives one code sent to the calling task: the oldest pending code that shares at least one
// bit with mask (code & mask != 0). timeoutMs 0 returns at once, RTK_WAIT_FOREVER (-1) waits
// without limit, a positive value waits up to that many milliseconds. One return stores at most
// one code; a return without a code stores 0 and returns RTK_ERR_TIMEOUT. reserved0 and
// reserved2 are ignored; any negative timeout waits without limit.
// Called from a thread that is not a task, it returns RTK_ERR_NO_TASK and stores 0.
int32_t RtkReceiveTaskEvent(uint32_t reserved0, uint16_t mask, uint32_t reserved2,
                            int32_t timeoutMs, uint16_t* code);

// Sleeps the calling thread (task or not). Every call is counted (RtkSleepCount). A task
// deleted while it sleeps ends at once. oneproc: the sleep ends when the virtual clock reaches

}  // namespace kx
