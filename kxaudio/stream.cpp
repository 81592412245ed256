// SPDX-License-Identifier: Apache-2.0
// The library state audioLib and the device stream: finding the "DdHdAudio" driver in the
// registry, opening and closing the output stream and its period buffer. Runs on the caller of
// _sndInit/_sndFree and on the mixer task, never both at once; no lock guards the descriptor.
#include <cstring>

#include "kxaudio/audioLib.h"
#include "platform/devices/dm.h"
#include "platform/devices/hda_protocol.h"
#include "platform/devices/registry.h"
#include "platform/files/kxfile.h"

namespace kx {

AudioLib audioLib;

uint32_t periodSize(const StreamDescriptor* stream) {
    if (stream->framesPerPeriod == 0)
        return 0;
    // Unsigned 32-bit product, then bits to bytes.
    uint32_t bits = static_cast<uint32_t>(stream->format.channels) * stream->format.bitsPerSample *
                    stream->framesPerPeriod;
    return bits >> 3;
}

uint8_t iOpenDevice(uint32_t entryKey, uint32_t device) {
    char driver[DRIVER_NAME_BUFFER];
    std::memset(driver, 0, sizeof driver);
    uint32_t length = sizeof driver;
    if (KXRegQueryValue(entryKey, IOREG_KEY_DEV_DRIVER, 0, driver, &length) & 0xFFFF)
        return 1;
    // Exact and whole: the terminator must match too, so "DdHdAudio2" is another driver.
    if (std::memcmp(driver, DRIVER_NAME, sizeof DRIVER_NAME) != 0)
        return 1;
    // Whether a device was opened is judged by the handle, not by this result.
    DmDeviceOpen(device, 0, &audioLib.device);
    return 0;
}

int32_t iOpenStream() {
    StreamDescriptor& stream = audioLib.stream;
    stream.notifyTask = audioLib.mixer.id;
    stream.format.channels = STREAM_CHANNELS;
    stream.format.sampleRate = STREAM_SAMPLE_RATE;
    stream.format.bitsPerSample = STREAM_BITS;
    stream.driverParameter = STREAM_DRIVER_PARAMETER;
    stream.notifyEvent = STREAM_NOTIFY_EVENT;
    if (DmDeviceIoControl(audioLib.device, IOCTL_STREAM_OPEN, &stream, 0, 0, 0, 0) & 0xFFFF) {
        iCloseStream();
        return 1;
    }
    stream.periodBuffer = static_cast<uint8_t*>(kxcalloc(periodSize(&stream), 1));
    if (stream.periodBuffer == nullptr) {
        iCloseStream();
        return 1;
    }
    return 0;
}

int32_t iCloseStream() {
    StreamDescriptor& stream = audioLib.stream;
    if (stream.periodBuffer != nullptr) {
        kxfree(stream.periodBuffer);
        stream.periodBuffer = nullptr;
    }
    // Issued even after a failed open, so the driver forgets any half-open stream.
    int32_t result = DmDeviceIoControl(audioLib.device, IOCTL_STREAM_CLOSE, &stream, 0, 0, 0, 0);
    return result & 0xFFFF;
}

}  // namespace kx
