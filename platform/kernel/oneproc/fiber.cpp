// SPDX-License-Identifier: Apache-2.0
// The coroutine switch of the one-processor kernel (see fiber.h). One thread switches, so the
// two file-scope pointers below need no lock: they carry, across a switch, which fiber left and
// which one starts.
#include "platform/kernel/oneproc/fiber.h"

#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#define KX_FIBER_ASAN 1
#else
#define KX_FIBER_ASAN 0
#endif

namespace kx::oneproc {
namespace {

Fiber* leaving = nullptr;   // the fiber that made the switch now completing
Fiber* starting = nullptr;  // the fiber being switched to

struct CachedStack {
    void* mapping;
    size_t mapped;
};
constexpr size_t kStackCache = 16;
std::vector<CachedStack>& stackCache() {
    static auto* cache = new std::vector<CachedStack>;  // never destroyed: tasks may outlive main
    return *cache;
}

size_t pageSize() {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

// After every switch, on the fiber that now runs: tell AddressSanitizer which stack it left.
void switched(Fiber* self) {
#if KX_FIBER_ASAN
    const void* bottom = nullptr;
    size_t size = 0;
    __sanitizer_finish_switch_fiber(self->fakeStack, &bottom, &size);
    if (leaving != nullptr && leaving->mapping == nullptr) {
        leaving->stackBottom = bottom;  // the host's stack, known only from here
        leaving->stackSize = size;
    }
#else
    (void)self;
#endif
}

#if KX_FIBER_FCONTEXT
void fiberMain(boost::context::detail::transfer_t from) {
    leaving->context = from.fctx;
    Fiber* self = starting;
    switched(self);
    self->entry();
}
#else
void fiberMain() {
    Fiber* self = starting;
    switched(self);
    self->entry();
}
#endif

}  // namespace

bool fiberPrepare(Fiber* fiber, void (*entry)(), size_t stackBytes) {
    size_t page = pageSize();
    size_t mapped = (stackBytes + page - 1) / page * page + page;  // one guard page below
    void* mapping = nullptr;
    auto& cache = stackCache();
    for (size_t i = 0; i < cache.size(); ++i) {
        if (cache[i].mapped == mapped) {
            mapping = cache[i].mapping;
            cache[i] = cache.back();
            cache.pop_back();
            break;
        }
    }
    if (mapping == nullptr) {
        mapping = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping == MAP_FAILED)
            return false;
        if (mprotect(mapping, page, PROT_NONE) != 0) {
            munmap(mapping, mapped);
            return false;
        }
    }
    fiber->mapping = mapping;
    fiber->mapped = mapped;
    fiber->entry = entry;
    fiber->stackBottom = static_cast<char*>(mapping) + page;
    fiber->stackSize = mapped - page;
    fiber->fakeStack = nullptr;
#if KX_FIBER_ASAN
    // A cached stack still carries the poisoned red zones of frames its last fiber never
    // returned from (a task unwound or ended while blocked deep in a call); the new fiber's
    // frames must not inherit them.
    __asan_unpoison_memory_region(fiber->stackBottom, fiber->stackSize);
#endif
#if KX_FIBER_FCONTEXT
    fiber->context = boost::context::detail::make_fcontext(static_cast<char*>(mapping) + mapped,
                                                           fiber->stackSize, fiberMain);
#else
    getcontext(&fiber->context);
    fiber->context.uc_stack.ss_sp = const_cast<void*>(fiber->stackBottom);
    fiber->context.uc_stack.ss_size = fiber->stackSize;
    fiber->context.uc_link = nullptr;
    makecontext(&fiber->context, fiberMain, 0);
#endif
    return true;
}

void fiberRelease(Fiber* fiber) {
    if (fiber->mapping == nullptr)
        return;
    auto& cache = stackCache();
    if (cache.size() < kStackCache) {
        cache.push_back({fiber->mapping, fiber->mapped});
    } else {
        munmap(fiber->mapping, fiber->mapped);
    }
    fiber->mapping = nullptr;
    fiber->mapped = 0;
}

void fiberSwitch(Fiber* from, Fiber* to, bool fromEnds) {
#if KX_FIBER_ASAN
    __sanitizer_start_switch_fiber(fromEnds ? nullptr : &from->fakeStack, to->stackBottom,
                                   to->stackSize);
#else
    (void)fromEnds;
#endif
    leaving = from;
    starting = to;
#if KX_FIBER_FCONTEXT
    boost::context::detail::transfer_t back =
        boost::context::detail::jump_fcontext(to->context, nullptr);
    leaving->context = back.fctx;  // whoever switched back to us stopped there
#else
    swapcontext(&from->context, &to->context);
#endif
    switched(from);
}

const char* fiberMechanism() {
#if KX_FIBER_FCONTEXT
    return "fcontext";
#else
    return "ucontext";
#endif
}

}  // namespace kx::oneproc
