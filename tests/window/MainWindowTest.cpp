#include <gtest/gtest.h>

#include "upload/Commands.h"
#include "window/Layout.h"
#include "window/WindowBench.h"

using testsupport::WindowBench;
using upload::MessageAnswer;
using upload::MessageStyle;
using window::Button;
using window::ScanState;
using Row = std::vector<std::string>;

TEST(MainWindow, StartUpShowsCaptionAndRemembersFileThenScansOnTheTimer) {
    WindowBench b;
    b.services.settings["Kestrune Loader/Firmware/File"] = "/no/such/file.hex";
    auto& w = b.Open();
    EXPECT_EQ(b.view.caption, "Kestrune Loader V1.0R8");
    EXPECT_EQ(window::WindowCaption("Kestrune Loader", 1, 12, 0), "Kestrune Loader V1.12R0");
    EXPECT_EQ(b.view.file, "/no/such/file.hex");  // restored unchecked
    EXPECT_EQ(b.view.startAddress, "1200");
    EXPECT_FALSE(b.view.startAddressShown);
    EXPECT_FALSE(b.view.Enabled(Button::Upload));
    EXPECT_EQ(b.Status(), "");
    // The scan waits for the timer: nothing has been opened yet.
    EXPECT_EQ(b.services.timerMs, 10);
    EXPECT_TRUE(b.hid.OpenLog().empty());
    EXPECT_FALSE(w.IsIdle());
    ASSERT_TRUE(b.Tick());
    EXPECT_TRUE(w.IsIdle());
    EXPECT_FALSE(b.Tick());  // one tick, one scan
}

TEST(MainWindow, DemoIsMarkedAndKeepsItsOwnRememberedFile) {
    WindowBench b(sim::DemoKeyboardConfig(), window::WindowOptions{.demo = true});
    b.services.settings["Kestrune Loader/Firmware/File"] = "/real/program/file.hex";
    auto& w = b.Open();
    EXPECT_EQ(b.view.caption, "Kestrune Loader V1.0R8 (demo: simulated keyboard)");
    ASSERT_FALSE(b.view.statuses.empty());
    EXPECT_NE(b.view.statuses.front().find("(demo: simulated keyboard)"), std::string::npos);
    // It stays until the first scan ends.
    b.Tick();
    EXPECT_EQ(b.view.statuses.size(), 2u);
    EXPECT_EQ(b.Status(), "Device Found");
    EXPECT_EQ(b.view.file, "");
    const std::string chosen = b.folder.Write("demo.hex", "x").string();
    w.OnFileDropped(chosen);
    EXPECT_EQ(b.services.settings["Kestrune Loader Demo/Firmware/File"], chosen);
    EXPECT_EQ(b.services.settings["Kestrune Loader/Firmware/File"], "/real/program/file.hex");
}

TEST(MainWindow, NoKeyboardGivesOneMessageDuringTheScan) {
    WindowBench b;
    b.keyboard.Unplug();
    auto& w = b.Open();
    std::string statusDuringBox;
    bool busyPointerDuringBox = false;
    b.services.onMessage = [&](const testsupport::RecordedMessage&) {
        statusDuringBox = b.Status();
        busyPointerDuringBox = b.view.busyPointer;
        return MessageAnswer::OK;
    };
    ASSERT_TRUE(b.Tick());
    ASSERT_EQ(b.services.messages.size(), 1u);
    EXPECT_EQ(b.services.messages[0].text, testsupport::kNotFound);
    EXPECT_EQ(b.services.messages[0].style, MessageStyle::Warning);
    EXPECT_EQ(b.services.messages[0].title, "Kestrune Loader");
    EXPECT_EQ(statusDuringBox, "Scanning Device...");
    EXPECT_TRUE(busyPointerDuringBox);
    EXPECT_EQ(b.Status(), "Device not Found");
    EXPECT_EQ(w.LastScan(), ScanState::NotFound);
    EXPECT_FALSE(b.view.busyPointer);
    EXPECT_TRUE(b.Row().empty());
    EXPECT_FALSE(b.view.Enabled(Button::Upload));
    EXPECT_EQ(w.ModeText(), "Firmware Upload");
}

