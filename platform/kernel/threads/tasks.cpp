// SPDX-License-Identifier: Apache-2.0
// The threaded kernel's tasks: each task is a host thread, created blocked until resumed, and
// this file owns the records' whole life: creation, resume, deletion (a deleted running task is
// ended by unwinding its thread at its next kernel call; only the trampoline here catches), the
// join of ended threads, and the deletion of every task left at process exit. The kernel mutex
// (kernel.h) guards the records and both registries; a join is never made while it is held.
#include <pthread.h>
#include <sched.h>

#include <new>
#include <system_error>

#include "platform/fault.h"
#include "platform/kernel/rtk_types.h"
#include "platform/kernel/threads/kernel.h"

namespace kx {
namespace threads {
namespace {

// Under the kernel mutex: the id stops naming the task and whatever it waits on is woken so
// that it unwinds now rather than at some later kernel call.
void markDeleted(Kernel& k, Task* t) {
    auto it = k.live.find(t->id);
    if (it != k.live.end() && it->second == t)
        k.live.erase(it);
    // Pairs with the acquire load in unwindIfDeleted on the task's own thread.
    t->deleted.store(true, std::memory_order_release);
    t->wake->notify_all();
    if (t->waitingOn != nullptr)
        t->waitingOn->notify_all();
}

// Takes every finished task out of the registry and joins its thread. Never called with the
// kernel mutex held (a join waits for a thread that may still be leaving it), and never on a
// thread that is finished itself, so no thread joins itself.
void reapFinished(Kernel& k) {
    std::vector<Task*> done;
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        std::vector<Task*> rest;
        for (Task* t : k.threads)
            (t->finished ? done : rest).push_back(t);
        k.threads.swap(rest);
    }
    for (Task* t : done) {
        t->thread.join();
        delete t;
    }
}

// The body of every task thread: wait to be resumed (or deleted first), run the entry, and
// record the end. The unwind of a deleted task stops here.
void runTask(Task* t) {
    Kernel& k = kernel();
    thisTask = t;
    bool run;
    {
        std::unique_lock<std::mutex> lock(k.mutex);
        t->wake->wait(lock,
                      [t] { return t->resumed || t->deleted.load(std::memory_order_relaxed); });
        run = !t->deleted.load(std::memory_order_relaxed);
    }
    if (run) {
        try {
            t->entry(t->argument);
        } catch (const TaskUnwind&) {
            // Deleted while running: the unwind has released what the entry's frames held.
        }
    }
    std::lock_guard<std::mutex> lock(k.mutex);
    auto it = k.live.find(t->id);
    if (it != k.live.end() && it->second == t)
        k.live.erase(it);
    t->finished = true;  // after this the record belongs to whoever reaps it
    k.changed.notify_all();
}

// At process exit: every task left is deleted, which ends those blocked in (or next entering) a
// kernel call. Those that end within a bound are joined; a task stuck outside the kernel is
// detached and its record left alone, since the kernel it may still call is never destroyed.
struct KernelExit {
    KernelExit() { kernel(); }  // the kernel exists before, and so outlives, this object
    ~KernelExit() {
        Kernel& k = kernel();
        std::vector<Task*> all;
        {
            std::unique_lock<std::mutex> lock(k.mutex);
            for (Task* t : k.threads) {
                if (!t->finished && t != thisTask)
                    markDeleted(k, t);
            }
            k.changed.wait_for(lock, std::chrono::seconds(2), [&k] {
                for (const Task* t : k.threads) {
                    if (!t->finished && t != thisTask)
                        return false;
                }
                return true;
            });
            for (Task* t : k.threads) {
                if (t->finished) {
                    all.push_back(t);
                } else {
                    t->thread.detach();
                }
            }
            k.threads.clear();
        }
        for (Task* t : all) {
            t->thread.join();
            delete t;
        }
    }
};

KernelExit kernelExit;

}  // namespace

// ---- Tasks ----

int32_t createTask(const char* name, uint16_t priority, uint32_t stackSize, uint32_t options,
                   uint32_t mode, RtkTaskEntry entry, void* argument, RtkTaskId* id) {
    if (id == nullptr)
        return RTK_ERR_PARAM;
    *id = 0;
    if (faultCheck(Fault::TaskCreate))
        return RTK_ERR_FAULT;
    if (entry == nullptr)
        return RTK_ERR_PARAM;
    Kernel& k = kernel();
    reapFinished(k);
    Task* t = new (std::nothrow) Task;
    if (t == nullptr)
        return RTK_ERR_RESOURCE;
    bool realtime;
    int cpu;
    try {
        t->wake = std::make_shared<std::condition_variable>();
        t->name = name != nullptr ? name : "";
        t->priority = priority;
        t->stackSize = stackSize;
        t->options = options;
        t->mode = mode;
        t->entry = entry;
        t->argument = argument;
        {
            std::lock_guard<std::mutex> lock(k.mutex);
            t->id = k.nextTask++;
            realtime = k.realtime;
            cpu = k.singleProcessor ? k.cpu : -1;
        }
        // The thread starts blocked on t->wake until resumed; it reads nothing the code below
        // writes except under the kernel mutex.
        t->thread = std::thread(runTask, t);
    } catch (const std::exception&) {  // std::system_error (no thread) or std::bad_alloc
        delete t;
        return RTK_ERR_RESOURCE;
    }
    if (realtime) {
        sched_param param{};
        param.sched_priority = 1 + priority * 98 / 255;
        (void)pthread_setschedparam(t->thread.native_handle(), SCHED_FIFO,
                                    &param);  // refused: normal
    }
    if (cpu >= 0)
        pinToProcessor(t->thread.native_handle(), cpu);
    // Published only now, with its thread set, so that no reaper can see a record without one.
    bool published = false;
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        try {
            k.threads.push_back(t);
            try {
                k.live.emplace(t->id, t);
                published = true;
            } catch (const std::bad_alloc&) {
                k.threads.pop_back();
            }
        } catch (const std::bad_alloc&) {
        }
        if (!published) {
            t->deleted.store(true, std::memory_order_release);  // leaves without its entry
            t->wake->notify_all();
        }
    }
    if (!published) {
        t->thread.join();
        delete t;
        return RTK_ERR_RESOURCE;
    }
    *id = t->id;
    return RTK_OK;
}

