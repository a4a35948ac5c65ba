// The Win32 window's own wiring: controls, texts, layout, keys, drops, device arrival, the
// registry. The flow behind them is tested on the toolkit-free logic (tests/window).
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "sim/SimHidPlatform.h"
#include "support/Catalogs.h"
#include "support/FirmwareFiles.h"
#include "support/FocusCases.h"
#include "support/TempDir.h"
#include "window/WindowText.h"
#include "window/win32/Win32MainWindow.h"
#include "window/win32/WideText.h"

#include <windows.h>

#include <commctrl.h>
#include <dbt.h>
#include <shlobj.h>

namespace {

using window::win32::Utf8;
using window::win32::Wide;
using window::win32::Win32MainWindow;

// The window's services with the waits on virtual time and the dialogs scripted; the timer is
// Windows' own.
class ScriptedServices final : public window::win32::Win32Services {
public:
    explicit ScriptedServices(kestrune::VirtualClock& clock) : clock_(clock) {}
    upload::MessageAnswer ShowMessage(const std::string& text, upload::MessageStyle style,
                                      const std::string& title) override {
        messages.push_back(text);
        if (onMessage) onMessage(text);
        return realBoxes ? Win32Services::ShowMessage(text, style, title) : upload::MessageAnswer::OK;
    }
    std::optional<std::string> OpenFile(const window::OpenFileRequest&) override { return std::nullopt; }
    std::string ReadSetting(const std::string&, const std::string&, const std::string& key) override {
        return settings[key];
    }
    void WriteSetting(const std::string&, const std::string&, const std::string& key,
                      const std::string& value) override {
        settings[key] = value;
    }
    std::string ProgramFolder() override { return folder; }
    std::string DownloadsFolder() override { return folder; }
    std::int64_t NowMs() override { return clock_.NowMs(); }
    bool RealTime() override { return false; }
    void AdvanceTime(int ms) override {
        clock_.Advance(ms);
        if (onTime) onTime();
    }

    bool realBoxes = false;  // Windows' own boxes, answered by the test
    std::vector<std::string> messages;
    std::function<void(const std::string&)> onMessage;  // runs as the box opens
    std::function<void()> onTime;                       // runs in each wait
    std::map<std::string, std::string> settings;
    std::string folder;

private:
    kestrune::VirtualClock& clock_;
};

struct Win32Bench {
    explicit Win32Bench(int points = 0, sim::KeyboardConfig config = {.Version = "V2.0"})
        : keyboard(clock, std::move(config)), points(points) {
        services.folder = folder.Path().string();
        testsupport::SetUpTestLanguage();
    }
    // Null when there is no display to put the window on (Wine needs an X display).
    Win32MainWindow* Open() {
        window = std::make_unique<Win32MainWindow>(connection, services, window::WindowOptions{}, points);
        if (!window->Handle()) return nullptr;
        window->Show();
        return window.get();
    }
    void Scan() {
        ASSERT_TRUE(services.TimerRunning());
        services.StopTimer();
        window->Logic().OnTimer();
    }
    // Runs the scans a command has left waiting.
    void Settle() {
        while (services.TimerRunning()) Scan();
    }
    void ChooseFile(const std::string& name, const std::string& contents) {
        SetWindowTextW(window->firmwareFileField, folder.Write(name, contents).wstring().c_str());
    }

    kestrune::VirtualClock clock;
    sim::SimKeyboard keyboard;
    // Off the bus until a test plugs it in.
    sim::SimKeyboard second{clock, {.Version = "V2.0", .StartOnBus = false, .PortPath = "1-5", .Serial = "KS0002"}};
    sim::SimHidPlatform hid{{&keyboard, &second}};
    usbio::DeviceConnection connection{hid};
    testsupport::TempDir folder;
    ScriptedServices services{clock};
    int points;
    std::unique_ptr<Win32MainWindow> window;
};

std::string TextOf(HWND control) {
    wchar_t text[512] = {};
    GetWindowTextW(control, text, 512);
    return Utf8(text);
}

std::string StatusOf(HWND statusBar) {
    wchar_t text[512] = {};
    SendMessageW(statusBar, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(text));
    return Utf8(text);
}

std::vector<std::string> RowOf(HWND list) {
    std::vector<std::string> cells;
    if (SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) != 1) return cells;
    for (int column = 0; column < 4; ++column) {
        wchar_t text[256] = {};
        LVITEMW item{};
        item.iSubItem = column;
        item.pszText = text;
        item.cchTextMax = 256;
        SendMessageW(list, LVM_GETITEMTEXTW, 0, reinterpret_cast<LPARAM>(&item));
        cells.push_back(Utf8(text));
    }
    return cells;
}

