// SPDX-License-Identifier: Apache-2.0
// The image's kernel: the home of the shared scheduler core (platform/kernel/core/) on the
// metal. The core decides (strict priorities, equal priorities in the order they became ready,
// events, sections, deadlines); this home owns the task and section records, the stacks, the
// clock (the time-stamp counter), the register switch with the SSE state (fxsave), the end of a
// deleted task (it is never run again) and the interrupts. Every core call is made with
// interrupts off (IrqGuard), so an interrupt handler finds the core between calls, and on its
// way out (kernelInterruptExit) the home ends the waits that fell due and lets the core switch
// to a task the handler woke.
#include <cstring>

#include "metal/boot/console.h"
#include "metal/boot/cpu.h"
#include "metal/kernel/clock.h"
#include "metal/kernel/kernel.h"
#include "platform/files/kxfile.h"
#include "platform/kernel/core/core.h"
#include "platform/kernel/rtk_events.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_preempt.h"
#include "platform/kernel/rtk_sections.h"
#include "platform/kernel/rtk_sleep.h"
#include "platform/kernel/rtk_tasks.h"
#include "platform/kernel/rtk_types.h"

extern "C" void metalSwitch(uint32_t** saveSp, uint32_t* nextSp, void* saveFx, const void* loadFx);

namespace kx::metal {
namespace {

constexpr int kMaxTasks = 16;
constexpr int kMaxSections = 32;
constexpr uint32_t kMinStack = 16384;
constexpr uint8_t kStackFill = 0xA5;
constexpr int kNameMax = 16;

struct alignas(16) Task : core::Context {
    alignas(16) uint8_t fx[512];  // SSE and x87 state while switched out (fxsave needs 16)
    uint32_t* sp = nullptr;
    bool used = false;  // the slot holds a task (live or ended) whose report is kept
    char name[kNameMax] = {};
    uint8_t* stack = nullptr;
    uint32_t stackSize = 0;
    uint32_t stackUsed = 0;  // kept when the task ends
    RtkTaskEntry entry = nullptr;
    void* argument = nullptr;
    uint64_t passStart = 0;    // cycles when it last ran after blocking; 0 while blocked
    uint64_t longestPass = 0;  // cycles from that to its next block, the longest
};

struct NamedSection : core::Section {
    bool used = false;
    char name[kNameMax] = {};
};

core::Core theCore;
Task boot;  // the boot context: the core's home context, idle when nothing else is ready
Task tasks[kMaxTasks];
NamedSection sections[kMaxSections];
uint8_t cleanFx[512] __attribute__((aligned(16)));
int interruptDepth = 0;
bool started = false;

Task* self() {
    return static_cast<Task*>(theCore.current);
}

bool onTask() {
    return started && theCore.current != theCore.host;
}

uint32_t stackUsedOf(const Task& t) {
    uint32_t untouched = 0;
    while (untouched < t.stackSize && t.stack[untouched] == kStackFill)
        ++untouched;
    return t.stackSize - untouched;
}

bool ownsASection(const Task* t) {
    for (const NamedSection& s : sections) {
        if (s.used && s.owner == t)
            return true;
    }
    return false;
}

void copyName(char* to, const char* from) {
    std::memset(to, 0, kNameMax);
    if (from != nullptr)
        std::strncpy(to, from, kNameMax - 1);
}

[[noreturn]] void trampoline() {
    irqRestore(0x200);
    self()->entry(self()->argument);
    IrqGuard off;
    self()->stackUsed = stackUsedOf(*self());
    core::coreFinish(theCore);
}

// The alarm: the waits that fell due are ended on the way out of the interrupt.
void alarm() {}

// Arms the alarm for the earliest timed wait, if any (an alarm left armed for a wait that ended
// otherwise only makes the kernel look once for nothing).
void armForDeadlines() {
    uint64_t deadline = 0;
    if (core::coreEarliestDeadline(theCore, nullptr, &deadline))
        clockArmAlarm(deadline);
}

int64_t timeoutUsOf(int32_t timeoutMs) {
    return timeoutMs < 0 ? -1 : static_cast<int64_t>(timeoutMs) * 1000;
}

}  // namespace

}  // namespace kx::metal

