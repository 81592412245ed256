// SPDX-License-Identifier: Apache-2.0
// The host's sound framework: keeps its own copy of the operation table a module attaches, since
// the module's table lives only for the duration of the attaching call. Guarded by
// delegateMutex.
#include "platform/devices/sndhost.h"

#include <mutex>

namespace kx {
namespace {

std::mutex delegateMutex;
SndOperations attached{};  // guarded by delegateMutex
bool hasDelegate = false;  // guarded by delegateMutex

}  // namespace

int32_t sndAttachDelegate(const SndOperations* table) {
    if (table == nullptr)
        return 1;
    std::lock_guard<std::mutex> lock(delegateMutex);
    attached = *table;
    hasDelegate = true;
    return 0;
}

const SndOperations* sndDelegate() {
    std::lock_guard<std::mutex> lock(delegateMutex);
    return hasDelegate ? &attached : nullptr;
}

void sndDetachDelegate() {
    std::lock_guard<std::mutex> lock(delegateMutex);
    attached = SndOperations{};
    hasDelegate = false;
}

}  // namespace kx
