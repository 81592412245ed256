// SPDX-License-Identifier: Apache-2.0
// A task's pending codes, shared by both kernels: at most RTK_PENDING_MAX distinct 16-bit codes,
// oldest first. A code sent again while pending merges with it; a further distinct code is
// dropped. The set has no lock of its own: each kernel keeps one in every task record and guards
// it as it guards the record (threads: the kernel mutex; oneproc: its one host thread).
#pragma once

#include <cstdint>

#include "platform/kernel/rtk_events.h"

namespace kx {

struct PendingCodes {
    uint16_t codes[RTK_PENDING_MAX] = {};  // codes[0..count), oldest first, all distinct
    int count = 0;
};

enum class PendingAdd : uint8_t {
    Added,    // appended as the newest code
    Merged,   // already pending: one delivery serves both sends
    Dropped,  // the set is full; the caller counts the loss
};

inline PendingAdd pendingAdd(PendingCodes* set, uint16_t code) {
    for (int i = 0; i < set->count; ++i) {
        if (set->codes[i] == code)
            return PendingAdd::Merged;
    }
    if (set->count == RTK_PENDING_MAX)
        return PendingAdd::Dropped;
    set->codes[set->count++] = code;
    return PendingAdd::Added;
}

// Whether a code sharing at least one bit with mask is pending.
inline bool pendingHas(const PendingCodes& set, uint16_t mask) {
    for (int i = 0; i < set.count; ++i) {
        if ((set.codes[i] & mask) != 0)
            return true;
    }
    return false;
}

// Takes the oldest pending code that mask selects; later codes keep their order.
inline bool pendingTake(PendingCodes* set, uint16_t mask, uint16_t* code) {
    for (int i = 0; i < set->count; ++i) {
        if ((set->codes[i] & mask) == 0)
            continue;
        *code = set->codes[i];
        for (int j = i + 1; j < set->count; ++j)
            set->codes[j - 1] = set->codes[j];
        --set->count;
        return true;
    }
    return false;
}

}  // namespace kx
