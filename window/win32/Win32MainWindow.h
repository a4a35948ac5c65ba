#pragma once
// The native Windows window: a thin view of the window logic (window/MainWindow.h) on the Win32
// API and the common controls, its controls only. It lays the controls out from the system's
// message font at the monitor's DPI, forwards clicks, keys, drops and device arrivals to the logic,
// and shows what the logic tells it to. Dialogs, settings, events and time are Win32Services'.
// Texts cross into Windows as UTF-16 and come back as UTF-8.
//
// This header leaves <windows.h> out (see usbio/WindowsHidPlatform.h for why): window handles are
// declared here the way <windows.h> declares them.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "window/Layout.h"
#include "window/MainWindow.h"
#include "window/win32/Win32Services.h"

typedef struct HWND__* HWND;
typedef struct HFONT__* HFONT;
typedef struct HICON__* HICON;
struct tagMSG;

namespace window::win32 {

class Win32MainWindow final : public MainWindowView {
public:
    // Creates the window, hidden, and starts the logic (its first scan waits for the timer). The
    // window owns the services' dialogs and filters their messages while it lives. The font is
    // the system's message font, or its face at fontPointSize points when that is not 0.
    Win32MainWindow(usbio::DeviceConnection& connection, Win32Services& services,
                    WindowOptions options = {}, int fontPointSize = 0);
    ~Win32MainWindow() override;
    Win32MainWindow(const Win32MainWindow&) = delete;
    Win32MainWindow& operator=(const Win32MainWindow&) = delete;

    void Show();
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
    void SetDeviceRows(const std::vector<DeviceRow>& rows, std::optional<std::size_t> selected) override;
    void SetStatusText(const std::string& text) override;
    void SetButtonEnabled(Button button, bool enabled) override;
    void FocusButton(Button button) override;
    std::optional<Button> FocusedButton() override;
    void ParkFocus() override;
    void ShowStartAddress() override;
    void FocusStartAddress() override;
    std::string StartAddressText() override;
    void SetStartAddressText(const std::string& text) override;
    std::string FirmwareFileText() override;
    void SetFirmwareFileText(const std::string& text) override;
    void SetProgress(std::int64_t doneBytes, std::int64_t totalBytes) override;
    void SetBusyPointer(bool busy) override;
    void Close() override;

private:
    struct Callbacks;
    friend struct Callbacks;

    void CreateControls();
    void CreateFontForDpi();
    std::intptr_t HandleMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);

    usbio::DeviceConnection& connection_;
    Win32Services& services_;
    WindowOptions options_;
    int fontPointSize_;
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
    bool closing_ = false;
    bool portColumnShown_ = false;  // the fifth column, while several keyboards are listed
    bool showingRows_ = false;      // the rows are being shown: a selection change is not the user's
};

}  // namespace window::win32
