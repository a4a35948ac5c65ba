#pragma once
// Every text the window shows, defined once for both windows (Qt and Win32). The upload
// sequence's own texts are defined beside it (upload/UploadText.h) and named here too. Each is the
// English text and the key of its translations (N_ marks it for the catalogs; kestrune::Tr
// translates it where it is shown).
#include "common/Translate.h"
#include "upload/UploadText.h"

namespace window::text {

// The caption a window is created with, until the logic gives it the one with the version.
inline constexpr char WindowTitle[] = N_("Kestrune Uploader");
inline constexpr char DemoSuffix[] = N_(" (demo: simulated keyboard)");

inline constexpr char RefreshButton[] = N_("Refresh");
inline constexpr char UploadButton[] = N_("Upload Firmware");
inline constexpr char ExitButton[] = N_("Exit");
inline constexpr char SelectFileButton[] = N_("Select Firmware File ...");
inline constexpr char StartAddressLabel[] = N_("Start Address (HEX):");
inline constexpr char FirmwareFileName[] = N_("Firmware file");
inline constexpr char ProgressName[] = N_("Upload progress");
inline constexpr char DeviceListName[] = N_("Keyboard");
inline constexpr char StatusName[] = N_("Status");

inline constexpr const char* ColumnHeaders[4] = {N_("Vendor ID"), N_("Product ID"), N_("Firmware Version"),
                                                  N_("Status Mode")};
// The fifth column, shown only while several keyboards are listed.
inline constexpr char PortColumnHeader[] = N_("Port");
inline constexpr char PortUnknown[] = N_("unknown");

inline constexpr char SettingsSection[] = "Firmware";
inline constexpr char SettingsKey[] = "File";
inline constexpr char DemoSettingsScope[] = "Kestrune Loader Demo";

inline constexpr char SelectFileTitle[] = N_("Select Firmware File");
inline constexpr char FirmwareFilesFilter[] = N_("Firmware files");
inline constexpr char AllFilesFilter[] = N_("All files");

inline constexpr char Scanning[] = N_("Scanning Device...");
inline constexpr char DeviceFound[] = N_("Device Found");
inline constexpr char DeviceNotFoundStatus[] = N_("Device not Found");
inline constexpr char UploadModeNote[] = N_(". Note: Device is in Firmware Upload mode.");
inline constexpr char NormalMode[] = N_("Normal");
inline constexpr char UploadMode[] = N_("Firmware Upload");
inline constexpr char Jumping[] = N_("Jumping to firmware upload mode...");
using upload::text::PleaseWait;
inline constexpr char CommunicationFailed[] = N_("Communication failed.");
using upload::text::UploadFailed;
using upload::text::Uploaded;
using upload::text::UploadedRescanning;
using upload::text::FirmwareUpdated;
inline constexpr char UploadedReplug[] =
    N_("Firmware uploaded OK. Please plug out the USB cable and plug in again to restart the keyboard.");
inline constexpr char ClosesWhenDone[] =
    N_("Closing when the update has ended. Keep the keyboard plugged in.");
inline constexpr char Closing[] = N_("Closing when the update has ended.");
inline constexpr char KeepPluggedIn[] = N_("Keep the keyboard plugged in.");
// The message box says usbio::KeyboardBusyText (with the other program's PID when known).
inline constexpr char KeyboardBusyStatus[] = N_("Keyboard busy: another program is updating it.");

inline constexpr char DeviceNotFound[] =
    N_("Device not found. Please attach the device and then run the program again.");
inline constexpr char NoFileChosen[] = N_("Please specifiy the firmware file.");
inline constexpr char RestartTitle[] = N_("Restart the Keyboard");
inline constexpr char ReplugInstructions[] =
    N_("The keyboard is set to [Firmware Upload] mode.\r\n"
    "\r\n"
    "Please follow below steps to start uploading firmware:\r\n"
    "  1. Plug out the USB connector\r\n"
    "  2. Plug in the USB connector again\r\n"
    "  3  Click OK button to start uploading the firmware file to keyboard");
inline constexpr char NothingWritten[] = N_("Nothing was written to the keyboard.");
inline constexpr char UploadCancelled[] = N_("Upload cancelled; nothing was written.");
// The demo's keyboard is simulated: it comes back by itself, nothing is to be unplugged.
inline constexpr char DemoReplugInstructions[] =
    N_("The simulated keyboard is set to [Firmware Upload] mode.\r\n"
    "\r\n"
    "Nothing needs to be unplugged: in this demo the keyboard restarts by itself.\r\n"
    "Click OK button to start uploading the firmware file to keyboard");
inline constexpr auto& DemoUploaded = upload::text::SimulatedUploaded;
inline constexpr char DemoUploadedStatus[] = N_("Firmware uploaded OK. The simulated keyboard restarts by itself.");
// In a browser, which knows the keyboard in firmware-upload mode, and restarted, as other devices.
inline constexpr char GrantSwitchedKeyboard[] =
    N_("The keyboard restarts in [Firmware Upload] mode, where the browser knows it as another device.\r\n"
    "\r\n"
    "Click OK, then choose the keyboard in the browser's list and click Connect.");
inline constexpr char GrantRestartedKeyboard[] =
    N_("The firmware is uploaded and the keyboard restarts.\r\n"
    "\r\n"
    "Click OK, then choose the keyboard in the browser's list and click Connect, so that its new "
    "firmware version can be read.");
// The same boxes on a browser's page, where the browser's list of devices opens after OK and the
// page's own button connects a keyboard.
inline constexpr char WebDeviceNotFound[] =
    N_("Device not found. Attach the keyboard, click Connect keyboard \u2026 and choose it in the "
    "browser's list.");
inline constexpr char WebReplugInstructions[] =
    N_("The keyboard is set to [Firmware Upload] mode.\r\n"
    "\r\n"
    "Please follow below steps to start uploading firmware:\r\n"
    "  1. Plug out the USB connector\r\n"
    "  2. Plug in the USB connector again\r\n"
    "  3. Click OK, then choose the keyboard in the browser's list and click Connect");
inline constexpr char WebUploadedReplug[] =
    N_("Firmware uploaded OK. Please plug out the USB cable and plug in again to restart the keyboard.\r\n"
    "\r\n"
    "Then click OK, choose the keyboard in the browser's list and click Connect, so that its new "
    "firmware version can be read.");
inline constexpr char RetryTitle[] = N_("Restart Keyboard");
inline constexpr char RetryPrompt[] =
    N_("Make sure the USB cable is plugged out and in. Click OK to try again.");
inline constexpr char ScanErrorPrefix[] = N_("The device scan stopped with an error: ");

}  // namespace window::text
