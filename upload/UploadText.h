#pragma once
// The texts the upload sequence shows through its view, defined once: the window names them among
// its own texts (window/WindowText.h), the tests compare with them.
#include "common/Translate.h"
#include "usbio/HidPlatform.h"

namespace upload::text {

inline constexpr char PleaseWait[] = N_("Please wait...");
inline constexpr char UploadFailed[] = N_("Firmware uploaded Failed");
inline constexpr char Uploaded[] =
    N_("The selected firmware file is successfully uploaded to keyboard.\r\n\r\n"
    "Please plug out the USB cable and plug in again to restart the keyboard.");
// What a simulated keyboard's user is told instead of the replug: it restarts by itself.
inline constexpr char SimulatedRestartsByItself[] =
    N_("Nothing needs to be unplugged: in this demo the keyboard restarts by itself.");
inline constexpr char SimulatedUploaded[] =
    N_("The selected firmware file is successfully uploaded to the simulated keyboard.\r\n\r\n"
    "Nothing needs to be unplugged: in this demo the keyboard restarts by itself.");
inline constexpr char UploadedRescanning[] = N_("Firmware uploaded OK. Rescanning device...");
inline constexpr char FirmwareUpdated[] = N_("Firmware updated.");

// Why an exchange failed, as the user is told, and its name for scripts.
inline const char* FaultReason(usbio::TransferFault fault) {
    switch (fault) {
    case usbio::TransferFault::Gone: return N_("the keyboard left (unplugged, or its connection broke off)");
    case usbio::TransferFault::Refused: return N_("the keyboard refused the report");
    case usbio::TransferFault::NoAnswer:
    case usbio::TransferFault::Unknown: break;
    }
    return N_("the keyboard did not answer");
}
inline const char* FaultName(usbio::TransferFault fault) {
    switch (fault) {
    case usbio::TransferFault::Gone: return "gone";
    case usbio::TransferFault::Refused: return "refused";
    case usbio::TransferFault::NoAnswer: return "no-answer";
    case usbio::TransferFault::Unknown: break;
    }
    return "unknown";
}

}  // namespace upload::text
