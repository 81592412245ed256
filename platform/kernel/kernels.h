// SPDX-License-Identifier: Apache-2.0
// The seam between the kernel services' calls (rtk_tasks.h and its siblings, rtk_host.h) and
// their implementations: one table of functions per kernel. platform/kernel/select.cpp owns the
// choice of table and forwards every Rtk call to it; each implementation fills its table and keeps
// everything else private. Tables are filled by field name (designated initializers), so that a
// slot cannot take another slot's function of the same signature, and a slot left out is a warning,
// hence an error; the implementations have names of their own (threads::createTask), never the
// public Rtk names.
#pragma once

#include "platform/kernel/rtk_events.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_preempt.h"
#include "platform/kernel/rtk_sections.h"
#include "platform/kernel/rtk_sleep.h"
#include "platform/kernel/rtk_tasks.h"

namespace kx {

struct RtkKernelOps {
    const char* name;  // "threads" or "oneproc", as KX_KERNEL and kxplay --kernel spell it
    decltype(&RtkCreateTask) createTask;
    decltype(&RtkResumeTask) resumeTask;
    decltype(&RtkDeleteTask) deleteTask;
    decltype(&RtkCheckDeleted) checkDeleted;
    decltype(&RtkSendTaskEvent) sendTaskEvent;
    decltype(&RtkReceiveTaskEvent) receiveTaskEvent;
    decltype(&RtkSleepTaskUsec) sleepTaskUsec;
    decltype(&RtkCreateCriticalSection) createCriticalSection;
    decltype(&RtkDeleteCriticalSection) deleteCriticalSection;
    decltype(&RtkEnterCriticalSection) enterCriticalSection;
    decltype(&RtkLeaveCriticalSection) leaveCriticalSection;
    decltype(&RtkHoldsCriticalSection) holdsCriticalSection;
    decltype(&RtkSetRealtimeScheduling) setRealtimeScheduling;
    decltype(&RtkSetSingleProcessor) setSingleProcessor;
    decltype(&RtkSetSleepScale) setSleepScale;
    decltype(&RtkSleepCount) sleepCount;
    decltype(&RtkDroppedEvents) droppedEvents;
    decltype(&RtkResetCounters) resetCounters;
    decltype(&RtkCurrentTask) currentTask;
    decltype(&RtkTaskExists) taskExists;
    decltype(&RtkTaskPriority) taskPriority;
    decltype(&RtkTaskName) taskName;
    decltype(&RtkEventPending) eventPending;
    decltype(&RtkThreadsAlive) threadsAlive;
    decltype(&RtkSectionsAlive) sectionsAlive;
    decltype(&RtkWaitQuiescent) waitQuiescent;
    decltype(&RtkWaitUntil) waitUntil;
    decltype(&RtkHostWait) hostWait;
    decltype(&RtkHostWake) hostWake;
    decltype(&RtkIdle) idle;
    decltype(&RtkNowUsec) nowUsec;
    decltype(&RtkPreemptionPoint) preemptionPoint;
    decltype(&RtkBusyUsec) busyUsec;
    decltype(&RtkLongestSectionWait) longestSectionWait;
    decltype(&RtkSetPriorityInheritance) setPriorityInheritance;
    decltype(&RtkPriorityInheritance) priorityInheritance;
    decltype(&RtkTaskEffectivePriority) taskEffectivePriority;
};

extern const RtkKernelOps rtkThreadsKernel;  // platform/kernel/threads/
extern const RtkKernelOps rtkOneProcKernel;  // platform/kernel/oneproc/

}  // namespace kx
