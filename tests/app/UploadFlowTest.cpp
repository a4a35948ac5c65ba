#include <gtest/gtest.h>

#include <QTest>

#include "app/WindowBench.h"
#include "support/FirmwareFiles.h"
#include "upload/FirmwareImage.h"

using testsupport::HexText;
using testsupport::RandomBytes;
using testsupport::RecordedMessage;
using testsupport::WindowBench;

namespace {

const QString kInstructions = QStringLiteral(
    "The keyboard is set to [Firmware Upload] mode.\r\n\r\n"
    "Please follow below steps to start uploading firmware:\r\n"
    "  1. Plug out the USB connector\r\n"
    "  2. Plug in the USB connector again\r\n"
    "  3  Click OK button to start uploading the firmware file to keyboard");
const QString kUploaded = QStringLiteral(
    "The selected firmware file is successfully uploaded to keyboard.\r\n\r\n"
    "Please plug out the USB cable and plug in again to restart the keyboard.");
const QString kRetry =
    QStringLiteral("Make sure the USB cable is plugged out and in. Click OK to try again.");

struct FlowBench : WindowBench {
    explicit FlowBench(sim::KeyboardConfig config = {}) : WindowBench(std::move(config)) {
        Open();
        Tick();
    }
    // Writes the file and puts its path in the window.
    void ChooseFile(const std::string& name, const std::string& contents) {
        window->txtFirmwareFile->setText(QString::fromStdString(folder.Write(name, contents).string()));
    }
    void ClickUpload() { QTest::mouseClick(window->cmdCtrl[1], Qt::LeftButton); }
    std::vector<std::vector<std::uint8_t>> Reports(std::uint8_t command) const {
        std::vector<std::vector<std::uint8_t>> out;
        for (const auto& r : keyboard.ReportsTaken())
            if (r.size() > 1 && r[1] == command) out.push_back(r);
        return out;
    }
    // The keyboard's flash from address on holds exactly these bytes.
    bool FlashHolds(std::size_t address, const std::vector<std::uint8_t>& bytes) const {
        return std::equal(bytes.begin(), bytes.end(), keyboard.Flash().begin() + static_cast<std::ptrdiff_t>(address));
    }
    // Answers the replug instructions by replugging the keyboard.
    void ReplugWhenAsked() {
        services.onMessage = [this](const RecordedMessage& m) {
            if (m.Title == "Restart the Keyboard") keyboard.Replug();
            return app::vbOK;
        };
    }
};

}  // namespace

