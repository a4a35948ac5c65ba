#include "window/MainWindow.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "Version.h"
#include "common/FirmwareVersion.h"
#include "upload/Commands.h"
#include "window/WindowText.h"

namespace window {
namespace {

using upload::MessageStyle;

// Paths are UTF-8 text on every platform; std::filesystem takes them as such only through u8.
std::filesystem::path PathOf(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8Of(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

bool IsFirmwareName(const std::filesystem::path& path) {
    std::string ext = Utf8Of(path.extension());
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == ".hex" || ext == ".bin" || ext == ".dat";
}

bool FolderHoldsFirmware(const std::string& folder) {
    std::error_code error;
    for (std::filesystem::directory_iterator it(PathOf(folder), error), end; !error && it != end;
         it.increment(error))
        if (it->is_regular_file(error) && IsFirmwareName(it->path())) return true;
    return false;
}

// A file the user names: anything that exists and is not a folder (the reader says what is wrong
// with a file it cannot read).
bool FileExists(const std::string& path) {
    if (path.empty()) return false;
    std::error_code error;
    const auto status = std::filesystem::status(PathOf(path), error);
    return !error && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

// Text from the keyboard, fit for the screen: control characters become '?'.
std::string Printable(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return out;
}

std::string HexAddress(std::int32_t address) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%04X", static_cast<unsigned>(address));
    return buffer;
}

// The status for an upload given up before anything was sent: that the keyboard is as it was,
// first, so that a status bar too narrow for the problem still shows it; then the problem.
std::string RefusedStatus(const std::string& problem) {
    std::string status = Printable(problem);
    if (!status.empty() && status.back() != '.') status += '.';
    return text::NothingWritten + std::string(status.empty() ? "" : " ") + status;
}

// The port column's text: the port path, or the serial number where the port cannot be told.
std::string PortText(const usbio::DeviceIdentity& identity) {
    if (!identity.PortPath.empty()) return Printable(identity.PortPath);
    if (!identity.Serial.empty()) return "serial " + Printable(identity.Serial);
    return text::PortUnknown;
}

std::string ModeTextOf(std::int32_t matchedPid) {
    return matchedPid == usbio::UploadModePID ? text::UploadMode : text::NormalMode;
}

constexpr int ExtractingRefreshMs = 50;
constexpr int DeviceRescanIntervalMs = 1000;
constexpr int ScanDelayMs = 10;

}  // namespace

std::string WindowCaption(const std::string& title, int major, int minor, int revision) {
    return title + " V" + std::to_string(major) + "." + std::to_string(minor) + "R" +
           std::to_string(revision);
}

std::vector<FileFilter> FirmwareFileFilters() {
    return {{text::FirmwareFilesFilter, {"*.hex", "*.bin", "*.dat"}}, {text::AllFilesFilter, {"*"}}};
}

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

// The upload sequence's view of the window.
class MainWindow::UploadViewAdapter final : public upload::UploadView {
public:
    UploadViewAdapter(MainWindow& window, std::int64_t bytesBelowStart)
        : w_(window), bytesBelowStart_(bytesBelowStart) {}

    void SetStatusText(const std::string& text) override {
        if (finished_) w_.sending_ = false;
        // Once the keyboard has been told to replug, the status keeps saying so until the rescan
        // tells what came back.
        const bool waiting = text == text::UploadedRescanning || text == text::PleaseWait;
        w_.SetStatusText(replugAsked_ && waiting ? std::string(text::UploadedReplug) : text);
    }
    void SetBusyPointer(bool busy) override { w_.view_.SetBusyPointer(busy); }
    void SetProgress(std::int64_t done, std::int64_t total) override {
        if (!announced_) {
            // Sending starts now: say from where, that the cable must stay, and what is left out
            // (last: a narrow status bar cuts it first).
            announced_ = true;
            w_.sending_ = true;
            std::string status = "Uploading from " + HexAddress(w_.uploadStart_) + ". " + text::KeepPluggedIn;
            if (bytesBelowStart_ > 0)
                status += " " + upload::GroupedNumber(bytesBelowStart_) + " bytes below it are not sent.";
            w_.SetStatusText(status);
        }
        w_.progressTotal_ = total;
        finished_ = done == total;  // the finish goes out next
        w_.view_.SetProgress(done, total);
    }
    upload::MessageAnswer ShowMessage(const std::string& text, MessageStyle style,
                                      const std::string& title) override {
        // The finish is sent: the status tells what the box tells, never to keep the cable in.
        if (text == text::Uploaded) {
            w_.sending_ = false;
            // The demo's simulated keyboard restarts by itself.
            if (w_.options_.demo) {
                w_.SetStatusText(text::DemoUploadedStatus);
                return w_.Message(text::DemoUploaded, style, title);
            }
            replugAsked_ = true;
            w_.SetStatusText(text::UploadedReplug);
            const upload::MessageAnswer answer =
                w_.Message(w_.options_.grantReturnedKeyboard ? text::WebUploadedReplug : text, style, title);
            if (w_.options_.grantReturnedKeyboard) w_.services_.AskForReturnedKeyboard();
            return answer;
        }
        return w_.Message(text, style, title);
    }
    void PumpEvents() override { w_.services_.PumpEvents(); }
    void Sleep(int ms) override { w_.services_.Sleep(ms); }
    void RequestRescan() override {
        // A browser sees the restarted keyboard only once the user has granted it (asked at the
        // replug box when there was one).
        if (w_.options_.grantReturnedKeyboard && !replugAsked_) {
            w_.Message(text::GrantRestartedKeyboard, MessageStyle::Information, text::RestartTitle);
            w_.services_.AskForReturnedKeyboard();
        }
        // While a command runs the timer is held off; the rescan starts when the command ends.
        if (w_.IsBusy())
            w_.rescanRequested_ = w_.holdForRescan_ = true;
        else
            w_.ArmTimer();
    }
    void SetPendingStatusText(const std::string& text) override { w_.pendingStatus_ = text; }

private:
    MainWindow& w_;
    std::int64_t bytesBelowStart_;
    bool announced_ = false;
    bool replugAsked_ = false;
    bool finished_ = false;
};

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
    if (options_.demo) caption += text::DemoSuffix;
    view_.SetCaption(caption);
    view_.SetDeviceRows({}, std::nullopt);
    view_.SetStartAddressText(upload::DefaultStartAddress);
    view_.SetButtonEnabled(Button::Upload, false);
    if (options_.demo) SetStatusText(std::string(kestrune::ApplicationTitle) + text::DemoSuffix);
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
        view_.SetStatusText(sending_ ? text::ClosesWhenDone : text::Closing);
    else
        view_.SetStatusText(text);
}

upload::MessageAnswer MainWindow::Message(const std::string& text, MessageStyle style,
                                          const std::string& title) {
    std::string shownTitle = title.empty() ? std::string(kestrune::ApplicationTitle) : title;
    if (options_.demo) shownTitle += text::DemoSuffix;
    return services_.ShowMessage(text, style, shownTitle);
}

void MainWindow::BeginBusy() {
    if (busyDepth_++ > 0) return;
    // A scan still waiting runs once the command has ended: a device rescan keeps its limit.
    rescanRequested_ = timerArmed_ && scanUserAsked_;
    heldDeviceRescan_ = timerArmed_ && !scanUserAsked_;
    timerArmed_ = false;
    services_.StopTimer();
    // The focus waits off the buttons and comes back to the one that had it.
    if (const auto focused = view_.FocusedButton()) {
        focusBack_ = focused;
        view_.ParkFocus();
    }
    for (Button b : {Button::Refresh, Button::Upload, Button::Exit, Button::SelectFile})
        view_.SetButtonEnabled(b, false);
}

void MainWindow::EndBusy() {
    if (--busyDepth_ > 0) return;
    // The scan the command asked for (Refresh's, an upload's rescan) is its last step: the buttons
    // stay off, and the focus waits, until it has run.
    if (holdForRescan_ && rescanRequested_ && !closeRequested_) {
        rescanRequested_ = holdForRescan_ = heldDeviceRescan_ = deviceChanged_ = false;
        ArmTimer();
        return;
    }
    holdForRescan_ = false;
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
    if (closeRequested_) {
        view_.Close();
        return;
    }
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
        Message(std::string(text::ScanErrorPrefix) + e.what(), MessageStyle::Warning);
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
    if (!IsBusy()) return true;
    closeRequested_ = true;
    SetStatusText(statusText_);
    return false;
}

// ---- Scan and display ----

void MainWindow::ScanDevice(bool announceMissing) {
    BusyScope busy(*this);
    view_.SetBusyPointer(true);
    // The demo's first status, that it is a demo, stays until the first scan ends.
    if (!options_.demo || scanState_ != ScanState::None) SetStatusText(text::Scanning);
    scanState_ = ScanState::Scanning;
    usbio::InitDeviceIO(connection_);
    open_.reset();

    usbio::DiscoveryReport report;
    Search(true, report);
    // The chosen keyboard is not attached. An upload's scans, and the rescans that wait for the
    // keyboard an upload has just updated, keep waiting for it; any other scan, and Refresh
    // always, takes the first keyboard found, as with one keyboard.
    if (!connection_.IsOpen() && chosen_ && !followOnly_ && (pendingStatus_.empty() || announceMissing)) {
        report = {};
        Search(false, report);
        if (connection_.IsOpen()) {
            chosen_.reset();
            pendingStatus_.clear();  // it told of the keyboard that is gone
        }
    }
    if (!followOnly_) ListKeyboards();

    if (!connection_.IsOpen() || !connection_.LastErrorText.empty() ||
        connection_.DeviceCaps.FeatureReportByteLength == 0) {
        const bool closed = !connection_.IsOpen();
        const std::string hint = closed ? usbio::AccessProblemHint(report) : std::string();
        if (announceMissing)
            Message(std::string(options_.grantReturnedKeyboard ? text::WebDeviceNotFound : text::DeviceNotFound) +
                        (hint.empty() ? "" : "\r\n\r\n" + hint),
                    MessageStyle::Warning);
        SetStatusText(text::DeviceNotFoundStatus);
        if (closed) scanState_ = ScanState::NotFound;
        view_.SetBusyPointer(false);
        SetUploadEnabled(false);
        return;
    }
    SetStatusText(pendingStatus_.empty() ? std::string(text::DeviceFound) : pendingStatus_);
    pendingStatus_.clear();
    scanState_ = ScanState::Found;
    SetUploadEnabled(true);
    view_.SetBusyPointer(false);
}

void MainWindow::Search(bool followChosen, usbio::DiscoveryReport& report) {
    usbio::HidPlatform& platform = *connection_.Platform;
    usbio::DiscoveryHooks hooks = Hooks();
    const bool follow = followChosen && chosen_.has_value();
    if (follow) trail_.Look(usbio::PeekKeyboards(platform, hooks), Expected());
    std::string openedPath;
    hooks.Accept = [&](const std::string& path) {
        if (follow && !trail_.Accepts(path, platform.PeekIdentity(path))) return false;
        openedPath = path;  // a search ends at the interface it opens
        return true;
    };
    connection_.MatchedPID = usbio::NormalModePID;
    usbio::FindDevice(connection_, hooks, &report);
    modeText_ = ModeTextOf(connection_.MatchedPID);
    if (!connection_.IsOpen()) {
        connection_.MatchedPID = usbio::UploadModePID;
        usbio::FindDevice(connection_, hooks, &report);
        modeText_ = text::UploadMode;
    }
    if (!connection_.IsOpen()) return;
    open_ = usbio::FoundKeyboard{openedPath, connection_.DeviceAttributes, connection_.MatchedPID,
                                 connection_.DeviceCaps.FeatureReportByteLength, platform.PeekIdentity(openedPath)};
    if (follow) {
        // The chosen keyboard, perhaps at another port now: its row goes with it.
        const usbio::DeviceIdentity before = chosen_->Identity;
        chosen_->Identity = open_->Identity = trail_.Identity();
        chosen_->Path = openedPath;
        for (ListedKeyboard& k : listed_)
            if (k.keyboard.Identity == before) k.keyboard.Identity = chosen_->Identity;
    }
}

void MainWindow::Choose(const usbio::FoundKeyboard& keyboard) {
    chosen_ = keyboard;
    std::vector<usbio::FoundKeyboard> found;
    for (const ListedKeyboard& k : listed_) found.push_back(k.keyboard);
    trail_ = usbio::FollowedKeyboard(keyboard, found, usbio::PeekKeyboards(*connection_.Platform, Hooks()));
}

usbio::ExpectedMode MainWindow::Expected() const {
    if (awaitingUploadMode_) return usbio::ExpectedMode::Upload;
    return pendingStatus_.empty() ? usbio::ExpectedMode::Either : usbio::ExpectedMode::Normal;
}

void MainWindow::ListKeyboards() {
    // The open keyboard's row is filled in by ShowDeviceInfo.
    listed_.clear();
    if (!open_) return;
    // Further keyboards are looked for only among the interfaces whose IDs, read without opening
    // them, are the keyboard's and whose identity is another's: with one keyboard attached nothing
    // more is opened and nothing more waited for.
    usbio::HidPlatform& platform = *connection_.Platform;
    std::vector<std::string> paths;
    if (!platform.EnumerateInterfaces(paths)) paths.clear();
    const usbio::ProductIdTable table =
        usbio::LoadProductIdTable(usbio::FindProductIdFile(PathOf(services_.ProgramFolder())));
    auto peeksAsKeyboard = [&](const std::string& path) {
        const auto ids = platform.PeekAttributes(path);
        return ids && ids->VendorID == usbio::SupportedVendorID &&
               std::any_of(table.Entries.begin(), table.Entries.end(), [&](std::int32_t entry) {
                   return usbio::ProductIdMatchesEntry(static_cast<std::int16_t>(ids->ProductID), entry);
               });
    };
    const auto openAt = std::find(paths.begin(), paths.end(), open_->Path) - paths.begin();
    std::vector<std::pair<std::ptrdiff_t, ListedKeyboard>> found{{openAt, {*open_, {}}}};
    std::vector<usbio::DeviceIdentity> looked{open_->Identity};
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const usbio::DeviceIdentity identity = platform.PeekIdentity(paths[i]);
        if (std::find(looked.begin(), looked.end(), identity) != looked.end() || !peeksAsKeyboard(paths[i]))
            continue;
        looked.push_back(identity);
        // Another keyboard: its own interfaces only, on a connection of its own, closed again
        // once its version is read.
        usbio::FoundKeyboard other;
        other.Identity = identity;
        usbio::DiscoveryHooks hooks = Hooks();
        hooks.ShowTableError = nullptr;  // the search for the open keyboard has shown them
        hooks.Accept = [&](const std::string& path) {
            if (!usbio::IsSameKeyboard(other, platform.PeekIdentity(path))) return false;
            other.Path = path;
            return true;
        };
        usbio::DeviceConnection connection(platform);
        connection.MatchedPID = usbio::NormalModePID;
        usbio::FindDevice(connection, hooks);
        if (!connection.IsOpen()) continue;
        other.Attributes = connection.DeviceAttributes;
        other.MatchedPID = connection.MatchedPID;
        other.FeatureReportLength = connection.DeviceCaps.FeatureReportByteLength;
        std::string version;
        upload::ReadFirmwareVersion(connection, version);
        usbio::CloseDevice(connection);
        found.push_back({static_cast<std::ptrdiff_t>(i),
                         {other,
                          DeviceRow{std::to_string(usbio::SupportedVendorID), std::to_string(other.MatchedPID),
                                    Printable(version), ModeTextOf(other.MatchedPID), PortText(identity)}}});
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [at, keyboard] : found) listed_.push_back(std::move(keyboard));
    // Several keyboards: the open one, the first found unless one was chosen, is the selected
    // row. One: nothing is chosen, the window works as it always has.
    if (listed_.size() > 1)
        Choose(*open_);
    else
        chosen_.reset();
}

std::optional<std::size_t> MainWindow::SelectedRow() const {
    if (listed_.size() < 2 || !chosen_) return std::nullopt;
    for (std::size_t i = 0; i < listed_.size(); ++i)
        if (usbio::IsSameKeyboard(*chosen_, listed_[i].keyboard.Identity)) return i;
    return std::nullopt;
}

void MainWindow::ShowRows() {
    std::vector<DeviceRow> rows;
    for (const ListedKeyboard& k : listed_) rows.push_back(k.row);
    view_.SetDeviceRows(rows, SelectedRow());
}

bool MainWindow::ShowDeviceInfo() {
    if (!connection_.IsOpen()) {
        // An upload's scans keep the other keyboards' rows while the chosen one is away.
        if (!followOnly_ || listed_.size() < 2) listed_.clear();
        ShowRows();
        return true;
    }
    const bool read = upload::ReadFirmwareVersion(connection_, firmwareVersion_) == upload::CommandOK;
    newFirmware_ = kestrune::IsNewFirmwareVersion(firmwareVersion_);
    const usbio::FoundKeyboard shown = open_.value_or(usbio::FoundKeyboard{});
    const DeviceRow row{std::to_string(usbio::SupportedVendorID), std::to_string(connection_.MatchedPID),
                        Printable(firmwareVersion_), modeText_, PortText(shown.Identity)};
    auto at = std::find_if(listed_.begin(), listed_.end(), [&](const ListedKeyboard& k) {
        return usbio::IsSameKeyboard(k.keyboard, shown.Identity);
    });
    if (at == listed_.end()) {
        if (listed_.size() < 2) listed_.clear();
        listed_.push_back({shown, row});
    } else {
        *at = {shown, row};
    }
    ShowRows();
    if (connection_.MatchedPID == usbio::UploadModePID)
        SetStatusText(statusText_ + text::UploadModeNote);
    return read;
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
}

void MainWindow::SelectFirmwareFile() {
    BusyScope busy(*this);
    const std::string current = view_.FirmwareFileText();
    OpenFileRequest request{text::SelectFileTitle, {}, {}, FirmwareFileFilters()};
    if (FileExists(current)) {
        request.folder = Utf8Of(PathOf(current).parent_path());
        request.fileName = current;
    } else {
        request.folder = DialogFolder();
    }
    if (const auto chosen = services_.OpenFile(request)) TakeFile(*chosen);
}

void MainWindow::RunUpload(const upload::FirmwareCheck& check) {
    UploadViewAdapter adapter(*this, check.bytesBelowStart);
    uploadStart_ = check.startAddress;
    lastUpload_ = upload::UploadFirmware(connection_, image_, check, adapter, newFirmware_);
    sending_ = false;
    // "Firmware uploaded Failed" is for failures while sending; a refusal has sent nothing.
    if (lastUpload_.result == upload::UploadOutcome::Result::Refused)
        SetStatusText(connection_.WriteBusy ? std::string(text::KeyboardBusyStatus)
                                            : RefusedStatus(lastUpload_.message));
}

upload::FirmwareCheck MainWindow::ReadFirmwareFile(const std::string& path,
                                                   const std::string& startAddressText) {
    // The HEX reader reports every line it reads; repainting for each one would cost more than
    // the whole upload. Show the newest line, and let the window repaint, at most every 50 ms.
    bool shown = false;
    std::int64_t shownAt = 0;
    upload::ImageReadHooks hooks;
    hooks.SetStatusText = [&](const std::string& text) {
        const std::int64_t now = services_.NowMs();
        if (shown && now - shownAt < ExtractingRefreshMs) return;
        shown = true;
        shownAt = now;
        SetStatusText(text);
        services_.PumpEvents();
    };
    return upload::CheckFirmware(path, startAddressText, image_, hooks);
}

void MainWindow::StartUpload() {
    BusyScope busy(*this);
    // From the first scan to the last, the upload looks at the keyboard it started with only.
    FollowScope follow(*this);
    const std::string path = view_.FirmwareFileText();
    // Every way out of the flow leaves a status that says how it ended.
    // The status tells how before the box does, never what an earlier step left there.
    if (path.empty()) {
        SetStatusText(text::NoFileChosen);
        Message(text::NoFileChosen, MessageStyle::Warning);
        return;
    }
    if (!FileExists(path)) {
        const std::string missing = "File " + path + " not found.";
        SetStatusText(RefusedStatus(missing));
        Message(missing, MessageStyle::Warning);
        return;
    }
    // The keyboard is not open when an earlier upload ended (or failed): what the last scan saw
    // may be stale, so look again before deciding how to reach it.
    if (!connection_.IsOpen()) {
        ScanDevice();
        if (!connection_.IsOpen()) {  // the scan has said so
            ShowDeviceInfo();
            return;
        }
        // A keyboard that does not answer is not one to switch or write to (the failed read has
        // closed it).
        if (!ShowDeviceInfo()) {
            usbio::CloseDevice(connection_);
            SetStatusText(text::CommunicationFailed);
            Message(text::CommunicationFailed, MessageStyle::Warning);
            return;
        }
    }
    // Nothing is sent to any other keyboard, whatever is plugged in meanwhile.
    if (open_) Choose(*open_);
    const bool direct = connection_.MatchedPID == usbio::UploadModePID;
    // The start address the user can see is the one used, on either path; hidden, the default.
    const std::string startAddressText =
        startAddressShown_ ? view_.StartAddressText() : std::string(upload::DefaultStartAddress);

    // A file that cannot be sent is refused before the keyboard is switched or sent anything.
    // The file is read once, here: the upload sends exactly what was checked.
    const upload::FirmwareCheck check = ReadFirmwareFile(path, startAddressText);
    if (!check.ok) {
        SetStatusText(RefusedStatus(check.message));
        Message(check.message, check.style, check.title);
        return;
    }
    // One program at a time writes to a keyboard.
    if (!usbio::LockForWriting(connection_)) {
        SetStatusText(text::KeyboardBusyStatus);
        Message(usbio::KeyboardBusyText(connection_.BusyHolderPid), MessageStyle::Warning);
        return;
    }
    view_.SetBusyPointer(true);

    // Already in firmware-upload mode: upload at once.
    if (direct) {
        RunUpload(check);
        return;
    }

    SetStatusText(text::Jumping);
    const std::array<std::uint8_t, upload::PayloadLength> zeros{};
    if (upload::SendCommand(connection_, upload::CmdEnterUpload, 0x00, zeros) != 0) {
        SetStatusText(text::PleaseWait);
        services_.Sleep(8000);
        ScanDevice();
        if (connection_.IsOpen() && connection_.MatchedPID == usbio::UploadModePID) {
            // The switch went through after all: never send it to a keyboard already in
            // firmware-upload mode, go on to the upload.
            firmwareVersion_ = "V1.0";
            upload::ReadFirmwareVersion(connection_, firmwareVersion_);
            newFirmware_ = kestrune::IsNewFirmwareVersion(firmwareVersion_);
            RunUpload(check);
            return;
        }
        if (upload::SendCommand(connection_, upload::CmdEnterUpload, 0x00, zeros) != 0) {
            SetStatusText(text::CommunicationFailed);
            Message(text::CommunicationFailed, MessageStyle::Warning);
            view_.SetBusyPointer(false);
            return;
        }
    }

    firmwareVersion_ = "V1.0";
    upload::ReadFirmwareVersion(connection_, firmwareVersion_);
    newFirmware_ = kestrune::IsNewFirmwareVersion(firmwareVersion_);
    if (!newFirmware_)
        Message(options_.demo                    ? text::DemoReplugInstructions
                : options_.grantReturnedKeyboard ? text::WebReplugInstructions
                                                 : text::ReplugInstructions,
                MessageStyle::Information, text::RestartTitle);
    else if (options_.grantReturnedKeyboard)
        Message(text::GrantSwitchedKeyboard, MessageStyle::Information, text::RestartTitle);
    if (options_.grantReturnedKeyboard) services_.AskForReturnedKeyboard();

    for (;;) {
        view_.SetBusyPointer(true);
        services_.PumpEvents();
        SetStatusText(text::PleaseWait);
        services_.Sleep(1000);
        for (int i = 0; i <= 2; ++i) {
            SetStatusText(text::PleaseWait);
            services_.Sleep(3000);
            awaitingUploadMode_ = true;
            ScanDevice();
            awaitingUploadMode_ = false;
            // The keyboard in firmware-upload mode is taken for writing as soon as it is found:
            // no other program gets it in the seconds before the upload.
            if (connection_.IsOpen() && connection_.MatchedPID == usbio::UploadModePID &&
                !usbio::LockForWriting(connection_)) {
                usbio::CloseDevice(connection_);
                Message(usbio::KeyboardBusyText(connection_.BusyHolderPid), MessageStyle::Warning);
                SetStatusText(text::KeyboardBusyStatus);
                view_.SetBusyPointer(false);
                return;
            }
            view_.SetBusyPointer(true);
            services_.Sleep(2000);
            ShowDeviceInfo();
            if (connection_.IsOpen()) break;
        }
        // Upload only to a keyboard that is back, open, in firmware-upload mode.
        if (connection_.IsOpen() && connection_.MatchedPID == usbio::UploadModePID) {
            services_.Sleep(1000);
            RunUpload(check);
            break;
        }
        if (Message(text::RetryPrompt, MessageStyle::WarningOkCancel, text::RetryTitle) ==
            upload::MessageAnswer::Cancel) {
            SetStatusText(text::UploadCancelled);
            break;
        }
        if (options_.grantReturnedKeyboard) services_.AskForReturnedKeyboard();
    }
    view_.SetBusyPointer(false);
}

}  // namespace window
