// SPDX-License-Identifier: Apache-2.0
// Text that kxplay shows but did not write itself (file names, scene lines): made safe to print
// on a terminal and to put into a picture's XML. Pure functions; no state, no lock.
#pragma once

#include <string>
#include <string_view>

namespace kx {

// The text as valid UTF-8 with nothing a terminal acts on: control characters (C0, DEL, C1) and
// bytes that are not part of a well-formed UTF-8 character appear as \xNN, one per byte, so an
// escape sequence in a file name reads as "\x1b[2J" instead of clearing the screen. Characters
// that XML 1.0 does not allow (U+FFFE, U+FFFF) are shown the same way. Everything else, tabs
// included, is kept as it is.
std::string visibleText(std::string_view text);

}  // namespace kx
