// SPDX-License-Identifier: Apache-2.0
// The console: COM1 at 115200 baud, polled. Output is written a character at a time with
// interrupts off, so lines of different tasks do not interleave within a call.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace kx::metal {

void consoleInit();
// printf's subset: flags '-' and '0', a width, precision .* for s, length l, ll and z; conversions
// d i u x X c s p %.
int consolePrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
int consoleVprintf(const char* format, va_list args);
// The same formatting into a buffer (always terminated when size > 0); returns the length the
// whole text would have.
int formatText(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// What the module printed through kxprintf since the last take; false when nothing.
bool moduleConsoleTake(char* out, size_t size);

}  // namespace kx::metal
