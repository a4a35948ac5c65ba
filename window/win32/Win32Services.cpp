#include "window/win32/Win32Services.h"

#include <algorithm>
#include <chrono>
#include <map>

#include "window/win32/WideText.h"

// After the program's own headers: <windows.h> makes INVALID_HANDLE_VALUE a macro.
#include <windows.h>

#include <commdlg.h>
#include <knownfolders.h>
#include <shlobj.h>

namespace window::win32 {
namespace {

bool IsUserInput(UINT message) {
    return (message >= WM_KEYFIRST && message <= WM_KEYLAST) ||
           (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST);
}

// While a box is up: the window it belongs to, kept enabled (the window system drops the close
// request of a disabled window, where the window must keep it and say that it closes once the
// update has ended) but deaf to keys and clicks, as during a wait; Alt+F4 still asks it to close.
HWND boxOwner = nullptr;

LRESULT CALLBACK HoldOwnerInput(int code, WPARAM wParam, LPARAM lParam) {
    if (code == MSGF_DIALOGBOX && boxOwner) {
        // The box has turned its window off on opening: on again.
        if (!IsWindowEnabled(boxOwner)) EnableWindow(boxOwner, TRUE);
        const MSG& msg = *reinterpret_cast<const MSG*>(lParam);
        if (IsUserInput(msg.message) && (msg.hwnd == boxOwner || IsChild(boxOwner, msg.hwnd))) {
            if (msg.message == WM_SYSKEYDOWN && msg.wParam == VK_F4 && (HIWORD(msg.lParam) & KF_ALTDOWN))
                PostMessageW(boxOwner, WM_SYSCOMMAND, SC_CLOSE, 0);
            return TRUE;
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

std::int64_t SteadyMs() {
    using namespace std::chrono;
    static const steady_clock::time_point start = steady_clock::now();
    return duration_cast<milliseconds>(steady_clock::now() - start).count();
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring KnownFolder(REFKNOWNFOLDERID id) {
    PWSTR path = nullptr;
    std::wstring folder;
    if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path)) && path) folder = path;
    CoTaskMemFree(path);
    return folder;
}

std::wstring SettingsKeyPath(const std::string& scope, const std::string& section) {
    return L"Software\\" + Wide(scope) + L"\\" + Wide(scope) + L"\\" + Wide(section);
}

// The running timers of this thread, by their ID: a thread timer's callback gets only its ID.
std::map<UINT_PTR, Win32Services*>& RunningTimers() {
    static std::map<UINT_PTR, Win32Services*> timers;
    return timers;
}

}  // namespace

struct Win32Services::TimerCallback {
    static void CALLBACK Tick(HWND, UINT, UINT_PTR id, DWORD) {
        const auto it = RunningTimers().find(id);
        if (it == RunningTimers().end()) {
            KillTimer(nullptr, id);
            return;
        }
        Win32Services& services = *it->second;
        // One tick for each start of the timer; the callback may start it again.
        auto onTimeout = std::move(services.onTimeout_);
        services.StopTimer();
        if (onTimeout) onTimeout();
    }
};

Win32Services::~Win32Services() { StopTimer(); }

void Win32Services::Attach(HWND owner, std::function<bool(const tagMSG&)> preTranslate) {
    owner_ = owner;
    preTranslate_ = std::move(preTranslate);
}

// ---- Dialogs, settings, folders ----

upload::MessageAnswer Win32Services::ShowMessage(const std::string& text,
                                                 upload::MessageStyle style,
                                                 const std::string& title) {
    UINT flags = MB_OK;
    switch (style) {
        case upload::MessageStyle::Warning: flags = MB_OK | MB_ICONWARNING; break;
        case upload::MessageStyle::WarningOkCancel: flags = MB_OKCANCEL | MB_ICONWARNING; break;
        case upload::MessageStyle::Information: flags = MB_OK | MB_ICONINFORMATION; break;
        case upload::MessageStyle::Plain: flags = MB_OK; break;
    }
    const HHOOK hold = owner_ ? SetWindowsHookExW(WH_MSGFILTER, HoldOwnerInput, nullptr, GetCurrentThreadId())
                              : nullptr;
    boxOwner = hold ? owner_ : nullptr;
    const int answer = MessageBoxW(owner_, Wide(text).c_str(), Wide(title).c_str(), flags);
    boxOwner = nullptr;
    if (hold) UnhookWindowsHookEx(hold);
    return answer == IDCANCEL ? upload::MessageAnswer::Cancel : upload::MessageAnswer::OK;
}

std::optional<std::string> Win32Services::OpenFile(const OpenFileRequest& request) {
    // "Firmware files (*.hex *.bin *.dat)" showing, "*.hex;*.bin;*.dat" matching; pairs of
    // strings ending in an empty one.
    std::wstring filters;
    for (const FileFilter& filter : request.filters) {
        std::wstring shown, matched;
        for (const std::string& pattern : filter.patterns) {
            shown += (shown.empty() ? L"" : L" ") + Wide(pattern);
            matched += (matched.empty() ? L"" : L";") + Wide(pattern);
        }
        filters += Wide(filter.description) + L" (" + shown + L")";
        filters.push_back(L'\0');
        filters += matched;
        filters.push_back(L'\0');
    }
    filters.push_back(L'\0');

    std::wstring file(32768, L'\0');
    std::wstring name = Wide(request.fileName);
    if (const std::size_t slash = name.find_last_of(L"\\/"); slash != std::wstring::npos)
        name.erase(0, slash + 1);
    std::copy_n(name.begin(), std::min(name.size(), file.size() - 1), file.begin());
    std::wstring folder = Wide(request.folder);
    std::replace(folder.begin(), folder.end(), L'/', L'\\');
    const std::wstring title = Wide(request.title);

    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = owner_;
    dialog.lpstrFilter = filters.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = static_cast<DWORD>(file.size());
    dialog.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
    dialog.lpstrTitle = title.c_str();
    dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY |
                   OFN_NOCHANGEDIR | OFN_ENABLESIZING;
    if (!GetOpenFileNameW(&dialog)) return std::nullopt;
    return Utf8(file.c_str());
}

std::string Win32Services::ReadSetting(const std::string& scope, const std::string& section,
                                       const std::string& key) {
    const std::wstring path = SettingsKeyPath(scope, section);
    const std::wstring name = Wide(key);
    DWORD bytes = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, nullptr,
                     &bytes) != ERROR_SUCCESS)
        return {};
    std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr,
                     value.data(), &bytes) != ERROR_SUCCESS)
        return {};
    return Utf8(value.c_str());
}

