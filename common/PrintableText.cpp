#include "common/PrintableText.h"

#include <algorithm>
#include <cstdio>

namespace kestrune {
namespace {

std::string Escaped(const char* format, unsigned value) {
    char text[12];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Length of the UTF-8 sequence at text[i], 0 when it is not a valid one.
std::size_t Utf8Length(std::string_view text, std::size_t i, unsigned& codePoint) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned lead = byte(i);
    std::size_t n = 0;
    if (lead < 0x80) n = 1, codePoint = lead;
    else if (lead >= 0xC2 && lead <= 0xDF) n = 2, codePoint = lead & 0x1F;
    else if (lead >= 0xE0 && lead <= 0xEF) n = 3, codePoint = lead & 0x0F;
    else if (lead >= 0xF0 && lead <= 0xF4) n = 4, codePoint = lead & 0x07;
    else return 0;
    if (i + n > text.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        codePoint = codePoint << 6 | (byte(i + k) & 0x3F);
    }
    const bool overlong = (n == 3 && codePoint < 0x800) || (n == 4 && codePoint < 0x10000);
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    if (overlong || surrogate || codePoint > 0x10FFFF) return 0;
    return n;
}

}  // namespace

std::string PrintableText(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        unsigned codePoint = 0;
        const std::size_t n = Utf8Length(text, i, codePoint);
        if (n == 0) {
            out += Escaped("\\x%02X", static_cast<unsigned char>(text[i]));
            ++i;
            continue;
        }
        if (codePoint < 0x20 || codePoint == 0x7F)
            out += Escaped("\\x%02X", codePoint);
        else if (codePoint >= 0x80 && codePoint <= 0x9F)
            out += Escaped("\\u%04X", codePoint);
        else
            out.append(text.substr(i, n));
        i += n;
    }
    return out;
}

bool IsWideCharacter(unsigned c) {
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) || (c >= 0x3041 && c <= 0x33FF) ||
           (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
           (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

std::size_t CharacterLength(std::string_view text, std::size_t i) {
    unsigned codePoint = 0;
    return std::max<std::size_t>(Utf8Length(text, i, codePoint), 1);
}

std::size_t ColumnsOf(std::string_view text) {
    std::size_t columns = 0;
    for (std::size_t i = 0; i < text.size();) {
        unsigned codePoint = 0;
        const std::size_t n = Utf8Length(text, i, codePoint);
        if (n == 0) {
            ++columns, ++i;
            continue;
        }
        const bool combining = (codePoint >= 0x300 && codePoint <= 0x36F) || codePoint == 0x200B;
        columns += combining ? 0 : IsWideCharacter(codePoint) ? 2 : 1;
        i += n;
    }
    return columns;
}

}  // namespace kestrune
