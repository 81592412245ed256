// SPDX-License-Identifier: Apache-2.0
// Compares the samples of two 16-bit PCM WAV files: EXPECTED against ACTUAL taken from frame
// OFFSET on. Every ACTUAL sample outside the span that EXPECTED covers must be silence; one that
// is not counts as differing, as does an EXPECTED sample that ACTUAL lacks. One thread.
//
// Usage: bench_wavcmp EXPECTED.wav ACTUAL.wav [OFFSET_FRAMES]; prints "name value" lines and
// exits 0 when no sample differs, 1 when some do, 2 when a file cannot be read.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/devices/wav_format.h"

namespace kx::bench {
namespace {

// The samples of the "data" chunk, or false when the file is not a 16-bit stereo PCM WAV file.
bool readSamples(const char* path, std::vector<int16_t>* samples) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return false;
    bool format = false;
    for (size_t at = 12; at + 8 <= bytes.size();) {
        uint32_t size = le32(bytes.data() + at + 4);
        const uint8_t* body = bytes.data() + at + 8;
        size_t available = bytes.size() - at - 8;
        if (std::memcmp(bytes.data() + at, "fmt ", 4) == 0 && size >= 16 && available >= 16) {
            uint16_t tag = le16(body);
            format = (tag == 1 || tag == 0xFFFE) && le16(body + 2) == kStreamChannels &&
                     le16(body + 14) == kStreamBits;
        } else if (std::memcmp(bytes.data() + at, "data", 4) == 0) {
            // A writer that could not seek back leaves the size open: take what is there.
            size_t length = size < available ? size : available;
            samples->resize(length / 2);
            for (size_t i = 0; i < samples->size(); ++i)
                (*samples)[i] = static_cast<int16_t>(le16(body + 2 * i));
            return format;
        }
        at += 8 + size + (size & 1);
    }
    return false;
}

int run(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_wavcmp EXPECTED.wav ACTUAL.wav [OFFSET_FRAMES]\n");
        return 2;
    }
    std::vector<int16_t> expected;
    std::vector<int16_t> actual;
    if (!readSamples(argv[1], &expected) || !readSamples(argv[2], &actual)) {
        std::fprintf(stderr, "%s or %s is not a 16-bit stereo PCM WAV file\n", argv[1], argv[2]);
        return 2;
    }
    size_t offset = argc > 3 ? std::strtoull(argv[3], nullptr, 10) * 2 : 0;
    uint64_t differing = 0;
    uint64_t missing = 0;
    for (size_t i = 0; i < actual.size(); ++i) {
        bool covered = i >= offset && i - offset < expected.size();
        int16_t want = covered ? expected[i - offset] : 0;
        differing += actual[i] != want ? 1 : 0;
    }
    if (offset + expected.size() > actual.size())
        missing = offset + expected.size() - std::max(offset, actual.size());
    std::printf("expected_samples %zu\n", expected.size());
    std::printf("actual_samples %zu\n", actual.size());
    std::printf("differing %llu\n", static_cast<unsigned long long>(differing + missing));
    return differing + missing == 0 ? 0 : 1;
}

}  // namespace
}  // namespace kx::bench

int main(int argc, char** argv) {
    return kx::bench::run(argc, argv);
}
