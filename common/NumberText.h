#pragma once
// Readers for numbers written as text: definition-file fields, start addresses, HEX fields.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrune {

// Result of the lenient reader. When ok is false, value is 0 and error says why.
struct LenientNumber {
    std::int32_t value = 0;
    bool ok = true;
    std::string error;
};

// Lenient reading of a number in a text:
//  - spaces, tabs and line feeds anywhere are ignored;
//  - "&H"/"&h" introduces hexadecimal digits, "&O"/"&o" octal digits; a value that fits in
//    16 bits is taken as a signed 16-bit number (&HFFFF is -1), a larger one up to 32 bits as a
//    signed 32-bit number; more than 32 bits is an error;
//  - otherwise a decimal number: optional sign, digits, optional decimal point with digits and
//    an exponent (E or D);
//  - reading stops at the first character that does not fit; no number at all reads as 0;
//  - the value is rounded to the nearest integer, a half to the even neighbour, and must lie in
//    the signed 32-bit range, else an error.
LenientNumber ReadLenientNumber(std::string_view text);

struct HexNumber {
    std::uint32_t value = 0;
    std::size_t digits = 0;   // hexadecimal digits taken
    bool overflow = false;    // more than 32 bits of value; value is then meaningless
};

// Hexadecimal value of a text: spaces, tabs and line feeds are ignored, digits of either case are
// taken from the start, reading stops at the first other character; no digit gives 0.
HexNumber ReadHexText(std::string_view text);

// Convenience: the value alone (0 on overflow).
std::uint32_t HexTextValue(std::string_view text);

}  // namespace kestrune
