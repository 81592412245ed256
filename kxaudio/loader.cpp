// SPDX-License-Identifier: Apache-2.0
// The loader task "tload": woken by EV_LOAD, it walks the load pool under the load pool's lock
// and tops up each attached block's byte queue with one period read from its sound's file.
// It holds only the load pool's lock; the sound fields it uses (descriptor, remaining count,
// data offset and length) are safe without the sound pool's lock because a block is detached,
// which needs this lock, before its sound's file is closed or the sound destroyed.
#include "kxaudio/audioLib.h"
#include "platform/kernel/kxq.h"
#include "platform/kernel/rtk_events.h"
#include "platform/kernel/rtk_tasks.h"
#include "platform/kernel/rtk_types.h"

namespace kx {
namespace {

// One pass over the load pool; the caller holds its lock.
void loadPass(AudioLib* lib) {
    for (KxNode* node = lib->loader.pool.head; node != nullptr && node->succ != nullptr;
         node = node->succ) {
        auto* block = reinterpret_cast<StreamBlock*>(node);
        SoundRecord* sound = sharedLoad(block->owner);
        if (sound == nullptr)
            continue;
        StreamBlock* queued = sound->block;
        if (queued == nullptr || !sharedLoad(queued->reading) || !sharedLoad(queued->wantsData))
            continue;

        uint8_t room = kxqCanWrite(queued->queue, queued->readLength) == 0 ? 1 : 0;
        sharedStore(queued->wantsData, room);
        if (!room)
            continue;

        int32_t n =
            readWavFile(sound->fd, queued->readBuffer, static_cast<int32_t>(queued->readLength),
                        sound->remaining, queued->readFill);
        // The whole block is queued, fill bytes included, so every queued item is one period.
        if (n < 0 || kxqWrite(queued->queue, queued->readBuffer, queued->readLength) != 0) {
            sharedStore(queued->reading, uint8_t{0});  // after the last write: see taudio
            continue;
        }
        // The count is unsigned (a declared length may reach 4 GiB), so it must never be taken
        // below 0: the reader stops at it, and a read that somehow went past it ends the pass.
        auto got = static_cast<uint32_t>(n);
        sound->remaining = got < sound->remaining ? sound->remaining - got : 0;
        if (got == queued->readLength && sound->remaining > 0) {
            RtkSendTaskEvent(lib->loader.id, EV_LOAD);
            continue;
        }
        // The sample data is exhausted: rewind a looping sound, else stop reading. A rewind
        // that fails would read on from wherever the file stands (the chunks behind the data),
        // so it ends the sound like the end of a sound that does not loop.
        if ((sharedLoad(sound->flags) & SND_LOOP) &&
            resetWavFile(sound->fd, sound->dataOffset) >= 0) {
            sound->remaining = sound->dataLength;
        } else {
            sharedStore(queued->reading, uint8_t{0});  // published after the last kxqWrite
        }
        RtkSendTaskEvent(lib->loader.id, EV_LOAD);
    }
}

}  // namespace

void tLoad(void* argument) {
    auto* lib = static_cast<AudioLib*>(argument);
    uint16_t event = 0;
    for (;;) {
        if (event == EV_EXIT) {
            sharedStore(lib->loader.exited, uint8_t{1});
            RtkDeleteTask(0);
            return;
        }
        RtkReceiveTaskEvent(0, EV_LOAD | EV_EXIT, 0, RTK_WAIT_FOREVER, &event);
        if (event != EV_LOAD)
            continue;
        if (LockPool(&lib->loader.pool) != 0)
            continue;  // the next EV_LOAD retries
        loadPass(lib);
        UnlockPool(&lib->loader.pool);
    }
}

}  // namespace kx
