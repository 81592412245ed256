// SPDX-License-Identifier: Apache-2.0
// Concurrency stress: several caller threads issue random operations on shared and private
// sounds while the mixer and loader run under the real-time clock with short periods. Every
// status must be one the rules allow, the block invariant must hold whenever it is looked at, and
// shutdown must leave nothing. A watchdog ends the process instead of letting a deadlock hang.
// KX_STRESS_SECONDS sets the duration (default 3), KX_STRESS_SEED the random seed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "platform/devices/hda.h"
#include "platform/files/kxfs_host.h"
#include "tests/support/engine_state.h"
#include "tests/support/harness.h"
#include "tests/support/wavgen.h"

namespace kxtest {
namespace {

constexpr uint32_t kFrames = 32;
constexpr int kCallers = 4;
constexpr int kShared = 6;
constexpr int kPrivate = 2;  // private sounds per caller at most

double envNumber(const char* name, double fallback) {
    const char* value = std::getenv(name);
    return value ? std::atof(value) : fallback;
}

// Ends the process if the guarded work outlives its bound: a deadlock fails the run instead of
// hanging it.
class Watchdog {
  public:
    Watchdog(std::chrono::seconds bound, std::string what)
        : thread_([this, bound, what = std::move(what)] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!done_changed_.wait_for(lock, bound, [this] { return done_; })) {
                  std::fprintf(stderr, "watchdog: %s still running after %lld s\n", what.c_str(),
                               static_cast<long long>(bound.count()));
                  std::fflush(stderr);
                  std::abort();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        done_changed_.notify_all();
        thread_.join();
    }

  private:
    std::mutex mutex_;
    std::condition_variable done_changed_;
    bool done_ = false;
    std::thread thread_;
};

enum class Op { Create, Delete, Play, Pause, Stop, PauseAll, StopAll, Volume, Mute, Count };

const char* opName(Op op) {
    static const char* names[] = {"create",   "delete",  "play",   "pause", "stop",
                                  "pauseAll", "stopAll", "volume", "mute"};
    return names[static_cast<int>(op)];
}

struct Tally {
    std::atomic<uint64_t> calls[static_cast<int>(Op::Count)]{};
    std::atomic<uint64_t> refusals{0};  // TOO_MANY, EXCLUSIVE, EXISTS: refusals the rules give
    std::mutex mutex;
    std::set<std::string> wrong;  // statuses no rule allows, guarded by mutex
};

// One caller: random operations on the shared sounds and on its own, each status checked
// against those the rules allow for that call on a started library with readable files.
void caller(const Module& m, const std::vector<kx::SoundHandle>& shared, int id, uint32_t seed,
            const std::atomic<bool>& stop, Tally& tally) {
    std::mt19937 rng(seed);
    const kx::SndOperations& ops = m.ops();
    std::vector<kx::SoundHandle> mine(kPrivate, nullptr);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
    auto wrong = [&](Op op, int32_t status) {
        std::lock_guard<std::mutex> lock(tally.mutex);
        const char* name = kx::sndStatusName(status);
        tally.wrong.insert(std::string(opName(op)) + " gave " +
                           (name ? name : std::to_string(status)));
    };
    // A sound to act on: shared, or one of this caller's own when it exists.
    auto target = [&]() -> kx::SoundHandle {
        int k = pick(kShared + kPrivate);
        return k < kShared ? shared[k] : mine[k - kShared];
    };

    while (!stop.load(std::memory_order_relaxed)) {
        // Now and then a short pause, so that sounds also get to play out and drain.
        if (pick(16) == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(pick(200)));
        Op op = static_cast<Op>(pick(100) < 4 ? pick(static_cast<int>(Op::Count))
                                              : 2 + pick(3));  // mostly play, pause, stop
        int32_t status = 0;
        switch (op) {
            case Op::Create: {
                int k = pick(kPrivate);
                if (mine[k] != nullptr || pick(4) == 0) {
                    // Creating a shared sound again names the existing one.
                    kx::SoundHandle h = nullptr;
                    std::string name = "shared" + std::to_string(pick(kShared)) + ".wav";
                    status = ops.sndCreate(1, name.c_str(), &h);
                    if (status != kx::SND_ERR_EXISTS || h == nullptr)
                        wrong(op, status);
                    tally.refusals++;
                    break;
                }
                std::string name = "caller" + std::to_string(id) + "_" + std::to_string(k) + ".wav";
                status = ops.sndCreate(1, name.c_str(), &mine[k]);
                if (status != kx::SND_OK)
                    wrong(op, status);
                break;
            }
            case Op::Delete: {
                int k = pick(kPrivate);
                if (mine[k] == nullptr)
                    continue;
                status = ops.sndDelete(mine[k]);
                mine[k] = nullptr;
                if (status != kx::SND_OK)
                    wrong(op, status);
                break;
            }
            case Op::Play: {
                kx::SoundHandle h = target();
                if (h == nullptr)
                    continue;
                status = ops.sndPlay(h, pick(8) == 0, pick(3) == 0);
                if (status == kx::SND_ERR_TOO_MANY || status == kx::SND_ERR_EXCLUSIVE)
                    tally.refusals++;
                else if (status != kx::SND_OK)
                    wrong(op, status);
                break;
            }
            case Op::Pause:
            case Op::Stop: {
                kx::SoundHandle h = target();
                if (h == nullptr)
                    continue;
                status = op == Op::Pause ? ops.sndPause(h) : ops.sndStop(h);
                if (status != kx::SND_OK)
                    wrong(op, status);
                break;
            }
            case Op::PauseAll:
            case Op::StopAll:
                status = op == Op::PauseAll ? ops.sndPause(nullptr) : ops.sndStop(nullptr);
                if (status != kx::SND_OK)
                    wrong(op, status);
                break;
            case Op::Volume:
                status = ops.sndVolume(static_cast<uint32_t>(pick(101)));
                if (status != kx::SND_OK)
                    wrong(op, status);
                break;
            case Op::Mute:
                status = ops.sndMute(static_cast<uint32_t>(pick(2)));
                if (status != kx::SND_OK)
                    wrong(op, status);
                break;
            case Op::Count:
                break;
        }
        tally.calls[static_cast<int>(op)]++;
    }
    for (kx::SoundHandle h : mine)
        if (h != nullptr && ops.sndDelete(h) != kx::SND_OK)
            wrong(Op::Delete, -1);
}

TEST(Stress, CallersRaceTheRunningEngine) {
    const double seconds = envNumber("KX_STRESS_SECONDS", 3);
    const uint32_t seed = static_cast<uint32_t>(envNumber("KX_STRESS_SEED", 20261208));
    Watchdog watchdog(std::chrono::seconds(static_cast<long long>(seconds) + 120), "stress");

    TempDir dir;
    Module m(kFrames, kx::HdaClock::RealTime);
    kx::kxfsBind(1, dir.path().c_str());
    // Short sounds end by themselves, so the mixer stops sounds while callers act on them.
    for (int i = 0; i < kShared; ++i)
        dir.write("shared" + std::to_string(i) + ".wav",
                  canonicalWav(noiseSamples(100 + 700 * static_cast<uint32_t>(i), seed + i)));
    for (int id = 0; id < kCallers; ++id)
        for (int k = 0; k < kPrivate; ++k)
            dir.write("caller" + std::to_string(id) + "_" + std::to_string(k) + ".wav",
                      canonicalWav(noiseSamples(300 + 500 * static_cast<uint32_t>(k), seed * 3)));
    ASSERT_EQ(m.init(), kx::SND_OK);
    std::vector<kx::SoundHandle> shared(kShared, nullptr);
    for (int i = 0; i < kShared; ++i)
        ASSERT_EQ(m.ops().sndCreate(1, ("shared" + std::to_string(i) + ".wav").c_str(), &shared[i]),
                  kx::SND_OK);

    Tally tally;
    std::atomic<bool> stop{false};
    std::vector<std::thread> callers;
    auto begin = std::chrono::steady_clock::now();
    uint64_t periodsBefore = kx::hdaStats().periods;
    for (int id = 0; id < kCallers; ++id)
        callers.emplace_back(caller, std::cref(m), std::cref(shared), id, seed + 1000 * id,
                             std::cref(stop), std::ref(tally));

    // While they run: the invariant holds whenever it is looked at (the sound pool's lock
    // freezes every block move), and the mixer keeps producing periods.
    auto deadline = begin + std::chrono::duration<double>(seconds);
    int looks = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::string problems = blockInvariant();
        if (!problems.empty()) {
            ADD_FAILURE() << "invariant broken during the run: " << problems;
            break;
        }
        ++looks;
    }
    stop = true;
    for (std::thread& t : callers)
        t.join();
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