std::string HeaderOf(HWND list, int column) {
    wchar_t text[64] = {};
    LVCOLUMNW item{};
    item.mask = LVCF_TEXT;
    item.pszText = text;
    item.cchTextMax = 64;
    SendMessageW(list, LVM_GETCOLUMNW, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&item));
    return Utf8(text);
}

bool HasStyle(HWND control, LONG_PTR style) { return (GetWindowLongPtrW(control, GWL_STYLE) & style) != 0; }

// A control's place in its parent's client area.
window::Rect PlaceOf(HWND control) {
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
    return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}

int TextWidth(HWND control, HFONT font, const std::string& text) {
    const HDC dc = GetDC(control);
    const HGDIOBJ old = SelectObject(dc, font);
    const std::wstring wide = Wide(text);
    SIZE size{};
    GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return size.cx;
}

std::string Plain(std::string caption) {
    std::erase(caption, '&');
    return caption;
}

// Holds Ctrl down for this thread's key state while it lives.
class ControlKeyDown {
public:
    ControlKeyDown() {
        GetKeyboardState(saved_);
        BYTE state[256];
        std::copy(std::begin(saved_), std::end(saved_), state);
        state[VK_CONTROL] = state[VK_LCONTROL] = 0x80;
        SetKeyboardState(state);
    }
    ~ControlKeyDown() { SetKeyboardState(saved_); }

private:
    BYTE saved_[256] = {};
};

bool NothingSelected(const Win32MainWindow& w) {
    for (HWND field : {w.firmwareFileField, w.startAddressField}) {
        DWORD start = 0, end = 0;
        SendMessageW(field, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
        if (start != end) return false;
    }
    return true;
}

// Steps run one by one from the message loop of a box, each once the messages the one before
// posted have been handled (a timer's tick comes after them).
std::vector<std::function<void()>> boxSteps;

void CALLBACK NextBoxStep(HWND, UINT, UINT_PTR timer, DWORD) {
    if (boxSteps.empty()) {
        KillTimer(nullptr, timer);
        return;
    }
    const auto step = std::move(boxSteps.front());
    boxSteps.erase(boxSteps.begin());
    step();
}

void InTheNextBox(std::vector<std::function<void()>> steps) {
    boxSteps = std::move(steps);
    SetTimer(nullptr, 0, 1, NextBoxStep);
}

HWND OpenBox() {
    HWND found = nullptr;
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM result) {
            wchar_t name[16] = {};
            GetClassNameW(window, name, 16);
            if (!IsWindowVisible(window) || std::wstring(name) != L"#32770") return TRUE;
            *reinterpret_cast<HWND*>(result) = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

// Takes a WM_QUIT the window's Close left, so that the next window's loop does not end with it.
void TakeQuit() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
}

const std::string kNothingWritten = window::text::NothingWritten;

}  // namespace

