#pragma once
// Whether a firmware file can be sent, and from where: the start address typed, the image read from
// the file's bytes, the blocks the upload sends and why nothing can be sent when that is so. Made
// before anything reaches the keyboard, by the upload itself and by the programs that show a file
// (the command line's check and image), from the same bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "upload/FirmwareImage.h"

namespace upload {

inline constexpr std::size_t BlockSize = 128;
inline constexpr char DefaultStartAddress[] = "1200";

// How a message box looks: its icon and its buttons.
enum class MessageStyle {
    Plain,            // no icon, OK
    Warning,          // warning icon, OK
    WarningOkCancel,  // warning icon, OK and Cancel
    Information,      // information icon, OK
};
enum class MessageAnswer { OK, Cancel };

// Reads the firmware file exactly as an upload would and tells whether it can be sent, without
// touching the keyboard. When it cannot, message says why, with the message box style and title
// to show it with (for a file that cannot be read: no icon, the error code as the title).
struct FirmwareCheck {
    bool ok = false;
    std::string message;
    MessageStyle style = MessageStyle::Warning;
    std::string title;
    int errorCode = 0;             // FirmwareError code when reading the file failed
    std::int32_t startAddress = 0;
    std::int32_t endAddress = 0;
    int blocks = 0;                // write-block reports the upload sends
    // Bytes of file data below the start address: they are in the file but not sent (a full
    // image that includes the loader area, for example). Each address counts once.
    std::int64_t bytesBelowStart = 0;
};
// From the file's bytes as they were read.
FirmwareCheck CheckFirmware(const FirmwareFile& file, const std::string& startAddressText, FirmwareImage& image,
                            const ImageReadHooks& hooks = {});
// Reads the file at the path once (ReadFirmwareFile), then as above; a file that cannot be read is
// a check that is not ok.
FirmwareCheck CheckFirmware(const std::string& firmwarePath, const std::string& startAddressText,
                            FirmwareImage& image, const ImageReadHooks& hooks = {});

// "Not sent: 4,608 bytes below the start address 0x1200", or empty when the check found no data
// below the start address.
std::string NotSentBelowStartText(const FirmwareCheck& check);

// A count with a comma between thousands: "4,608".
std::string GroupedNumber(std::int64_t value);

// Whether a start-address text can be used: one to four hexadecimal digits once blanks are
// removed. On false, problem says why, in words for the user.
bool IsValidStartAddressText(const std::string& text, std::string* problem = nullptr);

}  // namespace upload
