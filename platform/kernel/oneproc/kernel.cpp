// SPDX-License-Identifier: Apache-2.0
// The one-processor kernel's table of functions (kernels.h), through which
// platform/kernel/select.cpp reaches it. Holds no state; home.h says who owns the state of the
// calls it names.
#include "platform/kernel/kernels.h"
#include "platform/kernel/oneproc/home.h"

namespace kx {

const RtkKernelOps rtkOneProcKernel = {
    .name = "oneproc",
    .createTask = oneproc::createTask,
    .resumeTask = oneproc::resumeTask,
    .deleteTask = oneproc::deleteTask,
    .checkDeleted = oneproc::checkDeleted,
    .sendTaskEvent = oneproc::sendTaskEvent,
    .receiveTaskEvent = oneproc::receiveTaskEvent,
    .sleepTaskUsec = oneproc::sleepTaskUsec,
    .createCriticalSection = oneproc::createCriticalSection,
    .deleteCriticalSection = oneproc::deleteCriticalSection,
    .enterCriticalSection = oneproc::enterCriticalSection,
    .leaveCriticalSection = oneproc::leaveCriticalSection,
    .holdsCriticalSection = oneproc::holdsCriticalSection,
    .setRealtimeScheduling = oneproc::setRealtimeScheduling,
    .setSingleProcessor = oneproc::setSingleProcessor,
    .setSleepScale = oneproc::setSleepScale,
    .sleepCount = oneproc::sleepCount,
    .droppedEvents = oneproc::droppedEvents,
    .resetCounters = oneproc::resetCounters,
    .currentTask = oneproc::currentTask,
    .taskExists = oneproc::taskExists,
    .taskPriority = oneproc::taskPriority,
    .taskName = oneproc::taskName,
    .eventPending = oneproc::eventPending,
    .threadsAlive = oneproc::threadsAlive,
    .sectionsAlive = oneproc::sectionsAlive,
    .waitQuiescent = oneproc::waitQuiescent,
    .waitUntil = oneproc::waitUntil,
    .hostWait = oneproc::hostWait,
    .hostWake = oneproc::hostWake,
    .idle = oneproc::idle,
    .nowUsec = oneproc::nowUsec,
    .preemptionPoint = oneproc::preemptionPoint,
    .busyUsec = oneproc::busyUsec,
    .longestSectionWait = oneproc::longestSectionWait,
    .setPriorityInheritance = oneproc::setPriorityInheritance,
    .priorityInheritance = oneproc::priorityInheritance,
    .taskEffectivePriority = oneproc::taskEffectivePriority,
};

}  // namespace kx
