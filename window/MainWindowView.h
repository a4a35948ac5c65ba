#pragma once
// The window's controls as its logic sees them: the device list, the status text, the buttons
// and the focus, the progress bar, the start-address and firmware-file fields, the busy pointer.
// The Qt window, the Win32 window and the tests' scripted view each implement it; dialogs, settings,
// time and events are the platform's services (window/WindowServices.h). Texts are UTF-8.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace window {

enum class Button { Refresh, Upload, Exit, SelectFile };

struct DeviceRow {
    std::string vendorId, productId, firmwareVersion, mode;
    std::string port;  // where the keyboard is plugged in; shown only when the list has several rows
    bool operator==(const DeviceRow&) const = default;
};

class MainWindowView {
public:
    virtual ~MainWindowView() = default;

    virtual void SetCaption(const std::string& text) = 0;
    // One row per keyboard (none: an empty list). With more than one row the list has a fifth
    // column, the port, and selected names the row Upload Firmware updates; a user's choice of
    // another row goes to MainWindow::OnRowSelected. Showing the rows reports no choice.
    virtual void SetDeviceRows(const std::vector<DeviceRow>& rows,
                               std::optional<std::size_t> selected) = 0;
    virtual void SetStatusText(const std::string& text) = 0;
    virtual void SetButtonEnabled(Button button, bool enabled) = 0;
    virtual void FocusButton(Button button) = 0;
    // The button that has the keyboard focus, if one has.
    virtual std::optional<Button> FocusedButton() = 0;
    // Moves the focus where keys do nothing (the window itself), off a button that is about to be
    // turned off: the toolkit would hand it on to a text field, with its text selected, or drop it.
    virtual void ParkFocus() = 0;
    virtual void ShowStartAddress() = 0;
    virtual void FocusStartAddress() = 0;
    virtual std::string StartAddressText() = 0;
    virtual void SetStartAddressText(const std::string& text) = 0;
    virtual std::string FirmwareFileText() = 0;
    virtual void SetFirmwareFileText(const std::string& text) = 0;
    virtual void SetProgress(std::int64_t doneBytes, std::int64_t totalBytes) = 0;
    virtual void SetBusyPointer(bool busy) = 0;

    // Closes the window and ends the program.
    virtual void Close() = 0;
};

}  // namespace window
