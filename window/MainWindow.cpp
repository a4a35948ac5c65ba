#include "window/MainWindow.h"

#include <algorithm>

#include "Version.h"
#include "window/MainWindowParts.h"
#include "window/WindowText.h"

namespace window {
namespace {

using upload::MessageStyle;

constexpr int DeviceRescanIntervalMs = 1000;
constexpr int ScanDelayMs = 10;

// The window's texts are kept in English and shown in the user's language; a status that ends with
// the note on firmware-upload mode is shown as its two parts.
std::string Shown(const std::string& english) {
    const std::string_view note = text::UploadModeNote;
    if (english.size() > note.size() && english.ends_with(note))
        return kestrune::Tr(english.substr(0, english.size() - note.size()).c_str()) + kestrune::Tr(text::UploadModeNote);
    return kestrune::Tr(english.c_str());
}

}  // namespace

std::string WindowCaption(const std::string& title, int major, int minor, int revision) {
    return title + " V" + std::to_string(major) + "." + std::to_string(minor) + "R" +
           std::to_string(revision);
}

std::vector<FileFilter> FirmwareFileFilters() {
    return {{kestrune::Tr(text::FirmwareFilesFilter), {"*.hex", "*.bin", "*.dat"}}, {kestrune::Tr(text::AllFilesFilter), {"*"}}};
}

MainWindow::MainWindow(usbio::DeviceConnection& connection, MainWindowView& view,
                       WindowServices& services, WindowOptions options)
    : connection_(connection), view_(view), services_(services), options_(options) {
    image_.assign(upload::ImageSize, 0);
}

// The services outlive the window: a timer still armed must not call a window that is gone.
MainWindow::~MainWindow() { services_.StopTimer(); }

std::string MainWindow::SettingsScope() const {
    // The demo remembers its own file: a demo file never shows up in the real program.
    return options_.demo ? text::DemoSettingsScope : kestrune::ApplicationTitle;
}

void MainWindow::Start() {
    std::string caption = WindowCaption(kestrune::ApplicationTitle, kestrune::VersionMajor,
                                        kestrune::VersionMinor, kestrune::VersionRevision);
    if (options_.demo) caption += kestrune::Tr(text::DemoSuffix);
    view_.SetCaption(caption);
    view_.SetDeviceRows({}, std::nullopt);
    view_.SetStartAddressText(upload::DefaultStartAddress);
    view_.SetButtonEnabled(Button::Upload, false);
    if (options_.demo) SetStatusText(std::string(kestrune::ApplicationTitle) + kestrune::Tr(text::DemoSuffix));
    view_.SetFirmwareFileText(services_.ReadSetting(SettingsScope(), text::SettingsSection,
                                                    text::SettingsKey));
    // A control that draws its focus has it from the first paint: Refresh, the command a user
    // needs first when no keyboard is found (the empty list would show none).
    view_.FocusButton(Button::Refresh);
    ArmTimer(!options_.quietStartupScan);
}

void MainWindow::ArmTimer(bool userAsked) {
    timerArmed_ = true;
    scanUserAsked_ = scanUserAsked_ || userAsked;
    services_.StartTimer(ScanDelayMs, [this] { OnTimer(); });
}

void MainWindow::SetStatusText(const std::string& text) {
    statusText_ = text;
    // Once the user has asked to close, the status says so until the window closes; to keep the
    // keyboard plugged in only while blocks go out.
    if (closeRequested_)
        view_.SetStatusText(kestrune::Tr(sending_ ? text::ClosesWhenDone : text::Closing));
    else
        view_.SetStatusText(Shown(text));
}

upload::MessageAnswer MainWindow::Message(const std::string& text, MessageStyle style,
                                          const std::string& title) {
    std::string shownTitle = title.empty() ? std::string(kestrune::ApplicationTitle) : Shown(title);
    if (options_.demo) shownTitle += kestrune::Tr(text::DemoSuffix);
    return services_.ShowMessage(Shown(text), style, shownTitle);
}

void MainWindow::BeginBusy() {
    if (busyDepth_++ > 0) return;
    // A scan still waiting runs once the command has ended: a device rescan keeps its limit.
    rescanRequested_ = timerArmed_ && scanUserAsked_;
    heldDeviceRescan_ = timerArmed_ && !scanUserAsked_;
    timerArmed_ = false;
    services_.StopTimer();
    // The focus waits off the buttons and comes back to the one that had it. A command started
    // from a field (by its button's Alt+letter) takes it off the field too: it ends on its button.
    if (const auto focused = view_.FocusedButton()) {
        focusBack_ = focused;
        view_.ParkFocus();
    } else if (focusAfter_) {
        view_.ParkFocus();
    }
    for (Button b : {Button::Refresh, Button::Upload, Button::Exit, Button::SelectFile})
        view_.SetButtonEnabled(b, false);
}

void MainWindow::EndBusy() {
    if (--busyDepth_ > 0) return;
    // The scan the command asked for (Refresh's, an upload's rescan) is its last step: the buttons
    // stay off, and the focus waits, until it has run. A close asked for meanwhile waits for it
    // too: it is the scan that tells whether the update took.
    if (holdForRescan_ && rescanRequested_) {
        rescanRequested_ = holdForRescan_ = heldDeviceRescan_ = deviceChanged_ = false;
        lastStepArmed_ = true;
        ArmTimer();
        return;
    }
    holdForRescan_ = false;
    // A window about to close turns nothing on again.
    if (closeRequested_) {
        view_.Close();
        return;
    }
    view_.SetButtonEnabled(Button::Refresh, true);
    view_.SetButtonEnabled(Button::Upload, uploadEnabled_);
    view_.SetButtonEnabled(Button::Exit, true);
    view_.SetButtonEnabled(Button::SelectFile, true);
    if (const auto back = focusAfter_ ? focusAfter_ : focusBack_) {
        // The focus goes back to the button that started the command, or had it when a scan
        // started (Refresh when that one is now off).
        view_.FocusButton(*back == Button::Upload && !uploadEnabled_ ? Button::Refresh : *back);
    }
    focusAfter_.reset();
    focusBack_.reset();
    // A device that came or went during the command is looked at now only when the last scan
    // found no keyboard: after an upload, its own re-enumeration must not replace the outcome the
    // status bar shows.
    if (rescanRequested_)
        ArmTimer();
    else if (heldDeviceRescan_ || (deviceChanged_ && scanState_ == ScanState::NotFound))
        ArmDeviceRescan();
    rescanRequested_ = false;
    heldDeviceRescan_ = false;
    deviceChanged_ = false;
}

void MainWindow::SetUploadEnabled(bool enabled) {
    uploadEnabled_ = enabled;
    // While a command runs the button stays off; it takes this state when the command ends.
    if (!IsBusy()) view_.SetButtonEnabled(Button::Upload, enabled);
}

usbio::DiscoveryHooks MainWindow::Hooks() {
    usbio::DiscoveryHooks hooks;
    hooks.Pause = [this](float ms) { services_.Pause(static_cast<int>(ms)); };
    hooks.ProgramFolder = PathOf(services_.ProgramFolder());
    hooks.ShowTableError = [this](const std::string& text) { Message(text, MessageStyle::Warning); };
    // Interfaces whose IDs show they cannot be the keyboard are passed over unopened.
    hooks.SkipByPeek = true;
    return hooks;
}

// ---- Events ----

void MainWindow::OnTimer() {
    timerArmed_ = false;
    if (IsBusy()) return;
    lastStepArmed_ = false;
    BusyScope busy(*this);
    const bool userAsked = scanUserAsked_;
    scanUserAsked_ = false;
    ScanAndShow(userAsked);
}

void MainWindow::ScanAndShow(bool userAsked) {
    try {
        ScanDevice(userAsked);
        ShowDeviceInfo();
    } catch (const std::exception& e) {
        view_.SetBusyPointer(false);
        Message(kestrune::Tr(text::ScanErrorPrefix) + e.what(), MessageStyle::Warning);
    }
    lastScanEndMs_ = services_.NowMs();
}

void MainWindow::OnRowSelected(std::size_t index) {
    if (index >= listed_.size() || index == SelectedRow()) return;
    if (listed_.size() < 2) return;
    // While a command runs, the keyboard it works on stays the selected one.
    if (IsBusy()) {
        ShowRows();
        return;
    }
    Choose(listed_[index].keyboard);
    pendingStatus_.clear();  // it told of the keyboard chosen before
    BusyScope busy(*this);
    FollowScope follow(*this);
    ScanAndShow(false);
}

void MainWindow::OnButton(Button button) {
    if (IsBusy()) return;
    focusAfter_ = button;
    // The bar shows how the last upload went until the next command starts.
    if (button != Button::Exit) view_.SetProgress(0, progressTotal_);
    switch (button) {
        case Button::Refresh: {
            // The buttons go off at once, not only once the scan starts.
            BusyScope busy(*this);
            scanUserAsked_ = rescanRequested_ = holdForRescan_ = true;
            break;
        }
        case Button::Upload:
            StartUpload();
            break;
        case Button::Exit:
            focusAfter_.reset();
            view_.Close();
            break;
        case Button::SelectFile:
            SelectFirmwareFile();
            break;
    }
}

void MainWindow::OnKeyDown(Key key, KeyModifiers modifiers) {
    if (key == Key::Escape && !modifiers.shift && !modifiers.control && !modifiers.alt) {
        OnButton(Button::Exit);  // does nothing while a command runs
        return;
    }
    if (key == Key::F1 && modifiers.control && !modifiers.shift && !modifiers.alt) {
        startAddressShown_ = true;
        view_.ShowStartAddress();
        view_.FocusStartAddress();
    }
}

void MainWindow::OnFileDropped(const std::string& path) {
    if (IsBusy() || !FileExists(path)) return;
    TakeFile(path);
}

void MainWindow::OnDeviceArrivedOrLeft() {
    if (IsBusy()) {
        deviceChanged_ = true;
        return;
    }
    if (timerArmed_) return;
    ArmDeviceRescan();
}

void MainWindow::ArmDeviceRescan() {
    // At most one scan a second: a device that re-enumerates sends a burst of events.
    const std::int64_t wait = std::max<std::int64_t>(
        ScanDelayMs, lastScanEndMs_ + DeviceRescanIntervalMs - services_.NowMs());
    timerArmed_ = true;
    services_.StartTimer(static_cast<int>(wait), [this] { OnTimer(); });
}

bool MainWindow::OnCloseRequested() {
    // Ending the program in the middle of an upload would leave the keyboard half-written.
    // Nor before the scan that ends a command has run.
    if (!IsBusy() && !lastStepArmed_) return true;
    closeRequested_ = true;
    SetStatusText(statusText_);
    return false;
}

// ---- Commands ----

std::string MainWindow::DialogFolder() const {
    const std::string programFolder = services_.ProgramFolder();
    return FolderHoldsFirmware(programFolder) ? programFolder : services_.DownloadsFolder();
}

void MainWindow::TakeFile(const std::string& path) {
    view_.SetFirmwareFileText(path);
    // What the field holds now is remembered (a page shows and keeps a file by its name).
    services_.WriteSetting(SettingsScope(), text::SettingsSection, text::SettingsKey,
                           view_.FirmwareFileText());
    // The status told how the last upload went, or why the file before was refused: it says again
    // what the last scan found.
    if (scanState_ == ScanState::Found)
        SetStatusText(std::string(text::DeviceFound) + (modeText_ == text::UploadMode ? text::UploadModeNote : ""));
    else if (scanState_ == ScanState::NotFound)
        SetStatusText(text::DeviceNotFoundStatus);
}

void MainWindow::SelectFirmwareFile() {
    BusyScope busy(*this);
    const std::string current = view_.FirmwareFileText();
    OpenFileRequest request{kestrune::Tr(text::SelectFileTitle), {}, {}, FirmwareFileFilters()};
    const std::string sample = options_.demo ? SampleFirmwareFor(services_.ProgramFolder()) : std::string();
    if (FileExists(current)) {
        request.folder = Utf8Of(PathOf(current).parent_path());
        request.fileName = current;
    } else if (!sample.empty()) {
        // The demo offers its sample first: a first update needs no file of one's own.
        request.folder = Utf8Of(PathOf(sample).parent_path());
        request.fileName = sample;
    } else {
        request.folder = DialogFolder();
    }
    if (const auto chosen = services_.OpenFile(request)) TakeFile(*chosen);
}

}  // namespace window
