// kestrune-loader: the window on this computer's HID devices.
#include "usbio/WindowsHidPlatform.h"
#include "window/win32/Win32WindowProgram.h"

int main() {
    usbio::WindowsHidPlatform hid;
    return window::win32::RunWindowProgram(hid, "kestrune-loader");
}
