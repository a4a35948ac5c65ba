#pragma once
// Text at the boundary to Windows: the program's UTF-8 strings and the wide (UTF-16) strings of
// the W functions. Invalid input becomes U+FFFD, never an exception.
#include <string>
#include <string_view>

namespace window::win32 {

std::wstring Wide(std::string_view utf8);
std::string Utf8(std::wstring_view utf16);

}  // namespace window::win32
