// SPDX-License-Identifier: Apache-2.0
// Making foreign text visible: a strict UTF-8 decoder that keeps each well-formed character that
// is safe to show and spells out every other byte. Pure functions; no state, no lock.
#include "tools/kxplay/text.h"

#include <cstdint>
#include <cstdio>

namespace kx {
namespace {

// Length of the well-formed UTF-8 character at text[at] (overlong forms, surrogates and code
// points above U+10FFFF are not), with its code point; 0 when there is none.
size_t characterAt(std::string_view text, size_t at, uint32_t* code) {
    auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    uint8_t lead = byte(at);
    size_t length = lead < 0x80             ? 1
                    : (lead & 0xE0) == 0xC0 ? 2
                    : (lead & 0xF0) == 0xE0 ? 3
                    : (lead & 0xF8) == 0xF0 ? 4
                                            : 0;
    if (length == 0 || at + length > text.size())
        return 0;
    static const uint32_t kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    uint32_t value = lead & kLeadMask[length];
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        value = value << 6 | (byte(at + i) & 0x3F);
    }
    if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *code = value;
    return length;
}

bool shown(uint32_t code) {
    if (code == '\t')
        return true;
    return !(code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0xFFFE || code == 0xFFFF);
}

}  // namespace

std::string visibleText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t at = 0;
    while (at < text.size()) {
        uint32_t code = 0;
        size_t length = characterAt(text, at, &code);
        if (length != 0 && shown(code)) {
            out.append(text.substr(at, length));
            at += length;
            continue;
        }
        // A hidden character is spelled out byte by byte; a broken one loses only its first
        // byte here, so a well-formed character right behind it is still shown.
        size_t spelled = length != 0 ? length : 1;
        for (size_t i = 0; i < spelled; ++i) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<uint8_t>(text[at + i]));
            out += hex;
        }
        at += spelled;
    }
    return out;
}

}  // namespace kx
