// SPDX-License-Identifier: Apache-2.0
// WAV reader: header parsing. Where the data begins and how long it is, which files are refused,
// what a file cut short does, and the one console message.
#include <gtest/gtest.h>

#include "platform/fault.h"
#include "platform/files/kxfile_host.h"
#include "tests/support/wavgen.h"
#include "wavFile/wavFile.h"

namespace {

using namespace kx;
using kxtest::Bytes;
using kxtest::Chunk;
using kxtest::WavLayout;

WavLayout withChunks(int count, Bytes body) {
    WavLayout layout;
    layout.data = Bytes(8, 1);
    for (int i = 0; i < count; ++i)
        layout.before.push_back({"junk", body});
    return layout;
}

Bytes replaced(Bytes bytes, size_t at, const char* text) {
    for (size_t i = 0; text[i] != 0; ++i)
        bytes[at + i] = static_cast<uint8_t>(text[i]);
    return bytes;
}

struct ParseResult {
    int32_t result;
    WavFormat format;
    uint32_t offset;
    uint32_t length;
};

ParseResult parse(const std::string& path) {
    ParseResult r{};
    r.offset = r.length = 0xDEADBEEF;
    r.result = parseWavFmt(path.c_str(), &r.format, &r.offset, &r.length);
    return r;
}

TEST(WavParse, OffsetsLengthsAndRefusals) {
    constexpr uint32_t kUnwritten = 0xDEADBEEF;
    WavLayout canonical;
    canonical.data = Bytes(400, 7);
    WavLayout fmt18 = canonical;
    fmt18.fmtSize = 18;
    WavLayout between = canonical;
    between.before = {{"LIST", Bytes(26, 'x')}};
    WavLayout fmt17 = canonical;  // odd fmt body: its pad byte counts in the offset
    fmt17.fmtSize = 17;
    WavLayout odd = canonical;
    odd.before = {{"junk", Bytes(25, 'y')}, {"pad1", Bytes(1, 'z')}};
    WavLayout emptyChunk = canonical;
    emptyChunk.before = {{"none", {}}};
    WavLayout float32 = canonical;
    float32.formatTag = 3;
    WavLayout noFmt = canonical;
    noFmt.writeFmt = false;
    WavLayout trailing = canonical;
    trailing.after = {{"LIST", Bytes(30, 'i')}};

    struct Case {
        const char* name;
        Bytes file;
        int32_t result;
        uint32_t offset;
        uint32_t length;
    };
    const Case cases[] = {
        {"canonical", buildWav(canonical), 0, 44, 400},
        {"18-byte fmt", buildWav(fmt18), 0, 46, 400},
        {"26-byte chunk between", buildWav(between), 0, 78, 400},
        {"17-byte fmt and its pad", buildWav(fmt17), 0, 46, 400},
        {"chunks of 25 and 1 with pads", buildWav(odd), 0, 44 + 34 + 10, 400},
        {"empty chunk", buildWav(emptyChunk), 0, 52, 400},
        {"data after a LIST", buildWav(trailing), 0, 44, 400},
        {"data as the 20th header", buildWav(withChunks(18, Bytes(2, 0))), 0, 44 + 18 * 10, 8},
        {"data as the 21st header", buildWav(withChunks(19, Bytes(2, 0))), -1, kUnwritten,
         kUnwritten},
        {"format tag 3", buildWav(float32), -1, 44, 400},
        {"data before fmt", buildWav(noFmt), -1, 20, 400},
        {"not RIFF", replaced(buildWav(canonical), 0, "RIFX"), -1, kUnwritten, kUnwritten},
        {"not WAVE", replaced(buildWav(canonical), 8, "AVI "), -1, kUnwritten, kUnwritten},
        {"empty file", {}, -1, kUnwritten, kUnwritten},
    };
    kxtest::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int open = kxOpenFiles();
        ParseResult r = parse(dir.write("f.wav", c.file));
        EXPECT_EQ(r.result, c.result);
        if (c.result == 0 || c.offset != kUnwritten) {
            { EXPECT_EQ(r.offset, c.offset); }
            EXPECT_EQ(r.length, c.length);
        } else {
            EXPECT_EQ(r.length, kUnwritten);
        }
        EXPECT_EQ(kxOpenFiles(), open) << "the file is closed on every path";
    }
}