// ---- The home's obligations to the core ----
namespace kx::core {

uint64_t homeNow(Core&) {
    return metal::clockNowUsec();
}

void homeIdle(Core&, bool timed, uint64_t deadline) {
    if (timed)
        metal::clockArmAlarm(deadline);
    metal::waitForInterrupt();  // the alarm or the device ends it; the core then looks again
}

void homeSwitch(Core&, Context* from, Context* to) {
    auto* f = static_cast<metal::Task*>(from);
    auto* t = static_cast<metal::Task*>(to);
    uint64_t now = metal::clockCycles();
    if (!from->ready && f->passStart != 0) {
        if (now - f->passStart > f->longestPass)
            f->longestPass = now - f->passStart;
        f->passStart = 0;
    }
    if (t->passStart == 0)
        t->passStart = now;
    metal::armForDeadlines();  // `from` may have blocked with a deadline
    metalSwitch(&f->sp, t->sp, f->fx, t->fx);
}

void homeDecided(Core&) {}

bool homeBringForward(Core&, Context*) {
    return false;  // interrupts do the preempting here
}

uint32_t homeInterruptsOff() {
    return metal::irqSave();
}

void homeInterruptsRestore(uint32_t state) {
    metal::irqRestore(state);
}

}  // namespace kx::core

namespace kx::metal {

void kernelInterruptEnter() {
    ++interruptDepth;
}

void kernelInterruptLeave() {
    --interruptDepth;
}

bool kernelInInterrupt() {
    return interruptDepth > 0;
}

void kernelInterruptExit() {
    if (!started)
        return;
    core::coreWakeDue(theCore, clockNowUsec(), nullptr);
    armForDeadlines();
    if (core::coreSwitchWanted(theCore))
        core::coreSchedule(theCore);
}

void kernelInit() {
    asm volatile("fxsave %0" : "=m"(cleanFx));
    copyName(boot.name, "idle");
    core::coreInit(theCore, &boot);
    clockStartAlarm(alarm);
    started = true;
}

void kernelIdle() {
    for (;;) {
        irqSave();
        core::coreSchedule(theCore);
        waitForInterrupt();
    }
}

bool kernelWaitUntil(bool (*ready)(void*), void* context, uint64_t deadlineUsec) {
    IrqGuard off;
    for (;;) {
        if (ready(context))
            return true;
        uint64_t now = clockNowUsec();
        if (deadlineUsec != 0 && now >= deadlineUsec)
            return false;
        if (!onTask()) {
            if (deadlineUsec != 0)
                clockArmAlarm(deadlineUsec);
            waitForInterrupt();
            continue;
        }
        self()->condition = ready;
        self()->conditionContext = context;
        core::coreBlock(theCore, core::Wait::Condition,
                        deadlineUsec != 0 ? static_cast<int64_t>(deadlineUsec - now) : -1);
    }
}

void kernelNotify() {
    IrqGuard off;
    core::coreTouchFromInterrupt(theCore);
    if (onTask() && interruptDepth == 0)
        core::coreSchedule(theCore);  // a higher waiter whose condition now holds runs first
}

int kernelTasks(TaskReport* out, int max) {
    IrqGuard off;
    int n = 0;
    for (int i = 0; i < kMaxTasks && n < max; ++i) {
        const Task& t = tasks[i];
        if (!t.used)
            continue;
        bool alive = !t.finished;
        TaskReport& r = out[n++];
        r.id = t.id;
        std::memcpy(r.name, t.name, kNameMax);
        r.priority = static_cast<uint16_t>(t.priority);
        r.alive = alive;
        r.stackSize = t.stackSize;
        r.stackUsed = alive ? stackUsedOf(t) : t.stackUsed;
        r.longestPassNs = t.longestPass * 1000000 / clockCyclesPerMs();
    }
    return n;
}

}  // namespace kx::metal

