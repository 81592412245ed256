// SPDX-License-Identifier: Apache-2.0
// The COM1 console and the image's printf. No state beyond the port; each call holds interrupts
// off while it writes, so a call's text is never split by another task's.
#include "metal/boot/console.h"

#include <cstdint>
#include <cstring>

#include "metal/boot/cpu.h"
#include "platform/files/kxfile.h"

namespace kx::metal {
namespace {

constexpr uint16_t kCom1 = 0x3F8;
char moduleText[512];  // what the module printed and nobody has taken yet

struct Sink {
    void (*put)(Sink*, char);
    char* buffer = nullptr;
    size_t size = 0;
    size_t count = 0;  // characters produced, written or not
};

void putSerial(Sink* sink, char c) {
    if (c == '\n')
        putSerial(sink, '\r');
    while ((inb(kCom1 + 5) & 0x20) == 0) {
    }
    outb(kCom1, static_cast<uint8_t>(c));
    if (c != '\r')
        ++sink->count;
}

void putBuffer(Sink* sink, char c) {
    if (sink->count + 1 < sink->size)
        sink->buffer[sink->count] = c;
    ++sink->count;
}

void emitPadded(Sink* sink, const char* text, size_t length, int width, bool left, char pad) {
    int fill = width > static_cast<int>(length) ? width - static_cast<int>(length) : 0;
    if (!left) {
        for (; fill > 0; --fill)
            sink->put(sink, pad);
    }
    for (size_t i = 0; i < length; ++i)
        sink->put(sink, text[i]);
    for (; fill > 0; --fill)
        sink->put(sink, ' ');
}

void emitNumber(Sink* sink, uint64_t value, bool negative, unsigned base, bool upper, int width,
                bool left, char pad) {
    char digits[24];
    int n = 0;
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        digits[n++] = set[value % base];
        value /= base;
    } while (value != 0);
    char text[26];
    size_t length = 0;
    if (negative && pad == '0' && !left) {
        sink->put(sink, '-');
        width = width > 0 ? width - 1 : 0;
    } else if (negative) {
        text[length++] = '-';
    }
    while (n > 0)
        text[length++] = digits[--n];
    emitPadded(sink, text, length, width, left, pad);
}

void format(Sink* sink, const char* f, va_list args) {
    for (; *f != '\0'; ++f) {
        if (*f != '%') {
            sink->put(sink, *f);
            continue;
        }
        ++f;
        bool left = false;
        char pad = ' ';
        for (;; ++f) {
            if (*f == '-')
                left = true;
            else if (*f == '0')
                pad = '0';
            else
                break;
        }
        int width = 0;
        while (*f >= '0' && *f <= '9')
            width = width * 10 + (*f++ - '0');
        int precision = -1;  // ".*" only, for %s
        if (f[0] == '.' && f[1] == '*') {
            precision = va_arg(args, int);
            f += 2;
        }
        int longs = 0;
        bool size = false;
        for (;; ++f) {
            if (*f == 'l')
                ++longs;
            else if (*f == 'z')
                size = true;
            else
                break;
        }
        switch (*f) {
            case 'd':
            case 'i': {
                int64_t v = longs >= 2   ? va_arg(args, long long)
                            : longs == 1 ? va_arg(args, long)
                            : size       ? static_cast<int64_t>(va_arg(args, ptrdiff_t))
                                         : va_arg(args, int);
                uint64_t magnitude =
                    v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
                emitNumber(sink, magnitude, v < 0, 10, false, width, left, pad);
                break;
            }
            case 'u':
            case 'x':
            case 'X': {
                uint64_t v = longs >= 2   ? va_arg(args, unsigned long long)
                             : longs == 1 ? va_arg(args, unsigned long)
                             : size       ? va_arg(args, size_t)
                                          : va_arg(args, unsigned);
                emitNumber(sink, v, false, *f == 'u' ? 10 : 16, *f == 'X', width, left, pad);
                break;
            }
            case 'p':
                sink->put(sink, '0');
                sink->put(sink, 'x');
                emitNumber(sink, reinterpret_cast<uintptr_t>(va_arg(args, void*)), false, 16, false,
                           width, left, pad);
                break;
            case 'c': {
                char c = static_cast<char>(va_arg(args, int));
                emitPadded(sink, &c, 1, width, left, ' ');
                break;
            }
            case 's': {
                const char* s = va_arg(args, const char*);
                if (s == nullptr)
                    s = "(null)";
                size_t length = 0;
                while (s[length] != '\0' && (precision < 0 || length < size_t(precision)))
                    ++length;
                emitPadded(sink, s, length, width, left, ' ');
                break;
            }
            case '\0':
                return;
            default:
                sink->put(sink, *f);
        }
    }
}

}  // namespace

void consoleInit() {
    outb(kCom1 + 1, 0x00);  // no UART interrupts
    outb(kCom1 + 3, 0x80);  // divisor latch
    outb(kCom1 + 0, 0x01);  // 115200 baud
    outb(kCom1 + 1, 0x00);
    outb(kCom1 + 3, 0x03);  // 8 bits, no parity, one stop bit
    outb(kCom1 + 2, 0xC7);  // FIFO on
}

int consoleVprintf(const char* f, va_list args) {
    Sink sink{putSerial};
    IrqGuard off;
    format(&sink, f, args);
    return static_cast<int>(sink.count);
}

int consolePrintf(const char* f, ...) {
    va_list args;
    va_start(args, f);
    int n = consoleVprintf(f, args);
    va_end(args);
    return n;
}

int formatText(char* buffer, size_t size, const char* f, ...) {
    Sink sink{putBuffer, buffer, size};
    va_list args;
    va_start(args, f);
    format(&sink, f, args);
    va_end(args);
    if (size > 0)
        buffer[sink.count < size ? sink.count : size - 1] = '\0';
    return static_cast<int>(sink.count);
}

bool moduleConsoleTake(char* out, size_t size) {
    IrqGuard off;
    if (moduleText[0] == '\0' || size == 0)
        return false;
    size_t length = std::strlen(moduleText);
    if (length >= size)
        length = size - 1;
    std::memcpy(out, moduleText, length);
    out[length] = '\0';
    moduleText[0] = '\0';
    return true;
}

}  // namespace kx::metal

namespace kx {

// The module's console: kept until the scene's task prints it after the call that made it, as
// "kxaudio: TEXT" on a line of its own, where kxplay prints it on the host.
int kxprintf(const char* f, ...) {
    char text[256];
    va_list args;
    va_start(args, f);
    metal::Sink sink{metal::putBuffer, text, sizeof text};
    metal::format(&sink, f, args);
    va_end(args);
    text[sink.count < sizeof text ? sink.count : sizeof text - 1] = '\0';
    metal::IrqGuard off;
    size_t used = std::strlen(metal::moduleText);
    size_t room = sizeof metal::moduleText - 1 - used;
    size_t length = std::strlen(text);
    std::memcpy(metal::moduleText + used, text, length < room ? length : room);
    metal::moduleText[used + (length < room ? length : room)] = '\0';
    return static_cast<int>(sink.count);
}

}  // namespace kx