TEST(UploadFlow, OldFirmwareReplugUploadsHexBinAndDatByteForByte) {
    const auto data = RandomBytes(0x800, 21);  // 0x1200..0x19FF
    std::vector<std::uint8_t> bin = RandomBytes(0x1A00, 22);
    std::vector<std::uint8_t> descrambled(bin.size());
    std::transform(bin.begin(), bin.end(), descrambled.begin(),
                   [](std::uint8_t v) { return static_cast<std::uint8_t>((255 - v) ^ upload::DatMask); });
    struct Case {
        std::string name, contents;
        std::vector<std::uint8_t> expected;  // from 0x1200 on
    };
    const std::vector<Case> cases{
        {"fw.hex", HexText(0x1200, data), data},
        {"fw.BIN", testsupport::AsText(bin), std::vector<std::uint8_t>(bin.begin() + 0x1200, bin.end())},
        {"fw.dat", testsupport::AsText(bin),
         std::vector<std::uint8_t>(descrambled.begin() + 0x1200, descrambled.end())}};
    for (const Case& c : cases) {
        FlowBench b;
        b.ChooseFile(c.name, c.contents);
        b.ReplugWhenAsked();
        QStringList statuses;
        b.services.onTime = [&] { if (statuses.isEmpty() || statuses.back() != b.Status()) statuses << b.Status(); };
        b.ClickUpload();

        EXPECT_EQ(b.MessageTexts(), (QStringList{kInstructions, kUploaded})) << c.name;
        EXPECT_EQ(b.services.messages[0].Style, 64);
        EXPECT_EQ(b.services.messages[0].Title, "Restart the Keyboard");
        EXPECT_EQ(b.services.messages[1].Style, 64);
        EXPECT_EQ(b.services.messages[1].Title, "Kestrune Loader");
        EXPECT_TRUE(statuses.contains("Please wait...")) << c.name;
        EXPECT_TRUE(b.FlashHolds(0x1200, c.expected)) << c.name;
        // 0x1200..0x1A00: 17 blocks, the last one wholly past the data; every report ends in 0;
        // the finish repeats the last block.
        const auto blocks = b.Reports(0x20);
        ASSERT_EQ(blocks.size(), 17u) << c.name;
        for (const auto& r : blocks) EXPECT_EQ(r[131], 0);
        const auto finish = b.Reports(0x30);
        ASSERT_EQ(finish.size(), 1u);
        EXPECT_TRUE(std::equal(finish[0].begin() + 3, finish[0].end(), blocks.back().begin() + 3));
        const auto address = b.Reports(0x10);
        ASSERT_EQ(address.size(), 1u);
        EXPECT_EQ(address[0][3], 0x12);
        EXPECT_EQ(address[0][4], 0x00);
        // The progress bar ran up to every block sent.
        EXPECT_FLOAT_EQ(b.window->pb->Max(), blocks.size() * 128 / 100.0f);
        EXPECT_FLOAT_EQ(b.window->pb->Value(), b.window->pb->Max());
        // Waits in order: switch pass (1 s, then 3 s / 2 s per rescan), 1 s, then 3 s and 1 s.
        EXPECT_EQ(b.services.sleeps, (std::vector<int>{1000, 3000, 2000, 1000, 3000, 1000})) << c.name;
        EXPECT_EQ(b.Status(), "Firmware uploaded OK. Rescanning device...");
        EXPECT_FALSE(b.connection.IsOpen());
        EXPECT_NE(b.window->cursor().shape(), Qt::WaitCursor);
        // The rescan comes once the flow has ended, and shows the outcome.
        ASSERT_TRUE(b.Tick());
        EXPECT_EQ(b.Status(), "Firmware updated.");
        EXPECT_EQ(b.Row(), (QStringList{"11867", "17", "V2.0", "Normal"}));
        b.window->cmdCtrl_Click(0);
        b.Tick();
        EXPECT_EQ(b.Status(), "Device Found");
    }
}

TEST(UploadFlow, NewFirmwareUploadsAfterTheFirstPassWithoutInstructions) {
    FlowBench b(sim::KeyboardConfig{.Version = "V2.0", .VersionAfterFinish = "V2.1"});
    const auto data = RandomBytes(0x300, 5);
    b.ChooseFile("fw.hex", HexText(0x1200, data));
    b.window->txtStartAddress->setText("4000");  // not used on this path
    b.ClickUpload();
    EXPECT_TRUE(b.services.messages.empty());
    EXPECT_TRUE(b.FlashHolds(0x1200, data));
    EXPECT_EQ(b.Reports(0x20).size(), 7u);
    ASSERT_TRUE(b.Tick());
    EXPECT_EQ(b.Status(), "Firmware updated.");
    EXPECT_EQ(b.Row().value(2), "V2.1");
}

TEST(UploadFlow, KeyboardAlreadyInUploadModeUsesTheTypedStartAddress) {
    FlowBench b(sim::KeyboardConfig{.StartInUploadMode = true});
    const auto data = RandomBytes(0x100, 6);
    b.ChooseFile("fw.hex", HexText(0x8000, data));
    QTest::keyClick(b.window->txtFirmwareFile, Qt::Key_F1, Qt::ControlModifier);
    ASSERT_TRUE(b.window->txtStartAddress->isVisible());
    b.window->txtStartAddress->setText("8000");
    QStringList statuses;
    b.services.onPump = [&] { statuses << b.Status(); };
    b.ClickUpload();
    EXPECT_FALSE(statuses.contains("Jumping to firmware upload mode..."));
    EXPECT_EQ(b.keyboard.ModeSwitches(), 0);
    const auto address = b.Reports(0x10);
    ASSERT_EQ(address.size(), 1u);
    EXPECT_EQ(address[0][3], 0x80);
    EXPECT_TRUE(b.FlashHolds(0x8000, data));
    EXPECT_EQ(b.Reports(0x20).size(), 3u);
}

