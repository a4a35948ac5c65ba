#pragma once
// The HID platform on Linux: the hidraw nodes, found through sysfs and driven with the hidraw
// ioctls. A handle is the node's file descriptor.
//
// The user needs access to the keyboard's hidraw nodes; udev/70-kestrune-keyboard.rules grants it
// to the logged-in user. Without it, opening fails with OpenError::PermissionDenied.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "usbio/HidPlatform.h"
#include "usbio/ReportDescriptor.h"

namespace usbio {

class LinuxHidPlatform final : public HidPlatform {
public:
    // Issues one ioctl; returns what ioctl(2) returns and leaves errno set the same way.
    using IoctlFunction = std::function<int(int fd, unsigned long request, void* argument)>;

    // The roots are parameters so that tests can point the platform at a fake tree.
    explicit LinuxHidPlatform(std::filesystem::path sysRoot = "/sys",
                              std::filesystem::path devRoot = "/dev");
    // For tests: every ioctl goes to the given function instead of the kernel, so that a fake
    // device can answer on an ordinary file descriptor.
    LinuxHidPlatform(std::filesystem::path sysRoot, std::filesystem::path devRoot,
                     IoctlFunction ioctl);

    // <devRoot>/hidrawN for every hidrawN in <sysRoot>/class/hidraw, in increasing order of N.
    // No such folder means no HID devices: true with an empty list.
    bool EnumerateInterfaces(std::vector<std::string>& paths) override;
    // From the HID_ID line of <sysRoot>/class/hidraw/hidrawN/device/uevent, hidrawN being the
    // file name of the path; VersionNumber from the USB device's bcdDevice when there is one.
    std::optional<HIDD_ATTRIBUTES> PeekAttributes(const std::string& path) override;

    // From the first folder above <sysRoot>/class/hidraw/hidrawN/device (links resolved) that has
    // busnum and devpath files, the USB device: its port path and its serial file. A HID device
    // with no USB device above it (Bluetooth, uhid) names itself: ParseHidUeventIdentity of its
    // uevent file.
    DeviceIdentity PeekIdentity(const std::string& path) override;

    // ReadWrite opens O_RDWR, None opens O_RDONLY: hidraw allows every ioctl used here on a
    // read-only descriptor.
    HidHandle Open(const std::string& path, HidAccess access, OpenError* error) override;
    void Close(HidHandle handle) override;

    // flock(LOCK_EX | LOCK_NB) on the node: advisory, held until the descriptor is closed, and
    // released by the kernel when the program dies. The holder's PID comes from /proc/locks.
    WriteLock LockForWriting(HidHandle handle) override;

    bool GetAttributes(HidHandle handle, HIDD_ATTRIBUTES& attributes) override;
    bool GetPreparsedData(HidHandle handle, PreparsedHandle& preparsed) override;
    bool GetCaps(PreparsedHandle preparsed, HIDP_CAPS& caps) override;
    void FreePreparsedData(PreparsedHandle preparsed) override;

    // Lengths from 1 to 16383 (what the request number can carry). A write counts only when the
    // kernel reports the whole length taken, a read only when the whole report came back (a
    // shorter one fails, the rest of the buffer zeroed).
    bool SetFeature(HidHandle handle, const std::uint8_t* data, std::size_t length) override;
    bool GetFeature(HidHandle handle, std::uint8_t* data, std::size_t length) override;
    TransferFault LastTransferFault() const override { return lastFault_; }
    // 16383: the length travels in the request number's 14-bit size field.
    std::size_t MaxFeatureReportLength() const override;

    // Keeps a parsed descriptor under a new token, as GetPreparsedData does after reading the
    // descriptor; 0 when no token is left. Public so that tests can reach the token bookkeeping
    // without a device.
    PreparsedHandle KeepPreparsed(const ReportDescriptorInfo& info);

private:
    std::filesystem::path sysRoot_;
    std::filesystem::path devRoot_;
    IoctlFunction ioctl_;
    TransferFault lastFault_ = TransferFault::Unknown;

    std::mutex preparsedMutex_;
    std::map<PreparsedHandle, ReportDescriptorInfo> preparsed_;
    PreparsedHandle nextPreparsed_ = 1;  // never 0, never handed out twice
};

// The IDs of a HID device as its uevent file gives them.
struct HidUeventId {
    std::uint16_t Bus = 0;  // BUS_USB is 3
    std::uint16_t VendorID = 0;
    std::uint16_t ProductID = 0;
};

// Reads the text of a HID device's uevent file: the first line that starts with "HID_ID=" must
// read BUS:VENDOR:PRODUCT in hexadecimal, 1 to 8 digits each, every value at most 0xFFFF.
// Anything else gives nullopt.
std::optional<HidUeventId> ParseHidUevent(std::string_view text);

// The identity of a HID device that is not on USB, from the text of its uevent file: HID_PHYS
// (where the device is attached: the adapter of a Bluetooth device, what a uhid device was given)
// as the port path, less a last "/inputN" (the interface of a device with several, as USB drivers
// write it: every interface of the device, in either mode, gets the same port), and HID_UNIQ (a
// Bluetooth device's address, a uhid device's serial number) as the serial. Each comes from the
// first line that starts with its key and is cleaned as CleanSerial does; either is empty when
// absent or not clean.
DeviceIdentity ParseHidUeventIdentity(std::string_view text);

// The PID of the process that holds a flock on the file with that device and inode number, as a
// /proc/locks text names it ("1: FLOCK  ADVISORY  WRITE 4242 00:05:1049 0 EOF"); 0 when none does.
std::int64_t FlockHolderPid(std::string_view procLocks, unsigned deviceMajor, unsigned deviceMinor,
                            std::uint64_t inode);

}  // namespace usbio
