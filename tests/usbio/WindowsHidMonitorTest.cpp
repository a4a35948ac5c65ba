// The HID interface watch on Windows: it starts and stops without leaving a thread behind, waits
// no longer than asked, and a device notification for an interface (sent to its window as
// Windows would) wakes the wait, while other notifications do not.
#ifdef _WIN32

#include "usbio/WindowsHidMonitor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include <windows.h>

#include <dbt.h>
#include <tlhelp32.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

int ThreadsOfThisProcess() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    int count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    CloseHandle(snapshot);
    return count;
}

TEST(WindowsHidMonitor, WaitsNoLongerThanAskedAndStopsCleanly) {
    { usbio::WindowsHidMonitor warmUp; }  // whatever the system starts once for the first watch
    const int threads = ThreadsOfThisProcess();
    for (int round = 0; round < 3; ++round) {
        usbio::WindowsHidMonitor monitor;
        EXPECT_TRUE(monitor.Watching());
        EXPECT_GT(ThreadsOfThisProcess(), threads);  // its thread
        auto start = Clock::now();
        monitor.WaitForChange(0);
        EXPECT_LT(Clock::now() - start, 1s);
        start = Clock::now();
        const bool changed = monitor.WaitForChange(50);
        const auto took = Clock::now() - start;
        EXPECT_LT(took, 2s);
        EXPECT_TRUE(changed || took >= 45ms) << "false after " << (took / 1ms) << " ms";
    }
    // Three monitors leave no thread each behind (the system's own thread pool may come and go).
    EXPECT_LT(ThreadsOfThisProcess(), threads + 3);
}

TEST(WindowsHidMonitor, InterfaceArrivalsAndRemovalsWakeTheWait) {
    usbio::WindowsHidMonitor monitor;
    ASSERT_TRUE(monitor.Watching());
    // The monitor's message-only window, by its class name.
    const HWND window = FindWindowExW(HWND_MESSAGE, nullptr, L"KestruneHidMonitor", nullptr);
    ASSERT_NE(window, nullptr);
    monitor.WaitForChange(0);  // whatever came before
    DEV_BROADCAST_DEVICEINTERFACE_W hid{};
    hid.dbcc_size = sizeof hid;
    hid.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    DEV_BROADCAST_HDR volume{};
    volume.dbch_size = sizeof volume;
    volume.dbch_devicetype = DBT_DEVTYP_VOLUME;
    struct Case {
        WPARAM event;
        const void* data;
        bool changed;
    };
    const std::vector<Case> cases{
        {DBT_DEVICEARRIVAL, &hid, true},         {DBT_DEVICEREMOVECOMPLETE, &hid, true},
        {DBT_DEVICEQUERYREMOVE, &hid, false},    {DBT_DEVICEARRIVAL, &volume, false},
        {DBT_DEVNODES_CHANGED, nullptr, false},  {DBT_DEVICEARRIVAL, nullptr, false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SendMessageW(window, WM_DEVICECHANGE, cases[i].event, reinterpret_cast<LPARAM>(cases[i].data));
        EXPECT_EQ(monitor.WaitForChange(0), cases[i].changed) << "case " << i;
    }
    // A notification while the wait runs ends it long before its timeout.
    const auto start = Clock::now();
    std::thread plug([&] { SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&hid)); });
    EXPECT_TRUE(monitor.WaitForChange(60'000));
    plug.join();
    EXPECT_LT(Clock::now() - start, 10s);
}

}  // namespace

#endif  // _WIN32
