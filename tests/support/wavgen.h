// SPDX-License-Identifier: Apache-2.0
// Test support: building WAV files byte by byte (canonical or deliberately odd) and temporary
// directories that clean up after themselves.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kxtest {

using Bytes = std::vector<uint8_t>;

struct Chunk {
    std::string id;  // four characters
    Bytes body;
    bool pad = true;            // write the RIFF pad byte after an odd-sized body
    int64_t sizeOverride = -1;  // >= 0: write this size field instead of body.size()
};

struct WavLayout {
    uint16_t formatTag = 1;
    uint16_t channels = 2;
    uint32_t sampleRate = 44100;
    uint16_t bits = 16;
    uint32_t fmtSize = 16;  // 16, 18, ...; bytes past 16 are written as zeros
    bool writeFmt = true;
    std::vector<Chunk> before;      // chunks between "fmt " and "data"
    Bytes data;                     // sample bytes
    int64_t dataSizeOverride = -1;  // >= 0: write this "data" size instead of data.size()
    bool padData = true;            // pad byte after odd-sized data
    std::vector<Chunk> after;       // chunks after "data" (e.g. "LIST")
};

Bytes buildWav(const WavLayout& layout);
// A canonical 44-byte-header file holding these samples (interleaved stereo 16-bit).
Bytes canonicalWav(const std::vector<int16_t>& samples);

// Little-endian helpers.
void put16(Bytes& out, uint16_t v);
void put32(Bytes& out, uint32_t v);
Bytes samplesToBytes(const std::vector<int16_t>& samples);
std::vector<int16_t> bytesToSamples(const Bytes& bytes);

// Deterministic sample generators (interleaved stereo, frames frames).
std::vector<int16_t> rampSamples(uint32_t frames, int16_t start = 1, int16_t step = 1);
std::vector<int16_t> constantSamples(uint32_t frames, int16_t value);
std::vector<int16_t> noiseSamples(uint32_t frames, uint32_t seed);

// "<stem><number><suffix>": numberedName("s", 3, ".wav") is "s3.wav". Built by appending: g++ 12
// at -O3 warns falsely (-Wrestrict) on `"literal" + std::string&&`, which inserts at the front.
inline std::string numberedName(const char* stem, long number, const char* suffix = "") {
    std::string name(stem);
    name.append(std::to_string(number)).append(suffix);
    return name;
}

void writeFile(const std::string& path, const Bytes& bytes);
Bytes readFile(const std::string& path);

// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Writes bytes to name inside the directory and returns the full path.
    std::string write(const std::string& name, const Bytes& bytes) const;

  private:
    std::string path_;
};

}  // namespace kxtest
