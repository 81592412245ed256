// SPDX-License-Identifier: Apache-2.0
// The HD-audio driver on the controller. What it owns: the controller's registers, the codec's
// output path, the ring and its descriptor list, and the stream's counters. The interrupt handler
// and the writing task share `completed` and the ring's slots: the handler only counts a
// completion and silences the slot the hardware just left; the task fills slots ahead of the
// hardware with interrupts off for its bookkeeping. Opens, closes and volume run on callers'
// tasks; the module serialises them with its writes.
#include "metal/devices/hda.h"

#include <cstring>

#include "metal/boot/console.h"
#include "metal/boot/cpu.h"
#include "metal/devices/pci.h"
#include "metal/kernel/clock.h"
#include "metal/kernel/kernel.h"
#include "platform/devices/dm.h"
#include "platform/devices/hda_protocol.h"
#include "platform/devices/wav_format.h"

namespace kx::metal {
namespace {

// Controller registers.
constexpr uint32_t GCAP = 0x00, GCTL = 0x08, STATESTS = 0x0E, INTCTL = 0x20, INTSTS = 0x24;
constexpr uint32_t CORBCTL = 0x4C, RIRBCTL = 0x5C, ICOI = 0x60, ICII = 0x64, ICIS = 0x68;
// Stream descriptor registers, from the descriptor's base.
constexpr uint32_t SD_CTL = 0x00, SD_STS = 0x03, SD_CBL = 0x08, SD_LVI = 0x0C, SD_FMT = 0x12;
constexpr uint32_t SD_BDPL = 0x18, SD_BDPU = 0x1C;
constexpr uint8_t SD_STS_BCIS = 0x04;
// Codec verbs and parameters.
constexpr uint32_t VERB_PARAMETER = 0xF00, VERB_CONNECTION = 0xF02, VERB_POWER = 0x705;
constexpr uint32_t VERB_STREAM = 0x706, VERB_PIN_CONTROL = 0x707, VERB_EAPD = 0x70C;
constexpr uint32_t VERB4_FORMAT = 0x2, VERB4_AMP = 0x3;
constexpr uint32_t PARAM_NODES = 0x04, PARAM_GROUP = 0x05, PARAM_WIDGET = 0x09;
constexpr uint32_t PARAM_PIN = 0x0C, PARAM_CONNECTIONS = 0x0E, PARAM_OUT_AMP = 0x12;

constexpr uint16_t kFormat = 0x4011;  // 44.1 kHz, 16 bits, 2 channels
constexpr uint8_t kStreamTag = 1;
constexpr uint32_t kMaxRingBytes = 256u << 10;
constexpr uint32_t kMaxPeriods = 64;
// The ring holds at least this many frames (about 93 ms), and at least four periods: a late
// interrupt then still finds silence or the next period ahead of the hardware.
constexpr uint32_t kRingFrames = 4096;
// QEMU drops about 40 ms of what it fetched when a stream stops: a close lets this much
// silence play after the last period first.
constexpr uint32_t kTailMs = 60;

struct [[gnu::packed]] BdlEntry {
    uint32_t addressLow, addressHigh, length, flags;  // flags bit 0: interrupt on completion
};

alignas(128) BdlEntry bdl[kMaxPeriods];
alignas(4096) uint8_t ring[kMaxRingBytes];

struct Controller {
    bool present = false;
    PciFunction pci{};
    uintptr_t mmio = 0;
    uint8_t irqLine = 0;
    uint8_t codec = 0;
    uint8_t converter = 0, pin = 0;
    uint32_t vendor = 0;
    uintptr_t stream = 0;  // the first output stream descriptor
    uint32_t streamIndex = 0;
    uint32_t frames = 1024;
};

struct Stream {
    bool open = false;
    uint32_t frames = 0;
    uint32_t periodBytes = 0;
    uint32_t periods = 0;
    volatile uint64_t completed = 0;  // entries the hardware finished (handler)
    uint64_t written = 0;             // the next ring position the mixer fills
    volatile uint64_t irqCycles = 0;  // when the last completion came
    uint64_t firstPosition = 0;       // where the mixer's first period went
    uint32_t volume = HDA_FULL_VOLUME;
    uint32_t mute = 0;
};

Controller hw;
Stream st;
HdaReport report;

uint16_t r16(uint32_t at) {
    return mmioRead<uint16_t>(hw.mmio + at);
}
uint32_t r32(uint32_t at) {
    return mmioRead<uint32_t>(hw.mmio + at);
}
void w8(uint32_t at, uint8_t v) {
    mmioWrite<uint8_t>(hw.mmio + at, v);
}
void w16(uint32_t at, uint16_t v) {
    mmioWrite<uint16_t>(hw.mmio + at, v);
}
void w32(uint32_t at, uint32_t v) {
    mmioWrite<uint32_t>(hw.mmio + at, v);
}

template <class Condition>
bool spinUntil(Condition condition) {
    for (uint32_t tries = 0; tries < 2000000; ++tries) {
        if (condition())
            return true;
    }
    return false;
}

// One verb through the immediate command registers; ~0 when the codec does not answer.
uint32_t send(uint32_t verb) {
    if (!spinUntil([] { return (r16(ICIS) & 1) == 0; }))
        return ~0u;
    w16(ICIS, 2);  // clear "result valid"
    w32(ICOI, verb);
    w16(ICIS, 1);
    if (!spinUntil([] { return (r16(ICIS) & 3) == 2; }))
        return ~0u;
    return r32(ICII);
}
uint32_t verb(uint8_t node, uint32_t code, uint32_t payload) {
    return send(uint32_t{hw.codec} << 28 | uint32_t{node} << 20 | (code & 0xFFF) << 8 |
                (payload & 0xFF));
}
uint32_t verb4(uint8_t node, uint32_t code, uint32_t payload) {
    return send(uint32_t{hw.codec} << 28 | uint32_t{node} << 20 | (code & 0xF) << 16 |
                (payload & 0xFFFF));
}
uint32_t parameter(uint8_t node, uint32_t id) {
    return verb(node, VERB_PARAMETER, id);
}

// Whether a widget's connection list names `node` (short form, four entries per answer).
bool connectsTo(uint8_t widget, uint8_t node) {
    uint32_t length = parameter(widget, PARAM_CONNECTIONS) & 0x7F;
    for (uint32_t i = 0; i < length; i += 4) {
        uint32_t entries = verb(widget, VERB_CONNECTION, i);
        for (uint32_t k = 0; k < 4 && i + k < length; ++k) {
            if (((entries >> (8 * k)) & 0xFF) == node)
                return true;
        }
    }
    return false;
}

// Unmutes an amplifier at its 0 dB step (the capability's offset), so the codec passes the
// samples unchanged: volume and mute are applied to the samples by the driver.
void ampUnity(uint8_t node, uint32_t ampCaps) {
    uint32_t zeroDb = ampCaps & 0x7F;
    verb4(node, VERB4_AMP, 0x8000 | 0x3000 | zeroDb);  // output, left and right
}

bool codecSetup() {
    uint32_t groups = parameter(0, PARAM_NODES);
    hw.vendor = parameter(0, 0x00);
    uint8_t afg = 0;
    for (uint32_t n = (groups >> 16) & 0xFF, e = n + (groups & 0xFF); n < e; ++n) {
        if ((parameter(static_cast<uint8_t>(n), PARAM_GROUP) & 0xFF) == 1) {
            afg = static_cast<uint8_t>(n);
            break;
        }
    }
    if (afg == 0)
        return false;
    uint32_t afgAmp = parameter(afg, PARAM_OUT_AMP);
    uint32_t widgets = parameter(afg, PARAM_NODES);
    uint32_t first = (widgets >> 16) & 0xFF, end = first + (widgets & 0xFF);
    uint32_t converterCaps = 0, pinCaps = 0;
    for (uint32_t n = first; n < end && hw.converter == 0; ++n) {
        uint32_t caps = parameter(static_cast<uint8_t>(n), PARAM_WIDGET);
        if (((caps >> 20) & 0xF) == 0) {  // audio output converter
            hw.converter = static_cast<uint8_t>(n);
            converterCaps = caps;
        }
    }
    // The first output-capable pin that the converter feeds directly.
    for (uint32_t n = first; n < end && hw.converter != 0 && hw.pin == 0; ++n) {
        uint8_t node = static_cast<uint8_t>(n);
        uint32_t caps = parameter(node, PARAM_WIDGET);
        if (((caps >> 20) & 0xF) == 4 && (parameter(node, PARAM_PIN) & (1u << 4)) != 0 &&
            connectsTo(node, hw.converter)) {
            hw.pin = node;
            pinCaps = caps;
        }
    }
    if (hw.converter == 0 || hw.pin == 0)
        return false;
    verb(afg, VERB_POWER, 0);
    verb(hw.converter, VERB_POWER, 0);
    verb(hw.pin, VERB_POWER, 0);
    verb(hw.converter, VERB_STREAM, kStreamTag << 4);
    verb4(hw.converter, VERB4_FORMAT, kFormat);
    if (converterCaps & (1u << 2))
        ampUnity(hw.converter,
                 (converterCaps & 8) ? parameter(hw.converter, PARAM_OUT_AMP) : afgAmp);
    if (pinCaps & (1u << 2))
        ampUnity(hw.pin, (pinCaps & 8) ? parameter(hw.pin, PARAM_OUT_AMP) : afgAmp);
    verb(hw.pin, VERB_PIN_CONTROL, 0x40);  // output enable
    if (parameter(hw.pin, PARAM_PIN) & (1u << 16))
        verb(hw.pin, VERB_EAPD, 0x02);
    return true;
}

void streamWriteCtl(uint8_t value) {
    mmioWrite<uint8_t>(hw.stream + SD_CTL, value);  // byte 0 only: never a 32-bit update
}

void streamStop() {
    streamWriteCtl(0);
    spinUntil([] { return (mmioRead<uint8_t>(hw.stream + SD_CTL) & 2) == 0; });
    w32(INTCTL, 0);
    mmioWrite<uint8_t>(hw.stream + SD_STS, 0x1C);
}

void onInterrupt() {
    uint8_t status = mmioRead<uint8_t>(hw.stream + SD_STS);
    if ((status & SD_STS_BCIS) == 0)
        return;
    mmioWrite<uint8_t>(hw.stream + SD_STS, SD_STS_BCIS);
    if (!st.open)
        return;
    // The slot the hardware just left holds nothing the mixer has written for its next turn
    // (a write needs this completion first), so silencing it now means that a mixer that falls
    // behind is heard as silence, never as the ring's old contents.
    uint64_t done = st.completed;
    std::memset(ring + (done % st.periods) * st.periodBytes, 0, st.periodBytes);
    st.completed = done + 1;
    st.irqCycles = clockCycles();
    report.completions++;
    kernelNotify();
}

int32_t streamOpen(uint8_t* descriptor) {
    if (descriptor == nullptr)
        return HDA_ERR_PARAM;
    if (le16(descriptor + HDA_DESC_CHANNELS) != kStreamChannels ||
        le32(descriptor + HDA_DESC_SAMPLE_RATE) != kStreamRate ||
        le16(descriptor + HDA_DESC_BITS) != kStreamBits)
        return HDA_ERR_FORMAT;
    if (!hw.present)
        return DM_ERR_NO_DEVICE;
    if (st.open) {  // opening an open stream starts it afresh, as on the host
        IrqGuard off;
        streamStop();
        st.open = false;
    }
    uint32_t frames = hw.frames;
    uint32_t periodBytes = frames * kStreamBytesPerFrame;
    uint32_t periods = (kRingFrames + frames - 1) / frames;
    if (periods < 4)
        periods = 4;
    std::memset(ring, 0, periods * periodBytes);
    for (uint32_t i = 0; i < periods; ++i)
        bdl[i] =
            BdlEntry{static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ring)) + i * periodBytes, 0,
                     periodBytes, 1};
    IrqGuard off;
    streamWriteCtl(0);
    spinUntil([] { return (mmioRead<uint8_t>(hw.stream + SD_CTL) & 2) == 0; });
    streamWriteCtl(1);  // stream reset
    spinUntil([] { return (mmioRead<uint8_t>(hw.stream + SD_CTL) & 1) != 0; });
    streamWriteCtl(0);
    spinUntil([] { return (mmioRead<uint8_t>(hw.stream + SD_CTL) & 1) == 0; });
    mmioWrite<uint8_t>(hw.stream + SD_STS, 0x1C);
    mmioWrite<uint8_t>(hw.stream + 2, kStreamTag << 4);
    mmioWrite<uint32_t>(hw.stream + SD_CBL, periods * periodBytes);
    mmioWrite<uint16_t>(hw.stream + SD_LVI, static_cast<uint16_t>(periods - 1));
    mmioWrite<uint16_t>(hw.stream + SD_FMT, kFormat);
    mmioWrite<uint32_t>(hw.stream + SD_BDPL,
                        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(bdl)));
    mmioWrite<uint32_t>(hw.stream + SD_BDPU, 0);
    st.frames = frames;
    st.periodBytes = periodBytes;
    st.periods = periods;
    st.completed = 0;
    st.written = periods;  // the whole ring is silence to begin with
    st.firstPosition = periods;
    st.open = true;
    report.framesPerPeriod = frames;
    report.ringPeriods = periods;
    report.accepted = 0;
    report.completions = 0;
    report.opens++;
    std::memcpy(descriptor + HDA_DESC_FRAMES, &frames, 4);
    w32(INTCTL, 0x80000000u | (1u << hw.streamIndex));
    streamWriteCtl(0x06);  // run, interrupt on completion
    return 0;
}

