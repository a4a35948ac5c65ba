#pragma once
// The window's logic, free of any toolkit: start-up, the device scan and its display, the command
// buttons, file selection and the whole Upload Firmware flow with its waits, prompts and rescans.
// It reaches the screen only through its view (MainWindowView, the controls) and the platform's
// services (WindowServices: dialogs, settings, folders, events, time).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "upload/FirmwareImage.h"
#include "upload/UploadSequence.h"
#include "usbio/DeviceIO.h"
#include "usbio/Discovery.h"
#include "usbio/FollowedKeyboard.h"
#include "window/MainWindowView.h"
#include "window/WindowServices.h"

namespace window {

struct WindowOptions {
    bool demo = false;  // the window runs on the simulated keyboard
    // A browser: the keyboard that comes back with another product ID (in firmware-upload mode,
    // and restarted after the upload) is another device to it, which the user must grant the
    // page too. The flow says so in a box and then asks (WindowServices::AskForReturnedKeyboard).
    bool grantReturnedKeyboard = false;
    // The start-up scan says in the status only, not in a box, that it found no keyboard: a page
    // the user has not granted a keyboard yet finds none, and shows how to connect one.
    bool quietStartupScan = false;
};

// What the last scan found.
enum class ScanState { None, Scanning, NotFound, Found };

enum class Key { F1, Escape, Other };
struct KeyModifiers {
    bool shift = false, control = false, alt = false;
};

// The window caption for a title and version numbers, e.g. "Kestrune Loader V1.0R8".
std::string WindowCaption(const std::string& title, int major, int minor, int revision);

// The file dialog's filters.
std::vector<FileFilter> FirmwareFileFilters();

class MainWindow {
public:
    MainWindow(usbio::DeviceConnection& connection, MainWindowView& view, WindowServices& services,
               WindowOptions options = {});
    ~MainWindow();
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // Shows the caption and the remembered file, and arms the first scan.
    void Start();

    // Events from the view (OnTimer: from the services' timer).
    void OnTimer();
    void OnButton(Button button);
    void OnKeyDown(Key key, KeyModifiers modifiers);
    void OnFileDropped(const std::string& path);
    void OnDeviceArrivedOrLeft();
    // The user selected another row of the device list: from now on that keyboard is the one
    // Upload Firmware updates, and the window looks at it at once. Ignored (the selection shown
    // again) while a command runs.
    void OnRowSelected(std::size_t index);
    // True when the window may close now; otherwise it closes as soon as the running command ends.
    bool OnCloseRequested();

    bool IsBusy() const { return busyDepth_ > 0; }
    // No command runs and no scan is pending.
    bool IsIdle() const { return !IsBusy() && !timerArmed_; }
    bool TimerArmed() const { return timerArmed_; }

    // What the window shows and knows, for the views and for tests.
    const std::string& StatusText() const { return statusText_; }
    ScanState LastScan() const { return scanState_; }
    const std::string& ModeText() const { return modeText_; }
    const std::string& FirmwareVersionText() const { return firmwareVersion_; }
    void SetFirmwareVersionText(const std::string& text) { firmwareVersion_ = text; }
    bool NewFirmware() const { return newFirmware_; }
    bool StartAddressShown() const { return startAddressShown_; }
    const std::string& PendingStatusText() const { return pendingStatus_; }
    void SetPendingStatusText(const std::string& text) { pendingStatus_ = text; }
    const upload::UploadOutcome& LastUpload() const { return lastUpload_; }
    // The keyboard every search follows, by its identity: the selected row while several are
    // listed, and the one an upload works on from its start until a scan lists it alone again.
    const std::optional<usbio::FoundKeyboard>& ChosenKeyboard() const { return chosen_; }
    // The selected row; none while the list holds fewer than two rows.
    std::optional<std::size_t> SelectedRow() const;
    std::string SettingsScope() const;