TEST(Win32Window, ControlsShowTheLogicsTextsAndRow) {
    Win32Bench b;
    Win32MainWindow* opened = b.Open();
    if (!opened) GTEST_SKIP() << "no display for windows";
    auto& w = *opened;
    EXPECT_EQ(TextOf(w.Handle()), "Kestrune Loader V1.0R8");
    EXPECT_EQ(TextOf(w.refreshButton), "&Refresh");
    EXPECT_EQ(TextOf(w.uploadButton), "&Upload Firmware");
    EXPECT_EQ(TextOf(w.exitButton), "E&xit");
    EXPECT_EQ(TextOf(w.selectFileButton), "&Select Firmware File ...");
    EXPECT_EQ(TextOf(w.startAddressField), "1200");
    EXPECT_FALSE(HasStyle(w.startAddressField, WS_VISIBLE));
    EXPECT_FALSE(HasStyle(w.startAddressLabel, WS_VISIBLE));
    EXPECT_FALSE(IsWindowEnabled(w.uploadButton));
    const char* headers[] = {"Vendor ID", "Product ID", "Firmware Version", "Status Mode"};
    for (int c = 0; c < 4; ++c) EXPECT_EQ(HeaderOf(w.deviceList, c), headers[c]);
    b.Scan();
    EXPECT_EQ(RowOf(w.deviceList), (std::vector<std::string>{"11867", "17", "V2.0", "Normal"}));
    EXPECT_EQ(StatusOf(w.statusBar), "Device Found");
    EXPECT_TRUE(IsWindowEnabled(w.uploadButton));
    w.SetProgress(64, 256);
    EXPECT_EQ(SendMessageW(w.progressBar, PBM_GETPOS, 0, 0), 64);
    EXPECT_EQ(w.ProgressText(), L"25%");
    // A click on the real Refresh button rescans.
    SendMessageW(w.refreshButton, BM_CLICK, 0, 0);
    EXPECT_TRUE(b.services.TimerRunning());
    b.keyboard.Unplug();
    b.Scan();
    EXPECT_EQ(StatusOf(w.statusBar), "Device not Found");
    EXPECT_TRUE(RowOf(w.deviceList).empty());
    ASSERT_EQ(b.services.messages.size(), 1u);
}

TEST(Win32Window, LayoutFollowsTheFontAndCutsNothingOff) {
    for (int points : {0, 14}) {
        Win32Bench b(points);
        Win32MainWindow* opened = b.Open();
        if (!opened) GTEST_SKIP() << "no display for windows";
        auto& w = *opened;
        const window::WindowLayout& l = w.Layout();
        RECT client;
        GetClientRect(w.Handle(), &client);
        EXPECT_EQ(client.right, l.width) << points;
        EXPECT_EQ(client.bottom, l.height) << points;
        EXPECT_EQ(PlaceOf(w.deviceList), l.deviceList) << points;
        EXPECT_EQ(PlaceOf(w.refreshButton), l.refreshButton) << points;
        EXPECT_EQ(PlaceOf(w.exitButton), l.exitButton) << points;
        EXPECT_EQ(PlaceOf(w.startAddressField), l.startAddressField) << points;
        EXPECT_EQ(PlaceOf(w.progressBar), l.progressBar) << points;
        for (HWND button : {w.refreshButton, w.uploadButton, w.exitButton, w.selectFileButton})
            EXPECT_LE(TextWidth(button, w.Font(), Plain(TextOf(button))), PlaceOf(button).width - 8)
                << points << " " << TextOf(button);
        for (int c = 0; c < 4; ++c) {
            const int width = static_cast<int>(SendMessageW(w.deviceList, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(c), 0));
            EXPECT_EQ(width, l.columnWidths[static_cast<std::size_t>(c)]);
            EXPECT_LE(TextWidth(w.deviceList, w.Font(), kestrune::Tr(window::text::ColumnHeaders[c])), width - 8)
                << points << " column " << c;
        }
        EXPECT_LE(TextWidth(w.startAddressLabel, w.Font(), kestrune::Tr(window::text::StartAddressLabel)),
                  PlaceOf(w.startAddressLabel).width)
            << points;
        if (points == 14) {
            LOGFONTW font{};
            GetObjectW(w.Font(), sizeof font, &font);
            EXPECT_EQ(font.lfHeight, -MulDiv(14, static_cast<int>(w.Dpi()), 72));
        }
    }
}

