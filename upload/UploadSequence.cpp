#include "upload/UploadSequence.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <vector>

#include "common/NumberText.h"
#include "common/PrintableText.h"
#include "upload/Commands.h"

namespace upload {
namespace {

constexpr char FailedStatus[] = "Firmware uploaded Failed";
constexpr char SuccessMessage[] =
    "The selected firmware file is successfully uploaded to keyboard.\r\n\r\n"
    "Please plug out the USB cable and plug in again to restart the keyboard.";

// Title code for a load that failed with something other than a FirmwareError.
constexpr int UnexpectedLoadErrorCode = 99;

constexpr std::uint8_t WriteBlockArgument = 0x80;  // 128 data bytes follow
constexpr std::uint8_t FinishArgument = 0x01;

bool IsStartAddressBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

std::string Hex(std::int64_t value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%04llX", static_cast<long long>(value));
    return buffer;
}

// The file name as the user knows it: the last part of the path, its control characters escaped.
std::string DisplayName(const std::string& path) {
    const auto slash = path.find_last_of("/\\");
    return kestrune::PrintableText(slash == std::string::npos ? path : path.substr(slash + 1));
}

// Closes the device however the sequence is left, an exception from the view included.
struct CloseOnExit {
    usbio::DeviceConnection& connection;
    ~CloseOnExit() { usbio::CloseDevice(connection); }
};

// Why the loaded image cannot be sent, or empty when it can.
std::string NothingToSendReason(const std::string& path, const FirmwareImage& image,
                                std::int32_t start, std::int32_t end) {
    const std::string name = DisplayName(path);
    if (FirmwareKindOfPath(path) == FirmwareKind::Unknown)
        return "The file " + name + " is not a firmware file: choose a .hex, .bin or .dat file.";
    // The end is one past the last file byte: at or below the start nothing would be sent but
    // the zeros of the image.
    if (end <= start)
        return "The file " + name + " holds no data at or above the start address " + Hex(start) + ".";
    // Blocks go out at start, start + 128, ... as long as they begin at or before the end; the
    // last one must still lie wholly inside the image.
    const std::int64_t lastBlock =
        start + (static_cast<std::int64_t>(end) - start) / static_cast<std::int64_t>(BlockSize) *
                    static_cast<std::int64_t>(BlockSize);
    const std::int64_t lastByte = lastBlock + static_cast<std::int64_t>(BlockSize) - 1;
    const auto limit = static_cast<std::int64_t>(std::min(image.size(), ImageSize));
    if (lastByte >= limit)
        return "The data in " + name + " from the start address " + Hex(start) +
               " needs a last block at " + Hex(lastBlock) + ".." + Hex(lastByte) +
               ", past the last firmware address " + std::to_string(LastImageAddress) + ".";
    return {};
}

}  // namespace

bool IsValidStartAddressText(const std::string& text, std::string* problem) {
    std::string digits;
    for (char c : text)
        if (!IsStartAddressBlank(c)) digits.push_back(c);
    const bool valid = !digits.empty() && digits.size() <= 4 &&
                       std::all_of(digits.begin(), digits.end(), IsHexDigit);
    if (!valid && problem != nullptr)
        *problem = "The start address \"" + text +
                   "\" is not valid: type one to four hexadecimal digits, for example " +
                   DefaultStartAddress + ".";
    return valid;
}

FirmwareCheck CheckFirmware(const std::string& firmwarePath, const std::string& startAddressText,
                            FirmwareImage& image, const ImageReadHooks& hooks) {
    FirmwareCheck check;
    if (!IsValidStartAddressText(startAddressText, &check.message)) return check;
    const auto start = static_cast<std::int32_t>(kestrune::HexTextValue(startAddressText));
    check.startAddress = start;
    // HEX data below the start address, address by address (records may overlap).
    std::vector<bool> below(static_cast<std::size_t>(start), false);
    ImageReadHooks counting = hooks;
    counting.DataRecord = [&below, &hooks](std::uint64_t address, std::size_t count) {
        for (std::uint64_t a = address; a < address + count && a < below.size(); ++a)
            below[static_cast<std::size_t>(a)] = true;
        if (hooks.DataRecord) hooks.DataRecord(address, count);
    };
    try {
        check.endAddress = LoadFirmwareImage(firmwarePath, start, image, counting);
    } catch (const FirmwareError& e) {
        check.message = e.what();
        check.style = MessageStyle::Plain;
        check.errorCode = e.Code();
        check.title = std::to_string(e.Code());
        return check;
    } catch (const std::exception& e) {
        check.message = std::string("Reading the firmware file ") + kestrune::PrintableText(firmwarePath) + " failed: " + e.what();
        check.style = MessageStyle::Plain;
        check.errorCode = UnexpectedLoadErrorCode;
        check.title = std::to_string(UnexpectedLoadErrorCode);
        return check;
    }
    check.message = NothingToSendReason(firmwarePath, image, start, check.endAddress);
    if (!check.message.empty()) return check;
    check.blocks = static_cast<int>((check.endAddress - start) / static_cast<std::int32_t>(BlockSize)) + 1;
    // A BIN or DAT file holds every address from 0 up to its length.
    check.bytesBelowStart = FirmwareKindOfPath(firmwarePath) == FirmwareKind::Hex
                                ? std::count(below.begin(), below.end(), true)
                                : std::min(start, check.endAddress);
    check.ok = true;
    return check;
}

std::string GroupedNumber(std::int64_t value) {
    const std::string digits = std::to_string(value < 0 ? -value : value);
    std::string out = value < 0 ? "-" : "";
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
        out.push_back(digits[i]);
    }
    return out;
}

std::string NotSentBelowStartText(const FirmwareCheck& check) {
    if (check.bytesBelowStart <= 0) return {};
    return "Not sent: " + GroupedNumber(check.bytesBelowStart) +
           (check.bytesBelowStart == 1 ? " byte" : " bytes") + " below the start address " +
           Hex(check.startAddress);
}

namespace {

// Gives up before anything reaches the keyboard.
UploadOutcome Refuse(usbio::DeviceConnection& connection, UploadView& view, UploadOutcome outcome,
                     const std::string& text, MessageStyle style, const std::string& title, bool busy) {
    view.ShowMessage(text, style, title);
    usbio::CloseDevice(connection);
    view.SetStatusText(FailedStatus);
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
        view.SetStatusText(FailedStatus);
    } else if (status != CommandOK) {
        outcome.result = UploadOutcome::Result::CommandFailed;
        view.SetStatusText(FailedStatus);
    } else {
        outcome.result = UploadOutcome::Result::Success;
        if (!NewFirmware) view.ShowMessage(SuccessMessage, MessageStyle::Information, "");
        view.SetStatusText("Please wait...");
        view.Sleep(3000);
        usbio::CloseDevice(connection);
        view.RequestRescan();
        view.SetStatusText("Firmware uploaded OK. Rescanning device...");
        view.Sleep(1000);
        view.SetPendingStatusText("Firmware updated.");
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
