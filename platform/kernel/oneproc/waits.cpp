// SPDX-License-Identifier: Apache-2.0
// Sleep, virtual time and the waits of the host's one-processor kernel: sleeps and busy spans
// on the virtual clock, the host's waits for quiescence and for a condition (RtkWaitUntil and
// the host waits of platform code), the counters and the preemption places the byte queues mark.
// The kernel's one host thread owns it all.
#include <algorithm>

#include "platform/kernel/oneproc/home.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_types.h"

namespace kx::oneproc {

int32_t sleepTaskUsec(uint32_t microseconds) {
    Kernel& k = enter();
    preemptionPlace(k);
    unwindIfDeleted(k);
    ++k.sleeps;
    uint64_t scaled = uint64_t{microseconds} * k.sleepScale / 100;
    if (scaled != 0)
        core::coreBlock(k.core, core::Wait::Sleep, static_cast<int64_t>(scaled));
    return RTK_OK;
}

// The caller computes for `microseconds` of virtual time. The span is cut at each deadline that
// falls within it: every wait due by then ends (as an idle processor ends them), and when one of
// those contexts is above the caller it runs first; the rest of the span follows when the
// caller is chosen again.
void busyUsec(uint32_t microseconds) {
    Kernel& k = enter();
    preemptionPlace(k);
    unwindIfDeleted(k);
    core::Context* self = k.core.current;
    uint64_t left = microseconds;
    while (left > 0) {
        uint64_t end = k.now + left;
        uint64_t next = end;
        bool any = core::coreEarliestDeadline(k.core, self, &next) && next < end;
        k.now = std::max(k.now, any ? next : end);
        left = end - k.now;
        if (!any)
            break;
        if (core::coreWakeDue(k.core, k.now, self) > self->effective)
            core::coreSchedule(k.core);  // the caller stays ready; it resumes here, the clock moved
    }
    unwindIfDeleted(k);
}

void idle(uint32_t microseconds) {
    core::coreBlock(enter().core, core::Wait::Sleep, microseconds);
}

uint64_t nowUsec() {
    return enter().now;
}

uint64_t sleepCount() {
    return enter().sleeps;
}

void setSleepScale(uint32_t percent) {
    enter().sleepScale = percent;
}

void resetCounters() {
    Kernel& k = enter();
    k.sleeps = 0;
    k.core.dropped = 0;
    for (core::Context* t = k.core.tasks; t != nullptr; t = t->next)
        task(t)->longestWait = RtkSectionWait{};
}

void setRealtimeScheduling(bool) {}
void setSingleProcessor(bool) {}

// The byte queues may also be used by host threads with no task at all (their own tests): a
// place reached on a thread other than the kernel's is no place, not a misuse.
void preemptionPoint() {
    Kernel& k = kernel();
    if (k.threadKnown && k.thread == std::this_thread::get_id())
        preemptionPlace(k);
}

bool waitQuiescent(RtkTaskId except, int32_t timeoutMs) {
    Kernel& k = enter();
    preemptionPlace(k);
    core::Context* self = k.core.current;
    // Ready tasks of lower priority must get the processor first: the caller waits.
    if (core::coreOthersQuiescent(k.core, self, except))
        return true;
    self->except = except;
    self->condition = nullptr;  // only quiescence ends this wait
    core::coreBlock(k.core, core::Wait::Quiescence,
                    timeoutMs >= 0 ? int64_t{timeoutMs} * 1000 : -1);
    return core::coreOthersQuiescent(k.core, self, except);
}

bool waitUntil(bool (*ready)(void*), void* context, int32_t timeoutMs) {
    Kernel& k = enter();
    preemptionPlace(k);
    unwindIfDeleted(k);
    if (ready(context))
        return true;
    core::Context* self = k.core.current;
    self->condition = ready;
    self->conditionContext = context;
    core::coreBlock(k.core, core::Wait::Condition, timeoutMs >= 0 ? int64_t{timeoutMs} * 1000 : -1);
    self->condition = nullptr;
    return ready(context);
}

namespace {

// One host wait, on its caller's stack while it blocks.
struct HostWait {
    const RtkHostWaitFor* what;
    const core::Context* self;
    uint16_t events;
};

// What ends the wait now, in the order the call reports it; TimedOut when nothing does.
RtkHostWoken hostWoken(Kernel& k, const HostWait& w) {
    const RtkHostWaitFor& what = *w.what;
    if (what.ready != nullptr && what.ready(what.context))
        return RtkHostWoken::Ready;
    if (pendingHas(w.self->pending, w.events))
        return RtkHostWoken::Event;
    if (what.quiescent && core::coreOthersQuiescent(k.core, w.self, what.except))
        return RtkHostWoken::Quiescent;
    return RtkHostWoken::TimedOut;
}

// The core's condition of the wait: its ready or one of its events. Quiescence is the core's
// own wait, which asks this condition too.
bool hostWaitCut(void* context) {
    auto* w = static_cast<HostWait*>(context);
    const RtkHostWaitFor& what = *w->what;
    return (what.ready != nullptr && what.ready(what.context)) ||
           pendingHas(w->self->pending, w->events);
}

}  // namespace

// A kernel wait on the core: the condition is asked at every scheduling decision, so nothing
// needs to wake it, and the task counts as quiescent while it does not hold.
RtkHostWoken hostWait(const RtkHostWaitFor& what, int32_t timeoutMs) {
    Kernel& k = enter();
    preemptionPlace(k);
    unwindIfDeleted(k);
    core::Context* self = k.core.current;
    HostWait w{&what, self, onHost(k) ? uint16_t{0} : what.events};
    RtkHostWoken now = hostWoken(k, w);
    if (now != RtkHostWoken::TimedOut)
        return now;
    // Cleared on every way out, the unwind of a deleted task included.
    struct Clear {
        core::Context* self;
        ~Clear() { self->condition = nullptr; }
    } clear{self};
    self->condition = hostWaitCut;
    self->conditionContext = &w;
    self->except = what.except;
    core::coreBlock(k.core, what.quiescent ? core::Wait::Quiescence : core::Wait::Condition,
                    timeoutMs >= 0 ? int64_t{timeoutMs} * 1000 : -1);
    return hostWoken(k, w);
}

// Nothing to do: every decision asks the waits' conditions. Touches no kernel state, so any
// thread may call it.
void hostWake() {}

}  // namespace kx::oneproc
