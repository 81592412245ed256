// SPDX-License-Identifier: Apache-2.0
// Shared fixture of the engine and service tests: the module over the stepped clock with small
// periods, a temporary sound directory bound to location 1, and sounds made from sample vectors.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kxaudio/audioLib.h"
#include "platform/files/kxfs_host.h"
#include "tests/support/engine_state.h"
#include "tests/support/harness.h"
#include "tests/support/wavgen.h"

namespace kxtest {

class EngineTest : public ::testing::Test {
  public:
    static constexpr uint32_t kFrames = 64;
    static constexpr uint32_t kSamples = kFrames * 2;  // samples in one period

  protected:
    void SetUp() override {
        kx::kxfsBind(1, dir.path().c_str());
        ASSERT_EQ(m.init(), kx::SND_OK);
    }

    kx::SoundHandle sound(const std::string& name, const Bytes& file) {
        dir.write(name, file);
        kx::SoundHandle h = nullptr;
        EXPECT_EQ(m.ops().sndCreate(1, name.c_str(), &h), kx::SND_OK) << name;
        return h;
    }
    kx::SoundHandle sound(const std::string& name, const std::vector<int16_t>& samples) {
        return sound(name, canonicalWav(samples));
    }

    // Samples [k * kSamples, (k + 1) * kSamples) of data, silence where data has run out.
    static std::vector<int16_t> slice(const std::vector<int16_t>& data, size_t k) {
        std::vector<int16_t> out(kSamples, 0);
        for (size_t i = 0; i < kSamples && k * kSamples + i < data.size(); ++i)
            out[i] = data[k * kSamples + i];
        return out;
    }

    Module m{kFrames};
    TempDir dir;
};

}  // namespace kxtest
