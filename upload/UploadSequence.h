#pragma once
// The upload sequence: reads the firmware file, sends the start address, the image in 128-byte
// blocks and the finish command, closes the device and tells the user the outcome. It reaches the
// window (or the terminal) only through UploadView.
#include <cstdint>
#include <string>

#include "upload/FirmwareImage.h"
#include "usbio/DeviceIO.h"

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

class UploadView {
public:
    virtual ~UploadView() = default;
    virtual void SetStatusText(const std::string& text) = 0;
    virtual void SetBusyPointer(bool busy) = 0;
    // The progress bar: bytes the keyboard has taken so far out of the bytes the upload sends.
    virtual void SetProgress(std::int64_t doneBytes, std::int64_t totalBytes) = 0;
    // A modal message box; an empty title means the application's title.
    virtual MessageAnswer ShowMessage(const std::string& text, MessageStyle style,
                                      const std::string& title) = 0;
    virtual void PumpEvents() = 0;
    virtual void Sleep(int ms) = 0;
    // Arranges one rescan of the device once the current command has ended.
    virtual void RequestRescan() = 0;
    virtual void SetPendingStatusText(const std::string& text) = 0;
    // Asked before every block: true stops the upload there (it then counts as failed).
    virtual bool StopRequested() { return false; }
};

struct UploadOutcome {
    enum class Result {
        Success,
        CommandFailed,   // the keyboard did not take a report
        Refused,         // nothing was sent: the file, its data range, the start address, or
                         // another program holding the keyboard (connection.WriteBusy)
        Stopped,         // StopRequested() ended the upload
    };
    Result result = Result::CommandFailed;
    std::string message;         // for Refused: what the user was told
    int blocksSent = 0;          // write-block reports acknowledged
    std::int32_t startAddress = 0;
    std::int32_t endAddress = 0;
    std::int64_t bytesBelowStart = 0;  // as FirmwareCheck::bytesBelowStart
    bool Succeeded() const { return result == Result::Success; }
};

// The whole upload. NewFirmware is true when the keyboard's firmware needs no replug afterwards
// (its version text holds neither "V1.0" nor "V1.1"). Always leaves the device closed.
UploadOutcome UploadFirmware(usbio::DeviceConnection& connection, FirmwareImage& image,
                             UploadView& view, const std::string& firmwarePath,
                             const std::string& startAddressText, bool NewFirmware);

struct FirmwareCheck;

// The upload of an image that CheckFirmware has read and checked: the file is not read again.
// The same sequence as above from the busy pointer on; a check that is not ok is refused with its
// own message, style and title, before anything reaches the keyboard.
UploadOutcome UploadFirmware(usbio::DeviceConnection& connection, const FirmwareImage& image,
                             const FirmwareCheck& check, UploadView& view, bool NewFirmware);

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
