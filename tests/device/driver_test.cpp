// SPDX-License-Identifier: Apache-2.0
// The HD-audio driver's control protocol on the free clock: stream format checks, frames per
// period, what a write records, volume and mute with the gain law, counters and injected faults.
#include <cstdlib>
#include <vector>

#include "kxaudio/audioLib.h"
#include "platform/devices/hda_protocol.h"
#include "tests/device/device_support.h"

namespace {

using kxdev::Descriptor;
using kxdev::DeviceTest;
using kxdev::HdaHandle;

class DriverTest : public DeviceTest {
  protected:
    // Opens the stream with `frames` per period and a period buffer of P bytes plus guard bytes.
    void openStream(uint32_t frames = 4) {
        kx::hdaSetFramesPerPeriod(frames);
        desc = Descriptor::stereo();
        ASSERT_EQ(hda.control(kx::IOCTL_STREAM_OPEN, desc.bytes), 0);
        ASSERT_EQ(desc.frames(), frames);
        buffer.assign(frames * 4 + 16, 0xEE);
        desc.setBuffer(buffer.data());
    }
    // Writes these samples as one period (they must fill it exactly).
    int32_t writePeriod(const std::vector<int16_t>& samples) {
        EXPECT_EQ(samples.size() * 2 + 16, buffer.size());
        std::memcpy(buffer.data(), samples.data(), samples.size() * 2);
        return hda.control(kx::IOCTL_STREAM_WRITE, desc.bytes);
    }
    int32_t volume(uint32_t value) {
        uint32_t block[2] = {value, 0};
        return hda.control(kx::IOCTL_VOLUME, block);
    }
    int32_t mute(uint32_t flag) {
        uint32_t block[2] = {0, flag};
        return hda.control(kx::IOCTL_MUTE, block);
    }
    static std::vector<int16_t> capturedSamples() {
        std::vector<uint8_t> bytes = kx::hdaCaptured();
        std::vector<int16_t> samples(bytes.size() / 2);
        std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
        return samples;
    }

