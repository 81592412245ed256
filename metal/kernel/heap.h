// SPDX-License-Identifier: Apache-2.0
// The kernel heap behind kxcalloc and kxfree: one arena, first fit, neighbours merged, every
// block 16-byte aligned. Guarded by turning interrupts off (no handler allocates).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx::metal {

struct HeapStats {
    uint32_t arena;        // bytes the heap manages
    uint32_t used;         // bytes in live blocks now, headers included
    uint32_t peak;         // the most `used` has been
    uint32_t blocks;       // live blocks
    uint32_t failures;     // allocations refused
    uint32_t allocations;  // allocations served
};

// limitBytes 0 takes the whole arena; a smaller limit (rounded to 16 bytes) makes a heap that
// runs out early, for tests.
void heapInit(uint32_t limitBytes);
HeapStats heapStats();

}  // namespace kx::metal
