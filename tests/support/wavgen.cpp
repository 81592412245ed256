// SPDX-License-Identifier: Apache-2.0
// Test support: WAV files built byte by byte, and self-cleaning temporary directories.
#include "tests/support/wavgen.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace kxtest {

void put16(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

static void putId(Bytes& out, const std::string& id) {
    for (int i = 0; i < 4; ++i)
        out.push_back(i < static_cast<int>(id.size()) ? id[i] : ' ');
}

static void putChunk(Bytes& out, const Chunk& c) {
    putId(out, c.id);
    put32(out, c.sizeOverride >= 0 ? static_cast<uint32_t>(c.sizeOverride)
                                   : static_cast<uint32_t>(c.body.size()));
    out.insert(out.end(), c.body.begin(), c.body.end());
    if (c.pad && (c.body.size() & 1))
        out.push_back(0);
}

Bytes buildWav(const WavLayout& layout) {
    Bytes body;
    putId(body, "WAVE");
    if (layout.writeFmt) {
        Chunk fmt{"fmt ", {}, true, -1};
        put16(fmt.body, layout.formatTag);
        put16(fmt.body, layout.channels);
        put32(fmt.body, layout.sampleRate);
        uint16_t align = static_cast<uint16_t>(layout.channels * layout.bits / 8);
        put32(fmt.body, layout.sampleRate * align);
        put16(fmt.body, align);
        put16(fmt.body, layout.bits);
        fmt.body.resize(layout.fmtSize, 0);
        putChunk(body, fmt);
    }
    for (const Chunk& c : layout.before)
        putChunk(body, c);
    Chunk data{"data", layout.data, layout.padData, layout.dataSizeOverride};
    putChunk(body, data);
    for (const Chunk& c : layout.after)
        putChunk(body, c);
    Bytes out;
    putId(out, "RIFF");
    put32(out, static_cast<uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes samplesToBytes(const std::vector<int16_t>& samples) {
    Bytes out;
    out.reserve(samples.size() * 2);
    for (int16_t s : samples)
        put16(out, static_cast<uint16_t>(s));
    return out;
}

std::vector<int16_t> bytesToSamples(const Bytes& bytes) {
    std::vector<int16_t> out(bytes.size() / 2);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return out;
}

Bytes canonicalWav(const std::vector<int16_t>& samples) {
    WavLayout layout;
    layout.data = samplesToBytes(samples);
    return buildWav(layout);
}

std::vector<int16_t> rampSamples(uint32_t frames, int16_t start, int16_t step) {
    std::vector<int16_t> out(frames * 2);
    int32_t v = start;
    for (uint32_t i = 0; i < frames; ++i) {
        out[2 * i] = static_cast<int16_t>(v);
        out[2 * i + 1] = static_cast<int16_t>(-v);
        v += step;
        if (v > 32767 || v < -32768)
            v = start;
    }
    return out;
}

std::vector<int16_t> constantSamples(uint32_t frames, int16_t value) {
    return std::vector<int16_t>(frames * 2, value);
}

std::vector<int16_t> noiseSamples(uint32_t frames, uint32_t seed) {
    std::vector<int16_t> out(frames * 2);
    uint32_t x = seed ? seed : 1;
    for (auto& s : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s = static_cast<int16_t>(x >> 16);
    }
    return out;
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f)
        throw std::runtime_error("cannot write " + path);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

Bytes readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

TempDir::TempDir() {
    std::string base = std::filesystem::temp_directory_path().string() + "/kxtest-XXXXXX";
    std::vector<char> buf(base.begin(), base.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(const std::string& name, const Bytes& bytes) const {
    std::string p = file(name);
    writeFile(p, bytes);
    return p;
}

}  // namespace kxtest
