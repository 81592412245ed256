// Test support: the engine's records inspected through its own pools.
#include "tests/support/inspect.h"

#include <set>
#include <sstream>

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

std::string blockInvariant(int expected) {
    std::ostringstream problems;
    std::set<kx::StreamBlock*> seen;
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
        if (owner == nullptr || owner->block != b)
            problems << "loading block not its owner's; ";
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

}  // namespace kxtest
