// SPDX-License-Identifier: Apache-2.0
// The threaded kernel's critical sections. A section is a flag and an owner under the kernel
// mutex (kernel.h) rather than a std::mutex: a task deleted while holding one leaves it held (as
// the contract says) without destroying a locked std::mutex later, and waiting for it is a
// kernel wait that deletion can interrupt. Owners are thread tokens, numbered from an atomic.
// For the same reasons a holder inherits no priority: the host's priority-inheritance mutexes
// (PTHREAD_PRIO_INHERIT) would have to be the sections themselves, and they cannot wake their
// waiters with an error on deletion, refuse re-entry as a result, or record a wait's holder.
#include <cstring>
#include <new>

#include "platform/fault.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_types.h"
#include "platform/kernel/threads/kernel.h"

namespace kx {
namespace threads {
namespace {

std::atomic<uint64_t> nextThreadToken{1};
thread_local uint64_t threadToken = 0;

uint64_t callerToken() {
    if (threadToken == 0)
        threadToken = nextThreadToken.fetch_add(1, std::memory_order_relaxed);
    return threadToken;
}

void copyName(char (&to)[RTK_NAME_MAX], const char* from) {
    std::strncpy(to, from, RTK_NAME_MAX - 1);
    to[RTK_NAME_MAX - 1] = 0;
}

}  // namespace

bool longestSectionWait(RtkTaskId id, RtkSectionWait* wait) {
    if (wait == nullptr)
        return false;
    *wait = RtkSectionWait{};
    if (id == 0 && thisTask == nullptr)
        return false;
    Kernel& k = kernel();
    std::lock_guard<std::mutex> lock(k.mutex);
    auto it = k.live.find(id == 0 ? thisTask->id : id);
    if (it == k.live.end())
        return false;
    *wait = it->second->longestWait;
    return true;
}

int32_t createCriticalSection(const char* name, RtkHandle* handle) {
    if (handle == nullptr)
        return RTK_ERR_PARAM;
    *handle = 0;
    if (faultCheck(Fault::SectionCreate))
        return RTK_ERR_FAULT;
    std::shared_ptr<Section> section;
    try {
        section = std::make_shared<Section>();
        section->name = name != nullptr ? name : "";
    } catch (const std::bad_alloc&) {
        return RTK_ERR_RESOURCE;
    }
    Kernel& k = kernel();
    std::lock_guard<std::mutex> lock(k.mutex);
    RtkHandle h = k.nextSection++;
    k.sections.emplace(h, std::move(section));
    *handle = h;
    return RTK_OK;
}

int32_t deleteCriticalSection(RtkHandle handle) {
    Kernel& k = kernel();
    std::lock_guard<std::mutex> lock(k.mutex);
    auto it = k.sections.find(handle);
    if (it == k.sections.end())
        return RTK_ERR_PARAM;
    // Waiters hold their own reference; they wake, see the flag and fail their enter.
    it->second->deleted = true;
    it->second->freed.notify_all();
    k.sections.erase(it);
    return RTK_OK;
}

int32_t enterCriticalSection(RtkHandle handle) {
    if (faultCheck(Fault::SectionEnter))
        return RTK_ERR_FAULT;
    Kernel& k = kernel();
    uint64_t me = callerToken();
    std::unique_lock<std::mutex> lock(k.mutex);
    unwindIfDeleted();
    auto it = k.sections.find(handle);
    if (it == k.sections.end())
        return RTK_ERR_PARAM;
    std::shared_ptr<Section> section = it->second;
    if (section->held && section->owner == me)
        return RTK_ERR_STATE;  // not re-entrant
    Task* self = thisTask;
    // A task that finds the section held records what it waits for (names copied into its own
    // record's size, no allocation) and, once the enter returns, how long.
    bool waited = self != nullptr && section->held;
    Clock::time_point since{};
    char holder[RTK_NAME_MAX] = {};
    if (waited) {
        since = Clock::now();
        auto holderTask = k.live.find(section->ownerTask);
        if (holderTask != k.live.end())
            copyName(holder, holderTask->second->name.c_str());
    }
    struct NoteWait {
        bool waited;
        Task* self;
        const Section& section;
        Clock::time_point since;
        const char* holder;
        ~NoteWait() {
            if (!waited)
                return;
            auto length = static_cast<uint64_t>(
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - since)
                    .count());
            RtkSectionWait& longest = self->longestWait;
            if (longest.waits++ != 0 && length <= longest.microseconds)
                return;
            longest.microseconds = length;
            copyName(longest.section, section.name.c_str());
            std::memcpy(longest.holder, holder, RTK_NAME_MAX);
        }
    } note{waited, self, *section, since, holder};  // runs under the kernel mutex, unwind included
    if (self != nullptr)
        self->waitingOn = &section->freed;
    section->freed.wait(lock, [&] { return !section->held || section->deleted || selfDeleted(); });
    if (self != nullptr)
        self->waitingOn = nullptr;
    unwindIfDeleted();
    if (section->deleted)
        return RTK_ERR_PARAM;
    section->held = true;
    section->owner = me;
    section->ownerTask = self != nullptr ? self->id : 0;
    return RTK_OK;
}

int32_t leaveCriticalSection(RtkHandle handle) {
    Kernel& k = kernel();
    std::lock_guard<std::mutex> lock(k.mutex);
    auto it = k.sections.find(handle);
    if (it == k.sections.end())
        return RTK_ERR_PARAM;
    Section& section = *it->second;
    if (!section.held || section.owner != callerToken())
        return RTK_ERR_STATE;
    section.held = false;
    section.owner = 0;
    section.ownerTask = 0;
    // All waiters, not one: a waiter woken here may be a deleted task that unwinds instead of
    // taking the section, and must not leave the others asleep.
    section.freed.notify_all();
    return RTK_OK;
}

// The caller's token is its own: no other thread can make it the owner or stop it being one,
// so the answer about the caller is exact even though it may be stale for others.
bool holdsCriticalSection(RtkHandle handle) {
    uint64_t me = callerToken();
    Kernel& k = kernel();
    std::lock_guard<std::mutex> lock(k.mutex);
    auto it = k.sections.find(handle);
    return it != k.sections.end() && it->second->held && it->second->owner == me;
}

int sectionsAlive() {
    Kernel& k = kernel();
    std::lock_guard<std::mutex> lock(k.mutex);
    return static_cast<int>(k.sections.size());
}

// No priority inheritance here (above): the switch does nothing, and a task's effective
// priority is its own.
void setPriorityInheritance(bool) {}

bool priorityInheritance() {
    return false;
}

uint16_t taskEffectivePriority(RtkTaskId id) {
    return taskPriority(id);
}

}  // namespace threads
}  // namespace kx
