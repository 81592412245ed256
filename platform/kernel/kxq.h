// SPDX-License-Identifier: Apache-2.0
// Byte queues: first-in first-out rings of bytes, one writer task and one reader task at once.
// The ring is lock-free: the writer publishes with a release store of its write index, the
// reader consumes with a release store of its read index, and each side loads the other's index
// with acquire. kxqReset and kxqFree must not run at the same time as a read or write.
#pragma once

#include <cstdint>

namespace kx {

using KxqHandle = uintptr_t;  // 0 names no queue

// Makes a queue that holds capacity bytes. Returns 0 and writes the handle, or non-zero and
// leaves *handle 0 (capacity 0, no memory, or an injected fault).
int32_t kxqInit(uint32_t capacity, KxqHandle* handle);
// Releases a queue; handle 0 does nothing.
int32_t kxqFree(KxqHandle handle);
// Discards every queued byte. Afterwards kxqCanRead(h, 1) is non-zero and the whole capacity
// can be written.
int32_t kxqReset(KxqHandle handle);
// 0 when length bytes fit now, non-zero when they do not (or for handle 0).
int32_t kxqCanWrite(KxqHandle handle, uint32_t length);
// Queues all length bytes and returns 0, or queues nothing and returns non-zero when they do
// not all fit (or on an injected fault).
int32_t kxqWrite(KxqHandle handle, const void* buffer, uint32_t length);
// Takes up to length bytes, oldest first, and returns how many it took. The part of the buffer
// it could not fill is set to zero bytes, so a short queue yields silence, never stale samples.
int32_t kxqRead(KxqHandle handle, void* buffer, uint32_t length);
// 0 when at least length bytes can be read now, non-zero otherwise.
int32_t kxqCanRead(KxqHandle handle, uint32_t length);

}  // namespace kx
