// SPDX-License-Identifier: Apache-2.0
// The image's boot: console, processor, clock, heap, kernel, the archive from the first
// multiboot module, the HD-audio driver; then the scene's task, and the boot context becomes
// the idle one. Runs once, on the boot stack, before any task exists.
#include <cstdint>
#include <cstring>

#include "metal/boot/console.h"
#include "metal/boot/cpu.h"
#include "metal/devices/hda.h"
#include "metal/files/archive.h"
#include "metal/kernel/clock.h"
#include "metal/kernel/heap.h"
#include "metal/kernel/kernel.h"
#include "metal/scene.h"
#include "metal/selftest.h"
#include "platform/kernel/rtk_events.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_preempt.h"
#include "platform/kernel/rtk_sections.h"
#include "platform/kernel/rtk_sleep.h"
#include "platform/kernel/rtk_tasks.h"
#include "platform/kernel/rtk_types.h"

extern "C" {
using Constructor = void (*)();
extern Constructor __init_array_start[];
extern Constructor __init_array_end[];
}

namespace {

constexpr uint32_t kMultibootMagic = 0x2BADB002;
constexpr uint32_t kInfoCommandLine = 1u << 2;
constexpr uint32_t kInfoModules = 1u << 3;

// The value of "key" or "key=N" among the command line's words (the first word is the image's
// own name): 1 for a bare key, N for key=N, 0 when absent.
uint32_t option(const char* line, const char* key) {
    size_t keyLength = std::strlen(key);
    for (const char* p = line; *p != '\0'; ++p) {
        if ((p != line && p[-1] != ' ') || std::strncmp(p, key, keyLength) != 0)
            continue;
        const char* q = p + keyLength;
        if (*q == ' ' || *q == '\0')
            return 1;
        if (*q != '=')
            continue;
        uint32_t v = 0;
        for (++q; *q >= '0' && *q <= '9'; ++q)
            v = v * 10 + static_cast<uint32_t>(*q - '0');
        return v;
    }
    return 0;
}

struct [[gnu::packed]] MultibootModule {
    uint32_t start, end, text, reserved;
};

}  // namespace

extern "C" void kmain(uint32_t magic, const uint32_t* info) {
    using namespace kx::metal;
    consoleInit();
    consolePrintf("kxaudio-metal: boot\n");
    for (Constructor* c = __init_array_start; c != __init_array_end; ++c)
        (*c)();
    cpuInit();
    if (!sseEnable()) {
        consolePrintf("kxaudio-metal: the processor has no SSE2 or no fxsave\n");
        machineExit(3);
    }
    const char* line = magic == kMultibootMagic && (info[0] & kInfoCommandLine) != 0
                           ? reinterpret_cast<const char*>(info[4])
                           : "";
    clockInit();
    heapInit(option(line, "heap") * 1024);
    consolePrintf("kxaudio-metal: clock %u cycles per ms\n",
                  static_cast<uint32_t>(clockCyclesPerMs()));

    if (option(line, "selftest") != 0) {
        kernelInit();
        kx::RtkTaskId runner = 0;
        if (kx::RtkCreateTask("tselftest", kSelftestPriority, 0x8000, 0, 1, selftestTask, nullptr,
                              &runner) != 0 ||
            kx::RtkResumeTask(runner) != 0)
            machineExit(8);
        kernelIdle();
    }
    if (magic != kMultibootMagic || (info[0] & kInfoModules) == 0 || info[5] == 0) {
        consolePrintf(
            "kxaudio-metal: no archive: boot with the scene's cpio archive as the "
            "first multiboot module (qemu -initrd)\n");
        machineExit(4);
    }
    const auto* module = reinterpret_cast<const MultibootModule*>(info[6]);
    char error[128];
    if (module->end < module->start ||
        !archiveMount(reinterpret_cast<const uint8_t*>(module->start), module->end - module->start,
                      error, sizeof error)) {
        consolePrintf("kxaudio-metal: the archive cannot be read: %s\n",
                      module->end < module->start ? "its bounds are reversed" : error);
        machineExit(5);
    }
    consolePrintf("kxaudio-metal: archive of %u bytes, %d files\n", module->end - module->start,
                  archiveCount());

    SceneSetup setup;
    if (!sceneLoad(&setup))
        machineExit(6);
    if (!hdaInit(setup.frames))
        machineExit(7);
    kernelInit();
    kx::RtkTaskId scene = 0;
    if (kx::RtkCreateTask("tscene", kScenePriority, 0x8000, 0, 1, sceneTask, &setup, &scene) != 0 ||
        kx::RtkResumeTask(scene) != 0) {
        consolePrintf("kxaudio-metal: the scene's task cannot start\n");
        machineExit(8);
    }
    kernelIdle();
}
