// SPDX-License-Identifier: Apache-2.0
// The host's canonical WAV header: every one of its 44 bytes against headers written out by hand,
// for sizes a file states, sizes beyond what 32 bits can state, and a stream of unknown length.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/devices/wav_format.h"

namespace {

// Bytes from hex digits; spaces only separate fields for the reader.
std::vector<uint8_t> fromHex(const std::string& text) {
    std::vector<uint8_t> out;
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

// "RIFF" <riff size> "WAVE" "fmt " 16, PCM, 2 channels, 44100 Hz, 176400 bytes/s, 4-byte frames,
// 16 bits, "data" <data size>.
std::string header(const std::string& riffSize, const std::string& dataSize) {
    return "52494646 " + riffSize +
           " 57415645 666d7420 10000000 0100 0200 44ac0000 10b10200 0400 " + "1000 64617461 " +
           dataSize;
}

TEST(WavFormat, HeaderBytes) {
    struct Case {
        const char* name;
        uint64_t dataBytes;
        bool stream;
        std::string expected;
    };
    const Case cases[] = {
        {"empty", 0, false, header("24000000", "00000000")},
        {"one frame", 4, false, header("28000000", "04000000")},
        {"one second", 176400, false, header("34b10200", "10b10200")},
        {"odd size as given", 3, false, header("27000000", "03000000")},
        {"largest whole frames", 0xFFFFFFD8, false, header("fcffffff", "d8ffffff")},
        {"just beyond: held", 0xFFFFFFD9, false, header("fcffffff", "d8ffffff")},
        {"4 GiB: held", 1ull << 32, false, header("fcffffff", "d8ffffff")},
        {"stream, nothing yet", 0, true, header("ffffffff", "ffffffff")},
        {"stream, some data", 176400, true, header("ffffffff", "ffffffff")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> want = fromHex(c.expected);
        ASSERT_EQ(want.size(), kx::kWavHeaderBytes);
        std::vector<uint8_t> got(kx::kWavHeaderBytes + 1, 0xA5);  // a guard byte after it
        kx::wavHeader(got.data(), c.dataBytes, c.stream);
        EXPECT_EQ(got[kx::kWavHeaderBytes], 0xA5) << "written past the header";
        got.pop_back();
        EXPECT_EQ(got, want);
    }
}

}  // namespace
