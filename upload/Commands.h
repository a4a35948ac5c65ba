#pragma once
// The feature-report command set: every exchange with the keyboard is one feature report written
// and one read back into the same buffer.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "usbio/DeviceIO.h"

namespace upload {

inline constexpr std::size_t ReportLength = 132;   // report ID, command, argument, 129 payload bytes
inline constexpr std::size_t PayloadLength = 129;
inline constexpr std::size_t PayloadOffset = 3;

inline constexpr std::uint8_t CmdReadVersion = 0xC0;
inline constexpr std::uint8_t CmdSetAddress = 0x10;
inline constexpr std::uint8_t CmdWriteBlock = 0x20;
inline constexpr std::uint8_t CmdFinish = 0x30;
inline constexpr std::uint8_t CmdEnterUpload = 0xD0;

inline constexpr std::int32_t CommandOK = 0;
inline constexpr std::int32_t CommandFailed = -1;

// Sends CmdReadVersion; on success replaces versionText with the keyboard's version text (bytes 3
// to 131 up to the first 0 byte), on failure leaves it unchanged. Returns 0 or -1.
std::int32_t ReadFirmwareVersion(usbio::DeviceConnection& connection, std::string& versionText);

// The commands below change the keyboard: they are sent only once this program holds it for
// writing (usbio::LockForWriting, taken here when not yet held). When another program holds it,
// nothing is sent, the device is closed and -1 is returned with connection.WriteBusy set.

// Sends CmdSetAddress with the hexadecimal value of the text, high byte then low byte.
std::int32_t SendStartAddress(usbio::DeviceConnection& connection, std::string_view startAddressText);
// The same with the address as a number (its low 16 bits are sent).
std::int32_t SendStartAddress(usbio::DeviceConnection& connection, std::uint32_t address);

// Sends any other command; at most 129 payload bytes go to bytes 3 onward.
std::int32_t SendCommand(usbio::DeviceConnection& connection, std::uint8_t command,
                         std::uint8_t argument, std::span<const std::uint8_t> payload);

}  // namespace upload
