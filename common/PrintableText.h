#pragma once
#include <string>
#include <string_view>

namespace kestrune {

// Text fit for a terminal, from a device or a file name: control characters (C0, DEL, C1) and
// bytes that are not UTF-8 are shown as \xNN (\u0085 and so on for C1), so no escape sequence
// reaches it and a name with a line end stays on its line. Printable text, backslashes included,
// is left as it is, so the result of a second pass is the same.
std::string PrintableText(std::string_view text);

// The columns text takes on a terminal: an East Asian wide character (a Japanese or Chinese
// ideograph, kana, a fullwidth form) takes two, a combining mark none, anything else one (a byte
// that is not UTF-8 too, as PrintableText shows it escaped in one place).
std::size_t ColumnsOf(std::string_view text);
// Whether the code point takes two columns.
bool IsWideCharacter(unsigned codePoint);
// The length of the UTF-8 character at text[i] (1 for a byte that is not one).
std::size_t CharacterLength(std::string_view text, std::size_t i);

}  // namespace kestrune
