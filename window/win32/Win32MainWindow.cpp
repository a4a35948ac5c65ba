#include "window/win32/Win32MainWindow.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "window/WindowText.h"
#include "window/win32/WideText.h"

// After the program's own headers: <windows.h> makes INVALID_HANDLE_VALUE a macro.
#include <windows.h>

#include <commctrl.h>
#include <dbt.h>
#include <shellapi.h>

namespace window::win32 {
namespace {

constexpr wchar_t WindowClassName[] = L"KestruneLoaderWindow";
constexpr UINT_PTR ProgressSubclassId = 1;
// The program icon in the resources (see window/win32/kestrune-loader-win32.rc.in).
constexpr WORD ProgramIconId = 1;

// Control IDs. None is IDOK (1) or IDCANCEL (2): Enter and Escape in an edit field send those.
enum ControlId : int {
    DeviceListId = 100,
    RefreshId,
    UploadId,
    StartAddressLabelId,
    StartAddressId,
    FirmwareFileId,
    SelectFileId,
    ExitId,
    ProgressId,
    StatusBarId,
    DeviceListLabelId,
    FirmwareFileLabelId,
    ProgressLabelId,
    StatusLabelId,
};

// Posted to the window when the user selects a row of the device list (wParam: the row).
constexpr UINT RowSelectedMessage = WM_APP + 1;

// The interface class of every HID device (GUID_DEVINTERFACE_HID).
constexpr GUID HidInterfaceClass = {0x4d1e55b2, 0xf16f, 0x11cf,
                                    {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// Functions of Windows 10 (1607 and later); older Windows, and Wine, may lack them.
template <typename Function>
Function SystemFunction(const wchar_t* module, const char* name) {
    const HMODULE handle = GetModuleHandleW(module);
    if (!handle) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(handle, name)));
}
using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
using AdjustWindowRectExForDpiFunction = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
using SystemParametersInfoForDpiFunction = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);
using GetSystemMetricsForDpiFunction = int(WINAPI*)(int, UINT);

UINT SystemDpi() {
    const HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

std::wstring WindowText(HWND control) {
    const int length = GetWindowTextLengthW(control);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(control, text.data(), length + 1)));
    return text;
}

// A button caption with its Alt+letter mnemonic: the first occurrence of the letter.
// A text of the window in the user's language.
std::wstring Shown(const char* english) { return Wide(kestrune::Tr(english)); }

}  // namespace

// ---- Window procedures ----

struct Win32MainWindow::Callbacks {
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            auto* self = static_cast<Win32MainWindow*>(
                reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
            self->window_ = hwnd;
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        }
        auto* self = reinterpret_cast<Win32MainWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (!self) return DefWindowProcW(hwnd, message, wParam, lParam);
        return self->HandleMessage(message, wParam, lParam);
    }

    // The progress bar paints itself into a bitmap, and its percentage goes on top.
    static LRESULT CALLBACK ProgressProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                         UINT_PTR, DWORD_PTR data) {
        if (message == WM_PAINT) {
            const auto* self = reinterpret_cast<const Win32MainWindow*>(data);
            PAINTSTRUCT paint;
            const HDC dc = BeginPaint(hwnd, &paint);
            RECT client;
            GetClientRect(hwnd, &client);
            const HDC memory = CreateCompatibleDC(dc);
            const HBITMAP bitmap = CreateCompatibleBitmap(dc, client.right, client.bottom);
            const HGDIOBJ oldBitmap = SelectObject(memory, bitmap);
            FillRect(memory, &client, GetSysColorBrush(COLOR_BTNFACE));
            DefSubclassProc(hwnd, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(memory),
                            PRF_CLIENT | PRF_ERASEBKGND);
            const HGDIOBJ oldFont = SelectObject(memory, self->font_);
            SetBkMode(memory, TRANSPARENT);
            SetTextColor(memory, GetSysColor(COLOR_WINDOWTEXT));
            const std::wstring text = self->ProgressText();
            DrawTextW(memory, text.c_str(), static_cast<int>(text.size()), &client,
                      DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
            BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
            SelectObject(memory, oldFont);
            SelectObject(memory, oldBitmap);
            DeleteObject(bitmap);
            DeleteDC(memory);
            EndPaint(hwnd, &paint);
            return 0;
        }
        if (message == WM_ERASEBKGND) return 1;
        if (message == WM_NCDESTROY)
            RemoveWindowSubclass(hwnd, &Callbacks::ProgressProc, ProgressSubclassId);
        return DefSubclassProc(hwnd, message, wParam, lParam);
    }
};

