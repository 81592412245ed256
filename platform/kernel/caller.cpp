// SPDX-License-Identifier: Apache-2.0
// Running a piece of host code as a caller task, as an application task calls the module on
// the target. Kernel-neutral: it uses only the kernel's calls (rtk_tasks.h, rtk_host.h). The
// done flag is the one byte the task and the waiting host share; it is atomic, and the task
// wakes the host's wait once it is set.
#include <atomic>

#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_tasks.h"
#include "platform/kernel/rtk_types.h"

namespace kx {
namespace {

struct CallerRun {
    void (*body)(void*);
    void* argument;
    std::atomic<bool> done{false};
};

void callerEntry(void* argument) {
    auto* run = static_cast<CallerRun*>(argument);
    run->body(run->argument);
    run->done.store(true, std::memory_order_release);  // pairs with the load in callerDone
    RtkHostWake();
}

bool callerDone(void* argument) {
    return static_cast<CallerRun*>(argument)->done.load(std::memory_order_acquire);
}

}  // namespace

int32_t RtkRunAsTask(const char* name, uint16_t priority, void (*body)(void*), void* argument) {
    CallerRun run{body, argument};
    RtkTaskId id = 0;
    int32_t status = RtkCreateTask(name, priority, 0x4000, 0, 1, callerEntry, &run, &id);
    if (status != RTK_OK)
        return status;
    status = RtkResumeTask(id);
    if (status != RTK_OK) {
        RtkDeleteTask(id);
        return status;
    }
    RtkHostWaitFor finished;
    finished.ready = callerDone;
    finished.context = &run;
    RtkHostWait(finished, RTK_WAIT_FOREVER);
    return RTK_OK;
}

}  // namespace kx
