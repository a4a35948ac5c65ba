#pragma once
// What names a keyboard across its restarts and its switch into firmware-upload mode: the USB port
// it is plugged into and its serial number. The pure parts of reading them, shared by the backends.
#include <cstddef>
#include <string>
#include <string_view>

namespace usbio {

struct DeviceIdentity {
    std::string PortPath;  // where the keyboard is plugged in ("1-4.2"); empty when unknown
    std::string Serial;    // its USB serial number; empty when it has none

    bool operator==(const DeviceIdentity&) const = default;
};

// Linux: the port path of a USB device from the texts of its sysfs busnum and devpath files
// ("1\n", "4.2\n" give "1-4.2"). Empty unless busnum is a number and devpath numbers joined by dots.
std::string UsbPortPath(std::string_view busnum, std::string_view devpath);

// A serial number as a sysfs file or an instance ID gives it: the text without its line end,
// empty when it holds anything but printable ASCII or is longer than 126 characters.
std::string CleanSerial(std::string_view text);

// Windows: the first string of a REG_MULTI_SZ value (strings ending at NUL, the list at an empty
// string), as the location paths of a device come ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USB(2)").
// Stops at the end of the data when a NUL is missing.
std::string FirstMultiSzString(const char* data, std::size_t length);

// Windows: whether a device instance ID names a USB device itself ("USB\VID_2E5B&PID_0011\...")
// rather than one interface of it ("...&MI_01\...") or something else.
bool IsUsbDeviceInstanceId(std::string_view instanceId);

// Windows: the serial number in a USB device's instance ID, its last part
// ("USB\VID_2E5B&PID_0011\KB0001" gives "KB0001"). Windows makes up a last part holding '&' for a
// device without a serial number: then empty.
std::string SerialFromInstanceId(std::string_view instanceId);

}  // namespace usbio