    HdaHandle hda;
    Descriptor desc;
    std::vector<uint8_t> buffer;
};

TEST_F(DriverTest, OpenAcceptsOnlyTwoChannels44100Hz16Bits) {
    struct Case {
        uint16_t channels;
        uint32_t rate;
        uint16_t bits;
        int32_t expected;
    };
    for (Case c :
         {Case{2, 44100, 16, 0}, Case{1, 44100, 16, kx::HDA_ERR_FORMAT},
          Case{0, 44100, 16, kx::HDA_ERR_FORMAT}, Case{2, 48000, 16, kx::HDA_ERR_FORMAT},
          Case{2, 22050, 16, kx::HDA_ERR_FORMAT}, Case{2, 44100, 8, kx::HDA_ERR_FORMAT},
          Case{2, 44100, 24, kx::HDA_ERR_FORMAT}, Case{0x0102, 44100, 16, kx::HDA_ERR_FORMAT}}) {
        Descriptor d = Descriptor::stereo(c.channels, c.rate, c.bits);
        d.setFrames(0xCAFE);
        EXPECT_EQ(hda.control(kx::IOCTL_STREAM_OPEN, d.bytes), c.expected)
            << c.channels << " " << c.rate << " " << c.bits;
        EXPECT_EQ(d.frames(), c.expected == 0 ? 1024u : 0xCAFEu);
        EXPECT_EQ(kx::hdaStats().streamOpen, c.expected == 0);
        hda.control(kx::IOCTL_STREAM_CLOSE, d.bytes);
    }
    EXPECT_EQ(kx::hdaStats().opens, 1u);
    EXPECT_EQ(kx::hdaStats().closes, 1u) << "closing a stream that is not open counts nothing";
    EXPECT_EQ(hda.control(kx::IOCTL_STREAM_OPEN, nullptr), kx::HDA_ERR_PARAM);
}

TEST_F(DriverTest, OpenReportsFramesAndRemembersTheNotifyTask) {
    for (uint32_t frames : {1024u, 2u, 441u, 4096u}) {
        kx::hdaSetFramesPerPeriod(frames);
        Descriptor d = Descriptor::stereo();
        d.setNotifyTask(0x1000 + frames);
        ASSERT_EQ(hda.control(kx::IOCTL_STREAM_OPEN, d.bytes), 0);
        EXPECT_EQ(d.frames(), frames);
        kx::HdaStats stats = kx::hdaStats();
        EXPECT_EQ(stats.framesPerPeriod, frames);
        EXPECT_EQ(stats.notifyTask, 0x1000 + frames);
        EXPECT_EQ(hda.control(kx::IOCTL_STREAM_CLOSE, d.bytes), 0);
    }
}

TEST_F(DriverTest, FramesAtReopenApplyFromTheSecondOpenOn) {
    kx::hdaSetFramesAtReopen(512);
    std::vector<uint32_t> reported;
    for (int i = 0; i < 3; ++i) {
        Descriptor d = Descriptor::stereo();
        ASSERT_EQ(hda.control(kx::IOCTL_STREAM_OPEN, d.bytes), 0);
        reported.push_back(d.frames());
        ASSERT_EQ(hda.control(kx::IOCTL_STREAM_CLOSE, d.bytes), 0);
    }
    EXPECT_EQ(reported, (std::vector<uint32_t>{1024, 512, 512}));
}

TEST_F(DriverTest, AWriteRecordsExactlyOnePeriodFromTheNamedBuffer) {
    openStream(4);
    std::vector<int16_t> samples = {1, -2, 300, -400, 5000, -6000, 32767, -32768};
    ASSERT_EQ(writePeriod(samples), 0);
    EXPECT_EQ(kx::hdaCaptured().size(), 16u) << "the guard bytes behind P are not taken";
    EXPECT_EQ(capturedSamples(), samples);
    ASSERT_EQ(writePeriod({9, 9, 9, 9, 9, 9, 9, 9}), 0);
    EXPECT_EQ(kx::hdaStats().periods, 2u);
    EXPECT_EQ(kx::hdaCaptured().size(), 32u);
}

TEST_F(DriverTest, TheModulesDescriptorRecordIsReadAtTheSameOffsets) {
    kx::hdaSetFramesPerPeriod(2);
    kx::StreamDescriptor stream{};
    stream.format.channels = 2;
    stream.format.sampleRate = 44100;
    stream.format.bitsPerSample = 16;
    stream.notifyTask = 77;
    ASSERT_EQ(hda.control(kx::IOCTL_STREAM_OPEN, &stream), 0);
    EXPECT_EQ(stream.framesPerPeriod, 2u);
    EXPECT_EQ(kx::hdaStats().notifyTask, 77u);
    int16_t period[4] = {11, -11, 22, -22};
    stream.periodBuffer = reinterpret_cast<uint8_t*>(period);
    ASSERT_EQ(hda.control(kx::IOCTL_STREAM_WRITE, &stream), 0);
    EXPECT_EQ(capturedSamples(), (std::vector<int16_t>{11, -11, 22, -22}));
}

TEST_F(DriverTest, WritesWithoutABufferOrAnOpenStreamFail) {
    Descriptor d = Descriptor::stereo();
    EXPECT_EQ(hda.control(kx::IOCTL_STREAM_WRITE, d.bytes), kx::HDA_ERR_STATE);
    ASSERT_EQ(hda.control(kx::IOCTL_STREAM_OPEN, d.bytes), 0);
    EXPECT_EQ(hda.control(kx::IOCTL_STREAM_WRITE, d.bytes), kx::HDA_ERR_BUFFER);
    EXPECT_EQ(hda.control(kx::IOCTL_STREAM_WRITE, nullptr), kx::HDA_ERR_PARAM);
    kx::HdaStats stats = kx::hdaStats();
    EXPECT_EQ(stats.failedWrites, 3u);
    EXPECT_EQ(stats.periods, 0u);
    EXPECT_TRUE(kx::hdaCaptured().empty());
}

TEST_F(DriverTest, ZeroFramesOpensAndRecordsEmptyPeriods) {
    kx::hdaSetFramesPerPeriod(0);
    Descriptor d = Descriptor::stereo();
    ASSERT_EQ(hda.control(kx::IOCTL_STREAM_OPEN, d.bytes), 0);
    EXPECT_EQ(d.frames(), 0u);
    uint8_t guard[4] = {1, 2, 3, 4};
    d.setBuffer(guard);
    EXPECT_EQ(hda.control(kx::IOCTL_STREAM_WRITE, d.bytes), 0);
    EXPECT_EQ(kx::hdaStats().periods, 1u);
    EXPECT_TRUE(kx::hdaCaptured().empty());
}

TEST_F(DriverTest, GainLawRoundsTowardZero) {
    struct Case {
        int16_t sample;
        uint32_t volume;
        int16_t expected;
    };
    for (Case c : {Case{1000, 50, 500}, Case{-1001, 50, -500}, Case{1001, 50, 500}, Case{3, 33, 0},
                   Case{-3, 67, -2}, Case{32767, 99, 32439}, Case{-32768, 99, -32440},
                   Case{32767, 100, 32767}, Case{-32768, 100, -32768}, Case{-1, 100, -1},
                   Case{12345, 0, 0}, Case{-32768, 1, -327}}) {
        EXPECT_EQ(kx::hdaApplyGain(c.sample, c.volume), c.expected)
            << c.sample << " at " << c.volume;
    }
    // Full volume passes every sample through bit for bit.
    for (int s = INT16_MIN; s <= INT16_MAX; ++s)
        ASSERT_EQ(kx::hdaApplyGain(static_cast<int16_t>(s), 100), s);
}

TEST_F(DriverTest, VolumeAcceptsZeroToOneHundredOnly) {
    struct Case {
        uint32_t volume;
        int32_t expected;
    };
    uint32_t current = 100;
    for (Case c : {Case{0, 0}, Case{50, 0}, Case{100, 0}, Case{101, kx::HDA_ERR_RANGE},
                   Case{356, kx::HDA_ERR_RANGE}, Case{0xFFFFFFFF, kx::HDA_ERR_RANGE}, Case{1, 0}}) {
        EXPECT_EQ(volume(c.volume), c.expected) << c.volume;
        if (c.expected == 0)
            current = c.volume;
        EXPECT_EQ(kx::hdaStats().volume, current) << c.volume;
    }
    EXPECT_EQ(hda.control(kx::IOCTL_VOLUME, nullptr), kx::HDA_ERR_PARAM);
}

TEST_F(DriverTest, VolumeAndMuteApplyFromTheNextPeriod) {
    openStream(2);
    const std::vector<int16_t> period = {1000, -1000, 32767, -32768};
    ASSERT_EQ(writePeriod(period), 0);
    ASSERT_EQ(volume(50), 0);
    ASSERT_EQ(writePeriod(period), 0);
    ASSERT_EQ(mute(1), 0);
    ASSERT_EQ(writePeriod(period), 0);
    ASSERT_EQ(mute(0), 0);
    ASSERT_EQ(volume(100), 0);
    ASSERT_EQ(writePeriod(period), 0);
    EXPECT_EQ(capturedSamples(), (std::vector<int16_t>{1000, -1000, 32767, -32768,  //
                                                       500, -500, 16383, -16384,    //
                                                       0, 0, 0, 0,                  //
                                                       1000, -1000, 32767, -32768}));
}

TEST_F(DriverTest, MuteKeepsTheFlagAsReceived) {
    for (uint32_t flag : {1u, 0x80u, 0xFFu, 0u}) {
        EXPECT_EQ(mute(flag), 0);
        EXPECT_EQ(kx::hdaStats().mute, flag);
    }
    EXPECT_EQ(hda.control(kx::IOCTL_MUTE, nullptr), kx::HDA_ERR_PARAM);
}

TEST_F(DriverTest, ClippedSamplesAreCountedBeforeGainAndPeakAfter) {
    openStream(2);
    ASSERT_EQ(volume(50), 0);
    ASSERT_EQ(writePeriod({32767, -32768, 32766, -5}), 0);
    kx::HdaStats stats = kx::hdaStats();
    EXPECT_EQ(stats.clippedSamples, 2u);
    EXPECT_EQ(stats.peak, 16384);
    ASSERT_EQ(volume(100), 0);
    ASSERT_EQ(writePeriod({-32768, 0, 0, 0}), 0);
    stats = kx::hdaStats();
    EXPECT_EQ(stats.clippedSamples, 3u);
    EXPECT_EQ(stats.peak, 32767) << "the magnitude of -32768 saturates";
}

TEST_F(DriverTest, ThePeriodHookSeesEachRecordedPeriodAfterGain) {
    struct Seen {
        std::vector<int16_t> samples;
        std::vector<uint32_t> frames;
    } seen;
    kx::hdaSetPeriodHook(
        [](const int16_t* samples, uint32_t frames, void* context) {
            auto* s = static_cast<Seen*>(context);
            s->samples.insert(s->samples.end(), samples, samples + frames * 2);
            s->frames.push_back(frames);
        },
        &seen);
    openStream(2);
    ASSERT_EQ(volume(10), 0);
    ASSERT_EQ(writePeriod({100, -100, 1000, -1000}), 0);
    desc.setBuffer(nullptr);
    EXPECT_NE(hda.control(kx::IOCTL_STREAM_WRITE, desc.bytes), 0);
    EXPECT_EQ(seen.frames, (std::vector<uint32_t>{2}));
    EXPECT_EQ(seen.samples, (std::vector<int16_t>{10, -10, 100, -100}));
}

TEST_F(DriverTest, InjectedFaultsFailInTheLowSixteenBitsAndChangeNothing) {
    openStream(2);
    ASSERT_EQ(volume(40), 0);
    struct Case {
        kx::Fault fault;
        uint32_t code;
    };
    uint32_t volumeBlock[2] = {70, 0};
    uint32_t muteBlock[2] = {0, 1};
    std::memset(buffer.data(), 0x11, 8);
    for (Case c :
         {Case{kx::Fault::StreamOpen, kx::IOCTL_STREAM_OPEN},
          Case{kx::Fault::StreamClose, kx::IOCTL_STREAM_CLOSE},
          Case{kx::Fault::StreamWrite, kx::IOCTL_STREAM_WRITE},
          Case{kx::Fault::Volume, kx::IOCTL_VOLUME}, Case{kx::Fault::Mute, kx::IOCTL_MUTE}}) {
        kx::HdaStats before = kx::hdaStats();
        kx::faultArm(c.fault, 1);
        void* block = c.code == kx::IOCTL_VOLUME ? static_cast<void*>(volumeBlock)
                      : c.code == kx::IOCTL_MUTE ? static_cast<void*>(muteBlock)
                                                 : static_cast<void*>(desc.bytes);
        int32_t result = hda.control(c.code, block);
        EXPECT_NE(result & 0xFFFF, 0) << kx::faultName(c.fault);
        EXPECT_TRUE(kx::faultReached(c.fault)) << kx::faultName(c.fault);
        kx::HdaStats after = kx::hdaStats();
        EXPECT_EQ(after.opens, before.opens);
        EXPECT_EQ(after.closes, before.closes);
        EXPECT_EQ(after.streamOpen, true);
        EXPECT_EQ(after.periods, before.periods);
        EXPECT_EQ(after.volume, 40u);
        EXPECT_EQ(after.mute, 0u);
        EXPECT_EQ(after.failedWrites,
                  before.failedWrites + (c.fault == kx::Fault::StreamWrite ? 1 : 0));
        kx::faultClear(c.fault);
    }
    EXPECT_TRUE(kx::hdaCaptured().empty());
    // Every call works again once the faults are spent.
    EXPECT_EQ(hda.control(kx::IOCTL_STREAM_WRITE, desc.bytes), 0);
    EXPECT_EQ(hda.control(kx::IOCTL_VOLUME, volumeBlock), 0);
    EXPECT_EQ(hda.control(kx::IOCTL_MUTE, muteBlock), 0);
}

TEST_F(DriverTest, ResetRestoresTheDefaults) {
    openStream(8);
    ASSERT_EQ(volume(3), 0);
    ASSERT_EQ(mute(1), 0);
    kx::hdaSetFramesAtReopen(16);
    kx::faultArm(kx::Fault::StreamWrite, 5);
    ASSERT_EQ(hda.control(kx::IOCTL_STREAM_CLOSE, desc.bytes), 0);
    kx::hdaReset();
    kx::HdaStats stats = kx::hdaStats();
    EXPECT_EQ(stats.volume, 100u);
    EXPECT_EQ(stats.mute, 0u);
    EXPECT_EQ(stats.framesPerPeriod, 1024u);
    EXPECT_EQ(stats.opens, 0u);
    EXPECT_EQ(stats.closes, 0u);
    EXPECT_FALSE(stats.streamOpen);
    // The pending frames at reopen and the armed write fault are gone with the rest.
    for (int i = 0; i < 2; ++i) {
        Descriptor d = Descriptor::stereo();
        ASSERT_EQ(hda.control(kx::IOCTL_STREAM_OPEN, d.bytes), 0);
        EXPECT_EQ(d.frames(), 1024u);
        std::vector<uint8_t> period(1024 * 4, 0);
        d.setBuffer(period.data());
        for (int w = 0; w < 5; ++w)
            EXPECT_EQ(hda.control(kx::IOCTL_STREAM_WRITE, d.bytes), 0);
        ASSERT_EQ(hda.control(kx::IOCTL_STREAM_CLOSE, d.bytes), 0);
    }
    EXPECT_FALSE(kx::faultReached(kx::Fault::StreamWrite));
    EXPECT_EQ(kx::hdaStats().periods, 10u);
}

}  // namespace