bool playedOut(void* context) {
    return st.completed >= *static_cast<uint64_t*>(context);
}

int32_t streamClose() {
    if (!st.open)
        return 0;
    // Let every written period and a tail of silence reach the output before stopping.
    uint64_t tail = (kTailMs * kStreamRate / 1000 + st.frames - 1) / st.frames + 1;
    uint64_t until = st.written + tail;
    kernelWaitUntil(playedOut, &until, clockNowUsec() + 2000000);
    IrqGuard off;
    streamStop();
    st.open = false;
    report.closes++;
    kernelNotify();
    return 0;
}

bool roomFor(void* context) {
    uint64_t position = *static_cast<uint64_t*>(context);
    return !st.open || position < st.completed + st.periods;
}

// Copies one period into its slot with the volume and mute in force now, by the protocol's gain
// law (hdaApplyGain), as the host's simulated driver applies it; mute is silence.
void fill(uint8_t* slot, const uint8_t* period, uint32_t bytes) {
    if (st.mute != 0) {
        std::memset(slot, 0, bytes);
        return;
    }
    if (st.volume == HDA_FULL_VOLUME) {
        std::memcpy(slot, period, bytes);
        return;
    }
    for (uint32_t i = 0; i + 1 < bytes; i += 2) {
        int16_t sample;
        std::memcpy(&sample, period + i, 2);
        int16_t gained = hdaApplyGain(sample, st.volume);
        std::memcpy(slot + i, &gained, 2);
    }
}