TEST(MainWindow, OnlyScansTheUserStartsSayNotFoundInABox) {
    // The start-up scan and Refresh open the box; rescans the window starts by itself on device
    // events (a mouse plugged in, say) and after an upload only update the status.
    WindowBench b;
    b.keyboard.Unplug();
    auto& w = b.Open();
    b.Tick();
    ASSERT_EQ(b.services.messages.size(), 1u);
    for (int i = 0; i < 2; ++i) {
        b.clock.Advance(1000);
        w.OnDeviceArrivedOrLeft();
        ASSERT_TRUE(b.Tick());
        EXPECT_EQ(b.Status(), "Device not Found");
        EXPECT_EQ(b.services.messages.size(), 1u);
    }
    b.Click(Button::Refresh);
    b.Tick();
    EXPECT_EQ(b.services.messages.size(), 2u);
    EXPECT_EQ(b.Status(), "Device not Found");

    // A page that has not been granted a keyboard yet says so in the status only, at start.
    WindowBench page({}, window::WindowOptions{.quietStartupScan = true});
    page.keyboard.Unplug();
    page.Open();
    page.Tick();
    EXPECT_EQ(page.Status(), "Device not Found");
    EXPECT_TRUE(page.services.messages.empty());
    page.Click(Button::Refresh);
    page.Tick();
    EXPECT_EQ(page.services.messages.size(), 1u);
}

TEST(MainWindow, KeyboardRowModeAndFirmwareGeneration) {
    struct Case {
        sim::KeyboardConfig config;
        Row row;
        std::string status;
        bool newFirmware;
    };
    const std::vector<Case> cases{
        {{}, {"11867", "17", "V1.0", "Normal"}, "Device Found", false},
        {{.Version = "build V1.1"}, {"11867", "17", "build V1.1", "Normal"}, "Device Found", false},
        {{.Version = "v1.0"}, {"11867", "17", "v1.0", "Normal"}, "Device Found", true},
        {{.Version = ""}, {"11867", "17", "", "Normal"}, "Device Found", false},
        {{.Version = "V1.0\x1b[2J"}, {"11867", "17", "V1.0?[2J", "Normal"}, "Device Found", false},
        {{.Version = "V2.3", .StartInUploadMode = true},
         {"11867", "6", "V2.3", "Firmware Upload"},
         "Device Found. Note: Device is in Firmware Upload mode.",
         true}};
    for (const Case& c : cases) {
        WindowBench b(c.config);
        auto& w = b.Open();
        b.Tick();
        EXPECT_TRUE(b.services.messages.empty()) << c.row[2];
        EXPECT_EQ(b.Row(), c.row);
        EXPECT_EQ(b.Status(), c.status);
        EXPECT_EQ(w.LastScan(), ScanState::Found);
        EXPECT_TRUE(b.view.Enabled(Button::Upload));
        EXPECT_EQ(w.NewFirmware(), c.newFirmware) << c.row[2];
    }
}

TEST(MainWindow, DeviceFoundOnlyBySecondSearchShowsFirmwareUploadMode) {
    // The keyboard comes back on the bus while the first search is under way, in firmware-upload
    // mode with a product ID that the definition file lists but that is not 6.
    WindowBench b(sim::KeyboardConfig{.UploadPID = 7,
                                      .ReturnPolicy = sim::KeyboardConfig::Return::Automatic,
                                      .ReturnDelayMs = 500});
    b.folder.Write("PIDDef.txt", "normal,17\nupload,7\n");
    b.Open();
    b.Tick();
    const std::array<std::uint8_t, 129> zeros{};
    ASSERT_EQ(upload::SendCommand(b.connection, 0xD0, 0, zeros), 0);
    b.window->OnButton(Button::Refresh);
    b.Tick();
    EXPECT_EQ(b.Row(), (Row{"11867", "7", "V1.0", "Firmware Upload"}));
    EXPECT_EQ(b.Status(), "Device Found");
}

