#pragma once
// The upload sequence: reads the firmware file, sends the start address, the image in 128-byte
// blocks and the finish command, closes the device and tells the user the outcome. It reaches the
// window (or the terminal) only through UploadView.
#include <cstdint>
#include <string>

#include "upload/FirmwareCheck.h"
#include "upload/FirmwareImage.h"
#include "usbio/DeviceIO.h"

namespace upload {

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
    usbio::TransferFault fault = usbio::TransferFault::Unknown;  // for CommandFailed: why
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

// The upload of an image that CheckFirmware has read and checked: the file is not read again.
// The same sequence as above from the busy pointer on; a check that is not ok is refused with its
// own message, style and title, before anything reaches the keyboard.
UploadOutcome UploadFirmware(usbio::DeviceConnection& connection, const FirmwareImage& image,
                             const FirmwareCheck& check, UploadView& view, bool NewFirmware);

}  // namespace upload
