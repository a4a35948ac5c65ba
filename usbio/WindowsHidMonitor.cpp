#include "usbio/WindowsHidMonitor.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <dbt.h>

// The HID library headers carry no C linkage of their own.
extern "C" {
#include <hidsdi.h>
}

// Device notifications reach a window, which a console program has none of. CM_Register_Notification
// would do without one, but it needs Windows 8 (and Wine 8 lacks it): a message-only window on a
// thread of its own works everywhere, the way the window program receives them.
namespace usbio {

struct WindowsHidMonitor::Watch {
    std::mutex mutex;
    std::condition_variable signal;
    bool ready = false;  // the thread has made its window, or failed to
    bool watching = false;
    bool changed = false;
    HWND window = nullptr;
    HDEVNOTIFY notification = nullptr;
    DWORD threadId = 0;
    std::thread thread;

    void Run();
    void Changed() {
        {
            std::lock_guard lock(mutex);
            changed = true;
        }
        signal.notify_all();
    }
};

namespace {

constexpr wchar_t WindowClass[] = L"KestruneHidMonitor";
constexpr UINT StopMessage = WM_APP + 1;

LRESULT CALLBACK WatchProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* watch = reinterpret_cast<WindowsHidMonitor::Watch*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
        case WM_DEVICECHANGE:
            if ((wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) && lParam && watch &&
                reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam)->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE)
                watch->Changed();
            return TRUE;
        case StopMessage:
            if (watch && watch->notification) UnregisterDeviceNotification(watch->notification);
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

// Registered once for the process, and kept: another monitor's window may still use it.
bool RegisterWindowClass(HINSTANCE instance) {
    static const bool registered = [instance] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = WatchProcedure;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = WindowClass;
        return RegisterClassExW(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    return registered;
}

}  // namespace

void WindowsHidMonitor::Watch::Run() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    HWND created = nullptr;
    HDEVNOTIFY registered = nullptr;
    if (RegisterWindowClass(instance))
        created = CreateWindowExW(0, WindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
    if (created) {
        SetWindowLongPtrW(created, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        DEV_BROADCAST_DEVICEINTERFACE_W filter{};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        HidD_GetHidGuid(&filter.dbcc_classguid);
        registered = RegisterDeviceNotificationW(created, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        if (!registered) {
            DestroyWindow(created);
            created = nullptr;
        }
    }
    {
        std::lock_guard lock(mutex);
        window = created;
        notification = registered;
        threadId = GetCurrentThreadId();
        watching = created != nullptr;
        ready = true;
    }
    signal.notify_all();
    if (!created) return;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
}

WindowsHidMonitor::WindowsHidMonitor() : watch_(std::make_unique<Watch>()) {
    watch_->thread = std::thread([watch = watch_.get()] { watch->Run(); });
    std::unique_lock lock(watch_->mutex);
    watch_->signal.wait(lock, [this] { return watch_->ready; });
}

WindowsHidMonitor::~WindowsHidMonitor() {
    HWND window;
    DWORD threadId;
    {
        std::lock_guard lock(watch_->mutex);
        window = watch_->window;
        threadId = watch_->threadId;
    }
    // The window is destroyed on its own thread, whose message loop then ends.
    if (window && !PostMessageW(window, StopMessage, 0, 0)) PostThreadMessageW(threadId, WM_QUIT, 0, 0);
    watch_->thread.join();
}

bool WindowsHidMonitor::Watching() const {
    std::lock_guard lock(watch_->mutex);
    return watch_->watching;
}

bool WindowsHidMonitor::WaitForChange(int timeoutMs) {
    const auto time = std::chrono::milliseconds(std::max(timeoutMs, 0));
    std::unique_lock lock(watch_->mutex);
    if (!watch_->watching) {
        lock.unlock();
        std::this_thread::sleep_for(time);
        return true;
    }
    watch_->signal.wait_for(lock, time, [this] { return watch_->changed; });
    return std::exchange(watch_->changed, false);
}

}  // namespace usbio