    // The steps behind the buttons (public so that tests and views can drive them).
    // A scan that finds no keyboard says so in a box when announceMissing, in the status always.
    void ScanDevice(bool announceMissing = true);
    // False when the keyboard is open but its firmware version could not be read.
    bool ShowDeviceInfo();
    void StartUpload();
    void SelectFirmwareFile();

private:
    class UploadViewAdapter;
    class BusyScope;
    class FollowScope;
    friend class UploadViewAdapter;
    friend class BusyScope;
    friend class FollowScope;

    // A keyboard of the device list and what its row shows.
    struct ListedKeyboard {
        usbio::FoundKeyboard keyboard;
        DeviceRow row;
    };

    // Arms the scan timer; the scan opens the not-found box only when the user asked for it.
    void ArmTimer(bool userAsked = false);
    void ArmDeviceRescan();  // for device events: at most one scan a second
    void SetStatusText(const std::string& text);
    upload::MessageAnswer Message(const std::string& text, upload::MessageStyle style,
                                  const std::string& title = {});
    void SetUploadEnabled(bool enabled);
    void BeginBusy();
    void EndBusy();
    usbio::DiscoveryHooks Hooks();
    // The scan's two searches (as a normal keyboard, then in firmware-upload mode), looking only
    // at the chosen keyboard's interfaces when followChosen; sets open_ when a keyboard is open.
    void Search(bool followChosen, usbio::DiscoveryReport& report);
    // From now on the searches that follow the chosen keyboard look for this one.
    void Choose(const usbio::FoundKeyboard& keyboard);
    // The mode the chosen keyboard is waited for in: firmware-upload mode during the replug wait,
    // normal mode while "Firmware updated." waits for it.
    usbio::ExpectedMode Expected() const;
    void ListKeyboards();
    void ShowRows();
    void ScanAndShow(bool userAsked);
    upload::FirmwareCheck ReadFirmwareFile(const std::string& path,
                                           const std::string& startAddressText);
    void RunUpload(const upload::FirmwareCheck& check);
    void TakeFile(const std::string& path);
    std::string DialogFolder() const;

    usbio::DeviceConnection& connection_;
    MainWindowView& view_;
    WindowServices& services_;
    WindowOptions options_;
    upload::FirmwareImage image_;

    std::string statusText_;
    std::string modeText_;
    std::string firmwareVersion_;
    std::string pendingStatus_;
    ScanState scanState_ = ScanState::None;
    bool newFirmware_ = false;
    bool startAddressShown_ = false;
    bool uploadEnabled_ = false;
    bool timerArmed_ = false;
    bool rescanRequested_ = false;
    bool scanUserAsked_ = false;  // the pending timer scan is the start-up scan or a Refresh
    bool closeRequested_ = false;
    bool sending_ = false;  // blocks are going out and the finish is not sent yet
    bool deviceChanged_ = false;
    bool heldDeviceRescan_ = false;  // a device rescan was armed when the command started
    bool holdForRescan_ = false;     // the command asked for a rescan: the buttons wait for it
    bool lastStepArmed_ = false;     // that rescan is armed: the command has not ended yet
    std::optional<Button> focusAfter_;
    std::optional<Button> focusBack_;  // the button that had the focus when the buttons went off
    int busyDepth_ = 0;
    std::int64_t lastScanEndMs_ = -1000000;
    std::int64_t progressTotal_ = 0;
    std::int32_t uploadStart_ = 0;
    upload::UploadOutcome lastUpload_;

    std::vector<ListedKeyboard> listed_;            // the device list, in enumeration order
    std::optional<usbio::FoundKeyboard> open_;      // the keyboard the connection has open
    std::optional<usbio::FoundKeyboard> chosen_;
    usbio::FollowedKeyboard trail_;  // how the searches tell chosen_ among the keyboards present
    bool awaitingUploadMode_ = false;  // the upload's replug wait
    bool followOnly_ = false;  // the scans of an upload or a row choice: the chosen keyboard only
};

}  // namespace window
