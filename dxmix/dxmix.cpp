// SPDX-License-Identifier: Apache-2.0
// The saturating mix and its variants: scalar, SSE2 (the baseline of every build, 32-bit too),
// AVX2 and AVX-512BW, the last two compiled for their instruction sets by target attributes and
// used only where the processor runs them. The choice is made once, on the first call; after
// that the mix keeps no state and takes no lock, and runs on the mixer task.
#include "dxmix/dxmix.h"

#include <immintrin.h>

#include <cstring>

namespace kx {
namespace {

constexpr uint32_t kSample = 2;  // bytes of one 16-bit sample

inline int16_t addSaturated(int16_t a, int16_t b) {
    int32_t sum = static_cast<int32_t>(a) + static_cast<int32_t>(b);
    if (sum > 32767)
        return 32767;
    if (sum < -32768)
        return -32768;
    return static_cast<int16_t>(sum);
}

// Mixes the whole samples of length bytes one at a time; an odd last byte is half a sample and
// stays as it is. memcpy keeps each access unaligned-safe and free of aliasing assumptions, and
// loads both values before the store, so dst == src doubles each sample.
inline void mixTail(uint8_t* d, const uint8_t* s, uint32_t length) {
    for (uint32_t i = 0; i + kSample <= length; i += kSample) {
        int16_t a;
        int16_t b;
        std::memcpy(&a, d + i, kSample);
        std::memcpy(&b, s + i, kSample);
        int16_t r = addSaturated(a, b);
        std::memcpy(d + i, &r, kSample);
    }
}

void mixScalar(void* destination, const void* source, uint32_t length) {
    if (destination == nullptr || source == nullptr)
        return;
    mixTail(static_cast<uint8_t*>(destination), static_cast<const uint8_t*>(source), length);
}

// Each vector variant runs its widest step over the bulk, then narrower packed steps, so that
// at most 15 bytes (7 samples) are left to the scalar tail whatever the width.
inline uint32_t mixSse2Steps(uint8_t* d, const uint8_t* s, uint32_t length) {
    uint32_t i = 0;
    // 64 bytes a step: four independent loads of each buffer before any store, which keeps the
    // loads ahead of the stores when the buffers are the same.
    for (; i + 64 <= length; i += 64) {
        __m128i s0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        __m128i s1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 16));
        __m128i s2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 32));
        __m128i s3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 48));
        __m128i d0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
        __m128i d1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i + 16));
        __m128i d2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i + 32));
        __m128i d3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i + 48));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), _mm_adds_epi16(d0, s0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i + 16), _mm_adds_epi16(d1, s1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i + 32), _mm_adds_epi16(d2, s2));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i + 48), _mm_adds_epi16(d3, s3));
    }
    for (; i + 16 <= length; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), _mm_adds_epi16(a, b));
    }
    return i;
}

void mixSse2(void* destination, const void* source, uint32_t length) {
    if (destination == nullptr || source == nullptr)
        return;
    uint8_t* d = static_cast<uint8_t*>(destination);
    const uint8_t* s = static_cast<const uint8_t*>(source);
    uint32_t done = mixSse2Steps(d, s, length);
    mixTail(d + done, s + done, length - done);
}

__attribute__((target("avx2"))) inline uint32_t mixAvx2Steps(uint8_t* d, const uint8_t* s,
                                                             uint32_t length) {
    uint32_t i = 0;
    for (; i + 64 <= length; i += 64) {
        __m256i s0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
        __m256i s1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i + 32));
        __m256i d0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + i));
        __m256i d1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + i + 32));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i), _mm256_adds_epi16(d0, s0));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i + 32), _mm256_adds_epi16(d1, s1));
    }
    if (i + 32 <= length) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + i));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i), _mm256_adds_epi16(a, b));
        i += 32;
    }
    if (i + 16 <= length) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), _mm_adds_epi16(a, b));
        i += 16;
    }
    return i;
}

__attribute__((target("avx2"))) void mixAvx2(void* destination, const void* source,
                                             uint32_t length) {
    if (destination == nullptr || source == nullptr)
        return;
    uint8_t* d = static_cast<uint8_t*>(destination);
    const uint8_t* s = static_cast<const uint8_t*>(source);
    uint32_t done = mixAvx2Steps(d, s, length);
    mixTail(d + done, s + done, length - done);
}

__attribute__((target("avx512bw"))) void mixAvx512bw(void* destination, const void* source,
                                                     uint32_t length) {
    if (destination == nullptr || source == nullptr)
        return;
    uint8_t* d = static_cast<uint8_t*>(destination);
    const uint8_t* s = static_cast<const uint8_t*>(source);
    uint32_t i = 0;
    for (; i + 64 <= length; i += 64) {
        __m512i a = _mm512_loadu_si512(d + i);
        __m512i b = _mm512_loadu_si512(s + i);
        _mm512_storeu_si512(d + i, _mm512_adds_epi16(a, b));
    }
    i += mixAvx2Steps(d + i, s + i, length - i);
    mixTail(d + i, s + i, length - i);
}

// Fastest last; the dispatcher takes the last one the processor supports.
struct VariantEntry {
    const char* name;
    S16sMixFn fn;
    const char* feature;  // for __builtin_cpu_supports; null: always supported
};

constexpr VariantEntry kVariants[] = {
    {"scalar", mixScalar, nullptr},
    {"sse2", mixSse2, nullptr},  // every build requires SSE2 (-msse2, also with -m32)
    {"avx2", mixAvx2, "avx2"},
    {"avx512bw", mixAvx512bw, "avx512bw"},
};
constexpr int kVariantCount = static_cast<int>(sizeof(kVariants) / sizeof(kVariants[0]));

// __builtin_cpu_supports needs a literal argument, hence the explicit names.
bool cpuSupports(const char* feature) {
    __builtin_cpu_init();
    if (feature == nullptr)
        return true;
    if (std::strcmp(feature, "avx2") == 0)
        return __builtin_cpu_supports("avx2");
    if (std::strcmp(feature, "avx512bw") == 0)
        return __builtin_cpu_supports("avx512bw");
    return false;
}

struct VariantTable {
    S16sMixVariant entries[kVariantCount];
    int selected;
};

// Built once, on first use, by the thread-safe initialisation of a function-local static; from
// then on it is only read. The processor's features do not change while the module runs.
const VariantTable& table() {
    static const VariantTable t = [] {
        VariantTable v{};
        for (int i = 0; i < kVariantCount; ++i) {
            v.entries[i] = {kVariants[i].name, kVariants[i].fn, cpuSupports(kVariants[i].feature)};
            if (v.entries[i].supported)
                v.selected = i;
        }
        return v;
    }();
    return t;
}

}  // namespace

void S16sMix(void* destination, const void* source, uint32_t length) {
    static const S16sMixFn mix = table().entries[table().selected].fn;
    mix(destination, source, length);
}

const S16sMixVariant* S16sMixVariants(int* count) {
    if (count != nullptr)
        *count = kVariantCount;
    return table().entries;
}

const char* S16sMixSelected() {
    return table().entries[table().selected].name;
}

}  // namespace kx