int32_t streamWrite(uint8_t* descriptor) {
    if (descriptor == nullptr) {
        report.failedWrites++;
        return HDA_ERR_PARAM;
    }
    if (!st.open) {
        report.failedWrites++;
        return HDA_ERR_STATE;
    }
    const uint8_t* period = nullptr;
    std::memcpy(&period, descriptor + HDA_DESC_PERIOD_BUFFER, sizeof period);
    if (period == nullptr) {
        report.failedWrites++;
        return HDA_ERR_BUFFER;
    }
    uint64_t position = st.written;
    kernelWaitUntil(roomFor, &position, 0);
    {
        IrqGuard off;
        if (!st.open)
            return HDA_ERR_STATE;
        // The hardware is on slot `completed` now: a position at or behind it is too late and
        // has played as silence; the period goes to the first slot the hardware has not begun.
        if (st.written <= st.completed) {
            report.latePeriods += st.completed + 1 - st.written;
            st.written = st.completed + 1;
        }
        uint64_t wake = (clockCycles() - st.irqCycles) * 1000000 / clockCyclesPerMs();
        if (report.accepted > 0) {
            report.wakeSumNs += wake;
            report.wakes++;
            if (wake > report.wakeMaxNs)
                report.wakeMaxNs = wake;
        }
    }
    fill(ring + (st.written % st.periods) * st.periodBytes, period, st.periodBytes);
    {
        IrqGuard off;
        st.written++;
        report.accepted++;
    }
    kernelNotify();
    // Returns once the slot for the next period is free, so the mixer makes one period per
    // period of output and the scene's commands run between the write and the next mix.
    position = st.written;
    kernelWaitUntil(roomFor, &position, 0);
    return 0;
}

}  // namespace

