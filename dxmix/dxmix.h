// SPDX-License-Identifier: Apache-2.0
// The saturating mix: adds one buffer of signed 16-bit samples into another, sample by sample,
// with signed saturation. Stateless; safe on any task.
#pragma once

#include <cstdint>

namespace kx {

// For every whole 16-bit sample k of length bytes: dst[k] = clamp(dst[k] + src[k]).
// A trailing odd byte is left unchanged. Null buffers or length 0 change nothing. The buffers
// need no alignment and may be the same buffer (every sample is then doubled).
void S16sMix(void* destination, const void* source, uint32_t length);

// The variants behind S16sMix, for tests and benchmarks. Each gives exactly the sums above.
using S16sMixFn = void (*)(void* destination, const void* source, uint32_t length);
struct S16sMixVariant {
    const char* name;  // "scalar", "sse2", "avx2", "avx512bw"
    S16sMixFn fn;
    bool supported;  // whether this processor runs it
};
// All variants built in, fastest last; S16sMix uses the fastest supported one, chosen once.
const S16sMixVariant* S16sMixVariants(int* count);
const char* S16sMixSelected();

}  // namespace kx
