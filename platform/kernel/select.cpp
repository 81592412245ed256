// SPDX-License-Identifier: Apache-2.0
// The choice of kernel and the forwarding of every Rtk call to it. The choice is one pointer,
// set at start-up from KX_KERNEL (default: the threaded kernel) or by RtkSelectKernel while no
// task exists; it is read by every call without a lock, since it changes only when no task
// runs, on the host's thread.
#include <cstdlib>
#include <cstring>

#include "platform/kernel/kernels.h"
#include "platform/kernel/rtk_events.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_preempt.h"
#include "platform/kernel/rtk_sections.h"
#include "platform/kernel/rtk_select.h"
#include "platform/kernel/rtk_sleep.h"
#include "platform/kernel/rtk_tasks.h"
#include "platform/kernel/rtk_types.h"

namespace kx {
namespace {

const RtkKernelOps* fromEnvironment() {
    const char* chosen = std::getenv("KX_KERNEL");
    if (chosen != nullptr && std::strcmp(chosen, rtkOneProcKernel.name) == 0)
        return &rtkOneProcKernel;
    return &rtkThreadsKernel;
}

const RtkKernelOps*& selected() {
    static const RtkKernelOps* kernel = fromEnvironment();
    return kernel;
}

const RtkKernelOps& k() {
    return *selected();
}

}  // namespace

bool RtkSelectKernel(RtkKernel kernel) {
    const RtkKernelOps* want =
        kernel == RtkKernel::OneProcessor ? &rtkOneProcKernel : &rtkThreadsKernel;
    if (want == selected())
        return true;
    if (rtkThreadsKernel.threadsAlive() != 0 || rtkOneProcKernel.threadsAlive() != 0)
        return false;
    selected() = want;
    return true;
}

RtkKernel RtkSelectedKernel() {
    return selected() == &rtkOneProcKernel ? RtkKernel::OneProcessor : RtkKernel::Threads;
}

const char* RtkKernelName(RtkKernel kernel) {
    return kernel == RtkKernel::OneProcessor ? rtkOneProcKernel.name : rtkThreadsKernel.name;
}

bool RtkKernelByName(const char* name, RtkKernel* kernel) {
    if (name == nullptr || kernel == nullptr)
        return false;
    if (std::strcmp(name, rtkThreadsKernel.name) == 0) {
        *kernel = RtkKernel::Threads;
        return true;
    }
    if (std::strcmp(name, rtkOneProcKernel.name) == 0) {
        *kernel = RtkKernel::OneProcessor;
        return true;
    }
    return false;
}

int32_t RtkCreateTask(const char* name, uint16_t priority, uint32_t stackSize, uint32_t options,
                      uint32_t mode, RtkTaskEntry entry, void* argument, RtkTaskId* id) {
    return k().createTask(name, priority, stackSize, options, mode, entry, argument, id);
}
int32_t RtkResumeTask(RtkTaskId id) {
    return k().resumeTask(id);
}
int32_t RtkDeleteTask(RtkTaskId id) {
    return k().deleteTask(id);
}
void RtkCheckDeleted() {
    k().checkDeleted();
}
int32_t RtkSendTaskEvent(RtkTaskId id, uint16_t code) {
    return k().sendTaskEvent(id, code);
}
int32_t RtkReceiveTaskEvent(uint32_t reserved0, uint16_t mask, uint32_t reserved2,
                            int32_t timeoutMs, uint16_t* code) {
    return k().receiveTaskEvent(reserved0, mask, reserved2, timeoutMs, code);
}
int32_t RtkSleepTaskUsec(uint32_t microseconds) {
    return k().sleepTaskUsec(microseconds);
}
int32_t RtkCreateCriticalSection(const char* name, RtkHandle* handle) {
    return k().createCriticalSection(name, handle);
}
int32_t RtkDeleteCriticalSection(RtkHandle handle) {
    return k().deleteCriticalSection(handle);
}
int32_t RtkEnterCriticalSection(RtkHandle handle) {
    return k().enterCriticalSection(handle);
}
int32_t RtkLeaveCriticalSection(RtkHandle handle) {
    return k().leaveCriticalSection(handle);
}
bool RtkHoldsCriticalSection(RtkHandle handle) {
    return k().holdsCriticalSection(handle);
}
void RtkSetRealtimeScheduling(bool enabled) {
    k().setRealtimeScheduling(enabled);
}
void RtkSetSingleProcessor(bool enabled) {
    k().setSingleProcessor(enabled);
}
void RtkSetSleepScale(uint32_t percent) {
    k().setSleepScale(percent);
}
uint64_t RtkSleepCount() {
    return k().sleepCount();
}
uint64_t RtkDroppedEvents() {
    return k().droppedEvents();
}
void RtkResetCounters() {
    k().resetCounters();
}
RtkTaskId RtkCurrentTask() {
    return k().currentTask();
}
bool RtkTaskExists(RtkTaskId id) {
    return k().taskExists(id);
}
uint16_t RtkTaskPriority(RtkTaskId id) {
    return k().taskPriority(id);
}
const char* RtkTaskName(RtkTaskId id) {
    return k().taskName(id);
}
bool RtkEventPending(RtkTaskId id, uint16_t mask) {
    return k().eventPending(id, mask);
}
int RtkThreadsAlive() {
    return k().threadsAlive();
}
int RtkSectionsAlive() {
    return k().sectionsAlive();
}
bool RtkWaitQuiescent(RtkTaskId except, int32_t timeoutMs) {
    return k().waitQuiescent(except, timeoutMs);
}
bool RtkWaitUntil(bool (*ready)(void*), void* context, int32_t timeoutMs) {
    return k().waitUntil(ready, context, timeoutMs);
}
RtkHostWoken RtkHostWait(const RtkHostWaitFor& what, int32_t timeoutMs) {
    return k().hostWait(what, timeoutMs);
}
void RtkHostWake() {
    k().hostWake();
}
void RtkIdle(uint32_t microseconds) {
    k().idle(microseconds);
}
uint64_t RtkNowUsec() {
    return k().nowUsec();
}
void RtkPreemptionPoint() {
    k().preemptionPoint();
}
void RtkBusyUsec(uint32_t microseconds) {
    k().busyUsec(microseconds);
}
bool RtkLongestSectionWait(RtkTaskId id, RtkSectionWait* wait) {
    return k().longestSectionWait(id, wait);
}
void RtkSetPriorityInheritance(bool enabled) {
    k().setPriorityInheritance(enabled);
}
bool RtkPriorityInheritance() {
    return k().priorityInheritance();
}
uint16_t RtkTaskEffectivePriority(RtkTaskId id) {
    return k().taskEffectivePriority(id);
}

}  // namespace kx
