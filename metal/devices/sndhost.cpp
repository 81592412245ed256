// SPDX-License-Identifier: Apache-2.0
// The image's sound framework: keeps its copy of the operation table the module attaches (the
// module's table lives only during the attaching call). Written once at load, before the
// scene's task reads it.
#include "metal/devices/sndhost.h"
#include "kxaudio/kxaudio.h"

namespace kx {
namespace {

SndOperations attached{};
bool hasDelegate = false;

}  // namespace

int32_t sndAttachDelegate(const SndOperations* table) {
    if (table == nullptr)
        return 1;
    attached = *table;
    hasDelegate = true;
    return 0;
}

namespace metal {

const SndOperations* sndDelegate() {
    return hasDelegate ? &attached : nullptr;
}

}  // namespace metal
}  // namespace kx
