#include "name_fold.h"

namespace fleet {

namespace {

// Pairs where the capital comes first (even code point) or second.
bool in(char32_t c, char32_t first, char32_t last) { return c >= first && c <= last; }

char32_t upper(char32_t c) {
    if (in(c, 'a', 'z')) return c - 0x20;
    if (c < 0xE0) return c;
    if (in(c, 0xE0, 0xFE) && c != 0xF7) return c - 0x20;
    if (c == 0xFF) return 0x178;
    // Latin Extended-A.
    if (in(c, 0x100, 0x12F) || in(c, 0x132, 0x137) || in(c, 0x14A, 0x177)) return c & ~char32_t(1);
    if (in(c, 0x139, 0x148) || in(c, 0x179, 0x17E)) return (c & 1) ? c : c - 1;
    // Greek.
    if (in(c, 0x3B1, 0x3C1) || in(c, 0x3C3, 0x3CB)) return c - 0x20;
    if (c == 0x3C2) return 0x3A3;
    if (c == 0x3AC) return 0x386;
    if (in(c, 0x3AD, 0x3AF)) return c - 0x25;
    if (c == 0x3CC) return 0x38C;
    if (in(c, 0x3CD, 0x3CE)) return c - 0x3F;
    // Cyrillic and its supplement.
    if (in(c, 0x430, 0x44F)) return c - 0x20;
    if (in(c, 0x450, 0x45F)) return c - 0x50;
    if (in(c, 0x460, 0x481) || in(c, 0x48A, 0x4BF) || in(c, 0x4D0, 0x52F)) return c & ~char32_t(1);
    if (in(c, 0x4C1, 0x4CE)) return (c & 1) ? c : c - 1;
    if (c == 0x4CF) return 0x4C0;
    return c;
}

void append_utf8(char32_t c, std::string& out) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace

std::string folded_name(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char b = static_cast<unsigned char>(utf8[i]);
        if (b < 0x80) {
            out += static_cast<char>(upper(b));
            ++i;
            continue;
        }
        // Only two-byte sequences hold characters folded here (up to U+07FF).
        if ((b & 0xE0) == 0xC0 && b >= 0xC2 && i + 1 < utf8.size() &&
            (static_cast<unsigned char>(utf8[i + 1]) & 0xC0) == 0x80) {
            const char32_t c = char32_t(b & 0x1F) << 6 | (static_cast<unsigned char>(utf8[i + 1]) & 0x3F);
            append_utf8(upper(c), out);
            i += 2;
            continue;
        }
        out += utf8[i++];
    }
    return out;
}

} // namespace fleet
