// SPDX-License-Identifier: Apache-2.0
// The benchmark programs' host: loads and starts the module over the simulated driver, writes
// WAV files and reads clocks. Runs on each program's main thread only.
#include "bench/host.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/host_load.h"

namespace kx::bench {
namespace {

// The sink the benchmarks give the driver: a descriptor on /dev/null, so that long runs keep
// no samples and every period still takes the path a real output takes.
int nullSink = -1;

}  // namespace

const SndOperations* startModule(HdaClock clock, uint32_t frames, const std::string& dir) {
    const SndOperations* ops =
        hostLoadModule(dkm_kxaudio_Init, {clock, frames, {{kLocation, dir}}});
    if (ops == nullptr) {
        std::fprintf(stderr, "kxaudio did not load\n");
        return nullptr;
    }
    if (nullSink < 0)
        nullSink = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    hdaSinkFd(nullSink);
    int32_t status = ops->sndInit();
    if (status != SND_OK) {
        std::fprintf(stderr, "kxaudio did not start: %d\n", static_cast<int>(status));
        return nullptr;
    }
    return ops;
}

void stopModule(const SndOperations* ops) {
    hdaRelease();
    if (ops != nullptr)
        ops->sndFree();
    hdaCloseSink();
}

bool writeWav(const std::string& path, uint32_t frames, int16_t (*sampleAt)(uint32_t frame)) {
    uint32_t dataBytes = frames * kStreamBytesPerFrame;
    uint8_t h[kWavHeaderBytes];
    wavHeader(h, dataBytes);
    std::vector<uint8_t> data(dataBytes);
    for (uint32_t i = 0; i < frames; ++i) {
        auto v = static_cast<uint16_t>(sampleAt(i));
        putLe16(data.data() + kStreamBytesPerFrame * i, v);
        putLe16(data.data() + kStreamBytesPerFrame * i + 2, v);
    }
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = std::fwrite(h, 1, sizeof h, f) == sizeof h &&
              std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double nowSeconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

uint64_t optionOf(int argc, char** argv, const char* name, uint64_t fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0)
            return std::strtoull(argv[i + 1], nullptr, 10);
    }
    return fallback;
}

std::string optionOf(int argc, char** argv, const char* name, const std::string& fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0)
            return argv[i + 1];
    }
    return fallback;
}

void report(const char* name, double value) {
    std::printf("%s %.6g\n", name, value);
    std::fflush(stdout);
}

}  // namespace kx::bench
