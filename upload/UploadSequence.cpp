#include "upload/UploadSequence.h"

#include <algorithm>
#include <array>

#include "upload/Commands.h"
#include "upload/UploadText.h"

namespace upload {
namespace {

constexpr std::uint8_t WriteBlockArgument = 0x80;  // 128 data bytes follow
constexpr std::uint8_t FinishArgument = 0x01;

// Closes the device however the sequence is left, an exception from the view included.
struct CloseOnExit {
    usbio::DeviceConnection& connection;
    ~CloseOnExit() { usbio::CloseDevice(connection); }
};

// Gives up before anything reaches the keyboard.
UploadOutcome Refuse(usbio::DeviceConnection& connection, UploadView& view, UploadOutcome outcome,
                     const std::string& text, MessageStyle style, const std::string& title, bool busy) {
    view.ShowMessage(text, style, title);
    usbio::CloseDevice(connection);
    view.SetStatusText(text::UploadFailed);
    if (busy) view.SetBusyPointer(false);
    outcome.result = UploadOutcome::Result::Refused;
    outcome.message = text;
    return outcome;
}

// The upload of a checked image, the busy pointer already on.
UploadOutcome SendImage(usbio::DeviceConnection& connection, const FirmwareImage& image,
                        const FirmwareCheck& check, UploadView& view, bool NewFirmware) {
    UploadOutcome outcome;
    outcome.startAddress = check.startAddress;
    outcome.endAddress = check.endAddress;
    outcome.bytesBelowStart = check.bytesBelowStart;
    if (!check.ok) return Refuse(connection, view, outcome, check.message, check.style, check.title, true);
    const std::int32_t start = check.startAddress;
    const std::int64_t totalBytes = static_cast<std::int64_t>(check.blocks) * BlockSize;
    if (start < 0 || check.blocks <= 0 || static_cast<std::int64_t>(image.size()) < start + totalBytes)
        return Refuse(connection, view, outcome, "The firmware image does not hold the blocks its check counted.",
                      MessageStyle::Warning, "", true);

    std::int32_t status = SendStartAddress(connection, static_cast<std::uint32_t>(start));
    // Another program is writing to the keyboard: nothing was sent.
    if (status != CommandOK && connection.WriteBusy)
        return Refuse(connection, view, outcome, usbio::KeyboardBusyText(connection.BusyHolderPid),
                      MessageStyle::Warning, "", true);
    view.SetProgress(0, totalBytes);

    // Byte 128 stays 0: it is part of the report but carries no image data.
    std::array<std::uint8_t, PayloadLength> blockBuffer{};
    bool stopped = false;
    if (status == CommandOK) {
        for (int block = 0; block < check.blocks; ++block) {
            const std::int64_t a = start + static_cast<std::int64_t>(block) * BlockSize;
            std::copy_n(image.begin() + a, BlockSize, blockBuffer.begin());
            // Each exchange runs to its end before the view is asked again, so a stop always
            // falls between two blocks.
            if (view.StopRequested()) {
                stopped = true;
                break;
            }
            view.PumpEvents();
            status = SendCommand(connection, CmdWriteBlock, WriteBlockArgument, blockBuffer);
            view.PumpEvents();
            if (status != CommandOK) break;
            ++outcome.blocksSent;
            view.SetProgress(static_cast<std::int64_t>(outcome.blocksSent) * BlockSize, totalBytes);
        }
        if (status == CommandOK && !stopped) {
            // The finish report repeats the last block. Keyboards that restart at once never
            // answer it, so its result does not count.
            SendCommand(connection, CmdFinish, FinishArgument, blockBuffer);
            status = CommandOK;
        }
    }

    // After a whole upload the keyboard restarts; it stays held for writing until it has had
    // time to leave the bus, so that no other program takes it in firmware-upload mode meanwhile.
    const bool sent = status == CommandOK && !stopped;
    if (!sent) usbio::CloseDevice(connection);

    if (stopped) {
        outcome.result = UploadOutcome::Result::Stopped;
        view.SetStatusText(text::UploadFailed);
    } else if (status != CommandOK) {
        outcome.result = UploadOutcome::Result::CommandFailed;
        outcome.fault = connection.LastFault;
        view.SetStatusText(text::UploadFailed);
    } else {
        outcome.result = UploadOutcome::Result::Success;
        if (!NewFirmware) view.ShowMessage(text::Uploaded, MessageStyle::Information, "");
        view.SetStatusText(text::PleaseWait);
        view.Sleep(3000);
        usbio::CloseDevice(connection);
        view.RequestRescan();
        view.SetStatusText(text::UploadedRescanning);
        view.Sleep(1000);
        view.SetPendingStatusText(text::FirmwareUpdated);
    }

    view.SetBusyPointer(false);
    return outcome;
}

}  // namespace

UploadOutcome UploadFirmware(usbio::DeviceConnection& connection, FirmwareImage& image,
                             UploadView& view, const std::string& firmwarePath,
                             const std::string& startAddressText, bool NewFirmware) {
    CloseOnExit closer{connection};
    std::string problem;
    if (!IsValidStartAddressText(startAddressText, &problem))
        return Refuse(connection, view, {}, problem, MessageStyle::Warning, "", false);

    view.SetBusyPointer(true);
    ImageReadHooks hooks;
    hooks.PumpEvents = [&view] { view.PumpEvents(); };
    hooks.SetStatusText = [&view](const std::string& text) { view.SetStatusText(text); };
    const FirmwareCheck check = CheckFirmware(firmwarePath, startAddressText, image, hooks);
    return SendImage(connection, image, check, view, NewFirmware);
}

UploadOutcome UploadFirmware(usbio::DeviceConnection& connection, const FirmwareImage& image,
                             const FirmwareCheck& check, UploadView& view, bool NewFirmware) {
    CloseOnExit closer{connection};
    view.SetBusyPointer(true);
    return SendImage(connection, image, check, view, NewFirmware);
}

}  // namespace upload
