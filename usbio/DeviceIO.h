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

    bool IsOpen() const { return DeviceHandle != INVALID_HANDLE_VALUE; }
};

// Resets the state to "no device" at the start of a scan. A device that a previous scan left open
// is closed first rather than leaked.
void InitDeviceIO(DeviceConnection& connection);

// Closes the open device (handle and preparsed data together). Safe in every state.
void CloseDevice(DeviceConnection& connection);

}  // namespace usbio
