#pragma once
// What any desktop offers the window's logic besides its controls: message boxes, the open-file
// dialog, the settings store, the program and downloads folders, the event pump, the blocking
// sleep and a timer on the clock. Each platform has one services object (window/qt/QtServices.h,
// window/win32/Win32Services.h); the tests' scripted one runs on virtual time. Texts are UTF-8.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "upload/UploadSequence.h"

namespace window {

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

class WindowServices {
public:
    virtual ~WindowServices() = default;

    // Dialogs, owned by the window. A message box is modal; lines are separated by CR LF.
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
    // events keep running. A timer that falls due meanwhile fires during either.
    virtual void PumpEvents() = 0;
    virtual void Sleep(int ms) = 0;
    virtual void Pause(int ms) = 0;
    virtual std::int64_t NowMs() = 0;
    // One single-shot timer: onTimeout runs once, ms after the start. Starting it again replaces
    // the earlier start; stopping it drops it.
    virtual void StartTimer(int ms, std::function<void()> onTimeout) = 0;
    virtual void StopTimer() = 0;

    // A browser's page: lets the user grant it the keyboard that comes back as another device
    // (the browser's device chooser). Called only just after the user answered a message box, as
    // the browser allows a chooser only then; returns at once, the grant shows in a later scan.
    virtual void AskForReturnedKeyboard() {}
};

}  // namespace window
