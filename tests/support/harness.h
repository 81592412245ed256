// SPDX-License-Identifier: Apache-2.0
// Test support: the module loaded the way the host loads it (dkm_kxaudio_Init, then only the
// operation table), over a freshly reset platform with the driver's stepped clock and memory sink.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kxaudio/kxaudio.h"
#include "platform/devices/hda.h"
#include "platform/kernel/rtk_select.h"

namespace kxtest {

constexpr int32_t kWaitMs = 20000;  // generous bound for every wait on the engine

class Module {
  public:
    // Resets registry, paths, driver, faults and kernel counters, sets the driver's clock and
    // frames per period, and loads the module. With the real-time clock it selects the threaded
    // kernel until its destruction.
    explicit Module(uint32_t frames = 1024, kx::HdaClock clock = kx::HdaClock::Stepped);
    // Frees the library if it is started and resets the driver.
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    const kx::SndOperations& ops() const { return ops_; }
    // sndInit; with the stepped clock and success, also waits until period 0 is recorded and
    // the engine is quiet. Returns sndInit's status.
    int32_t init();
    // sndFree; releases the stepped clock first so the mixer can leave its write.
    int32_t free();
    // Lets the mixer produce n more periods (stepped clock). Fails the test on timeout.
    void step(int n = 1);

    uint32_t frames() const { return frames_; }
    uint32_t periodBytes() const { return frames_ * 4; }
    size_t periods() const;                       // periods captured so far
    std::vector<int16_t> period(size_t k) const;  // samples of captured period k
    std::vector<uint8_t> captured() const;

  private:
    kx::SndOperations ops_{};
    uint32_t frames_;
    kx::HdaClock clock_;
    kx::RtkKernel kernel_;  // the kernel chosen before; a real-time module runs on the threaded one
};

}  // namespace kxtest
