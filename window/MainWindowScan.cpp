// The window's scans and what they show: the two searches for the chosen keyboard, the device
// list with a row for each keyboard, and the open keyboard's version and mode.
#include <algorithm>

#include "common/FirmwareVersion.h"
#include "upload/Commands.h"
#include "window/MainWindow.h"
#include "window/MainWindowParts.h"
#include "window/WindowText.h"

namespace window {

using upload::MessageStyle;

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
            Message(kestrune::Tr(options_.grantReturnedKeyboard ? text::WebDeviceNotFound : text::DeviceNotFound) +
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
                                    Printable(version), kestrune::Tr(ModeTextOf(other.MatchedPID)), PortText(identity)}}});
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
                        Printable(firmwareVersion_), kestrune::Tr(modeText_.c_str()), PortText(shown.Identity)};
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
}  // namespace window
