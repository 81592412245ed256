// SPDX-License-Identifier: Apache-2.0
// kxaudio's internal records: the library state audioLib, the stream descriptor shared with the
// audio driver, the task records, the sound and stream-block records, and the engine's internal
// functions. audioLib is owned by _sndInit/_sndFree; the sound pool's lock guards the sound list
// and every sound's state, the load pool's lock the attached blocks, the block pool's lock the
// free blocks. Bytes that two tasks touch without a common lock are accessed atomically through
// the helpers at the end of this file.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "kxaudio/kxaudio.h"
#include "platform/kernel/kxq.h"
#include "platform/kernel/rtk_events.h"
#include "platform/kernel/rtk_preempt.h"
#include "platform/kernel/rtk_sleep.h"
#include "platform/kernel/rtk_tasks.h"
#include "platform/kernel/rtk_types.h"
#include "pool/pool.h"
#include "wavFile/wavFile.h"

namespace kx {

// Sound states.
constexpr uint32_t SND_STOPPED = 0;
constexpr uint32_t SND_PLAYING = 1;
constexpr uint32_t SND_PAUSED = 2;

// Task events.
constexpr uint16_t EV_LOAD = 0x8000;  // wakes the loader
constexpr uint16_t EV_EXIT = 0x4000;  // ends a task

// The stream's fixed format and the values the module hands the driver.
constexpr uint16_t STREAM_CHANNELS = 2;
constexpr uint32_t STREAM_SAMPLE_RATE = 44100;
constexpr uint16_t STREAM_BITS = 16;
constexpr uint16_t STREAM_NOTIFY_EVENT = 0x1234;
constexpr uint32_t STREAM_DRIVER_PARAMETER = 200000;

// Engine constants.
constexpr int NUM_STREAM_BLOCKS = SND_STREAM_BLOCKS;  // StreamBlocks built at start-up
constexpr uint32_t QUEUE_PERIODS = 4;                 // a block's queue holds four periods
constexpr uint32_t MAX_PLAYING = SND_MAX_PLAYING;     // a new sound starts while fewer play
constexpr uint32_t PATH_SIZE = SND_PATH_SIZE;         // path buffer of sound creation
constexpr int FREE_WAIT_BUDGET = 50;                  // sleeps shared by both tasks in _sndFree
constexpr uint32_t FREE_WAIT_USEC = 10000;
constexpr uint16_t MIXER_PRIORITY = 192;
constexpr uint16_t LOADER_PRIORITY = 89;
constexpr uint32_t TASK_STACK = 0x4000;
constexpr uint32_t TASK_OPTIONS = 0;
constexpr uint32_t TASK_MODE = 1;
inline constexpr const char MIXER_NAME[] = "taudio";
inline constexpr const char LOADER_NAME[] = "tload";
inline constexpr const char SOUND_POOL_NAME[] = "audioPool";
inline constexpr const char LOAD_POOL_NAME[] = "loadPool";
inline constexpr const char BLOCK_POOL_NAME[] = "poolMem";
inline constexpr const char DRIVER_NAME[] = "DdHdAudio";
constexpr uint32_t DRIVER_NAME_BUFFER = 128;

// The record exchanged with the audio driver with every stream control call. 44 bytes on the
// 32-bit target; the period-buffer address is pointer-wide elsewhere.
struct StreamDescriptor {
    uint32_t reserved0;        // never written
    WavFormat format;          // channels, sample rate and bits written; the rest stays zero
    uint32_t reserved20;       // never written
    uint32_t notifyTask;       // the mixer task's id
    uint16_t notifyEvent;      // 0x1234
    uint16_t reserved30;       // never written
    uint32_t driverParameter;  // 200000
    uint32_t framesPerPeriod;  // written by the driver while it opens the stream
    uint8_t* periodBuffer;     // P bytes owned by the open stream, or null
};
static_assert(offsetof(StreamDescriptor, reserved0) == 0);
static_assert(offsetof(StreamDescriptor, format) == 4);
static_assert(offsetof(StreamDescriptor, format) + offsetof(WavFormat, formatTag) == 4);
static_assert(offsetof(StreamDescriptor, format) + offsetof(WavFormat, channels) == 6);
static_assert(offsetof(StreamDescriptor, format) + offsetof(WavFormat, sampleRate) == 8);
static_assert(offsetof(StreamDescriptor, format) + offsetof(WavFormat, byteRate) == 12);
static_assert(offsetof(StreamDescriptor, format) + offsetof(WavFormat, blockAlign) == 16);
static_assert(offsetof(StreamDescriptor, format) + offsetof(WavFormat, bitsPerSample) == 18);
static_assert(offsetof(StreamDescriptor, reserved20) == 20);
static_assert(offsetof(StreamDescriptor, notifyTask) == 24);
static_assert(offsetof(StreamDescriptor, notifyEvent) == 28);
static_assert(offsetof(StreamDescriptor, reserved30) == 30);
static_assert(offsetof(StreamDescriptor, driverParameter) == 32);
static_assert(offsetof(StreamDescriptor, framesPerPeriod) == 36);
static_assert(offsetof(StreamDescriptor, periodBuffer) == 40);
static_assert(sizeof(void*) != 4 || sizeof(StreamDescriptor) == 44,
              "the descriptor is 44 bytes on the 32-bit target");

// One of the two tasks. The exited flag is set by the task itself and read by _sndFree.
struct TaskRecord {
    char name[16];  // zero-terminated
    uint16_t priority;
    RtkTaskId id;    // 0 while no task exists
    uint8_t exited;  // 1 once the task is about to delete itself (atomic access)
    Pool pool;       // mixer: the sound pool "audioPool"; loader: the load pool "loadPool"
};

struct StreamBlock;

// One sound: a WAV file known to the module. Its address is the caller's SoundHandle.
struct SoundRecord {
    KxNode* succ;  // sound pool links
    KxNode* pred;
    WavFormat format;     // the file's format record
    int32_t fd;           // -1 while the file is closed
    char* path;           // heap copy of the full path; the sound's identity
    uint32_t dataOffset;  // file position of the first sample byte
    uint32_t dataLength;  // sample bytes in the file
    uint32_t remaining;   // sample bytes still to read in this pass (loader's, see tLoad)
    uint32_t flags;       // SND_PLAY | SND_LOOP | SND_EXCLUSIVE (atomic access)
    uint32_t state;       // SND_STOPPED, SND_PLAYING or SND_PAUSED
    StreamBlock* block;   // the attached StreamBlock, or null
};

// The buffers through which one playing sound's samples travel from loader to mixer.
struct StreamBlock {
    KxNode* succ;  // block pool or load pool links
    KxNode* pred;
    SoundRecord* owner;  // the sound it is lent to, or null (atomic access)
    KxqHandle queue;     // byte queue of QUEUE_PERIODS periods
    uint8_t reading;     // 1 while the loader has file data to queue (atomic access)
    uint8_t wantsData;   // 1 when the loader should add a period (atomic access)
    uint8_t* mixBuffer;  // the mixer's copy of this sound's next period
    uint32_t mixLength;
    uint8_t mixFill;
    uint8_t* readBuffer;  // the loader's copy of the next block read from the file
    uint32_t readLength;
    uint8_t readFill;
};

// The whole state of the module; zero at load.
struct AudioLib {
    uint32_t device;  // device handle; 0 means not started
    StreamDescriptor stream;
    TaskRecord mixer;   // "taudio" and the sound pool
    TaskRecord loader;  // "tload" and the load pool
    Pool blockPool;     // "poolMem": free StreamBlocks
};

extern AudioLib audioLib;

// ---- Atomic access to bytes shared by the loader and the mixer without a common lock ----
// Stores publish with release; loads pair with them with acquire. Each access is also a place
// where the kernel may preempt the task (RtkPreemptionPoint), so that the orders between the two
// tasks' accesses can be reached on one processor.
template <class T>
inline T sharedLoad(T& field) {
    RtkPreemptionPoint();
    return std::atomic_ref<T>(field).load(std::memory_order_acquire);
}
template <class T>
inline void sharedStore(T& field, T value) {
    RtkPreemptionPoint();
    std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

// ---- Library state and device stream ----
// Period size in bytes of a descriptor: channels * bits * frames / 8, 0 when frames is 0.
uint32_t periodSize(const StreamDescriptor* stream);
uint8_t iOpenDevice(uint32_t entryKey, uint32_t device);
int32_t iOpenStream();   // 0, or 1 after closing again
int32_t iCloseStream();  // low 16 bits of the close call's result

// ---- Lock rules ----
// A function whose contract names a lock held starts with requireHeld(pool, name, __func__):
// when the caller does not hold the pool's lock (RtkHoldsCriticalSection), it prints the rule
// broken and stops. On in every build configured with KX_LOCK_CHECKS (all but Release).
#ifndef KX_LOCK_CHECKS
#define KX_LOCK_CHECKS 0
#endif
constexpr bool kLockChecks = KX_LOCK_CHECKS != 0;
void requireHeld(const Pool& pool, const char* lockName, const char* function);

// ---- Sound states and stream blocks ----
// iSetStreamState: with the sound pool's lock held (admission, the mixer); a null sound changes
// nothing and needs no lock. iDetachLoad: a sound that has a block is detached with the sound
// pool's lock held, or once the library has stopped (audioLib.device 0: _sndFree has ended both
// tasks and closes the pools through ExitPool, with nothing else running); a sound without a
// block (creation's failure path) needs no lock. The destroy functions take no lock themselves.
int32_t iSetStreamState(SoundRecord* sound, uint32_t state);
int32_t iDetachLoad(SoundRecord* sound);
int32_t iFreeSound(void* sound);
int32_t iFreeLoad(void* block);
void iFreeBlocks(StreamBlock* block);

// ---- Tasks ----
void taudio(void* lib);
void tLoad(void* lib);

// ---- Sound service ----
int32_t iFindByName(void* sound, const void* key);
int32_t iSetSoundParams(SoundRecord* sound, uint32_t flags, uint32_t state);

int32_t _sndInit();
int32_t _sndFree();
int32_t _sndVolume(uint32_t volume);
int32_t _sndMute(uint32_t mute);
int32_t _sndCreate(uint32_t location, const char* name, SoundHandle* handle);
int32_t _sndDelete(SoundHandle handle);
int32_t _sndPlay(SoundHandle handle, uint32_t exclusive, uint32_t loop);
int32_t _sndPause(SoundHandle handle);
int32_t _sndStop(SoundHandle handle);

}  // namespace kx
