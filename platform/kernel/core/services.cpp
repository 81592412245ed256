// SPDX-License-Identifier: Apache-2.0
// The core's task events, critical sections and the priority their holders inherit (core.h), on
// its readiness and blocking. State belongs to the one processor, as in core.cpp; nothing here
// is reached from an interrupt.
#include "platform/kernel/core/core.h"
#include "platform/kernel/rtk_types.h"

namespace kx::core {

// ---- Events ----

int32_t coreSend(Core& core, Context* task, uint16_t code) {
    PendingAdd added = pendingAdd(&task->pending, code);
    if (added == PendingAdd::Merged)
        return RTK_OK;
    if (added == PendingAdd::Dropped) {
        ++core.dropped;
        return RTK_ERR_RESOURCE;
    }
    if (!task->ready && task->wait == Wait::Receive && (code & task->mask) != 0) {
        coreMakeReady(core, task);
        coreSchedule(core);
    }
    return RTK_OK;
}

int32_t coreReceive(Core& core, uint16_t mask, int64_t timeoutUs, uint16_t* code) {
    Context* self = core.current;
    if (pendingTake(&self->pending, mask, code))
        return RTK_OK;
    if (timeoutUs == 0)
        return RTK_ERR_TIMEOUT;
    self->mask = mask;
    coreBlock(core, Wait::Receive, timeoutUs);
    return pendingTake(&self->pending, mask, code) ? RTK_OK : RTK_ERR_TIMEOUT;
}

// ---- Critical sections ----

namespace {

// Waiters for a section that is left or deleted become ready and look again.
void wakeSectionWaiters(Core& core, RtkHandle handle) {
    forEachContext(core, [&](Context* t) {
        if (!t->ready && t->wait == Wait::Section && t->section == handle)
            coreMakeReady(core, t);
    });
}

}  // namespace

void coreAddSection(Core& core, Section* section) {
    section->handle = core.nextSection++;
    section->owner = nullptr;
    section->next = core.sections;
    core.sections = section;
}

Section* coreFindSection(Core& core, RtkHandle handle) {
    for (Section* s = core.sections; s != nullptr; s = s->next) {
        if (s->handle == handle)
            return s;
    }
    return nullptr;
}

Section* coreRemoveSection(Core& core, RtkHandle handle) {
    for (Section** at = &core.sections; *at != nullptr; at = &(*at)->next) {
        Section* s = *at;
        if (s->handle != handle)
            continue;
        *at = s->next;
        s->next = nullptr;
        wakeSectionWaiters(core, handle);
        return s;
    }
    return nullptr;
}

int coreSectionCount(const Core& core) {
    int n = 0;
    for (const Section* s = core.sections; s != nullptr; s = s->next)
        ++n;
    return n;
}

Enter coreTryEnter(Core& core, RtkHandle handle, Section** section) {
    Section* s = coreFindSection(core, handle);
    *section = s;
    if (s == nullptr)
        return Enter::Unknown;
    if (s->owner == core.current)
        return Enter::Reentry;  // not re-entrant
    if (s->owner != nullptr || s->abandoned)
        return Enter::Held;
    s->owner = core.current;
    return Enter::Entered;
}

void coreWaitForSection(Core& core, RtkHandle handle) {
    core.current->section = handle;
    core.stale = true;  // the holder inherits the caller's priority before the decision
    coreBlock(core, Wait::Section, -1);
}

int32_t coreLeaveSection(Core& core, RtkHandle handle) {
    Section* s = coreFindSection(core, handle);
    if (s == nullptr)
        return RTK_ERR_PARAM;
    if (s->owner != core.current)
        return RTK_ERR_STATE;
    s->owner = nullptr;
    if (core.current->effective != core.current->priority)
        core.stale = true;  // what this section lent it goes back
    wakeSectionWaiters(core, handle);
    coreSchedule(core);
    return RTK_OK;
}

bool coreHolds(Core& core, RtkHandle handle) {
    Section* s = coreFindSection(core, handle);
    return s != nullptr && s->owner == core.current;
}

// ---- Priority inheritance ----

// Recomputed whole rather than adjusted: a holder's priority is its own or the highest of its
// waiters', over every section it still holds, so one pass over the blocked waiters per link of
// the longest chain finds it, and leaving one of several sections can give back exactly what that
// section lent. Contexts and sections are few. Each round only raises, so it ends even on a cycle
// of waits (a deadlock, which the home reports).
void coreUpdatePriorities(Core& core) {
    core.stale = false;
    forEachContext(core, [](Context* t) { t->effective = t->priority; });
    if (!core.inherit)
        return;
    for (bool raised = true; raised;) {
        raised = false;
        forEachContext(core, [&](Context* t) {
            if (t->ready || t->wait != Wait::Section)
                return;
            Section* s = coreFindSection(core, t->section);
            if (s != nullptr && s->owner != nullptr && s->owner->effective < t->effective) {
                s->owner->effective = t->effective;
                raised = true;
            }
        });
    }
}

void coreSetInheritance(Core& core, bool enabled) {
    core.inherit = enabled;
    coreUpdatePriorities(core);
    coreSchedule(core);
}

}  // namespace kx::core
