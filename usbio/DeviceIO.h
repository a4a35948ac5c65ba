#pragma once
// The program-wide device connection state: at most one keyboard is open at a time, and everything
// known about it lives here. The program has exactly one instance; tests make their own.
#include <cstdint>
#include <string>

#include "usbio/HidPlatform.h"

namespace usbio {

inline constexpr std::uint16_t SupportedVendorID = 0x2E5B;  // 11867
inline constexpr std::int32_t NormalModePID = 17;
inline constexpr std::int32_t UploadModePID = 6;

struct DeviceConnection {
    explicit DeviceConnection(HidPlatform& platform) : Platform(&platform) {}

    HidPlatform* Platform;
    HidHandle DeviceHandle = INVALID_HANDLE_VALUE;
    PreparsedHandle PreparsedData = 0;
    HIDP_CAPS DeviceCaps{};
    HIDD_ATTRIBUTES DeviceAttributes{};
    std::int32_t MatchedPID = 0;  // 6 = firmware-upload mode, anything else normal mode
    std::string LastErrorText;    // stays empty: this implementation creates no read event
    bool WriteLocked = false;     // the open device is ours for writing (LockForWriting)
    // The last LockForWriting found the keyboard held by another program (HolderPid: which one,
    // 0 when unknown). Cleared when a lock is taken.
    bool WriteBusy = false;
    std::int64_t BusyHolderPid = 0;
    // Why the last exchange that failed did (kept after the device is closed).
    TransferFault LastFault = TransferFault::Unknown;

    bool IsOpen() const { return DeviceHandle != INVALID_HANDLE_VALUE; }
};

// Resets the state to "no device" at the start of a scan. A device that a previous scan left open
// is closed first rather than leaked.
void InitDeviceIO(DeviceConnection& connection);

// Closes the open device (handle and preparsed data together), which releases its write lock.
// Safe in every state.
void CloseDevice(DeviceConnection& connection);

// Takes the open device for writing, unless it is already ours: one program at a time writes to
// a keyboard. False, with WriteBusy and BusyHolderPid set, when another program holds it; the
// device then stays open (reading it is still allowed). False without WriteBusy when no device is
// open.
bool LockForWriting(DeviceConnection& connection);

// What the user is told when another program holds the keyboard for writing.
std::string KeyboardBusyText(std::int64_t holderPid);

}  // namespace usbio
