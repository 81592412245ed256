// SPDX-License-Identifier: Apache-2.0
// Throughput of the saturating mix in bytes per second: a plain one-sample-at-a-time reference
// kept free of vectorisation, each variant this processor runs, and the dispatched S16sMix, at
// a 4096-byte buffer and at one 441-frame stereo period (1764 bytes).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dxmix/dxmix.h"

namespace {

// What the mix costs without packed arithmetic: the compiler must not vectorise it, nor
// inline it into a caller that it would vectorise.
__attribute__((optimize("no-tree-vectorize"), noinline)) void referenceMix(void* destination,
                                                                           const void* source,
                                                                           uint32_t length) {
    auto* d = static_cast<uint8_t*>(destination);
    const auto* s = static_cast<const uint8_t*>(source);
    for (uint32_t i = 0; i + 2 <= length; i += 2) {
        int16_t a;
        int16_t b;
        std::memcpy(&a, d + i, 2);
        std::memcpy(&b, s + i, 2);
        int32_t sum = a + b;
        int16_t r = static_cast<int16_t>(sum > 32767 ? 32767 : sum < -32768 ? -32768 : sum);
        std::memcpy(d + i, &r, 2);
    }
}

// 64-byte aligned, so every variant meets its buffers alike (no width pays for split loads that
// another one happens to avoid).
struct AlignedSamples {
    explicit AlignedSamples(size_t count)
        : data(static_cast<int16_t*>(std::aligned_alloc(64, (count * 2 + 63) / 64 * 64))) {}
    ~AlignedSamples() { std::free(data); }
    AlignedSamples(const AlignedSamples&) = delete;
    AlignedSamples& operator=(const AlignedSamples&) = delete;
    int16_t* data;
};

void runMix(benchmark::State& state, kx::S16sMixFn mix) {
    const auto length = static_cast<uint32_t>(state.range(0));
    // Samples that sometimes saturate, so no branch is always taken; the source alternates in
    // sign so that repeated mixing does not leave the destination pinned at a limit.
    AlignedSamples dst(length / 2);
    AlignedSamples src(length / 2);
    for (size_t i = 0; i < length / 2; ++i) {
        dst.data[i] = static_cast<int16_t>((i * 7919) % 65536 - 32768);
        src.data[i] = static_cast<int16_t>((i & 1) ? 12000 : -12000);
    }
    for (auto _ : state) {
        mix(dst.data, src.data, length);
        benchmark::DoNotOptimize(dst.data);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
}

// Registered at start-up so that only variants this processor runs are measured. Names are
// "mix/<variant>/<length>"; bench/run reads them.
int registerAll() {
    const auto add = [](const std::string& name, kx::S16sMixFn fn) {
        benchmark::RegisterBenchmark(("mix/" + name).c_str(),
                                     [fn](benchmark::State& state) { runMix(state, fn); })
            ->Arg(4096)
            ->Arg(1764);
    };
    add("reference", referenceMix);
    int count = 0;
    const kx::S16sMixVariant* variants = kx::S16sMixVariants(&count);
    for (int i = 0; i < count; ++i)
        if (variants[i].supported)
            add(variants[i].name, variants[i].fn);
    add("dispatched", kx::S16sMix);
    return 0;
}

[[maybe_unused]] const int registered = registerAll();

}  // namespace

BENCHMARK_MAIN();
