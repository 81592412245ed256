// Test support: looking into the engine's records (through the module's own pools) and driving
// sound states directly, the way the admission code does, with the sound pool's lock held.
#pragma once

#include <cstdint>
#include <string>

#include "kxaudio/audioLib.h"

namespace kxtest {

// Free blocks in the block pool, and blocks in the load pool.
int freeBlocks();
int loadBlocks();
// Checks that every StreamBlock is in exactly one place: free in the block pool with no owner, or
// in the load pool attached to the one sound whose block field names it; that no stopped sound
// holds a block or an open file; and that `expected` blocks exist. Returns "" when all holds,
// else what is wrong.
std::string blockInvariant(int expected = kx::NUM_STREAM_BLOCKS);
// Sets flags and the state of a sound under the sound pool's lock; returns iSetStreamState's
// result.
int32_t setSoundState(kx::SoundHandle sound, uint32_t state, uint32_t flags = kx::SND_PLAY);
// State of a sound, read under the sound pool's lock.
uint32_t soundState(kx::SoundHandle sound);

}  // namespace kxtest
