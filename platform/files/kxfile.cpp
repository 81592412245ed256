// SPDX-License-Identifier: Apache-2.0
// File, heap and console services of the platform: thin passes to the host's POSIX calls with
// fault points, plus the counters tests read. Any task may call them at once: the counters and
// the table of descriptors opened here are atomics, the console capture has its own mutex.
// A descriptor's read-ahead (below) belongs to the one task that uses the descriptor; the module
// never reads, seeks or closes one descriptor from two tasks at once (its pool locks order them).
// A number closed by one task and opened again by another passes between them through its mark
// in ownedFd, an atomic exchanged on both sides.
#include "platform/files/kxfile.h"
#include "platform/files/kxfile_host.h"
#include "platform/kernel/rtk_host.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/fault.h"

namespace kx {
namespace {

std::atomic<int64_t> heapOutstanding{0};
std::atomic<uint64_t> heapAllocations{0};
std::atomic<int> openFiles{0};
std::atomic<uint32_t> readCostUs{0};  // kxSetReadCost

// Which descriptors kxopen handed out, so that kxclose of a descriptor opened elsewhere (a pipe
// in a test, say) leaves the count alone. A descriptor's mark is cleared before the host's close,
// so an open that reuses the number right after sets a fresh mark that this close cannot clear.
constexpr int kTrackedFds = 65536;

// How long a read-only open of a FIFO waits for a writer's first bytes before it is refused.
constexpr int kFifoWaitMs = 500;
std::atomic<uint8_t> ownedFd[kTrackedFds];

// Header parsing reads a field a byte at a time, and on the host every read is a system call. A
// read of fewer than kSmallRead bytes is therefore served from a read-ahead of up to
// kReadAhead bytes, filled by one host read. Reads of kSmallRead bytes or more (every sample
// block) take what the read-ahead still holds and read the rest straight from the file, so at
// most kReadAhead bytes are ever read before they are asked for: a file cut short while it plays
// is heard cut where it was cut, give or take that much. A small read that found the end of the
// file finds it again without asking the host (a header cut short is read to the parser's bound
// a byte at a time) until a seek or a large read. Any seek or close drops the read-ahead.
constexpr uint32_t kSmallRead = 16;
constexpr uint32_t kReadAhead = 64;
struct ReadAhead {
    uint8_t bytes[kReadAhead];
    uint8_t at;   // next byte to hand out
    uint8_t end;  // one past the last byte held
    bool atEnd;   // the last fill found the end of the file
};
ReadAhead readAhead[kTrackedFds];

ReadAhead* readAheadOf(int32_t fd) {
    return fd >= 0 && fd < kTrackedFds ? &readAhead[fd] : nullptr;
}

void dropReadAhead(int32_t fd) {
    if (ReadAhead* ahead = readAheadOf(fd)) {
        ahead->at = ahead->end = 0;
        ahead->atEnd = false;
    }
}

// read(2), retried on EINTR.
ssize_t hostRead(int32_t fd, void* buffer, size_t length) {
    ssize_t n;
    do {
        n = ::read(fd, buffer, length);
    } while (n < 0 && errno == EINTR);
    return n;
}

std::mutex consoleMutex;
bool capturing = false;  // guarded by consoleMutex
std::string captured;    // guarded by consoleMutex

}  // namespace

int32_t kxopen(const char* path, int32_t flags, int32_t mode) {
    if (faultCheck(Fault::FileOpen)) {
        errno = EIO;
        return -1;
    }
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    // POSIX blocks a read-only open of a FIFO until a writer comes, and a sound file may be
    // opened with the sound pool's lock held, so one FIFO without a writer would stall the whole
    // engine. Such opens are made without blocking; a FIFO then gets a bounded wait for its first
    // bytes (or its writer's close) and is refused if nothing comes. Reads afterwards block as
    // usual.
    bool readOnly = (flags & O_ACCMODE) == O_RDONLY && (flags & O_NONBLOCK) == 0;
    int fd;
    do {
        fd = ::open(path, readOnly ? flags | O_NONBLOCK : flags, static_cast<mode_t>(mode));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    if (readOnly) {
        struct stat st;
        bool known = ::fstat(fd, &st) == 0;
        if (known && S_ISFIFO(st.st_mode)) {
            pollfd waiting{fd, POLLIN, 0};
            int ready;
            do {
                ready = ::poll(&waiting, 1, kFifoWaitMs);
            } while (ready < 0 && errno == EINTR);
            if (ready <= 0) {
                ::close(fd);
                errno = ENXIO;
                return -1;
            }
        }
        // Reads of a regular file ignore O_NONBLOCK, so only other files have it cleared.
        int status = known && S_ISREG(st.st_mode) ? 0 : ::fcntl(fd, F_GETFL);
        if (status < 0 ||
            ((status & O_NONBLOCK) != 0 && ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) < 0)) {
            ::close(fd);
            return -1;
        }
    }
    // The number may have been closed by another task a moment ago. Its mark is exchanged
    // before the read-ahead is touched: the closer dropped the read-ahead before clearing the
    // mark, so this exchange orders the closer's last use of the slot before this task's first.
    if (fd < kTrackedFds)
        ownedFd[fd].exchange(1, std::memory_order_acq_rel);
    dropReadAhead(fd);
    openFiles.fetch_add(1);
    return fd;
}

namespace {

// kxread's work once the fault point has passed: small reads from the read-ahead, others from
// the host.
int32_t readThroughAhead(int32_t fd, void* buffer, size_t want) {
    ReadAhead* ahead = readAheadOf(fd);
    if (ahead == nullptr) {
        ssize_t n = hostRead(fd, buffer, want);
        return n < 0 ? -1 : static_cast<int32_t>(n);
    }
    uint8_t* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    for (;;) {
        size_t held = std::min<size_t>(want - done, ahead->end - ahead->at);
        std::memcpy(out + done, ahead->bytes + ahead->at, held);
        ahead->at = static_cast<uint8_t>(ahead->at + held);
        done += held;
        if (done == want || want >= kSmallRead)
            break;
        if (ahead->atEnd)
            return static_cast<int32_t>(done);
        ssize_t filled = hostRead(fd, ahead->bytes, kReadAhead);
        ahead->atEnd = filled == 0;
        if (filled <= 0)  // the end of the file, or an error after or before any bytes
            return done > 0 || filled == 0 ? static_cast<int32_t>(done) : -1;
        ahead->at = 0;
        ahead->end = static_cast<uint8_t>(filled);
    }
    if (done == want)
        return static_cast<int32_t>(done);
    // What the read-ahead held comes first; an error after it reports those bytes alone.
    ahead->atEnd = false;
    ssize_t n = hostRead(fd, out + done, want - done);
    if (n < 0)
        return done > 0 ? static_cast<int32_t>(done) : -1;
    return static_cast<int32_t>(done + static_cast<size_t>(n));
}

}  // namespace

int32_t kxread(int32_t fd, void* buffer, uint32_t length) {
    if (faultCheckFd(Fault::FileRead, fd)) {
        errno = EIO;
        return -1;
    }
    // The result is 32-bit signed: a single call never reports more than INT32_MAX bytes.
    size_t want = length > static_cast<uint32_t>(INT32_MAX) ? INT32_MAX : length;
    int32_t n = readThroughAhead(fd, buffer, want);
    if (uint32_t cost = readCostUs.load(std::memory_order_relaxed); cost != 0 && n >= 0)
        RtkBusyUsec(cost);
    return n;
}

void kxSetReadCost(uint32_t microseconds) {
    readCostUs.store(microseconds, std::memory_order_relaxed);
}

int32_t kxlseek(int32_t fd, int32_t offset, int32_t whence) {
    if (faultCheckFd(Fault::FileSeek, fd)) {
        errno = EIO;
        return -1;
    }
    // The host's position is past what the read-ahead still holds; a relative seek counts from
    // the caller's position. A seek that fails (a pipe) keeps the read-ahead.
    ReadAhead* ahead = readAheadOf(fd);
    off_t distance = static_cast<off_t>(offset);
    if (ahead != nullptr && whence == SEEK_CUR)
        distance -= ahead->end - ahead->at;
    off_t at = ::lseek(fd, distance, whence);
    if (at < 0)
        return -1;
    dropReadAhead(fd);
    // A position past 2 GiB cannot be reported in 32 bits; say so rather than wrap.
    if (at > static_cast<off_t>(INT32_MAX)) {
        errno = EOVERFLOW;
        return -1;
    }
    return static_cast<int32_t>(at);
}

int32_t kxclose(int32_t fd) {
    dropReadAhead(fd);  // before the mark is cleared: see kxopen
    if (fd >= 0 && fd < kTrackedFds && ownedFd[fd].exchange(0, std::memory_order_acq_rel) != 0)
        openFiles.fetch_sub(1);
    // Linux releases the descriptor even when close reports EINTR, so it is never retried.
    return ::close(fd) == 0 ? 0 : -1;
}

void* kxcalloc(size_t count, size_t size) {
    if (faultCheck(Fault::Alloc))
        return nullptr;
    // An overflowing request is refused here rather than handed on, as a kernel heap would.
    if (size != 0 && count > SIZE_MAX / size)
        return nullptr;
    void* block = std::calloc(count, size);
    if (block == nullptr)
        return nullptr;
    heapOutstanding.fetch_add(1);
    heapAllocations.fetch_add(1);
    return block;
}

void kxfree(void* block) {
    if (block == nullptr)
        return;
    heapOutstanding.fetch_sub(1);
    std::free(block);
}

int kxprintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int written;
    {
        std::lock_guard<std::mutex> lock(consoleMutex);
        if (capturing) {
            va_list sizing;
            va_copy(sizing, args);
            written = std::vsnprintf(nullptr, 0, format, sizing);
            va_end(sizing);
            if (written > 0) {
                size_t at = captured.size();
                captured.resize(at + static_cast<size_t>(written) + 1);
                std::vsnprintf(captured.data() + at, static_cast<size_t>(written) + 1, format,
                               args);
                captured.resize(at + static_cast<size_t>(written));
            }
        } else {
            written = std::vprintf(format, args);
            std::fflush(stdout);
        }
    }
    va_end(args);
    return written;
}

void kxConsoleCapture(bool enabled) {
    std::lock_guard<std::mutex> lock(consoleMutex);
    if (enabled)
        captured.clear();
    capturing = enabled;
}

std::string kxConsoleTaken() {
    std::lock_guard<std::mutex> lock(consoleMutex);
    return captured;
}

int64_t kxHeapOutstanding() {
    return heapOutstanding.load();
}
uint64_t kxHeapAllocations() {
    return heapAllocations.load();
}
int kxOpenFiles() {
    return openFiles.load();
}

}  // namespace kx