namespace kx {

using metal::IrqGuard;
using metal::Task;
using metal::theCore;

int32_t RtkCreateTask(const char* name, uint16_t priority, uint32_t stackSize, uint32_t, uint32_t,
                      RtkTaskEntry entry, void* argument, RtkTaskId* id) {
    if (id == nullptr || entry == nullptr)
        return RTK_ERR_PARAM;
    *id = 0;
    uint32_t size = stackSize < metal::kMinStack ? metal::kMinStack : (stackSize + 15) & ~15u;
    Task* slot = nullptr;
    uint8_t* oldStack = nullptr;
    {
        IrqGuard off;
        // A slot is free when its task has ended; one whose task was deleted holding a section
        // keeps it held, so its record is never reused.
        for (int i = 0; i < metal::kMaxTasks && slot == nullptr; ++i) {
            Task& t = metal::tasks[i];
            if (!t.used || (t.finished && &t != metal::self() && !metal::ownsASection(&t)))
                slot = &t;
        }
        if (slot == nullptr)
            return RTK_ERR_RESOURCE;
        oldStack = slot->stack;
        slot->stack = nullptr;
        slot->used = false;
        slot->finished = false;  // reserved: not free, not listed
        slot->id = 0;
    }
    kxfree(oldStack);
    auto* stack = static_cast<uint8_t*>(kxcalloc(1, size));
    IrqGuard off;
    if (stack == nullptr) {
        slot->finished = true;
        return RTK_ERR_RESOURCE;
    }
    std::memset(stack, metal::kStackFill, size);
    static_cast<core::Context&>(*slot) = core::Context{};
    std::memcpy(slot->fx, metal::cleanFx, sizeof slot->fx);
    slot->priority = priority;
    slot->used = true;
    metal::copyName(slot->name, name);
    slot->stack = stack;
    slot->stackSize = size;
    slot->stackUsed = 0;
    slot->entry = entry;
    slot->argument = argument;
    slot->passStart = 0;
    slot->longestPass = 0;
    // {ebp, edi, esi, ebx} = 0, then the trampoline as the switch's return address, then a
    // return address the trampoline never uses; the entry's frame is 16-aligned as the ABI wants.
    auto* top = reinterpret_cast<uint32_t*>(stack + size);
    *--top = 0;
    *--top = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&metal::trampoline));
    for (int i = 0; i < 4; ++i)
        *--top = 0;
    slot->sp = top;
    core::coreAddTask(theCore, slot);
    *id = slot->id;
    return RTK_OK;
}

int32_t RtkResumeTask(RtkTaskId id) {
    IrqGuard off;
    core::Context* t = core::coreFindTask(theCore, id);
    if (t == nullptr)
        return RTK_ERR_NO_TASK;
    if (t->resumed)
        return RTK_ERR_STATE;
    core::coreResume(theCore, t);
    return RTK_OK;
}

int32_t RtkDeleteTask(RtkTaskId id) {
    IrqGuard off;
    if (id == 0 || (metal::onTask() && id == theCore.current->id)) {
        if (!metal::onTask())
            return RTK_ERR_NO_TASK;
        metal::self()->stackUsed = metal::stackUsedOf(*metal::self());
        metal::self()->deleted = true;
        core::coreFinish(theCore);
    }
    auto* t = static_cast<Task*>(core::coreFindTask(theCore, id));
    if (t == nullptr)
        return RTK_ERR_NO_TASK;
    // Never run again, wherever it stands: out of the core's lists, not ready, not waiting.
    t->stackUsed = metal::stackUsedOf(*t);
    t->deleted = true;
    t->finished = true;
    t->ready = false;
    t->wait = core::Wait::None;
    t->pending = PendingCodes{};
    core::coreRemoveTask(theCore, t);
    return RTK_OK;
}

