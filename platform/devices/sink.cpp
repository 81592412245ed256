// SPDX-License-Identifier: Apache-2.0
// The sinks of the simulated HD-audio driver: memory capture, WAV file, raw descriptor and the
// dispatch to ALSA. Runs on the writing task (sinkWrite) and on the host (choice, capture).
// All sink state is guarded by sinkMutex. A file, descriptor or ALSA sink has a writer thread
// (sink_writer.cpp) that alone makes the system calls. What the output holds (bytes written, the
// first error, the descriptor of a WAV file) is kept in atomics and under fileMutex, which the
// writer holds across each write and the close across the header: a host thread that must end
// the program at once can still leave a true header without taking sinkMutex, which a writing
// task stalled on a full ring holds.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/devices/hda.h"
#include "platform/devices/sink.h"
#include "platform/devices/sink_writer.h"
#include "platform/devices/wav_format.h"

namespace kx {
namespace {

enum class SinkKind : uint8_t { Memory, WavFile, Fd, Alsa };

// How often a writer waiting on a pipe with no room looks whether it was abandoned.
constexpr int kAbandonPollMs = 50;
// A WAV file is written in pieces of at least this many bytes: one system call per period
// would cost more than the copy into the ring. A raw descriptor and ALSA are written as soon as
// a period is in, as a player at the other end wants every period without delay.
constexpr uint64_t kWavFlushBytes = 64 * 1024;

struct Sink {
    SinkKind kind = SinkKind::Memory;
    std::vector<uint8_t> captured;  // memory sink
    int fd = -1;                    // WAV file (ours to close) or raw descriptor (the caller's)
    bool pipe = false;              // fd is a pipe, FIFO or socket: written in waits that end
    bool stream = false;            // WAV file that cannot seek: its header says kWavStreamSize
    uint64_t dataBytes = 0;         // WAV file: sample bytes put in the ring
    AlsaOutput* alsa = nullptr;
    SinkWriter* writer = nullptr;  // WAV file, descriptor and ALSA
};

std::mutex sinkMutex;
std::atomic<uint64_t> overruns{0};

// What the output holds, readable without sinkMutex; reset when a sink is chosen.
std::atomic<uint64_t> written{0};    // bytes the writer has handed to the target
std::atomic<int> firstError{0};      // errno of the first failed write (0: none)
std::atomic<bool> full{false};       // a WAV file reached wavLimit
std::atomic<bool> abandoned{false};  // hdaSinkAbandon: what is not yet written is dropped
std::atomic<uint64_t> wavLimit{kWavMaxData};
std::timed_mutex fileMutex;        // held across each write and the WAV header's rewrite
std::atomic<int> seekableWav{-1};  // the open WAV file while its header can be rewritten
Sink& sink() {
    // Never destroyed: a task still writing while the process exits finds a live sink.
    static Sink* instance = new Sink;
    return *instance;
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
        putLe16(out->data() + at + 2 * i, static_cast<uint16_t>(samples[i]));
}

// Records the first failure's reason.
void noteError(int error) {
    int none = 0;
    firstError.compare_exchange_strong(none, error != 0 ? error : EIO);
}

// Writes all of `bytes`, counting what reaches the target in `written` (*count when given). A
// pipe is written in pieces it has room for, each after a wait that looks at `abandoned`, so
// that a reader that never reads cannot hold the writer for ever. False on the first failure
// (errno says why) or once abandoned.
bool writeAll(int fd, bool pipe, const uint8_t* bytes, size_t length,
              std::atomic<uint64_t>* count) {
    while (length > 0) {
        if (abandoned.load(std::memory_order_relaxed))
            return false;
        if (pipe) {
            struct pollfd p = {fd, POLLOUT, 0};
            int ready = ::poll(&p, 1, kAbandonPollMs);
            if (ready == 0 || (ready < 0 && errno == EINTR))
                continue;
        }
        size_t piece = pipe ? std::min<size_t>(length, PIPE_BUF) : length;
        ssize_t n = ::write(fd, bytes, piece);
        if (n < 0 && (errno == EINTR || (pipe && errno == EAGAIN)))
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        if (count != nullptr)
            count->fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Makes the WAV file `fd` say what it holds: the header for the whole frames written, and
// nothing after them (a failed write may have left part of a frame). Called with fileMutex held.
bool finishWav(int fd) {
    uint64_t data = std::min(written.load(std::memory_order_relaxed), kWavMaxData) /
                    kStreamBytesPerFrame * kStreamBytesPerFrame;
    uint8_t header[kWavHeaderBytes];
    wavHeader(header, data, false);
    bool ok = ::pwrite(fd, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header);
    if (!ok)
        noteError(errno);
    if (::ftruncate(fd, static_cast<off_t>(kWavHeaderBytes + data)) != 0)
        ok = false;
    return ok;
}

// The writer's output: one piece of the ring to the sink's target, on the writer thread only;
// the kind, descriptor and ALSA handle are fixed while the writer lives. A failure is recorded
// unless the sink was abandoned, which drops bytes on purpose.
bool writeOut(void* context, const uint8_t* bytes, size_t length) {
    const Sink& s = *static_cast<const Sink*>(context);
    bool ok;
    if (s.kind == SinkKind::Alsa) {
        // The ring holds whole frames of little-endian samples, the format ALSA was opened with.
        ok = alsaWrite(s.alsa, reinterpret_cast<const int16_t*>(bytes),
                       static_cast<uint32_t>(length / kStreamBytesPerFrame));
        if (ok)
            written.fetch_add(length, std::memory_order_relaxed);
        else
            errno = EIO;
    } else {
        std::lock_guard<std::timed_mutex> file(fileMutex);
        ok = writeAll(s.fd, s.pipe, bytes, length, &written);
    }
    if (!ok && !abandoned.load(std::memory_order_relaxed))
        noteError(errno);
    return ok;
}

bool startWriter(Sink& s, uint64_t batch) {
    s.writer = sinkWriterStart(writeOut, &s, batch, &abandoned);
    return s.writer != nullptr;
}

// Finishes the current sink and falls back to an empty memory sink. False when the sink had
// reported an error or could not be finished.
bool closeLocked() {
    Sink& s = sink();
    sinkWriterStop(s.writer);
    s.writer = nullptr;
    // An abandoned writer has dropped what it did not write, as asked: not a failure.
    bool ok = s.kind == SinkKind::Memory || firstError.load() == 0;
    switch (s.kind) {
        case SinkKind::WavFile: {
            std::lock_guard<std::timed_mutex> file(fileMutex);
            if (!s.stream && !finishWav(s.fd))
                ok = false;
            seekableWav.store(-1);
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
    s.pipe = false;
    s.stream = false;
    s.alsa = nullptr;
    s.dataBytes = 0;
    s.captured.clear();
    overruns.store(0, std::memory_order_relaxed);
    return ok;
}

// A descriptor written in waits that end: one whose writes can block for as long as a reader
// pleases.
bool isPipe(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

// Clears what the last sink's output held, for the one being chosen.
void resetStatus() {
    written.store(0);
    firstError.store(0);
    full.store(false);
    abandoned.store(false);
}

}  // namespace

void sinkWrite(const int16_t* samples, uint32_t frames) {
    std::lock_guard<std::mutex> lock(sinkMutex);
    Sink& s = sink();
    size_t count = static_cast<size_t>(frames) * kStreamChannels;
    if (s.kind == SinkKind::Memory) {
        toBytes(samples, count, &s.captured);
        return;
    }
    if (s.kind == SinkKind::WavFile && !s.stream) {
        // A WAV file takes whole frames up to what its sizes can say, and no more.
        uint64_t limit = wavLimit.load(std::memory_order_relaxed);
        uint64_t frameRoom = limit > s.dataBytes ? (limit - s.dataBytes) / kStreamBytesPerFrame : 0;
        uint64_t room = frameRoom * kStreamChannels;  // in samples, as count is
        if (count > room) {
            count = static_cast<size_t>(room);
            full.store(true);
        }
    }
    if (count == 0)
        return;  // an empty period: samples may be null
    bool counted = false;
    if constexpr (std::endian::native == std::endian::little) {
        // The samples already are the little-endian bytes the output wants.
        sinkWriterPut(s.writer, reinterpret_cast<const uint8_t*>(samples), count * 2, &counted,
                      &overruns);
    } else {
        for (size_t i = 0; i < count; ++i) {
            uint8_t bytes[2];
            putLe16(bytes, static_cast<uint16_t>(samples[i]));
            sinkWriterPut(s.writer, bytes, sizeof bytes, &counted, &overruns);
        }
    }
    s.dataBytes += count * 2;
}

uint64_t sinkOverruns() {
    return overruns.load(std::memory_order_relaxed);
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
    resetStatus();
    // Never waits in open: a FIFO with no reader fails at once (ENXIO) and the caller decides
    // whether to wait for one.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0)
        return false;
    struct stat st;
    Sink& s = sink();
    s.stream = ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode);
    s.pipe = isPipe(fd);
    // The header goes first with sizes of 0; hdaCloseSink writes the real sizes. One that can
    // never be rewritten says "a stream" from the start.
    uint8_t header[kWavHeaderBytes];
    wavHeader(header, 0, s.stream);
    if (!writeAll(fd, s.pipe, header, sizeof header, nullptr)) {
        int error = errno;
        ::close(fd);
        errno = error;
        s.stream = s.pipe = false;
        return false;
    }
    s.kind = SinkKind::WavFile;
    s.fd = fd;
    if (!s.stream)
        seekableWav.store(fd);
    if (!startWriter(s, kWavFlushBytes)) {
        closeLocked();
        return false;
    }
    return true;
}

bool hdaSinkFd(int fd) {
    std::lock_guard<std::mutex> lock(sinkMutex);
    closeLocked();
    resetStatus();
    Sink& s = sink();
    s.kind = SinkKind::Fd;
    s.fd = fd;
    s.pipe = isPipe(fd);
    if (!startWriter(s, 1)) {
        closeLocked();
        return false;
    }
    return true;
}

bool hdaSinkAlsa(const std::string& device) {
    std::lock_guard<std::mutex> lock(sinkMutex);
    closeLocked();
    resetStatus();
    AlsaOutput* output = alsaOpen(device.c_str());
    if (output == nullptr)
        return false;
    Sink& s = sink();
    s.kind = SinkKind::Alsa;
    s.alsa = output;
    if (!startWriter(s, 1)) {
        closeLocked();
        return false;
    }
    return true;
}

bool hdaHasAlsa() {
    return alsaAvailable();
}

bool hdaCloseSink() {
    std::lock_guard<std::mutex> lock(sinkMutex);
    return closeLocked();
}

HdaSinkStatus hdaSinkStatus() {
    HdaSinkStatus status;
    status.written = written.load();
    status.error = firstError.load();
    status.full = full.load();
    return status;
}

void hdaSinkAbandon() {
    abandoned.store(true);
}

void hdaSinkFinishNow(int32_t timeoutMs) {
    abandoned.store(true);
    // The writer holds fileMutex only across one write; one stuck longer (a dead disk) is not
    // waited for, and the header says what had been counted.
    bool locked = fileMutex.try_lock_for(std::chrono::milliseconds(timeoutMs));
    int fd = seekableWav.exchange(-1);
    if (fd >= 0)
        finishWav(fd);
    if (locked)
        fileMutex.unlock();
}

void hdaSetWavDataLimit(uint64_t bytes) {
    wavLimit.store(std::min(bytes, kWavMaxData) / kStreamBytesPerFrame * kStreamBytesPerFrame);
}

uint64_t hdaWavDataLimit() {
    return wavLimit.load();
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