TEST(WavParse, FieldsAndOneReadPerHeaderByte) {
    WavLayout layout;
    layout.channels = 1;
    layout.sampleRate = 22050;
    layout.bits = 8;
    layout.data = Bytes(100, 0x80);
    kxtest::TempDir dir;
    std::string path = dir.write("mono.wav", buildWav(layout));
    faultClearAll();
    ParseResult r = parse(path);
    EXPECT_EQ(faultCalls(Fault::FileRead), 44u);
    ASSERT_EQ(r.result, 0);
    EXPECT_EQ(r.format.formatTag, 1);
    EXPECT_EQ(r.format.channels, 1);
    EXPECT_EQ(r.format.sampleRate, 22050u);
    EXPECT_EQ(r.format.byteRate, 22050u);
    EXPECT_EQ(r.format.blockAlign, 1);
    EXPECT_EQ(r.format.bitsPerSample, 8);
}

TEST(WavParse, MissingFileOrOutputs) {
    kxtest::TempDir dir;
    std::string path = dir.write("ok.wav", kxtest::canonicalWav({1, 2}));
    WavFormat format{};
    uint32_t offset = 0;
    uint32_t length = 0;
    int open = kxOpenFiles();
    EXPECT_EQ(parseWavFmt(dir.file("absent.wav").c_str(), &format, &offset, &length), -1);
    EXPECT_EQ(parseWavFmt(nullptr, &format, &offset, &length), -1);
    EXPECT_EQ(parseWavFmt(path.c_str(), nullptr, &offset, &length), -1);
    EXPECT_EQ(parseWavFmt(path.c_str(), &format, nullptr, &length), -1);
    EXPECT_EQ(parseWavFmt(path.c_str(), &format, &offset, nullptr), -1);
    EXPECT_EQ(kxOpenFiles(), open);
    EXPECT_EQ(parseWavFmt(path.c_str(), &format, &offset, &length), 0);
}

TEST(WavParse, HeadersCutShort) {
    const Bytes full = kxtest::canonicalWav({100, -100});
    struct Case {
        size_t keep;
        int32_t result;
        uint32_t length;
    };
    // Up to the "data" identifier, a cut file reads as empty chunks until the header limit.
    // With the identifier in place, the missing size bytes read as 0.
    const Case cases[] = {{0, -1, 0},  {3, -1, 0},  {8, -1, 0},  {11, -1, 0},
                          {16, -1, 0}, {24, -1, 0}, {36, -1, 0}, {39, -1, 0},
                          {40, 0, 0},  {42, 0, 4},  {44, 0, 4}};
    kxtest::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keep);
        ParseResult r = parse(dir.write("cut.wav", Bytes(full.begin(), full.begin() + c.keep)));
        EXPECT_EQ(r.result, c.result);
        if (c.result == 0) {
            EXPECT_EQ(r.length, c.length);
        }
    }
}

TEST(WavParse, ShortFmtChunkPrintsTheOneMessage) {
    WavLayout fmt14;
    fmt14.fmtSize = 14;
    WavLayout negative;
    negative.writeFmt = false;
    negative.before = {{"fmt ", Bytes(16, 0), true, 0xFFFFFFF0}};
    WavLayout fine;
    fine.data = Bytes(4, 0);
    struct Case {
        const char* name;
        Bytes file;
        std::string printed;
    };
    const Case cases[] = {
        {"14 bytes", buildWav(fmt14), "'fmt' chunk too short (only 14 bytes)!"},
        {"top bit set", buildWav(negative), "'fmt' chunk too short (only -16 bytes)!"},
        {"valid file prints nothing", buildWav(fine), ""},
        {"refused file prints nothing", Bytes(20, 0), ""},
    };
    kxtest::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir.write("m.wav", c.file);
        kxConsoleCapture(true);
        ParseResult r = parse(path);
        std::string printed = kxConsoleTaken();
        kxConsoleCapture(false);
        EXPECT_EQ(printed, c.printed);
        EXPECT_EQ(r.result, c.printed.empty() && c.file.size() > 20 ? 0 : -1);
    }
}

}  // namespace
