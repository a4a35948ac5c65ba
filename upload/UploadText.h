#pragma once
// The texts the upload sequence shows through its view, defined once: the window names them among
// its own texts (window/WindowText.h), the tests compare with them.
namespace upload::text {

inline constexpr char PleaseWait[] = "Please wait...";
inline constexpr char UploadFailed[] = "Firmware uploaded Failed";
inline constexpr char Uploaded[] =
    "The selected firmware file is successfully uploaded to keyboard.\r\n\r\n"
    "Please plug out the USB cable and plug in again to restart the keyboard.";
// What a simulated keyboard's user is told instead of the replug: it restarts by itself.
inline constexpr char SimulatedRestartsByItself[] =
    "Nothing needs to be unplugged: in this demo the keyboard restarts by itself.";
inline constexpr char SimulatedUploaded[] =
    "The selected firmware file is successfully uploaded to the simulated keyboard.\r\n\r\n"
    "Nothing needs to be unplugged: in this demo the keyboard restarts by itself.";
inline constexpr char UploadedRescanning[] = "Firmware uploaded OK. Rescanning device...";
inline constexpr char FirmwareUpdated[] = "Firmware updated.";

}  // namespace upload::text
