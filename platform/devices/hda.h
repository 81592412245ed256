// SPDX-License-Identifier: Apache-2.0
// Host controls of the simulated HD-audio driver ("DdHdAudio"): its clock, its output sink,
// its counters and its injected faults. The driver's state is guarded by one driver mutex; a
// write waits for its clock outside that mutex, the stepped clock in the kernel's host wait
// (RtkHostWait), so the driver needs to know neither the kernel nor its client.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kx {

enum class HdaClock : uint8_t {
    Free,      // writes return at once and are recorded (unit tests of the driver alone)
    Stepped,   // a write is recorded on arrival, then waits for the host's next step
    RealTime,  // a write returns when its period is due on an absolute schedule
    // The stepped clock released on the real-time schedule: a write is recorded on arrival and
    // returns once the host has stepped past it (or a run covers it) with every other task
    // quiescent, as under Stepped, and not before its period is due. The schedule starts when
    // the stream's first write is let go; a write let go after its due time is late and the
    // schedule resumes from it. What is recorded is therefore what Stepped records; the
    // schedule decides only when.
    Paced,
};

// Chooses the clock for streams opened from now on (default Free).
void hdaSetClock(HdaClock clock);
// Frames per period that IOCTL_STREAM_OPEN reports (default 1024; at least 2, except that 0 may
// be set to test a driver that reports none).
void hdaSetFramesPerPeriod(uint32_t frames);
// From the next reopen of a stream on, report `frames` instead (0: no change). Tests only.
void hdaSetFramesAtReopen(uint32_t frames);

// Stepped clock. hdaSync waits until the mixer is blocked in a write with its period recorded
// and every other task is quiescent. hdaStep releases that write so that the mixer produces
// exactly one more period, then syncs again. Both return false if the bound (ms) ran out.
bool hdaSync(int32_t timeoutMs);
bool hdaStep(int32_t timeoutMs);
// hdaStep without waiting for the other tasks first: releases the write that is blocked now and
// waits until the writer has recorded its next period and blocked again, whatever the others are
// doing. On the one-processor kernel, called from a task of higher priority than the loader, it
// brings the driver's period into the middle of whatever the loader was doing. False if no write
// was blocked or the bound ran out.
bool hdaStepNow(int32_t timeoutMs);
// hdaStep `periods` times over, without the host between them: each of the periods is written
// once every other task is quiescent, as hdaStep would have waited for, so the output is the
// same; only the last write waits for the host again. periods 0 or 1 is one hdaStep. False if
// no period was written for timeoutMs (negative: no bound).
bool hdaRun(uint64_t periods, int32_t timeoutMs);
// hdaRun in two halves, for a host that wants to wake while a run is under way (the Paced
// clock's runs last as long as their periods). hdaRunStart syncs and lets the run begin; false
// if the sync's bound ran out. hdaRunWait waits for the run's last write to be blocked with every
// other task quiescent; false if timeoutMs (negative: no bound) ran out first.
bool hdaRunStart(uint64_t periods, int32_t timeoutMs);
bool hdaRunWait(int32_t timeoutMs);
// Ends stepping: a blocked write returns and further writes return at once, unrecorded.
void hdaRelease();
// The codes that end a stepped write's wait (and a run's) when one is pending for the writing
// task, so that a task told to end is not held in the driver: by default any code. The code
// stays pending for the task's own receive; a write's wait takes the set in force when it
// begins. A writer that leaves some code pending without taking it must be given a set without
// that code, or every stepped write of it returns at once. hdaReset restores the default.
void hdaSetWakeEvents(uint16_t mask);
// Paced clock: waits until the last recorded period has had its whole time on the schedule
// (its due time plus one period), so that it has reached the output; then ends stepping as
// hdaRelease does. Returns at once under the other clocks. False if timeoutMs ran out first.
bool hdaPlayOut(int32_t timeoutMs);

// Real-time clock: waits until `count` periods have been written (any clock); false on timeout.
bool hdaWaitPeriods(uint64_t count, int32_t timeoutMs);