// ---- The window ----

Win32MainWindow::Win32MainWindow(usbio::DeviceConnection& connection, Win32Services& services,
                                 WindowOptions options, int fontPointSize)
    : connection_(connection), services_(services), options_(options), fontPointSize_(fontPointSize) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS |
                                                       ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    const int bigSize = GetSystemMetrics(SM_CXICON), smallSize = GetSystemMetrics(SM_CXSMICON);
    bigIcon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(ProgramIconId), IMAGE_ICON,
                                             bigSize, bigSize, LR_SHARED));
    smallIcon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(ProgramIconId), IMAGE_ICON,
                                               smallSize, smallSize, LR_SHARED));
    if (!bigIcon_) bigIcon_ = LoadIconW(nullptr, IDI_APPLICATION);
    if (!smallIcon_) smallIcon_ = bigIcon_;

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    if (!GetClassInfoExW(instance, WindowClassName, &windowClass)) {
        windowClass = {};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &Callbacks::WindowProc;
        windowClass.hInstance = instance;
        windowClass.hIcon = bigIcon_;
        windowClass.hIconSm = smallIcon_;
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        windowClass.lpszClassName = WindowClassName;
        RegisterClassExW(&windowClass);
    }
    CreateWindowExW(WS_EX_CONTROLPARENT, WindowClassName, Shown(text::WindowTitle).c_str(),
                    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN,
                    CW_USEDEFAULT, CW_USEDEFAULT, 600, 300, nullptr, nullptr, instance, this);
    if (!window_) return;
    SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_));
    SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));

    static const auto getDpiForWindow = SystemFunction<GetDpiForWindowFunction>(L"user32.dll", "GetDpiForWindow");
    dpi_ = getDpiForWindow ? getDpiForWindow(window_) : SystemDpi();
    if (dpi_ == 0) dpi_ = SystemDpi();
    CreateFontForDpi();
    CreateControls();
    ApplyLayout();

    // A file dropped onto the window is taken as if chosen in the dialog.
    DragAcceptFiles(window_, TRUE);
    // HID devices arriving and leaving: the window rescans when no command runs.
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = HidInterfaceClass;
    deviceNotification_ = RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);

    services_.Attach(window_, [this](const MSG& msg) { return PreTranslateMessage(msg); });
    logic_ = std::make_unique<MainWindow>(connection_, *this, services_, options_);
    logic_->Start();
}

Win32MainWindow::~Win32MainWindow() {
    logic_.reset();
    if (window_) services_.Attach(nullptr, {});
    if (deviceNotification_) UnregisterDeviceNotification(deviceNotification_);
    if (window_) {
        SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
        DestroyWindow(window_);
    }
    if (font_) DeleteObject(font_);
}