int32_t RtkSendTaskEvent(RtkTaskId id, uint16_t code) {
    if (code == 0)
        return RTK_ERR_PARAM;
    IrqGuard off;
    core::Context* t = core::coreFindTask(theCore, id);
    if (t == nullptr)
        return RTK_ERR_NO_TASK;
    return core::coreSend(theCore, t, code);
}

int32_t RtkReceiveTaskEvent(uint32_t, uint16_t mask, uint32_t, int32_t timeoutMs, uint16_t* code) {
    IrqGuard off;
    uint16_t taken = 0;
    int32_t result = metal::onTask()
                         ? core::coreReceive(theCore, mask, metal::timeoutUsOf(timeoutMs), &taken)
                         : RTK_ERR_NO_TASK;
    if (code != nullptr)
        *code = result == RTK_OK ? taken : 0;
    return result;
}

int32_t RtkSleepTaskUsec(uint32_t microseconds) {
    IrqGuard off;
    if (!metal::onTask()) {
        uint64_t deadline = metal::clockNowUsec() + microseconds;
        while (metal::clockNowUsec() < deadline) {
            metal::clockArmAlarm(deadline);
            metal::waitForInterrupt();
        }
        return RTK_OK;
    }
    if (microseconds != 0)
        core::coreBlock(theCore, core::Wait::Sleep, microseconds);
    return RTK_OK;
}

int32_t RtkCreateCriticalSection(const char* name, RtkHandle* handle) {
    if (handle == nullptr)
        return RTK_ERR_PARAM;
    IrqGuard off;
    for (metal::NamedSection& s : metal::sections) {
        if (s.used)
            continue;
        s.used = true;
        metal::copyName(s.name, name);
        core::coreAddSection(theCore, &s);
        *handle = s.handle;
        return RTK_OK;
    }
    *handle = 0;
    return RTK_ERR_RESOURCE;
}

int32_t RtkDeleteCriticalSection(RtkHandle handle) {
    IrqGuard off;
    auto* s = static_cast<metal::NamedSection*>(core::coreRemoveSection(theCore, handle));
    if (s == nullptr)
        return RTK_ERR_PARAM;
    s->used = false;
    s->owner = nullptr;
    if (metal::onTask())
        core::coreSchedule(theCore);  // a waiter above the caller learns of it at once
    return RTK_OK;
}

int32_t RtkEnterCriticalSection(RtkHandle handle) {
    IrqGuard off;
    if (!metal::onTask())
        return RTK_ERR_PARAM;
    for (;;) {
        core::Section* s = nullptr;
        switch (core::coreTryEnter(theCore, handle, &s)) {
            case core::Enter::Entered:
                return RTK_OK;
            case core::Enter::Unknown:
                return RTK_ERR_PARAM;
            case core::Enter::Reentry:
                return RTK_ERR_STATE;
            case core::Enter::Held:
                core::coreWaitForSection(theCore, handle);
                break;
        }
    }
}

int32_t RtkLeaveCriticalSection(RtkHandle handle) {
    IrqGuard off;
    if (!metal::onTask())
        return RTK_ERR_STATE;
    return core::coreLeaveSection(theCore, handle);
}

bool RtkHoldsCriticalSection(RtkHandle handle) {
    IrqGuard off;
    return metal::onTask() && core::coreHolds(theCore, handle);
}

void RtkPreemptionPoint() {
    // Preemption is real here: interrupts end a task's run wherever it stands.
}

RtkTaskId RtkCurrentTask() {
    IrqGuard off;
    return metal::onTask() ? theCore.current->id : 0;
}

bool RtkTaskExists(RtkTaskId id) {
    IrqGuard off;
    return core::coreFindTask(theCore, id) != nullptr;
}

uint64_t RtkNowUsec() {
    return metal::clockNowUsec();
}

void RtkBusyUsec(uint32_t microseconds) {
    uint64_t end = metal::clockNowUsec() + microseconds;
    while (metal::clockNowUsec() < end) {
    }
}

}  // namespace kx
