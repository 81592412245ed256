// SPDX-License-Identifier: Apache-2.0
// The model's reading of WAV headers, checked against offsets worked out by hand: chunk sizes,
// the pad byte after an odd-sized body, the limit of twenty chunk headers, and the refusals.
#include <gtest/gtest.h>

#include "tests/model/model.h"
#include "tests/support/wavgen.h"

namespace kxmodel {
namespace {

kxtest::Chunk chunk(const char* id, size_t size) {
    return {id, Bytes(size, 0x33)};
}

TEST(ModelWavHeader, OffsetsAndRefusals) {
    struct Case {
        const char* name;
        kxtest::WavLayout layout;
        bool ok;
        uint32_t offset;  // checked when ok
        uint32_t length;
    };
    auto wav = [](auto change) {
        kxtest::WavLayout s;
        s.data = Bytes(40, 1);
        change(s);
        return s;
    };
    const Case cases[] = {
        {"canonical", wav([](auto&) {}), true, 44, 40},
        {"fmt of 18 bytes", wav([](auto& s) { s.fmtSize = 18; }), true, 46, 40},
        {"fmt of 17 bytes and its pad", wav([](auto& s) { s.fmtSize = 17; }), true, 46, 40},
        {"a chunk of 26 before data", wav([](auto& s) { s.before = {chunk("LIST", 26)}; }), true,
         78, 40},
        {"a chunk of 5 and its pad", wav([](auto& s) { s.before = {chunk("junk", 5)}; }), true, 58,
         40},
        {"an empty chunk", wav([](auto& s) { s.before = {chunk("fact", 0)}; }), true, 52, 40},
        {"odd data, chunk after", wav([](auto& s) {
             s.data = Bytes(41, 1);
             s.after = {chunk("LIST", 9)};
         }),
         true, 44, 41},
        {"data size claims more than the file", wav([](auto& s) { s.dataSizeOverride = 1000; }),
         true, 44, 1000},
        {"18 chunks and fmt before data",
         wav([](auto& s) { s.before = std::vector<kxtest::Chunk>(18, chunk("junk", 3)); }), true,
         44 + 18 * 12, 40},
        {"19 chunks and fmt before data",
         wav([](auto& s) { s.before = std::vector<kxtest::Chunk>(19, chunk("junk", 3)); }), false,
         0, 0},
        {"format tag 3", wav([](auto& s) { s.formatTag = 3; }), false, 0, 0},
        {"no fmt before data", wav([](auto& s) { s.writeFmt = false; }), false, 0, 0},
        {"fmt of 14 bytes", wav([](auto& s) { s.fmtSize = 14; }), false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WavHeader h = parseWav(kxtest::buildWav(c.layout));
        EXPECT_EQ(h.ok, c.ok);
        if (!c.ok)
            continue;
        EXPECT_EQ(h.dataOffset, c.offset);
        EXPECT_EQ(h.dataLength, c.length);
        EXPECT_EQ(h.channels, 2);
        EXPECT_EQ(h.sampleRate, 44100u);
        EXPECT_EQ(h.bits, 16);
    }
}

TEST(ModelWavHeader, DamagedFilesAreRefused) {
    Bytes good = kxtest::buildWav(kxtest::WavLayout{});
    struct Case {
        const char* name;
        Bytes bytes;
    };
    Bytes notRiff = good;
    notRiff[3] = 'X';
    Bytes notWave = good;
    notWave[8] = 'w';
    const Case cases[] = {
        {"empty", {}},
        {"not RIFF", notRiff},
        {"not WAVE", notWave},
        {"cut in the fmt chunk", Bytes(good.begin(), good.begin() + 30)},
        {"cut before the data header", Bytes(good.begin(), good.begin() + 36)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(parseWav(c.bytes).ok);
    }
}

}  // namespace
}  // namespace kxmodel