void Win32MainWindow::CreateFontForDpi() {
    static const auto parametersForDpi =
        SystemFunction<SystemParametersInfoForDpiFunction>(L"user32.dll", "SystemParametersInfoForDpi");
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    LOGFONTW font{};
    if (parametersForDpi &&
        parametersForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi_)) {
        font = metrics.lfMessageFont;
    } else if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
        font = metrics.lfMessageFont;
        font.lfHeight = MulDiv(font.lfHeight, static_cast<int>(dpi_), static_cast<int>(SystemDpi()));
    } else {
        wcscpy(font.lfFaceName, L"Segoe UI");
        font.lfHeight = -MulDiv(9, static_cast<int>(dpi_), 72);
    }
    if (fontPointSize_ > 0) font.lfHeight = -MulDiv(fontPointSize_, static_cast<int>(dpi_), 72);
    const HFONT old = font_;
    font_ = CreateFontIndirectW(&font);
    if (old) {
        for (HWND child = GetWindow(window_, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
            SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
        DeleteObject(old);
    }
}

void Win32MainWindow::CreateControls() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    auto create = [&](DWORD exStyle, const wchar_t* className, const std::wstring& text, DWORD style,
                      int id) {
        const HWND control = CreateWindowExW(exStyle, className, text.c_str(), WS_CHILD | style, 0, 0,
                                             10, 10, window_,
                                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                             instance, nullptr);
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
        return control;
    };
    auto button = [&](Button which, int id) {
        return create(0, L"BUTTON", Wide(ButtonCaption(which)),
                      WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, id);
    };
    // A screen reader names an edit field, list or bar by the static text just before it in the
    // z-order; the ones without a visible label get a hidden one.
    auto hiddenLabel = [&](const char* name, int id) {
        return create(0, L"STATIC", Shown(name), SS_LEFT | SS_NOPREFIX, id);
    };

    // The z-order is the Tab order: created in the logic's reading order.
    for (Control control : TabOrder) {
        switch (control) {
            case Control::DeviceList:
                hiddenLabels_[0] = hiddenLabel(text::DeviceListName, DeviceListLabelId);
                deviceList = create(WS_EX_CLIENTEDGE, WC_LISTVIEWW, Shown(text::DeviceListName),
                                    WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL |
                                        LVS_SHOWSELALWAYS | LVS_NOSORTHEADER,
                                    DeviceListId);
                break;
            case Control::Refresh: refreshButton = button(Button::Refresh, RefreshId); break;
            case Control::Upload: uploadButton = button(Button::Upload, UploadId); break;
            case Control::StartAddress:
                startAddressLabel = create(0, L"STATIC", Shown(text::StartAddressLabel),
                                           SS_LEFT | SS_NOPREFIX, StartAddressLabelId);
                startAddressField = create(WS_EX_CLIENTEDGE, L"EDIT", L"",
                                           WS_TABSTOP | ES_AUTOHSCROLL, StartAddressId);
                break;
            case Control::FirmwareFile:
                hiddenLabels_[1] = hiddenLabel(text::FirmwareFileName, FirmwareFileLabelId);
                firmwareFileField = create(WS_EX_CLIENTEDGE, L"EDIT", L"",
                                           WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL, FirmwareFileId);
                break;
            case Control::SelectFile:
                selectFileButton = button(Button::SelectFile, SelectFileId);
                break;
            case Control::Exit: exitButton = button(Button::Exit, ExitId); break;
        }
    }
    hiddenLabels_[2] = hiddenLabel(text::ProgressName, ProgressLabelId);
    progressBar = create(0, PROGRESS_CLASSW, Shown(text::ProgressName), WS_VISIBLE, ProgressId);
    SendMessageW(progressBar, PBM_SETRANGE32, 0, 1);
    SetWindowSubclass(progressBar, &Callbacks::ProgressProc, ProgressSubclassId,
                      reinterpret_cast<DWORD_PTR>(this));
    hiddenLabels_[3] = hiddenLabel(text::StatusName, StatusLabelId);
    statusBar = create(0, STATUSCLASSNAMEW, L"",
                       WS_VISIBLE | CCS_NORESIZE | CCS_NOPARENTALIGN | CCS_NODIVIDER, StatusBarId);

    SendMessageW(deviceList, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT,
                 LVS_EX_FULLROWSELECT);
    for (int column = 0; column < 4; ++column) {
        std::wstring header = Shown(text::ColumnHeaders[column]);
        LVCOLUMNW item{};
        item.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT | LVCF_SUBITEM;
        item.fmt = column == 1 ? LVCFMT_RIGHT : LVCFMT_LEFT;
        item.cx = 50;
        item.pszText = header.data();
        item.iSubItem = column;
        SendMessageW(deviceList, LVM_INSERTCOLUMNW, static_cast<WPARAM>(column),
                     reinterpret_cast<LPARAM>(&item));
    }
}

