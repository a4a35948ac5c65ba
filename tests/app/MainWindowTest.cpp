#include <gtest/gtest.h>

#include <QTest>

#include "app/WindowBench.h"
#include "upload/Commands.h"

using testsupport::WindowBench;

TEST(MainWindow, StartUpCaptionControlsAndFirstRunWithoutSetting) {
    WindowBench b;
    auto& w = b.Open();
    EXPECT_EQ(w.windowTitle(), "Kestrune Loader V1.0R8");
    EXPECT_EQ(app::WindowCaption("Kestrune Loader", 1, 12, 0), "Kestrune Loader V1.12R0");
    EXPECT_EQ(w.txtFirmwareFile->text(), "");
    EXPECT_FALSE(w.Label1->isVisible());
    EXPECT_FALSE(w.txtStartAddress->isVisible());
    EXPECT_EQ(w.txtStartAddress->text(), "1200");
    EXPECT_EQ(w.cmdCtrl[0]->text(), "Refresh");
    EXPECT_EQ(w.cmdCtrl[1]->text(), "Upload Firmware");
    EXPECT_EQ(w.cmdCtrl[2]->text(), "Exit");
    EXPECT_EQ(w.cmdCtrl[3]->text(), "Select Firmware File ...");
    EXPECT_FALSE(w.cmdCtrl[1]->isEnabled());
    EXPECT_EQ(w.lvw->geometry(), QRect(8, 8, 385, 137));
    EXPECT_EQ(w.sb->geometry(), QRect(0, 216, 526, 25));
    EXPECT_EQ(b.Status(), "");
    EXPECT_EQ(w.sb->Panel2Text(), "");
    // Columns: headers and widths from the list's width.
    ASSERT_EQ(w.lvw->columnCount(), 4);
    const QStringList headers{"Vendor ID", "Product ID", "Firmware Version", "Status Mode"};
    for (int c = 0; c < 4; ++c) EXPECT_EQ(w.lvw->headerItem()->text(c), headers[c]);
    const auto widths = app::DeviceListColumnWidths(w.lvw->width());
    EXPECT_EQ(w.lvw->columnWidth(2), widths[2]);
    EXPECT_EQ(app::DeviceListColumnWidths(6000), (std::array<int, 4>{1000, 1000, 2400, 1440}));
    // The scan waits for the timer: nothing has been opened yet, and the window is up.
    EXPECT_TRUE(w.tmrDetectDevice->isActive());
    EXPECT_TRUE(b.hid.OpenLog().empty());
}

TEST(MainWindow, RestoresTheLastFirmwarePathUnchecked) {
    WindowBench b;
    b.services.settings["Kestrune Loader/Firmware/File"] = "/no/such/file.hex";
    EXPECT_EQ(b.Open().txtFirmwareFile->text(), "/no/such/file.hex");
}

TEST(MainWindow, NoKeyboardGivesOneMessageShownOverTheVisibleWindowDuringTheScan) {
    WindowBench b;
    b.keyboard.Unplug();
    auto& w = b.Open();
    QString statusDuringBox;
    bool busyPointerDuringBox = false, visibleDuringBox = false;
    b.services.onMessage = [&](const testsupport::RecordedMessage&) {
        statusDuringBox = b.Status();
        busyPointerDuringBox = w.cursor().shape() == Qt::WaitCursor;
        visibleDuringBox = w.isVisible();
        return app::vbOK;
    };
    ASSERT_TRUE(b.Tick());
    ASSERT_EQ(b.services.messages.size(), 1u);
    EXPECT_EQ(b.services.messages[0].Text, testsupport::kNotFound);
    EXPECT_EQ(b.services.messages[0].Style, 48);
    EXPECT_EQ(b.services.messages[0].Title, "Kestrune Loader");
    EXPECT_EQ(statusDuringBox, "Scanning Device...");
    EXPECT_TRUE(busyPointerDuringBox);
    EXPECT_TRUE(visibleDuringBox);
    EXPECT_EQ(b.Status(), "Device not Found");
    EXPECT_EQ(w.sb->Tag, "99129");
    EXPECT_NE(w.cursor().shape(), Qt::WaitCursor);
    EXPECT_TRUE(b.Row().isEmpty());
    EXPECT_FALSE(w.cmdCtrl[1]->isEnabled());
    EXPECT_EQ(w.StatusModeText, "Firmware Upload");
    EXPECT_FALSE(w.tmrDetectDevice->isActive());  // one tick, one scan
}

