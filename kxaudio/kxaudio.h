// SPDX-License-Identifier: Apache-2.0
// kxaudio's public face: the module entry, the nine-operation table it hands the host's sound
// framework, the status codes every operation shares, the play flags and the module's limits.
#pragma once

#include <cstdint>

namespace kx {

struct SoundRecord;
using SoundHandle = SoundRecord*;  // the address of the sound's record; null is "no sound"

// Status codes: 0 for success, then one consecutive run.
constexpr int32_t SND_OK = 0;
constexpr int32_t SND_ERR_NOT_READY = -30486;  // library not started, or start-up failed
constexpr int32_t SND_ERR_PARAM = -30485;      // missing argument, unknown sound or state
constexpr int32_t SND_ERR_FILE = -30484;       // path cannot be built or file cannot be opened
constexpr int32_t SND_ERR_EXISTS = -30483;     // a sound with the same path exists
constexpr int32_t SND_ERR_FORMAT = -30482;     // not PCM WAV in the stream's format
constexpr int32_t SND_ERR_NO_MEMORY = -30481;  // no memory, or the sound cannot join its pool
constexpr int32_t SND_ERR_TOO_MANY = -30480;   // four or more sounds already play
constexpr int32_t SND_ERR_EXCLUSIVE = -30479;  // an exclusive sound is playing
constexpr int32_t SND_ERR_RANGE = -30478;      // volume above 100

// Play flags kept in a sound by the last play request.
constexpr uint32_t SND_PLAY = 1;       // always set by a play
constexpr uint32_t SND_LOOP = 2;       // rewind at the end of the data
constexpr uint32_t SND_EXCLUSIVE = 4;  // play alone

// The module's fixed limits, for a host that checks or explains against them.
constexpr uint32_t SND_PATH_SIZE = 512;  // bytes of a sound's full path, terminator included
// Stream blocks: each started sound is lent one; a sound started while all are lent (to playing
// or paused sounds) is marked playing but is neither read nor mixed until it is started again.
constexpr uint32_t SND_STREAM_BLOCKS = 4;
// A play that is not exclusive is refused (SND_ERR_TOO_MANY) while this many sounds play.
constexpr uint32_t SND_MAX_PLAYING = 4;

// The operation table, in slot order. Every operation returns a signed 32-bit status;
// sndStop and sndPause return 1 when the library is not started; sndFree's result has no
// meaning. Only the low 8 bits of volume, mute, exclusive and loop count.
struct SndOperations {
    int32_t (*sndInit)();
    int32_t (*sndFree)();
    int32_t (*sndVolume)(uint32_t volume);
    int32_t (*sndMute)(uint32_t mute);
    int32_t (*sndCreate)(uint32_t location, const char* name, SoundHandle* handle);
    int32_t (*sndDelete)(SoundHandle handle);
    int32_t (*sndPlay)(SoundHandle handle, uint32_t exclusive, uint32_t loop);
    int32_t (*sndPause)(SoundHandle handle);
    int32_t (*sndStop)(SoundHandle handle);
};

// Provided by the host's sound framework: copies the table during the call.
int32_t sndAttachDelegate(const SndOperations* table);

// Name of a status code ("OK", "SND_ERR_TOO_MANY", ...), or null for any other value.
const char* sndStatusName(int32_t status);

}  // namespace kx

// The module entry: hands the host the operation table and starts nothing. Always 0.
extern "C" int32_t dkm_kxaudio_Init(void);
