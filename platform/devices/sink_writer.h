// SPDX-License-Identifier: Apache-2.0
// Inside the sinks: the writer thread of a WAV file, descriptor or ALSA sink and the ring it
// empties. The writing task copies each period into the ring and returns; the writer alone hands
// bytes to the output, so that a slow disk, pipe or device never holds up the driver's write.
// The ring's positions are guarded by the writer's own mutex, never held across a copy or an
// output call; the bytes between them belong to whichever side the positions say.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kx {

struct SinkWriter;

// Where a writer's bytes go: writes all of them, or records why not and returns false. Called on
// the writer's thread only; after the first false the writer drops what remains.
using SinkOutput = bool (*)(void* context, const uint8_t* bytes, size_t length);

// Allocates the ring and starts the writer, which hands output what is put once `batch` bytes
// are pending, and everything left when it stops. Waits on either side look at *abandoned now
// and then: once it is set nothing more is waited for. Null, with nothing started, when the ring
// or the thread cannot be had.
SinkWriter* sinkWriterStart(SinkOutput output, void* context, uint64_t batch,
                            const std::atomic<bool>* abandoned);
// Ends the writer once everything in the ring is written (or dropped after a failure or an
// abandon) and frees it. Null does nothing.
void sinkWriterStop(SinkWriter* writer);
// Puts bytes into the ring, waiting for room where it is full; returns early, dropping the rest,
// once abandoned. The first wait of a period adds one to *overruns, before it waits, so that
// whoever watches sees the stall while it lasts; *counted says whether this period was counted.
// One putter at a time (the sinks' mutex), so free space cannot shrink between look and copy.
void sinkWriterPut(SinkWriter* writer, const uint8_t* bytes, size_t length, bool* counted,
                   std::atomic<uint64_t>* overruns);

}  // namespace kx
