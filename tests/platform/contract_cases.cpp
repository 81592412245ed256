// SPDX-License-Identifier: Apache-2.0
// The kernel contract's shared cases (contract_cases.h). Each case keeps its helpers' state in
// statics of its own, written by its helper tasks and read by the case on its runner; the case
// waits for what it reads (waitFor) rather than assuming an order of threads. Every static that a
// helper and the runner both touch is atomic: on the threaded kernel they are two threads with no
// common lock, and a flag's store publishes what the helper wrote before it.
//
// The clauses of the porting guide's kernel list and the cases that hold a kernel to them:
//   Tasks: id written and non-zero, no run before resume, the entry gets its argument
//          (TaskWaitsForResume); RtkDeleteTask(0) ends the caller (DeleteOfItselfEnds); a task
//          deleted by its id never runs again (ForcedDeleteNeverRunsAgain) and, on the host's
//          kernels, is unwound (ForcedDeleteUnwinds).
//   Task events: pending codes, one per receive, repeats merge, order kept, timeout 0 returns
//          at once storing 0 (PendingCodesOnePerReceive); the mask selects (ReceiveSelectsByMask);
//          at most 16 distinct codes pending (PendingSetIsBounded); sends to no task and code 0
//          refused (BadSendsRefused); a blocked receive wakes for its code, a timed one returns
//          without one (BlockedAndTimedReceive).
//   Critical sections: handles, enter, holds, leave, and the exact results of misuse
//          (SectionResultsAndMisuse); a waiter gets the section when the holder leaves
//          (SectionHandsOverToAWaiter); deleting a section ends a waiting enter
//          (DeleteEndsAWaitingEnter).
//   Sleep: a sleep lasts at least its time (SleepLastsItsTime).
//   Byte queues: whole periods or nothing, oldest first, a short read padded with silence,
//          levels, reset and free (ByteQueueContract).
//   Lists: the three-word layout and the sentinels through every operation (ListLayout).
#include "tests/platform/contract_cases.h"

#include <atomic>
#include <cstring>

#include "platform/kernel/kxlist.h"
#include "platform/kernel/kxq.h"
#include "platform/kernel/rtk_events.h"
#include "platform/kernel/rtk_sections.h"
#include "platform/kernel/rtk_sleep.h"
#include "platform/kernel/rtk_tasks.h"
#include "platform/kernel/rtk_types.h"

namespace kx::contract {

namespace {

// Appends text to the failure, cut at its size.
void append(Context& cx, const char* text) {
    size_t at = std::strlen(cx.failure);
    for (; *text != '\0' && at + 1 < sizeof cx.failure; ++text)
        cx.failure[at++] = *text;
    cx.failure[at] = '\0';
}

}  // namespace

void fail(Context& cx, const char* file, int line, const char* expression) {
    if (cx.failure[0] != '\0')
        return;
    const char* base = file;
    for (const char* p = file; *p != '\0'; ++p) {
        if (*p == '/')
            base = p + 1;
    }
    char digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + line % 10);
        line /= 10;
    } while (line != 0 && n < 11);
    char number[12];
    for (int i = 0; i < n; ++i)
        number[i] = digits[n - 1 - i];
    number[n] = '\0';
    append(cx, base);
    append(cx, ":");
    append(cx, number);
    append(cx, ": ");
    append(cx, expression);
}

bool waitFor(Context& cx, bool (*pred)(void*), void* argument, int boundMs) {
    for (int i = 0; i < boundMs; ++i) {
        if (pred(argument))
            return true;
        cx.pause();
    }
    return pred(argument);
}