// The window in the user's language (ctest runs it once in each language of po/, and in English
// with the rest): every text it shows is the catalog's, through a whole update of a keyboard that
// must be replugged, with its boxes and its outcome.
TEST(Win32Window, SpeaksTheUsersLanguageThroughAWholeUpdate) {
    namespace text = window::text;
    const kestrune::Catalog catalog = testsupport::CatalogInUse();
    const auto tr = [&](const char* english) { return testsupport::Translated(catalog, english); };
    // Old firmware: a box asks for the replug; the keyboard comes back by itself meanwhile.
    Win32Bench b(0, {.Version = "V1.0", .ReturnPolicy = sim::KeyboardConfig::Return::Automatic});
    Win32MainWindow* opened = b.Open();
    if (!opened) GTEST_SKIP() << "no display for windows";
    auto& w = *opened;
    b.Scan();
    std::vector<std::pair<std::string, const char*>> shown{{TextOf(w.startAddressLabel), text::StartAddressLabel},
                                                           {StatusOf(w.statusBar), text::DeviceFound},
                                                           {RowOf(w.deviceList).at(3), text::NormalMode}};
    for (int c = 0; c < 4; ++c) shown.emplace_back(HeaderOf(w.deviceList, c), text::ColumnHeaders[c]);
    for (const auto& [text, english] : shown) EXPECT_EQ(text, tr(english)) << english;
    // A caption without its Alt+letter shows the letter after it: the keys are the same in every language.
    for (const auto& [button, english] : std::vector<std::pair<HWND, const char*>>{
             {w.refreshButton, text::RefreshButton}, {w.uploadButton, text::UploadButton},
             {w.exitButton, text::ExitButton}, {w.selectFileButton, text::SelectFileButton}})
        EXPECT_TRUE(Plain(TextOf(button)).starts_with(tr(english)) && TextOf(button).find('&') != std::string::npos)
            << TextOf(button);

    b.ChooseFile("fw.hex", testsupport::HexText(0x1200, testsupport::RandomBytes(0x200, 9)));
    std::vector<std::string> statuses;
    b.services.onMessage = [&](const std::string&) { statuses.push_back(StatusOf(w.statusBar)); };
    SendMessageW(w.uploadButton, BM_CLICK, 0, 0);
    b.Settle();
    const auto in = [&](std::initializer_list<const char*> english) {
        std::vector<std::string> out;
        for (const char* e : english) out.push_back(tr(e));
        return out;
    };
    EXPECT_EQ(b.services.messages, in({text::ReplugInstructions, text::Uploaded}));
    EXPECT_EQ(statuses, in({text::Jumping, text::UploadedReplug}));
    EXPECT_EQ(StatusOf(w.statusBar), tr(text::FirmwareUpdated));
    EXPECT_EQ(RowOf(w.deviceList).at(3), tr(text::NormalMode));
}

