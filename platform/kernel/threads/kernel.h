// SPDX-License-Identifier: Apache-2.0
// The threaded kernel's shared state, private to the files of platform/kernel/threads/: the task
// and section records, the one kernel instance and the calling thread's task. One kernel mutex
// (Kernel::mutex) guards every task record, pending set, section record and both registries; a
// blocked task waits on a condition variable under that mutex (its own, or a section's), so its
// "blocked" state and its pending codes are always read together. The few fields read without
// the mutex are atomics and say so.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/kernel/pending.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_types.h"

namespace kx {
namespace threads {

using Clock = std::chrono::steady_clock;

// Thrown into a deleted task at its next kernel call. Private to this kernel, so nothing outside
// it can catch it by name; the trampoline that runs the task's entry is its only handler.
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
    // Resume, a send its receive wants, deletion, sleep's end. Shared, so that a sender can
    // notify it after releasing the kernel mutex without the record being reaped meanwhile.
    std::shared_ptr<std::condition_variable> wake;
    std::condition_variable* waitingOn = nullptr;  // what it blocks on now; deletion notifies it
    bool resumed = false;
    bool finished = false;   // the trampoline has returned; only the join is left
    bool receiving = false;  // blocked in RtkReceiveTaskEvent
    uint16_t receiveMask = 0;
    bool receiveTimed = false;
    Clock::time_point receiveDeadline{};
    PendingCodes pending;
    RtkSectionWait longestWait = {};  // its longest wait for a critical section
    // Blocked in RtkHostWait (waits.cpp): what ends the wait besides its ready, which is asked
    // again once Kernel::hostWakes has moved past hostTicket. It blocks on `wake`, or on
    // Kernel::changed when it also waits for quiescence (hostQuiescent).
    bool hostWaiting = false;
    uint64_t hostTicket = 0;
    uint16_t hostEvents = 0;
    bool hostQuiescent = false;
    bool hostTimed = false;
    Clock::time_point hostDeadline{};

    // Set under the kernel mutex; also read without it by RtkCheckDeleted on the task itself.
    std::atomic<bool> deleted{false};  // the id names it no more; it ends at its next kernel call
};

struct Section {
    std::string name;
    bool held = false;
    bool deleted = false;
    uint64_t owner = 0;  // thread token of the holder (thread ids can be reused, tokens cannot)
    RtkTaskId ownerTask = 0;  // the holder's task id, 0 for a thread that is not a task
    std::condition_variable freed;
};

struct Kernel {
    std::mutex mutex;
    // A task became quiescent or finished, or RtkHostWake was called: every quiescence wait
    // waits here (RtkWaitQuiescent, and a host wait that asks for quiescence too).
    std::condition_variable changed;
    // RtkHostWake was called: the host wait of a thread that is not a task waits here.
    std::condition_variable hostWoken;
    uint64_t hostWakes = 0;                     // RtkHostWake calls so far
    std::unordered_map<RtkTaskId, Task*> live;  // the tasks that ids name
    std::vector<Task*> threads;                 // tasks whose thread is not joined yet
    std::unordered_map<RtkHandle, std::shared_ptr<Section>> sections;
    RtkTaskId nextTask = 1;
    RtkHandle nextSection = 1;
    bool realtime = false;
    bool singleProcessor = false;
    int cpu = -1;  // the processor tasks are kept on while singleProcessor
};

// Never destroyed: a task thread that outlives main (detached at exit, see KernelExit in
// tasks.cpp) may still make kernel calls, and must find the kernel intact.
inline Kernel& kernel() {
    static Kernel* instance = new Kernel;
    return *instance;
}

inline std::atomic<uint64_t> droppedCodes{0};  // codes dropped on a full pending set

inline thread_local Task* thisTask = nullptr;  // the task this thread runs, if any

// Called at every kernel call a deleted task can make; never with a lock other than a
// unique_lock on the kernel mutex, which the unwind releases.
inline void unwindIfDeleted() {
    // Pairs with the store in markDeleted (made under the kernel mutex).
    if (thisTask != nullptr && thisTask->deleted.load(std::memory_order_acquire)) {
        throw TaskUnwind{};
    }
}

inline bool selfDeleted() {
    return thisTask != nullptr && thisTask->deleted.load(std::memory_order_relaxed);
}

// waits.cpp. Keeps a thread on one processor; refused, it runs where it may.
void pinToProcessor(pthread_t thread, int cpu);

// The kernel's calls, one per entry of its table (kernel.cpp), each defined in the file of its
// service (tasks.cpp, events.cpp, sections.cpp, waits.cpp).
#include "platform/kernel/kernel_calls.inc"

}  // namespace threads
}  // namespace kx
