// SPDX-License-Identifier: Apache-2.0
// The kernel heap: a static arena of blocks laid end to end, each with a 16-byte header giving
// its size and whether it is live. Allocation takes the first free block that fits (merging free
// neighbours as it walks) and splits off the rest; free marks the block and merges it with the
// free blocks after it. Guarded by IrqGuard: tasks preempt each other only through interrupts,
// and no interrupt handler allocates.
#include "metal/kernel/heap.h"

#include <cstring>

#include "metal/boot/console.h"
#include "metal/boot/cpu.h"
#include "platform/files/kxfile.h"

namespace kx::metal {
namespace {

constexpr uint32_t kArenaBytes = 24u << 20;
constexpr uint32_t kAlign = 16;
constexpr uint32_t kMagicFree = 0x46524545;  // "FREE"
constexpr uint32_t kMagicLive = 0x4C495645;  // "LIVE"

struct Header {
    uint32_t size;  // of the whole block, header included; a multiple of kAlign
    uint32_t magic;
    uint32_t requested;
    uint32_t reserved;
};
static_assert(sizeof(Header) == kAlign);

alignas(kAlign) uint8_t arena[kArenaBytes];
uint32_t arenaBytes = kArenaBytes;  // the part in use, set once at boot
HeapStats stats;

Header* at(uint32_t offset) {
    return reinterpret_cast<Header*>(arena + offset);
}

// Joins the free blocks that follow a free block into it.
void mergeAfter(uint32_t offset) {
    Header* h = at(offset);
    for (;;) {
        uint32_t next = offset + h->size;
        if (next >= arenaBytes || at(next)->magic != kMagicFree)
            return;
        h->size += at(next)->size;
        at(next)->magic = 0;
    }
}

}  // namespace

void heapInit(uint32_t limitBytes) {
    arenaBytes = limitBytes == 0 || limitBytes > kArenaBytes ? kArenaBytes : limitBytes & ~15u;
    *at(0) = Header{arenaBytes, kMagicFree, 0, 0};
    stats = HeapStats{};
    stats.arena = arenaBytes;
}

HeapStats heapStats() {
    IrqGuard off;
    return stats;
}

}  // namespace kx::metal

namespace kx {

using metal::Header;

void* kxcalloc(size_t count, size_t size) {
    if (size != 0 && count > (SIZE_MAX - 2 * metal::kAlign) / size) {
        metal::IrqGuard off;
        metal::stats.failures++;
        return nullptr;
    }
    uint32_t want = static_cast<uint32_t>(count * size);
    uint32_t need = (want + sizeof(Header) + metal::kAlign - 1) & ~(metal::kAlign - 1);
    Header* found = nullptr;
    {
        metal::IrqGuard off;
        for (uint32_t offset = 0; offset < metal::arenaBytes; offset += metal::at(offset)->size) {
            Header* h = metal::at(offset);
            if (h->magic != metal::kMagicFree)
                continue;
            metal::mergeAfter(offset);
            if (h->size < need)
                continue;
            if (h->size - need >= 2 * sizeof(Header)) {
                *metal::at(offset + need) = Header{h->size - need, metal::kMagicFree, 0, 0};
                h->size = need;
            }
            h->magic = metal::kMagicLive;
            h->requested = want;
            found = h;
            metal::stats.used += h->size;
            metal::stats.blocks++;
            metal::stats.allocations++;
            if (metal::stats.used > metal::stats.peak)
                metal::stats.peak = metal::stats.used;
            break;
        }
        if (found == nullptr)
            metal::stats.failures++;
    }
    if (found == nullptr)
        return nullptr;
    std::memset(found + 1, 0, want);
    return found + 1;
}

void kxfree(void* block) {
    if (block == nullptr)
        return;
    Header* h = static_cast<Header*>(block) - 1;
    metal::IrqGuard off;
    if (h->magic != metal::kMagicLive) {
        metal::consolePrintf("kxaudio-metal: kxfree of a block the heap does not hold (%p)\n",
                             block);
        return;
    }
    h->magic = metal::kMagicFree;
    metal::stats.used -= h->size;
    metal::stats.blocks--;
    metal::mergeAfter(static_cast<uint32_t>(reinterpret_cast<uint8_t*>(h) - metal::arena));
}

int64_t kxHeapOutstanding() {
    return metal::heapStats().blocks;
}
uint64_t kxHeapAllocations() {
    return metal::heapStats().allocations;
}

}  // namespace kx
