#pragma once
// Output of a window program: a program of the Windows subsystem has no console of its own, so
// its few lines (--help, --version, errors, the self-test's report) go to the console it was
// started from, or wherever its standard output was redirected.
#include <string>

namespace window::win32 {

void PrintLine(const std::string& text);

}  // namespace window::win32