TEST(MainWindow, KeyboardInNormalAndInUploadMode) {
    WindowBench normal;
    auto& w = normal.Open();
    normal.Tick();
    EXPECT_TRUE(normal.services.messages.empty());
    EXPECT_EQ(normal.Row(), (QStringList{"11867", "17", "V1.0", "Normal"}));
    EXPECT_EQ(normal.Status(), "Device Found");
    EXPECT_EQ(w.sb->Tag, "99130");
    EXPECT_TRUE(w.cmdCtrl[1]->isEnabled());
    EXPECT_FALSE(w.NewFirmware);

    WindowBench upload(sim::KeyboardConfig{.Version = "V2.3", .StartInUploadMode = true});
    upload.Open();
    upload.Tick();
    EXPECT_EQ(upload.Row(), (QStringList{"11867", "6", "V2.3", "Firmware Upload"}));
    EXPECT_EQ(upload.Status(), "Device Found. Note: Device is in Firmware Upload mode.");
    EXPECT_TRUE(upload.window->NewFirmware);
}

TEST(MainWindow, DeviceFoundOnlyBySecondSearchShowsFirmwareUploadMode) {
    // The keyboard comes back on the bus while the first search is under way, in firmware-upload
    // mode with a product ID that the definition file lists but that is not 6.
    WindowBench b(sim::KeyboardConfig{.UploadPID = 7,
                                      .ReturnPolicy = sim::KeyboardConfig::Return::Automatic,
                                      .ReturnDelayMs = 1500});
    b.folder.Write("PIDDef.txt", "normal,17\nupload,7\n");
    b.Open();
    b.Tick();
    std::string version;
    // Switch it: it leaves the bus and returns 1.5 s later, during the next first search.
    const std::array<std::uint8_t, 129> zeros{};
    ASSERT_EQ(upload::SendCommand(b.connection, 0xD0, 0, zeros), 0);
    b.window->cmdCtrl_Click(0);
    b.Tick();
    EXPECT_EQ(b.Row(), (QStringList{"11867", "7", "V1.0", "Firmware Upload"}));
    EXPECT_EQ(b.Status(), "Device Found");
}

TEST(MainWindow, PendingStatusTextIsShownByTheNextSuccessfulScanOnly) {
    WindowBench b;
    auto& w = b.Open();
    w.PendingStatusText = "Firmware updated.";
    b.keyboard.Unplug();
    b.Tick();
    EXPECT_EQ(b.Status(), "Device not Found");
    EXPECT_EQ(w.PendingStatusText, "Firmware updated.");
    b.keyboard.Plug();
    w.cmdCtrl_Click(0);
    b.Tick();
    EXPECT_EQ(b.Status(), "Firmware updated.");
    w.cmdCtrl_Click(0);
    b.Tick();
    EXPECT_EQ(b.Status(), "Device Found");
}

TEST(MainWindow, NewFirmwareFollowsTheVersionText) {
    struct Case {
        const char* version;
        bool newFirmware;
    };
    for (const Case& c : {Case{"V1.0", false}, Case{"build V1.1", false}, Case{"v1.0", true},
                          Case{"V2.0", true}, Case{"", true}}) {
        WindowBench b(sim::KeyboardConfig{.Version = c.version});
        b.Open();
        b.Tick();
        EXPECT_EQ(b.window->NewFirmware, c.newFirmware) << c.version;
        EXPECT_EQ(b.Row().value(2), QString(c.version));
    }
}

TEST(MainWindow, FailedVersionReadKeepsTheEarlierText) {
    WindowBench b;
    auto& w = b.Open();
    w.FirmwareVersionText = "earlier";
    b.hid.Faults().FailGetOfExchange = 1;
    b.Tick();
    EXPECT_EQ(b.Row(), (QStringList{"11867", "17", "earlier", "Normal"}));
    EXPECT_TRUE(w.NewFirmware);
}

