// The image's kernel: tasks as register contexts on stacks of their own, strict priorities
// (highest ready first, equal priorities in the order they became ready), task events,
// critical sections, sleep and the driver's waits. One processor: every record here is guarded
// by turning interrupts off (IrqGuard); a switch happens with them off, and each task turns them
// back on as it returns from its own switch.
#include <cstring>

#include "metal/boot/console.h"
#include "metal/boot/cpu.h"
#include "metal/kernel/clock.h"
#include "metal/kernel/kernel.h"
#include "platform/files/kxfile.h"
#include "platform/kernel/pending.h"
#include "platform/kernel/rtk.h"

extern "C" void metalSwitch(uint32_t** saveSp, uint32_t* nextSp, void* saveFx, const void* loadFx);

namespace kx::metal {
namespace {

constexpr int kMaxTasks = 16;
constexpr int kMaxSections = 32;
constexpr uint32_t kMinStack = 16384;
constexpr uint8_t kStackFill = 0xA5;
constexpr int kNameMax = 16;

enum class State : uint8_t { Free, Suspended, Ready, Receiving, Sleeping, Entering, Waiting, Dead };

struct alignas(16) Task {
    uint8_t fx[512];  // SSE and x87 state while switched out (fxsave)
    uint32_t* sp = nullptr;
    uint32_t id = 0;
    char name[kNameMax] = {};
    uint16_t priority = 0;
    State state = State::Free;
    bool timedOut = false;
    uint64_t order = 0;        // when it last became ready (or began to wait for a section)
    uint64_t readyCycles = 0;  // the clock when it last became ready
    uint64_t longestPass = 0;  // cycles from becoming ready to blocking, the longest
    uint64_t deadline = 0;     // microseconds; 0 none
    uint16_t mask = 0;         // Receiving
    RtkHandle section = 0;     // Entering
    int32_t enterResult = 0;
    bool (*ready)(void*) = nullptr;  // Waiting
    void* readyContext = nullptr;
    PendingCodes pending;
    uint8_t* stack = nullptr;
    uint32_t stackSize = 0;
    uint32_t stackUsed = 0;  // kept when the task ends
    RtkTaskEntry entry = nullptr;
    void* argument = nullptr;
};

struct Section {
    RtkHandle handle = 0;  // 0: slot free
    RtkTaskId owner = 0;
    char name[kNameMax] = {};
};

Task tasks[kMaxTasks + 1];  // [0] is the boot context, the idle one
Task* current = &tasks[0];
Section sections[kMaxSections];
uint32_t nextId = 1;
RtkHandle nextHandle = 1;
uint64_t orderCounter = 0;
uint8_t cleanFx[512] __attribute__((aligned(16)));
int interruptDepth = 0;
bool started = false;

bool live(const Task& t) {
    return t.state != State::Free && t.state != State::Dead;
}

Task* find(RtkTaskId id) {
    for (int i = 1; i <= kMaxTasks; ++i) {
        if (tasks[i].id == id && live(tasks[i]))
            return &tasks[i];
    }
    return nullptr;
}

Section* findSection(RtkHandle handle) {
    for (Section& s : sections) {
        if (handle != 0 && s.handle == handle)
            return &s;
    }
    return nullptr;
}

bool onTask() {
    return current != &tasks[0];
}

void makeReady(Task* t) {
    t->state = State::Ready;
    t->deadline = 0;
    t->readyCycles = clockCycles();
    t->order = ++orderCounter;
}

bool outranks(const Task& a, const Task& b) {
    return a.priority > b.priority || (a.priority == b.priority && a.order < b.order);
}

Task* pick() {
    Task* best = nullptr;
    for (int i = 1; i <= kMaxTasks; ++i) {
        Task& t = tasks[i];
        if (t.state == State::Ready && (best == nullptr || outranks(t, *best)))
            best = &t;
    }
    return best != nullptr ? best : &tasks[0];
}

uint32_t stackUsedOf(const Task& t) {
    uint32_t untouched = 0;
    while (untouched < t.stackSize && t.stack[untouched] == kStackFill)
        ++untouched;
    return t.stackSize - untouched;
}

// Runs the ready context that outranks all others; interrupts are off. Inside a handler the
// switch waits for the handler's end (kernelInterruptExit).
void reschedule() {
    if (!started || interruptDepth > 0)
        return;
    Task* next = pick();
    if (next == current)
        return;
    Task* previous = current;
    if (previous->state != State::Ready) {
        uint64_t pass = clockCycles() - previous->readyCycles;
        if (pass > previous->longestPass)
            previous->longestPass = pass;
    }
    current = next;
    metalSwitch(&previous->sp, next->sp, previous->fx, next->fx);
}

// Blocks the caller in `state` until something readies it again.
void block(State state) {
    current->state = state;
    current->order = ++orderCounter;
    reschedule();
}

[[noreturn]] void endCurrent() {
    current->stackUsed = stackUsedOf(*current);
    current->state = State::Dead;
    current->pending = PendingCodes{};
    reschedule();
    for (;;)  // never resumed
        asm volatile("cli; hlt");
}

[[noreturn]] void trampoline() {
    irqRestore(0x200);
    current->entry(current->argument);
    IrqGuard off;
    endCurrent();
}

void tick() {
    uint64_t now = clockNowUsec();
    for (int i = 1; i <= kMaxTasks; ++i) {
        Task& t = tasks[i];
        if (t.deadline != 0 && t.deadline <= now &&
            (t.state == State::Receiving || t.state == State::Sleeping ||
             t.state == State::Waiting)) {
            makeReady(&t);
            t.timedOut = true;
        }
        if (t.state == State::Waiting)
            makeReady(&t);  // asks its condition again
    }
}

void copyName(char* to, const char* from) {
    std::memset(to, 0, kNameMax);
    if (from != nullptr)
        std::strncpy(to, from, kNameMax - 1);
}

}  // namespace

void kernelInterruptExit() {
    reschedule();
}

bool kernelInInterrupt() {
    return interruptDepth > 0;
}

// isrDispatch brackets every handler with these (cpu.cpp).
void kernelInterruptEnter() {
    ++interruptDepth;
}
void kernelInterruptLeave() {
    --interruptDepth;
}

void kernelInit() {
    asm volatile("fxsave %0" : "=m"(cleanFx));
    copyName(tasks[0].name, "idle");
    tasks[0].state = State::Ready;
    clockStartTicks(tick);
    started = true;
}

void kernelIdle() {
    for (;;) {
        irqSave();
        reschedule();
        waitForInterrupt();
    }
}

bool kernelWaitUntil(bool (*ready)(void*), void* context, uint64_t deadlineUsec) {
    IrqGuard off;
    for (;;) {
        if (ready(context))
            return true;
        if (deadlineUsec != 0 && clockNowUsec() >= deadlineUsec)
            return false;
        if (!onTask()) {
            waitForInterrupt();
            continue;
        }
        current->ready = ready;
        current->readyContext = context;
        current->deadline = deadlineUsec;
        block(State::Waiting);
    }
}

void kernelNotify() {
    IrqGuard off;
    for (int i = 1; i <= kMaxTasks; ++i) {
        if (tasks[i].state == State::Waiting)
            makeReady(&tasks[i]);
    }
    reschedule();
}

int kernelTasks(TaskReport* out, int max) {
    IrqGuard off;
    int n = 0;
    for (int i = 1; i <= kMaxTasks && n < max; ++i) {
        const Task& t = tasks[i];
        if (t.id == 0)
            continue;
        TaskReport& r = out[n++];
        r.id = t.id;
        std::memcpy(r.name, t.name, kNameMax);
        r.priority = t.priority;
        r.alive = live(t);
        r.stackSize = t.stackSize;
        r.stackUsed = live(t) ? stackUsedOf(t) : t.stackUsed;
        r.longestPassNs = t.longestPass * 1000000 / clockCyclesPerMs();
    }
    return n;
}

}  // namespace kx::metal

