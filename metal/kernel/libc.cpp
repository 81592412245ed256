// SPDX-License-Identifier: Apache-2.0
// The C and C++ runtime pieces the freestanding image needs: the string and memory functions
// the module calls, the allocation operators (over the kernel heap, never throwing), and the
// handful of ABI symbols g++ expects. Stateless; safe on any task. Built without loop-to-call
// rewriting, so memset is not turned into a call of itself.
#include <cstddef>
#include <cstdint>
#include <new>

#include "metal/boot/console.h"
#include "platform/files/kxfile.h"

extern "C" {

void* memcpy(void* to, const void* from, size_t n) {
    auto* d = static_cast<uint8_t*>(to);
    const auto* s = static_cast<const uint8_t*>(from);
    // Whole words where both sides allow it: the period copies are the hot path.
    if (((reinterpret_cast<uintptr_t>(d) | reinterpret_cast<uintptr_t>(s)) & 3) == 0) {
        size_t words = n / 4;
        asm volatile("rep movsl" : "+D"(d), "+S"(s), "+c"(words)::"memory");
        n &= 3;
    }
    asm volatile("rep movsb" : "+D"(d), "+S"(s), "+c"(n)::"memory");
    return to;
}

void* memmove(void* to, const void* from, size_t n) {
    auto* d = static_cast<uint8_t*>(to);
    const auto* s = static_cast<const uint8_t*>(from);
    if (d <= s || d >= s + n)
        return memcpy(to, from, n);
    for (size_t i = n; i > 0; --i)
        d[i - 1] = s[i - 1];
    return to;
}

void* memset(void* to, int value, size_t n) {
    auto* d = static_cast<uint8_t*>(to);
    asm volatile("rep stosb" : "+D"(d), "+c"(n) : "a"(value) : "memory");
    return to;
}

int memcmp(const void* a, const void* b, size_t n) {
    const auto* x = static_cast<const uint8_t*>(a);
    const auto* y = static_cast<const uint8_t*>(b);
    for (size_t i = 0; i < n; ++i) {
        if (x[i] != y[i])
            return x[i] < y[i] ? -1 : 1;
    }
    return 0;
}

size_t strlen(const char* s) {
    size_t n = 0;
    while (s[n] != '\0')
        ++n;
    return n;
}

int strcmp(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return static_cast<uint8_t>(*a) - static_cast<uint8_t>(*b);
}

int strncmp(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (a[i] != b[i] || a[i] == '\0')
            return static_cast<uint8_t>(a[i]) - static_cast<uint8_t>(b[i]);
    }
    return 0;
}

char* strncpy(char* to, const char* from, size_t n) {
    size_t i = 0;
    for (; i < n && from[i] != '\0'; ++i)
        to[i] = from[i];
    for (; i < n; ++i)
        to[i] = '\0';
    return to;
}

char* strchr(const char* s, int c) {
    for (;; ++s) {
        if (*s == static_cast<char>(c))
            return const_cast<char*>(s);
        if (*s == '\0')
            return nullptr;
    }
}

char* strcpy(char* to, const char* from) {
    return static_cast<char*>(memcpy(to, from, strlen(from) + 1));
}

// No global object of the image needs destroying: the image ends by leaving the emulator.
void* __dso_handle = nullptr;
int __cxa_atexit(void (*)(void*), void*, void*) {
    return 0;
}
[[noreturn]] void __cxa_pure_virtual() {
    kx::metal::consolePrintf("kxaudio-metal: pure virtual call\n");
    for (;;)
        asm volatile("cli; hlt");
}

}  // extern "C"

namespace std {
const nothrow_t nothrow{};
}  // namespace std

// Allocation never throws on the image: a failed new yields null, which every caller checks.
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return kx::kxcalloc(1, size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return kx::kxcalloc(1, size);
}
void* operator new(size_t size, std::align_val_t, const std::nothrow_t&) noexcept {
    return kx::kxcalloc(1, size);  // the heap aligns every block to 16 bytes
}
void operator delete(void* block) noexcept {
    kx::kxfree(block);
}
void operator delete[](void* block) noexcept {
    kx::kxfree(block);
}
void operator delete[](void* block, size_t) noexcept {
    kx::kxfree(block);
}
void operator delete(void* block, size_t) noexcept {
    kx::kxfree(block);
}
void operator delete(void* block, size_t, std::align_val_t) noexcept {
    kx::kxfree(block);
}
void operator delete(void* block, std::align_val_t) noexcept {
    kx::kxfree(block);
}
