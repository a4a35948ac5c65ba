#include "window/win32/Win32SelfTest.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>
#include <vector>

#include "window/WindowText.h"
#include "window/win32/Console.h"
#include "window/win32/WideText.h"

#include <windows.h>

#include <commctrl.h>

namespace window::win32 {
namespace {

using Clock = std::chrono::steady_clock;

constexpr UINT ReplyTimeoutMs = 5000;
// Long enough for a keyboard plugged in after the start, in an emulated machine.
constexpr int FirstScanTimeoutS = 180;
constexpr int UploadTimeoutS = 120;

// Asks a control of the window's thread; the window answers between its steps, message boxes and
// waits included.
LRESULT Ask(HWND control, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(control, message, wParam, lParam, SMTO_NORMAL, ReplyTimeoutMs, &result))
        return 0;
    return static_cast<LRESULT>(result);
}

std::wstring TextOf(HWND control) {
    wchar_t text[1024] = {};
    Ask(control, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text));
    return text;
}

std::wstring StatusText(HWND statusBar) {
    wchar_t text[1024] = {};
    const LRESULT length = Ask(statusBar, SB_GETTEXTLENGTHW, 0, 0);
    if (LOWORD(length) >= std::size(text)) return L"";
    Ask(statusBar, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(text));
    return text;
}

std::vector<std::wstring> RowOf(HWND list) {
    std::vector<std::wstring> cells;
    if (Ask(list, LVM_GETITEMCOUNT, 0, 0) < 1) return cells;
    for (int column = 0; column < 4; ++column) {
        wchar_t text[256] = {};
        LVITEMW item{};
        item.iSubItem = column;
        item.pszText = text;
        item.cchTextMax = static_cast<int>(std::size(text));
        Ask(list, LVM_GETITEMTEXTW, 0, reinterpret_cast<LPARAM>(&item));
        cells.emplace_back(text);
    }
    return cells;
}

std::string Joined(const std::vector<std::wstring>& cells) {
    std::string text;
    for (const std::wstring& cell : cells) text += (text.empty() ? "" : " | ") + Utf8(cell);
    return text.empty() ? "(empty)" : text;
}

// The message boxes the window's thread shows.
std::vector<HWND> MessageBoxes(DWORD thread) {
    std::vector<HWND> boxes;
    EnumThreadWindows(
        thread,
        [](HWND window, LPARAM found) -> BOOL {
            wchar_t className[16] = {};
            GetClassNameW(window, className, static_cast<int>(std::size(className)));
            if (IsWindowVisible(window) && std::wstring(className) == L"#32770")
                reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&boxes));
    return boxes;
}

}  // namespace

SelfTest::SelfTest(Win32MainWindow& window, std::string firmwareFile, int holdSeconds)
    : window_(window), file_(std::move(firmwareFile)), holdSeconds_(holdSeconds),
      windowThread_(GetWindowThreadProcessId(window.Handle(), nullptr)) {
    thread_ = std::thread([this] { Run(); });
}

SelfTest::~SelfTest() {
    windowGone_ = true;
    if (thread_.joinable()) thread_.join();
}

int SelfTest::Finish() {
    windowGone_ = true;
    if (thread_.joinable()) thread_.join();
    return result_;
}

void SelfTest::Run() {
    const auto start = Clock::now();
    auto seconds = [start] {
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    auto log = [&seconds](const std::string& text) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "self-test %6.2f s: ", seconds());
        PrintLine(stamp + text);
    };

    std::wstring lastStatus;
    std::set<HWND> answered;
    // One look at the window: answers new message boxes with OK, reports a new status text.
    std::set<HWND> shown;
    auto look = [&] {
        const std::vector<HWND> boxes = MessageBoxes(windowThread_);
        for (auto it = shown.begin(); it != shown.end();) {
            if (std::find(boxes.begin(), boxes.end(), *it) == boxes.end()) {
                log("message box closed");
                it = shown.erase(it);
            } else {
                ++it;
            }
        }
        for (HWND box : boxes) {
            shown.insert(box);
            if (!answered.insert(box).second) {
                // Still there after its OK was clicked: close it the dialog's own way.
                PostMessageW(box, WM_COMMAND, IDOK, 0);
                continue;
            }
            const std::wstring text = TextOf(GetDlgItem(box, 0xFFFF));
            log("message box \"" + Utf8(TextOf(box)) + "\": " + Utf8(text.substr(0, text.find(L'\r'))) +
                " -> OK");
            PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
        }
        const std::wstring status = StatusText(window_.statusBar);
        if (status != lastStatus) {
            lastStatus = status;
            log("status \"" + Utf8(status) + "\"");
        }
    };
    auto waitFor = [&](auto done, int timeoutS) {
        while (!windowGone_ && seconds() < timeoutS) {
            look();
            if (done()) return true;
            ::Sleep(100);
        }
        return false;
    };

    const std::wstring found = Wide(kestrune::Tr(text::DeviceFound));
    if (!waitFor([&] { return lastStatus == found && IsWindowEnabled(window_.uploadButton); },
                 FirstScanTimeoutS)) {
        log("FAIL: the first scan did not find the keyboard");
        return;
    }
    log("device list: " + Joined(RowOf(window_.deviceList)));
    RECT frame{};
    GetWindowRect(window_.Handle(), &frame);
    log("window at " + std::to_string(frame.left) + "," + std::to_string(frame.top) + " size " +
        std::to_string(frame.right - frame.left) + "x" + std::to_string(frame.bottom - frame.top));

    Ask(window_.firmwareFileField, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Wide(file_).c_str()));
    log("firmware file field: " + Utf8(TextOf(window_.firmwareFileField)));
    log("clicking Upload Firmware");
    PostMessageW(window_.uploadButton, BM_CLICK, 0, 0);

    const std::wstring updated = Wide(kestrune::Tr(text::FirmwareUpdated));
    const std::wstring failed[] = {Wide(kestrune::Tr(text::UploadFailed)), Wide(kestrune::Tr(text::CommunicationFailed))};
    std::vector<std::wstring> row;
    bool gaveUp = false;
    const bool done = waitFor(
        [&] {
            if (lastStatus == failed[0] || lastStatus == failed[1]) return gaveUp = true;
            if (lastStatus != updated || !IsWindowEnabled(window_.refreshButton)) return false;
            row = RowOf(window_.deviceList);
            return row.size() == 4 && row[3] == Wide(kestrune::Tr(text::NormalMode));
        },
        static_cast<int>(seconds()) + UploadTimeoutS);
    if (done && !gaveUp) {
        result_ = 0;
        log("device list: " + Joined(row));
        log("PASS: the upload ended with the status \"Firmware updated.\" after the rescan");
    } else {
        log("FAIL: the upload did not end with \"Firmware updated.\" (last status \"" +
            Utf8(lastStatus) + "\", device list " + Joined(RowOf(window_.deviceList)) + ")");
    }

    // The window stays for a screenshot until it is closed, at the latest after the hold time.
    const auto holdEnd = Clock::now() + std::chrono::seconds(holdSeconds_);
    while (!windowGone_ && Clock::now() < holdEnd) ::Sleep(100);
    if (!windowGone_) {
        log("closing the window with Exit");
        PostMessageW(window_.exitButton, BM_CLICK, 0, 0);
    }
}

}  // namespace window::win32
