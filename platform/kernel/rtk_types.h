// SPDX-License-Identifier: Apache-2.0
// The kernel services' common types and results, shared by every service header (rtk_tasks.h,
// rtk_events.h, rtk_sections.h, rtk_sleep.h, rtk_preempt.h). Results are 0 for success; every
// failure is non-zero in its low 16 bits. No state.
#pragma once

#include <stdint.h>

namespace kx {

using RtkTaskId = uint32_t;   // 0 names no task (or, for RtkDeleteTask, the caller)
using RtkHandle = uintptr_t;  // critical-section handle; 0 is never a valid handle
using RtkTaskEntry = void (*)(void* argument);

constexpr int32_t RTK_OK = 0;
constexpr int32_t RTK_ERR_PARAM = 0x0101;     // bad argument
constexpr int32_t RTK_ERR_NO_TASK = 0x0102;   // the id names no live task
constexpr int32_t RTK_ERR_STATE = 0x0103;     // e.g. resume of a task that already runs
constexpr int32_t RTK_ERR_RESOURCE = 0x0104;  // no thread, memory or handle could be had
constexpr int32_t RTK_ERR_FAULT = 0x0105;     // failure injected by a test (platform/fault.h)
constexpr int32_t RTK_ERR_TIMEOUT = 0x0106;   // a receive returned without a code

constexpr int32_t RTK_WAIT_FOREVER = -1;

}  // namespace kx
