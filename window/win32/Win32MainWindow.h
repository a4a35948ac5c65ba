#pragma once
// The native Windows window: a thin view of the window logic (window/MainWindow.h) on the Win32
// API and the common controls. It lays the controls out from the system's message font at the
// monitor's DPI, forwards clicks, keys, drops and device arrivals to the logic, and shows what the
// logic tells it to. Texts cross into Windows as UTF-16 and come back as UTF-8.
//
// This header leaves <windows.h> out (see usbio/WindowsHidPlatform.h for why): window handles are
// declared here the way <windows.h> declares them.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "window/Layout.h"
#include "window/MainWindow.h"

typedef struct HWND__* HWND;
typedef struct HFONT__* HFONT;
typedef struct HICON__* HICON;
struct tagMSG;

namespace window::win32 {

// The parts of the view that a test replaces: the blocking waits, the clock, dialogs, settings and
// the font. The real ones use MessageBoxW, GetOpenFileNameW, the registry and the message queue.
class Win32Platform {
public:
    virtual ~Win32Platform() = default;
    virtual upload::MessageAnswer ShowMessage(HWND owner, const std::string& text,
                                              upload::MessageStyle style, const std::string& title);
    virtual std::optional<std::string> OpenFile(HWND owner, const OpenFileRequest& request);
    // HKEY_CURRENT_USER\Software\<scope>\<scope>\<section>, value <key>: where QSettings keeps
    // the same setting on Windows.
    virtual std::string ReadSetting(const std::string& scope, const std::string& section,
                                    const std::string& key);
    virtual void WriteSetting(const std::string& scope, const std::string& section,
                              const std::string& key, const std::string& value);
    virtual std::string ProgramFolder();
    virtual std::string DownloadsFolder();
    virtual std::int64_t NowMs();
    // The window's font: 0 takes the system's message font as it is; otherwise its face at this
    // size in points.
    virtual int FontPointSize() { return 0; }
    // Whether the waits below really wait (tests run them on virtual time and turn this off).
    virtual bool RealTime() { return true; }
    // Advances virtual time by ms; called only when RealTime() is false.
    virtual void AdvanceTime(int /*ms*/) {}
};

class Win32MainWindow final : public MainWindowView {
public:
    // Creates the window, hidden, and starts the logic (its first scan waits for the timer).
    Win32MainWindow(usbio::DeviceConnection& connection, Win32Platform& platform,
                    WindowOptions options = {});
    ~Win32MainWindow() override;
    Win32MainWindow(const Win32MainWindow&) = delete;
    Win32MainWindow& operator=(const Win32MainWindow&) = delete;

    void Show();
    // Runs the message loop until the window closes; returns the program's exit status.
    int RunMessageLoop();
    // Keys the window takes before any control does: Tab and Alt+letter between the controls,
    // Enter on the focused button, Ctrl+F1 from anywhere. True when the message was used up.
    bool PreTranslateMessage(const tagMSG& msg);

    MainWindow& Logic() { return *logic_; }
    HWND Handle() const { return window_; }
    HWND ButtonOf(Button button) const;
    // The layout in use, in device pixels, and the DPI it was made for.
    const WindowLayout& Layout() const { return layout_; }
    unsigned Dpi() const { return dpi_; }
    HFONT Font() const { return font_; }
    bool ScanTimerRunning() const { return scanTimerRunning_; }
    // The text drawn over the progress bar, e.g. "25%".
    std::wstring ProgressText() const;
    // Lays the controls out again for the current font and DPI.
    void ApplyLayout();

    HWND deviceList = nullptr;
    HWND refreshButton = nullptr;
    HWND uploadButton = nullptr;
    HWND exitButton = nullptr;
    HWND selectFileButton = nullptr;
    HWND startAddressLabel = nullptr;
    HWND startAddressField = nullptr;
    HWND firmwareFileField = nullptr;
    HWND progressBar = nullptr;
    HWND statusBar = nullptr;

    // MainWindowView
    void SetCaption(const std::string& text) override;
    void SetDeviceRow(const std::optional<DeviceRow>& row) override;
    void SetStatusText(const std::string& text) override;
    void SetButtonEnabled(Button button, bool enabled) override;
    void FocusButton(Button button) override;
    void ShowStartAddress() override;
    std::string StartAddressText() override;
    void SetStartAddressText(const std::string& text) override;
    std::string FirmwareFileText() override;
    void SetFirmwareFileText(const std::string& text) override;
    void SetProgress(std::int64_t doneBytes, std::int64_t totalBytes) override;
    void SetBusyPointer(bool busy) override;
    upload::MessageAnswer ShowMessage(const std::string& text, upload::MessageStyle style,
                                      const std::string& title) override;
    std::optional<std::string> OpenFile(const OpenFileRequest& request) override;
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
    void StartTimer(int ms) override;
    void StopTimer() override;
    void Close() override;

private:
    struct Callbacks;
    friend struct Callbacks;

    void CreateControls();
    void CreateFontForDpi();
    std::intptr_t HandleMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
    // Dispatches what is queued; false once the program is to end.
    void ProcessQueued(bool takeInput);
    void Wait(int ms, bool takeInput);

    usbio::DeviceConnection& connection_;
    Win32Platform& platform_;
    WindowOptions options_;
    std::unique_ptr<MainWindow> logic_;

    HWND window_ = nullptr;
    HWND focusBeforeDeactivation_ = nullptr;
    std::array<HWND, 4> hiddenLabels_{};  // accessible names: list, file field, progress, status
    HFONT font_ = nullptr;
    HICON bigIcon_ = nullptr;
    HICON smallIcon_ = nullptr;
    void* deviceNotification_ = nullptr;
    unsigned dpi_ = 96;
    WindowLayout layout_;
    std::int64_t progressDone_ = 0, progressTotal_ = 0;
    bool busyPointer_ = false;
    bool scanTimerRunning_ = false;
    bool closing_ = false;
    bool quit_ = false;
};

}  // namespace window::win32