TEST(UploadFlow, FailedBlockUnansweredFinishAndFailedModeSwitch) {
    const auto data = RandomBytes(0x800, 7);
    {   // The fifth block fails: four blocks, no finish, closed, failed, no rescan.
        FlowBench b(sim::KeyboardConfig{.StartInUploadMode = true});
        b.keyboard.Faults().RefuseBlock = 5;
        b.ChooseFile("fw.hex", HexText(0x1200, data));
        b.ClickUpload();
        EXPECT_EQ(b.keyboard.BlocksTaken(), 4);
        EXPECT_EQ(b.Reports(0x20).size(), 5u);
        EXPECT_TRUE(b.Reports(0x30).empty());
        EXPECT_FALSE(b.connection.IsOpen());
        EXPECT_EQ(b.hid.OpenHandles(), 0u);
        EXPECT_EQ(b.Status(), "Firmware uploaded Failed");
        EXPECT_TRUE(b.services.messages.empty());
        EXPECT_FALSE(b.window->tmrDetectDevice->isActive());
        EXPECT_NE(b.window->cursor().shape(), Qt::WaitCursor);
    }
    {   // The finish is not answered: the upload still counts.
        FlowBench b(sim::KeyboardConfig{.StartInUploadMode = true});
        b.keyboard.Faults().IgnoreFinish = true;
        b.ChooseFile("fw.hex", HexText(0x1200, data));
        b.ClickUpload();
        EXPECT_EQ(b.MessageTexts(), QStringList{kUploaded});
        EXPECT_TRUE(b.FlashHolds(0x1200, data));
        EXPECT_TRUE(b.Tick());
        // The note is appended to whatever the status reads.
        EXPECT_EQ(b.Status(), "Firmware updated.. Note: Device is in Firmware Upload mode.");
    }
    {   // The mode switch fails once: a retry after 8 s and a rescan, then the flow goes on.
        FlowBench b;
        b.hid.Faults().FailSetOfExchange = 2;  // the version read was the first exchange
        b.ChooseFile("fw.hex", HexText(0x1200, data));
        b.ReplugWhenAsked();
        b.ClickUpload();
        ASSERT_FALSE(b.services.sleeps.empty());
        EXPECT_EQ(b.services.sleeps.front(), 8000);
        EXPECT_EQ(b.keyboard.ModeSwitches(), 1);
        EXPECT_TRUE(b.FlashHolds(0x1200, data));
    }
    {   // Refused twice: "Communication failed.", nothing uploaded.
        FlowBench b;
        b.hid.Faults().FailSetsFrom = 2;
        b.ChooseFile("fw.hex", HexText(0x1200, data));
        b.ClickUpload();
        EXPECT_EQ(b.MessageTexts(), QStringList{"Communication failed."});
        EXPECT_EQ(b.services.messages[0].Style, 48);
        EXPECT_EQ(b.Status(), "Communication failed.");
        EXPECT_EQ(b.keyboard.ModeSwitches(), 0);
        EXPECT_TRUE(b.Reports(0x20).empty());
        EXPECT_NE(b.window->cursor().shape(), Qt::WaitCursor);
    }
}