bool hdaInit(uint32_t framesPerPeriod) {
    hw.frames = framesPerPeriod;
    if (!pciFindClass(0x04, 0x03, &hw.pci)) {
        consolePrintf("hda: no HD-audio controller on PCI\n");
        return false;
    }
    uint32_t bar0 = pciRead32(hw.pci, 0x10);
    if ((bar0 & 1) != 0 || ((bar0 & 6) == 4 && pciRead32(hw.pci, 0x14) != 0)) {
        consolePrintf("hda: BAR0 %x is not a 32-bit memory BAR\n", bar0);
        return false;
    }
    hw.mmio = bar0 & ~0xFu;
    uint32_t command = pciRead32(hw.pci, 0x04);
    pciWrite32(hw.pci, 0x04, (command & 0xFFFF & ~(1u << 10)) | 0x6);  // memory, bus master
    hw.irqLine = static_cast<uint8_t>(pciRead32(hw.pci, 0x3C));
    uint16_t gcap = r16(GCAP);
    uint32_t inputs = (gcap >> 8) & 0xF;
    if (((gcap >> 12) & 0xF) == 0) {
        consolePrintf("hda: the controller has no output stream\n");
        return false;
    }
    w32(GCTL, r32(GCTL) & ~1u);
    spinUntil([] { return (r32(GCTL) & 1) == 0; });
    w32(GCTL, r32(GCTL) | 1u);
    spinUntil([] { return (r32(GCTL) & 1) == 1; });
    if (!spinUntil([] { return r16(STATESTS) != 0; })) {
        consolePrintf("hda: no codec answered the reset\n");
        return false;
    }
    uint16_t codecs = r16(STATESTS);
    hw.codec = static_cast<uint8_t>(__builtin_ctz(codecs));
    w16(STATESTS, codecs);
    w8(CORBCTL, 0);  // verbs go through the immediate command registers
    w8(RIRBCTL, 0);
    hw.streamIndex = inputs;
    hw.stream = hw.mmio + 0x80 + 0x20u * inputs;
    if (!codecSetup()) {
        consolePrintf("hda: codec %u has no output converter feeding an output pin\n", hw.codec);
        return false;
    }
    hw.present = true;
    irqInstall(hw.irqLine, onInterrupt);
    consolePrintf("hda: controller %u:%u.%u irq %u, codec %u vendor %x, converter %u -> pin %u\n",
                  hw.pci.bus, hw.pci.device, hw.pci.function, hw.irqLine, hw.codec, hw.vendor,
                  hw.converter, hw.pin);
    return true;
}