int32_t resumeTask(RtkTaskId id) {
    if (faultCheck(Fault::TaskResume))
        return RTK_ERR_FAULT;
    Kernel& k = kernel();
    std::lock_guard<std::mutex> lock(k.mutex);
    auto it = k.live.find(id);
    if (it == k.live.end())
        return RTK_ERR_NO_TASK;
    Task* t = it->second;
    if (t->resumed)
        return RTK_ERR_STATE;
    t->resumed = true;
    t->wake->notify_all();
    return RTK_OK;
}

int32_t deleteTask(RtkTaskId id) {
    Kernel& k = kernel();
    Task* self = thisTask;
    if (id == 0) {
        if (self == nullptr)
            return RTK_ERR_NO_TASK;
        id = self->id;
    }
    Task* joinable = nullptr;
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        auto it = k.live.find(id);
        if (it == k.live.end())
            return RTK_ERR_NO_TASK;
        Task* t = it->second;
        markDeleted(k, t);
        // A task never resumed leaves its wait at once and never runs its entry, so its thread
        // can be joined here; claiming it keeps any other reaper away from it.
        if (!t->resumed) {
            for (auto& entry : k.threads) {
                if (entry == t) {
                    entry = k.threads.back();
                    k.threads.pop_back();
                    joinable = t;
                    break;
                }
            }
        }
    }
    if (joinable != nullptr) {
        joinable->thread.join();
        delete joinable;
    }
    // A running task (the caller itself included) ends at its next kernel call or by returning.
    if (self == nullptr || self->id != id)
        reapFinished(k);
    return RTK_OK;
}

RtkTaskId currentTask() {
    return thisTask != nullptr ? thisTask->id : 0;
}

bool taskExists(RtkTaskId id) {
    Kernel& k = kernel();
    std::lock_guard<std::mutex> lock(k.mutex);
    return k.live.count(id) != 0;
}

uint16_t taskPriority(RtkTaskId id) {
    Kernel& k = kernel();
    std::lock_guard<std::mutex> lock(k.mutex);
    auto it = k.live.find(id);
    return it != k.live.end() ? it->second->priority : 0;
}

const char* taskName(RtkTaskId id) {
    Kernel& k = kernel();
    std::lock_guard<std::mutex> lock(k.mutex);
    auto it = k.live.find(id);
    // The record, and so the string, lives until the task's thread is reaped after it ends.
    return it != k.live.end() ? it->second->name.c_str() : "";
}

int threadsAlive() {
    Kernel& k = kernel();
    reapFinished(k);
    std::lock_guard<std::mutex> lock(k.mutex);
    return static_cast<int>(k.threads.size());
}

void checkDeleted() {
    unwindIfDeleted();
}

}  // namespace threads
}  // namespace kx