    uint64_t total = 0;
    std::string perOp;
    for (int i = 0; i < static_cast<int>(Op::Count); ++i) {
        total += tally.calls[i];
        perOp += std::string(" ") + opName(static_cast<Op>(i)) + "=" +
                 std::to_string(tally.calls[i].load());
    }
    kx::HdaStats stats = kx::hdaStats();
    std::printf(
        "[  STRESS  ] %d callers, %.1f s: %llu operations, %.0f per second (refused by the rules "
        "%llu);%s; %llu periods of %u frames, %llu late; %d invariant checks\n",
        kCallers, elapsed, static_cast<unsigned long long>(total), total / elapsed,
        static_cast<unsigned long long>(tally.refusals.load()), perOp.c_str(),
        static_cast<unsigned long long>(stats.periods - periodsBefore), kFrames,
        static_cast<unsigned long long>(stats.latePeriods), looks);
    RecordProperty("operations_per_second", static_cast<int>(total / elapsed));

    for (const std::string& w : tally.wrong)
        ADD_FAILURE() << w;
    EXPECT_GT(total, 0u);
    EXPECT_GT(stats.periods, periodsBefore) << "the mixer produced nothing";
    EXPECT_GT(tally.calls[static_cast<int>(Op::Play)].load(), 0u);
    EXPECT_EQ(blockInvariant(), "");
    m.free();
    EXPECT_TRUE(kx::sharedLoad(kx::audioLib.mixer.exited)) << "mixer deleted by force";
    EXPECT_TRUE(kx::sharedLoad(kx::audioLib.loader.exited)) << "loader deleted by force";
    EXPECT_EQ(leftovers(), "");
}

}  // namespace
}  // namespace kxtest
