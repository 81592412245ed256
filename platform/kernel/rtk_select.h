// SPDX-License-Identifier: Apache-2.0
// The choice of kernel, for the host program and the tests.
// Two kernels stand behind the service calls (rtk_tasks.h and its siblings), chosen at start-up
// (RtkSelectKernel, or the KX_KERNEL environment variable: "threads" or "oneproc"); docs/kernels.md
// compares them.
// - threads (platform/kernel/threads/, the default): every task is a host thread, on as many
//   processors as the host gives; time is the host's. Real-time playback and devices use it.
// - oneproc (platform/kernel/oneproc/): every task is a coroutine on the one host thread that
//   uses the kernel, scheduled as the target schedules: the highest-priority ready task runs,
//   equal priorities in turn, and a task runs until it blocks, ends or a higher one becomes
//   ready. Time is virtual: no time passes while code runs (but in RtkBusyUsec); sleeps and
//   timeouts end when the virtual clock reaches them, and when nothing is ready the clock jumps
//   to the next of them.
//   The host thread is the lowest context of all: its calls that make a task ready run that
//   task before they return, and its waits let the tasks run.
// Where the contracts of the service headers differ between the two, the text says "oneproc:".
#pragma once

#include <stdint.h>

namespace kx {

enum class RtkKernel : uint8_t { Threads, OneProcessor };
// Chooses the kernel behind every call from now on. Only while no task of either kernel
// exists: false (and nothing changed) otherwise.
bool RtkSelectKernel(RtkKernel kernel);
RtkKernel RtkSelectedKernel();
const char* RtkKernelName(RtkKernel kernel);                // "threads" or "oneproc"
bool RtkKernelByName(const char* name, RtkKernel* kernel);  // false for any other name

}  // namespace kx
