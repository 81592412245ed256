// SPDX-License-Identifier: Apache-2.0
// The image's kernel checks: its own cases, then the contract's shared cases (the table the
// host's platform tests run on each of their kernels). Each case runs on the runner's task
// (priority 100) and makes the helper tasks it needs; the cases share nothing but the log below,
// which only tasks of the case running now write (one processor: no lock).
#include "metal/selftest.h"

#include <cstring>

#include "metal/boot/console.h"
#include "metal/boot/cpu.h"
#include "metal/kernel/clock.h"
#include "platform/kernel/rtk_events.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_preempt.h"
#include "platform/kernel/rtk_sections.h"
#include "platform/kernel/rtk_sleep.h"
#include "platform/kernel/rtk_tasks.h"
#include "platform/kernel/rtk_types.h"
#include "tests/platform/contract_cases.h"

namespace kx::metal {
namespace {

// What helper tasks did, in order.
char trace[64];
int traced = 0;
volatile bool flag = false;
RtkHandle sharedSection = 0;
int32_t sectionResult = 0;

void note(char c) {
    if (traced < static_cast<int>(sizeof trace) - 1)
        trace[traced++] = c;
    trace[traced] = '\0';
}
void clearTrace() {
    traced = 0;
    trace[0] = '\0';
}

void noteA(void*) {
    note('A');
}
void noteB(void*) {
    note('B');
}
void noteC(void*) {
    note('C');
}

RtkTaskId start(const char* name, uint16_t priority, RtkTaskEntry entry, void* argument = nullptr) {
    RtkTaskId id = 0;
    if (RtkCreateTask(name, priority, 0x4000, 0, 1, entry, argument, &id) != RTK_OK)
        return 0;
    RtkResumeTask(id);
    return id;
}

// Lets every task below the runner run until it blocks or ends.
void settle() {
    RtkSleepTaskUsec(3000);
}

bool higherRunsBeforeResumeReturns() {
    clearTrace();
    start("hi", 150, noteA);
    note('r');
    start("lo", 50, noteB);
    note('s');
    settle();
    return std::strcmp(trace, "ArsB") == 0;
}

bool equalPrioritiesInTurn() {
    clearTrace();
    start("c", 60, noteC);
    start("a", 60, noteA);
    start("b", 60, noteB);
    settle();
    return std::strcmp(trace, "CAB") == 0;
}

void waitAndNote(void*) {
    uint16_t code = 0;
    RtkReceiveTaskEvent(0, 0x8000, 0, RTK_WAIT_FOREVER, &code);
    note('W');
}

bool sendPreemptsForAHigherWaiter() {
    clearTrace();
    RtkTaskId id = start("w", 150, waitAndNote);
    note('s');
    RtkSendTaskEvent(id, 0x8000);
    note('r');
    return std::strcmp(trace, "sWr") == 0;
}

void enterShared(void*) {
    sectionResult = RtkEnterCriticalSection(sharedSection);
    note('E');
    if (sectionResult == RTK_OK)
        RtkLeaveCriticalSection(sharedSection);
}

bool sectionsHandOverAndRefuseMisuse() {
    clearTrace();
    RtkHandle h = 0;
    if (RtkCreateCriticalSection("s", &h) != RTK_OK || h == 0)
        return false;
    sharedSection = h;
    bool held = RtkEnterCriticalSection(h) == RTK_OK;
    bool again = RtkEnterCriticalSection(h) == RTK_ERR_STATE;
    start("e", 150, enterShared);  // blocks on the section
    note('l');
    RtkLeaveCriticalSection(h);  // hands it over: the waiter runs before this returns
    note('r');
    bool handed = std::strcmp(trace, "lEr") == 0 && sectionResult == RTK_OK;
    bool notOwner = RtkLeaveCriticalSection(h) == RTK_ERR_STATE;
    // Deleting a section ends its waiters' enters with RTK_ERR_PARAM.
    clearTrace();
    RtkEnterCriticalSection(h);
    start("e2", 150, enterShared);
    RtkDeleteCriticalSection(h);
    bool ended = std::strcmp(trace, "E") == 0 && sectionResult == RTK_ERR_PARAM;
    return held && again && handed && notOwner && ended &&
           RtkEnterCriticalSection(h) == RTK_ERR_PARAM;
}

bool sleepAndTimeoutEndAtTheirDeadline() {
    uint64_t t0 = clockNowUsec();
    RtkSleepTaskUsec(10000);
    uint64_t slept = clockNowUsec() - t0;
    uint16_t code = 1;
    t0 = clockNowUsec();
    int32_t r = RtkReceiveTaskEvent(0, 0x0001, 0, 5, &code);
    uint64_t waited = clockNowUsec() - t0;
    // The alarm is armed for the deadline itself: no tick's granularity on top.
    return slept >= 10000 && slept < 10100 && r == RTK_ERR_TIMEOUT && code == 0 && waited >= 5000 &&
           waited < 5100;
}

void setFlagAfterSleep(void*) {
    RtkSleepTaskUsec(2000);
    flag = true;
}

void spinForFlag(void*) {
    uint64_t end = clockNowUsec() + 100000;
    while (!flag && clockNowUsec() < end) {
    }
    note(flag ? 'P' : 'N');
}

// A task that never calls the kernel is preempted by an interrupt's wake of a higher task.
bool interruptsPreemptASpinningTask() {
    clearTrace();
    flag = false;
    start("sleeper", 150, setFlagAfterSleep);
    start("spinner", 80, spinForFlag);
    RtkSleepTaskUsec(10000);  // both have ended by then
    return std::strcmp(trace, "P") == 0;
}

// The inversion scene: a low holder sleeps inside the section, a middle task then spins, and a
// high task waits for the section. The holder, lent the high task's priority, wakes through the
// middle task's spin, so it and then the high task finish first ("LHM"); a kernel that lent
// nothing would let the middle task spin to its end before the holder ran again ("MLH").
void holdAcrossASleep(void*) {
    RtkEnterCriticalSection(sharedSection);
    RtkSleepTaskUsec(2000);
    note('L');
    RtkLeaveCriticalSection(sharedSection);
}
void spinAfterASleep(void*) {
    RtkSleepTaskUsec(1000);
    for (uint64_t end = clockNowUsec() + 5000; clockNowUsec() < end;) {
    }
    note('M');
}
void waitForTheSection(void*) {
    RtkSleepTaskUsec(1500);
    RtkEnterCriticalSection(sharedSection);
    note('H');
    RtkLeaveCriticalSection(sharedSection);
}

bool aHolderInheritsItsWaitersPriority() {
    clearTrace();
    RtkHandle h = 0;
    if (RtkCreateCriticalSection("pi", &h) != RTK_OK)
        return false;
    sharedSection = h;
    start("low", 20, holdAcrossASleep);
    start("mid", 60, spinAfterASleep);
    start("high", 80, waitForTheSection);
    RtkSleepTaskUsec(20000);  // all three have ended by then
    RtkDeleteCriticalSection(h);
    return std::strcmp(trace, "LHM") == 0;
}

bool xmmStateSurvivesSwitches() {
    alignas(16) uint8_t mine[16], back[16];
    for (int i = 0; i < 16; ++i)
        mine[i] = static_cast<uint8_t>(0xA0 + i);
    asm volatile("movdqu %0, %%xmm5" ::"m"(mine));
    // Other tasks run meanwhile, and the idle context with them; the dxmix mix in the loader
    // and mixer would be the ones to clobber it in a real run.
    start("x", 150, noteA);
    settle();
    asm volatile("movdqu %%xmm5, %0" : "=m"(back));
    return std::memcmp(mine, back, sizeof mine) == 0;
}

struct Case {
    const char* name;
    bool (*run)();
};

// The image's own cases: what the shared table (tests/platform/contract_cases.cpp) cannot
// check on every kernel, because it depends on real preemption on one processor, the alarm's
// precision or the processor's vector state.
constexpr Case kCases[] = {
    {"a higher task resumed runs before the resume returns", higherRunsBeforeResumeReturns},
    {"equal priorities run in the order they became ready", equalPrioritiesInTurn},
    {"a send to a higher waiting task preempts the sender", sendPreemptsForAHigherWaiter},
    {"a higher waiter takes a section left before the leave returns",
     sectionsHandOverAndRefuseMisuse},
    {"sleeps and receive timeouts end at their deadline", sleepAndTimeoutEndAtTheirDeadline},
    {"an interrupt preempts a task that spins", interruptsPreemptASpinningTask},
    {"a section's holder runs at its highest waiter's priority", aHolderInheritsItsWaitersPriority},
    {"a task's SSE registers survive switches", xmmStateSurvivesSwitches},
};

void pauseAMillisecond() {
    RtkSleepTaskUsec(1000);
}

uint64_t nowUsec() {
    return clockNowUsec();
}

}  // namespace

void selftestTask(void*) {
    int passed = 0, failed = 0;
    for (const Case& c : kCases) {
        bool ok = c.run();
        consolePrintf("selftest: %s: %s\n", ok ? "ok  " : "FAIL", c.name);
        (ok ? passed : failed)++;
    }
    int count = 0;
    const contract::Case* shared = contract::cases(&count);
    for (int i = 0; i < count; ++i) {
        const contract::Case& c = shared[i];
        if (c.notOnMetal != nullptr) {
            consolePrintf("selftest: skip: %s: %s: %s\n", c.clause, c.name, c.notOnMetal);
            continue;
        }
        static contract::Context cx;
        cx = contract::Context{};
        cx.pause = pauseAMillisecond;
        cx.nowUsec = nowUsec;
        c.run(cx);
        bool ok = cx.failure[0] == '\0';
        consolePrintf("selftest: %s: %s: %s%s%s\n", ok ? "ok  " : "FAIL", c.clause, c.name,
                      ok ? "" : ": ", cx.failure);
        (ok ? passed : failed)++;
    }
    consolePrintf("selftest: %d passed, %d failed\n", passed, failed);
    machineExit(0);
}

}  // namespace kx::metal