TEST(MainWindow, PendingStatusTextIsShownByTheNextSuccessfulScanOnly) {
    WindowBench b;
    auto& w = b.Open();
    w.SetPendingStatusText("Firmware updated.");
    b.keyboard.Unplug();
    b.Tick();
    EXPECT_EQ(b.Status(), "Device not Found");
    EXPECT_EQ(w.PendingStatusText(), "Firmware updated.");
    b.keyboard.Plug();
    for (const char* expected : {"Firmware updated.", "Device Found"}) {
        b.Click(Button::Refresh);
        b.Tick();
        EXPECT_EQ(b.Status(), expected);
    }
}

TEST(MainWindow, FailedVersionReadKeepsTheEarlierText) {
    WindowBench b;
    auto& w = b.Open();
    w.SetFirmwareVersionText("earlier");
    b.hid.Faults().FailGetOfExchange = 1;
    b.Tick();
    EXPECT_EQ(b.Row(), (Row{"11867", "17", "earlier", "Normal"}));
    EXPECT_TRUE(w.NewFirmware());
}

TEST(MainWindow, ClicksAndTicksDuringAScanStartNothing) {
    WindowBench b;
    auto& w = b.Open();
    int pumpsSeen = 0;
    bool buttonsOffDuringScan = true;
    b.services.onPump = [&] {
        ++pumpsSeen;
        buttonsOffDuringScan &= !b.view.enabled[0] && !b.view.enabled[1] && !b.view.enabled[2] &&
                                !b.view.enabled[3];
        for (Button button : {Button::Refresh, Button::Upload, Button::Exit, Button::SelectFile})
            w.OnButton(button);
        w.OnTimer();
        w.OnDeviceArrivedOrLeft();
        w.OnFileDropped(b.folder.Write("late.hex", "x").string());
    };
    b.Tick();
    EXPECT_GT(pumpsSeen, 0);
    EXPECT_TRUE(buttonsOffDuringScan);
    EXPECT_EQ(b.view.closes, 0);
    EXPECT_TRUE(b.services.dialogs.empty());
    EXPECT_EQ(b.view.file, "");
    EXPECT_EQ(b.keyboard.ModeSwitches(), 0);
    EXPECT_EQ(b.Status(), "Device Found");
    EXPECT_TRUE(b.view.AllButtonsEnabled());
    // The device change seen during a scan that found the keyboard asks for nothing more.
    b.services.onPump = nullptr;
    EXPECT_FALSE(b.Tick());
}

TEST(MainWindow, ScanOpensAndPausesOnlyForInterfacesThatCanBeTheKeyboard) {
    // Twelve interfaces: ten of other vendors, another product of the keyboard's maker (a product
    // ID no table entry names), and the keyboard. Only the keyboard is opened, after its
    // one-second pause.
    WindowBench b;
    b.hid.Decoys().clear();
    for (int i = 0; i < 10; ++i)
        b.hid.Decoys().push_back({"sim:decoy/other-" + std::to_string(i), 0x046D,
                                  static_cast<std::uint16_t>(0xC000 + i), 0, false, false, false});
    b.hid.Decoys().push_back({"sim:decoy/same-maker", 0x2E5B, 0x0100, 0, false, false, false});
    b.Open();
    const std::int64_t before = b.clock.NowMs();
    b.Tick();
    EXPECT_EQ(b.Status(), "Device Found");
    EXPECT_EQ(b.services.pauses, 1);
    EXPECT_EQ(b.clock.NowMs() - before, 1000);
    for (const auto& opened : b.hid.OpenLog()) EXPECT_EQ(opened.find("sim:decoy/"), std::string::npos) << opened;
    // Without a keyboard both searches pass every interface without a pause.
    b.keyboard.Unplug();
    b.services.pauses = 0;
    b.Click(Button::Refresh);
    b.Tick();
    EXPECT_EQ(b.services.pauses, 0);
}

