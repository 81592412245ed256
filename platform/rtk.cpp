// Kernel services over host threads: tasks, 16-bit task events, critical sections and sleep.
// One kernel mutex guards every task record, pending set, section record and both registries;
// a blocked task waits on a condition variable under that mutex (its own, or a section's), so
// its "blocked" state and its pending codes are always read together. A deleted running task
// is ended by unwinding its thread at its next kernel call; only the task trampoline catches.
#include "platform/rtk.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/fault.h"

namespace kx {
namespace {

using Clock = std::chrono::steady_clock;

// Thrown into a deleted task at its next kernel call. Private, so nothing outside this file can
// catch it by name; the trampoline that runs the task's entry is its only handler.
struct TaskUnwind {};

struct Task {
    RtkTaskId id = 0;
    std::string name;
    uint16_t priority = 0;
    uint32_t stackSize = 0;  // stackSize, options and mode are recorded only
    uint32_t options = 0;
    uint32_t mode = 0;
    RtkTaskEntry entry = nullptr;
    void* argument = nullptr;
    std::thread thread;  // set by the creator before the record is published, read by the joiner

    // Guarded by the kernel mutex.
    std::condition_variable wake;  // resume, a send its receive wants, deletion, sleep's end
    std::condition_variable* waitingOn = nullptr;  // what it blocks on now; deletion notifies it
    bool resumed = false;
    bool finished = false;   // the trampoline has returned; only the join is left
    bool receiving = false;  // blocked in RtkReceiveTaskEvent
    uint16_t receiveMask = 0;
    bool receiveTimed = false;
    Clock::time_point receiveDeadline{};
    uint16_t pending[RTK_PENDING_MAX] = {};  // distinct codes, oldest first
    int pendingCount = 0;

    // Set under the kernel mutex; also read without it by RtkCheckDeleted on the task itself.
    std::atomic<bool> deleted{false};  // the id names it no more; it ends at its next kernel call
};

struct Section {
    std::string name;
    bool held = false;
    bool deleted = false;
    uint64_t owner = 0;  // thread token of the holder (thread ids can be reused, tokens cannot)
    std::condition_variable freed;
};

struct Kernel {
    std::mutex mutex;
    std::condition_variable changed;            // a task became quiescent or finished
    std::unordered_map<RtkTaskId, Task*> live;  // the tasks that ids name
    std::vector<Task*> threads;                 // tasks whose thread is not joined yet
    std::unordered_map<RtkHandle, std::shared_ptr<Section>> sections;
    RtkTaskId nextTask = 1;
    RtkHandle nextSection = 1;
    bool realtime = false;
    bool singleProcessor = false;
    int cpu = -1;  // the processor tasks are kept on while singleProcessor
};

// Never destroyed: a task thread that outlives main (detached at exit, see KernelExit) may still
// make kernel calls, and must find the kernel intact.
Kernel& kernel() {
    static Kernel* instance = new Kernel;
    return *instance;
}

std::atomic<uint64_t> sleepCount{0};
std::atomic<uint64_t> droppedEvents{0};
std::atomic<uint32_t> sleepScale{100};
std::atomic<uint64_t> nextThreadToken{1};

thread_local Task* currentTask = nullptr;
thread_local uint64_t threadToken = 0;

uint64_t callerToken() {
    if (threadToken == 0)
        threadToken = nextThreadToken.fetch_add(1, std::memory_order_relaxed);
    return threadToken;
}

// Called at every kernel call a deleted task can make; never with a lock other than a
// unique_lock on the kernel mutex, which the unwind releases.
void unwindIfDeleted() {
    // Pairs with the store in markDeleted (made under the kernel mutex).
    if (currentTask != nullptr && currentTask->deleted.load(std::memory_order_acquire)) {
        throw TaskUnwind{};
    }
}

bool selfDeleted() {
    return currentTask != nullptr && currentTask->deleted.load(std::memory_order_relaxed);
}

}  // namespace

// ---- Critical sections ----
// A section is a flag and an owner under the kernel mutex rather than a std::mutex: a task
// deleted while holding one leaves it held (as the contract says) without destroying a locked
// std::mutex later, and waiting for it is a kernel wait that deletion can interrupt.

int32_t RtkCreateCriticalSection(const char* name, RtkHandle* handle) {
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

int32_t RtkDeleteCriticalSection(RtkHandle handle) {
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

int32_t RtkEnterCriticalSection(RtkHandle handle) {
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
    Task* self = currentTask;
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
    return RTK_OK;
}

int32_t RtkLeaveCriticalSection(RtkHandle handle) {
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
    // All waiters, not one: a waiter woken here may be a deleted task that unwinds instead of
    // taking the section, and must not leave the others asleep.
    section.freed.notify_all();
    return RTK_OK;
}

int RtkSectionsAlive() {
    Kernel& k = kernel();
    std::lock_guard<std::mutex> lock(k.mutex);
    return static_cast<int>(k.sections.size());
}

}  // namespace kx
