// SPDX-License-Identifier: Apache-2.0
// The kernel contract's cases that need nothing but the target's own services (tasks, events,
// sections, sleep, byte queues, lists): freestanding (no GoogleTest, no standard containers,
// strings or exceptions), so the same table runs in the host's platform tests, on each kernel,
// and inside the bootable image. A case runs on the caller's thread or task, makes the helper
// tasks it needs and leaves none behind when it passes. Nothing here is shared between cases.
#pragma once

#include <cstdint>

namespace kx::contract {

// What the runner lends a case.
struct Context {
    // Lets about a millisecond of the kernel's time pass, so that tasks that are ready run (a
    // host thread idles on the kernel's clock; the image's runner task sleeps).
    void (*pause)();
    uint64_t (*nowUsec)();  // the kernel's clock
    // The first failed check: "file:line: expression"; empty while the case passes.
    char failure[192];
};

// One clause of the contract and a case that holds a kernel to it.
struct Case {
    const char* clause;  // the contract's section: Tasks, Task events, Critical sections, ...
    const char* name;    // an identifier, unique in the table
    void (*run)(Context& cx);
    // Why the image's kernel differs here and the case is not run there; null: it runs there.
    const char* notOnMetal;
};

// The table, and its length in *count.
const Case* cases(int* count);

// Records a failure once (the first one wins).
void fail(Context& cx, const char* file, int line, const char* expression);

// Pauses until pred(argument) holds or about boundMs of the kernel's time passed; its answer.
bool waitFor(Context& cx, bool (*pred)(void*), void* argument, int boundMs = 10000);

}  // namespace kx::contract

// Ends the case at the first check that does not hold.
#define KXC_CHECK(cx, condition)                                      \
    do {                                                              \
        if (!(condition)) {                                           \
            ::kx::contract::fail(cx, __FILE__, __LINE__, #condition); \
            return;                                                   \
        }                                                             \
    } while (0)
