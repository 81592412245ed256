// SPDX-License-Identifier: Apache-2.0
// Scenarios for comparing the module with the reference model: a set of WAV files bound to
// location 1, a list of calls and period steps, the seeded generator that makes them, and the
// runners that play a scenario on the model alone or on the module and the model in lockstep.
// Runners drive the module from the test's thread only; the model has no threads.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/model/model.h"

namespace kxmodel {

// SplitMix64: small, fast and the same everywhere (the standard distributions are not).
struct Rng {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return n ? static_cast<uint32_t>(next() % n) : 0; }
    int range(int lo, int hi) {
        return lo + static_cast<int>(below(static_cast<uint32_t>(hi - lo + 1)));
    }
    bool chance(int percent) { return below(100) < static_cast<uint32_t>(percent); }
    template <typename T>
    const T& pick(const std::vector<T>& v) {
        return v[below(static_cast<uint32_t>(v.size()))];
    }
};

enum class Op : uint8_t { Create, Delete, Play, Pause, Stop, Volume, Mute, Step };

// Whom a play, pause or stop names.
enum class Who : uint8_t {
    Sound,    // a live sound, by model id
    Stale,    // the handle of a deleted sound, by the id it had
    None,     // no handle (pause or stop of all)
    Unknown,  // a non-null pointer that was never a sound
};

struct Action {
    Op op = Op::Step;
    std::string name;  // Create: the file's name at location 1
    int sound = -1;    // Delete, and Play/Pause/Stop with Who::Sound or Who::Stale
    Who who = Who::Sound;
    uint32_t a = 0;  // Play: exclusive; Volume, Mute: the value; Step: periods
    uint32_t b = 0;  // Play: loop
};

struct Scenario {
    uint64_t seed = 0;
    uint32_t frames = 16;
    std::map<std::string, Bytes> files;  // written into location 1's directory before the run
    std::vector<Action> actions;
};

std::string describe(const Action& action);
// The seed, frames, every file's header facts and the actions numbered up to (and including)
// index last.
std::string describe(const Scenario& scenario, size_t last);

// A scenario made from the seed alone: 5-8 playable files of awkward lengths and layouts, a few
// unplayable or missing ones, and 150-300 calls interleaved with steps of 1-3 periods.
Scenario generateScenario(uint64_t seed);
// The same at a frame count of the caller's choosing (the files' lengths follow the period).
Scenario generateScenario(uint64_t seed, uint32_t frames);

// What a run observed: each action's status (0 for steps), the sound each create's handle out
// named afterwards (-1 none, -2 a handle that names no known sound; -1 for other actions), and
// every recorded period from period 0.
struct Trace {
    std::vector<int32_t> statuses;
    std::vector<int> handles;
    std::vector<Period> periods;
    std::vector<std::string> notes;  // the model's account of each period (runModel only)
    uint64_t preemptions = 0;        // explored runs: preemptions that took effect
    uint64_t places = 0;             // explored runs: preemption places passed
};

// An explored schedule on the one-processor kernel (RtkExplore's seed, preemptions and places),
// with the calls made by a caller task of this priority.
struct Explored {
    uint64_t seed = 0;
    uint32_t preemptions = 3;
    uint64_t places = 0;
    uint16_t callerPriority = 100;  // above the loader (89), below the mixer (192)
};

// The model's target for an action: a stale handle counts as a pointer that names no sound.
Target modelTarget(const Action& action);

// The model alone. A stale handle counts as a pointer that names no sound.
Trace runModel(const Scenario& scenario);

// The module and the model in lockstep, each call and each period compared as it happens.
// Returns "" when they agree throughout, else a report of the first disagreement that names the
// seed, the action and the calls up to it. The module's observations go to *module if given.
// With `explored` (one-processor kernel only) the calls run on a caller task under that explored
// schedule, the block invariant is checked after every step, and the library is freed at the end
// and must leave nothing.
std::string runLockstep(const Scenario& scenario, Trace* module = nullptr,
                        const Explored* explored = nullptr);

}  // namespace kxmodel
