// File, heap and console services of the platform: thin passes to the host's POSIX calls with
// fault points, plus the counters tests read. Any task may call them at once: the counters and
// the table of descriptors opened here are atomics, the console capture has its own mutex.
#include "platform/files/kxfile.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/fault.h"
#include "platform/kernel/rtk.h"

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
        if (::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) {
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
        int status = ::fcntl(fd, F_GETFL);
        if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) < 0) {
            ::close(fd);
            return -1;
        }
    }
    if (fd < kTrackedFds)
        ownedFd[fd].store(1);
    openFiles.fetch_add(1);
    return fd;
}

int32_t kxread(int32_t fd, void* buffer, uint32_t length) {
    if (faultCheckFd(Fault::FileRead, fd)) {
        errno = EIO;
        return -1;
    }
    // The result is 32-bit signed: a single call never reports more than INT32_MAX bytes.
    size_t want = length > static_cast<uint32_t>(INT32_MAX) ? INT32_MAX : length;
    ssize_t n;
    do {
        n = ::read(fd, buffer, want);
    } while (n < 0 && errno == EINTR);
    if (uint32_t cost = readCostUs.load(std::memory_order_relaxed); cost != 0 && n >= 0)
        RtkBusyUsec(cost);
    return n < 0 ? -1 : static_cast<int32_t>(n);
}

void kxSetReadCost(uint32_t microseconds) {
    readCostUs.store(microseconds, std::memory_order_relaxed);
}

int32_t kxlseek(int32_t fd, int32_t offset, int32_t whence) {
    if (faultCheckFd(Fault::FileSeek, fd)) {
        errno = EIO;
        return -1;
    }
    off_t at = ::lseek(fd, static_cast<off_t>(offset), whence);
    if (at < 0)
        return -1;
    // A position past 2 GiB cannot be reported in 32 bits; say so rather than wrap.
    if (at > static_cast<off_t>(INT32_MAX)) {
        errno = EOVERFLOW;
        return -1;
    }
    return static_cast<int32_t>(at);
}

int32_t kxclose(int32_t fd) {
    if (fd >= 0 && fd < kTrackedFds && ownedFd[fd].exchange(0) != 0)
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
