// SPDX-License-Identifier: Apache-2.0
// The threaded kernel's table of functions (kernels.h), through which platform/kernel/select.cpp
// reaches it. Holds no state; kernel.h says what guards the state of the calls it names.
#include "platform/kernel/threads/kernel.h"
#include "platform/kernel/kernels.h"

namespace kx {

const RtkKernelOps rtkThreadsKernel = {
    .name = "threads",
    .createTask = threads::createTask,
    .resumeTask = threads::resumeTask,
    .deleteTask = threads::deleteTask,
    .checkDeleted = threads::checkDeleted,
    .sendTaskEvent = threads::sendTaskEvent,
    .receiveTaskEvent = threads::receiveTaskEvent,
    .sleepTaskUsec = threads::sleepTaskUsec,
    .createCriticalSection = threads::createCriticalSection,
    .deleteCriticalSection = threads::deleteCriticalSection,
    .enterCriticalSection = threads::enterCriticalSection,
    .leaveCriticalSection = threads::leaveCriticalSection,
    .holdsCriticalSection = threads::holdsCriticalSection,
    .setRealtimeScheduling = threads::setRealtimeScheduling,
    .setSingleProcessor = threads::setSingleProcessor,
    .setSleepScale = threads::setSleepScale,
    .sleepCount = threads::sleepCount,
    .droppedEvents = threads::droppedEvents,
    .resetCounters = threads::resetCounters,
    .currentTask = threads::currentTask,
    .taskExists = threads::taskExists,
    .taskPriority = threads::taskPriority,
    .taskName = threads::taskName,
    .eventPending = threads::eventPending,
    .threadsAlive = threads::threadsAlive,
    .sectionsAlive = threads::sectionsAlive,
    .waitQuiescent = threads::waitQuiescent,
    .waitUntil = threads::waitUntil,
    .hostWait = threads::hostWait,
    .hostWake = threads::hostWake,
    .idle = threads::idle,
    .nowUsec = threads::nowUsec,
    .preemptionPoint = threads::preemptionPoint,
    .busyUsec = threads::busyUsec,
    .longestSectionWait = threads::longestSectionWait,
    .setPriorityInheritance = threads::setPriorityInheritance,
    .priorityInheritance = threads::priorityInheritance,
    .taskEffectivePriority = threads::taskEffectivePriority,
};

}  // namespace kx
