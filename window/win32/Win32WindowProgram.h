#pragma once
// The Win32 window programs' common entry: reads the few options (--help and --version print to
// the console the program was started from), shows the window and runs its message loop.
#include "usbio/HidPlatform.h"
#include "window/MainWindow.h"

namespace window::win32 {

int RunWindowProgram(usbio::HidPlatform& hid, const char* programName, WindowOptions options = {});

}  // namespace window::win32