TEST(UploadFlow, KeyboardThatNeverReturnsLeadsToThePromptAndCancelEndsTheFlow) {
    FlowBench b(sim::KeyboardConfig{.ReturnPolicy = sim::KeyboardConfig::Return::Never});
    b.ChooseFile("fw.hex", HexText(0x1200, RandomBytes(0x100, 8)));
    int prompts = 0;
    b.services.onMessage = [&](const RecordedMessage& m) {
        if (m.Text != kRetry) return app::vbOK;
        return ++prompts < 2 ? app::vbOK : app::vbCancel;
    };
    b.ClickUpload();
    EXPECT_EQ(prompts, 2);
    // Each pass: three rescans, each with its not-found message, then the prompt.
    QStringList expected{kInstructions};
    for (int pass = 0; pass < 2; ++pass)
        expected << testsupport::kNotFound << testsupport::kNotFound << testsupport::kNotFound << kRetry;
    EXPECT_EQ(b.MessageTexts(), expected);
    const auto& prompt = b.services.messages.back();
    EXPECT_EQ(prompt.Style, 49);
    EXPECT_EQ(prompt.Title, "Restart Keyboard");
    EXPECT_TRUE(b.Reports(0x20).empty());
    EXPECT_TRUE(b.Reports(0x10).empty());
    EXPECT_NE(b.window->cursor().shape(), Qt::WaitCursor);
    for (QPushButton* button : b.window->cmdCtrl) EXPECT_TRUE(button->isEnabled() || button == b.window->cmdCtrl[1]);
}

TEST(UploadFlow, FilesThatCannotBeSentAreRefusedBeforeTheKeyboardIsTouched) {
    struct Case {
        std::string name, contents;
        int style;
        QString title;
    };
    const std::vector<Case> cases{
        {"bad.hex", ":10120000FFFF\r\n:00000001FF\r\n", 0, "4"},
        {"cut.hex", HexText(0x1200, RandomBytes(64, 9)).substr(0, 4 * 45), 0, "5"},
        {"notes.txt", "hello", 48, "Kestrune Loader"},
        {"short.bin", "tiny", 48, "Kestrune Loader"}};
    for (const Case& c : cases) {
        FlowBench b;
        b.ChooseFile(c.name, c.contents);
        b.ClickUpload();
        ASSERT_EQ(b.services.messages.size(), 1u) << c.name;
        EXPECT_EQ(b.services.messages[0].Style, c.style) << c.name;
        EXPECT_EQ(b.services.messages[0].Title, c.title) << c.name;
        EXPECT_EQ(b.Status(), "Firmware uploaded Failed") << c.name;
        EXPECT_EQ(b.keyboard.ReportsTaken().size(), 1u) << c.name;  // the scan's version read only
        EXPECT_EQ(b.keyboard.ModeSwitches(), 0) << c.name;
        EXPECT_TRUE(b.connection.IsOpen()) << c.name;
    }
    // A start address that is not one to four hex digits, on the direct path.
    FlowBench b(sim::KeyboardConfig{.StartInUploadMode = true});
    b.ChooseFile("fw.hex", HexText(0x1200, RandomBytes(64, 9)));
    b.window->txtStartAddress->setText("12G0");
    b.ClickUpload();
    ASSERT_EQ(b.services.messages.size(), 1u);
    EXPECT_TRUE(b.services.messages[0].Text.contains("12G0"));
    EXPECT_EQ(b.keyboard.ReportsTaken().size(), 1u);
}

TEST(UploadFlow, FileChecksComeFirstWithTheirExactMessages) {
    FlowBench b;
    b.ClickUpload();
    b.window->txtFirmwareFile->setText(QString::fromStdString(b.folder.Path().string()));
    b.ClickUpload();
    b.window->txtFirmwareFile->setText("/no/such/fw.hex");
    b.ClickUpload();
    EXPECT_EQ(b.MessageTexts(),
              (QStringList{"Please specifiy the firmware file.",
                           "File " + QString::fromStdString(b.folder.Path().string()) + " not found.",
                           "File /no/such/fw.hex not found."}));
    for (const auto& m : b.services.messages) EXPECT_EQ(m.Style, 48);
    EXPECT_EQ(b.keyboard.ReportsTaken().size(), 1u);
}

