// SPDX-License-Identifier: Apache-2.0
// The sinks' writer thread and its ring. The writing task (under the sinks' mutex) puts; the
// writer thread takes and hands bytes to the sink's output. head and tail are guarded by
// SinkWriter::mutex, which neither side holds across a copy or an output call: the bytes from
// tail to head are the writer's, the rest the putter's.
#include "platform/devices/sink_writer.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "platform/devices/wav_format.h"

namespace kx {
namespace {

// About twelve seconds at 1024 frames, eight periods of the largest size kxplay asks for, so
// that a disk or a pipe that stalls for seconds costs no period.
constexpr uint64_t kRingBytes = 2 * 1024 * 1024;
static_assert(kRingBytes % kStreamBytesPerFrame == 0,
              "the ring holds whole frames, so no frame is split at its end");
static_assert(kRingBytes >= 8 * 65536 * kStreamBytesPerFrame,
              "eight of the largest periods fit in the ring");
// How often a full ring looks whether the sink was abandoned.
constexpr int kAbandonPollMs = 50;

}  // namespace

struct SinkWriter {
    SinkOutput output = nullptr;
    void* context = nullptr;
    const std::atomic<bool>* abandoned = nullptr;
    std::unique_ptr<uint8_t[]> ring;  // kRingBytes
    std::mutex mutex;                 // guards the fields below
    std::condition_variable more;     // head moved past the batch, or closing
    std::condition_variable room;     // tail moved
    uint64_t head = 0;                // bytes put in since the writer started
    uint64_t tail = 0;                // bytes written out (or dropped after a failure)
    uint64_t batch = 1;               // bytes pending before the writer is woken
    bool closing = false;
    bool failed = false;  // a write failed; later bytes are dropped so no one waits forever
    std::thread thread;
};

namespace {

void writerLoop(SinkWriter* w) {
    std::unique_lock<std::mutex> lock(w->mutex);
    for (;;) {
        w->more.wait(lock, [&] { return w->head - w->tail >= w->batch || w->closing; });
        if (w->head == w->tail)
            return;  // closing, and everything is out
        uint64_t from = w->tail;
        uint64_t to = w->head;
        bool failed = w->failed;
        lock.unlock();
        while (from < to && !failed) {
            size_t at = static_cast<size_t>(from % kRingBytes);
            size_t length = static_cast<size_t>(std::min<uint64_t>(to - from, kRingBytes - at));
            failed = !w->output(w->context, w->ring.get() + at, length);
            from += length;
        }
        lock.lock();
        w->failed = failed;
        w->tail = to;
        w->room.notify_all();
    }
}

}  // namespace

SinkWriter* sinkWriterStart(SinkOutput output, void* context, uint64_t batch,
                            const std::atomic<bool>* abandoned) {
    auto w = std::make_unique<SinkWriter>();
    w->ring.reset(new (std::nothrow) uint8_t[kRingBytes]);
    if (!w->ring)
        return nullptr;
    w->output = output;
    w->context = context;
    w->abandoned = abandoned;
    w->batch = batch;
    try {
        w->thread = std::thread(writerLoop, w.get());
    } catch (const std::system_error&) {
        return nullptr;
    }
    return w.release();
}

void sinkWriterStop(SinkWriter* w) {
    if (w == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(w->mutex);
        w->closing = true;
    }
    w->more.notify_all();
    w->thread.join();
    delete w;
}

void sinkWriterPut(SinkWriter* w, const uint8_t* bytes, size_t length, bool* counted,
                   std::atomic<uint64_t>* overruns) {
    while (length > 0) {
        uint64_t head;
        uint64_t space;
        {
            std::unique_lock<std::mutex> lock(w->mutex);
            if (w->head - w->tail == kRingBytes) {
                if (!*counted)
                    overruns->fetch_add(1, std::memory_order_relaxed);
                *counted = true;
                w->more.notify_all();  // a batched writer may be waiting for more than is in
                // An abandoned sink takes nothing more: the wait looks at it now and then, as
                // whoever abandons may not take the ring's lock to say so.
                while (w->head - w->tail == kRingBytes) {
                    if (w->abandoned->load(std::memory_order_relaxed))
                        return;
                    w->room.wait_for(lock, std::chrono::milliseconds(kAbandonPollMs));
                }
            }
            head = w->head;
            space = kRingBytes - (w->head - w->tail);
        }
        size_t at = static_cast<size_t>(head % kRingBytes);
        size_t piece = static_cast<size_t>(std::min<uint64_t>({length, space, kRingBytes - at}));
        std::memcpy(w->ring.get() + at, bytes, piece);
        bool wake;
        {
            std::lock_guard<std::mutex> lock(w->mutex);
            w->head += piece;
            wake = w->head - w->tail >= w->batch;
        }
        if (wake)
            w->more.notify_one();
        bytes += piece;
        length -= piece;
    }
}

}  // namespace kx
