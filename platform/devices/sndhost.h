// SPDX-License-Identifier: Apache-2.0
// The host's sound framework: keeps the copy of the operation table a module attached.
// Guarded by one mutex; the copy is taken during sndAttachDelegate.
#pragma once

#include "kxaudio/kxaudio.h"

namespace kx {

// The table most recently attached, or null before any module attached one.
const SndOperations* sndDelegate();
// Forgets the attached table (tests).
void sndDetachDelegate();

}  // namespace kx
