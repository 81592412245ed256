// SPDX-License-Identifier: Apache-2.0
// The host's home (home.h): the kernel instance, the one-thread check every call makes, and the
// obligations the scheduler core asks of its home: the virtual clock, the fibers' switch, the
// deadlock report, the unwind of a deleted task and the explorer's preemptions. No interrupts
// exist here, so the interrupt hooks do nothing. One host thread owns all of it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/kernel/oneproc/explore.h"
#include "platform/kernel/oneproc/home.h"
#include "platform/kernel/rtk_types.h"

namespace kx::oneproc {
namespace {

Kernel* makeKernel() {
    auto* k = new Kernel;
    core::coreInit(k->core, &k->host);
    return k;
}

// The core's home: there is one kernel, so every core is its core.
Kernel& of(core::Core&) {
    return kernel();
}

void releaseEnded(Kernel& k) {
    for (Task* t : k.ended) {
        if (t != k.core.current) {
            fiberRelease(&t->fiber);
            delete t;
        }
    }
    k.ended.erase(std::remove_if(k.ended.begin(), k.ended.end(),
                                 [&k](Task* t) { return t != k.core.current; }),
                  k.ended.end());
}

[[noreturn]] void deadlock(Kernel& k) {
    std::fprintf(stderr, "rtk oneproc: deadlock at %llu us: nothing is ready and nothing is due\n",
                 static_cast<unsigned long long>(k.now));
    auto show = [](const Task* t) {
        static const char* const waits[] = {"none",    "receive",   "sleep",
                                            "section", "condition", "quiescence"};
        std::fprintf(stderr, "  %s (id %u, priority %d): waits for %s\n",
                     t->id == 0 ? "host" : t->name.c_str(), t->id, t->priority,
                     waits[static_cast<int>(t->wait)]);
    };
    show(&k.host);
    for (core::Context* t = k.core.tasks; t != nullptr; t = t->next) {
        if (t->resumed && !t->finished)
            show(task(t));
    }
    std::abort();
}

}  // namespace

Kernel& kernel() {
    static Kernel* instance = makeKernel();  // never destroyed: tasks may be left at exit
    return *instance;
}

void misuse(const char* what) {
    std::fprintf(stderr, "rtk oneproc: %s\n", what);
    std::abort();
}

Kernel& enter() {
    Kernel& k = kernel();
    if (!k.threadKnown) {
        k.thread = std::this_thread::get_id();
        k.threadKnown = true;
    } else if (k.thread != std::this_thread::get_id()) {
        misuse("called from a second host thread; this kernel runs on one");
    }
    return k;
}

void unwindIfDeleted(Kernel& k) {
    core::Context* self = k.core.current;
    if (self != &k.host && self->deleted && !self->finished)
        throw TaskUnwind{};
}

void preemptionPlace(Kernel& k) {
    if (exploring())
        core::corePreemptionPlace(k.core);
}

Task* findTask(Kernel& k, RtkTaskId id) {
    return static_cast<Task*>(core::coreFindTask(k.core, id));
}

}  // namespace kx::oneproc

// ---- The core's obligations, on the host ----

namespace kx::core {

uint64_t homeNow(Core& core) {
    return oneproc::of(core).now;
}

// Virtual time: the clock jumps to the earliest deadline; with none, nothing can ever run.
void homeIdle(Core& core, bool timed, uint64_t deadline) {
    oneproc::Kernel& k = oneproc::of(core);
    if (!timed)
        oneproc::deadlock(k);
    k.now = std::max(k.now, deadline);
}

void homeSwitch(Core& core, Context* from, Context* to) {
    oneproc::fiberSwitch(&oneproc::task(from)->fiber, &oneproc::task(to)->fiber, from->finished);
    oneproc::releaseEnded(oneproc::of(core));
}

void homeDecided(Core& core) {
    oneproc::unwindIfDeleted(oneproc::of(core));
}

// The explorer chooses whether this place brings the sleep's end forward.
bool homeBringForward(Core& core, Context* sleeper) {
    if (!oneproc::explorePreemptHere())
        return false;
    oneproc::Kernel& k = oneproc::of(core);
    k.now = std::max(k.now, sleeper->deadline);
    oneproc::exploreNotePreemption();
    return true;
}

uint32_t homeInterruptsOff() {
    return 0;
}

void homeInterruptsRestore(uint32_t) {}

}  // namespace kx::core
