#include "upload/FirmwareCheck.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <vector>

#include "common/NumberText.h"
#include "common/PrintableText.h"
#include "common/Translate.h"

namespace upload {

using kestrune::Fill;
using kestrune::Tr;
using kestrune::TrN;
namespace {

// Title code for a load that failed with something other than a FirmwareError.
constexpr int UnexpectedLoadErrorCode = 99;

bool IsStartAddressBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

std::string Hex(std::int64_t value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%04llX", static_cast<long long>(value));
    return buffer;
}

// Why the loaded image cannot be sent, or empty when it can.
std::string NothingToSendReason(const std::string& path, const FirmwareImage& image,
                                std::int32_t start, std::int32_t end) {
    const std::string name = FirmwareDisplayName(path);
    if (FirmwareKindOfPath(path) == FirmwareKind::Unknown)
        return Fill(Tr("The file %s is not a firmware file: choose a .hex, .bin or .dat file."), {name});
    // The end is one past the last file byte: at or below the start nothing would be sent but
    // the zeros of the image.
    if (end <= start)
        return Fill(Tr("The file %s holds no data at or above the start address %s."), {name, Hex(start)});
    // Blocks go out at start, start + 128, ... as long as they begin at or before the end; the
    // last one must still lie wholly inside the image.
    const std::int64_t lastBlock =
        start + (static_cast<std::int64_t>(end) - start) / static_cast<std::int64_t>(BlockSize) *
                    static_cast<std::int64_t>(BlockSize);
    const std::int64_t lastByte = lastBlock + static_cast<std::int64_t>(BlockSize) - 1;
    const auto limit = static_cast<std::int64_t>(std::min(image.size(), ImageSize));
    if (lastByte >= limit)
        return Fill(Tr("The data in %s from the start address %s needs a last block at %s..%s, past the last "
                       "firmware address %s."),
                    {name, Hex(start), Hex(lastBlock), Hex(lastByte), std::to_string(LastImageAddress)});
    return {};
}

// A file that could not be read: shown without an icon, its error code as the title.
FirmwareCheck Unreadable(FirmwareCheck check, const std::string& message, int code) {
    check.message = message;
    check.style = MessageStyle::Plain;
    check.errorCode = code;
    check.title = std::to_string(code);
    return check;
}

}  // namespace

bool IsValidStartAddressText(const std::string& text, std::string* problem) {
    std::string digits;
    for (char c : text)
        if (!IsStartAddressBlank(c)) digits.push_back(c);
    const bool valid = !digits.empty() && digits.size() <= 4 &&
                       std::all_of(digits.begin(), digits.end(), IsHexDigit);
    if (!valid && problem != nullptr)
        *problem = Fill(Tr("The start address \"%s\" is not valid: type one to four hexadecimal digits, for "
                           "example %s."),
                        {text, DefaultStartAddress});
    return valid;
}

FirmwareCheck CheckFirmware(const FirmwareFile& file, const std::string& startAddressText, FirmwareImage& image,
                            const ImageReadHooks& hooks) {
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
        check.endAddress = LoadFirmwareImage(file, start, image, counting);
    } catch (const FirmwareError& e) {
        return Unreadable(check, e.what(), e.Code());
    } catch (const std::exception& e) {
        return Unreadable(check, Fill(Tr("Reading the firmware file %s failed: %s"), {kestrune::PrintableText(file.name), e.what()}),
                          UnexpectedLoadErrorCode);
    }
    check.message = NothingToSendReason(file.name, image, start, check.endAddress);
    if (!check.message.empty()) return check;
    check.blocks = static_cast<int>((check.endAddress - start) / static_cast<std::int32_t>(BlockSize)) + 1;
    // A BIN or DAT file holds every address from 0 up to its length.
    check.bytesBelowStart = FirmwareKindOfPath(file.name) == FirmwareKind::Hex
                                ? std::count(below.begin(), below.end(), true)
                                : std::min(start, check.endAddress);
    check.ok = true;
    return check;
}

FirmwareCheck CheckFirmware(const std::string& firmwarePath, const std::string& startAddressText,
                            FirmwareImage& image, const ImageReadHooks& hooks) {
    FirmwareCheck check;
    if (!IsValidStartAddressText(startAddressText, &check.message)) return check;
    // A file of unknown kind is not read: the check says what it is.
    FirmwareFile file{firmwarePath, {}};
    if (FirmwareKindOfPath(firmwarePath) != FirmwareKind::Unknown) {
        try {
            file = ReadFirmwareFile(firmwarePath);
        } catch (const FirmwareError& e) {
            check.startAddress = static_cast<std::int32_t>(kestrune::HexTextValue(startAddressText));
            return Unreadable(check, e.what(), e.Code());
        }
    }
    return CheckFirmware(file, startAddressText, image, hooks);
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
    return Fill(TrN("Not sent: %s byte below the start address %s", "Not sent: %s bytes below the start address %s",
                    static_cast<std::uint64_t>(check.bytesBelowStart)),
                {GroupedNumber(check.bytesBelowStart), Hex(check.startAddress)});
}

}  // namespace upload
