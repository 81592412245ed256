// SPDX-License-Identifier: Apache-2.0
// Play admission: play, pause and stop of one sound or of all, decided and carried out under the
// sound pool's lock, so a request never sees a mixer cycle half done. At most four sounds play
// at once, an exclusive sound plays alone, and the sole playing sound may always restart.
#include "kxaudio/audioLib.h"

namespace kx {
namespace {

int32_t startSound(SoundRecord* sound, uint32_t flags) {
    sharedStore(sound->flags, flags);  // the loader reads SND_LOOP without the sound pool's lock
    return iSetStreamState(sound, SND_PLAYING);
}

// Applies the playing rules; the caller holds the sound pool's lock.
int32_t admitPlay(Pool* pool, SoundRecord* sound, uint32_t flags) {
    requireHeld(*pool, SOUND_POOL_NAME, __func__);
    bool found = false;
    bool any = false;
    uint32_t playing = 0;
    bool exclusivePlaying = false;
    for (KxNode* node = pool->head; node != nullptr && node->succ != nullptr; node = node->succ) {
        auto* s = reinterpret_cast<SoundRecord*>(node);
        any = true;
        if (s == sound)
            found = true;
        if (s->state != SND_PLAYING)
            continue;
        ++playing;
        if (!(flags & SND_EXCLUSIVE) && (sharedLoad(s->flags) & SND_EXCLUSIVE))
            exclusivePlaying = true;
    }
    if (!any || !found)
        return SND_ERR_PARAM;
    if (playing == 1 && sound->state == SND_PLAYING)
        return startSound(sound, flags);
    if (flags & SND_EXCLUSIVE) {
        // Stops every playing sound, the named one included; paused sounds keep their place.
        for (KxNode* node = pool->head; node != nullptr && node->succ != nullptr;
             node = node->succ) {
            auto* s = reinterpret_cast<SoundRecord*>(node);
            if (s->state == SND_PLAYING)
                iSetStreamState(s, SND_STOPPED);
        }
        return startSound(sound, flags);
    }
    if (exclusivePlaying)
        return SND_ERR_EXCLUSIVE;
    if (playing >= MAX_PLAYING)
        return SND_ERR_TOO_MANY;
    return startSound(sound, flags);
}

// Pause or stop of one named sound: 0 when it is in the pool, whatever the change returned.
int32_t changeOne(Pool* pool, SoundRecord* sound, uint32_t state) {
    requireHeld(*pool, SOUND_POOL_NAME, __func__);
    for (KxNode* node = pool->head; node != nullptr && node->succ != nullptr; node = node->succ) {
        if (reinterpret_cast<SoundRecord*>(node) == sound) {
            iSetStreamState(sound, state);
            return SND_OK;
        }
    }
    return SND_ERR_PARAM;
}

// Pause of all playing sounds, or stop of all playing and paused sounds, in pool order.
int32_t changeAll(Pool* pool, uint32_t state) {
    requireHeld(*pool, SOUND_POOL_NAME, __func__);
    for (KxNode* node = pool->head; node != nullptr && node->succ != nullptr; node = node->succ) {
        auto* s = reinterpret_cast<SoundRecord*>(node);
        bool affected = state == SND_PAUSED ? s->state == SND_PLAYING : s->state != SND_STOPPED;
        if (affected)
            iSetStreamState(s, state);
    }
    return SND_OK;
}

}  // namespace

int32_t iSetSoundParams(SoundRecord* sound, uint32_t flags, uint32_t state) {
    Pool* pool = &audioLib.mixer.pool;
    // A request that cannot take the lock has done nothing, and says so: reporting success
    // here would tell the caller a sound plays, pauses or stops when nothing changed.
    if (LockPool(pool) != 0)
        return SND_ERR_NOT_READY;
    int32_t result;
    if (state == SND_PLAYING) {
        result = admitPlay(pool, sound, flags);
    } else if (sound != nullptr) {
        result = changeOne(pool, sound, state);
    } else {
        result = changeAll(pool, state);
    }
    UnlockPool(pool);
    return result;
}

int32_t _sndPlay(SoundHandle handle, uint32_t exclusive, uint32_t loop) {
    if (audioLib.device == 0)
        return SND_ERR_NOT_READY;
    uint32_t flags = SND_PLAY;
    if (exclusive & 0xFF)
        flags |= SND_EXCLUSIVE;
    if (loop & 0xFF)
        flags |= SND_LOOP;
    return iSetSoundParams(handle, flags, SND_PLAYING);
}

int32_t _sndPause(SoundHandle handle) {
    if (audioLib.device == 0)
        return 1;
    return iSetSoundParams(handle, 0, SND_PAUSED);
}

int32_t _sndStop(SoundHandle handle) {
    if (audioLib.device == 0)
        return 1;
    return iSetSoundParams(handle, 0, SND_STOPPED);
}

}  // namespace kx
