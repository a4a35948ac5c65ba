#pragma once
#include <string>
#include <string_view>

namespace kestrune {

// Text fit for a terminal, from a device or a file name: control characters (C0, DEL, C1) and
// bytes that are not UTF-8 are shown as \xNN (\u0085 and so on for C1), so no escape sequence
// reaches it and a name with a line end stays on its line. Printable text, backslashes included,
// is left as it is, so the result of a second pass is the same.
std::string PrintableText(std::string_view text);

}  // namespace kestrune
