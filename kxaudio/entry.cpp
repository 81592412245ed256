// SPDX-License-Identifier: Apache-2.0
// The module entry and the two device-level operations. dkm_kxaudio_Init builds the operation
// table on its own stack and hands it to the host, which copies it; nothing is started here.
// _sndVolume and _sndMute keep no state: they pass one control block to the driver and return
// its result unchanged. They take no lock (the host does not overlap them with _sndInit/_sndFree).
#include <cstring>

#include "kxaudio/audioLib.h"
#include "platform/devices/dm.h"
#include "platform/devices/hda_protocol.h"

namespace kx {

int32_t _sndVolume(uint32_t volume) {
    if (audioLib.device == 0)
        return SND_ERR_NOT_READY;
    uint32_t level = volume & 0xFF;
    if (level > 100)
        return SND_ERR_RANGE;
    uint32_t block[2] = {level, 0};
    return DmDeviceIoControl(audioLib.device, IOCTL_VOLUME, block, 0, 0, 0, 0);
}

int32_t _sndMute(uint32_t mute) {
    if (audioLib.device == 0)
        return SND_ERR_NOT_READY;
    // The flag travels in the second word; the first stays 0. Any non-zero byte passes as is.
    uint32_t block[2] = {0, mute & 0xFF};
    return DmDeviceIoControl(audioLib.device, IOCTL_MUTE, block, 0, 0, 0, 0);
}

const char* sndStatusName(int32_t status) {
    switch (status) {
        case SND_OK:
            return "OK";
        case SND_ERR_NOT_READY:
            return "SND_ERR_NOT_READY";
        case SND_ERR_PARAM:
            return "SND_ERR_PARAM";
        case SND_ERR_FILE:
            return "SND_ERR_FILE";
        case SND_ERR_EXISTS:
            return "SND_ERR_EXISTS";
        case SND_ERR_FORMAT:
            return "SND_ERR_FORMAT";
        case SND_ERR_NO_MEMORY:
            return "SND_ERR_NO_MEMORY";
        case SND_ERR_TOO_MANY:
            return "SND_ERR_TOO_MANY";
        case SND_ERR_EXCLUSIVE:
            return "SND_ERR_EXCLUSIVE";
        case SND_ERR_RANGE:
            return "SND_ERR_RANGE";
        default:
            return nullptr;
    }
}

}  // namespace kx

extern "C" int32_t dkm_kxaudio_Init(void) {
    kx::SndOperations table;
    std::memset(&table, 0, sizeof table);
    table.sndInit = kx::_sndInit;
    table.sndFree = kx::_sndFree;
    table.sndVolume = kx::_sndVolume;
    table.sndMute = kx::_sndMute;
    table.sndCreate = kx::_sndCreate;
    table.sndDelete = kx::_sndDelete;
    table.sndPlay = kx::_sndPlay;
    table.sndPause = kx::_sndPause;
    table.sndStop = kx::_sndStop;
    kx::sndAttachDelegate(&table);  // the host copies the table before this returns
    return 0;
}