TEST(Win32Window, KeyboardAndScreenReaderAccess) {
    Win32Bench b;
    Win32MainWindow* opened = b.Open();
    if (!opened) GTEST_SKIP() << "no display for windows";
    auto& w = *opened;
    b.Scan();
    // Every edit field, the list and the bar come right after the static text that names them.
    auto labelBefore = [](HWND control) { return TextOf(GetWindow(control, GW_HWNDPREV)); };
    EXPECT_EQ(labelBefore(w.deviceList), "Keyboard");
    EXPECT_EQ(labelBefore(w.startAddressField), "Start Address (HEX):");
    EXPECT_EQ(labelBefore(w.firmwareFileField), "Firmware file");
    EXPECT_EQ(labelBefore(w.progressBar), "Upload progress");
    EXPECT_EQ(labelBefore(w.statusBar), "Status");
    // Tab order follows reading order.
    const HWND order[] = {w.deviceList, w.refreshButton, w.uploadButton, w.firmwareFileField,
                          w.selectFileButton, w.exitButton};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        EXPECT_EQ(GetNextDlgTabItem(w.Handle(), order[i], FALSE), order[i + 1]) << i;
    // Ctrl+F1 from any control reveals the start address, which then takes its place in the order.
    {
        ControlKeyDown control;
        MSG key{w.firmwareFileField, WM_KEYDOWN, VK_F1, 0, 0, {}};
        EXPECT_TRUE(w.PreTranslateMessage(key));
    }
    EXPECT_TRUE(HasStyle(w.startAddressField, WS_VISIBLE));
    EXPECT_TRUE(w.Logic().StartAddressShown());
    EXPECT_EQ(GetFocus(), w.startAddressField);
    DWORD from = 1, to = 0;  // its text selected: what the user types replaces it
    SendMessageW(w.startAddressField, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
    EXPECT_EQ(from, 0u);
    EXPECT_EQ(to, 4u);
    // The focus is drawn from the start, not only once a key has been pressed.
    EXPECT_EQ(SendMessageW(w.Handle(), WM_QUERYUISTATE, 0, 0) & UISF_HIDEFOCUS, 0);
    EXPECT_EQ(GetNextDlgTabItem(w.Handle(), w.uploadButton, FALSE), w.startAddressField);
    // Enter on the focused Refresh button rescans, and the focus comes back to it.
    SetFocus(w.refreshButton);
    ASSERT_EQ(GetFocus(), w.refreshButton);
    MSG enter{w.refreshButton, WM_KEYDOWN, VK_RETURN, 0, 0, {}};
    EXPECT_TRUE(w.PreTranslateMessage(enter));
    EXPECT_TRUE(b.services.TimerRunning());
    b.Scan();
    EXPECT_EQ(StatusOf(w.statusBar), "Device Found");
    EXPECT_EQ(GetFocus(), w.refreshButton);
    // Escape does what Exit does.
    MSG escape{w.refreshButton, WM_KEYDOWN, VK_ESCAPE, 0, 0, {}};
    EXPECT_TRUE(w.PreTranslateMessage(escape));
    EXPECT_FALSE(IsWindowVisible(w.Handle()));
}

TEST(Win32Window, DroppedFileIsTakenAndArrivalRescans) {
    Win32Bench b;
    Win32MainWindow* opened = b.Open();
    if (!opened) GTEST_SKIP() << "no display for windows";
    auto& w = *opened;
    b.Scan();
    const std::wstring path = b.folder.Write("dropped.hex", "x").wstring();
    // A drop of one file, as the shell hands it over.
    const std::size_t bytes = sizeof(DROPFILES) + (path.size() + 2) * sizeof(wchar_t);
    const HGLOBAL drop = GlobalAlloc(GHND, bytes);
    auto* files = static_cast<DROPFILES*>(GlobalLock(drop));
    files->pFiles = sizeof(DROPFILES);
    files->fWide = TRUE;
    std::copy(path.begin(), path.end(), reinterpret_cast<wchar_t*>(files + 1));
    GlobalUnlock(drop);
    SendMessageW(w.Handle(), WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0);
    EXPECT_EQ(TextOf(w.firmwareFileField), Utf8(path));
    EXPECT_EQ(b.services.settings["File"], Utf8(path));
    // A HID device arriving starts a rescan.
    EXPECT_FALSE(b.services.TimerRunning());
    DEV_BROADCAST_DEVICEINTERFACE_W arrival{};
    arrival.dbcc_size = sizeof arrival;
    arrival.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    SendMessageW(w.Handle(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&arrival));
    EXPECT_TRUE(b.services.TimerRunning());
}

TEST(Win32Window, SeveralKeyboardsAddThePortColumnAndASelectedRowReachesTheLogic) {
    Win32Bench b;
    Win32MainWindow* opened = b.Open();
    if (!opened) GTEST_SKIP() << "no display for windows";
    auto& w = *opened;
    const HWND header = reinterpret_cast<HWND>(SendMessageW(w.deviceList, LVM_GETHEADER, 0, 0));
    b.Scan();
    EXPECT_EQ(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0), 4);
    b.second.Plug();
    SendMessageW(w.refreshButton, BM_CLICK, 0, 0);
    b.Scan();
    ASSERT_EQ(SendMessageW(w.deviceList, LVM_GETITEMCOUNT, 0, 0), 2);
    EXPECT_EQ(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0), 5);
    wchar_t text[64] = {};
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT;
    column.pszText = text;
    column.cchTextMax = 64;
    SendMessageW(w.deviceList, LVM_GETCOLUMNW, 4, reinterpret_cast<LPARAM>(&column));
    EXPECT_EQ(Utf8(text), "Port");
    EXPECT_EQ(SendMessageW(w.deviceList, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED), 0);
    // The user selects the second row: the list tells the window, the window the logic.
    LVITEMW state{};
    state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    state.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(w.deviceList, LVM_SETITEMSTATE, 1, reinterpret_cast<LPARAM>(&state));
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    EXPECT_EQ(w.Logic().SelectedRow(), 1u);
    ASSERT_TRUE(w.Logic().ChosenKeyboard());
    EXPECT_EQ(w.Logic().ChosenKeyboard()->Identity.Serial, "KS0002");
    EXPECT_EQ(SendMessageW(w.deviceList, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED), 1);
    // One keyboard again: one row, four columns.
    b.second.Unplug();
    SendMessageW(w.refreshButton, BM_CLICK, 0, 0);
    b.Scan();
    EXPECT_EQ(SendMessageW(w.deviceList, LVM_GETITEMCOUNT, 0, 0), 1);
    EXPECT_EQ(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0), 4);
}