namespace kx {

using metal::current;
using metal::IrqGuard;
using metal::State;
using metal::Task;

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
        for (int i = 1; i <= metal::kMaxTasks && slot == nullptr; ++i) {
            if (metal::tasks[i].state == State::Free || metal::tasks[i].state == State::Dead)
                slot = &metal::tasks[i];
        }
        if (slot == nullptr)
            return RTK_ERR_RESOURCE;
        oldStack = slot->stack;
        slot->stack = nullptr;
        slot->state = State::Suspended;  // reserved while the stack is allocated
        slot->id = 0;
    }
    kxfree(oldStack);
    auto* stack = static_cast<uint8_t*>(kxcalloc(1, size));
    IrqGuard off;
    if (stack == nullptr) {
        slot->state = State::Free;
        return RTK_ERR_RESOURCE;
    }
    std::memset(stack, metal::kStackFill, size);
    Task fresh;
    std::memcpy(fresh.fx, metal::cleanFx, sizeof fresh.fx);
    fresh.id = metal::nextId++;
    metal::copyName(fresh.name, name);
    fresh.priority = priority;
    fresh.state = State::Suspended;
    fresh.stack = stack;
    fresh.stackSize = size;
    fresh.entry = entry;
    fresh.argument = argument;
    // {ebp, edi, esi, ebx} = 0, then the trampoline as the switch's return address, then a
    // return address the trampoline never uses; the entry's frame is 16-aligned as the ABI wants.
    auto* top = reinterpret_cast<uint32_t*>(stack + size);
    *--top = 0;
    *--top = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&metal::trampoline));
    for (int i = 0; i < 4; ++i)
        *--top = 0;
    fresh.sp = top;
    *slot = fresh;
    *id = fresh.id;
    return RTK_OK;
}