void Win32MainWindow::ApplyLayout() {
    // The layout works in device-independent pixels; the window is per-monitor DPI aware and
    // places its controls in device pixels.
    const double scale = dpi_ / 96.0;
    const HDC dc = GetDC(window_);
    const HGDIOBJ oldFont = SelectObject(dc, font_);
    TEXTMETRICW font{};
    GetTextMetricsW(dc, &font);
    TextMetrics metrics;
    metrics.lineHeight = static_cast<int>(std::ceil(font.tmHeight / scale));
    metrics.textWidth = [dc, scale](std::string_view text) {
        const std::wstring wide = Wide(text);
        SIZE size{};
        GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
        return static_cast<int>(std::ceil(size.cx / scale));
    };
    const WindowLayout l = ComputeLayout(metrics);
    SelectObject(dc, oldFont);
    ReleaseDC(window_, dc);

    auto px = [scale](int dip) { return static_cast<int>(std::lround(dip * scale)); };
    auto rect = [&px](const Rect& r) {
        const int x = px(r.x), y = px(r.y);
        return Rect{x, y, px(r.Right()) - x, px(r.Bottom()) - y};
    };
    layout_.width = px(l.width);
    layout_.height = px(l.height);
    layout_.deviceList = rect(l.deviceList);
    layout_.refreshButton = rect(l.refreshButton);
    layout_.uploadButton = rect(l.uploadButton);
    layout_.selectFileButton = rect(l.selectFileButton);
    layout_.exitButton = rect(l.exitButton);
    layout_.startAddressLabel = rect(l.startAddressLabel);
    layout_.startAddressField = rect(l.startAddressField);
    layout_.firmwareFileField = rect(l.firmwareFileField);
    layout_.progressBar = rect(l.progressBar);
    layout_.statusBar = rect(l.statusBar);
    for (std::size_t i = 0; i < l.columnWidths.size(); ++i) layout_.columnWidths[i] = px(l.columnWidths[i]);
    for (std::size_t i = 0; i < l.statusPanelWidths.size(); ++i)
        layout_.statusPanelWidths[i] = px(l.statusPanelWidths[i]);

    auto place = [](HWND control, const Rect& r) {
        MoveWindow(control, r.x, r.y, r.width, r.height, TRUE);
    };
    place(deviceList, layout_.deviceList);
    place(hiddenLabels_[0], {layout_.deviceList.x, layout_.deviceList.y, 1, 1});
    place(refreshButton, layout_.refreshButton);
    place(uploadButton, layout_.uploadButton);
    place(startAddressLabel, layout_.startAddressLabel);
    place(startAddressField, layout_.startAddressField);
    place(firmwareFileField, layout_.firmwareFileField);
    place(hiddenLabels_[1], {layout_.firmwareFileField.x, layout_.firmwareFileField.y, 1, 1});
    place(selectFileButton, layout_.selectFileButton);
    place(exitButton, layout_.exitButton);
    place(progressBar, layout_.progressBar);
    place(hiddenLabels_[2], {layout_.progressBar.x, layout_.progressBar.y, 1, 1});
    place(hiddenLabels_[3], {layout_.statusBar.x, layout_.statusBar.y, 1, 1});
    place(statusBar, layout_.statusBar);
    for (int column = 0; column < 4; ++column)
        SendMessageW(deviceList, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(column),
                     layout_.columnWidths[static_cast<std::size_t>(column)]);
    layout_.portColumnWidth = px(l.portColumnWidth);
    if (portColumnShown_) SendMessageW(deviceList, LVM_SETCOLUMNWIDTH, 4, layout_.portColumnWidth);
    int parts[2] = {layout_.statusPanelWidths[0],
                    layout_.statusPanelWidths[0] + layout_.statusPanelWidths[1]};
    SendMessageW(statusBar, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(parts));

    // The window's outer size for this client area.
    static const auto adjustForDpi =
        SystemFunction<AdjustWindowRectExForDpiFunction>(L"user32.dll", "AdjustWindowRectExForDpi");
    RECT outer{0, 0, layout_.width, layout_.height};
    const DWORD style = static_cast<DWORD>(GetWindowLongPtrW(window_, GWL_STYLE));
    const DWORD exStyle = static_cast<DWORD>(GetWindowLongPtrW(window_, GWL_EXSTYLE));
    if (!adjustForDpi || !adjustForDpi(&outer, style, FALSE, exStyle, dpi_))
        AdjustWindowRectEx(&outer, style, FALSE, exStyle);
    SetWindowPos(window_, nullptr, 0, 0, outer.right - outer.left, outer.bottom - outer.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    InvalidateRect(window_, nullptr, TRUE);
}

void Win32MainWindow::Show() {
    // Focus rectangles are drawn from the first paint, not only after the first key press.
    SendMessageW(window_, WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
    ShowWindow(window_, SW_SHOWNORMAL);
    UpdateWindow(window_);
    // The control the logic gave the focus to while the window was hidden.
    if (focusBeforeDeactivation_) SetFocus(focusBeforeDeactivation_);
}

HWND Win32MainWindow::ButtonOf(Button button) const {
    switch (button) {
        case Button::Refresh: return refreshButton;
        case Button::Upload: return uploadButton;
        case Button::Exit: return exitButton;
        case Button::SelectFile: return selectFileButton;
    }
    return refreshButton;
}

std::wstring Win32MainWindow::ProgressText() const {
    const std::int64_t percent = progressTotal_ > 0 ? progressDone_ * 100 / progressTotal_ : 0;
    return std::to_wstring(percent) + L"%";
}

std::intptr_t Win32MainWindow::HandleMessage(unsigned message, std::uintptr_t wParam,
                                             std::intptr_t lParam) {
    switch (message) {
        case WM_COMMAND:
            // A field left keeps no selection, as in Qt: a key there later adds to its text.
            if (HIWORD(wParam) == EN_KILLFOCUS) {
                SendMessageW(reinterpret_cast<HWND>(lParam), EM_SETSEL, static_cast<WPARAM>(-1), 0);
                return 0;
            }
            if (HIWORD(wParam) == BN_CLICKED && logic_) {
                switch (LOWORD(wParam)) {
                    case RefreshId: logic_->OnButton(Button::Refresh); return 0;
                    case UploadId: logic_->OnButton(Button::Upload); return 0;
                    case ExitId: logic_->OnButton(Button::Exit); return 0;
                    case SelectFileId: logic_->OnButton(Button::SelectFile); return 0;
                    default: break;
                }
            }
            return 0;
        case WM_NOTIFY: {
            // The user selected another row of the device list.
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            if (header && header->hwndFrom == deviceList && header->code == LVN_ITEMCHANGED &&
                !showingRows_ && logic_) {
                const auto* change = reinterpret_cast<const NMLISTVIEW*>(lParam);
                // Taken once the list has finished with the click: the logic shows the rows again.
                if ((change->uChanged & LVIF_STATE) && change->iItem >= 0 &&
                    (change->uNewState & LVIS_SELECTED) && !(change->uOldState & LVIS_SELECTED))
                    PostMessageW(window_, RowSelectedMessage, static_cast<WPARAM>(change->iItem), 0);
            }
            return 0;
        }
        case RowSelectedMessage:
            if (logic_) logic_->OnRowSelected(static_cast<std::size_t>(wParam));
            return 0;
        case WM_CLOSE:
            if (closing_ || !logic_ || logic_->OnCloseRequested()) Close();
            return 0;
        case WM_SETCURSOR:
            if (busyPointer_ && LOWORD(lParam) == HTCLIENT) {
                SetCursor(LoadCursorW(nullptr, IDC_WAIT));
                return TRUE;
            }
            break;
        case WM_ACTIVATE:
            // The focus leaves with the window and comes back to the same control.
            if (LOWORD(wParam) == WA_INACTIVE) {
                const HWND focus = GetFocus();
                if (focus && IsChild(window_, focus)) focusBeforeDeactivation_ = focus;
            } else if (focusBeforeDeactivation_ && IsWindowEnabled(focusBeforeDeactivation_)) {
                SetFocus(focusBeforeDeactivation_);
                return 0;
            } else if (IsWindowEnabled(refreshButton)) {
                // Never active without a focus (Tab would do nothing).
                SetFocus(refreshButton);
                return 0;
            }
            break;
        case WM_DROPFILES: {
            const auto drop = reinterpret_cast<HDROP>(wParam);
            std::wstring path;
            if (DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0) == 1) {
                path.resize(DragQueryFileW(drop, 0, nullptr, 0) + 1);
                path.resize(DragQueryFileW(drop, 0, path.data(), static_cast<UINT>(path.size())));
            }
            DragFinish(drop);
            if (!path.empty() && logic_) logic_->OnFileDropped(Utf8(path));
            return 0;
        }
        case WM_DEVICECHANGE:
            if ((wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) && lParam &&
                reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam)->dbch_devicetype ==
                    DBT_DEVTYP_DEVICEINTERFACE &&
                logic_)
                logic_->OnDeviceArrivedOrLeft();
            return TRUE;
        case WM_DPICHANGED: {
            dpi_ = HIWORD(wParam);
            CreateFontForDpi();
            const auto* suggested = reinterpret_cast<const RECT*>(lParam);
            SetWindowPos(window_, nullptr, suggested->left, suggested->top, 0, 0,
                         SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
            ApplyLayout();
            return 0;
        }
        case WM_SETTINGCHANGE:
            if (wParam == SPI_SETNONCLIENTMETRICS) {
                CreateFontForDpi();
                ApplyLayout();
            }
            break;
        default:
            break;
    }
    return DefWindowProcW(window_, message, wParam, lParam);
}

bool Win32MainWindow::PreTranslateMessage(const tagMSG& msg) {
    if (!window_ || (msg.hwnd != window_ && !IsChild(window_, msg.hwnd))) return false;
    if (msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN) {
        const KeyModifiers modifiers{GetKeyState(VK_SHIFT) < 0, GetKeyState(VK_CONTROL) < 0,
                                     GetKeyState(VK_MENU) < 0};
        const Key key = msg.wParam == VK_F1 ? Key::F1 : msg.wParam == VK_ESCAPE ? Key::Escape : Key::Other;
        if (logic_) logic_->OnKeyDown(key, modifiers);
        if ((key == Key::F1 && modifiers.control) || key == Key::Escape) return true;
        // Enter presses the focused button, as Space does.
        const HWND focus = GetFocus();
        if (msg.message == WM_KEYDOWN && msg.wParam == VK_RETURN && !modifiers.shift &&
            !modifiers.control && !modifiers.alt &&
            (focus == refreshButton || focus == uploadButton || focus == exitButton ||
             focus == selectFileButton)) {
            if (IsWindowEnabled(focus)) SendMessageW(focus, BM_CLICK, 0, 0);
            return true;
        }
    }
    // Tab and Shift+Tab through the controls in z-order, Alt+letter for the mnemonics.
    return IsDialogMessageW(window_, const_cast<MSG*>(&msg)) != FALSE;
}

// ---- MainWindowView ----

void Win32MainWindow::SetCaption(const std::string& text) { SetWindowTextW(window_, Wide(text).c_str()); }

void Win32MainWindow::SetDeviceRows(const std::vector<DeviceRow>& rows, std::optional<std::size_t> selected) {
    showingRows_ = true;
    SendMessageW(deviceList, LVM_DELETEALLITEMS, 0, 0);
    // The port column is there only while several keyboards are listed.
    const bool showPort = rows.size() > 1;
    if (showPort && !portColumnShown_) {
        std::wstring header = Shown(text::PortColumnHeader);
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT | LVCF_SUBITEM;
        column.fmt = LVCFMT_LEFT;
        column.cx = layout_.portColumnWidth;
        column.pszText = header.data();
        column.iSubItem = 4;
        SendMessageW(deviceList, LVM_INSERTCOLUMNW, 4, reinterpret_cast<LPARAM>(&column));
    } else if (!showPort && portColumnShown_) {
        SendMessageW(deviceList, LVM_DELETECOLUMN, 4, 0);
    }
    portColumnShown_ = showPort;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const DeviceRow& row = rows[r];
        const std::string* cells[5] = {&row.vendorId, &row.productId, &row.firmwareVersion, &row.mode, &row.port};
        for (int column = 0; column < (showPort ? 5 : 4); ++column) {
            std::wstring text = Wide(*cells[column]);
            LVITEMW item{};
            item.mask = LVIF_TEXT;
            item.iItem = static_cast<int>(r);
            item.iSubItem = column;
            item.pszText = text.data();
            SendMessageW(deviceList, column == 0 ? LVM_INSERTITEMW : LVM_SETITEMTEXTW,
                         column == 0 ? 0 : static_cast<WPARAM>(r), reinterpret_cast<LPARAM>(&item));
        }
    }
    if (selected && *selected < rows.size()) {
        LVITEMW state{};
        state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        state.state = LVIS_SELECTED | LVIS_FOCUSED;
        SendMessageW(deviceList, LVM_SETITEMSTATE, static_cast<WPARAM>(*selected), reinterpret_cast<LPARAM>(&state));
    }
    showingRows_ = false;
}

