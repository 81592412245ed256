// SPDX-License-Identifier: Apache-2.0
// File, heap and console services the module calls, with POSIX meaning. On the host they pass
// through to the host's calls and add what tests need (kxfile_host.h): injected faults
// (platform/fault.h), counts of outstanding heap blocks and open descriptors, a console that can
// be captured. Counters are atomic.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx {

// open(2) with flags and mode as given (0 is read-only). -1 on failure. A read-only open never
// blocks for long: a FIFO that yields no bytes (and no writer's close) within half a second is
// refused with -1 (errno ENXIO) instead of waiting for a writer.
int32_t kxopen(const char* path, int32_t flags, int32_t mode);
// read(2): bytes read, 0 at end of file, -1 on failure.
int32_t kxread(int32_t fd, void* buffer, uint32_t length);
// lseek(2) with 32-bit offsets: the new position, or -1 on failure.
int32_t kxlseek(int32_t fd, int32_t offset, int32_t whence);
// close(2): 0, or -1 on failure.
int32_t kxclose(int32_t fd);

// Zero-filled allocation; null on failure. kxfree(null) does nothing.
void* kxcalloc(size_t count, size_t size);
void kxfree(void* block);

// The console: printf to standard output, or into the capture while capturing.
int kxprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kx