int32_t RtkResumeTask(RtkTaskId id) {
    IrqGuard off;
    Task* t = metal::find(id);
    if (t == nullptr)
        return RTK_ERR_NO_TASK;
    if (t->state != State::Suspended)
        return RTK_ERR_STATE;
    metal::makeReady(t);
    metal::reschedule();
    return RTK_OK;
}

int32_t RtkDeleteTask(RtkTaskId id) {
    IrqGuard off;
    if (id == 0 || (metal::onTask() && id == current->id))
        metal::endCurrent();
    Task* t = metal::find(id);
    if (t == nullptr)
        return RTK_ERR_NO_TASK;
    t->stackUsed = metal::stackUsedOf(*t);
    t->state = State::Dead;
    t->pending = PendingCodes{};
    return RTK_OK;
}

int32_t RtkSendTaskEvent(RtkTaskId id, uint16_t code) {
    if (code == 0)
        return RTK_ERR_PARAM;
    IrqGuard off;
    Task* t = metal::find(id);
    if (t == nullptr)
        return RTK_ERR_NO_TASK;
    PendingAdd added = pendingAdd(&t->pending, code);
    if (added == PendingAdd::Dropped)
        return RTK_ERR_RESOURCE;
    if (t->state == State::Receiving && (code & t->mask) != 0)
        metal::makeReady(t);
    metal::reschedule();
    return RTK_OK;
}

int32_t RtkReceiveTaskEvent(uint32_t, uint16_t mask, uint32_t, int32_t timeoutMs, uint16_t* code) {
    IrqGuard off;
    if (!metal::onTask()) {
        if (code != nullptr)
            *code = 0;
        return RTK_ERR_NO_TASK;
    }
    uint64_t deadline = timeoutMs > 0 ? metal::clockNowUsec() + 1000ull * timeoutMs : 0;
    current->timedOut = false;  // an earlier sleep's end is not this receive's timeout
    for (;;) {
        uint16_t taken = 0;
        if (pendingTake(&current->pending, mask, &taken)) {
            if (code != nullptr)
                *code = taken;
            return RTK_OK;
        }
        if (timeoutMs == 0 || current->timedOut) {
            current->timedOut = false;
            if (code != nullptr)
                *code = 0;
            return RTK_ERR_TIMEOUT;
        }
        current->mask = mask;
        current->state = State::Receiving;
        current->timedOut = false;
        current->deadline = deadline;
        metal::reschedule();
        timeoutMs = current->timedOut ? 0 : timeoutMs;
    }
}