TEST(MainWindow, OneRowPerKeyboardWithItsPortTheFirstSelected) {
    // One keyboard: one row, nothing selected (so no port column), one pause, as always. More:
    // a row each in bus order, the first selected and chosen, one pause per keyboard.
    using window::DeviceRow;
    const DeviceRow first{"11867", "17", "V1.0", "Normal", "1-4"};
    const DeviceRow second{"11867", "6", "V2.0", "Firmware Upload", "1-5"};
    const DeviceRow third{"11867", "17", "V1.1", "Normal", "serial KS0003"};
    struct Case {
        std::vector<sim::KeyboardConfig> more;
        std::vector<DeviceRow> rows;
        std::optional<std::size_t> selected;
    };
    const sim::KeyboardConfig secondConfig{.Version = "V2.0", .StartInUploadMode = true, .PortPath = "1-5", .Serial = "KS0002"};
    const sim::KeyboardConfig thirdConfig{.Version = "V1.1", .PortPath = "", .Serial = "KS0003"};
    const std::vector<Case> cases{{{}, {first}, std::nullopt},
                                  {{secondConfig}, {first, second}, 0},
                                  {{secondConfig, thirdConfig}, {first, second, third}, 0}};
    for (const Case& c : cases) {
        WindowBench b({}, {}, c.more);
        auto& w = b.Open();
        const std::int64_t before = b.clock.NowMs();
        b.Tick();
        EXPECT_EQ(b.view.rows, c.rows) << c.rows.size();
        EXPECT_EQ(b.view.selected, c.selected) << c.rows.size();
        EXPECT_EQ(w.SelectedRow(), c.selected) << c.rows.size();
        EXPECT_EQ(w.ChosenKeyboard().has_value(), c.rows.size() > 1);
        EXPECT_EQ(b.services.pauses, static_cast<int>(c.rows.size()));
        EXPECT_EQ(b.clock.NowMs() - before, 1000 * static_cast<std::int64_t>(c.rows.size()));
        EXPECT_EQ(b.Status(), "Device Found");
        EXPECT_TRUE(b.view.Enabled(Button::Upload));
        EXPECT_TRUE(b.services.messages.empty());
        // The others were read and closed again; the first stays open for Upload Firmware.
        EXPECT_EQ(b.hid.OpenHandles(), 1u);
        for (const auto& other : b.others) EXPECT_EQ(other->ModeSwitches(), 0);
    }
}

TEST(MainWindow, ArrivingDevicesRescanOnlyWhenIdleAndAtMostOncePerSecond) {
    WindowBench b;
    b.keyboard.Unplug();
    auto& w = b.Open();
    // Plugged in while "Device not found" is still on the screen: looked at once the box is shut.
    b.services.onMessage = [&](const testsupport::RecordedMessage&) {
        b.keyboard.Plug();
        w.OnDeviceArrivedOrLeft();
        return MessageAnswer::OK;
    };
    b.Tick();
    EXPECT_EQ(b.Status(), "Device not Found");
    EXPECT_EQ(b.services.timerMs, 1000);  // deferred, and still at most one scan a second
    b.services.onMessage = nullptr;
    ASSERT_TRUE(b.Tick());
    EXPECT_EQ(b.Status(), "Device Found");
    b.keyboard.Unplug();
    b.Click(Button::Refresh);
    b.Tick();
    b.keyboard.Plug();
    b.clock.Advance(1000);
    w.OnDeviceArrivedOrLeft();
    ASSERT_TRUE(b.services.timerMs.has_value());
    w.OnDeviceArrivedOrLeft();  // a second event before the scan adds nothing
    ASSERT_TRUE(b.Tick());
    EXPECT_EQ(b.Status(), "Device Found");
    EXPECT_FALSE(b.Tick());
    // Within the second after a scan has ended, the next one waits for the rest of the second.
    w.OnDeviceArrivedOrLeft();
    EXPECT_EQ(b.services.timerMs, 1000);
    b.Tick();
    b.clock.Advance(400);
    w.OnDeviceArrivedOrLeft();
    EXPECT_EQ(b.services.timerMs, 600);
    b.Tick();
    b.clock.Advance(1000);
    w.OnDeviceArrivedOrLeft();
    EXPECT_EQ(b.services.timerMs, 10);
    // A device rescan held off by a command keeps its limit when the command ends.
    b.Tick();
    w.OnDeviceArrivedOrLeft();
    b.Click(Button::SelectFile);
    EXPECT_EQ(b.services.timerMs, 1000);
}

