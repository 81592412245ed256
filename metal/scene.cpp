// SPDX-License-Identifier: Apache-2.0
// The scene's task on the image. It owns the names of the scene's sounds and their handles, and
// the margin counters; it is the only task that calls the module's operations, so nothing here
// is shared.
#include "metal/scene.h"

#include <cstring>

#include "dxmix/dxmix.h"
#include "kxaudio/kxaudio.h"
#include "metal/boot/console.h"
#include "metal/boot/cpu.h"
#include "metal/devices/hda.h"
#include "metal/devices/sndhost.h"
#include "metal/files/archive.h"
#include "metal/kernel/clock.h"
#include "metal/kernel/heap.h"
#include "metal/kernel/kernel.h"
#include "platform/files/kxfile.h"
#include "platform/kernel/rtk_events.h"
#include "platform/kernel/rtk_host.h"
#include "platform/kernel/rtk_preempt.h"
#include "platform/kernel/rtk_sections.h"
#include "platform/kernel/rtk_sleep.h"
#include "platform/kernel/rtk_tasks.h"
#include "platform/kernel/rtk_types.h"

namespace kx::metal {
namespace {

constexpr const char* kSceneFile = "scene.cmd";
constexpr int kMaxNames = 64;
constexpr int kFieldCount = 8;
constexpr uint32_t kFieldMax = 512;
constexpr uint32_t kMinFrames = 64;
constexpr uint32_t kMaxFrames = 16384;
constexpr uint16_t kHogPriority = 200;    // above the mixer (192)
constexpr uint64_t kStallUsec = 5000000;  // a driver that takes no period for 5 s has failed

struct Name {
    char text[64];
    SoundHandle handle;
};

struct Record {
    uint64_t period;
    char fields[kFieldCount][kFieldMax];
};

struct Scene {
    Name names[kMaxNames];
    int nameCount = 0;
    uint64_t commands = 0;
    uint64_t lateCommands = 0;      // commands that ran after the mixer had begun the next period
    uint64_t longestCommandNs = 0;  // a difference of the clock's cycles, never of rounded times
};

alignas(16) unsigned char noSuchSound[64];

bool parseNumber(const char* text, uint64_t* value) {
    if (*text == '\0')
        return false;
    uint64_t v = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9' || v > UINT64_MAX / 10 - 9)
            return false;
        v = v * 10 + static_cast<uint64_t>(*text - '0');
    }
    *value = v;
    return true;
}

// Splits one line at '|' into at most `count` fields; the last takes the rest of the line.
// Returns the number of fields, or -1 when one is longer than kFieldMax.
int split(const char* line, uint32_t length, char (*fields)[kFieldMax], int count) {
    int n = 0;
    uint32_t at = 0;
    while (n < count) {
        uint32_t end = at;
        while (end < length && (line[end] != '|' || n == count - 1))
            ++end;
        if (end - at >= kFieldMax)
            return -1;
        std::memcpy(fields[n], line + at, end - at);
        fields[n][end - at] = '\0';
        ++n;
        if (end >= length)
            break;
        at = end + 1;
    }
    return n;
}

// The next line of [*at, end): its start and length; false at the end.
bool nextLine(const char** at, const char* end, const char** line, uint32_t* length) {
    if (*at >= end)
        return false;
    const char* p = *at;
    while (p < end && *p != '\n')
        ++p;
    *line = *at;
    *length = static_cast<uint32_t>(p - *at);
    *at = p < end ? p + 1 : p;
    return true;
}

SoundHandle* slotOf(Scene& s, const char* name, bool create) {
    for (int i = 0; i < s.nameCount; ++i) {
        if (std::strcmp(s.names[i].text, name) == 0)
            return &s.names[i].handle;
    }
    if (!create || s.nameCount == kMaxNames || std::strlen(name) >= sizeof s.names[0].text)
        return nullptr;
    Name& n = s.names[s.nameCount++];
    std::strcpy(n.text, name);
    n.handle = nullptr;
    return &n.handle;
}

// A task above the mixer that keeps the processor for `ms` milliseconds without a kernel call,
// as a runaway driver or a long computation would: the tests' way to make the mixer late.
void hogBody(void* argument) {
    uint64_t end = clockNowUsec() + 1000ull * reinterpret_cast<uintptr_t>(argument);
    while (clockNowUsec() < end) {
    }
}

void hog(uint32_t ms) {
    RtkTaskId id = 0;
    if (RtkCreateTask("thog", kHogPriority, 0x4000, 0, 1, hogBody,
                      reinterpret_cast<void*>(static_cast<uintptr_t>(ms)), &id) == RTK_OK)
        RtkResumeTask(id);
    consolePrintf("kxaudio-metal: hog: %u ms above the mixer\n", ms);
}

void logResult(uint64_t period, const char* text, int32_t status) {
    const char* name = sndStatusName(status);
    if (name != nullptr)
        consolePrintf("p%llu %s -> %d %s\n", static_cast<unsigned long long>(period), text,
                      static_cast<int>(status), name);
    else
        consolePrintf("p%llu %s -> %d\n", static_cast<unsigned long long>(period), text,
                      static_cast<int>(status));
}

// Runs one record through the operation table and logs it as kxplay does.
void execute(Scene& s, const SndOperations& ops, const Record& r) {
    const char* verb = r.fields[1];
    const char* name = r.fields[2];
    const char* flags = r.fields[5];
    const char* text = r.fields[7];
    bool all = std::strchr(flags, 'a') != nullptr;
    SoundHandle* slot = slotOf(s, name, false);
    SoundHandle named = slot != nullptr ? *slot : nullptr;
    uint64_t value = 0;
    int32_t status;
    if (std::strcmp(verb, "sound") == 0) {
        uint64_t location = 0;
        parseNumber(r.fields[4], &location);
        SoundHandle handle = nullptr;
        status = ops.sndCreate(static_cast<uint32_t>(location), r.fields[3], &handle);
        // As kxplay names sounds: a created sound, or the one that already had the path.
        bool names = handle != nullptr && (status == SND_OK || status == SND_ERR_EXISTS);
        SoundHandle* made = slotOf(s, name, names);
        if (made != nullptr)
            *made = names ? handle : nullptr;
    } else if (std::strcmp(verb, "play") == 0) {
        if (std::strchr(flags, 's') != nullptr && named == nullptr)
            return;  // a FILE argument whose sound was not created: kxplay plays nothing
        status = ops.sndPlay(named, std::strchr(flags, 'e') != nullptr ? 1 : 0,
                             std::strchr(flags, 'l') != nullptr ? 1 : 0);
    } else if (std::strcmp(verb, "pause") == 0 || std::strcmp(verb, "stop") == 0) {
        SoundHandle handle = all                ? nullptr
                             : named != nullptr ? named
                                                : reinterpret_cast<SoundHandle>(noSuchSound);
        status = verb[1] == 'a' ? ops.sndPause(handle) : ops.sndStop(handle);
    } else if (std::strcmp(verb, "delete") == 0) {
        status = ops.sndDelete(named);
        for (int i = 0; i < s.nameCount && status == SND_OK && named != nullptr; ++i) {
            if (s.names[i].handle == named)
                s.names[i].handle = nullptr;
        }
    } else if (std::strcmp(verb, "volume") == 0 && parseNumber(r.fields[6], &value)) {
        status = ops.sndVolume(static_cast<uint32_t>(value));
    } else if (std::strcmp(verb, "mute") == 0 && parseNumber(r.fields[6], &value)) {
        status = ops.sndMute(static_cast<uint32_t>(value));
    } else if (std::strcmp(verb, "hog") == 0 && parseNumber(r.fields[6], &value)) {
        hog(static_cast<uint32_t>(value));
        return;
    } else {
        consolePrintf("kxaudio-metal: scene.cmd: unknown command '%s'\n", verb);
        return;
    }
    logResult(r.period, text, status);
    char printed[512];
    if (moduleConsoleTake(printed, sizeof printed))
        consolePrintf("kxaudio: %s\n", printed);
}

void summary(const Scene& s, const SceneSetup& setup) {
    HdaReport h = hdaReport();
    HeapStats heap = heapStats();
    uint64_t periodUs = static_cast<uint64_t>(setup.frames) * 1000000 / 44100;
    consolePrintf("kxaudio-metal: summary: %llu periods accepted, %llu late, ring %u x %u frames\n",
                  static_cast<unsigned long long>(h.accepted),
                  static_cast<unsigned long long>(h.latePeriods), h.ringPeriods, h.framesPerPeriod);
    consolePrintf(
        "kxaudio-metal: summary: completion interrupt to the mixer's next write (its "
        "cycle): longest %llu ns, mean %llu ns\n",
        static_cast<unsigned long long>(h.wakeMaxNs),
        static_cast<unsigned long long>(h.wakes ? h.wakeSumNs / h.wakes : 0));
    consolePrintf(
        "kxaudio-metal: summary: longest command %llu ns of a %llu us period, %llu "
        "commands late\n",
        static_cast<unsigned long long>(s.longestCommandNs),
        static_cast<unsigned long long>(periodUs), static_cast<unsigned long long>(s.lateCommands));
    consolePrintf("kxaudio-metal: summary: heap peak %u bytes of %u, %u refused\n", heap.peak,
                  heap.arena, heap.failures);
    // The mix alone, each variant called directly on one period of two buffers from the heap
    // (under -icount shift=0 a nanosecond is an instruction).
    uint32_t bytes = setup.frames * 4;
    auto* a = static_cast<uint8_t*>(kxcalloc(2, bytes));
    int variants = 0;
    const S16sMixVariant* table = S16sMixVariants(&variants);
    for (int i = 0; a != nullptr && i < variants; ++i) {
        if (!table[i].supported)
            continue;
        uint64_t begin = clockCycles();
        table[i].fn(a, a + bytes, bytes);
        uint64_t ns = (clockCycles() - begin) * 1000000 / clockCyclesPerMs();
        consolePrintf("kxaudio-metal: summary: mix of one period, %s: %llu ns%s\n", table[i].name,
                      static_cast<unsigned long long>(ns),
                      std::strcmp(table[i].name, S16sMixSelected()) == 0 ? " (used)" : "");
    }
    kxfree(a);
    TaskReport tasks[16];
    int n = kernelTasks(tasks, 16);
    for (int i = 0; i < n; ++i)
        consolePrintf(
            "kxaudio-metal: summary: task %s (priority %u): stack %u of %u bytes, "
            "longest pass %llu ns\n",
            tasks[i].name, tasks[i].priority, tasks[i].stackUsed, tasks[i].stackSize,
            static_cast<unsigned long long>(tasks[i].longestPassNs));
}

// The scene text and where its records begin.
const ArchiveFile* sceneFile() {
    return archiveFind(kSceneFile);
}

}  // namespace