int32_t RtkSleepTaskUsec(uint32_t microseconds) {
    IrqGuard off;
    uint64_t deadline = metal::clockNowUsec() + microseconds;
    if (!metal::onTask()) {
        while (metal::clockNowUsec() < deadline)
            metal::waitForInterrupt();
        return RTK_OK;
    }
    if (microseconds == 0)
        return RTK_OK;
    current->state = State::Sleeping;
    current->timedOut = false;
    current->deadline = deadline;
    metal::reschedule();
    return RTK_OK;
}

int32_t RtkCreateCriticalSection(const char* name, RtkHandle* handle) {
    if (handle == nullptr)
        return RTK_ERR_PARAM;
    IrqGuard off;
    for (metal::Section& s : metal::sections) {
        if (s.handle != 0)
            continue;
        s.handle = metal::nextHandle++;
        s.owner = 0;
        metal::copyName(s.name, name);
        *handle = s.handle;
        return RTK_OK;
    }
    *handle = 0;
    return RTK_ERR_RESOURCE;
}

int32_t RtkDeleteCriticalSection(RtkHandle handle) {
    IrqGuard off;
    metal::Section* s = metal::findSection(handle);
    if (s == nullptr)
        return RTK_ERR_PARAM;
    s->handle = 0;
    for (int i = 1; i <= metal::kMaxTasks; ++i) {
        Task& t = metal::tasks[i];
        if (t.state == State::Entering && t.section == handle) {
            t.enterResult = RTK_ERR_PARAM;
            metal::makeReady(&t);
        }
    }
    metal::reschedule();
    return RTK_OK;
}

int32_t RtkEnterCriticalSection(RtkHandle handle) {
    IrqGuard off;
    metal::Section* s = metal::findSection(handle);
    if (s == nullptr || !metal::onTask())
        return RTK_ERR_PARAM;
    if (s->owner == current->id)
        return RTK_ERR_STATE;
    if (s->owner == 0) {
        s->owner = current->id;
        return RTK_OK;
    }
    current->section = handle;
    current->enterResult = RTK_OK;
    metal::block(State::Entering);
    return current->enterResult;
}

int32_t RtkLeaveCriticalSection(RtkHandle handle) {
    IrqGuard off;
    metal::Section* s = metal::findSection(handle);
    if (s == nullptr)
        return RTK_ERR_PARAM;
    if (!metal::onTask() || s->owner != current->id)
        return RTK_ERR_STATE;
    // Handed straight to the most urgent waiter, which then holds it when it runs.
    Task* next = nullptr;
    for (int i = 1; i <= metal::kMaxTasks; ++i) {
        Task& t = metal::tasks[i];
        if (t.state == State::Entering && t.section == handle &&
            (next == nullptr || metal::outranks(t, *next)))
            next = &t;
    }
    s->owner = next != nullptr ? next->id : 0;
    if (next != nullptr) {
        next->enterResult = RTK_OK;
        metal::makeReady(next);
    }
    metal::reschedule();
    return RTK_OK;
}

void RtkPreemptionPoint() {
    // Preemption is real here: interrupts end a task's run wherever it stands.
}

RtkTaskId RtkCurrentTask() {
    IrqGuard off;
    return metal::onTask() ? current->id : 0;
}

bool RtkTaskExists(RtkTaskId id) {
    IrqGuard off;
    return metal::find(id) != nullptr;
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
