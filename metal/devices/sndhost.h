// SPDX-License-Identifier: Apache-2.0
// The image's sound framework: the table the module attached at load.
#pragma once

#include "kxaudio/kxaudio.h"

namespace kx::metal {

// The attached table, or null before dkm_kxaudio_Init ran.
const SndOperations* sndDelegate();

}  // namespace kx::metal