int32_t hdaControl(uint32_t code, void* block) {
    auto* bytes = static_cast<uint8_t*>(block);
    switch (code) {
        case IOCTL_STREAM_OPEN:
            return streamOpen(bytes);
        case IOCTL_STREAM_CLOSE:
            return streamClose();
        case IOCTL_STREAM_WRITE:
            return streamWrite(bytes);
        case IOCTL_VOLUME: {
            if (bytes == nullptr)
                return HDA_ERR_PARAM;
            uint32_t volume = le32(bytes);
            if (volume > HDA_FULL_VOLUME)
                return HDA_ERR_RANGE;
            st.volume = volume;
            return 0;
        }
        case IOCTL_MUTE:
            if (bytes == nullptr)
                return HDA_ERR_PARAM;
            st.mute = le32(bytes + 4);
            return 0;
        default:
            return DM_ERR_NOT_SUPPORTED;
    }
}

HdaReport hdaReport() {
    IrqGuard off;
    HdaReport r = report;
    r.present = hw.present;
    r.vendor = hw.vendor;
    r.converter = hw.converter;
    r.pin = hw.pin;
    r.irqLine = hw.irqLine;
    return r;
}

namespace {

bool acceptedReached(void* context) {
    return !st.open || report.accepted >= *static_cast<uint64_t*>(context);
}

}  // namespace

bool hdaWaitAccepted(uint64_t count, uint64_t deadlineUsec) {
    return kernelWaitUntil(acceptedReached, &count, deadlineUsec) && report.accepted >= count;
}

}  // namespace kx::metal
