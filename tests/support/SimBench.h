#pragma once
// The simulated keyboard on its bus, a connection state and discovery hooks on virtual time.
#include <string>
#include <vector>

#include "common/Clock.h"
#include "sim/SimHidPlatform.h"
#include "support/TempDir.h"
#include "usbio/Discovery.h"

namespace testsupport {

struct SimBench {
    explicit SimBench(sim::KeyboardConfig config = {}) : keyboard(clock, std::move(config)) {}

    usbio::DiscoveryHooks Hooks() {
        usbio::DiscoveryHooks hooks;
        hooks.Pause = [this](float ms) {
            pauses.push_back(ms);
            clock.Advance(static_cast<std::int64_t>(ms));
        };
        hooks.ProgramFolder = folder.Path();
        hooks.ShowTableError = [this](const std::string& text) { tableErrors.push_back(text); };
        return hooks;
    }

    void Find(usbio::DiscoveryReport* report = nullptr) {
        usbio::InitDeviceIO(connection);
        usbio::FindDevice(connection, Hooks(), report);
    }

    void WritePidFile(const std::string& contents) { folder.Write(usbio::ProductIdFileName, contents); }

    kestrune::VirtualClock clock;
    sim::SimKeyboard keyboard;
    sim::SimHidPlatform hid{keyboard};
    usbio::DeviceConnection connection{hid};
    TempDir folder;
    std::vector<float> pauses;
    std::vector<std::string> tableErrors;
};

}  // namespace testsupport
