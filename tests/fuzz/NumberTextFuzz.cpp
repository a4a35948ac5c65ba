// The number readers against plain oracles: the same text read a second, simpler way (strtod
// under the "C" locale for decimals, a digit loop for the rest) must give the same result.
#include <locale.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/NumberText.h"

namespace {

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\n'; }
bool Digit(char c) { return c >= '0' && c <= '9'; }
int HexValue(char c) {
    const std::string_view digits = "0123456789abcdef";
    const auto at = digits.find(static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c));
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

kestrune::LenientNumber Oracle(std::string_view text) {
    std::string s;
    for (char c : text)
        if (!Blank(c)) s += c;
    kestrune::LenientNumber r;
    if (s.size() >= 2 && s[0] == '&') {
        const char p = static_cast<char>(s[1] | 0x20);
        if (p != 'h' && p != 'o') return r;
        const unsigned radix = p == 'h' ? 16 : 8;
        unsigned long long v = 0;
        for (std::size_t i = 2; i < s.size(); ++i) {
            const int d = HexValue(s[i]);
            if (d < 0 || static_cast<unsigned>(d) >= radix) break;
            v = v * radix + static_cast<unsigned>(d);
            if (v > 0xFFFFFFFFull) return {0, false, "overflow"};
        }
        r.value = v <= 0xFFFF ? static_cast<std::int16_t>(v) : static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
        return r;
    }
    // sign? digits [. digits] with at least one digit, then [EeDd sign? digits] when it has digits.
    std::size_t i = 0;
    std::string number;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) number += s[i++];
    std::size_t mantissa = 0;
    for (; i < s.size() && Digit(s[i]); ++i, ++mantissa) number += s[i];
    if (i < s.size() && s[i] == '.')
        for (number += s[i++]; i < s.size() && Digit(s[i]); ++i, ++mantissa) number += s[i];
    if (mantissa == 0) return r;
    if (i < s.size() && std::string_view("EeDd").find(s[i]) != std::string_view::npos) {
        std::string e = "e";
        std::size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) e += s[j++];
        const std::size_t before = e.size();
        for (; j < s.size() && Digit(s[j]); ++j) e += s[j];
        if (e.size() > before) number += e;
    }
    static const locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
    const double rounded = std::nearbyint(strtod_l(number.c_str(), nullptr, c));
    if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0)) return {0, false, "range"};
    r.value = static_cast<std::int32_t>(rounded);
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const kestrune::LenientNumber got = kestrune::ReadLenientNumber(text);
    const kestrune::LenientNumber want = Oracle(text);
    if (got.ok != want.ok || got.value != want.value || got.ok != got.error.empty()) std::abort();

    const kestrune::HexNumber hex = kestrune::ReadHexText(text);
    unsigned long long v = 0;
    std::size_t digits = 0;
    bool overflow = false;
    for (char c : text) {
        if (Blank(c)) continue;
        const int d = HexValue(c);
        if (d < 0) break;
        ++digits;
        if (v <= 0xFFFFFFFFull) v = v * 16 + static_cast<unsigned>(d);
        overflow = overflow || v > 0xFFFFFFFFull;
    }
    if (hex.digits != digits || hex.overflow != overflow || hex.value != (overflow ? 0 : v)) std::abort();
    if (kestrune::HexTextValue(text) != hex.value) std::abort();
    return 0;
}
