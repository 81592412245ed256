// SPDX-License-Identifier: Apache-2.0
// Tasks of the host's one-processor kernel: creation, resume, deletion by unwind, the
// trampoline each task's fiber starts in, and the queries. The core keeps the task list and the
// readiness; this file keeps names, entries and fibers. The kernel's one host thread owns it all.
#include <new>

#include "platform/fault.h"
#include "platform/kernel/oneproc/home.h"
#include "platform/kernel/rtk_types.h"

namespace kx::oneproc {
namespace {

// Runs on a task's own stack: the entry, then the end. The unwind of a deletion stops here.
void trampoline() {
    Kernel& k = kernel();
    Task* self = task(k.core.current);
    if (!self->deleted) {
        try {
            self->entry(self->argument);
        } catch (const TaskUnwind&) {
            // Deleted: the unwind has run the destructors of the entry's frames.
        }
    }
    k.ended.push_back(self);
    core::coreFinish(k.core);
}

}  // namespace

int32_t createTask(const char* name, uint16_t priority, uint32_t stackSize, uint32_t options,
                   uint32_t mode, RtkTaskEntry entry, void* argument, RtkTaskId* id) {
    (void)stackSize;
    (void)options;
    (void)mode;
    if (id == nullptr)
        return RTK_ERR_PARAM;
    *id = 0;
    Kernel& k = enter();
    preemptionPlace(k);
    if (faultCheck(Fault::TaskCreate))
        return RTK_ERR_FAULT;
    if (entry == nullptr)
        return RTK_ERR_PARAM;
    Task* t = new (std::nothrow) Task;
    if (t == nullptr)
        return RTK_ERR_RESOURCE;
    try {
        t->name = name != nullptr ? name : "";
    } catch (const std::bad_alloc&) {
        delete t;
        return RTK_ERR_RESOURCE;
    }
    t->priority = priority;
    t->entry = entry;
    t->argument = argument;
    core::coreAddTask(k.core, t);
    *id = t->id;
    return RTK_OK;
}

int32_t resumeTask(RtkTaskId id) {
    Kernel& k = enter();
    preemptionPlace(k);
    if (faultCheck(Fault::TaskResume))
        return RTK_ERR_FAULT;
    Task* t = findTask(k, id);
    if (t == nullptr)
        return RTK_ERR_NO_TASK;
    if (t->resumed)
        return RTK_ERR_STATE;
    if (!fiberPrepare(&t->fiber, trampoline, kStackBytes))
        return RTK_ERR_RESOURCE;
    core::coreResume(k.core, t);
    return RTK_OK;
}

int32_t deleteTask(RtkTaskId id) {
    Kernel& k = enter();
    preemptionPlace(k);
    Task* self = onHost(k) ? nullptr : task(k.core.current);
    if (id == 0) {
        if (self == nullptr)
            return RTK_ERR_NO_TASK;
        id = self->id;
    }
    Task* t = findTask(k, id);
    if (t == nullptr)
        return RTK_ERR_NO_TASK;
    t->deleted = true;
    if (!t->resumed) {
        // Never ran: nothing on a stack of its own to unwind.
        t->finished = true;
        core::coreRemoveTask(k.core, t);
        delete t;
        return RTK_OK;
    }
    if (t == self)
        return RTK_OK;  // the entry returns at once, or unwinds at its next kernel call
    // Blocked or preempted: it runs once more, to unwind where it stands.
    core::coreMakeReady(k.core, t);
    core::coreSchedule(k.core);
    return RTK_OK;
}

void checkDeleted() {
    Kernel& k = enter();
    preemptionPlace(k);
    unwindIfDeleted(k);
}

RtkTaskId currentTask() {
    return enter().core.current->id;
}

bool taskExists(RtkTaskId id) {
    return findTask(enter(), id) != nullptr;
}

uint16_t taskPriority(RtkTaskId id) {
    Task* t = findTask(enter(), id);
    return t != nullptr ? static_cast<uint16_t>(t->priority) : 0;
}

const char* taskName(RtkTaskId id) {
    Task* t = findTask(enter(), id);
    return t != nullptr ? t->name.c_str() : "";
}

int threadsAlive() {
    return core::coreTaskCount(enter().core);
}

}  // namespace kx::oneproc
