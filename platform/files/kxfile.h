// File, heap and console services, with POSIX meaning. They pass through to the host's calls
// and add what tests need: injected faults (platform/fault.h), a count of outstanding heap
// blocks and open descriptors, and a console that can be captured. Counters are atomic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kx {

// open(2) with flags and mode as given (0 is read-only). -1 on failure. A read-only open never
// blocks for long: a FIFO that yields no bytes (and no writer's close) within half a second is
// refused with -1 (errno ENXIO) instead of waiting for a writer.
int32_t kxopen(const char* path, int32_t flags, int32_t mode);
// read(2): bytes read, 0 at end of file, -1 on failure.
int32_t kxread(int32_t fd, void* buffer, uint32_t length);
// Tests only: from now on every kxread that does not fail also keeps the processor for that
// many microseconds of the kernel's clock (RtkBusyUsec), as a read costs the target's processor
// time; on the one-processor kernel a read then spans virtual time that a wake-up can land in.
// 0, the default, costs nothing.
void kxSetReadCost(uint32_t microseconds);
// lseek(2) with 32-bit offsets: the new position, or -1 on failure.
int32_t kxlseek(int32_t fd, int32_t offset, int32_t whence);
// close(2): 0, or -1 on failure.
int32_t kxclose(int32_t fd);

// Zero-filled allocation; null on failure. kxfree(null) does nothing.
void* kxcalloc(size_t count, size_t size);
void kxfree(void* block);

// The console: printf to standard output, or into the capture while capturing.
int kxprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void kxConsoleCapture(bool enabled);  // starting a capture empties it
std::string kxConsoleTaken();         // what was printed while capturing

int64_t kxHeapOutstanding();   // blocks allocated and not yet freed
uint64_t kxHeapAllocations();  // successful allocations since start
int kxOpenFiles();             // descriptors opened by kxopen and not yet closed

}  // namespace kx
