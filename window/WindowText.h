#pragma once
// Every text the window shows, defined once for both windows (Qt and Win32). The upload
// sequence's own texts are defined beside it (upload/UploadText.h) and named here too.
#include "upload/UploadText.h"

namespace window::text {

// The caption a window is created with, until the logic gives it the one with the version.
inline constexpr char WindowTitle[] = "Kestrune Uploader";
inline constexpr char DemoSuffix[] = " (demo: simulated keyboard)";

inline constexpr char RefreshButton[] = "Refresh";
inline constexpr char UploadButton[] = "Upload Firmware";
inline constexpr char ExitButton[] = "Exit";
inline constexpr char SelectFileButton[] = "Select Firmware File ...";
inline constexpr char StartAddressLabel[] = "Start Address (HEX):";
inline constexpr char FirmwareFileName[] = "Firmware file";
inline constexpr char ProgressName[] = "Upload progress";
inline constexpr char DeviceListName[] = "Keyboard";
inline constexpr char StatusName[] = "Status";

inline constexpr const char* ColumnHeaders[4] = {"Vendor ID", "Product ID", "Firmware Version",
                                                  "Status Mode"};
// The fifth column, shown only while several keyboards are listed.
inline constexpr char PortColumnHeader[] = "Port";
inline constexpr char PortUnknown[] = "unknown";

inline constexpr char SettingsSection[] = "Firmware";
inline constexpr char SettingsKey[] = "File";
inline constexpr char DemoSettingsScope[] = "Kestrune Loader Demo";

inline constexpr char SelectFileTitle[] = "Select Firmware File";
inline constexpr char FirmwareFilesFilter[] = "Firmware files";
inline constexpr char AllFilesFilter[] = "All files";

inline constexpr char Scanning[] = "Scanning Device...";
inline constexpr char DeviceFound[] = "Device Found";
inline constexpr char DeviceNotFoundStatus[] = "Device not Found";
inline constexpr char UploadModeNote[] = ". Note: Device is in Firmware Upload mode.";
inline constexpr char NormalMode[] = "Normal";
inline constexpr char UploadMode[] = "Firmware Upload";
inline constexpr char Jumping[] = "Jumping to firmware upload mode...";
using upload::text::PleaseWait;
inline constexpr char CommunicationFailed[] = "Communication failed.";
using upload::text::UploadFailed;
using upload::text::Uploaded;
using upload::text::UploadedRescanning;
using upload::text::FirmwareUpdated;
inline constexpr char UploadedReplug[] =
    "Firmware uploaded OK. Please plug out the USB cable and plug in again to restart the keyboard.";
inline constexpr char ClosesWhenDone[] =
    "Closing when the update has ended. Keep the keyboard plugged in.";
inline constexpr char Closing[] = "Closing when the update has ended.";
inline constexpr char KeepPluggedIn[] = "Keep the keyboard plugged in.";
// The message box says usbio::KeyboardBusyText (with the other program's PID when known).
inline constexpr char KeyboardBusyStatus[] = "Keyboard busy: another program is updating it.";

inline constexpr char DeviceNotFound[] =
    "Device not found. Please attach the device and then run the program again.";
inline constexpr char NoFileChosen[] = "Please specifiy the firmware file.";
inline constexpr char RestartTitle[] = "Restart the Keyboard";
inline constexpr char ReplugInstructions[] =
    "The keyboard is set to [Firmware Upload] mode.\r\n"
    "\r\n"
    "Please follow below steps to start uploading firmware:\r\n"
    "  1. Plug out the USB connector\r\n"
    "  2. Plug in the USB connector again\r\n"
    "  3  Click OK button to start uploading the firmware file to keyboard";
inline constexpr char NothingWritten[] = "Nothing was written to the keyboard.";
inline constexpr char UploadCancelled[] = "Upload cancelled; nothing was written.";
// The demo's keyboard is simulated: it comes back by itself, nothing is to be unplugged.
inline constexpr char DemoReplugInstructions[] =
    "The simulated keyboard is set to [Firmware Upload] mode.\r\n"
    "\r\n"
    "Nothing needs to be unplugged: in this demo the keyboard restarts by itself.\r\n"
    "Click OK button to start uploading the firmware file to keyboard";
inline constexpr auto& DemoUploaded = upload::text::SimulatedUploaded;
inline constexpr char DemoUploadedStatus[] = "Firmware uploaded OK. The simulated keyboard restarts by itself.";
// In a browser, which knows the keyboard in firmware-upload mode, and restarted, as other devices.
inline constexpr char GrantSwitchedKeyboard[] =
    "The keyboard restarts in [Firmware Upload] mode, where the browser knows it as another device.\r\n"
    "\r\n"
    "Click OK, then choose the keyboard in the browser's list and click Connect.";
inline constexpr char GrantRestartedKeyboard[] =
    "The firmware is uploaded and the keyboard restarts.\r\n"
    "\r\n"
    "Click OK, then choose the keyboard in the browser's list and click Connect, so that its new "
    "firmware version can be read.";
// The same boxes on a browser's page, where the browser's list of devices opens after OK and the
// page's own button connects a keyboard.
inline constexpr char WebDeviceNotFound[] =
    "Device not found. Attach the keyboard, click Connect keyboard \u2026 and choose it in the "
    "browser's list.";
inline constexpr char WebReplugInstructions[] =
    "The keyboard is set to [Firmware Upload] mode.\r\n"
    "\r\n"
    "Please follow below steps to start uploading firmware:\r\n"
    "  1. Plug out the USB connector\r\n"
    "  2. Plug in the USB connector again\r\n"
    "  3. Click OK, then choose the keyboard in the browser's list and click Connect";
inline constexpr char WebUploadedReplug[] =
    "Firmware uploaded OK. Please plug out the USB cable and plug in again to restart the keyboard.\r\n"
    "\r\n"
    "Then click OK, choose the keyboard in the browser's list and click Connect, so that its new "
    "firmware version can be read.";
inline constexpr char RetryTitle[] = "Restart Keyboard";
inline constexpr char RetryPrompt[] =
    "Make sure the USB cable is plugged out and in. Click OK to try again.";
inline constexpr char ScanErrorPrefix[] = "The device scan stopped with an error: ";

}  // namespace window::text