TEST(MainWindow, CtrlF1AloneRevealsTheStartAddress) {
    WindowBench b;
    auto& w = b.Open();
    using window::Key;
    for (window::KeyModifiers m : {window::KeyModifiers{}, window::KeyModifiers{true, true, false},
                                   window::KeyModifiers{false, false, true}}) {
        w.OnKeyDown(Key::F1, m);
        EXPECT_FALSE(b.view.startAddressShown);
    }
    w.OnKeyDown(Key::Other, {false, true, false});
    EXPECT_FALSE(b.view.startAddressShown);
    w.OnKeyDown(Key::F1, {false, true, false});
    EXPECT_TRUE(b.view.startAddressShown);
    EXPECT_TRUE(w.StartAddressShown());
}

#if defined(__linux__)
TEST(MainWindow, KeyboardTheUserMayNotOpenIsNamedInTheMessage) {
    WindowBench b;
    b.hid.Faults().KeyboardPermissionDenied = true;
    b.Open();
    b.Tick();
    ASSERT_EQ(b.services.messages.size(), 1u);
    const std::string& text = b.services.messages[0].text;
    EXPECT_TRUE(text.starts_with(testsupport::kNotFound + "\r\n\r\n")) << text;
    EXPECT_NE(text.find("70-kestrune-keyboard.rules"), std::string::npos);
}
#endif

TEST(MainWindow, RefreshRescansExitClosesAndFocusReturnsToTheButton) {
    WindowBench b;
    auto& w = b.Open();
    b.Tick();
    EXPECT_FALSE(b.Tick());
    b.Click(Button::Refresh);
    EXPECT_TRUE(b.Tick());
    EXPECT_EQ(b.view.focused, Button::Refresh);
    EXPECT_EQ(b.hid.OpenHandles(), 1u);  // the rescan released the device it found open
    b.services.dialogAnswer = std::nullopt;
    b.Click(Button::SelectFile);
    EXPECT_EQ(b.view.focused, Button::SelectFile);
    EXPECT_TRUE(w.OnCloseRequested());
    // Escape does what Exit does, but not while a command runs.
    b.services.onPump = [&] { w.OnKeyDown(window::Key::Escape, {}); };
    b.Click(Button::Refresh);
    b.Tick();
    EXPECT_EQ(b.view.closes, 0);
    b.services.onPump = nullptr;
    w.OnKeyDown(window::Key::Escape, {});
    EXPECT_EQ(b.view.closes, 1);
    b.Click(Button::Exit);
    EXPECT_EQ(b.view.closes, 2);
}

namespace {
// A HID platform whose device list cannot be read at all.
class FailingHid final : public usbio::HidPlatform {
public:
    bool EnumerateInterfaces(std::vector<std::string>&) override { throw std::runtime_error("bus exploded"); }
    usbio::HidHandle Open(const std::string&, usbio::HidAccess, usbio::OpenError*) override { return -1; }
    void Close(usbio::HidHandle) override {}
    bool GetAttributes(usbio::HidHandle, usbio::HIDD_ATTRIBUTES&) override { return false; }
    bool GetPreparsedData(usbio::HidHandle, usbio::PreparsedHandle&) override { return false; }
    bool GetCaps(usbio::PreparsedHandle, usbio::HIDP_CAPS&) override { return false; }
    void FreePreparsedData(usbio::PreparsedHandle) override {}
    bool SetFeature(usbio::HidHandle, const std::uint8_t*, std::size_t) override { return false; }
    bool GetFeature(usbio::HidHandle, std::uint8_t*, std::size_t) override { return false; }
};
}  // namespace

