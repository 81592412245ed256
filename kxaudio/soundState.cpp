// SPDX-License-Identifier: Apache-2.0
// Sound states and stream blocks: the state changes of a sound (stop, pause, play, start from
// the beginning), lending a StreamBlock from the block pool to the load pool and giving it back,
// and the destroy functions of sounds and blocks. Called with the sound pool's lock held (by the
// admission code and by the mixer); takes the load pool's or the block pool's lock inside, never
// both at once, so locks nest only as sound pool then load pool, or sound pool then block pool.
#include <cstring>

#include "kxaudio/audioLib.h"
#include "platform/files/kxfile.h"
#include "platform/kernel/kxq.h"
#include "platform/kernel/rtk_events.h"

namespace kx {
namespace {

// Gives a block that belongs to no pool back to the block pool as a free block; destroys it if
// even that fails. The caller clears the sound's block field.
void returnBlock(StreamBlock* block) {
    if (PushPool(&audioLib.blockPool, block, 1) != 0)
        iFreeLoad(block);
}

// Rewinds (or reopens) the sound's file at its first sample and attaches a free block.
int32_t startFromBeginning(SoundRecord* sound) {
    iDetachLoad(sound);  // whatever is still queued is discarded
    if (resetWavFile(sound->fd, sound->dataOffset) < 0) {
        sound->fd = closeWavFile(sound->fd);
        sound->fd = openWavFile(sound->path, sound->dataOffset);
        // openWavFile leaves the file at position 0 when its seek fails; reading from there
        // would play the header as samples. A file that cannot be placed at its first sample
        // is refused like one that does not open.
        if (sound->fd != -1 && resetWavFile(sound->fd, sound->dataOffset) < 0)
            sound->fd = closeWavFile(sound->fd);
    }
    if (sound->fd == -1)
        return SND_ERR_FILE;
    sound->remaining = sound->dataLength;

    void* node = nullptr;
    PopPool(&audioLib.blockPool, &node, 1);
    auto* block = static_cast<StreamBlock*>(node);
    sound->block = block;
    if (block != nullptr) {
        // Published to the loader by the load pool's lock, taken by the push and by its pass.
        sharedStore(block->owner, sound);
        sharedStore(block->reading, uint8_t{1});
        sharedStore(block->wantsData, uint8_t{1});
        if (PushPool(&audioLib.loader.pool, block, 1) != 0) {
            sharedStore(block->owner, static_cast<SoundRecord*>(nullptr));
            sharedStore(block->reading, uint8_t{0});
            sharedStore(block->wantsData, uint8_t{0});
            returnBlock(block);
            sound->block = nullptr;
        }
    }
    // With no free block the sound still counts as playing; it is neither read nor mixed.
    RtkSendTaskEvent(audioLib.loader.id, EV_LOAD);
    sound->state = SND_PLAYING;
    return SND_OK;
}

}  // namespace

int32_t iSetStreamState(SoundRecord* sound, uint32_t state) {
    if (sound == nullptr)
        return SND_ERR_PARAM;
    requireHeld(audioLib.mixer.pool, SOUND_POOL_NAME, __func__);
    switch (state) {
        case SND_STOPPED:
            sharedStore(sound->flags, 0u);
            iDetachLoad(sound);
            sound->fd = closeWavFile(sound->fd);
            sound->state = SND_STOPPED;
            return SND_OK;
        case SND_PAUSED:
            // Block, queue and file stay as they are; a stopped sound stays stopped.
            if (sound->state != SND_STOPPED)
                sound->state = SND_PAUSED;
            return SND_OK;
        case SND_PLAYING:
            if (sound->state == SND_PAUSED) {
                sound->state = SND_PLAYING;  // resumes where the queue stands
                return SND_OK;
            }
            return startFromBeginning(sound);
        default:
            return SND_ERR_PARAM;
    }
}

int32_t iDetachLoad(SoundRecord* sound) {
    if (sound == nullptr || sound->block == nullptr)
        return 1;
    if (audioLib.device != 0)
        requireHeld(audioLib.mixer.pool, SOUND_POOL_NAME, __func__);
    StreamBlock* block = sound->block;
    sharedStore(block->owner, static_cast<SoundRecord*>(nullptr));
    sharedStore(block->reading, uint8_t{0});
    sharedStore(block->wantsData, uint8_t{0});

    // Waits for a loader pass in progress: the loader holds the load pool's lock for a whole
    // pass, so once this returns it never touches the block or the sound's file again.
    if (DeletePool(&audioLib.loader.pool, block, nullptr) != 0) {
        sound->block = nullptr;
        // Link changes of the load pool happen only under the sound pool's lock, which the
        // caller holds, so the links can be read here without the load pool's lock.
        if (block->succ == nullptr || block->pred == nullptr) {
            iFreeLoad(block);  // in no pool at all: nobody else can reach it
        }
        // Otherwise the load pool could not be locked and the block is still linked there. It
        // must not be destroyed while linked: it stays in the load pool without an owner, which
        // the loader skips, until _sndFree destroys the load pool's blocks.
        return 1;
    }

    if (block->mixBuffer != nullptr)
        std::memset(block->mixBuffer, block->mixFill, block->mixLength);
    if (block->readBuffer != nullptr)
        std::memset(block->readBuffer, block->readFill, block->readLength);
    kxqReset(block->queue);
    sound->block = nullptr;
    if (PushPool(&audioLib.blockPool, block, 1) != 0) {
        iFreeLoad(block);
        return 1;
    }
    return 0;
}

int32_t iFreeSound(void* node) {
    auto* sound = static_cast<SoundRecord*>(node);
    if (sound == nullptr)
        return 1;
    iDetachLoad(sound);
    sound->fd = closeWavFile(sound->fd);
    kxfree(sound->path);
    kxfree(sound);
    return 0;
}

void iFreeBlocks(StreamBlock* block) {
    if (block->mixBuffer != nullptr) {
        kxfree(block->mixBuffer);
        block->mixBuffer = nullptr;
    }
    if (block->readBuffer != nullptr) {
        kxfree(block->readBuffer);
        block->readBuffer = nullptr;
    }
    kxqFree(block->queue);
    block->queue = 0;
}

int32_t iFreeLoad(void* node) {
    auto* block = static_cast<StreamBlock*>(node);
    if (block == nullptr)
        return 1;
    iFreeBlocks(block);
    kxfree(block);
    return 0;
}

}  // namespace kx
