// SPDX-License-Identifier: Apache-2.0
// The check of the module's lock rules (audioLib.h, "Lock rules"): a function whose contract
// says a pool's lock is held asks the kernel whether its caller holds it, and a broken rule
// stops the program with the function's name. Built in with KX_LOCK_CHECKS (every test build);
// without it the checks compile to nothing. Holds no state and takes no lock.
#include "kxaudio/audioLib.h"
#include "platform/files/kxfile.h"
#include "platform/kernel/rtk_sections.h"

namespace kx {

void requireHeld(const Pool& pool, const char* lockName, const char* function) {
    if (!kLockChecks || RtkHoldsCriticalSection(pool.lock))
        return;
    kxprintf("kxaudio: %s called without the %s lock held\n", function, lockName);
    __builtin_trap();
}

}  // namespace kx
