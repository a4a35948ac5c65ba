#pragma once
// Everything the window's logic shows or asks goes through this interface: the Qt window, the
// Win32 window and the tests' scripted view each implement it. Texts are UTF-8 throughout.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "upload/UploadSequence.h"

namespace window {

enum class Button { Refresh, Upload, Exit, SelectFile };

struct DeviceRow {
    std::string vendorId, productId, firmwareVersion, mode;
    bool operator==(const DeviceRow&) const = default;
};

struct FileFilter {
    std::string description;            // e.g. "Firmware files"
    std::vector<std::string> patterns;  // e.g. "*.hex"
    bool operator==(const FileFilter&) const = default;
};

struct OpenFileRequest {
    std::string title;
    std::string folder;       // where the dialog opens
    std::string fileName;     // preselected file, may be empty
    std::vector<FileFilter> filters;
};

class MainWindowView {
public:
    virtual ~MainWindowView() = default;

    // Controls.
    virtual void SetCaption(const std::string& text) = 0;
    virtual void SetDeviceRow(const std::optional<DeviceRow>& row) = 0;  // nullopt empties the list
    virtual void SetStatusText(const std::string& text) = 0;
    virtual void SetButtonEnabled(Button button, bool enabled) = 0;
    virtual void FocusButton(Button button) = 0;
    virtual void ShowStartAddress() = 0;
    virtual std::string StartAddressText() = 0;
    virtual void SetStartAddressText(const std::string& text) = 0;
    virtual std::string FirmwareFileText() = 0;
    virtual void SetFirmwareFileText(const std::string& text) = 0;
    virtual void SetProgress(std::int64_t doneBytes, std::int64_t totalBytes) = 0;
    virtual void SetBusyPointer(bool busy) = 0;

    // Dialogs. A message box is modal; lines are separated by CR LF.
    virtual upload::MessageAnswer ShowMessage(const std::string& text, upload::MessageStyle style,
                                              const std::string& title) = 0;
    virtual std::optional<std::string> OpenFile(const OpenFileRequest& request) = 0;

    // The settings store (per user) and the places the file dialog may start in.
    virtual std::string ReadSetting(const std::string& scope, const std::string& section,
                                    const std::string& key) = 0;
    virtual void WriteSetting(const std::string& scope, const std::string& section,
                              const std::string& key, const std::string& value) = 0;
    virtual std::string ProgramFolder() = 0;
    virtual std::string DownloadsFolder() = 0;  // the user's downloads, or home when there is none

    // Time and events. Sleep blocks (the window repaints but takes no input); Pause waits while
    // events keep running; the timer calls MainWindow::OnTimer once, ms after it was started.
    virtual void PumpEvents() = 0;
    virtual void Sleep(int ms) = 0;
    virtual void Pause(int ms) = 0;
    virtual std::int64_t NowMs() = 0;
    virtual void StartTimer(int ms) = 0;
    virtual void StopTimer() = 0;
    // Closes the window and ends the program.
    virtual void Close() = 0;
};

}  // namespace window
