// SPDX-License-Identifier: Apache-2.0
// The host's observation of the device manager (dm.h). Never for the module.
#pragma once

#include <cstdint>

namespace kx {

// Number of handles open now (tests check that shutdown closed them).
int DmOpenHandles();

}  // namespace kx
