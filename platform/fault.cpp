// SPDX-License-Identifier: Apache-2.0
// Fault injection state: per point, a call counter and an armed window, all atomic so that any
// task may check while the test thread arms. Arming is done by tests between runs.
#include "platform/fault.h"

#include <atomic>

namespace kx {
namespace {

struct FaultPoint {
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> nth{0};  // 0: disarmed
    std::atomic<bool> sticky{false};
    std::atomic<bool> reached{false};
    std::atomic<int> fd{-1};
};

FaultPoint points[kFaultCount];

constexpr const char* kNames[kFaultCount] = {
    "alloc",       "task-create",  "task-resume",  "section-create", "section-enter", "queue-init",
    "queue-write", "file-open",    "file-read",    "file-seek",      "reg-query",     "device-open",
    "stream-open", "stream-close", "stream-write", "volume",         "mute",
};

FaultPoint& point(Fault fault) {
    return points[static_cast<int>(fault)];
}

}  // namespace

const char* faultName(Fault fault) {
    int i = static_cast<int>(fault);
    return i >= 0 && i < kFaultCount ? kNames[i] : "?";
}

void faultArm(Fault fault, uint64_t nth, bool sticky) {
    FaultPoint& p = point(fault);
    p.nth.store(0);
    p.calls.store(0);
    p.reached.store(false);
    p.sticky.store(sticky);
    p.nth.store(nth);
}

void faultArmFd(Fault fault, int fd) {
    point(fault).reached.store(false);
    point(fault).fd.store(fd);
}

void faultClear(Fault fault) {
    FaultPoint& p = point(fault);
    p.nth.store(0);
    p.sticky.store(false);
    p.fd.store(-1);
    p.calls.store(0);
    p.reached.store(false);
}

void faultClearAll() {
    for (int i = 0; i < kFaultCount; ++i)
        faultClear(static_cast<Fault>(i));
}

uint64_t faultCalls(Fault fault) {
    return point(fault).calls.load();
}
bool faultReached(Fault fault) {
    return point(fault).reached.load();
}

bool faultCheck(Fault fault) {
    FaultPoint& p = point(fault);
    uint64_t call = p.calls.fetch_add(1) + 1;
    uint64_t nth = p.nth.load();
    if (nth == 0)
        return false;
    bool fail = p.sticky.load() ? call >= nth : call == nth;
    if (fail)
        p.reached.store(true);
    return fail;
}

bool faultCheckFd(Fault fault, int fd) {
    bool fail = faultCheck(fault);
    if (fd >= 0 && point(fault).fd.load() == fd) {
        point(fault).reached.store(true);
        fail = true;
    }
    return fail;
}

}  // namespace kx
