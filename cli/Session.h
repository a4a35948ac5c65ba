#pragma once
// What every device command of the command-line tool works with: the HID platform (this
// computer's, or the simulated keyboard), the connection state, the clock and the waits, and the
// user's Ctrl+C.
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "sim/SimHidPlatform.h"
#include "usbio/DeviceIO.h"
#include "usbio/Discovery.h"

namespace cli {

// Number of Ctrl+C presses since the program started.
int Interrupts();
void InstallInterruptHandler();

std::filesystem::path ProgramFolder();

class Session {
public:
    // With a version text: the simulated keyboard on virtual time, reporting that version.
    explicit Session(const std::optional<std::string>& simulateVersion,
                     const std::vector<std::string>& simulatedFaults = {});
    ~Session();

    usbio::HidPlatform& Hid() { return *hid_; }
    usbio::DeviceConnection& Connection() { return *connection_; }
    const kestrune::Clock& Clock() const { return *clock_; }
    bool Simulated() const { return keyboard_ != nullptr; }
    sim::SimKeyboard* Keyboard() { return keyboard_.get(); }

    // Waits; on virtual time it returns at once.
    void Sleep(int ms);

    usbio::DiscoveryHooks Hooks();
    // One search for the keyboard, without the one-second waits: only interfaces that can be the
    // keyboard are opened. Table errors of PIDDef.txt go to onTableError (once per search).
    usbio::DiscoveryReport Scan();
    std::function<void(const std::string&)> onTableError;

private:
    std::unique_ptr<kestrune::Clock> clock_;
    kestrune::VirtualClock* virtualClock_ = nullptr;
    std::unique_ptr<sim::SimKeyboard> keyboard_;
    std::unique_ptr<usbio::HidPlatform> hid_;
    std::unique_ptr<usbio::DeviceConnection> connection_;
    std::string lastTableError_;
};

}  // namespace cli
