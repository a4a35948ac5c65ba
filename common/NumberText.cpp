#include "common/NumberText.h"

#include <cmath>
#include <cstdlib>
#include <string>

namespace kestrune {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

std::string WithoutBlanks(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (!IsBlank(c)) out.push_back(c);
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

LenientNumber Fail(std::string message) {
    LenientNumber r;
    r.ok = false;
    r.error = std::move(message);
    return r;
}

LenientNumber ReadRadix(const std::string& s, std::size_t pos, unsigned radix) {
    std::uint64_t value = 0;
    for (; pos < s.size(); ++pos) {
        int d = HexDigit(s[pos]);
        if (d < 0 || static_cast<unsigned>(d) >= radix) break;
        value = value * radix + static_cast<unsigned>(d);
        if (value > 0xFFFFFFFFull) return Fail("the number \"" + s + "\" does not fit in 32 bits");
    }
    LenientNumber r;
    if (value <= 0xFFFFu)
        r.value = static_cast<std::int16_t>(static_cast<std::uint16_t>(value));
    else
        r.value = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    return r;
}

}  // namespace

LenientNumber ReadLenientNumber(std::string_view text) {
    const std::string s = WithoutBlanks(text);
    if (s.size() >= 2 && s[0] == '&') {
        if (s[1] == 'H' || s[1] == 'h') return ReadRadix(s, 2, 16);
        if (s[1] == 'O' || s[1] == 'o') return ReadRadix(s, 2, 8);
        return LenientNumber{};
    }

    // Decimal: collect the longest prefix that forms a number.
    std::size_t i = 0;
    std::string number;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) number.push_back(s[i++]);
    std::size_t mantissaDigits = 0;
    while (i < s.size() && IsDigit(s[i])) { number.push_back(s[i++]); ++mantissaDigits; }
    if (i < s.size() && s[i] == '.') {
        std::string fraction = ".";
        std::size_t j = i + 1;
        while (j < s.size() && IsDigit(s[j])) { fraction.push_back(s[j++]); ++mantissaDigits; }
        number += fraction;
        i = j;
    }
    if (mantissaDigits == 0) return LenientNumber{};
    if (i < s.size() && (s[i] == 'E' || s[i] == 'e' || s[i] == 'D' || s[i] == 'd')) {
        std::size_t j = i + 1;
        std::string exponent = "e";
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) exponent.push_back(s[j++]);
        std::size_t expDigits = 0;
        while (j < s.size() && IsDigit(s[j])) { exponent.push_back(s[j++]); ++expDigits; }
        if (expDigits > 0) number += exponent;
    }

    const double value = std::strtod(number.c_str(), nullptr);
    const double rounded = std::nearbyint(value);  // default rounding: half to even
    if (!std::isfinite(rounded) || rounded < -2147483648.0 || rounded > 2147483647.0)
        return Fail("the number \"" + number + "\" lies outside the signed 32-bit range");
    LenientNumber r;
    r.value = static_cast<std::int32_t>(rounded);
    return r;
}

HexNumber ReadHexText(std::string_view text) {
    HexNumber r;
    std::uint64_t value = 0;
    for (char c : text) {
        if (IsBlank(c)) continue;
        const int d = HexDigit(c);
        if (d < 0) break;
        ++r.digits;
        if (!r.overflow) {
            value = value * 16 + static_cast<unsigned>(d);
            if (value > 0xFFFFFFFFull) r.overflow = true;
        }
    }
    r.value = r.overflow ? 0 : static_cast<std::uint32_t>(value);
    return r;
}

std::uint32_t HexTextValue(std::string_view text) { return ReadHexText(text).value; }

}  // namespace kestrune
