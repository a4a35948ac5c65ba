#pragma once
// Tells when HID interfaces come or go on Linux: an inotify watch on the device folder for hidraw
// nodes being created or removed. The caller polls Handle() in its event loop and calls
// TakeChanges() when it becomes readable.
#include <filesystem>

namespace usbio {

class LinuxHidMonitor {
public:
    explicit LinuxHidMonitor(const std::filesystem::path& devRoot = "/dev");
    ~LinuxHidMonitor();
    LinuxHidMonitor(const LinuxHidMonitor&) = delete;
    LinuxHidMonitor& operator=(const LinuxHidMonitor&) = delete;

    // A file descriptor that becomes readable when something changed; -1 when watching failed.
    int Handle() const { return fd_; }
    // Reads what is pending without blocking; true when a hidraw node came or went.
    bool TakeChanges();
    // Waits up to timeoutMs (a negative time counts as 0) for a hidraw node to come or go, changes
    // since the last call included; true when one did, false when the time ran out or a signal
    // ended the wait early. Without a watch (Handle() < 0) it sleeps the time and returns true,
    // so that the caller looks again.
    bool WaitForChange(int timeoutMs);

private:
    int fd_ = -1;
};

}  // namespace usbio