TEST(MainWindow, AnErrorInsideTheScanIsReportedAndTheWindowGoesOn) {
    kestrune::VirtualClock clock;
    testsupport::FakeServices services(clock);
    testsupport::FakeView view;
    FailingHid hid;
    usbio::DeviceConnection connection(hid);
    window::MainWindow w(connection, view, services);
    w.Start();
    w.OnTimer();
    ASSERT_EQ(services.messages.size(), 1u);
    EXPECT_NE(services.messages[0].text.find("bus exploded"), std::string::npos);
    EXPECT_FALSE(view.busyPointer);
    EXPECT_TRUE(view.Enabled(Button::Refresh));
    w.OnButton(Button::Refresh);
    EXPECT_TRUE(services.timerMs.has_value());
}

TEST(Layout, NoTextIsCutOffAtAnyFontSize) {
    // A font whose characters are all as wide as given, lines as high as given.
    struct Font {
        int charWidth, lineHeight;
    };
    for (const Font f : {Font{6, 16}, Font{7, 17}, Font{11, 24}, Font{14, 30}}) {
        window::TextMetrics m;
        m.lineHeight = f.lineHeight;
        m.textWidth = [f](std::string_view t) { return static_cast<int>(t.size()) * f.charWidth; };
        const window::WindowLayout l = window::ComputeLayout(m);
        const std::string context = std::to_string(f.charWidth) + "/" + std::to_string(f.lineHeight);
        for (const char* caption : {"Refresh", "Upload Firmware", "Exit", "Select Firmware File ..."})
            EXPECT_LE(m.textWidth(caption) + 8, l.refreshButton.width) << context << caption;
        for (const window::Rect& r : {l.refreshButton, l.uploadButton, l.exitButton, l.selectFileButton})
            EXPECT_EQ(r.width, l.refreshButton.width) << context;  // one size for all buttons
        for (std::size_t i = 0; i < 4; ++i)
            EXPECT_LE(m.textWidth(window::text::ColumnHeaders[i]) + 8, l.columnWidths[i]) << context;
        EXPECT_LE(m.textWidth("11867") + 8, l.columnWidths[0]);
        EXPECT_LE(m.textWidth("1-10.4.4.4") + 8, l.portColumnWidth) << context;
        int columns = 0;
        for (int w : l.columnWidths) columns += w;
        EXPECT_LE(columns, l.deviceList.width) << context;
        EXPECT_LE(m.textWidth("Start Address (HEX):"), l.startAddressLabel.width) << context;
        for (const window::Rect& r : {l.refreshButton, l.uploadButton, l.exitButton, l.progressBar,
                                      l.firmwareFileField, l.startAddressField, l.statusBar})
            EXPECT_GE(r.height, f.lineHeight + 4) << context;
        // The arrangement holds: list left of the buttons, rows below the list, nothing overlaps.
        EXPECT_LT(l.deviceList.Right(), l.refreshButton.x);
        EXPECT_LT(l.uploadButton.Bottom(), l.startAddressLabel.y);
        EXPECT_LE(l.startAddressField.Bottom(), l.deviceList.Bottom());
        EXPECT_LT(l.deviceList.Bottom(), l.firmwareFileField.y);
        EXPECT_LT(l.firmwareFileField.Bottom(), l.progressBar.y);
        EXPECT_LT(l.progressBar.Bottom(), l.statusBar.y);
        EXPECT_EQ(l.height, l.statusBar.Bottom());
        EXPECT_LE(l.exitButton.Right(), l.width);
    }
    // At the base font the window keeps its well-known size.
    window::TextMetrics base;
    base.textWidth = [](std::string_view t) { return static_cast<int>(t.size()) * 4; };
    const auto l = window::ComputeLayout(base);
    EXPECT_EQ(l.deviceList, (window::Rect{8, 8, 385, 137}));
    EXPECT_EQ(l.statusBar, (window::Rect{0, 216, 526, 25}));
    EXPECT_EQ(l.columnWidths, (std::array<int, 4>{64, 64, 154, 92}));
}
