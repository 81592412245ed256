// SPDX-License-Identifier: Apache-2.0
// The threaded kernel's task events: sends, receives and the observation of pending codes. Each
// task's pending set (platform/kernel/pending.h) and its receive state are guarded by the kernel
// mutex (kernel.h), so a receiver's "blocked" state and its pending codes are read together; a
// receiver is woken after the mutex is released.
#include "platform/kernel/rtk_types.h"
#include "platform/kernel/threads/kernel.h"

namespace kx {
namespace threads {

int32_t sendTaskEvent(RtkTaskId id, uint16_t code) {
    if (code == 0)
        return RTK_ERR_PARAM;  // 0 is what a receive without a code stores
    Kernel& k = kernel();
    std::shared_ptr<std::condition_variable> receiver;
    bool quiescenceWaiter = false;
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        auto it = k.live.find(id);
        if (it == k.live.end())
            return RTK_ERR_NO_TASK;
        Task* t = it->second;
        // Appended under the mutex: from here on RtkWaitQuiescent sees a deliverable code, even
        // before the receiver has woken up to take it.
        PendingAdd added = pendingAdd(&t->pending, code);
        if (added == PendingAdd::Merged)
            return RTK_OK;  // one delivery for both sends
        if (added == PendingAdd::Dropped) {
            droppedCodes.fetch_add(1, std::memory_order_relaxed);
            return RTK_ERR_RESOURCE;
        }
        if (t->receiving && (code & t->receiveMask) != 0)
            receiver = t->wake;
        if (t->hostWaiting && (code & t->hostEvents) != 0) {
            if (t->hostQuiescent) {
                quiescenceWaiter = true;
            } else {
                receiver = t->wake;
            }
        }
    }
    // Woken after the mutex is released: a receiver woken while the sender still held it would
    // only block again on the mutex, which costs two more task switches on one processor. The
    // code was published under the mutex, so the receiver cannot miss it.
    if (receiver != nullptr)
        receiver->notify_all();
    if (quiescenceWaiter)
        k.changed.notify_all();  // a host wait that also waits for quiescence blocks there
    return RTK_OK;
}

int32_t receiveTaskEvent(uint32_t reserved0, uint16_t mask, uint32_t reserved2, int32_t timeoutMs,
                         uint16_t* code) {
    (void)reserved0;
    (void)reserved2;
    if (code == nullptr)
        return RTK_ERR_PARAM;
    *code = 0;
    Task* self = thisTask;
    if (self == nullptr)
        return RTK_ERR_NO_TASK;
    Kernel& k = kernel();
    std::unique_lock<std::mutex> lock(k.mutex);
    unwindIfDeleted();
    if (pendingTake(&self->pending, mask, code))
        return RTK_OK;
    if (timeoutMs == 0)
        return RTK_ERR_TIMEOUT;
    // Any negative timeout waits without limit, as RTK_WAIT_FOREVER does.
    self->receiving = true;
    self->receiveMask = mask;
    self->receiveTimed = timeoutMs > 0;
    if (self->receiveTimed) {
        self->receiveDeadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    }
    self->waitingOn = self->wake.get();
    // Blocked: this may be the last task RtkWaitQuiescent waits for. Its waiter is woken with
    // the mutex released, so that it does not wake only to block on the mutex; what it reads
    // was published above. A send or a deletion meanwhile is seen by the wait's predicate.
    lock.unlock();
    k.changed.notify_all();
    lock.lock();
    auto ready = [&] { return pendingHas(self->pending, mask) || selfDeleted(); };
    if (self->receiveTimed) {
        self->wake->wait_until(lock, self->receiveDeadline, ready);
    } else {
        self->wake->wait(lock, ready);
    }
    self->receiving = false;
    self->waitingOn = nullptr;
    unwindIfDeleted();
    return pendingTake(&self->pending, mask, code) ? RTK_OK : RTK_ERR_TIMEOUT;
}

bool eventPending(RtkTaskId id, uint16_t mask) {
    Kernel& k = kernel();
    std::lock_guard<std::mutex> lock(k.mutex);
    auto it = k.live.find(id);
    return it != k.live.end() && pendingHas(it->second->pending, mask);
}

uint64_t droppedEvents() {
    return droppedCodes.load(std::memory_order_relaxed);
}

}  // namespace threads
}  // namespace kx
