// SPDX-License-Identifier: Apache-2.0
// Start-up and shutdown: _sndInit brings up both tasks (suspended), the three pools, the device,
// the stream and the four StreamBlocks, and resumes the tasks last; _sndFree takes down whatever
// exists, which makes it the clean-up path of every failed start-up too. Both run on the
// caller's task, take no lock of their own, and are never overlapped by the host.
#include <cstring>

#include "kxaudio/audioLib.h"
#include "platform/devices/dm.h"
#include "platform/devices/registry.h"
#include "platform/files/kxfile.h"
#include "platform/kernel/rtk_events.h"
#include "platform/kernel/rtk_sleep.h"
#include "platform/kernel/rtk_tasks.h"

namespace kx {
namespace {

void resetTaskRecord(TaskRecord* task, const char* name, uint16_t priority) {
    std::memset(task->name, 0, sizeof task->name);
    std::strncpy(task->name, name, sizeof task->name - 1);
    task->priority = priority;
    task->id = 0;
    sharedStore(task->exited, uint8_t{0});
}

// Builds one StreamBlock sized from the open stream and puts it into the block pool.
// 0 on success; 1 with the block and everything it held released again.
int32_t buildBlock() {
    auto* block = static_cast<StreamBlock*>(kxcalloc(1, sizeof(StreamBlock)));
    if (block == nullptr)
        return 1;
    const StreamDescriptor& stream = audioLib.stream;
    uint32_t period = periodSize(&stream);
    uint8_t fill = stream.format.bitsPerSample == 8 ? 0x80 : 0x00;
    bool built = stream.framesPerPeriod != 0 && kxqInit(QUEUE_PERIODS * period, &block->queue) == 0;
    if (built) {
        block->mixBuffer = static_cast<uint8_t*>(kxcalloc(period, 1));
        block->mixLength = period;
        block->mixFill = fill;
        built = block->mixBuffer != nullptr;
    }
    if (built) {
        block->readBuffer = static_cast<uint8_t*>(kxcalloc(period, 1));
        block->readLength = period;
        block->readFill = fill;
        built = block->readBuffer != nullptr;
    }
    if (built)
        built = PushPool(&audioLib.blockPool, block, 1) == 0;
    if (!built) {
        iFreeLoad(block);
        return 1;
    }
    return 0;
}

int32_t startUp() {
    TaskRecord& mixer = audioLib.mixer;
    TaskRecord& loader = audioLib.loader;

    // The four steps are all attempted, then judged together.
    resetTaskRecord(&mixer, MIXER_NAME, MIXER_PRIORITY);
    int32_t status = RtkCreateTask(mixer.name, mixer.priority, TASK_STACK, TASK_OPTIONS, TASK_MODE,
                                   taudio, &audioLib, &mixer.id);
    status |= InitPool(&mixer.pool, SOUND_POOL_NAME);
    resetTaskRecord(&loader, LOADER_NAME, LOADER_PRIORITY);
    status |= RtkCreateTask(loader.name, loader.priority, TASK_STACK, TASK_OPTIONS, TASK_MODE,
                            tLoad, &audioLib, &loader.id);
    status |= InitPool(&loader.pool, LOAD_POOL_NAME);
    if (status & 0xFFFF)
        return 1;

    KXRegIterateKey(1, IOREG_KEY_DEV_ROOT, 0, 0, iOpenDevice, 0);
    if (audioLib.device == 0)
        return 1;
    if (iOpenStream() != 0)
        return 1;
    if (InitPool(&audioLib.blockPool, BLOCK_POOL_NAME) != 0)
        return 1;
    for (int i = 0; i < NUM_STREAM_BLOCKS; ++i) {
        if (buildBlock() != 0) {
            ExitPool(&audioLib.blockPool, iFreeLoad);
            return 1;
        }
    }

    // Both resumes are always attempted.
    int32_t resumed = RtkResumeTask(mixer.id);
    resumed |= RtkResumeTask(loader.id);
    return (resumed & 0xFFFF) ? 1 : 0;
}

}  // namespace

int32_t _sndInit() {
    if (audioLib.device != 0)
        return SND_OK;
    if (startUp() != 0) {
        _sndFree();
        return SND_ERR_NOT_READY;
    }
    return SND_OK;
}

int32_t _sndFree() {
    // One wait budget shared by both tasks, mixer first: a task that never exits is deleted
    // after 51 sleeps when it has the whole budget, after one when the budget is spent.
    int budget = FREE_WAIT_BUDGET;
    TaskRecord* tasks[2] = {&audioLib.mixer, &audioLib.loader};
    for (TaskRecord* task : tasks) {
        if (task->id == 0)
            continue;
        RtkSendTaskEvent(task->id, EV_EXIT);
        for (;;) {
            int noted = budget--;
            RtkSleepTaskUsec(FREE_WAIT_USEC);
            if (noted > 0) {
                if (sharedLoad(task->exited))
                    break;
            } else {
                if (!sharedLoad(task->exited))
                    RtkDeleteTask(task->id);
                break;
            }
        }
    }

    if (audioLib.device != 0) {
        iCloseStream();
        if (audioLib.device != 0) {
            DmDeviceClose(audioLib.device);
            audioLib.device = 0;
        }
    }
    // Sounds first: destroying a sound hands its block back to the block pool.
    ExitPool(&audioLib.mixer.pool, iFreeSound);
    ExitPool(&audioLib.loader.pool, iFreeLoad);
    ExitPool(&audioLib.blockPool, iFreeLoad);
    return 0;
}

}  // namespace kx
