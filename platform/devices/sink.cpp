// The sinks of the simulated HD-audio driver: memory capture, WAV file, raw descriptor and the
// dispatch to ALSA. Runs on the writing task (sinkWrite) and on the host (choice, capture).
// All sink state is guarded by sinkMutex.
#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/devices/hda.h"
#include "platform/devices/sink.h"

namespace kx {
namespace {

enum class SinkKind : uint8_t { Memory, WavFile, Fd, Alsa };

constexpr uint32_t kRate = 44100;
constexpr uint16_t kChannels = 2;
constexpr uint16_t kBits = 16;
constexpr uint32_t kWavHeaderBytes = 44;
// The RIFF size fields are 32-bit; data past this many bytes is still written but the sizes
// saturate, which readers take as "to the end of the file".
constexpr uint64_t kWavMaxData = 0xFFFFFFFFull - 36;
// A WAV file is written in pieces of at least this many bytes: one system call per period
// would cost more than the copy into the pending buffer. A raw descriptor is written at once,
// as a player at its other end wants every period without delay.
constexpr size_t kWavFlushBytes = 64 * 1024;

struct Sink {
    SinkKind kind = SinkKind::Memory;
    std::vector<uint8_t> captured;  // memory sink
    int fd = -1;                    // WAV file (ours to close) or raw descriptor (the caller's)
    uint64_t dataBytes = 0;         // WAV file: sample bytes written
    AlsaOutput* alsa = nullptr;
    bool failed = false;           // a write of the current sink went wrong
    std::vector<uint8_t> scratch;  // a period's bytes on their way to a descriptor
    std::vector<uint8_t> pending;  // WAV file: sample bytes not written yet
};

std::mutex sinkMutex;
Sink& sink() {
    // Never destroyed: a task still writing while the process exits finds a live sink.
    static Sink* instance = new Sink;
    return *instance;
}

void put16(uint8_t* at, uint16_t v) {
    at[0] = static_cast<uint8_t>(v);
    at[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t* at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Samples leave as little-endian bytes whatever the host's order.
void toBytes(const int16_t* samples, size_t count, std::vector<uint8_t>* out) {
    if (count == 0)
        return;  // an empty period: samples and the buffer may both be null
    size_t at = out->size();
    out->resize(at + count * 2);
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out->data() + at, samples, count * 2);
        return;
    }
    for (size_t i = 0; i < count; ++i)
        put16(out->data() + at + 2 * i, static_cast<uint16_t>(samples[i]));
}

bool writeAll(int fd, const uint8_t* bytes, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, bytes, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

void wavHeader(uint8_t* header, uint64_t dataBytes) {
    uint32_t data = static_cast<uint32_t>(dataBytes > kWavMaxData ? kWavMaxData : dataBytes);
    std::memcpy(header, "RIFF", 4);
    put32(header + 4, 36 + data);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    put32(header + 16, 16);
    put16(header + 20, 1);  // PCM
    put16(header + 22, kChannels);
    put32(header + 24, kRate);
    put32(header + 28, kRate * kChannels * kBits / 8);
    put16(header + 32, kChannels * kBits / 8);
    put16(header + 34, kBits);
    std::memcpy(header + 36, "data", 4);
    put32(header + 40, data);
}

// Finishes the current sink and falls back to an empty memory sink. False when the sink had
// reported an error or could not be finished.
bool closeLocked() {
    Sink& s = sink();
    bool ok = !s.failed;
    switch (s.kind) {
        case SinkKind::WavFile: {
            if (!s.pending.empty() && !writeAll(s.fd, s.pending.data(), s.pending.size()))
                ok = false;
            s.pending.clear();
            uint8_t header[kWavHeaderBytes];
            wavHeader(header, s.dataBytes);
            if (::pwrite(s.fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header))
                ok = false;
            if (::close(s.fd) != 0)
                ok = false;
            break;
        }
        case SinkKind::Alsa:
            if (!alsaClose(s.alsa))
                ok = false;
            break;
        case SinkKind::Fd:  // the descriptor stays the caller's
        case SinkKind::Memory:
            break;
    }
    s.kind = SinkKind::Memory;
    s.fd = -1;
    s.alsa = nullptr;
    s.dataBytes = 0;
    s.failed = false;
    s.captured.clear();
    return ok;
}

}  // namespace

void sinkWrite(const int16_t* samples, uint32_t frames) {
    std::lock_guard<std::mutex> lock(sinkMutex);
    Sink& s = sink();
    size_t count = static_cast<size_t>(frames) * kChannels;
    switch (s.kind) {
        case SinkKind::Memory:
            toBytes(samples, count, &s.captured);
            break;
        case SinkKind::WavFile:
            toBytes(samples, count, &s.pending);
            s.dataBytes += count * 2;
            if (s.pending.size() >= kWavFlushBytes) {
                if (!writeAll(s.fd, s.pending.data(), s.pending.size()))
                    s.failed = true;
                s.pending.clear();  // keeps its capacity: no allocation per flush
            }
            break;
        case SinkKind::Fd: {
            const uint8_t* bytes = reinterpret_cast<const uint8_t*>(samples);
            if constexpr (std::endian::native != std::endian::little) {
                // Reuses one scratch buffer: the writing task allocates only when periods grow.
                s.scratch.clear();
                toBytes(samples, count, &s.scratch);
                bytes = s.scratch.data();
            }
            // On a little-endian host the samples already are the bytes the file wants.
            if (!writeAll(s.fd, bytes, count * 2))
                s.failed = true;
            s.dataBytes += count * 2;
            break;
        }
        case SinkKind::Alsa:
            if (!alsaWrite(s.alsa, samples, frames))
                s.failed = true;
            break;
    }
}

void sinkReset() {
    std::lock_guard<std::mutex> lock(sinkMutex);
    closeLocked();
}

void hdaSinkMemory() {
    std::lock_guard<std::mutex> lock(sinkMutex);
    closeLocked();
}

bool hdaSinkWavFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(sinkMutex);
    closeLocked();
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    // The header goes first with sizes of 0; hdaCloseSink writes the real sizes.
    uint8_t header[kWavHeaderBytes];
    wavHeader(header, 0);
    if (!writeAll(fd, header, sizeof header)) {
        ::close(fd);
        return false;
    }
    Sink& s = sink();
    s.kind = SinkKind::WavFile;
    s.fd = fd;
    return true;
}

void hdaSinkFd(int fd) {
    std::lock_guard<std::mutex> lock(sinkMutex);
    closeLocked();
    Sink& s = sink();
    s.kind = SinkKind::Fd;
    s.fd = fd;
}

bool hdaSinkAlsa(const std::string& device) {
    std::lock_guard<std::mutex> lock(sinkMutex);
    closeLocked();
    AlsaOutput* output = alsaOpen(device.c_str());
    if (output == nullptr)
        return false;
    Sink& s = sink();
    s.kind = SinkKind::Alsa;
    s.alsa = output;
    return true;
}

bool hdaHasAlsa() {
    return alsaAvailable();
}

bool hdaCloseSink() {
    std::lock_guard<std::mutex> lock(sinkMutex);
    return closeLocked();
}

std::vector<uint8_t> hdaCaptured() {
    std::lock_guard<std::mutex> lock(sinkMutex);
    return sink().captured;
}

void hdaClearCaptured() {
    std::lock_guard<std::mutex> lock(sinkMutex);
    sink().captured.clear();
}

}  // namespace kx
