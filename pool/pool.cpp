// SPDX-License-Identifier: Apache-2.0
// Lockable pools: the list work of every shared list of the module, each done inside the pool's
// own critical section (entered and left through the pool's lock table). The list itself is the
// first three words of the Pool, so the kxlist primitives work on the Pool cast to a KxList.
// InitPool and ExitPool take no lock: they run only while no other task uses the pool.
#include "pool/pool.h"
#include "platform/kernel/rtk_sections.h"

#include <cstddef>
#include <cstring>

namespace kx {
namespace {

static_assert(offsetof(Pool, head) == offsetof(KxList, head), "Pool begins with a KxList");
static_assert(offsetof(Pool, tail) == offsetof(KxList, tail), "Pool begins with a KxList");
static_assert(offsetof(Pool, tailPred) == offsetof(KxList, tailPred), "Pool begins with a KxList");
static_assert(sizeof(KxNode) == 2 * sizeof(void*), "a node's links are two words");

KxList* asList(Pool* pool) {
    return reinterpret_cast<KxList*>(pool);
}

// The walking rule: a node is real while it is not null and its successor is not null. The null
// test on the node itself ends the walk at once on a zero-filled pool, whose head is null.
bool isReal(const KxNode* node) {
    return node != nullptr && node->succ != nullptr;
}

}  // namespace

int32_t InitPool(Pool* pool, const char* name) {
    if (pool == nullptr)
        return 1;
    kxlistHeadInit(asList(pool));
    pool->createLock = RtkCreateCriticalSection;
    pool->deleteLock = RtkDeleteCriticalSection;
    pool->enterLock = RtkEnterCriticalSection;
    pool->leaveLock = RtkLeaveCriticalSection;
    // Creation calls the kernel itself; the table's entries are what locking and teardown use
    // from here on. lock is not cleared first: records arrive zero-filled, and a failed creation
    // leaves it 0, so the pool then reads as not initialised.
    return RtkCreateCriticalSection(name, &pool->lock);
}

int32_t ExitPool(Pool* pool, PoolDestroy destroy) {
    // A null destroy leaves everything, even the lock, as it is: the caller keeps the pool.
    if (destroy == nullptr || pool == nullptr)
        return 1;
    // Never initialised, or exited already: teardown of pools in any state is an ordinary
    // path of a failed start-up.
    if (pool->lock == 0)
        return 1;
    // Each pop takes and leaves the lock, so destroy runs unlocked and may block freely.
    void* node = nullptr;
    while (PopPool(pool, &node, 1) == 0)
        destroy(node);
    // A pop fails here only when the lock cannot be entered. Teardown runs with no other user
    // of the pool, so what is still linked is unlinked without the lock and destroyed too,
    // rather than abandoned with its memory and open files.
    while (KxNode* rest = kxlistDeleteFirst(asList(pool)))
        destroy(rest);
    pool->deleteLock(pool->lock);
    std::memset(static_cast<void*>(pool), 0, sizeof(*pool));
    return 0;
}

int32_t LockPool(Pool* pool) {
    if (pool == nullptr || pool->lock == 0)
        return 1;
    return pool->enterLock(pool->lock);
}

int32_t UnlockPool(Pool* pool) {
    if (pool == nullptr || pool->lock == 0)
        return 1;
    return pool->leaveLock(pool->lock);
}

int32_t PushPool(Pool* pool, void* node, uint8_t atTail) {
    if (pool == nullptr || node == nullptr)
        return 1;
    KxNode* n = static_cast<KxNode*>(node);
    // The links are reset before the lock is taken: the node is not yet shared, and a push that
    // then fails still leaves it cleanly outside every list.
    if (kxlistNodeInit(n) == 0)
        return 1;
    if (LockPool(pool) != 0)
        return 1;
    if (atTail != 0) {
        kxlistInsertPrev(kxlistTailNode(asList(pool)), n);
    } else {
        kxlistInsertNext(kxlistHeadNode(asList(pool)), n);
    }
    UnlockPool(pool);
    return 0;
}

int32_t PopPool(Pool* pool, void** out, uint8_t fromHead) {
    if (pool == nullptr || out == nullptr)
        return 1;
    // Cleared before locking, so every failure below leaves the caller a null node.
    *out = nullptr;
    if (LockPool(pool) != 0)
        return 1;
    KxNode* node = fromHead != 0 ? kxlistDeleteFirst(asList(pool)) : kxlistDeleteLast(asList(pool));
    *out = node;
    UnlockPool(pool);
    return node == nullptr ? 1 : 0;
}

int32_t DeletePool(Pool* pool, void* node, PoolDestroy destroy) {
    if (pool == nullptr || node == nullptr)
        return 1;
    if (LockPool(pool) != 0)
        return 1;
    KxNode* n = static_cast<KxNode*>(node);
    // A node with a missing link is in no list (never pushed, or popped already): refusing it
    // keeps destroy from running twice on one record.
    if (n->pred == nullptr || n->succ == nullptr) {
        UnlockPool(pool);
        return 1;
    }
    kxlistDelete(n);
    // destroy runs with the lock held, so no other task can find the node half released.
    if (destroy != nullptr)
        destroy(n);
    UnlockPool(pool);
    return 0;
}

int32_t FindPool(Pool* pool, const void* key, void** out, PoolCompare compare) {
    if (pool == nullptr || key == nullptr || out == nullptr || compare == nullptr)
        return 1;
    if (LockPool(pool) != 0) {
        *out = nullptr;
        return 1;
    }
    for (KxNode* node = pool->head; isReal(node); node = node->succ) {
        *out = node;
        // Only the low 16 bits of a compare result count: callers' compare functions return
        // module status codes, whose low half is what the module tests throughout.
        if ((static_cast<uint32_t>(compare(node, key)) & 0xFFFFu) == 0) {
            UnlockPool(pool);
            return 0;
        }
    }
    *out = nullptr;
    UnlockPool(pool);
    return 1;
}

int32_t SizePool(Pool* pool) {
    if (pool == nullptr || LockPool(pool) != 0)
        return 0;
    int32_t count = 0;
    for (KxNode* node = pool->head; isReal(node); node = node->succ)
        ++count;
    UnlockPool(pool);
    return count;
}

}  // namespace kx
