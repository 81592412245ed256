// SPDX-License-Identifier: Apache-2.0
// The module's lock rules are checked: a function whose contract needs the sound pool's lock
// stops the program when called without it (KX_LOCK_CHECKS, on in every test build but
// Release), and the exceptions its contract names (a null sound, a sound without a block, a
// stopped library) pass without the lock. Without the library running: each call reaches its
// check before it touches anything.
#include <gtest/gtest.h>

#include <csignal>
#include <functional>

#include "kxaudio/audioLib.h"
#include "kxaudio/kxaudio.h"

namespace {

using kx::audioLib;

struct Call {
    const char* what;
    std::function<void()> call;
    bool dies;  // without the lock held
};

TEST(LockRules, ACallWithoutTheLockStopsWhereTheContractNeedsIt) {
    if (!KX_LOCK_CHECKS)
        GTEST_SKIP() << "built without KX_LOCK_CHECKS (a Release build)";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(audioLib.device, 0u) << "the library must be stopped for these calls";
    ASSERT_EQ(audioLib.mixer.pool.lock, 0u);
    static kx::StreamBlock block{};
    const Call calls[] = {
        {"a state change",
         [] {
             kx::SoundRecord sound{};
             kx::iSetStreamState(&sound, kx::SND_PAUSED);
         },
         true},
        {"a state change of no sound", [] { kx::iSetStreamState(nullptr, kx::SND_PAUSED); }, false},
        {"detaching a block while the library runs",
         [] {
             kx::SoundRecord sound{};
             sound.block = &block;
             audioLib.device = 1;  // in the child only: as if started
             kx::iDetachLoad(&sound);
         },
         true},
        {"detaching from a sound without a block",
         [] {
             kx::SoundRecord sound{};
             audioLib.device = 1;
             kx::iDetachLoad(&sound);
         },
         false},
    };
    for (const Call& c : calls) {
        SCOPED_TRACE(c.what);
        if (c.dies) {
            EXPECT_EXIT(c.call(), ::testing::KilledBySignal(SIGILL), "");
        } else {
            EXPECT_EXIT(
                {
                    c.call();
                    std::exit(0);
                },
                ::testing::ExitedWithCode(0), "");
        }
    }
}

}  // namespace
