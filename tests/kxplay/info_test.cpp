// SPDX-License-Identifier: Apache-2.0
// kxplay --info: the reader's findings on accepted files, the words for every kind of refused
// or unreadable file, the conversion command, and the report's status.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/files/kxfile_host.h"
#include "tests/support/wavgen.h"
#include "tools/kxplay/info.h"

namespace {

using kxtest::Bytes;
using kxtest::Chunk;
using kxtest::WavLayout;

class WavInfo : public ::testing::Test {
  protected:
    void SetUp() override { kx::kxConsoleCapture(true); }
    void TearDown() override { kx::kxConsoleCapture(false); }
    kxtest::TempDir dir;
};

Bytes stereoData(uint32_t frames) {
    return kxtest::samplesToBytes(kxtest::rampSamples(frames));
}

std::string report(const std::string& path) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    kx::printWavInspection(out, path, kx::inspectWav(path));
    std::fclose(out);
    std::string result(text, size);
    std::free(text);
    return result;
}

TEST_F(WavInfo, AnAcceptedFileShowsWhatTheReaderFound) {
    WavLayout wav;
    wav.data = stereoData(44100);
    wav.before.push_back(Chunk{"LIST", Bytes(26, 'x')});
    std::string path = dir.write("ok.wav", kxtest::buildWav(wav));

    kx::WavInspection w = kx::inspectWav(path);
    EXPECT_TRUE(w.accepted) << w.reason;
    EXPECT_EQ(w.parseResult, 0);
    EXPECT_EQ(w.format.formatTag, 1);
    EXPECT_EQ(w.format.channels, 2);
    EXPECT_EQ(w.format.sampleRate, 44100u);
    EXPECT_EQ(w.format.bitsPerSample, 16);
    EXPECT_EQ(w.dataOffset, 78u);
    EXPECT_EQ(w.dataLength, 176400u);
    EXPECT_EQ(w.fullPath, path);
    ASSERT_EQ(w.chunks.size(), 3u);
    EXPECT_EQ(w.chunks[1].id, "LIST");
    EXPECT_EQ(w.chunks[2].offset, 70u);
    EXPECT_TRUE(w.notes.empty());
    EXPECT_EQ(kx::wavBytesHeard(w), 176400u);

    std::string text = report(path);
    EXPECT_NE(text.find(path + ": accepted\n"), std::string::npos) << text;
    EXPECT_NE(text.find("PCM (tag 1), 2 channels, 44100 Hz, 16-bit"), std::string::npos) << text;
    EXPECT_NE(text.find("at byte 78, 176400 bytes = 44100 frames = 1.000 s"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("convert"), std::string::npos) << text;
}

TEST_F(WavInfo, RefusedFilesAreExplainedInWords) {
    auto pcm = [](uint16_t channels, uint32_t rate, uint16_t bits) {
        WavLayout s;
        s.channels = channels;
        s.sampleRate = rate;
        s.bits = bits;
        s.data = Bytes(400, 0);
        return kxtest::buildWav(s);
    };
    WavLayout floatFile;
    floatFile.formatTag = 3;
    floatFile.bits = 32;
    floatFile.data = Bytes(64, 0);
    WavLayout extensible;
    extensible.formatTag = 0xFFFE;
    extensible.fmtSize = 40;
    extensible.data = Bytes(64, 0);
    WavLayout shortFmt;
    shortFmt.fmtSize = 14;
    shortFmt.data = Bytes(64, 0);
    WavLayout noFmt;
    noFmt.writeFmt = false;
    noFmt.data = Bytes(64, 0);
    WavLayout tooDeep;  // "fmt " and 19 more chunks before "data": the reader sees 20 headers
    tooDeep.data = Bytes(64, 0);
    for (int i = 0; i < 19; ++i)
        tooDeep.before.push_back(Chunk{"JUNK", Bytes(2, 0)});
    Bytes noData = kxtest::buildWav(WavLayout{});
    noData.resize(36);  // RIFF, WAVE and "fmt " only

    Bytes riffAvi = kxtest::buildWav(WavLayout{});
    std::memcpy(riffAvi.data() + 8, "AVI ", 4);

    struct Case {
        const char* name;
        Bytes bytes;
        const char* reason;
    };
    const Case cases[] = {
        {"mono.wav", pcm(1, 44100, 16), "mono; kxaudio plays 2-channel 44100 Hz 16-bit PCM"},
        {"48k.wav", pcm(2, 48000, 16), "48000 Hz; kxaudio plays 2-channel 44100 Hz 16-bit PCM"},
        {"8bit.wav", pcm(2, 44100, 8), "8-bit; kxaudio plays 2-channel 44100 Hz 16-bit PCM"},
        {"all.wav", pcm(6, 22050, 24), "6 channels, 22050 Hz, 24-bit; kxaudio plays"},
        {"float.wav", kxtest::buildWav(floatFile),
         "32-bit float samples (format tag 3), not PCM; kxaudio plays"},
        {"ext.wav", kxtest::buildWav(extensible), "extensible format header (format tag 0xFFFE)"},
        {"short.wav", kxtest::buildWav(shortFmt),
         "its 'fmt ' chunk holds only 14 bytes; a PCM format needs 16"},
        {"nofmt.wav", kxtest::buildWav(noFmt), "its 'data' chunk comes before any 'fmt ' chunk"},
        {"deep.wav", kxtest::buildWav(tooDeep),
         "its 'data' chunk is chunk 21; the reader looks at the first 20 chunk headers only"},
        {"nodata.wav", noData, "it has no 'data' chunk"},
        {"song.mp3", Bytes{'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "an MP3 file, not WAV"},
        {"song.ogg", Bytes{'O', 'g', 'g', 'S', 0, 2, 0, 0, 0, 0, 0, 0}, "an Ogg file, not WAV"},
        {"notes.txt", Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\n'},
         "not a WAV file (it does not begin with 'RIFF')"},
        {"empty.wav", Bytes{}, "an empty file, not WAV"},
        {"clip.avi", riffAvi, "a RIFF file of type 'AVI ', not WAVE"},
    };
    for (const Case& c : cases) {
        std::string path = dir.write(c.name, c.bytes);
        kx::WavInspection w = kx::inspectWav(path);
        EXPECT_FALSE(w.accepted) << c.name;
        EXPECT_TRUE(w.unreadable.empty()) << c.name;
        EXPECT_NE(w.reason.find(c.reason), std::string::npos)
            << c.name << "\n  reason: " << w.reason << "\n  wanted: " << c.reason;
        std::string text = report(path);
        EXPECT_NE(text.find(path + ": refused: " + w.reason), std::string::npos) << text;
        EXPECT_NE(text.find("  convert   ffmpeg -i " + path + " -ac 2 -ar 44100 -c:a pcm_s16le"),
                  std::string::npos)
            << text;
    }

    // The reader's own console message is shown with the short "fmt " chunk.
    kx::WavInspection w = kx::inspectWav(dir.file("short.wav"));
    EXPECT_EQ(w.readerMessage, "'fmt' chunk too short (only 14 bytes)!");
}

TEST_F(WavInfo, UnreadableFilesAndPathsTheModuleCannotBuild) {
    struct Case {
        std::string path;
        const char* words;
    };
    ASSERT_EQ(mkdir(dir.file("sub.wav").c_str(), 0700), 0);
    const Case cases[] = {
        {dir.file("missing.wav"), "no such file"},
        {dir.file("sub.wav"), "a directory, not a file"},
        {dir.path() + "/", "a directory, not a file"},
    };
    for (const Case& c : cases) {
        kx::WavInspection w = kx::inspectWav(c.path);
        EXPECT_FALSE(w.accepted) << c.path;
        EXPECT_EQ(w.unreadable, c.words) << c.path;
        std::string text = report(c.path);
        EXPECT_EQ(text, c.path + ": cannot be read: " + c.words + "\n");
    }

    // A file whose full path reaches 512 characters is refused for its path alone.
    std::string deep = dir.path();
    while (deep.size() < 530) {
        deep += "/dddddddddddddddddddddddddddddddddddddddd";
        ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    }
    WavLayout wav;
    wav.data = stereoData(16);
    std::string path = deep + "/ok.wav";
    kxtest::writeFile(path, kxtest::buildWav(wav));
    kx::WavInspection w = kx::inspectWav(path);
    EXPECT_FALSE(w.accepted);
    EXPECT_TRUE(w.pathTooLong);
    EXPECT_NE(w.reason.find("kxaudio takes at most 511"), std::string::npos) << w.reason;
    EXPECT_EQ(report(path).find("convert"), std::string::npos);
}

TEST_F(WavInfo, ShortAndEmptyDataAreNotedAndCountedAsPlayed) {
    WavLayout claims;
    claims.data = Bytes(1000, 0);
    claims.dataSizeOverride = 40000;  // the file holds 1000 bytes of it
    std::string path = dir.write("short-data.wav", kxtest::buildWav(claims));
    kx::WavInspection w = kx::inspectWav(path);
    EXPECT_TRUE(w.accepted);
    EXPECT_EQ(w.dataLength, 40000u);
    ASSERT_EQ(w.notes.size(), 1u);
    EXPECT_NE(w.notes[0].find("claims 40000 bytes but the file holds 1000"), std::string::npos);
    EXPECT_EQ(kx::wavBytesHeard(w), 1001u);

    WavLayout empty;
    path = dir.write("empty-data.wav", kxtest::buildWav(empty));
    w = kx::inspectWav(path);
    EXPECT_TRUE(w.accepted);
    ASSERT_EQ(w.notes.size(), 1u);
    EXPECT_NE(w.notes[0].find("no samples"), std::string::npos);
    EXPECT_EQ(kx::wavBytesHeard(w), 0u);
}

// Headers built to mislead: the verdict is the module's reader's, and every detail line is what
// the file holds and what a play of it is heard as; nothing is read from bytes that are not there.
TEST_F(WavInfo, HostileHeadersGetTrueDetails) {
    WavLayout pcm;
    pcm.data = stereoData(1024);  // one period at the default 1024 frames
    Bytes canonical = kxtest::buildWav(pcm);
    Bytes fmtBody(canonical.begin() + 20, canonical.begin() + 36);
    auto cut = [&](size_t size) { return Bytes(canonical.begin(), canonical.begin() + size); };
    auto claiming = [&](int64_t size) {
        WavLayout w = pcm;
        w.dataSizeOverride = size;
        return kxtest::buildWav(w);
    };
    WavLayout hugeFmt;  // a size the reader takes as -16
    hugeFmt.writeFmt = false;
    hugeFmt.before = {{"fmt ", fmtBody, true, 0xFFFFFFF0}};
    WavLayout emptyBefore = pcm;  // a chunk the reader takes as empty, before "fmt "
    emptyBefore.writeFmt = false;
    emptyBefore.before = {{"LIST", Bytes(), true, 0xFFFFFFFF}, {"fmt ", fmtBody}};
    WavLayout monoEmpty;
    monoEmpty.channels = 1;

    const std::string format = "  format    PCM (tag 1), 2 channels, 44100 Hz, 16-bit";
    struct Case {
        const char* name;
        Bytes bytes;
        bool accepted;
        std::vector<std::string> says;   // parts of the report
        std::vector<std::string> never;  // nor these
    };
    const Case cases[] = {
        {"huge-fmt.wav",
         kxtest::buildWav(hugeFmt),
         false,
         {"refused: its 'fmt ' chunk gives its size as 4294967280, which the reader takes as -16",
          "  reader    'fmt' chunk too short (only -16 bytes)!"},
         {"holds only", "  format", "  data"}},
        {"cut-20.wav",
         cut(20),
         false,
         {"refused: the file ends inside its 'fmt ' chunk: it is 20 bytes long"},
         {"  format", "  data", "at byte 188", "a play"}},
        {"mono-empty.wav", kxtest::buildWav(monoEmpty), false, {"refused: mono"}, {"a play"}},
        {"cut-40.wav",
         cut(40),
         true,
         {format, "  data      at byte 44, 0 bytes = 0 frames",
          "the file ends inside the header of its 'data' chunk at byte 36",
          "no samples: a play is one period of silence"},
         {}},
        {"cut-42.wav",
         cut(42),
         true,
         {format, "4096 bytes claimed, 0 in the file",
          "the file ends before the first of them: a play is one period of silence"},
         {}},
        {"empty-list-first.wav",
         kxtest::buildWav(emptyBefore),
         true,
         {format, "  data      at byte 52, 4096 bytes = 1024 frames = 0.023 s",
          "'LIST' 4294967295 at 12; 'fmt ' 16 at 20; 'data' 4096 at 44;",
          "its 'LIST' chunk at byte 12 gives its size as 4294967295; with the top bit set the "
          "reader takes it as empty"},
         {}},
        {"streamed.wav",
         claiming(0xFFFFFFFF),
         true,
         {format, "4294967295 bytes claimed, 4096 in the file = 1024 frames = 0.023 s",
          "the file holds 4096 behind the data offset; only those play (writers streaming"},
         {"24347"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir.write(c.name, c.bytes);
        kx::WavInspection w = kx::inspectWav(path);
        EXPECT_EQ(w.accepted, c.accepted) << w.reason;
        std::string text = report(path);
        for (const std::string& part : c.says)
            EXPECT_NE(text.find(part), std::string::npos) << "wanted: " << part << "\n" << text;
        for (const std::string& part : c.never)
            EXPECT_EQ(text.find(part), std::string::npos) << "unwanted: " << part << "\n" << text;
    }
}

TEST_F(WavInfo, ConversionCommandQuotesWhatTheShellWouldSplit) {
    EXPECT_EQ(kx::wavConversionCommand("a/b.mp3"),
              "ffmpeg -i a/b.mp3 -ac 2 -ar 44100 -c:a pcm_s16le a/b-kx.wav");
    EXPECT_EQ(kx::wavConversionCommand("my song.wav"),
              "ffmpeg -i 'my song.wav' -ac 2 -ar 44100 -c:a pcm_s16le 'my song-kx.wav'");
    EXPECT_EQ(kx::wavConversionCommand("it's"),
              "ffmpeg -i 'it'\\''s' -ac 2 -ar 44100 -c:a pcm_s16le 'it'\\''s-kx.wav'");
    EXPECT_EQ(kx::wavConversionCommand("dir.d/noext"),
              "ffmpeg -i dir.d/noext -ac 2 -ar 44100 -c:a pcm_s16le dir.d/noext-kx.wav");
}

TEST_F(WavInfo, TheStatusSaysWhetherEveryFileWouldBeAccepted) {
    WavLayout ok;
    ok.data = stereoData(8);
    WavLayout mono;
    mono.channels = 1;
    mono.data = Bytes(16, 0);
    std::string good = dir.write("good.wav", kxtest::buildWav(ok));
    std::string bad = dir.write("bad.wav", kxtest::buildWav(mono));
    FILE* sink = std::fopen("/dev/null", "w");
    ASSERT_NE(sink, nullptr);
    EXPECT_EQ(kx::runWavInfo({good, good}, sink), 0);
    EXPECT_EQ(kx::runWavInfo({good, bad}, sink), 1);
    EXPECT_EQ(kx::runWavInfo({dir.file("nothing.wav")}, sink), 1);
    std::fclose(sink);
}

}  // namespace
