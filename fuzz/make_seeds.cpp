// SPDX-License-Identifier: Apache-2.0
// Writes the fuzzers' seed corpora: WAV files of every chunk layout the reader knows (canonical,
// extended "fmt ", chunks before and after "data", odd sizes with and without their pad byte,
// the chunk limit, lying sizes, foreign formats) with truncations of the canonical header, and
// sample scenes (good ones, and one for each kind of error). Usage: make_seeds DIR; writes
// DIR/wav and DIR/scene.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/wavgen.h"

namespace {

using kxtest::Bytes;
using kxtest::Chunk;
using kxtest::WavLayout;

Bytes samples(uint32_t frames) {
    return kxtest::samplesToBytes(kxtest::rampSamples(frames, 1, 257));
}

WavLayout pcm(uint32_t frames) {
    WavLayout layout;
    layout.data = samples(frames);
    return layout;
}

Bytes fmtBody(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
    Bytes body;
    kxtest::put16(body, tag);
    kxtest::put16(body, channels);
    kxtest::put32(body, rate);
    kxtest::put32(body, rate * channels * bits / 8);
    kxtest::put16(body, static_cast<uint16_t>(channels * bits / 8));
    kxtest::put16(body, bits);
    return body;
}

std::vector<std::pair<std::string, Bytes>> wavSeeds() {
    std::vector<std::pair<std::string, Bytes>> out;
    auto add = [&](const std::string& name, const WavLayout& layout) {
        out.emplace_back(name, kxtest::buildWav(layout));
    };
    for (uint32_t frames : {0u, 1u, 63u, 64u, 65u, 200u})
        add("canonical-" + std::to_string(frames), pcm(frames));

    WavLayout layout = pcm(70);
    layout.fmtSize = 18;
    add("fmt-18", layout);
    layout = pcm(70);
    layout.fmtSize = 40;
    add("fmt-40", layout);

    layout = pcm(70);
    layout.before.push_back({"LIST", Bytes(26, 'x')});
    add("list-before-data", layout);
    layout = pcm(70);
    layout.before.push_back({"junk", Bytes(7, 'j'), true});
    add("odd-chunk-padded", layout);
    layout = pcm(70);
    layout.before.push_back({"junk", Bytes(7, 'j'), false});
    add("odd-chunk-unpadded", layout);
    layout = pcm(70);
    layout.after.push_back({"LIST", Bytes(300, 'L')});
    add("list-after-data", layout);
    layout = pcm(70);
    layout.data.push_back(0x11);
    add("odd-data-padded", layout);

    layout = pcm(70);
    layout.writeFmt = false;
    layout.after.push_back({"fmt ", fmtBody(1, 2, 44100, 16)});
    add("data-before-fmt", layout);
    layout = pcm(70);
    layout.writeFmt = false;
    layout.before.push_back({"fmt ", fmtBody(1, 1, 8000, 8)});
    layout.before.push_back({"fmt ", fmtBody(1, 2, 44100, 16)});
    add("two-fmt-chunks", layout);

    for (int others : {18, 19}) {
        layout = pcm(70);
        for (int i = 0; i < others; ++i)
            layout.before.push_back(
                {"ext" + std::to_string(i % 10), Bytes(static_cast<size_t>(i))});
        add("chunks-before-data-" + std::to_string(others + 1), layout);
    }

    const std::pair<const char*, int64_t> sizes[] = {{"data-size-beyond-file", 100000},
                                                     {"data-size-zero", 0},
                                                     {"data-size-top-bit", 0x80000000},
                                                     {"data-size-streamed", 0xFFFFFFFF}};
    for (const auto& [name, size] : sizes) {
        layout = pcm(70);
        layout.dataSizeOverride = size;
        add(name, layout);
    }
    layout = pcm(70);
    layout.before.push_back({"huge", Bytes(4), true, 0x7FFFFF00});
    add("chunk-size-huge", layout);
    layout = pcm(70);
    layout.before.push_back({"neg ", Bytes(), true, 0x80000000});
    add("chunk-size-negative", layout);

    layout = pcm(70);
    layout.fmtSize = 14;
    add("fmt-too-short", layout);
    struct Foreign {
        const char* name;
        uint16_t tag, channels;
        uint32_t rate;
        uint16_t bits;
    };
    const Foreign foreign[] = {{"mono", 1, 1, 44100, 16},
                               {"8-bit", 1, 2, 44100, 8},
                               {"22050-hz", 1, 2, 22050, 16},
                               {"float", 3, 2, 44100, 32},
                               {"extensible", 0xFFFE, 2, 44100, 16}};
    for (const Foreign& f : foreign) {
        layout = pcm(70);
        layout.formatTag = f.tag;
        layout.channels = f.channels;
        layout.sampleRate = f.rate;
        layout.bits = f.bits;
        add(f.name, layout);
    }

    Bytes canonical = kxtest::buildWav(pcm(64));
    for (size_t cut : {0, 3, 4, 8, 11, 12, 16, 20, 24, 36, 40, 43, 44, 50, 300})
        out.emplace_back("truncated-" + std::to_string(cut),
                         Bytes(canonical.begin(), canonical.begin() + static_cast<long>(cut)));
    Bytes rifx = canonical;
    rifx[3] = 'X';
    out.emplace_back("not-riff", rifx);
    Bytes wavx = canonical;
    wavx[11] = 'X';
    out.emplace_back("not-wave", wavx);
    return out;
}

const std::pair<const char*, const char*> kScenes[] = {
    {"groove",
     "# groove.scene\nsound beat beat.wav\nsound bell chime.wav\nplay beat loop\n"
     "at 2    play bell exclusive   # stops the loop\nat 5    play beat loop\nat 6    pause all\n"
     "at 6.5  play beat loop\nat 8    volume 50\nat 9    mute on\nat 9.5  end\n"},
    {"periods", "sound a a.wav\nplay a\nat p10 stop a\nat p10 delete a\nat p11 end\n"},
    {"quoted",
     "sound s \"my song #1.wav\"\nplay s exclusive loop\nat 0.000000001 pause all\n"
     "at 1 stop all\n"},
    {"crlf", "sound a a.wav\r\nplay a loop\r\n\r\n  # comment\r\nat 3 mute off\r\n"},
    {"endless", "sound a a.wav\nsound b a.wav\nplay b loop\nat 1 stop a\nat 2 play a loop\n"},
    {"no-final-newline", "sound a a.wav\nplay a"},
    {"bad-time", "at 1.0000000001 end\n"},
    {"bad-at", "at\n"},
    {"bad-period", "at p1000000001 end\n"},
    {"bad-seconds", "at 100001 end\n"},
    {"bad-volume", "volume x\n"},
    {"bad-mute", "mute maybe\n"},
    {"bad-quote", "sound x \"unterminated\n"},
    {"bad-name", "sound all a.wav\n"},
    {"bad-flag", "sound a a.wav\nplay a loop loop\n"},
    {"bad-verb", "5 play a\n"},
};

bool writeAll(const std::filesystem::path& dir, const std::string& name, const Bytes& bytes) {
    std::ofstream f(dir / name, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    std::filesystem::path root(argv[1]);
    std::filesystem::create_directories(root / "wav");
    std::filesystem::create_directories(root / "scene");
    int written = 0;
    for (const auto& [name, bytes] : wavSeeds())
        written += writeAll(root / "wav", name + ".wav", bytes);
    for (const auto& [name, text] : kScenes)
        written += writeAll(root / "scene", std::string(name) + ".scene",
                            Bytes(text, text + std::char_traits<char>::length(text)));
    std::printf("make_seeds: %d seeds in %s\n", written, root.c_str());
    return 0;
}
