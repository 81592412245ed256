// SPDX-License-Identifier: Apache-2.0
// Test support: the engine's records inspected through its own pools.
#include "tests/support/engine_state.h"

#include <chrono>
#include <cstring>
#include <set>
#include <sstream>
#include <thread>

#include "platform/devices/dm_host.h"
#include "platform/files/kxfile_host.h"
#include "platform/kernel/rtk_host.h"

namespace kxtest {

using kx::audioLib;

namespace {

template <class Visit>
void walk(kx::Pool* pool, Visit visit) {
    for (kx::KxNode* n = pool->head; n != nullptr && n->succ != nullptr; n = n->succ)
        visit(n);
}

}  // namespace

int freeBlocks() {
    return kx::SizePool(&audioLib.blockPool);
}
int loadBlocks() {
    return kx::SizePool(&audioLib.loader.pool);
}

std::string blockInvariant(int expected, int orphans) {
    std::ostringstream problems;
    std::set<kx::StreamBlock*> seen;
    int orphaned = 0;
    kx::LockPool(&audioLib.mixer.pool);
    kx::LockPool(&audioLib.blockPool);
    walk(&audioLib.blockPool, [&](kx::KxNode* n) {
        auto* b = reinterpret_cast<kx::StreamBlock*>(n);
        if (!seen.insert(b).second)
            problems << "free block listed twice; ";
        if (kx::sharedLoad(b->owner) != nullptr)
            problems << "free block with an owner; ";
    });
    kx::UnlockPool(&audioLib.blockPool);
    kx::LockPool(&audioLib.loader.pool);
    walk(&audioLib.loader.pool, [&](kx::KxNode* n) {
        auto* b = reinterpret_cast<kx::StreamBlock*>(n);
        if (!seen.insert(b).second)
            problems << "block in two pools; ";
        kx::SoundRecord* owner = kx::sharedLoad(b->owner);
        if (owner == nullptr && !kx::sharedLoad(b->reading) && !kx::sharedLoad(b->wantsData)) {
            ++orphaned;
            seen.erase(b);
        } else if (owner == nullptr || owner->block != b) {
            problems << "loading block not its owner's; ";
        }
    });
    kx::UnlockPool(&audioLib.loader.pool);
    walk(&audioLib.mixer.pool, [&](kx::KxNode* n) {
        auto* s = reinterpret_cast<kx::SoundRecord*>(n);
        if (s->state == kx::SND_STOPPED && (s->block != nullptr || s->fd != -1))
            problems << "stopped sound holds a block or file; ";
        if (s->block != nullptr && seen.count(s->block) == 0)
            problems << "sound's block in no pool; ";
    });
    kx::UnlockPool(&audioLib.mixer.pool);
    if (static_cast<int>(seen.size()) != expected)
        problems << seen.size() << " blocks exist, expected " << expected << "; ";
    if (orphaned > orphans)
        problems << orphaned << " ownerless blocks in the load pool, accepted " << orphans << "; ";
    return problems.str();
}

int32_t setSoundState(kx::SoundHandle sound, uint32_t state, uint32_t flags) {
    kx::LockPool(&audioLib.mixer.pool);
    if (state == kx::SND_PLAYING)
        kx::sharedStore(sound->flags, flags);
    int32_t result = kx::iSetStreamState(sound, state);
    kx::UnlockPool(&audioLib.mixer.pool);
    return result;
}

uint32_t soundState(kx::SoundHandle sound) {
    kx::LockPool(&audioLib.mixer.pool);
    uint32_t state = sound->state;
    kx::UnlockPool(&audioLib.mixer.pool);
    return state;
}

bool soundReading(kx::SoundHandle sound) {
    kx::LockPool(&audioLib.mixer.pool);
    kx::StreamBlock* block = sound->block;
    bool reading = block != nullptr && kx::sharedLoad(block->reading) != 0;
    kx::UnlockPool(&audioLib.mixer.pool);
    return reading;
}

namespace {

// A pool that exited is all zeros. One whose lock could not be created keeps its empty list and
// lock table but reads as not initialised (lock 0), so every operation on it fails harmlessly.
bool poolIsClear(kx::Pool& pool) {
    kx::Pool zero;
    std::memset(&zero, 0, sizeof zero);
    if (std::memcmp(&pool, &zero, sizeof zero) == 0)
        return true;
    return pool.lock == 0 && pool.head == reinterpret_cast<kx::KxNode*>(&pool.tail) &&
           kx::SizePool(&pool) == 0;
}

}  // namespace

std::string leftovers() {
    std::string out;
    if (audioLib.device != 0)
        out += "device handle set; ";
    if (!poolIsClear(audioLib.mixer.pool))
        out += "sound pool not clear; ";
    if (!poolIsClear(audioLib.loader.pool))
        out += "load pool not clear; ";
    if (!poolIsClear(audioLib.blockPool))
        out += "block pool not clear; ";
    if (audioLib.stream.periodBuffer != nullptr)
        out += "period buffer left; ";
    // A task deleted by force ends at its next kernel call, a moment after _sndFree returns:
    // its thread gets a generous bound to finish before it counts as left behind.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (kx::RtkThreadsAlive() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (kx::RtkThreadsAlive() != 0)
        out += "threads alive; ";
    if (kx::RtkSectionsAlive() != 0)
        out += "critical sections alive; ";
    if (int64_t blocks = kx::kxHeapOutstanding(); blocks != 0)
        out += std::to_string(blocks) + " heap blocks outstanding; ";
    if (kx::DmOpenHandles() != 0)
        out += "device handles open; ";
    if (int files = kx::kxOpenFiles(); files != 0)
        out += std::to_string(files) + " files open; ";
    return out;
}

}  // namespace kxtest
