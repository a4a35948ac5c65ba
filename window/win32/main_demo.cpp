// kestrune-loader-demo: the window on a simulated keyboard, to try the whole program without
// hardware. The keyboard comes back by itself a few seconds after the switch to firmware-upload
// mode, and again after an upload.
#include "common/Clock.h"
#include "sim/SimHidPlatform.h"
#include "window/win32/Win32WindowProgram.h"

int main() {
    kestrune::SteadyClock clock;
    sim::SimKeyboard keyboard(clock, sim::DemoKeyboardConfig());
    sim::SimHidPlatform hid(keyboard, sim::DemoDecoys());
    return window::win32::RunWindowProgram(hid, "kestrune-loader-demo",
                                           window::WindowOptions{.demo = true});
}
