// kestrune-loader-demo: the window on a simulated keyboard, to try the whole program without
// hardware. The keyboard comes back by itself a few seconds after the switch to firmware-upload
// mode, and again after an upload.
#include "app/mod_Init.h"
#include "common/Clock.h"
#include "sim/SimHidPlatform.h"

int main(int argc, char** argv) {
    kestrune::SteadyClock clock;
    sim::SimKeyboard keyboard(clock, sim::DemoKeyboardConfig());
    sim::SimHidPlatform hid(keyboard, sim::DemoDecoys());
    return app::RunWindowProgram(argc, argv, hid, "kestrune-loader-demo");
}
