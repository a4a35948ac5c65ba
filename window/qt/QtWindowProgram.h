#pragma once
// The Qt window programs' common entry: reads the few options, shows the window and runs the
// event loop. Without a display it says so plainly.
#include "usbio/HidPlatform.h"
#include "window/MainWindow.h"

namespace window::qt {

int RunWindowProgram(int argc, char** argv, usbio::HidPlatform& hid, const char* programName,
                     WindowOptions options = {});

}  // namespace window::qt
