// SPDX-License-Identifier: Apache-2.0
// Running a scenario on the module (loaded through its table over the stepped driver clock) and
// the model side by side. Only the test's thread calls the module; the engine's tasks are left
// quiescent after every call so that its read-ahead is settled before the next call, as the
// model assumes.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "platform/devices/hda.h"
#include "platform/files/kxfile_host.h"
#include "platform/files/kxfs_host.h"
#include "platform/kernel/oneproc/explorer.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_sleep.h"
#include "platform/kernel/rtk_types.h"
#include "tests/model/scenario.h"
#include "tests/support/engine_state.h"
#include "tests/support/harness.h"
#include "tests/support/wavgen.h"

namespace kxmodel {

namespace {

constexpr uint32_t kThinkUs = 1000;  // virtual time a caller task waits before each action

std::string showSamples(const Period& p, size_t from, size_t count) {
    std::ostringstream out;
    for (size_t k = from; k < p.size() && k < from + count; ++k)
        out << (k > from ? " " : "") << p[k];
    return out.str();
}

}  // namespace

std::string runLockstep(const Scenario& sc, Trace* observed, const Explored* explored) {
    Trace local;
    Trace& t = observed ? *observed : local;
    t = Trace{};
    // A refused header may print the reader's one console message; keep it off the test's output.
    struct Quiet {
        Quiet() { kx::kxConsoleCapture(true); }
        ~Quiet() { kx::kxConsoleCapture(false); }
    } quiet;
    kxtest::Module m(sc.frames);
    kxtest::TempDir dir;
    for (const auto& [name, bytes] : sc.files)
        dir.write(name, bytes);
    kx::kxfsBind(1, dir.path().c_str());
    if (int32_t status = m.init(); status != 0)
        return "the library did not start: " + statusName(status);
    const kx::SndOperations& ops = m.ops();
    Model model(sc.frames, sc.files);
    std::vector<kx::SoundHandle> handles;  // by model id; deleted sounds keep their last address
    static int notASound;
    kx::SoundHandle unknown = reinterpret_cast<kx::SoundHandle>(&notASound);

    size_t index = 0;
    auto fail = [&](const std::string& what) {
        std::ostringstream out;
        out << "call [" << index << "] " << describe(sc.actions[index]) << ": " << what << "\n"
            << describe(sc, index);
        return out.str();
    };
    auto comparePeriods = [&]() -> std::string {
        size_t have = m.periods();
        for (size_t k = t.periods.size(); k < have; ++k)
            t.periods.push_back(m.period(k));
        if (have != model.periods().size()) {
            return "the driver recorded " + std::to_string(have) + " periods, the model " +
                   std::to_string(model.periods().size());
        }
        for (size_t k = 0; k < have; ++k) {
            const Period& want = model.periods()[k];
            const Period& got = t.periods[k];
            if (got == want)
                continue;
            size_t s = 0;
            while (s < want.size() && got[s] == want[s])
                ++s;
            std::ostringstream out;
            out << "period " << k << " differs from sample " << s << " (frame " << s / 2 << "):\n"
                << "  module: " << showSamples(got, s, 8)
                << "\n  model:  " << showSamples(want, s, 8) << "\n  model's mix, periods "
                << (k >= 3 ? k - 3 : 0) << ".." << k << ":";
            for (size_t j = k >= 3 ? k - 3 : 0; j <= k; ++j)
                out << "\n    " << j << ":" << model.notes()[j];
            return out.str();
        }
        return "";
    };
    if (std::string diff = comparePeriods(); !diff.empty())
        return "before any call: " + diff;

    // One action: the call (or the steps) on the module and on the model, and their comparison.
    // settle: wait for the loader to finish what the call started before returning.
    auto act = [&](bool settle) -> std::string {
        const Action& a = sc.actions[index];
        int32_t got = 0;
        int32_t want = 0;
        int handle = -1;
        if (a.op == Op::Step) {
            if (explored == nullptr) {
                m.step(static_cast<int>(a.a));
            } else {
                // Each period after the first is the driver's own wake-up: the caller waits a
                // while (the loader tops the queues up unless the explorer cuts the wait short)
                // and lets it go at once, in the middle of whatever the loader is doing. The
                // first period after a call waits for the loader to settle, so a sound just
                // played has its first read queued (as the target's read-ahead has by then).
                bool afterCall = index == 0 || sc.actions[index - 1].op != Op::Step;
                for (uint32_t k = 0; k < a.a; ++k) {
                    if (k == 0 && afterCall) {
                        m.step(1);
                        continue;
                    }
                    kx::RtkSleepTaskUsec(kThinkUs);
                    if (!kx::hdaStepNow(kxtest::kWaitMs))
                        return fail("the driver's period was not taken");
                }
            }
            if (::testing::Test::HasFatalFailure())
                return fail("the driver did not step");
            for (uint32_t k = 0; k < a.a; ++k)
                model.step();
            t.statuses.push_back(0);
            t.handles.push_back(-1);
            if (std::string diff = comparePeriods(); !diff.empty())
                return fail(diff);
            if (explored != nullptr) {
                if (std::string wrong = kxtest::blockInvariant(); !wrong.empty())
                    return fail("after the step: " + wrong);
            }
            return "";
        }
        Target target = modelTarget(a);
        kx::SoundHandle h = nullptr;
        bool names =
            a.op == Op::Delete || a.op == Op::Play || a.op == Op::Pause || a.op == Op::Stop;
        if (names && (a.op == Op::Delete || a.who == Who::Sound || a.who == Who::Stale)) {
            h = handles.at(a.sound);
        }
        if (names && a.op != Op::Delete && a.who == Who::Unknown)
            h = unknown;
        if (a.who == Who::Stale) {
            // A deleted record's address may have been given to a later sound; the module can
            // only compare addresses, so the call then names that sound.
            for (int id : model.live()) {
                if (handles[id] == h)
                    target = Target::sound(id);
            }
        }
        switch (a.op) {
            case Op::Create: {
                kx::SoundHandle out = unknown;  // must be overwritten on every path
                got = ops.sndCreate(1, a.name.c_str(), &out);
                CreateResult r = model.create(a.name);
                want = r.status;
                if (out == nullptr) {
                    handle = -1;
                } else if (got == 0 && want == 0) {
                    for (int id : model.live()) {
                        if (id != r.id && handles[id] == out)
                            return fail("the new handle is a live sound's");
                    }
                    handles.push_back(out);
                    handle = r.id;
                } else {
                    handle = -2;
                    for (int id : model.live()) {
                        if (handles[id] == out)
                            handle = id;
                    }
                }
                if (got == want && handle != r.id) {
                    return fail("the handle out names sound " + std::to_string(handle) +
                                ", the model says " + std::to_string(r.id));
                }
                break;
            }
            case Op::Delete:
                got = ops.sndDelete(h);
                want = model.remove(a.sound);
                break;
            case Op::Play:
                got = ops.sndPlay(h, a.a, a.b);
                want = model.play(target, a.a, a.b);
                break;
            case Op::Pause:
                got = ops.sndPause(h);
                want = model.pause(target);
                break;
            case Op::Stop:
                got = ops.sndStop(h);
                want = model.stop(target);
                break;
            case Op::Volume:
                got = ops.sndVolume(a.a);
                want = model.volume(a.a);
                break;
            case Op::Mute:
                got = ops.sndMute(a.a);
                want = model.mute(a.a);
                break;
            case Op::Step:
                break;
        }
        t.statuses.push_back(got);
        t.handles.push_back(handle);
        // Let the loader finish what the call started before anything else happens.
        if (settle && !kx::hdaSync(kxtest::kWaitMs))
            return fail("the engine did not settle after the call");
        if (got != want)
            return fail("module returned " + statusName(got) + ", model " + statusName(want));
        return "";
    };

    if (explored == nullptr) {
        for (; index < sc.actions.size(); ++index) {
            if (std::string wrong = act(true); !wrong.empty())
                return wrong;
        }
        return "";
    }

    // Explored: the calls come from a caller task above the loader. Before each action it sleeps
    // a while; left alone, the loader settles in that while, but the explorer may end the sleep
    // at any of the loader's preemption places, so the next call lands in the middle of a pass.
    struct Caller {
        std::function<std::string(bool)> act;
        size_t* index;
        size_t count;
        std::string wrong;
    } caller{act, &index, sc.actions.size(), ""};
    kx::RtkExplore(explored->seed, explored->preemptions, explored->places);
    int32_t ran = kx::RtkRunAsTask(
        "tcall", explored->callerPriority,
        [](void* context) {
            auto* c = static_cast<Caller*>(context);
            for (; *c->index < c->count; ++*c->index) {
                kx::RtkSleepTaskUsec(kThinkUs);
                if (c->wrong = c->act(false); !c->wrong.empty())
                    return;
            }
            if (!kx::hdaSync(kxtest::kWaitMs))
                c->wrong = "the engine did not settle after the last call";
        },
        &caller);
    t.preemptions = kx::RtkExplorePreemptions();
    t.places = kx::RtkExplorePlaces();
    kx::RtkExplore(0, 0, 0);
    if (ran != kx::RTK_OK)
        return "the caller task did not run: " + statusName(ran);
    if (!caller.wrong.empty())
        return caller.wrong;
    // _sndFree must leave nothing behind.
    if (int32_t status = m.free(); status != 0)
        return "_sndFree returned " + statusName(status);
    if (std::string left = kxtest::leftovers(); !left.empty())
        return "_sndFree left: " + left;
    return "";
}

}  // namespace kxmodel