namespace {

constexpr uint16_t kBelow = 50;  // below the image's runner (100): runs when the runner pauses
constexpr uint32_t kStack = 0x4000;

RtkTaskId make(const char* name, uint16_t priority, RtkTaskEntry entry, void* argument) {
    RtkTaskId id = 0;
    if (RtkCreateTask(name, priority, kStack, 0, 1, entry, argument, &id) != RTK_OK)
        return 0;
    return id;
}

RtkTaskId start(const char* name, uint16_t priority, RtkTaskEntry entry, void* argument) {
    RtkTaskId id = make(name, priority, entry, argument);
    if (id != 0 && RtkResumeTask(id) != RTK_OK)
        return 0;
    return id;
}

// The id names no task any more.
bool gone(void* id) {
    return RtkSendTaskEvent(*static_cast<RtkTaskId*>(id), 0x0001) == RTK_ERR_NO_TASK;
}

struct AtLeast {
    const std::atomic<int>* value;
    int want;
};
bool atLeast(void* argument) {
    auto* a = static_cast<const AtLeast*>(argument);
    return a->value->load() >= a->want;
}

// Waits until *value reaches want.
bool reaches(Context& cx, const std::atomic<int>* value, int want) {
    AtLeast a{value, want};
    return waitFor(cx, atLeast, &a);
}

// ---- Tasks ----

std::atomic<int> recordRuns;
std::atomic<void*> recordArgument;
void record(void* argument) {
    recordArgument = argument;
    recordRuns = recordRuns + 1;
}

void taskWaitsForResume(Context& cx) {
    recordRuns = 0;
    recordArgument = nullptr;
    static int marker;
    RtkTaskId id = 0;
    // Above the image's runner: it would run at once if the create let it.
    KXC_CHECK(cx,
              (RtkCreateTask("wait", 150, kStack, 0, 1, record, &marker, &id) & 0xFFFF) == RTK_OK);
    KXC_CHECK(cx, id != 0);
    for (int i = 0; i < 5; ++i)
        cx.pause();
    KXC_CHECK(cx, recordRuns == 0);
    KXC_CHECK(cx, (RtkResumeTask(id) & 0xFFFF) == RTK_OK);
    KXC_CHECK(cx, reaches(cx, &recordRuns, 1));
    KXC_CHECK(cx, recordArgument == &marker);
    KXC_CHECK(cx, waitFor(cx, gone, &id));
    KXC_CHECK(cx, recordRuns == 1);
}

std::atomic<int> selfSteps;
void deleteItself(void*) {
    selfSteps = 1;
    RtkDeleteTask(0);
    // A kernel whose call returns lets the entry return at once, which ends the task too.
}

void deleteOfItselfEnds(Context& cx) {
    selfSteps = 0;
    RtkTaskId id = start("self", kBelow, deleteItself, nullptr);
    KXC_CHECK(cx, id != 0);
    KXC_CHECK(cx, reaches(cx, &selfSteps, 1));
    KXC_CHECK(cx, waitFor(cx, gone, &id));
    KXC_CHECK(cx, RtkDeleteTask(id) == RTK_ERR_NO_TASK);
}

std::atomic<int> receiverCount;
void receiveForever(void*) {
    for (;;) {
        uint16_t code = 0;
        if (RtkReceiveTaskEvent(0, 0x0001, 0, RTK_WAIT_FOREVER, &code) == RTK_OK && code == 1)
            receiverCount = receiverCount + 1;
    }
}

void forcedDeleteNeverRunsAgain(Context& cx) {
    receiverCount = 0;
    RtkTaskId id = start("victim", kBelow, receiveForever, nullptr);
    KXC_CHECK(cx, id != 0);
    KXC_CHECK(cx, RtkSendTaskEvent(id, 0x0001) == RTK_OK);
    KXC_CHECK(cx, reaches(cx, &receiverCount, 1));
    KXC_CHECK(cx, RtkDeleteTask(id) == RTK_OK);
    KXC_CHECK(cx, RtkSendTaskEvent(id, 0x0001) == RTK_ERR_NO_TASK);
    KXC_CHECK(cx, RtkDeleteTask(id) == RTK_ERR_NO_TASK);
    for (int i = 0; i < 5; ++i)
        cx.pause();
    KXC_CHECK(cx, receiverCount == 1);
}

std::atomic<int> unwound;
struct MarkOnUnwind {
    ~MarkOnUnwind() { unwound = 1; }
};
void waitUnwinding(void*) {
    MarkOnUnwind mark;
    recordRuns = 1;
    uint16_t code = 0;
    RtkReceiveTaskEvent(0, 0x0001, 0, RTK_WAIT_FOREVER, &code);
    receiverCount = 1;
}

void forcedDeleteUnwinds(Context& cx) {
    unwound = 0;
    receiverCount = 0;
    recordRuns = 0;
    RtkTaskId id = start("unwind", kBelow, waitUnwinding, nullptr);
    KXC_CHECK(cx, id != 0);
    KXC_CHECK(cx, reaches(cx, &recordRuns, 1));  // its local stands now
    for (int i = 0; i < 3; ++i)
        cx.pause();  // and it is most likely blocked in its receive
    KXC_CHECK(cx, RtkDeleteTask(id) == RTK_OK);
    KXC_CHECK(cx, reaches(cx, &unwound, 1));
    KXC_CHECK(cx, receiverCount == 0);
}

// ---- Task events ----

uint16_t taken[24];
std::atomic<int> takenCount;
std::atomic<int> lastResult;
std::atomic<int> drained;
// Takes every pending code with timeout 0, then records the empty receive's result and code.
void drainPending(void* mask) {
    auto bits = static_cast<uint16_t>(reinterpret_cast<uintptr_t>(mask));
    for (;;) {
        uint16_t code = 0xFFFF;
        int32_t result = RtkReceiveTaskEvent(0, bits, 0, 0, &code);
        if (result != RTK_OK) {
            lastResult = code == 0 ? result : -1;  // an empty receive must store 0
            break;
        }
        if (takenCount < 24)
            taken[takenCount] = code;
        takenCount = takenCount + 1;
    }
    drained = 1;
}

void resetDrain() {
    takenCount = 0;
    drained = 0;
    lastResult = 0;
}

void pendingCodesOnePerReceive(Context& cx) {
    resetDrain();
    RtkTaskId id = make("drain", kBelow, drainPending, reinterpret_cast<void*>(uintptr_t{0xFFFF}));
    KXC_CHECK(cx, id != 0);
    // Sent before the task ever runs: they stay pending. The repeat merges into the first 0x0002.
    KXC_CHECK(cx, RtkSendTaskEvent(id, 0x0002) == RTK_OK);
    KXC_CHECK(cx, RtkSendTaskEvent(id, 0x0100) == RTK_OK);
    KXC_CHECK(cx, RtkSendTaskEvent(id, 0x0002) == RTK_OK);
    KXC_CHECK(cx, RtkSendTaskEvent(id, 0x8001) == RTK_OK);
    KXC_CHECK(cx, RtkResumeTask(id) == RTK_OK);
    KXC_CHECK(cx, reaches(cx, &drained, 1));
    KXC_CHECK(cx, takenCount == 3);
    KXC_CHECK(cx, taken[0] == 0x0002 && taken[1] == 0x0100 && taken[2] == 0x8001);
    KXC_CHECK(cx, lastResult == RTK_ERR_TIMEOUT);
    KXC_CHECK(cx, waitFor(cx, gone, &id));
}

void receiveSelectsByMask(Context& cx) {
    resetDrain();
    RtkTaskId id = make("mask", kBelow, drainPending, reinterpret_cast<void*>(uintptr_t{0x4000}));
    KXC_CHECK(cx, id != 0);
    KXC_CHECK(cx, RtkSendTaskEvent(id, 0x8000) == RTK_OK);
    KXC_CHECK(cx, RtkSendTaskEvent(id, 0x4000) == RTK_OK);
    KXC_CHECK(cx, RtkSendTaskEvent(id, 0x1234) == RTK_OK);
    KXC_CHECK(cx, RtkResumeTask(id) == RTK_OK);
    KXC_CHECK(cx, reaches(cx, &drained, 1));
    // 0x8000 shares no bit with the mask: it is left pending, and the 0x4000 comes first.
    KXC_CHECK(cx, takenCount == 1 && taken[0] == 0x4000);
    KXC_CHECK(cx, lastResult == RTK_ERR_TIMEOUT);
    KXC_CHECK(cx, waitFor(cx, gone, &id));
}

void pendingSetIsBounded(Context& cx) {
    resetDrain();
    RtkTaskId id = make("bound", kBelow, drainPending, reinterpret_cast<void*>(uintptr_t{0xFFFF}));
    KXC_CHECK(cx, id != 0);
    for (uint16_t code = 1; code <= 16; ++code)
        KXC_CHECK(cx, RtkSendTaskEvent(id, code) == RTK_OK);
    KXC_CHECK(cx, RtkSendTaskEvent(id, 17) == RTK_ERR_RESOURCE);
    KXC_CHECK(cx, RtkSendTaskEvent(id, 5) == RTK_OK);  // a repeat still merges
    KXC_CHECK(cx, RtkResumeTask(id) == RTK_OK);
    KXC_CHECK(cx, reaches(cx, &drained, 1));
    KXC_CHECK(cx, takenCount == 16);
    for (int i = 0; i < 16; ++i)
        KXC_CHECK(cx, taken[i] == i + 1);
    KXC_CHECK(cx, waitFor(cx, gone, &id));
}

void badSendsRefused(Context& cx) {
    recordRuns = 0;
    RtkTaskId id = start("ended", kBelow, record, nullptr);
    KXC_CHECK(cx, id != 0);
    KXC_CHECK(cx, waitFor(cx, gone, &id));
    KXC_CHECK(cx, RtkSendTaskEvent(id, 0x8000) == RTK_ERR_NO_TASK);
    int32_t toZero = RtkSendTaskEvent(0, 0x8000);  // id 0 names no task
    KXC_CHECK(cx, toZero == RTK_ERR_NO_TASK || toZero == RTK_ERR_PARAM);
    resetDrain();
    RtkTaskId live = make("zero", kBelow, drainPending, reinterpret_cast<void*>(uintptr_t{0xFFFF}));
    KXC_CHECK(cx, live != 0);
    KXC_CHECK(cx, RtkSendTaskEvent(live, 0) == RTK_ERR_PARAM);
    KXC_CHECK(cx, RtkResumeTask(live) == RTK_OK);
    KXC_CHECK(cx, reaches(cx, &drained, 1));
    KXC_CHECK(cx, takenCount == 0);  // the refused code 0 left nothing pending
    KXC_CHECK(cx, waitFor(cx, gone, &live));
}

std::atomic<int> blockedCode;
std::atomic<int> timedResult;
std::atomic<int> timedDone;
void blockedThenTimed(void*) {
    uint16_t code = 0;
    if (RtkReceiveTaskEvent(0, 0x0010, 0, RTK_WAIT_FOREVER, &code) == RTK_OK)
        blockedCode = code;
    code = 0xFFFF;
    int32_t result = RtkReceiveTaskEvent(0, 0x0010, 0, 5, &code);
    timedResult = code == 0 ? result : -1;
    timedDone = 1;
}

void blockedAndTimedReceive(Context& cx) {
    blockedCode = 0;
    timedResult = 0;
    timedDone = 0;
    RtkTaskId id = start("block", kBelow, blockedThenTimed, nullptr);
    KXC_CHECK(cx, id != 0);
    for (int i = 0; i < 3; ++i)
        cx.pause();
    KXC_CHECK(cx, blockedCode == 0);                        // still waiting: nothing was sent
    KXC_CHECK(cx, RtkSendTaskEvent(id, 0x0001) == RTK_OK);  // outside its mask
    KXC_CHECK(cx, RtkSendTaskEvent(id, 0x0010) == RTK_OK);
    KXC_CHECK(cx, reaches(cx, &timedDone, 1));
    KXC_CHECK(cx, blockedCode == 0x0010);
    KXC_CHECK(cx, timedResult == RTK_ERR_TIMEOUT);
    KXC_CHECK(cx, waitFor(cx, gone, &id));
}

// ---- Critical sections ----

RtkHandle theSection;
std::atomic<int> helperResult;
std::atomic<int> helperHolds;
std::atomic<int> helperDone;
void misuseFromAnother(void*) {
    helperHolds = RtkHoldsCriticalSection(theSection) ? 1 : 0;
    helperResult = RtkLeaveCriticalSection(theSection);
    helperDone = 1;
}

void sectionResultsAndMisuse(Context& cx) {
    RtkHandle h = 0;
    KXC_CHECK(cx, RtkCreateCriticalSection("contract", &h) == RTK_OK);
    KXC_CHECK(cx, h != 0);
    theSection = h;
    KXC_CHECK(cx, !RtkHoldsCriticalSection(h));
    KXC_CHECK(cx, RtkEnterCriticalSection(h) == RTK_OK);
    KXC_CHECK(cx, RtkHoldsCriticalSection(h));
    KXC_CHECK(cx, RtkEnterCriticalSection(h) == RTK_ERR_STATE);  // re-entry: no deadlock
    helperResult = 0;
    helperHolds = 1;
    helperDone = 0;
    RtkTaskId id = start("foreign", kBelow, misuseFromAnother, nullptr);
    KXC_CHECK(cx, id != 0);
    KXC_CHECK(cx, reaches(cx, &helperDone, 1));
    KXC_CHECK(cx, helperHolds == 0);
    KXC_CHECK(cx, helperResult == RTK_ERR_STATE);  // a leave by another
    KXC_CHECK(cx, RtkHoldsCriticalSection(h));
    KXC_CHECK(cx, RtkLeaveCriticalSection(h) == RTK_OK);
    KXC_CHECK(cx, !RtkHoldsCriticalSection(h));
    KXC_CHECK(cx, RtkLeaveCriticalSection(h) == RTK_ERR_STATE);  // a leave of a free section
    KXC_CHECK(cx, RtkEnterCriticalSection(0) == RTK_ERR_PARAM);
    KXC_CHECK(cx, RtkDeleteCriticalSection(h) == RTK_OK);
    KXC_CHECK(cx, RtkEnterCriticalSection(h) == RTK_ERR_PARAM);
    KXC_CHECK(cx, !RtkHoldsCriticalSection(h));
    KXC_CHECK(cx, waitFor(cx, gone, &id));
}

std::atomic<int> waiterEntered;
void enterAndLeave(void*) {
    helperResult = RtkEnterCriticalSection(theSection);
    waiterEntered = 1;
    if (helperResult == RTK_OK) {
        helperHolds = RtkHoldsCriticalSection(theSection) ? 1 : 0;
        RtkLeaveCriticalSection(theSection);
    }
    helperDone = 1;
}

void sectionHandsOverToAWaiter(Context& cx) {
    RtkHandle h = 0;
    KXC_CHECK(cx, RtkCreateCriticalSection("handover", &h) == RTK_OK);
    theSection = h;
    KXC_CHECK(cx, RtkEnterCriticalSection(h) == RTK_OK);
    waiterEntered = 0;
    helperDone = 0;
    helperHolds = 0;
    helperResult = -1;
    RtkTaskId id = start("waiter", kBelow, enterAndLeave, nullptr);
    KXC_CHECK(cx, id != 0);
    for (int i = 0; i < 5; ++i)
        cx.pause();
    KXC_CHECK(cx, waiterEntered == 0);  // it waits while the section is held
    KXC_CHECK(cx, RtkLeaveCriticalSection(h) == RTK_OK);
    KXC_CHECK(cx, reaches(cx, &helperDone, 1));
    KXC_CHECK(cx, helperResult == RTK_OK && helperHolds == 1);
    KXC_CHECK(cx, RtkEnterCriticalSection(h) == RTK_OK);  // and it left it
    KXC_CHECK(cx, RtkLeaveCriticalSection(h) == RTK_OK);
    KXC_CHECK(cx, RtkDeleteCriticalSection(h) == RTK_OK);
    KXC_CHECK(cx, waitFor(cx, gone, &id));
}

void deleteEndsAWaitingEnter(Context& cx) {
    RtkHandle h = 0;
    KXC_CHECK(cx, RtkCreateCriticalSection("doomed", &h) == RTK_OK);
    theSection = h;
    KXC_CHECK(cx, RtkEnterCriticalSection(h) == RTK_OK);
    waiterEntered = 0;
    helperDone = 0;
    helperResult = -1;
    RtkTaskId id = start("waiter", kBelow, enterAndLeave, nullptr);
    KXC_CHECK(cx, id != 0);
    for (int i = 0; i < 5; ++i)
        cx.pause();
    KXC_CHECK(cx, waiterEntered == 0);
    KXC_CHECK(cx, RtkDeleteCriticalSection(h) == RTK_OK);
    KXC_CHECK(cx, reaches(cx, &helperDone, 1));
    KXC_CHECK(cx, helperResult == RTK_ERR_PARAM);
    KXC_CHECK(cx, waitFor(cx, gone, &id));
}

// ---- Sleep ----

std::atomic<uint64_t (*)()> sleepClock;
std::atomic<uint32_t> slept;  // microseconds, held to 32 bits: the image has no 64-bit atomics
std::atomic<int> sleepDone;
void sleepFive(void*) {
    uint64_t begin = sleepClock.load()();
    RtkSleepTaskUsec(5000);
    uint64_t elapsed = sleepClock.load()() - begin;
    slept = static_cast<uint32_t>(elapsed < UINT32_MAX ? elapsed : UINT32_MAX);
    sleepDone = 1;
}

void sleepLastsItsTime(Context& cx) {
    sleepClock = cx.nowUsec;
    slept = 0;
    sleepDone = 0;
    RtkTaskId id = start("sleeper", kBelow, sleepFive, nullptr);
    KXC_CHECK(cx, id != 0);
    KXC_CHECK(cx, reaches(cx, &sleepDone, 1));
    KXC_CHECK(cx, slept >= 5000);
    KXC_CHECK(cx, waitFor(cx, gone, &id));
}

// ---- Byte queues ----

void byteQueueContract(Context& cx) {
    constexpr uint32_t kPeriod = 64;
    KxqHandle q = 0;
    KXC_CHECK(cx, kxqInit(4 * kPeriod, &q) == 0 && q != 0);
    uint8_t period[kPeriod];
    uint8_t back[kPeriod];
    KXC_CHECK(cx, kxqCanRead(q, 1) != 0);  // empty
    for (uint8_t k = 0; k < 4; ++k) {
        KXC_CHECK(cx, kxqCanWrite(q, kPeriod) == 0);
        std::memset(period, 0x10 + k, kPeriod);
        KXC_CHECK(cx, kxqWrite(q, period, kPeriod) == 0);
    }
    KXC_CHECK(cx, kxqCanWrite(q, kPeriod) != 0);  // full
    std::memset(period, 0x77, kPeriod);
    KXC_CHECK(cx, kxqWrite(q, period, kPeriod) != 0);  // refused whole
    KXC_CHECK(cx, kxqCanWrite(q, 1) != 0);             // nothing of it went in
    for (uint8_t k = 0; k < 4; ++k) {
        KXC_CHECK(cx, kxqCanRead(q, 1) == 0);
        std::memset(back, 0xEE, kPeriod);
        KXC_CHECK(cx, kxqRead(q, back, kPeriod) == static_cast<int32_t>(kPeriod));
        for (uint32_t i = 0; i < kPeriod; ++i)
            KXC_CHECK(cx, back[i] == 0x10 + k);  // oldest first
    }
    KXC_CHECK(cx, kxqCanRead(q, 1) != 0);
    // A short read: what is there, then silence.
    std::memset(period, 0x5A, kPeriod);
    KXC_CHECK(cx, kxqWrite(q, period, kPeriod / 2) == 0);
    std::memset(back, 0xEE, kPeriod);
    KXC_CHECK(cx, kxqRead(q, back, kPeriod) == static_cast<int32_t>(kPeriod / 2));
    for (uint32_t i = 0; i < kPeriod; ++i)
        KXC_CHECK(cx, back[i] == (i < kPeriod / 2 ? 0x5A : 0));
    // Reset discards everything; the queue is whole again.
    KXC_CHECK(cx, kxqWrite(q, period, kPeriod) == 0);
    kxqReset(q);
    KXC_CHECK(cx, kxqCanRead(q, 1) != 0);
    KXC_CHECK(cx, kxqCanWrite(q, 4 * kPeriod) == 0);
    kxqFree(q);
    kxqFree(0);  // does nothing
    KxqHandle none = 0;
    KXC_CHECK(cx, kxqInit(0, &none) != 0 && none == 0);
}

// ---- Lists ----

struct Item {
    KxNode node;  // first, as in every record a pool links
    int value;
};

// The list's values first to last, checking every back link and both sentinels; -1 when the
// layout is broken anywhere.
int walk(KxList* list, int* values, int max) {
    if (list->tail != nullptr)
        return -1;
    KxNode* prev = kxlistHeadNode(list);
    int n = 0;
    for (KxNode* node = list->head; node != nullptr && node->succ != nullptr; node = node->succ) {
        if (node->pred != prev || n == max)
            return -1;
        values[n++] = reinterpret_cast<Item*>(node)->value;
        prev = node;
    }
    if (prev->succ != kxlistTailNode(list) || list->tailPred != prev)
        return -1;
    return n;
}

bool holds(KxList* list, const int* want, int count) {
    int got[8];
    if (walk(list, got, 8) != count)
        return false;
    for (int i = 0; i < count; ++i) {
        if (got[i] != want[i])
            return false;
    }
    return true;
}

void listLayout(Context& cx) {
    KxList list;
    list.head = list.tail = list.tailPred = reinterpret_cast<KxNode*>(uintptr_t{1});
    kxlistHeadInit(&list);
    KXC_CHECK(cx, list.head == reinterpret_cast<KxNode*>(&list.tail));
    KXC_CHECK(cx, list.tail == nullptr && list.tailPred == reinterpret_cast<KxNode*>(&list));
    KXC_CHECK(cx, kxlistDeleteFirst(&list) == nullptr && kxlistDeleteLast(&list) == nullptr);
    Item items[5];
    for (int i = 0; i < 5; ++i) {
        items[i].node.succ = items[i].node.pred = reinterpret_cast<KxNode*>(uintptr_t{2});
        items[i].value = i;
        KXC_CHECK(cx, kxlistNodeInit(&items[i].node) != 0);
        KXC_CHECK(cx, items[i].node.succ == nullptr && items[i].node.pred == nullptr);
    }
    KXC_CHECK(cx, kxlistNodeInit(nullptr) == 0);
    kxlistInsertPrev(kxlistTailNode(&list), &items[1].node);  // last
    kxlistInsertPrev(kxlistTailNode(&list), &items[3].node);  // last
    kxlistInsertNext(kxlistHeadNode(&list), &items[0].node);  // first
    kxlistInsertPrev(&items[3].node, &items[2].node);         // before a real node
    kxlistInsertNext(&items[3].node, &items[4].node);         // after the last: becomes last
    const int all[] = {0, 1, 2, 3, 4};
    KXC_CHECK(cx, holds(&list, all, 5));
    kxlistDelete(&items[2].node);  // the middle
    KXC_CHECK(cx, items[2].node.succ == nullptr && items[2].node.pred == nullptr);
    kxlistDelete(&items[2].node);  // again: nothing
    Item loose{};                  // zero-filled: in no list
    kxlistDelete(&loose.node);
    kxlistDelete(nullptr);
    const int noTwo[] = {0, 1, 3, 4};
    KXC_CHECK(cx, holds(&list, noTwo, 4));
    KXC_CHECK(cx, kxlistDeleteFirst(&list) == &items[0].node);
    KXC_CHECK(cx, kxlistDeleteLast(&list) == &items[4].node);
    KXC_CHECK(cx, items[4].node.succ == nullptr && items[4].node.pred == nullptr);
    const int middle[] = {1, 3};
    KXC_CHECK(cx, holds(&list, middle, 2));
    kxlistDelete(&items[1].node);
    kxlistDelete(&items[3].node);
    KXC_CHECK(cx, holds(&list, nullptr, 0));
    KXC_CHECK(cx, list.head == reinterpret_cast<KxNode*>(&list.tail));
    KXC_CHECK(cx, list.tailPred == reinterpret_cast<KxNode*>(&list));
}

constexpr const char* kNoUnwind =
    "a task deleted by force never runs again, with no unwind (metal/kernel/kernel.h)";

const Case kCases[] = {
    {"Tasks", "TaskWaitsForResume", taskWaitsForResume, nullptr},
    {"Tasks", "DeleteOfItselfEnds", deleteOfItselfEnds, nullptr},
    {"Tasks", "ForcedDeleteNeverRunsAgain", forcedDeleteNeverRunsAgain, nullptr},
    {"Tasks", "ForcedDeleteUnwinds", forcedDeleteUnwinds, kNoUnwind},
    {"Task events", "PendingCodesOnePerReceive", pendingCodesOnePerReceive, nullptr},
    {"Task events", "ReceiveSelectsByMask", receiveSelectsByMask, nullptr},
    {"Task events", "PendingSetIsBounded", pendingSetIsBounded, nullptr},
    {"Task events", "BadSendsRefused", badSendsRefused, nullptr},
    {"Task events", "BlockedAndTimedReceive", blockedAndTimedReceive, nullptr},
    {"Critical sections", "SectionResultsAndMisuse", sectionResultsAndMisuse, nullptr},
    {"Critical sections", "SectionHandsOverToAWaiter", sectionHandsOverToAWaiter, nullptr},
    {"Critical sections", "DeleteEndsAWaitingEnter", deleteEndsAWaitingEnter, nullptr},
    {"Sleep", "SleepLastsItsTime", sleepLastsItsTime, nullptr},
    {"Byte queues", "ByteQueueContract", byteQueueContract, nullptr},
    {"Lists", "ListLayout", listLayout, nullptr},
};

}  // namespace

const Case* cases(int* count) {
    *count = static_cast<int>(sizeof kCases / sizeof kCases[0]);
    return kCases;
}

}  // namespace kx::contract
