#pragma once
// The window's services on Windows: MessageBoxW, GetOpenFileNameW, the registry, the known folders,
// the thread's message queue and a thread timer. Tests replace the dialogs, the settings and the
// clock by deriving from it.
//
// This header leaves <windows.h> out (see usbio/WindowsHidPlatform.h for why): window handles are
// declared here the way <windows.h> declares them.
#include <cstdint>
#include <functional>

#include "window/WindowServices.h"

typedef struct HWND__* HWND;
struct tagMSG;

namespace window::win32 {

class Win32Services : public WindowServices {
public:
    Win32Services() = default;
    ~Win32Services() override;
    Win32Services(const Win32Services&) = delete;
    Win32Services& operator=(const Win32Services&) = delete;

    // The window that owns the dialogs, and the keys it takes before its controls do (Tab, Enter,
    // mnemonics): every message the event pump and the message loop take goes through it first.
    void Attach(HWND owner, std::function<bool(const tagMSG&)> preTranslate);
    // Runs the message loop until the program is to end; returns its exit status.
    int RunMessageLoop();
    bool TimerRunning() const { return timerId_ != 0; }

    upload::MessageAnswer ShowMessage(const std::string& text, upload::MessageStyle style,
                                      const std::string& title) override;
    std::optional<std::string> OpenFile(const OpenFileRequest& request) override;
    // HKEY_CURRENT_USER\Software\<scope>\<scope>\<section>, value <key>: where QSettings keeps
    // the same setting on Windows.
    std::string ReadSetting(const std::string& scope, const std::string& section,
                            const std::string& key) override;
    void WriteSetting(const std::string& scope, const std::string& section, const std::string& key,
                      const std::string& value) override;
    std::string ProgramFolder() override;
    std::string DownloadsFolder() override;
    void PumpEvents() override;
    void Sleep(int ms) override;
    void Pause(int ms) override;
    std::int64_t NowMs() override;
    void StartTimer(int ms, std::function<void()> onTimeout) override;
    void StopTimer() override;

    // Whether the waits really wait (tests run them on virtual time and turn this off).
    virtual bool RealTime() { return true; }
    // Advances virtual time by ms; called only when RealTime() is false.
    virtual void AdvanceTime(int /*ms*/) {}

private:
    struct TimerCallback;
    friend struct TimerCallback;

    // Dispatches what is queued, until the program is to end.
    void ProcessQueued(bool takeInput);
    void Wait(int ms, bool takeInput);

    HWND owner_ = nullptr;
    std::function<bool(const tagMSG&)> preTranslate_;
    std::uintptr_t timerId_ = 0;
    std::function<void()> onTimeout_;
    bool quit_ = false;
};

}  // namespace window::win32
