// SPDX-License-Identifier: Apache-2.0
// Test support: loads the module over a reset platform and drives the stepped driver clock.
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include "kxaudio/audioLib.h"
#include "platform/fault.h"
#include "platform/host_load.h"
#include "platform/kernel/rtk_select.h"

namespace kxtest {

Module::Module(uint32_t frames, kx::HdaClock clock)
    : frames_(frames), clock_(clock), kernel_(kx::RtkSelectedKernel()) {
    // The real-time clock waits for the host's time, which only the threaded kernel has.
    if (clock == kx::HdaClock::RealTime) {
        EXPECT_TRUE(kx::RtkSelectKernel(kx::RtkKernel::Threads)) << "tasks were left running";
    }
    const kx::SndOperations* table = kx::hostLoadModule(dkm_kxaudio_Init, {clock, frames, {}});
    EXPECT_NE(table, nullptr) << "the module did not load";
    if (table)
        ops_ = *table;
}

Module::~Module() {
    // Only a started library needs freeing; a failed start-up has freed itself already.
    if (kx::audioLib.device != 0)
        free();
    kx::faultClearAll();
    kx::hdaReset();
    kx::RtkSelectKernel(kernel_);
}

int32_t Module::init() {
    kx::hdaSetClock(clock_);  // a previous free released the stepped clock
    int32_t status = ops_.sndInit();
    if (status == 0 && clock_ == kx::HdaClock::Stepped) {
        EXPECT_TRUE(kx::hdaSync(kWaitMs)) << "period 0 never reached the driver";
    }
    return status;
}

int32_t Module::free() {
    if (!ops_.sndFree)
        return 0;
    kx::hdaRelease();
    return ops_.sndFree();
}

void Module::step(int n) {
    for (int i = 0; i < n; ++i)
        ASSERT_TRUE(kx::hdaStep(kWaitMs)) << "step " << i << " timed out";
}

std::vector<uint8_t> Module::captured() const {
    return kx::hdaCaptured();
}

size_t Module::periods() const {
    return captured().size() / periodBytes();
}

std::vector<int16_t> Module::period(size_t k) const {
    std::vector<uint8_t> bytes = captured();
    std::vector<int16_t> out;
    size_t start = k * periodBytes();
    if (start + periodBytes() > bytes.size())
        return out;
    out.resize(frames_ * 2);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<int16_t>(bytes[start + 2 * i] | (bytes[start + 2 * i + 1] << 8));
    return out;
}

}  // namespace kxtest