TEST(UploadFlow, ClicksAndTicksDuringAnUploadChangeNothing) {
    FlowBench b;
    const auto data = RandomBytes(0x400, 10);
    b.ChooseFile("fw.hex", HexText(0x1200, data));
    b.ReplugWhenAsked();
    auto& w = *b.window;
    bool buttonsOff = true;
    b.services.onPump = [&] {
        for (QPushButton* button : w.cmdCtrl) buttonsOff &= !button->isEnabled();
        for (QPushButton* button : w.cmdCtrl) QTest::mouseClick(button, Qt::LeftButton);
        w.cmdCtrl_Click(1);
        w.cmdCtrl_Click(0);
        w.tmrDetectDevice_Timer();
    };
    b.ClickUpload();
    b.services.onPump = nullptr;
    EXPECT_TRUE(buttonsOff);
    EXPECT_EQ(b.keyboard.ModeSwitches(), 1);
    EXPECT_EQ(b.Reports(0x10).size(), 1u);
    EXPECT_EQ(b.Reports(0x30).size(), 1u);
    EXPECT_TRUE(b.FlashHolds(0x1200, data));
    EXPECT_EQ(b.services.endRequests, 0);
    EXPECT_TRUE(b.services.dialogs.empty());
    // Afterwards exactly one rescan is pending and the buttons are back.
    EXPECT_TRUE(b.Tick());
    EXPECT_FALSE(b.Tick());
    for (QPushButton* button : w.cmdCtrl) EXPECT_TRUE(button->isEnabled());
}

TEST(FileSelection, DialogStartsAtTheFileOrTheProgramFolderAndSavesTheChoice) {
    WindowBench b;
    auto& w = b.Open();
    b.services.dialogAnswer = std::nullopt;
    w.txtFirmwareFile->setText("/stale/path.hex");
    QTest::mouseClick(w.cmdCtrl[3], Qt::LeftButton);
    ASSERT_EQ(b.services.dialogs.size(), 1u);
    const auto& first = b.services.dialogs[0];
    EXPECT_EQ(first.Title, "Select Firmware File");
    EXPECT_EQ(first.InitialPlace, b.services.programFolder);
    EXPECT_EQ(first.FileName, "");
    ASSERT_EQ(first.Filters.size(), 2);
    EXPECT_EQ(first.Filters[0].Description, "(*.hex;*.bin;*.dat)");
    EXPECT_EQ(first.Filters[0].Patterns, (QStringList{"*.hex", "*.bin", "*.dat"}));
    EXPECT_EQ(first.Filters[1].Description, "(*.*)");
    EXPECT_EQ(first.Filters[1].Patterns, QStringList{"*.*"});
    // Cancel: nothing changes.
    EXPECT_EQ(w.txtFirmwareFile->text(), "/stale/path.hex");
    EXPECT_TRUE(b.services.settings.isEmpty());

    const QString existing = QString::fromStdString(b.folder.Write("a.hex", "x").string());
    w.txtFirmwareFile->setText(existing);
    b.services.dialogAnswer = QStringLiteral("/chosen/new.bin");
    QTest::mouseClick(w.cmdCtrl[3], Qt::LeftButton);
    EXPECT_EQ(b.services.dialogs[1].InitialPlace, existing);
    EXPECT_EQ(w.txtFirmwareFile->text(), "/chosen/new.bin");
    EXPECT_EQ(b.services.settings.value("Kestrune Loader/Firmware/File"), "/chosen/new.bin");

    // The next start shows it again.
    WindowBench next;
    next.services.settings = b.services.settings;
    EXPECT_EQ(next.Open().txtFirmwareFile->text(), "/chosen/new.bin");
}

TEST(UploadFlow, DemoKeyboardCompletesAWholeUploadWithoutHardware) {
    WindowBench b(sim::DemoKeyboardConfig());
    b.hid.Decoys() = sim::DemoDecoys();
    b.Open();
    b.Tick();
    const auto data = RandomBytes(0x1000, 12);
    b.window->txtFirmwareFile->setText(QString::fromStdString(b.folder.Write("demo.hex", HexText(0x1200, data)).string()));
    QTest::mouseClick(b.window->cmdCtrl[1], Qt::LeftButton);  // the instructions are answered OK
    EXPECT_EQ(b.MessageTexts(), (QStringList{kInstructions, kUploaded}));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), b.keyboard.Flash().begin() + 0x1200));
    ASSERT_TRUE(b.Tick());
    EXPECT_EQ(b.Status(), "Firmware updated.");
    EXPECT_EQ(b.Row(), (QStringList{"11867", "17", "V1.2", "Normal"}));
}
