// kestrune-loader-demo: the window on a simulated keyboard, to try the whole program without
// hardware. The keyboard comes back by itself a few seconds after the switch to firmware-upload
// mode, and again after an upload.
#include "app/mod_Init.h"
#include "common/Clock.h"
#include "sim/SimHidPlatform.h"

int main(int argc, char** argv) {
    kestrune::SteadyClock clock;
    sim::KeyboardConfig config;
    config.Version = "V1.0";
    config.VersionAfterFinish = "V1.2";
    config.ReturnPolicy = sim::KeyboardConfig::Return::Automatic;
    config.ReturnDelayMs = 4000;
    sim::SimKeyboard keyboard(clock, config);
    // One other device on the bus keeps the scan short: every interface costs a second.
    std::vector<sim::DecoyInterface> decoys{sim::DefaultDecoys().front()};
    sim::SimHidPlatform hid(keyboard, decoys);
    return app::RunWindowProgram(argc, argv, hid, "kestrune-loader-demo");
}
