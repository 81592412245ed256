// SPDX-License-Identifier: Apache-2.0
// Sound creation and deletion. A sound is identified by its full path; its handle is the address
// of its record. The lookup and the insertion take the sound pool's lock separately, and
// deletion unlinks and destroys the record under that lock, so a delete waits for the mixer's
// current cycle.
#include <cstring>

#include "kxaudio/audioLib.h"
#include "path/path.h"
#include "platform/files/kxfile.h"

namespace kx {

int32_t iFindByName(void* node, const void* key) {
    auto* sound = static_cast<SoundRecord*>(node);
    if (sound == nullptr || key == nullptr)
        return SND_ERR_PARAM;
    if (sound->path == nullptr)
        return 1;
    return std::strcmp(sound->path, static_cast<const char*>(key)) == 0 ? 0 : 1;
}

int32_t _sndCreate(uint32_t location, const char* name, SoundHandle* handle) {
    if (audioLib.device == 0)
        return SND_ERR_NOT_READY;
    char path[PATH_SIZE];
    std::memset(path, 0, sizeof path);
    if (location == 0 || name == nullptr || handle == nullptr)
        return SND_ERR_PARAM;
    *handle = nullptr;
    if (creatPath(location, name, path, PATH_SIZE) & 0xFFFF)
        return SND_ERR_FILE;

    // A failed lock counts as not found; the insertion below then fails as well.
    void* existing = nullptr;
    if (FindPool(&audioLib.mixer.pool, path, &existing, iFindByName) == 0) {
        *handle = static_cast<SoundHandle>(existing);
        return SND_ERR_EXISTS;
    }

    auto* sound = static_cast<SoundRecord*>(kxcalloc(1, sizeof(SoundRecord)));
    if (sound == nullptr)
        return SND_ERR_NO_MEMORY;
    size_t length = std::strlen(path);
    sound->path = static_cast<char*>(kxcalloc(length + 1, 1));
    if (sound->path == nullptr) {
        kxfree(sound);
        return SND_ERR_NO_MEMORY;
    }
    std::memcpy(sound->path, path, length);

    // The file must open; it stays closed until the sound is played.
    sound->fd = -1;
    sound->fd = openWavFile(sound->path, 0);
    if (sound->fd == -1) {
        iFreeSound(sound);
        return SND_ERR_FILE;
    }
    sound->fd = closeWavFile(sound->fd);

    const WavFormat& stream = audioLib.stream.format;
    if (parseWavFmt(sound->path, &sound->format, &sound->dataOffset, &sound->dataLength) < 0 ||
        sound->format.channels != stream.channels ||
        sound->format.sampleRate != stream.sampleRate ||
        sound->format.bitsPerSample != stream.bitsPerSample) {
        iFreeSound(sound);
        return SND_ERR_FORMAT;
    }

    if (PushPool(&audioLib.mixer.pool, sound, 1) & 0xFFFF) {
        iFreeSound(sound);
        return SND_ERR_NO_MEMORY;
    }
    *handle = sound;
    return SND_OK;
}

int32_t _sndDelete(SoundHandle handle) {
    if (handle == nullptr)
        return SND_ERR_PARAM;
    // Unlinked and destroyed under the sound pool's lock: its block goes back, its file closes.
    if (DeletePool(&audioLib.mixer.pool, handle, iFreeSound) != 0)
        return SND_ERR_PARAM;
    return SND_OK;
}

}  // namespace kx
