#include <gtest/gtest.h>

#include "common/NumberText.h"

#include <clocale>
#include <cstdlib>
#include <string>

#include "support/TempDir.h"

using kestrune::ReadHexText;
using kestrune::ReadLenientNumber;

struct LenientCase {
    const char* text;
    std::int32_t value;
};

class LenientNumberTest : public ::testing::TestWithParam<LenientCase> {};

TEST_P(LenientNumberTest, ReadsValue) {
    const auto r = ReadLenientNumber(GetParam().text);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.value, GetParam().value) << "text: \"" << GetParam().text << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Table, LenientNumberTest,
    ::testing::Values(
        // Second fields of the definition-file examples.
        LenientCase{"&H11", 17}, LenientCase{" 17", 17}, LenientCase{"", 0},
        LenientCase{"17abc", 17}, LenientCase{"1 7", 17}, LenientCase{"0x11", 0},
        LenientCase{"17.5", 18}, LenientCase{"16.5", 16}, LenientCase{"5", 5},
        LenientCase{"65535", 65535}, LenientCase{"&HFFFF", -1}, LenientCase{"&H000A", 10},
        LenientCase{" 32769 ", 32769},
        // Prefixes, the 16/32-bit rule, case.
        LenientCase{"&h8001", -32767}, LenientCase{"&H10000", 65536},
        LenientCase{"&HFFFFFFFF", -1}, LenientCase{"&H7FFFFFFF", 2147483647},
        LenientCase{"&O17", 15}, LenientCase{"&o177777", -1}, LenientCase{"&O8", 0},
        LenientCase{"&Hxyz", 0}, LenientCase{"&X12", 0}, LenientCase{"&", 0},
        // Signs, fractions, exponents, rounding half to even.
        LenientCase{"-17", -17}, LenientCase{"+17", 17}, LenientCase{"-2.5", -2},
        LenientCase{"2.5", 2}, LenientCase{"3.5", 4}, LenientCase{"0.5", 0},
        LenientCase{".5", 0}, LenientCase{".51", 1}, LenientCase{"1.2E2", 120},
        LenientCase{"1e", 1}, LenientCase{"1e+", 1}, LenientCase{"15D-1", 2},
        LenientCase{"1.5.5", 2}, LenientCase{"--1", 0}, LenientCase{"-", 0},
        LenientCase{"\t1\n2", 12}, LenientCase{"abc", 0}, LenientCase{"2147483647", 2147483647},
        LenientCase{"-2147483648", -2147483647 - 1}, LenientCase{"2147483647.4", 2147483647},
        // Decimals as std::from_chars reads them; far too small is 0.
        LenientCase{"17.6", 18}, LenientCase{"17.", 17}, LenientCase{"-.5", 0}, LenientCase{"+1.5e0", 2},
        LenientCase{"1e-400", 0}, LenientCase{"-1e-99999999999", 0}, LenientCase{"0e99999", 0},
        LenientCase{"0.000e999999", 0}, LenientCase{"123456789012345678901234567890e-25", 12346}));

TEST(LenientNumber, ValuesOutsideThe32BitRangeAreErrors) {
    for (const char* text : {"2147483648", "-2147483649", "1e10", "1e400", "&H100000000",
                             "&O77777777777", "-1e400",
                             "0.0000000000000000000000000000001e330", "1e99999999999999999999"}) {
        const auto r = ReadLenientNumber(text);
        EXPECT_FALSE(r.ok) << text;
        EXPECT_FALSE(r.error.empty()) << text;
        EXPECT_EQ(r.value, 0) << text;
    }
}

TEST(HexText, ReadsLeadingDigitsIgnoringBlanks) {
    struct Case {
        const char* text;
        std::uint32_t value;
        std::size_t digits;
    };
    for (const Case& c : {Case{"1200", 0x1200, 4}, Case{"abCD", 0xABCD, 4}, Case{"", 0, 0},
                          Case{" 12 00 ", 0x1200, 4}, Case{"12G4", 0x12, 2}, Case{"G", 0, 0},
                          Case{"\t8000\n", 0x8000, 4}, Case{"FFFFFFFF", 0xFFFFFFFF, 8},
                          Case{"0x10", 0, 1}}) {
        const auto r = ReadHexText(c.text);
        EXPECT_EQ(r.value, c.value) << c.text;
        EXPECT_EQ(r.digits, c.digits) << c.text;
        EXPECT_FALSE(r.overflow) << c.text;
    }
    EXPECT_TRUE(ReadHexText("123456789").overflow);
    EXPECT_EQ(kestrune::HexTextValue("123456789"), 0u);
}

namespace {

bool CommaIsTheDecimalPoint(const char* locale) {
    return std::setlocale(LC_NUMERIC, locale) && std::localeconv()->decimal_point == std::string(",");
}

// A locale with a decimal comma: an installed one, or else de_DE made by localedef (Debian:
// locales) into a folder of the test's own that LOCPATH names, so that a fresh machine runs the
// test too. LOCPATH is put back by the caller (Restore).
struct CommaLocale {
    testsupport::TempDir dir;
    const char* name = nullptr;
    std::string locpath;
    bool hadLocpath = false;

    CommaLocale() {
        for (const char* candidate : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "nl_NL.UTF-8", "ru_RU.UTF-8"})
            if (CommaIsTheDecimalPoint(candidate)) {
                name = candidate;
                return;
            }
#if !defined(_WIN32)
        const std::string made = (dir.Path() / "de_DE.UTF-8").string();
        if (std::system(("localedef -c -i de_DE -f UTF-8 '" + made + "' >/dev/null 2>&1").c_str()) == -1) return;
        if (const char* old = std::getenv("LOCPATH")) {
            hadLocpath = true;
            locpath = old;
        }
        ::setenv("LOCPATH", dir.Path().c_str(), 1);  // read by every setlocale
        if (CommaIsTheDecimalPoint("de_DE.UTF-8")) name = "de_DE.UTF-8 (made by localedef)";
#endif
    }
    ~CommaLocale() {
#if !defined(_WIN32)
        if (hadLocpath) ::setenv("LOCPATH", locpath.c_str(), 1);
        else ::unsetenv("LOCPATH");
#endif
    }
};

}  // namespace

// The decimal point is '.' whatever the C locale of the process says (the window runs under the
// user's locale, the command-line tool under "C").
TEST(LenientNumber, DecimalPointIsAPointInEveryLocale) {
    const std::string before = std::setlocale(LC_NUMERIC, nullptr);
    const CommaLocale comma;
    if (!comma.name) {
        std::setlocale(LC_NUMERIC, before.c_str());
        GTEST_SKIP() << "no locale with a decimal comma, and localedef could not make de_DE (Debian: locales)";
    }
    struct Case { const char* text; std::int32_t value; };
    for (const Case& c : {Case{"17.6", 18}, Case{"17,6", 17}, Case{"2.5e1", 25}, Case{"-3.5", -4}, Case{".51", 1}}) {
        const auto r = ReadLenientNumber(c.text);
        EXPECT_TRUE(r.ok) << c.text;
        EXPECT_EQ(r.value, c.value) << c.text << " under " << comma.name;
    }
    std::setlocale(LC_NUMERIC, before.c_str());
}
