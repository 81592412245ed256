// SPDX-License-Identifier: Apache-2.0
// The mixer task "taudio": each cycle builds one period from the queues of the playing sounds
// (the first copied, the others added with saturation, in creation order), stops sounds that
// have drained, wakes the loader and submits the period to the driver, whose write paces the
// cycle. It holds the sound pool's lock for the whole walk; the stream is its own while the
// library runs. A cycle allocates nothing, except when a failed write makes it reopen the stream.
#include <algorithm>
#include <cstring>

#include "dxmix/dxmix.h"
#include "kxaudio/audioLib.h"
#include "platform/devices/dm.h"
#include "platform/devices/hda_protocol.h"
#include "platform/kernel/kxq.h"
#include "platform/kernel/rtk_events.h"
#include "platform/kernel/rtk_tasks.h"

namespace kx {
namespace {

// Mixes every playing sound into the period buffer; the caller holds the sound pool's lock.
// The blocks keep the period size of start-up while the buffer has the size of the latest open;
// only the bytes both have are mixed, so a driver that changes its period never makes the
// mixer read or write past a buffer.
void mixSounds(AudioLib* lib, uint8_t* period, uint32_t periodBytes) {
    requireHeld(lib->mixer.pool, SOUND_POOL_NAME, __func__);
    bool first = true;
    for (KxNode* node = lib->mixer.pool.head; node != nullptr && node->succ != nullptr;
         node = node->succ) {
        auto* sound = reinterpret_cast<SoundRecord*>(node);
        StreamBlock* block = sound->block;
        if (sound->state != SND_PLAYING || block == nullptr)
            continue;

        kxqRead(block->queue, block->mixBuffer, block->mixLength);
        uint32_t length = std::min(periodBytes, block->mixLength);
        if (first) {
            std::memcpy(period, block->mixBuffer, length);
            first = false;
        } else {
            S16sMix(period, block->mixBuffer, length);
        }

        // Acquire on reading pairs with the loader's release after its last queue write, so an
        // empty queue seen here with reading 0 is really drained.
        if (sharedLoad(block->reading)) {
            sharedStore(block->wantsData, uint8_t{1});
        } else if (kxqCanRead(block->queue, 1) != 0) {
            iSetStreamState(sound, SND_STOPPED);  // unlinks nothing from the sound pool
        }
    }
}

void mixCycle(AudioLib* lib) {
    StreamDescriptor& stream = lib->stream;
    // Without a period buffer (a reopen failed) nothing is mixed or taken from the queues: the
    // sounds wait where they are, and the write below fails, is paced by the driver, and
    // makes the mixer try to reopen the stream.
    if (stream.periodBuffer != nullptr) {
        uint32_t periodBytes = periodSize(&stream);
        std::memset(stream.periodBuffer, 0, periodBytes);
        // A failed lock yields a period of silence and does not wake the loader.
        if (LockPool(&lib->mixer.pool) == 0) {
            mixSounds(lib, stream.periodBuffer, periodBytes);
            UnlockPool(&lib->mixer.pool);
            RtkSendTaskEvent(lib->loader.id, EV_LOAD);
        }
    }
    if (DmDeviceIoControl(lib->device, IOCTL_STREAM_WRITE, &stream, 0, 0, 0, 0) & 0xFFFF) {
        iCloseStream();  // the period is lost; playback goes on after the reopen
        iOpenStream();
    }
}

}  // namespace

void taudio(void* argument) {
    auto* lib = static_cast<AudioLib*>(argument);
    uint16_t event = 0;
    for (;;) {
        RtkReceiveTaskEvent(0, EV_EXIT, 0, 0, &event);
        if (event == EV_EXIT) {
            sharedStore(lib->mixer.exited, uint8_t{1});
            RtkDeleteTask(0);
            return;
        }
        if (event == lib->stream.notifyEvent)
            continue;
        mixCycle(lib);
    }
}

}  // namespace kx
