// SPDX-License-Identifier: Apache-2.0
// What kxplay knows about the sounds it created: which NAME names which handle, which sounds
// play, which of them hold one of the module's stream blocks (and so are heard) and how far
// each has got. The operation table reports no state, so this follows the module's rules from
// the statuses it returns and the files' data lengths. Used by the runner's thread only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "kxaudio/kxaudio.h"

namespace kx {

enum class TrackedState : uint8_t { Stopped, Playing, Paused };

struct TrackedSound {
    SoundHandle handle = nullptr;
    uint32_t dataLength = 0;  // sample bytes of the file
    TrackedState state = TrackedState::Stopped;
    bool loop = false;         // the last successful play asked to loop
    uint64_t periodsLeft = 0;  // periods still to be heard while playing (not looping)
    bool block = false;        // holds one of SND_STREAM_BLOCKS: heard while playing
    uint64_t heard = 0;        // periods heard since its last start from the beginning
};

struct PlayTracker {
    uint32_t periodBytes = 0;                  // P: frames per period * 4
    std::vector<TrackedSound> sounds;          // in creation order
    std::map<std::string, SoundHandle> names;  // NAME -> handle (bound names only)
};

// Starts an empty tracker for periods of periodBytes bytes (at least 1).
void trackerInit(PlayTracker* tracker, uint32_t periodBytes);

// The handle NAME names, or null when it was never bound or its sound was deleted.
SoundHandle trackerLookup(const PlayTracker& tracker, const std::string& name);

// Periods a sound of dataLength bytes is heard for once started: ceil(dataLength / P), at least
// one (the mixer stops an empty sound in the first cycle after its start).
uint64_t trackerPeriodsOf(const PlayTracker& tracker, uint32_t dataLength);

// Records what an operation returned. `handle` is what the operation was given (null for "all"
// on pause and stop), `status` what it returned.
// create: 0 binds NAME to a new stopped sound; SND_ERR_EXISTS binds NAME to the existing sound
// `handle`; any other status unbinds NAME.
void trackerCreated(PlayTracker* tracker, const std::string& name, int32_t status,
                    SoundHandle handle, uint32_t dataLength);
void trackerPlayed(PlayTracker* tracker, SoundHandle handle, bool exclusive, bool loop,
                   int32_t status);
void trackerPaused(PlayTracker* tracker, SoundHandle handle, int32_t status);
void trackerStopped(PlayTracker* tracker, SoundHandle handle, int32_t status);
// 0 forgets the sound and unbinds every NAME bound to it.
void trackerDeleted(PlayTracker* tracker, SoundHandle handle, int32_t status);

// One more period was heard: every playing sound with a block counts it, and one that does not
// loop and has been heard for its whole data is stopped and gives its block back, as the mixer
// stops it. A playing sound without a block is not mixed, so it neither counts nor stops.
void trackerAdvance(PlayTracker* tracker);

// Periods until the first heard sound that does not loop stops by itself (at least 1), or
// UINT64_MAX when no such sound plays.
uint64_t trackerPeriodsToNextStop(const PlayTracker& tracker);

// Whether any sound is heard: playing with a block. A sound playing without one stays silent
// until a command starts it again.
bool trackerAnyPlaying(const PlayTracker& tracker);
// Whether a heard sound loops (and so never ends by itself); *name (if given) receives a NAME
// bound to it, or "" when its NAME was bound to another sound since.
bool trackerLooping(const PlayTracker& tracker, std::string* name = nullptr);

}  // namespace kx
