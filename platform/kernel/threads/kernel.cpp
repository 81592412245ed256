// The threaded kernel's table of functions (kernels.h), through which platform/kernel/select.cpp
// reaches it. Holds no state; kernel.h says what guards the state of the calls it names.
#include "platform/kernel/threads/kernel.h"
#include "platform/kernel/kernels.h"

namespace kx {

const RtkKernelOps rtkThreadsKernel = {
    "threads",
    threads::RtkCreateTask,
    threads::RtkResumeTask,
    threads::RtkDeleteTask,
    threads::RtkCheckDeleted,
    threads::RtkSendTaskEvent,
    threads::RtkReceiveTaskEvent,
    threads::RtkSleepTaskUsec,
    threads::RtkCreateCriticalSection,
    threads::RtkDeleteCriticalSection,
    threads::RtkEnterCriticalSection,
    threads::RtkLeaveCriticalSection,
    threads::RtkSetRealtimeScheduling,
    threads::RtkSetSingleProcessor,
    threads::RtkSetSleepScale,
    threads::RtkSleepCount,
    threads::RtkDroppedEvents,
    threads::RtkResetCounters,
    threads::RtkCurrentTask,
    threads::RtkTaskExists,
    threads::RtkTaskPriority,
    threads::RtkTaskName,
    threads::RtkEventPending,
    threads::RtkThreadsAlive,
    threads::RtkSectionsAlive,
    threads::RtkWaitQuiescent,
    threads::RtkWaitUntil,
    threads::RtkIdle,
    threads::RtkNowUsec,
    threads::RtkPreemptionPoint,
    threads::RtkBusyUsec,
    threads::RtkLongestSectionWait,
};

}  // namespace kx
