// kestrune-loader-demo: the window on a simulated keyboard, to try the whole program without
// hardware. The keyboard comes back by itself a few seconds after the switch to firmware-upload
// mode, and again after an upload.
#include "window/qt/QtWindowProgram.h"
#include "common/Clock.h"
#include "sim/SimHidPlatform.h"

int main(int argc, char** argv) {
    kestrune::SteadyClock clock;
    sim::SimKeyboard keyboard(clock, sim::DemoKeyboardConfig());
    sim::SimHidPlatform hid(keyboard, sim::DemoDecoys());
    return window::qt::RunWindowProgram(argc, argv, hid, "kestrune-loader-demo", window::WindowOptions{.demo = true});
}