void Win32MainWindow::SetStatusText(const std::string& text) {
    SendMessageW(statusBar, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(Wide(text).c_str()));
    UpdateWindow(statusBar);  // shown at once, also while a command holds the message loop
}

void Win32MainWindow::SetButtonEnabled(Button button, bool enabled) {
    EnableWindow(ButtonOf(button), enabled);
}

void Win32MainWindow::FocusButton(Button button) {
    // Also where the focus goes when the window is activated again: a message box that has just
    // closed may hand the activation back only after the command has ended.
    focusBeforeDeactivation_ = ButtonOf(button);
    SetFocus(focusBeforeDeactivation_);
}

std::optional<Button> Win32MainWindow::FocusedButton() {
    const HWND focus = GetFocus();
    for (Button b : {Button::Refresh, Button::Upload, Button::Exit, Button::SelectFile})
        if (focus == ButtonOf(b)) return b;
    return std::nullopt;
}

// A disabled control that has the focus loses it, and the window is left without one (Tab and
// Space do nothing): the window itself holds it meanwhile.
void Win32MainWindow::ParkFocus() { SetFocus(window_); }

void Win32MainWindow::FocusStartAddress() {
    // Its text selected, as Qt's field does: what the user types replaces it.
    SetFocus(startAddressField);
    SendMessageW(startAddressField, EM_SETSEL, 0, -1);
}

