#include "upload/Commands.h"

#include <algorithm>
#include <vector>

#include "common/NumberText.h"

namespace upload {
namespace {

// A zero-filled report buffer, long enough for the device's feature report length so that neither
// the write nor the read can pass its end.
std::vector<std::uint8_t> NewReport(const usbio::DeviceConnection& connection, std::uint8_t command,
                                    std::uint8_t argument) {
    std::vector<std::uint8_t> buffer(
        std::max<std::size_t>(ReportLength, connection.DeviceCaps.FeatureReportByteLength), 0);
    buffer[1] = command;
    buffer[2] = argument;
    return buffer;
}

// The set-then-get transaction. A failed exchange closes the device.
std::int32_t Exchange(usbio::DeviceConnection& connection, std::vector<std::uint8_t>& buffer) {
    connection.LastFault = usbio::TransferFault::Unknown;
    if (!connection.IsOpen()) return CommandFailed;
    const std::size_t length = connection.DeviceCaps.FeatureReportByteLength;
    usbio::HidPlatform& hid = *connection.Platform;
    if (length == 0 || !hid.SetFeature(connection.DeviceHandle, buffer.data(), length) ||
        !hid.GetFeature(connection.DeviceHandle, buffer.data(), length)) {
        connection.LastFault = hid.LastTransferFault();
        usbio::CloseDevice(connection);
        return CommandFailed;
    }
    return CommandOK;
}

// A report that changes the keyboard (mode switch, address, block, finish) goes only to a keyboard
// this program holds for writing. When another program holds it, nothing is sent and the device
// is closed; connection.WriteBusy tells the caller why.
bool MayWrite(usbio::DeviceConnection& connection) {
    if (usbio::LockForWriting(connection)) return true;
    connection.LastFault = usbio::TransferFault::Unknown;
    usbio::CloseDevice(connection);
    return false;
}

}  // namespace

std::int32_t ReadFirmwareVersion(usbio::DeviceConnection& connection, std::string& versionText) {
    std::vector<std::uint8_t> buffer = NewReport(connection, CmdReadVersion, 0x00);
    if (Exchange(connection, buffer) != CommandOK) return CommandFailed;
    std::string text;
    for (std::size_t i = PayloadOffset; i < ReportLength && buffer[i] != 0; ++i)
        text.push_back(static_cast<char>(buffer[i]));
    versionText = std::move(text);
    return CommandOK;
}

std::int32_t SendStartAddress(usbio::DeviceConnection& connection,
                              std::string_view startAddressText) {
    return SendStartAddress(connection, kestrune::HexTextValue(startAddressText));
}

std::int32_t SendStartAddress(usbio::DeviceConnection& connection, std::uint32_t address) {
    if (!MayWrite(connection)) return CommandFailed;
    std::vector<std::uint8_t> buffer = NewReport(connection, CmdSetAddress, 0x02);
    buffer[PayloadOffset] = static_cast<std::uint8_t>(address >> 8);
    buffer[PayloadOffset + 1] = static_cast<std::uint8_t>(address);
    return Exchange(connection, buffer);
}

std::int32_t SendCommand(usbio::DeviceConnection& connection, std::uint8_t command,
                         std::uint8_t argument, std::span<const std::uint8_t> payload) {
    if (!MayWrite(connection)) return CommandFailed;
    std::vector<std::uint8_t> buffer = NewReport(connection, command, argument);
    std::copy_n(payload.begin(), std::min(payload.size(), PayloadLength),
                buffer.begin() + PayloadOffset);
    return Exchange(connection, buffer);
}

}  // namespace upload
