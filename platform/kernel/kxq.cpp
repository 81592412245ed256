// SPDX-License-Identifier: Apache-2.0
// Byte queues: a lock-free ring of bytes for one writer task and one reader task at a time.
// No lock: the writer owns the write index and the bytes between it and the read index, the
// reader the reverse; each publishes its index with a release store that the other side
// acquires. Reset and free run only while neither side works on the queue.
#include "platform/kernel/kxq.h"

#include <atomic>
#include <cstring>
#include <new>

#include "platform/fault.h"
#include "platform/kernel/rtk_preempt.h"

namespace kx {
namespace {

constexpr uint32_t kMagic = 0x6B787131;        // "kxq1": catches a handle that names no queue
constexpr uint32_t kMaxCapacity = 0x7FFFFFFF;  // so that a read's count fits its int32 result
constexpr int32_t kFail = 1;

// The ring has one slot more than the capacity, so that "full" (write just behind read) and
// "empty" (write == read) differ without a shared count that both sides would update.
struct Queue {
    uint32_t magic;
    uint32_t capacity;
    uint32_t slots;  // capacity + 1
    uint8_t* bytes;
    // Apart, so that the two sides do not share a cache line for their hottest stores.
    alignas(64) std::atomic<uint32_t> writeIndex;  // next slot to write; stored by the writer
    alignas(64) std::atomic<uint32_t> readIndex;   // next slot to read; stored by the reader
};

Queue* queueOf(KxqHandle handle) {
    auto* q = reinterpret_cast<Queue*>(handle);
    return q != nullptr && q->magic == kMagic ? q : nullptr;
}

uint32_t usedBetween(const Queue* q, uint32_t write, uint32_t read) {
    return write >= read ? write - read : q->slots - read + write;
}

static_assert(std::atomic<uint32_t>::is_always_lock_free, "the ring's indices must not lock");

}  // namespace

int32_t kxqInit(uint32_t capacity, KxqHandle* handle) {
    if (handle == nullptr)
        return kFail;
    *handle = 0;
    if (faultCheck(Fault::QueueInit))
        return kFail;
    if (capacity == 0 || capacity > kMaxCapacity)
        return kFail;
    Queue* q = new (std::nothrow) Queue{};
    if (q == nullptr)
        return kFail;
    q->bytes = new (std::nothrow) uint8_t[capacity + 1]();
    if (q->bytes == nullptr) {
        delete q;
        return kFail;
    }
    q->magic = kMagic;
    q->capacity = capacity;
    q->slots = capacity + 1;
    *handle = reinterpret_cast<KxqHandle>(q);
    return 0;
}

int32_t kxqFree(KxqHandle handle) {
    Queue* q = queueOf(handle);
    if (q == nullptr)
        return handle == 0 ? 0 : kFail;
    q->magic = 0;
    delete[] q->bytes;
    delete q;
    return 0;
}

int32_t kxqReset(KxqHandle handle) {
    Queue* q = queueOf(handle);
    if (q == nullptr)
        return kFail;
    // Neither side runs now; the next one to start synchronises through the kernel call that
    // started it, so relaxed stores suffice.
    q->readIndex.store(0, std::memory_order_relaxed);
    q->writeIndex.store(0, std::memory_order_relaxed);
    return 0;
}

int32_t kxqCanWrite(KxqHandle handle, uint32_t length) {
    Queue* q = queueOf(handle);
    if (q == nullptr)
        return kFail;
    uint32_t write = q->writeIndex.load(std::memory_order_relaxed);
    // Pairs with the reader's release store in kxqRead: the space it handed back is free.
    RtkPreemptionPoint();
    uint32_t read = q->readIndex.load(std::memory_order_acquire);
    return length <= q->capacity - usedBetween(q, write, read) ? 0 : kFail;
}

int32_t kxqWrite(KxqHandle handle, const void* buffer, uint32_t length) {
    if (faultCheck(Fault::QueueWrite))
        return kFail;
    Queue* q = queueOf(handle);
    if (q == nullptr || (buffer == nullptr && length != 0))
        return kFail;
    uint32_t write = q->writeIndex.load(std::memory_order_relaxed);  // only this side stores it
    // Pairs with the reader's release store in kxqRead: the reader is done with every byte
    // before `read`, so they may be overwritten.
    RtkPreemptionPoint();
    uint32_t read = q->readIndex.load(std::memory_order_acquire);
    if (length > q->capacity - usedBetween(q, write, read))
        return kFail;  // all or nothing
    const auto* from = static_cast<const uint8_t*>(buffer);
    uint32_t first = q->slots - write < length ? q->slots - write : length;
    if (first != 0)
        std::memcpy(q->bytes + write, from, first);
    if (length > first)
        std::memcpy(q->bytes, from + first, length - first);
    uint32_t next = write + length;
    if (next >= q->slots)
        next -= q->slots;
    // Publishes the bytes just copied: a reader that acquires this index sees them.
    RtkPreemptionPoint();
    q->writeIndex.store(next, std::memory_order_release);
    return 0;
}

int32_t kxqRead(KxqHandle handle, void* buffer, uint32_t length) {
    auto* to = static_cast<uint8_t*>(buffer);
    Queue* q = queueOf(handle);
    if (q == nullptr || to == nullptr) {
        if (to != nullptr && length != 0)
            std::memset(to, 0, length);
        return 0;
    }
    uint32_t read = q->readIndex.load(std::memory_order_relaxed);  // only this side stores it
    // Pairs with the writer's release store in kxqWrite: the bytes before `write` are visible.
    RtkPreemptionPoint();
    uint32_t write = q->writeIndex.load(std::memory_order_acquire);
    uint32_t used = usedBetween(q, write, read);
    uint32_t count = length < used ? length : used;
    uint32_t first = q->slots - read < count ? q->slots - read : count;
    if (first != 0)
        std::memcpy(to, q->bytes + read, first);
    if (count > first)
        std::memcpy(to + first, q->bytes, count - first);
    // A short queue yields silence, never whatever the buffer held before.
    if (length > count)
        std::memset(to + count, 0, length - count);
    uint32_t next = read + count;
    if (next >= q->slots)
        next -= q->slots;
    // Hands the space back: the copies above are done before a writer that acquires this
    // index may overwrite those slots.
    RtkPreemptionPoint();
    q->readIndex.store(next, std::memory_order_release);
    return static_cast<int32_t>(count);
}

int32_t kxqCanRead(KxqHandle handle, uint32_t length) {
    Queue* q = queueOf(handle);
    if (q == nullptr)
        return kFail;
    uint32_t read = q->readIndex.load(std::memory_order_relaxed);
    // Pairs with the writer's release store in kxqWrite.
    RtkPreemptionPoint();
    uint32_t write = q->writeIndex.load(std::memory_order_acquire);
    return usedBetween(q, write, read) >= length ? 0 : kFail;
}

}  // namespace kx