bool sceneLoad(SceneSetup* setup) {
    const ArchiveFile* file = sceneFile();
    if (file == nullptr) {
        consolePrintf("kxaudio-metal: the archive holds no %s\n", kSceneFile);
        return false;
    }
    const char* at = reinterpret_cast<const char*>(file->data);
    const char* end = at + file->size;
    const char* line;
    uint32_t length;
    static char header[3][kFieldMax];
    uint64_t frames = 0, last = 0;
    if (!nextLine(&at, end, &line, &length) || split(line, length, header, 3) != 3 ||
        std::strcmp(header[0], "kxscene") != 0 || !parseNumber(header[1], &frames) ||
        !parseNumber(header[2], &last) || frames < kMinFrames || frames > kMaxFrames) {
        consolePrintf(
            "kxaudio-metal: %s: the first line is not 'kxscene|FRAMES|LAST' with "
            "FRAMES from %u to %u\n",
            kSceneFile, kMinFrames, kMaxFrames);
        return false;
    }
    setup->frames = static_cast<uint32_t>(frames);
    setup->lastPeriod = last;
    setup->text = at;
    setup->size = static_cast<uint32_t>(end - at);
    return true;
}

void sceneTask(void* argument) {
    const SceneSetup& setup = *static_cast<const SceneSetup*>(argument);
    static Scene s;
    static Record record;
    dkm_kxaudio_Init();
    const SndOperations* ops = sndDelegate();
    int32_t init = ops != nullptr ? ops->sndInit() : SND_ERR_NOT_READY;
    if (init != SND_OK) {
        consolePrintf("kxaudio-metal: kxaudio did not start: %d %s\n", static_cast<int>(init),
                      sndStatusName(init) ? sndStatusName(init) : "");
        machineExit(9);
    }
    consolePrintf("kxaudio-metal: ring %u periods\n", hdaReport().ringPeriods);
    const char* at = setup.text;
    const char* end = setup.text + setup.size;
    const char* line;
    uint32_t length;
    bool pending = false;
    bool failed = false;
    for (uint64_t period = 0; period <= setup.lastPeriod && !failed; ++period) {
        // Period `period` has been accepted by the driver: its commands run now, while the
        // mixer waits for the slot of the next one.
        if (!hdaWaitAccepted(period + 1, clockNowUsec() + kStallUsec)) {
            consolePrintf("kxaudio-metal: the driver took no period for 5 s; stopping\n");
            failed = true;
            break;
        }
        for (;;) {
            if (!pending) {
                if (!nextLine(&at, end, &line, &length))
                    break;
                if (length == 0)
                    continue;
                int n = split(line, length, record.fields, kFieldCount);
                if (n != kFieldCount || !parseNumber(record.fields[0], &record.period)) {
                    consolePrintf("kxaudio-metal: %s: malformed record '%.*s'\n", kSceneFile,
                                  static_cast<int>(length), line);
                    continue;
                }
                pending = true;
            }
            if (record.period > period)
                break;
            pending = false;
            uint64_t begin = clockCycles();
            execute(s, *ops, record);
            uint64_t spent = (clockCycles() - begin) * 1000000 / clockCyclesPerMs();
            if (spent > s.longestCommandNs)
                s.longestCommandNs = spent;
            if (hdaReport().accepted > period + 1)
                s.lateCommands++;
        }
    }
    ops->sndFree();
    summary(s, setup);
    consolePrintf("kxaudio-metal: end\n");
    machineExit(failed ? 10 : 0);
}

}  // namespace kx::metal
