// SPDX-License-Identifier: Apache-2.0
// Kernel service: tasks. What the module calls to start and end its mixer and loader tasks.
// Which kernel stands behind these calls, and how it differs, is in rtk_select.h.
#pragma once

#include "platform/kernel/rtk_types.h"

namespace kx {

// Creates a task that does not run until RtkResumeTask. The id is written before the call
// returns; ids are non-zero and never reused. stackSize, options and mode are recorded only
// (a host thread has its own stack; oneproc gives every task a stack of its own size, large
// enough for host library calls); the task is created suspended whatever they hold.
// On failure *id is left 0 and nothing is created: RTK_ERR_PARAM (null id or entry),
// RTK_ERR_RESOURCE (no thread or memory), RTK_ERR_FAULT (injected).
int32_t RtkCreateTask(const char* name, uint16_t priority, uint32_t stackSize, uint32_t options,
                      uint32_t mode, RtkTaskEntry entry, void* argument, RtkTaskId* id);

// Lets a created task run its entry. RTK_ERR_STATE if it was resumed already, RTK_ERR_NO_TASK
// if the id names no task, RTK_ERR_FAULT when injected; the task then stays as it was.
int32_t RtkResumeTask(RtkTaskId id);

// id 0: ends the calling task. The call returns to the caller, which must return from its
// entry at once; the task counts as ended from this call on.
// id of a task never resumed: the task ends without running its entry; its thread is joined.
// id of a running task: the id stops naming a task at once (sends to it are dropped) and the
// thread is ended at its next kernel call (receive, sleep, critical-section enter or a driver
// write), by unwinding out of its entry. Critical sections it holds stay held, as on a kernel
// that deletes a task by force. Deleting an id that names no task returns RTK_ERR_NO_TASK.
// How a deleted task ends is the kernel's: the host's kernels unwind it (rtk_host.h says what
// code on a task must allow for that); a kernel without exceptions never runs it again.
// A task that deleted itself (id 0, or its own id) and still makes a kernel call ends there too.
int32_t RtkDeleteTask(RtkTaskId id);

}  // namespace kx
