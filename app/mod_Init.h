#pragma once
// Program start: creates the window once and shows it.
#include "app/WindowServices.h"
#include "app/frmMain.h"
#include "usbio/DeviceIO.h"

namespace app {

// Creates frmMain if it does not exist yet and shows it; the event loop does the rest.
frmMain& Main(usbio::DeviceConnection& connection, WindowServices& services);

// The window programs' common entry: parses the few options of the window programs, runs the
// event loop and returns the exit code. Without a display it says so plainly.
int RunWindowProgram(int argc, char** argv, usbio::HidPlatform& hid, const char* programName);

}  // namespace app
