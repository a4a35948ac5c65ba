#pragma once
// The HID platform on Windows: the interfaces of the HID device class, found through SetupAPI and
// driven with the HID library (hid.dll). A handle is the file HANDLE of the interface, a preparsed
// handle the PHIDP_PREPARSED_DATA pointer, both carried as integers.
//
// This header leaves <windows.h> out on purpose: windows.h defines INVALID_HANDLE_VALUE,
// HIDD_ATTRIBUTES and HIDP_CAPS as well, and the program's own names of the same spelling in
// usbio/HidPlatform.h must stay usable wherever this header is included.
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "usbio/HidPlatform.h"

namespace usbio {

class WindowsHidPlatform final : public HidPlatform {
public:
    WindowsHidPlatform() = default;

    // The device paths of the present interfaces of the HID class, in SetupAPI's order. An
    // interface whose path cannot be read is left out. False only when the class list itself
    // cannot be had.
    bool EnumerateInterfaces(std::vector<std::string>& paths) override;

    // Through a handle without access rights, which Windows grants even on interfaces that
    // refuse the read/write open (a security key, a device held by the system); HidD_GetAttributes
    // works on it. Nothing when not even that open succeeds.
    std::optional<HIDD_ATTRIBUTES> PeekAttributes(const std::string& path) override;

    // From the USB device above the interface (CM_Get_Parent): the first of its location paths
    // and the serial number its instance ID carries.
    DeviceIdentity PeekIdentity(const std::string& path) override;

    // ReadWrite asks for read and write access, None for no access at all: Windows still allows
    // attribute queries and feature reports on such a handle, and it is the only open the system
    // grants on the keyboard's and mouse's own interfaces. Both share reading and writing with
    // everyone else and open for overlapped I/O.
    HidHandle Open(const std::string& path, HidAccess access, OpenError* error) override;
    void Close(HidHandle handle) override;

    // A named mutex in the session's namespace (Local\), one per interface path, owned while the
    // handle stays open: every program of this tool in the session, window and command line, asks
    // for it before it writes. Released on Close, and by Windows when the program ends. The
    // holder's PID cannot be told.
    WriteLock LockForWriting(HidHandle handle) override;

    bool GetAttributes(HidHandle handle, HIDD_ATTRIBUTES& attributes) override;
    bool GetPreparsedData(HidHandle handle, PreparsedHandle& preparsed) override;
    bool GetCaps(PreparsedHandle preparsed, HIDP_CAPS& caps) override;
    void FreePreparsedData(PreparsedHandle preparsed) override;

    // Lengths from 1 to what a ULONG holds; the HID library checks them against the device's
    // feature report length.
    bool SetFeature(HidHandle handle, const std::uint8_t* data, std::size_t length) override;
    bool GetFeature(HidHandle handle, std::uint8_t* data, std::size_t length) override;
    TransferFault LastTransferFault() const override { return lastFault_; }

private:
    // What the last failed exchange's error says (the rest reads as Unknown).
    bool Exchanged(bool done);
    TransferFault lastFault_ = TransferFault::Unknown;
    // The port and serial number from the USB device the HID device belongs to.
    DeviceIdentity UsbParentIdentity(const std::string& path);
    // The serial number the HID device reports; empty when it has none.
    std::string HidSerial(const std::string& path);

    std::mutex mutex_;
    std::map<HidHandle, std::string> paths_;     // the path each open handle was opened with
    std::map<HidHandle, std::intptr_t> locks_;  // the write-lock mutex each handle owns
};

// The name of the write-lock mutex of an interface path (case ignored, as Windows compares them).
std::string WriteLockName(const std::string& path);

}  // namespace usbio
