#include "common/NumberText.h"

#include "common/Translate.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <system_error>
#include <version>

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
        if (value > 0xFFFFFFFFull) return Fail(Fill(Tr("the number \"%s\" does not fit in 32 bits"), {s}));
    }
    LenientNumber r;
    if (value <= 0xFFFFu)
        r.value = static_cast<std::int16_t>(static_cast<std::uint16_t>(value));
    else
        r.value = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    return r;
}

// The value of a decimal number as collected below (sign, digits, point, exponent "e"), rounded to
// the nearest double. std::from_chars reads the same in every locale, unlike strtod, whose decimal
// point is that of the C locale of the moment (a comma under de_DE).
double DecimalValue(std::string_view number) {
    bool negative = false;
    if (!number.empty() && (number.front() == '+' || number.front() == '-')) {
        negative = number.front() == '-';
        number.remove_prefix(1);
    }
    double value = 0.0;
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value,
                                              std::chars_format::general);
    (void)end;
    const bool outOfRange = error == std::errc::result_out_of_range;
#else
    // A standard library without from_chars for double (libc++ before 17, as in the WebAssembly
    // build): strtod on a copy. Where it is used there is only the C locale, whose point is ".".
    const std::string copy(number);
    errno = 0;
    value = std::strtod(copy.c_str(), nullptr);
    // A subnormal result is a value, as from_chars gives it; only overflow and a result of zero
    // from non-zero digits are out of range.
    const bool outOfRange = errno == ERANGE && (std::isinf(value) || value == 0.0);
#endif
    if (outOfRange) {
        // Too large or too small for a double: which one follows from where the first non-zero
        // digit stands and the exponent.
        const std::size_t e = number.find('e');
        const std::string_view mantissa = number.substr(0, e);
        const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
        const std::size_t first = mantissa.find_first_not_of("0.");
        long long exponent = 0;
        if (e != std::string_view::npos) {
            std::string_view digits = number.substr(e + 1);
            const bool down = !digits.empty() && digits.front() == '-';
            if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
            for (char c : digits) {
                exponent = exponent * 10 + (c - '0');
                if (exponent > 1000000) break;  // far beyond any double either way
            }
            if (down) exponent = -exponent;
        }
        const long long position =
            first == std::string_view::npos ? 0
            : first < point                 ? static_cast<long long>(point - first)
                                            : -static_cast<long long>(first - point - 1);
        value = position + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return negative ? -value : value;
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

    const double value = DecimalValue(number);
    const double rounded = std::nearbyint(value);  // default rounding: half to even
    if (!std::isfinite(rounded) || rounded < -2147483648.0 || rounded > 2147483647.0)
        return Fail(Fill(Tr("the number \"%s\" lies outside the signed 32-bit range"), {number}));
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
