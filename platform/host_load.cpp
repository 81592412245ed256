// SPDX-License-Identifier: Apache-2.0
// The host's reset-and-load sequence, in the one order every host uses. The entry is the
// caller's to name: the platform library sits under the module and links nothing of it. Runs on
// the calling thread; each service called guards its own state.
#include "platform/host_load.h"

#include "platform/devices/registry_host.h"
#include "platform/devices/sndhost.h"
#include "platform/fault.h"
#include "platform/files/kxfs_host.h"
#include "platform/kernel/rtk_host.h"

namespace kx {

const SndOperations* hostLoadModule(ModuleEntry entry, const HostSetup& setup) {
    // A fault armed for an earlier run would fail this module's first calls.
    faultClearAll();
    kxRegReset();
    kxfsReset();
    hdaReset();
    RtkResetCounters();
    hdaSetClock(setup.clock);
    hdaSetFramesPerPeriod(setup.frames);
    for (const HostLocation& bound : setup.locations) {
        if (kxfsBind(bound.location, bound.directory.c_str()) != 0)
            return nullptr;
    }
    // A table left from an earlier load must not pass for this module's.
    sndDetachDelegate();
    if (entry == nullptr || entry() != 0)
        return nullptr;
    return sndDelegate();
}

}  // namespace kx
