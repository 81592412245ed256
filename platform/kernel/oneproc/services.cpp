// SPDX-License-Identifier: Apache-2.0
// Task events and critical sections of the host's one-processor kernel, on the scheduler core:
// this file adds the argument checks, the injected faults, the section names, the record of
// each task's longest section wait and the host's switch for priority inheritance. The kernel's
// one host thread owns it all.
#include <cstring>
#include <new>

#include "platform/fault.h"
#include "platform/kernel/oneproc/home.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_types.h"

namespace kx::oneproc {
namespace {

void copyName(char (&to)[RTK_NAME_MAX], const char* from) {
    std::strncpy(to, from, RTK_NAME_MAX - 1);
    to[RTK_NAME_MAX - 1] = 0;
}

// One enter's wait, kept on the waiter's stack until the enter returns.
struct WaitRecord {
    bool waited;
    uint64_t since;
    char section[RTK_NAME_MAX];
    char holder[RTK_NAME_MAX];
};

void noteWait(const Kernel& k, Task* self, const WaitRecord& w) {
    if (!w.waited || self == &k.host)
        return;
    uint64_t length = k.now - w.since;
    RtkSectionWait& longest = self->longestWait;
    if (longest.waits++ != 0 && length <= longest.microseconds)
        return;
    longest.microseconds = length;
    std::memcpy(longest.section, w.section, RTK_NAME_MAX);
    std::memcpy(longest.holder, w.holder, RTK_NAME_MAX);
}

}  // namespace

// ---- Task events ----

int32_t sendTaskEvent(RtkTaskId id, uint16_t code) {
    Kernel& k = enter();
    preemptionPlace(k);
    if (code == 0)
        return RTK_ERR_PARAM;
    Task* t = findTask(k, id);
    if (t == nullptr)
        return RTK_ERR_NO_TASK;
    return core::coreSend(k.core, t, code);
}

int32_t receiveTaskEvent(uint32_t reserved0, uint16_t mask, uint32_t reserved2, int32_t timeoutMs,
                         uint16_t* code) {
    (void)reserved0;
    (void)reserved2;
    if (code == nullptr)
        return RTK_ERR_PARAM;
    *code = 0;
    Kernel& k = enter();
    if (onHost(k))
        return RTK_ERR_NO_TASK;
    preemptionPlace(k);
    unwindIfDeleted(k);
    return core::coreReceive(k.core, mask, timeoutMs >= 0 ? int64_t{timeoutMs} * 1000 : -1, code);
}

bool eventPending(RtkTaskId id, uint16_t mask) {
    Task* t = findTask(enter(), id);
    return t != nullptr && pendingHas(t->pending, mask);
}

uint64_t droppedEvents() {
    return enter().core.dropped;
}

// ---- Critical sections ----

int32_t createCriticalSection(const char* name, RtkHandle* handle) {
    if (handle == nullptr)
        return RTK_ERR_PARAM;
    *handle = 0;
    Kernel& k = enter();
    preemptionPlace(k);
    if (faultCheck(Fault::SectionCreate))
        return RTK_ERR_FAULT;
    auto* s = new (std::nothrow) Section;
    if (s == nullptr)
        return RTK_ERR_RESOURCE;
    try {
        s->name = name != nullptr ? name : "";
    } catch (const std::bad_alloc&) {
        delete s;
        return RTK_ERR_RESOURCE;
    }
    core::coreAddSection(k.core, s);
    *handle = s->handle;
    return RTK_OK;
}

int32_t deleteCriticalSection(RtkHandle handle) {
    Kernel& k = enter();
    preemptionPlace(k);
    core::Section* s = core::coreRemoveSection(k.core, handle);
    if (s == nullptr)
        return RTK_ERR_PARAM;
    delete static_cast<Section*>(s);
    core::coreSchedule(k.core);
    return RTK_OK;
}

int32_t enterCriticalSection(RtkHandle handle) {
    Kernel& k = enter();
    preemptionPlace(k);
    if (faultCheck(Fault::SectionEnter))
        return RTK_ERR_FAULT;
    unwindIfDeleted(k);
    Task* self = task(k.core.current);
    // Set when the enter first finds the section held: what it waits for, and since when.
    WaitRecord waited{};
    for (;;) {
        core::Section* s = nullptr;
        switch (core::coreTryEnter(k.core, handle, &s)) {
            case core::Enter::Unknown:
                noteWait(k, self, waited);
                return RTK_ERR_PARAM;
            case core::Enter::Reentry:
                return RTK_ERR_STATE;
            case core::Enter::Entered:
                noteWait(k, self, waited);
                return RTK_OK;
            case core::Enter::Held:
                break;
        }
        if (!waited.waited) {
            waited.waited = true;
            waited.since = k.now;
            copyName(waited.section, static_cast<Section*>(s)->name.c_str());
            // An abandoned section has no holder (its task ended holding it).
            copyName(waited.holder, s->owner != nullptr ? task(s->owner)->name.c_str() : "");
        }
        core::coreWaitForSection(k.core, handle);
    }
}

int32_t leaveCriticalSection(RtkHandle handle) {
    Kernel& k = enter();
    preemptionPlace(k);
    return core::coreLeaveSection(k.core, handle);
}

bool holdsCriticalSection(RtkHandle handle) {
    return core::coreHolds(enter().core, handle);
}

int sectionsAlive() {
    return core::coreSectionCount(enter().core);
}

bool longestSectionWait(RtkTaskId id, RtkSectionWait* wait) {
    if (wait == nullptr)
        return false;
    *wait = RtkSectionWait{};
    Kernel& k = enter();
    const Task* t = findTask(k, id == 0 ? k.core.current->id : id);
    if (t == nullptr)
        return false;
    *wait = t->longestWait;
    return true;
}

// ---- Priority inheritance (the core lends; this kernel lets the host turn it off) ----

void setPriorityInheritance(bool enabled) {
    Kernel& k = enter();
    core::coreSetInheritance(k.core, enabled);
}

bool priorityInheritance() {
    return enter().core.inherit;
}

uint16_t taskEffectivePriority(RtkTaskId id) {
    Task* t = findTask(enter(), id);
    return t != nullptr ? static_cast<uint16_t>(t->effective) : 0;
}

}  // namespace kx::oneproc