void Win32MainWindow::ShowStartAddress() {
    ShowWindow(startAddressLabel, SW_SHOW);
    ShowWindow(startAddressField, SW_SHOW);
}

std::string Win32MainWindow::StartAddressText() { return Utf8(WindowText(startAddressField)); }
void Win32MainWindow::SetStartAddressText(const std::string& text) {
    SetWindowTextW(startAddressField, Wide(text).c_str());
}
std::string Win32MainWindow::FirmwareFileText() { return Utf8(WindowText(firmwareFileField)); }
void Win32MainWindow::SetFirmwareFileText(const std::string& text) {
    SetWindowTextW(firmwareFileField, Wide(text).c_str());
}

void Win32MainWindow::SetProgress(std::int64_t doneBytes, std::int64_t totalBytes) {
    // The bar counts whole bytes; an empty upload shows an empty bar.
    progressTotal_ = std::clamp<std::int64_t>(totalBytes, 1, INT32_MAX);
    progressDone_ = std::clamp<std::int64_t>(doneBytes, 0, progressTotal_);
    SendMessageW(progressBar, PBM_SETRANGE32, 0, static_cast<LPARAM>(progressTotal_));
    SendMessageW(progressBar, PBM_SETPOS, static_cast<WPARAM>(progressDone_), 0);
    InvalidateRect(progressBar, nullptr, FALSE);
}

void Win32MainWindow::SetBusyPointer(bool busy) {
    busyPointer_ = busy;
    POINT cursor;
    if (!GetCursorPos(&cursor)) return;
    const HWND under = WindowFromPoint(cursor);
    if (under == window_ || IsChild(window_, under))
        SetCursor(LoadCursorW(nullptr, busy ? IDC_WAIT : IDC_ARROW));
}

void Win32MainWindow::Close() {
    // The window goes at once; it is destroyed once the message loop has ended, after the logic
    // that asked for this has returned.
    closing_ = true;
    ShowWindow(window_, SW_HIDE);
    PostQuitMessage(0);
}

}  // namespace window::win32
