// SPDX-License-Identifier: Apache-2.0
// The image's kernel checks. Each case runs on the runner's task (priority 100) and makes the
// helper tasks it needs; the cases share nothing but the log below, which only tasks of the
// case running now write (one processor: no lock).
#include "metal/selftest.h"

#include <cstring>

#include "metal/boot/console.h"
#include "metal/boot/cpu.h"
#include "metal/kernel/clock.h"
#include "platform/kernel/kxlist.h"
#include "platform/kernel/kxq.h"
#include "platform/kernel/rtk_events.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_preempt.h"
#include "platform/kernel/rtk_sections.h"
#include "platform/kernel/rtk_sleep.h"
#include "platform/kernel/rtk_tasks.h"
#include "platform/kernel/rtk_types.h"

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

bool createdTaskWaitsForResume() {
    clearTrace();
    RtkTaskId id = 0;
    bool made = RtkCreateTask("t", 200, 0x4000, 0, 1, noteA, nullptr, &id) == RTK_OK && id != 0;
    bool before = traced == 0;
    RtkResumeTask(id);
    return made && before && std::strcmp(trace, "A") == 0 && RtkResumeTask(id) == RTK_ERR_NO_TASK;
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

void receiveTwo(void*) {
    uint16_t code = 0;
    RtkReceiveTaskEvent(0, 0xFFFF, 0, RTK_WAIT_FOREVER, &code);
    note(code == 0x8000 ? 'L' : code == 0x4000 ? 'X' : '?');
    RtkReceiveTaskEvent(0, 0xFFFF, 0, RTK_WAIT_FOREVER, &code);
    note(code == 0x8000 ? 'L' : code == 0x4000 ? 'X' : '?');
}

bool codesStayPendingOneAtATime() {
    clearTrace();
    RtkTaskId id = 0;
    RtkCreateTask("rx", 50, 0x4000, 0, 1, receiveTwo, nullptr, &id);
    bool sent = RtkSendTaskEvent(id, 0x8000) == RTK_OK && RtkSendTaskEvent(id, 0x4000) == RTK_OK;
    RtkResumeTask(id);  // both were sent before it ever waited
    settle();
    uint16_t code = 0xBEEF;
    bool empty = RtkReceiveTaskEvent(0, 0xFFFF, 0, 0, &code) == RTK_ERR_TIMEOUT && code == 0;
    return sent && empty && std::strcmp(trace, "LX") == 0;
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

bool badSendsAreRefused() {
    return RtkSendTaskEvent(0x7FFFFFF, 0x8000) == RTK_ERR_NO_TASK &&
           RtkSendTaskEvent(RtkCurrentTask(), 0) == RTK_ERR_PARAM;
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

bool sleepAndTimeoutLastTheirTime() {
    uint64_t t0 = clockNowUsec();
    RtkSleepTaskUsec(10000);
    uint64_t slept = clockNowUsec() - t0;
    uint16_t code = 1;
    t0 = clockNowUsec();
    int32_t r = RtkReceiveTaskEvent(0, 0x0001, 0, 5, &code);
    uint64_t waited = clockNowUsec() - t0;
    return slept >= 10000 && slept < 13000 && r == RTK_ERR_TIMEOUT && code == 0 && waited >= 5000 &&
           waited < 8000;
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

void receiveThenNote(void*) {
    uint16_t code = 0;
    RtkReceiveTaskEvent(0, 0x8000, 0, RTK_WAIT_FOREVER, &code);
    note('D');
}

bool aDeletedTaskNeverRunsAgain() {
    clearTrace();
    RtkTaskId id = start("victim", 150, receiveThenNote);
    bool deleted = RtkDeleteTask(id) == RTK_OK;
    bool gone = RtkSendTaskEvent(id, 0x8000) == RTK_ERR_NO_TASK;
    settle();
    return deleted && gone && traced == 0 && RtkDeleteTask(id) == RTK_ERR_NO_TASK;
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

bool byteQueuesKeepTheirContract() {
    KxqHandle q = 0;
    if (kxqInit(16, &q) != 0 || q == 0)
        return false;
    uint8_t in[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, out[12];
    bool fits = kxqCanWrite(q, 12) == 0 && kxqWrite(q, in, 12) == 0;
    bool full = kxqCanWrite(q, 8) != 0 && kxqWrite(q, in, 8) != 0;  // all or nothing
    bool read = kxqRead(q, out, 8) == 8 && std::memcmp(out, in, 8) == 0;
    bool shortRead = kxqRead(q, out, 8) == 4 && out[4] == 0 && out[7] == 0;  // silence after
    kxqWrite(q, in, 4);
    kxqReset(q);
    bool reset = kxqCanRead(q, 1) != 0 && kxqCanWrite(q, 16) == 0;
    return fits && full && read && shortRead && reset && kxqFree(q) == 0 && kxqFree(0) == 0;
}

bool listsKeepTheirLayout() {
    KxList list;
    KxNode a, b;
    kxlistHeadInit(&list);
    bool empty = list.head == kxlistTailNode(&list) && list.tail == nullptr &&
                 list.tailPred == kxlistHeadNode(&list);
    kxlistNodeInit(&a);
    kxlistNodeInit(&b);
    kxlistInsertPrev(kxlistTailNode(&list), &a);
    kxlistInsertPrev(kxlistTailNode(&list), &b);
    bool linked = list.head == &a && a.succ == &b && b.succ == kxlistTailNode(&list) &&
                  a.pred == kxlistHeadNode(&list) && list.tailPred == &b;
    bool first = kxlistDeleteFirst(&list) == &a && kxlistDeleteLast(&list) == &b;
    return empty && linked && first && kxlistDeleteFirst(&list) == nullptr;
}

struct Case {
    const char* name;
    bool (*run)();
};

constexpr Case kCases[] = {
    {"a created task does not run before it is resumed", createdTaskWaitsForResume},
    {"a higher task resumed runs before the resume returns", higherRunsBeforeResumeReturns},
    {"equal priorities run in the order they became ready", equalPrioritiesInTurn},
    {"codes sent before a receive stay pending, one per receive", codesStayPendingOneAtATime},
    {"a send to a higher waiting task preempts the sender", sendPreemptsForAHigherWaiter},
    {"sends to no task or of code 0 are refused", badSendsAreRefused},
    {"sections hand over to the waiter and refuse misuse", sectionsHandOverAndRefuseMisuse},
    {"sleeps and receive timeouts last their time", sleepAndTimeoutLastTheirTime},
    {"an interrupt preempts a task that spins", interruptsPreemptASpinningTask},
    {"a task deleted by force never runs again", aDeletedTaskNeverRunsAgain},
    {"a section's holder runs at its highest waiter's priority", aHolderInheritsItsWaitersPriority},
    {"a task's SSE registers survive switches", xmmStateSurvivesSwitches},
    {"byte queues keep their contract", byteQueuesKeepTheirContract},
    {"lists keep their layout", listsKeepTheirLayout},
};

}  // namespace

void selftestTask(void*) {
    int passed = 0, failed = 0;
    for (const Case& c : kCases) {
        bool ok = c.run();
        consolePrintf("selftest: %s: %s\n", ok ? "ok  " : "FAIL", c.name);
        (ok ? passed : failed)++;
    }
    consolePrintf("selftest: %d passed, %d failed\n", passed, failed);
    machineExit(0);
}

}  // namespace kx::metal
