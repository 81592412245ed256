// SPDX-License-Identifier: Apache-2.0
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
// An orphan is a block left in the load pool without an owner by a detach that could not lock
// the load pool; it serves no sound until _sndFree destroys it. Up to `orphans` of them are
// accepted and are not counted in `expected`.
std::string blockInvariant(int expected = kx::NUM_STREAM_BLOCKS, int orphans = 0);
// Sets flags and the state of a sound under the sound pool's lock; returns iSetStreamState's
// result.
int32_t setSoundState(kx::SoundHandle sound, uint32_t state, uint32_t flags = kx::SND_PLAY);
// State of a sound, read under the sound pool's lock.
uint32_t soundState(kx::SoundHandle sound);
// Whether the loader still has file data to queue for the sound (its block's reading byte; false
// without a block), read under the sound pool's lock.
bool soundReading(kx::SoundHandle sound);

// What a stopped library must look like: device handle 0, every pool clear, no period buffer,
// and nothing alive, allocated or open on the platform (task threads, critical sections, heap
// blocks, device handles, files). Task threads get up to 10 s to end (a task deleted by force
// ends at its next kernel call). Returns "" when all holds, else what is left.
std::string leftovers();

}  // namespace kxtest