// Output sinks (what a recorded period becomes after volume and mute). Choosing a sink closes
// the previous one. Memory is the default and is written on the driver's write. A WAV file, a
// descriptor and ALSA are written by the sink's own writer thread from a buffer allocated when
// the sink is chosen, so that a slow disk, pipe or device never holds up a write of the driver:
// a period that finds that buffer full waits for room and is counted in outputOverruns (under
// the stepped clock that only slows the render; in real time the period is late).
void hdaSinkMemory();
// A WAV file's header is rewritten with its sizes when the sink closes; where it cannot be (a
// FIFO, a device) it says 0xFFFFFFFF for both, the streaming convention. Its open never waits:
// a FIFO with no reader fails with errno ENXIO. False (errno set) if it cannot be created or
// its header cannot be written.
bool hdaSinkWavFile(const std::string& path);
bool hdaSinkFd(int fd);  // raw 16-bit little-endian stereo PCM; false if no writer can start
bool hdaSinkAlsa(const std::string& device);  // false where the build has no ALSA or it fails
bool hdaHasAlsa();
// Finishes the sink (a WAV file gets its header sizes, for the whole frames that reached it,
// and nothing after them) and falls back to memory. Returns false when a write failed.
bool hdaCloseSink();

// What the output of the sink chosen last holds, kept after it closes; lock-free. The writer
// stops at the first failed write and drops the rest.
struct HdaSinkStatus {
    uint64_t written = 0;  // bytes that reached the target
    int error = 0;         // errno of the first failed write, 0 when none failed
    bool full = false;     // a WAV file reached hdaWavDataLimit and takes no more
};
HdaSinkStatus hdaSinkStatus();
// From any thread, without waiting: the writer drops what it has not written yet, and a full
// buffer takes no more, so that closing cannot wait on an output that is never read.
void hdaSinkAbandon();
// For a program that must end now, from any thread, while others may hold the sink: abandons
// the sink and gives a WAV file the header for what reached it (waiting up to timeoutMs for a
// write under way). The sink must not be used afterwards.
void hdaSinkFinishNow(int32_t timeoutMs);
// The most sample bytes a WAV file takes (rounded down to whole frames); the default and the
// largest is what its 32-bit sizes can say, 4 GiB less the header. For tests.
void hdaSetWavDataLimit(uint64_t bytes);
uint64_t hdaWavDataLimit();
// Bytes captured by the memory sink (post-gain), and clearing them.
std::vector<uint8_t> hdaCaptured();
void hdaClearCaptured();

// Called on the writing task for every recorded period, after gain, with its bytes.
using HdaPeriodHook = void (*)(const int16_t* samples, uint32_t frames, void* context);
void hdaSetPeriodHook(HdaPeriodHook hook, void* context);

struct HdaStats {
    uint64_t periods;         // periods recorded
    uint64_t latePeriods;     // real-time writes that arrived (RealTime) or were let go (Paced)
                              // after their period was due
    uint64_t outputOverruns;  // periods that found the output writer's buffer full
    uint64_t clippedSamples;  // samples at -32768 or 32767 in recorded periods (before gain)
    uint64_t failedWrites;    // writes that failed (injected, or no buffer)
    uint32_t opens;           // successful stream opens
    uint32_t closes;          // stream closes
    uint32_t volume;          // current volume 0..100
    uint32_t mute;            // current mute flag as received (0 = off)
    bool streamOpen;
    uint32_t notifyTask;  // notify task named at the last open
    uint32_t framesPerPeriod;
    int16_t peak;  // largest absolute sample recorded (after gain), saturating
};
HdaStats hdaStats();
// Resets everything: clock Free, 1024 frames, memory sink emptied, counters and faults cleared,
// volume 100, mute off, every code a wake event. Call with no stream open.
void hdaReset();

// Faults of the driver (open, close, write, volume, mute) are armed through platform/fault.h.

// The driver's control entry, called by the device manager for a handle of "DdHdAudio" (block
// as for DmDeviceIoControl). Returns 0, or an HDA_ERR_* / DM_ERR_* code from platform/devices/dm.h.
int32_t hdaIoControl(uint32_t code, void* block);

}  // namespace kx
