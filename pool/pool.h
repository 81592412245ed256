// SPDX-License-Identifier: Apache-2.0
// Lockable pools: a sentinel doubly linked list of caller-owned records together with its own
// kernel critical section. Every list that more than one task touches is a Pool. The pool links
// records; it never allocates or frees them, and hands each to the caller's destroy function.
// All operations return 0 for success and 1 for failure unless said otherwise.
#pragma once

#include <cstdint>

#include "platform/kernel/kxlist.h"
#include "platform/kernel/rtk_sections.h"
#include "platform/kernel/rtk_types.h"

namespace kx {

using PoolCreateLock = int32_t (*)(const char* name, RtkHandle* handle);
using PoolHandleOp = int32_t (*)(RtkHandle handle);
// Destroy functions take a node over; their result is ignored.
using PoolDestroy = int32_t (*)(void* node);
// Compare functions: 0 in the low 16 bits is a match, anything else is not.
using PoolCompare = int32_t (*)(void* node, const void* key);

// Eight machine words. {head, tail} is the head node and {tail, tailPred} the tail node.
struct Pool {
    KxNode* head;      // first real node, or &tail when empty
    KxNode* tail;      // always null
    KxNode* tailPred;  // last real node, or the pool itself when empty
    RtkHandle lock;    // critical section; 0 means not initialised
    PoolCreateLock createLock;
    PoolHandleOp deleteLock;  // teardown calls through this
    PoolHandleOp enterLock;   // LockPool calls through this
    PoolHandleOp leaveLock;   // UnlockPool calls through this
};
static_assert(sizeof(Pool) == 8 * sizeof(void*), "a Pool is eight machine words");

// Makes the empty list and creates the lock under name; returns the creation status unchanged.
// 1 for a null pool. Only for zero-filled records.
int32_t InitPool(Pool* pool, const char* name);
// Pops every node and hands it to destroy (without the lock held), deletes the lock and
// zero-fills the pool. Only while no other task uses the pool: nodes that cannot be popped
// because the lock cannot be entered are unlinked without it and destroyed all the same.
// Does nothing for a null destroy, a null pool or a pool not initialised.
int32_t ExitPool(Pool* pool, PoolDestroy destroy);
// Enter / leave the pool's critical section: 1 for a null or uninitialised pool, else the
// kernel's result unchanged.
int32_t LockPool(Pool* pool);
int32_t UnlockPool(Pool* pool);
// Links node last (atTail non-zero) or first. A failed push leaves the node outside the pool.
int32_t PushPool(Pool* pool, void* node, uint8_t atTail);
// Unlinks the first (fromHead non-zero) or last node into *out; 1 and *out null when empty or
// failed; a null out returns 1 untouched.
int32_t PopPool(Pool* pool, void** out, uint8_t fromHead);
// Unlinks a linked node and passes it to destroy (may be null) with the lock held. 1 and no
// destroy when the node is not linked (either link null) or the lock fails.
int32_t DeletePool(Pool* pool, void* node, PoolDestroy destroy);
// Finds the first node, counted from head, for which compare(node, key) matches: 0 and *out set,
// or 1 and *out null. Any null argument returns 1 without touching out.
int32_t FindPool(Pool* pool, const void* key, void** out, PoolCompare compare);
// Number of real nodes; 0 on any failure.
int32_t SizePool(Pool* pool);

}  // namespace kx
