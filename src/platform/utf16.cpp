#include "utf16.h"

#include <cstdint>

namespace {

void append_utf8(std::string &out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
        return;
    }
    const int extra = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
    const auto lead = static_cast<std::uint32_t>((0xFF00 >> (extra + 1)) & 0xFF);  // 110, 1110...
    out += static_cast<char>(lead | (code >> (6 * extra)));
    for (int shift = 6 * (extra - 1); shift >= 0; shift -= 6)
        out += static_cast<char>(0x80 | ((code >> shift) & 0x3F));
}

bool is_high_surrogate(std::uint32_t unit) { return unit >= 0xD800 && unit < 0xDC00; }
bool is_low_surrogate(std::uint32_t unit) { return unit >= 0xDC00 && unit < 0xE000; }

}  // namespace

std::string utf16_to_utf8(const char16_t *text) {
    std::string out;
    for (const char16_t *unit = text; *unit != u'\0'; ++unit) {
        std::uint32_t code = *unit;
        if (is_high_surrogate(code) && is_low_surrogate(unit[1])) {
            const std::uint32_t low = *++unit;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        append_utf8(out, code);
    }
    return out;
}

std::u16string utf8_to_utf16(const char *text) {
    std::u16string out;
    const auto *byte = reinterpret_cast<const unsigned char *>(text);
    while (*byte != 0) {
        std::uint32_t code = *byte++;
        const int extra = code >= 0xF0 ? 3 : code >= 0xE0 ? 2 : code >= 0xC0 ? 1 : 0;
        if (code >= 0x80 && extra == 0) code = 0xFFFD;  // a continuation byte out of place
        if (extra > 0) code &= 0x3Fu >> extra;
        for (int i = 0; i < extra; ++i) {
            if ((*byte & 0xC0) != 0x80) {  // a sequence cut short
                code = 0xFFFD;
                break;
            }
            code = (code << 6) | (*byte++ & 0x3Fu);
        }
        if (code >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
            code = 0xDC00 + ((code - 0x10000) & 0x3FF);
        }
        out += static_cast<char16_t>(code);
    }
    return out;
}
