// kestrune-loader: the window on this computer's HID devices.
#include "window/qt/QtWindowProgram.h"

#if defined(_WIN32)
#include "usbio/WindowsHidPlatform.h"
using PlatformHid = usbio::WindowsHidPlatform;
#else
#include "usbio/LinuxHidPlatform.h"
using PlatformHid = usbio::LinuxHidPlatform;
#endif

int main(int argc, char** argv) {
    PlatformHid hid;
    return window::qt::RunWindowProgram(argc, argv, hid, "kestrune-loader");
}