TEST(MainWindow, ClicksAndTicksDuringAScanStartNothing) {
    WindowBench b;
    auto& w = b.Open();
    int pumpsSeen = 0;
    bool buttonsOffDuringScan = true;
    b.services.onPump = [&] {
        ++pumpsSeen;
        for (QPushButton* button : w.cmdCtrl) buttonsOffDuringScan &= !button->isEnabled();
        // The user clicks every button and the timer's tick comes in.
        for (QPushButton* button : w.cmdCtrl) QTest::mouseClick(button, Qt::LeftButton);
        w.cmdCtrl_Click(0);
        w.cmdCtrl_Click(1);
        w.tmrDetectDevice_Timer();
    };
    b.Tick();
    EXPECT_GT(pumpsSeen, 0);
    EXPECT_TRUE(buttonsOffDuringScan);
    EXPECT_EQ(b.services.endRequests, 0);
    EXPECT_TRUE(b.services.dialogs.empty());
    EXPECT_EQ(b.keyboard.ModeSwitches(), 0);
    EXPECT_FALSE(w.tmrDetectDevice->isActive());
    // One scan: five interfaces, five pauses.
    EXPECT_EQ(b.services.pauses, 5);
    EXPECT_EQ(b.Status(), "Device Found");
    for (QPushButton* button : w.cmdCtrl) EXPECT_TRUE(button->isEnabled());
}

TEST(MainWindow, CtrlF1AloneRevealsTheStartAddressWhateverHasTheFocus) {
    WindowBench b;
    auto& w = b.Open();
    for (auto modifiers : {Qt::KeyboardModifiers(Qt::NoModifier),
                           Qt::KeyboardModifiers(Qt::ShiftModifier | Qt::ControlModifier),
                           Qt::KeyboardModifiers(Qt::AltModifier)}) {
        QTest::keyClick(w.txtFirmwareFile, Qt::Key_F1, modifiers);
        EXPECT_FALSE(w.txtStartAddress->isVisible());
    }
    QTest::keyClick(w.lvw, Qt::Key_F2, Qt::ControlModifier);
    EXPECT_FALSE(w.txtStartAddress->isVisible());
    QTest::keyClick(w.cmdCtrl[0], Qt::Key_F1, Qt::ControlModifier);
    EXPECT_TRUE(w.Label1->isVisible());
    EXPECT_TRUE(w.txtStartAddress->isVisible());
    QTest::keyClick(w.txtFirmwareFile, Qt::Key_F1);
    EXPECT_TRUE(w.txtStartAddress->isVisible());
}

#if defined(__linux__)
TEST(MainWindow, KeyboardTheUserMayNotOpenIsNamedInTheMessage) {
    WindowBench b;
    b.hid.Faults().KeyboardPermissionDenied = true;
    b.Open();
    b.Tick();
    ASSERT_EQ(b.services.messages.size(), 1u);
    const QString text = b.services.messages[0].Text;
    EXPECT_TRUE(text.startsWith(testsupport::kNotFound + "\r\n\r\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("70-kestrune-keyboard.rules"));
}
#endif

TEST(MainWindow, RefreshRescansAndExitEndsTheProgram) {
    WindowBench b;
    auto& w = b.Open();
    b.Tick();
    EXPECT_FALSE(b.Tick());
    QTest::mouseClick(w.cmdCtrl[0], Qt::LeftButton);
    EXPECT_TRUE(w.tmrDetectDevice->isActive());
    EXPECT_TRUE(b.Tick());
    EXPECT_EQ(b.hid.OpenHandles(), 1u);  // the rescan released the device it found open
    QTest::mouseClick(w.cmdCtrl[2], Qt::LeftButton);
    EXPECT_EQ(b.services.endRequests, 1);
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
    testsupport::FakeWindowServices services(clock);
    FailingHid hid;
    usbio::DeviceConnection connection(hid);
    app::frmMain w(connection, services);
    w.tmrDetectDevice_Timer();
    ASSERT_EQ(services.messages.size(), 1u);
    EXPECT_TRUE(services.messages[0].Text.contains("bus exploded"));
    EXPECT_NE(w.cursor().shape(), Qt::WaitCursor);
    EXPECT_TRUE(w.cmdCtrl[0]->isEnabled());
    QTest::mouseClick(w.cmdCtrl[0], Qt::LeftButton);
    EXPECT_TRUE(w.tmrDetectDevice->isActive());
}