void Win32Services::WriteSetting(const std::string& scope, const std::string& section,
                                 const std::string& key, const std::string& value) {
    HKEY settings = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, SettingsKeyPath(scope, section).c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE, nullptr, &settings, nullptr) != ERROR_SUCCESS)
        return;
    const std::wstring text = Wide(value);
    RegSetValueExW(settings, Wide(key).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(settings);
}

std::string Win32Services::ProgramFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const std::size_t slash = path.find_last_of(L"\\/");
    return Utf8(slash == std::wstring::npos ? path : path.substr(0, slash));
}

std::string Win32Services::DownloadsFolder() {
    const std::wstring downloads = KnownFolder(FOLDERID_Downloads);
    if (!downloads.empty() && IsFolder(downloads)) return Utf8(downloads);
    std::wstring home = KnownFolder(FOLDERID_Profile);
    if (home.empty()) {
        if (const wchar_t* profile = _wgetenv(L"USERPROFILE")) home = profile;
    }
    return home.empty() ? ProgramFolder() : Utf8(home);
}

std::int64_t Win32Services::NowMs() { return SteadyMs(); }

// ---- Events and time ----

void Win32Services::ProcessQueued(bool takeInput) {
    MSG msg;
    while (!quit_ && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            quit_ = true;
            break;
        }
        // A blocking wait takes no input: clicks and keys meanwhile are dropped. Alt+F4 still asks
        // the window to close, as its close button does: the window then says that it closes once
        // the running command has ended.
        if (!takeInput && IsUserInput(msg.message)) {
            if (msg.message == WM_SYSKEYDOWN && msg.wParam == VK_F4 && (HIWORD(msg.lParam) & KF_ALTDOWN))
                PostMessageW(GetAncestor(msg.hwnd, GA_ROOT), WM_SYSCOMMAND, SC_CLOSE, 0);
            continue;
        }
        if (!preTranslate_ || !preTranslate_(msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

void Win32Services::Wait(int ms, bool takeInput) {
    if (!RealTime()) {  // tests: time moves on at once
        AdvanceTime(ms);
        ProcessQueued(takeInput);
        return;
    }
    const std::int64_t end = SteadyMs() + std::max(ms, 0);
    for (;;) {
        ProcessQueued(takeInput);
        const std::int64_t left = end - SteadyMs();
        if (left <= 0) return;
        if (quit_) {
            ::Sleep(static_cast<DWORD>(left));
            return;
        }
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(left), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
    }
}

void Win32Services::PumpEvents() { ProcessQueued(true); }

// Sleep repaints but takes no input, so that the window does not look hung during the long waits;
// Pause takes input too.
void Win32Services::Sleep(int ms) { Wait(ms, false); }
void Win32Services::Pause(int ms) { Wait(ms, true); }

void Win32Services::StartTimer(int ms, std::function<void()> onTimeout) {
    StopTimer();
    onTimeout_ = std::move(onTimeout);
    timerId_ = SetTimer(nullptr, 0, static_cast<UINT>(std::max(ms, 1)), &TimerCallback::Tick);
    if (timerId_ != 0) RunningTimers()[timerId_] = this;
}

void Win32Services::StopTimer() {
    if (timerId_ != 0) {
        KillTimer(nullptr, timerId_);
        RunningTimers().erase(timerId_);
        timerId_ = 0;
    }
    onTimeout_ = nullptr;
}

int Win32Services::RunMessageLoop() {
    MSG msg;
    while (!quit_) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) break;
        if (!preTranslate_ || !preTranslate_(msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    quit_ = true;
    return 0;
}

}  // namespace window::win32
