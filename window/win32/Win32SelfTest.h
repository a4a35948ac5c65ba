#pragma once
// kestrune-loader[-demo] --self-test FILE: one whole upload through the window's real controls, as
// a person would do it, for the Windows build's checks under Wine. A second thread waits for the
// first scan, types FILE into the firmware-file field, clicks Upload Firmware and answers every
// message box with its OK button; it reads the status bar and the device list as the window shows
// them, and passes when the status bar says "Firmware updated." with the keyboard listed again in
// normal mode. It reports each step on standard output, then leaves the window open for a
// screenshot until it is closed (at the latest after the hold time, with a click on Exit).
#include <atomic>
#include <string>
#include <thread>

#include "window/win32/Win32MainWindow.h"

namespace window::win32 {

class SelfTest {
public:
    SelfTest(Win32MainWindow& window, std::string firmwareFile, int holdSeconds);
    ~SelfTest();
    SelfTest(const SelfTest&) = delete;
    SelfTest& operator=(const SelfTest&) = delete;

    // Waits for the thread; the program's exit status: 0 when the upload went through.
    int Finish();

private:
    void Run();

    Win32MainWindow& window_;
    std::string file_;
    int holdSeconds_;
    unsigned long windowThread_;
    std::atomic<bool> windowGone_{false};
    int result_ = 1;
    std::thread thread_;
};

}  // namespace window::win32
