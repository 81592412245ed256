// SPDX-License-Identifier: Apache-2.0
// Fault injection: the one test-facing place that makes platform services fail on purpose.
// Each service asks faultCheck before it does its work; a test arms "fail the Nth call from
// now" (optionally that one and every later one) or "fail every call on descriptor fd".
// State is atomic: services on any task may check while a test arms.
#pragma once

#include <cstdint>

namespace kx {

enum class Fault : uint8_t {
    Alloc,          // kxcalloc returns null
    TaskCreate,     // RtkCreateTask
    TaskResume,     // RtkResumeTask
    SectionCreate,  // RtkCreateCriticalSection
    SectionEnter,   // RtkEnterCriticalSection
    QueueInit,      // kxqInit
    QueueWrite,     // kxqWrite
    FileOpen,       // kxopen
    FileRead,       // kxread
    FileSeek,       // kxlseek
    RegQuery,       // KXRegQueryValue
    DeviceOpen,     // DmDeviceOpen
    StreamOpen,     // IOCTL_STREAM_OPEN
    StreamClose,    // IOCTL_STREAM_CLOSE
    StreamWrite,    // IOCTL_STREAM_WRITE
    Volume,         // IOCTL_VOLUME
    Mute,           // IOCTL_MUTE
    Count
};

constexpr int kFaultCount = static_cast<int>(Fault::Count);

// Human-readable name of a fault point ("alloc", "task-create", ...).
const char* faultName(Fault fault);

// Arms a fault: the nth call from now (1 = the next) fails; with sticky, every call from the
// nth on fails. nth 0 disarms. Arming resets the point's call count and reached flag.
void faultArm(Fault fault, uint64_t nth, bool sticky = false);
// Every FileRead or FileSeek call on this descriptor fails (fd -1 disarms).
void faultArmFd(Fault fault, int fd);
void faultClear(Fault fault);
void faultClearAll();

// Calls counted at a point since it was last armed or cleared.
uint64_t faultCalls(Fault fault);
// Whether an armed fault of this point has made a call fail.
bool faultReached(Fault fault);

// Service side: counts one call and says whether it must fail.
bool faultCheck(Fault fault);
// Service side, for file calls: as faultCheck, and also true when fd is the armed descriptor.
bool faultCheckFd(Fault fault, int fd);

}  // namespace kx
