// SPDX-License-Identifier: Apache-2.0
// Sound creation and deletion through the table: every status in its place, nothing added on
// failure, nothing leaked.
#include <filesystem>
#include <string>

#include "platform/fault.h"
#include "platform/files/kxfile_host.h"
#include "platform/files/kxfs_host.h"
#include "tests/support/engine_fixture.h"

namespace kxtest {
namespace {

class CreateTest : public EngineTest {
  protected:
    int sounds() { return kx::SizePool(&kx::audioLib.mixer.pool); }
};

TEST_F(CreateTest, RefusedFilesAddNothing) {
    WavLayout mono, rate, bits8, adpcm, noData;
    mono.channels = 1;
    rate.sampleRate = 48000;
    bits8.bits = 8;
    adpcm.formatTag = 2;
    for (WavLayout* s : {&mono, &rate, &bits8, &adpcm})
        s->data = Bytes(64, 1);
    dir.write("mono.wav", buildWav(mono));
    dir.write("rate.wav", buildWav(rate));
    dir.write("bits8.wav", buildWav(bits8));
    dir.write("adpcm.wav", buildWav(adpcm));
    dir.write("text.wav", Bytes{'h', 'e', 'l', 'l', 'o'});
    Bytes truncated = canonicalWav(rampSamples(10));
    truncated.resize(30);
    dir.write("truncated.wav", truncated);

    struct Case {
        uint32_t location;
        const char* name;
        int32_t status;
    };
    const std::string longName(600, 'x');
    const Case cases[] = {
        {1, "mono.wav", kx::SND_ERR_FORMAT},  {1, "rate.wav", kx::SND_ERR_FORMAT},
        {1, "bits8.wav", kx::SND_ERR_FORMAT}, {1, "adpcm.wav", kx::SND_ERR_FORMAT},
        {1, "text.wav", kx::SND_ERR_FORMAT},  {1, "truncated.wav", kx::SND_ERR_FORMAT},
        {1, "missing.wav", kx::SND_ERR_FILE}, {1, longName.c_str(), kx::SND_ERR_FILE},
        {7, "mono.wav", kx::SND_ERR_FILE},    {0, "mono.wav", kx::SND_ERR_PARAM},
        {1, nullptr, kx::SND_ERR_PARAM},
    };
    int64_t heap = kx::kxHeapOutstanding();
    for (const Case& c : cases) {
        kx::SoundHandle h = reinterpret_cast<kx::SoundHandle>(this);
        EXPECT_EQ(m.ops().sndCreate(c.location, c.name, &h), c.status)
            << (c.name ? c.name : "null");
        if (c.status != kx::SND_ERR_PARAM) {
            EXPECT_EQ(h, nullptr) << "handle out is cleared";
        }
    }
    EXPECT_EQ(m.ops().sndCreate(1, "mono.wav", nullptr), kx::SND_ERR_PARAM);
    EXPECT_EQ(sounds(), 0);
    EXPECT_EQ(kx::kxHeapOutstanding(), heap);
    EXPECT_EQ(kx::kxOpenFiles(), 0);
}

TEST_F(CreateTest, PathLengthLimit) {
    // The full path is the location's directory, "/" and the name; 511 characters fit the
    // 512-byte buffer, 512 do not. Nested directories make the path long enough.
    std::string deep = dir.path();
    while (deep.size() < 400) {
        deep += "/" + std::string(60, 'd');
        ASSERT_TRUE(std::filesystem::create_directory(deep));
    }
    kx::kxfsBind(3, deep.c_str());
    for (size_t total : {size_t{511}, size_t{512}}) {
        std::string name(total - deep.size() - 1 - 4, 'n');
        name += ".wav";
        writeFile(deep + "/" + name, canonicalWav(rampSamples(8)));
        kx::SoundHandle h = nullptr;
        EXPECT_EQ(m.ops().sndCreate(3, name.c_str(), &h),
                  total == 511 ? kx::SND_OK : kx::SND_ERR_FILE)
            << total;
    }
}

TEST_F(CreateTest, DuplicateHandsBackTheFirstSound) {
    kx::SoundHandle first = sound("a.wav", rampSamples(32));
    kx::SoundHandle again = nullptr;
    EXPECT_EQ(m.ops().sndCreate(1, "a.wav", &again), kx::SND_ERR_EXISTS);
    EXPECT_EQ(again, first);
    // A location whose directory ends in "/" gives the path text "dir//a.wav": the same file
    // under another identity, so another sound.
    kx::kxfsBind(2, (dir.path() + "/./").c_str());
    EXPECT_EQ(m.ops().sndCreate(2, "a.wav", &again), kx::SND_OK);
    EXPECT_NE(again, first);
    EXPECT_EQ(sounds(), 2);
    EXPECT_EQ(first->fd, -1) << "a created sound keeps its file closed";
    EXPECT_EQ(first->dataOffset, 44u);
    EXPECT_EQ(first->dataLength, 32u * 4);
}

TEST_F(CreateTest, DeleteRemovesTheSoundAndItsBlock) {
    kx::SoundHandle s = sound("a.wav", constantSamples(20 * kFrames, 500));
    ASSERT_EQ(m.ops().sndPlay(s, 0, 1), kx::SND_OK);
    m.step();
    EXPECT_EQ(m.period(m.periods() - 1), std::vector<int16_t>(kSamples, 500));
    EXPECT_EQ(m.ops().sndDelete(s), kx::SND_OK);
    m.step();
    EXPECT_EQ(m.period(m.periods() - 1), std::vector<int16_t>(kSamples, 0));
    EXPECT_EQ(sounds(), 0);
    EXPECT_EQ(freeBlocks(), kx::NUM_STREAM_BLOCKS);
    EXPECT_EQ(kx::kxOpenFiles(), 0);
    kx::SoundHandle again = nullptr;
    EXPECT_EQ(m.ops().sndCreate(1, "a.wav", &again), kx::SND_OK) << "the path is free again";
    EXPECT_EQ(m.ops().sndDelete(nullptr), kx::SND_ERR_PARAM);
}

// Out of memory or a sound pool that cannot be locked: SND_ERR_NO_MEMORY and nothing kept.
TEST_F(CreateTest, ResourceFailures) {
    dir.write("a.wav", canonicalWav(rampSamples(32)));
    struct Case {
        kx::Fault fault;
        uint64_t nth;
        bool sticky;
    };
    const Case cases[] = {{kx::Fault::Alloc, 1, false},
                          {kx::Fault::Alloc, 2, false},
                          {kx::Fault::SectionEnter, 1, true},
                          {kx::Fault::FileOpen, 1, false}};
    int64_t heap = kx::kxHeapOutstanding();
    for (const Case& c : cases) {
        SCOPED_TRACE(kx::faultName(c.fault));
        kx::faultArm(c.fault, c.nth, c.sticky);
        kx::SoundHandle h = nullptr;
        int32_t status = m.ops().sndCreate(1, "a.wav", &h);
        kx::faultClearAll();
        EXPECT_EQ(status,
                  c.fault == kx::Fault::FileOpen ? kx::SND_ERR_FILE : kx::SND_ERR_NO_MEMORY);
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(sounds(), 0);
        EXPECT_EQ(kx::kxHeapOutstanding(), heap);
    }
}

}  // namespace
}  // namespace kxtest
