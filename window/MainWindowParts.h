#pragma once
// What the parts of the window's logic share: paths as UTF-8 text, keyboard text fit for the
// screen, statuses built from parts, and the scopes a command runs in.
#include <cstdint>
#include <filesystem>
#include <string>

#include "usbio/Discovery.h"
#include "window/MainWindow.h"

namespace window {
namespace detail {

// Paths are UTF-8 text on every platform; std::filesystem takes them as such only through u8.
std::filesystem::path PathOf(const std::string& utf8);

std::string Utf8Of(const std::filesystem::path& path);
// The sample firmware the demo offers, where the build or the install puts it for the program
// in this folder; empty when there is none.
std::string SampleFirmwareFor(const std::string& programFolder);

// True when the folder holds a file named as firmware (.hex, .bin, .dat).
bool FolderHoldsFirmware(const std::string& folder);

// A file the user names: anything that exists and is not a folder (the reader says what is wrong
// with a file it cannot read).
bool FileExists(const std::string& path);

// Text from the keyboard, fit for the screen: control characters become '?'.
std::string Printable(const std::string& text);

// "0x1200": an address as the status shows it.
std::string HexAddress(std::int32_t address);

// The status for an upload given up before anything was sent: that the keyboard is as it was,
// first, so that a status bar too narrow for the problem still shows it; then the problem.
std::string RefusedStatus(const std::string& problem);

// The port column's text: the port path, or the serial number where the port cannot be told.
std::string PortText(const usbio::DeviceIdentity& identity);

// The mode column's text for the product ID a keyboard was found with.
std::string ModeTextOf(std::int32_t matchedPid);

}  // namespace detail
using namespace detail;

// Keeps a second command from starting while one runs: the buttons and the rescan timer are off
// for its duration and restored afterwards.
class MainWindow::BusyScope {
public:
    explicit BusyScope(MainWindow& window) : window_(window) { window_.BeginBusy(); }
    ~BusyScope() { window_.EndBusy(); }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    MainWindow& window_;
};

// The scans of an upload, and of the keyboard a row choice names, look at the chosen keyboard only.
class MainWindow::FollowScope {
public:
    explicit FollowScope(MainWindow& window) : window_(window), before_(window.followOnly_) {
        window_.followOnly_ = true;
    }
    ~FollowScope() { window_.followOnly_ = before_; }
    FollowScope(const FollowScope&) = delete;
    FollowScope& operator=(const FollowScope&) = delete;

private:
    MainWindow& window_;
    bool before_;
};

}  // namespace window
