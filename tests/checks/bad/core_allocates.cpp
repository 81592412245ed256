// SPDX-License-Identifier: Apache-2.0
// The negative case of core_freestanding.cmake: a core source that allocates, which
// the check must refuse.
#include "platform/kernel/core/core.h"

namespace kx::core {

Context* coreMakeContext() {
    return new Context;
}

}  // namespace kx::core
