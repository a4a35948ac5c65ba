// The Upload Firmware flow: the file read and checked once, the switch to firmware-upload mode
// with its replug wait, the upload itself and the rescan that tells how it ended.
#include <array>

#include "common/FirmwareVersion.h"
#include "upload/Commands.h"
#include "window/MainWindow.h"
#include "window/MainWindowParts.h"
#include "window/WindowText.h"

namespace window {
namespace {

using upload::MessageStyle;

constexpr int ExtractingRefreshMs = 50;

}  // namespace

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
            std::string status = kestrune::Fill(kestrune::Tr("Uploading from %s."), {HexAddress(w_.uploadStart_)}) + " " +
                                 kestrune::Tr(text::KeepPluggedIn);
            if (bytesBelowStart_ > 0)
                status += " " + kestrune::Fill(kestrune::Tr("%s bytes below it are not sent."),
                                               {upload::GroupedNumber(bytesBelowStart_)});
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
                SetStatusText(text::KeyboardBusyStatus);
                Message(usbio::KeyboardBusyText(connection_.BusyHolderPid), MessageStyle::Warning);
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