TEST(Win32Services, SettingsLiveInTheRegistryWhereQSettingsKeepsThem) {
    window::win32::Win32Services services;
    const std::string scope = "Kestrune Loader Test";
    const std::string file = "C:\\Firmware\\K\xC3\xBC" "hler.hex";  // non-ASCII on purpose
    services.WriteSetting(scope, "Firmware", "File", file);
    EXPECT_EQ(services.ReadSetting(scope, "Firmware", "File"), file);
    wchar_t value[256] = {};
    DWORD size = sizeof value;
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER,
                           L"Software\\Kestrune Loader Test\\Kestrune Loader Test\\Firmware", L"File",
                           RRF_RT_REG_SZ, nullptr, value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(Utf8(value), file);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Kestrune Loader Test");
    EXPECT_EQ(services.ReadSetting(scope, "Firmware", "File"), "");

    wchar_t program[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    EXPECT_EQ(Wide(services.ProgramFolder()), std::wstring(program).substr(0, std::wstring(program).find_last_of(L'\\')));
    const DWORD downloads = GetFileAttributesW(Wide(services.DownloadsFolder()).c_str());
    EXPECT_TRUE(downloads != INVALID_FILE_ATTRIBUTES && (downloads & FILE_ATTRIBUTE_DIRECTORY));
}

TEST(Win32Window, TheFocusIsOnRefreshFromTheFirstPaint) {
    Win32Bench b;
    Win32MainWindow* opened = b.Open();
    if (!opened) GTEST_SKIP() << "no display for windows";
    auto& w = *opened;
    EXPECT_EQ(GetFocus(), w.refreshButton);
    b.Settle();
    EXPECT_EQ(GetFocus(), w.refreshButton);
}

TEST(Win32Window, AfterEachCommandTheFocusIsOnItsButtonAndNoTextIsSelected) {
    using testsupport::Press;
    for (const testsupport::FocusCase& c : testsupport::kFocusCases) {
        Win32Bench b;
        Win32MainWindow* opened = b.Open();
        if (!opened) GTEST_SKIP() << "no display for windows";
        auto& w = *opened;
        b.Settle();
        b.ChooseFile("fw.hex", testsupport::HexText(0x1200, testsupport::RandomBytes(0x200, 3)));
        if (c.startAddressShown) {
            ControlKeyDown control;
            MSG key{w.firmwareFileField, WM_KEYDOWN, VK_F1, 0, 0, {}};
            w.PreTranslateMessage(key);
        }
        const HWND button = w.ButtonOf(c.button);
        bool focusLost = false;
        b.services.onTime = [&] { focusLost |= GetFocus() == nullptr; };
        switch (c.how) {
            case Press::Mouse:
                SendMessageW(button, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(4, 4));
                SendMessageW(button, WM_LBUTTONUP, 0, MAKELPARAM(4, 4));
                break;
            case Press::Enter: {
                SetFocus(button);
                MSG enter{button, WM_KEYDOWN, VK_RETURN, 0, 0, {}};
                w.PreTranslateMessage(enter);
                break;
            }
            case Press::Space:
                SetFocus(button);
                SendMessageW(button, WM_KEYDOWN, VK_SPACE, 0);
                SendMessageW(button, WM_KEYUP, VK_SPACE, 0xC0000001);
                break;
            case Press::AltLetter: {
                MSG alt{GetFocus(), WM_SYSCHAR, static_cast<WPARAM>(testsupport::AltLetterOf(c.button)), 1 << 29, 0, {}};
                w.PreTranslateMessage(alt);
                break;
            }
        }
        b.Settle();
        EXPECT_EQ(GetFocus(), button) << c.name;
        EXPECT_TRUE(NothingSelected(w)) << c.name;
        EXPECT_FALSE(focusLost) << c.name;
        if (c.button == window::Button::Upload) {
            EXPECT_EQ(StatusOf(w.statusBar), "Firmware updated.") << c.name;
        }
    }
}

TEST(Win32Window, ACloseWhileTheBoxIsUpOrByAltF4InTheWaitAfterItIsKeptAndSaid) {
    for (const bool whileTheBoxIsUp : {true, false}) {
        Win32Bench b(0, {.StartInUploadMode = true});
        Win32MainWindow* opened = b.Open();
        if (!opened) GTEST_SKIP() << "no display for windows";
        auto& w = *opened;
        b.Settle();
        b.ChooseFile("fw.hex", testsupport::HexText(0x1200, testsupport::RandomBytes(0x200, 4)));
        const std::string file = TextOf(w.firmwareFileField);
        b.services.realBoxes = whileTheBoxIsUp;
        b.services.onMessage = [&](const std::string& text) {
            if (text != upload::text::Uploaded) return;
            if (!whileTheBoxIsUp) {
                PostMessageW(w.uploadButton, WM_SYSKEYDOWN, VK_F4, 1 << 29);
                return;
            }
            InTheNextBox({[&] { PostMessageW(w.firmwareFileField, WM_CHAR, L'z', 1); },
                          [&] {
                              // The window stays on, so that the window system's close request
                              // reaches it; keys for it do not.
                              EXPECT_TRUE(IsWindowEnabled(w.Handle()));
                              EXPECT_EQ(TextOf(w.firmwareFileField), file);
                              SendMessageW(w.Handle(), WM_SYSCOMMAND, SC_CLOSE, 0);
                              EXPECT_EQ(StatusOf(w.statusBar), window::text::Closing);
                              SendMessageW(OpenBox(), WM_COMMAND, IDOK, 0);
                          }});
        };
        std::vector<std::string> statusesWhileOpen;
        b.services.onTime = [&] {
            if (IsWindowVisible(w.Handle())) statusesWhileOpen.push_back(StatusOf(w.statusBar));
        };
        SendMessageW(w.uploadButton, BM_CLICK, 0, 0);
        EXPECT_TRUE(IsWindowVisible(w.Handle())) << whileTheBoxIsUp;  // until the rescan has run
        b.Settle();
        EXPECT_FALSE(IsWindowVisible(w.Handle())) << whileTheBoxIsUp;
        ASSERT_FALSE(statusesWhileOpen.empty());
        EXPECT_EQ(statusesWhileOpen.back(), window::text::Closing) << whileTheBoxIsUp;
        EXPECT_EQ(TextOf(w.firmwareFileField), file);
        TakeQuit();
    }
}

TEST(Win32Window, TheOutcomeOfARefusalIsShownAtEveryFontSizeBesideItsBoxAndTheButtonsStayOffBetweenSteps) {
    for (int points : {0, 14}) {
        Win32Bench b(points);
        Win32MainWindow* opened = b.Open();
        if (!opened) GTEST_SKIP() << "no display for windows";
        auto& w = *opened;
        b.Settle();
        // An upload, then its rescan: nothing turns on between the two.
        b.ChooseFile("fw.hex", testsupport::HexText(0x1200, testsupport::RandomBytes(0x200, 5)));
        SendMessageW(w.uploadButton, BM_CLICK, 0, 0);
        ASSERT_TRUE(b.services.TimerRunning());
        EXPECT_FALSE(IsWindowEnabled(w.refreshButton)) << points;
        b.Settle();
        ASSERT_EQ(StatusOf(w.statusBar), "Firmware updated.");
        // Then a file that is refused after many lines read.
        const std::string good = testsupport::HexText(0x1200, testsupport::RandomBytes(0x1000, 6));
        b.ChooseFile("a-file-with-a-rather-long-name-that-breaks-off.hex", good.substr(0, good.size() - 20));
        std::string besideBox;
        b.services.onMessage = [&](const std::string&) { besideBox = StatusOf(w.statusBar); };
        SendMessageW(w.uploadButton, BM_CLICK, 0, 0);
        EXPECT_EQ(besideBox, StatusOf(w.statusBar)) << points;
        // The sentence that tells what happened to the keyboard comes first, and fits the panel.
        EXPECT_TRUE(StatusOf(w.statusBar).starts_with(kNothingWritten)) << points;
        RECT panel{};
        SendMessageW(w.statusBar, SB_GETRECT, 0, reinterpret_cast<LPARAM>(&panel));
        EXPECT_LT(TextWidth(w.statusBar, w.Font(), kNothingWritten), panel.right - panel.left) << points;
    }
}
