#pragma once
// Tells when HID interfaces come or go on Windows, for a program without a window of its own (the
// command-line tool): a message-only window on a thread of its own registers for arrivals and
// removals of the HID interface class and wakes WaitForChange.
//
// <windows.h> stays out of this header, as in usbio/WindowsHidPlatform.h.
#include <memory>

namespace usbio {

class WindowsHidMonitor {
public:
    WindowsHidMonitor();   // starts watching HID interface arrivals and removals
    ~WindowsHidMonitor();  // stops the watch and ends its thread
    WindowsHidMonitor(const WindowsHidMonitor&) = delete;
    WindowsHidMonitor& operator=(const WindowsHidMonitor&) = delete;

    // False when the watch could not be set up; WaitForChange then only sleeps.
    bool Watching() const;
    // Waits up to timeoutMs (a negative time counts as 0) for a HID interface to come or go,
    // changes since the last call included; true when one did, false when the time ran out.
    // Without a watch it sleeps the time and returns true, so that the caller looks again.
    bool WaitForChange(int timeoutMs);

    struct Watch;  // the thread and its window; public only so that the window procedure can name it

private:
    std::unique_ptr<Watch> watch_;
};

}  // namespace usbio
