// SPDX-License-Identifier: Apache-2.0
// Kernel service: preemption places, marked by code that shares a byte between tasks without a
// lock (the byte queues, the module's shared bytes), so that a kernel that explores schedules can
// preempt there.
#pragma once

#include "platform/kernel/rtk_types.h"

namespace kx {

// A place where a task may be preempted: called at every access to a byte that two tasks share
// without a lock (the byte queues' indices, the module's shared bytes). threads: nothing.
// oneproc: a pending higher-priority wake-up may take effect here when an explored schedule
// (RtkExplore) chooses this place.
void RtkPreemptionPoint();

}  // namespace kx
