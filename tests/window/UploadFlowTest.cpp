#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

#include "support/FirmwareFiles.h"
#include "upload/FirmwareImage.h"
#include "window/WindowBench.h"

using testsupport::HexText;
using testsupport::RandomBytes;
using testsupport::RecordedMessage;
using testsupport::WindowBench;
using upload::MessageAnswer;
using upload::MessageStyle;
using window::Button;
using Row = std::vector<std::string>;
using Texts = std::vector<std::string>;

namespace {

const std::string kInstructions = window::text::ReplugInstructions;
const std::string kUploaded =
    "The selected firmware file is successfully uploaded to keyboard.\r\n\r\n"
    "Please plug out the USB cable and plug in again to restart the keyboard.";
const std::string kRetry = window::text::RetryPrompt;
const std::string kReplugStatus =
    "Firmware uploaded OK. Please plug out the USB cable and plug in again to restart the keyboard.";

struct FlowBench : WindowBench {
    explicit FlowBench(sim::KeyboardConfig config = {}, std::vector<sim::KeyboardConfig> more = {},
                       window::WindowOptions options = {})
        : WindowBench(std::move(config), options, std::move(more)) {
        Open();
        Tick();
    }
    // Writes the file and puts its path in the window.
    void ChooseFile(const std::string& name, const std::string& contents) {
        view.file = folder.Write(name, contents).string();
    }
    void ClickUpload() { Click(Button::Upload); }
    void UseStartAddress(const std::string& text) {
        window->OnKeyDown(window::Key::F1, {false, true, false});
        view.startAddress = text;
    }
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
    bool Showed(const std::string& status) const {
        return std::find(view.statuses.begin(), view.statuses.end(), status) != view.statuses.end();
    }
    // Answers the replug instructions by replugging the keyboard.
    void ReplugWhenAsked() {
        services.onMessage = [this](const RecordedMessage& m) {
            if (m.title == "Restart the Keyboard") keyboard.Replug();
            return MessageAnswer::OK;
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
        std::string uploading;               // the status while blocks go out
    };
    const std::string keep = " Keep the keyboard plugged in.";
    const std::vector<Case> cases{
        {"fw.hex", HexText(0x1200, data), data, "Uploading from 0x1200." + keep},
        {"fw.BIN", testsupport::AsText(bin), std::vector<std::uint8_t>(bin.begin() + 0x1200, bin.end()),
         "Uploading from 0x1200." + keep + " 4,608 bytes below it are not sent."},
        {"fw.dat", testsupport::AsText(bin),
         std::vector<std::uint8_t>(descrambled.begin() + 0x1200, descrambled.end()),
         "Uploading from 0x1200." + keep + " 4,608 bytes below it are not sent."}};
    for (const Case& c : cases) {
        FlowBench b;
        b.ChooseFile(c.name, c.contents);
        b.ReplugWhenAsked();
        b.ClickUpload();

        EXPECT_EQ(b.services.MessageTexts(), (Texts{kInstructions, kUploaded})) << c.name;
        EXPECT_EQ(b.services.messages[0].style, MessageStyle::Information);
        EXPECT_EQ(b.services.messages[0].title, "Restart the Keyboard");
        EXPECT_EQ(b.services.messages[1].style, MessageStyle::Information);
        EXPECT_EQ(b.services.messages[1].title, "Kestrune Loader");
        EXPECT_TRUE(b.Showed("Jumping to firmware upload mode...")) << c.name;
        EXPECT_TRUE(b.Showed("Please wait...")) << c.name;
        EXPECT_TRUE(b.Showed(c.uploading)) << c.name;
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
        EXPECT_EQ(b.view.progressTotal, 17 * 128);
        EXPECT_EQ(b.view.progressDone, 17 * 128);
        // Waits in order: switch pass (1 s, then 3 s / 2 s per rescan), 1 s, then 3 s and 1 s.
        EXPECT_EQ(b.services.sleeps, (std::vector<int>{1000, 3000, 2000, 1000, 3000, 1000})) << c.name;
        // From the finish on, status and box say the same: replug, never keep it plugged in.
        EXPECT_EQ(b.services.messages[1].statusShown, kReplugStatus) << c.name;
        const auto finished = std::find(b.view.statuses.begin(), b.view.statuses.end(), kReplugStatus);
        ASSERT_NE(finished, b.view.statuses.end()) << c.name;
        EXPECT_TRUE(std::none_of(finished, b.view.statuses.end(), [](const std::string& s) {
            return s.find("Keep the keyboard plugged in.") != std::string::npos;
        })) << c.name;
        EXPECT_EQ(b.Status(), kReplugStatus);
        EXPECT_FALSE(b.connection.IsOpen());
        EXPECT_FALSE(b.view.busyPointer);
        // The rescan comes once the flow has ended, and shows the outcome; the buttons and the
        // focus come back after it.
        EXPECT_FALSE(b.view.Enabled(Button::Refresh));
        ASSERT_TRUE(b.Tick());
        EXPECT_EQ(b.view.focused, Button::Upload);
        EXPECT_EQ(b.Status(), "Firmware updated.");
        EXPECT_EQ(b.Row(), (Row{"11867", "17", "V2.0", "Normal"}));
        EXPECT_EQ(b.view.progressDone, 17 * 128);  // full until the next command
        b.Click(Button::Refresh);
        EXPECT_EQ(b.view.progressDone, 0);
        b.Tick();
        EXPECT_EQ(b.Status(), "Device Found");
    }
}

TEST(UploadFlow, NewFirmwareUploadsAfterTheFirstPassWithoutInstructions) {
    FlowBench b(sim::KeyboardConfig{.Version = "V2.0", .VersionAfterFinish = "V2.1"});
    const auto data = RandomBytes(0x300, 5);
    b.ChooseFile("fw.hex", HexText(0x1200, data));
    b.view.startAddress = "4000";  // never shown (no Ctrl+F1): not used
    b.ClickUpload();
    EXPECT_TRUE(b.services.messages.empty());
    EXPECT_EQ(b.Status(), "Firmware uploaded OK. Rescanning device...");
    EXPECT_TRUE(b.FlashHolds(0x1200, data));
    EXPECT_EQ(b.Reports(0x20).size(), 7u);
    ASSERT_TRUE(b.Tick());
    EXPECT_EQ(b.Status(), "Firmware updated.");
    EXPECT_EQ(b.Row().at(2), "V2.1");
}

// In a browser each return of the keyboard with another product ID is granted by the user: the
// flow asks for it just after a box the user has answered, and the update ends as on the desktop.
TEST(UploadFlow, ABrowserIsAskedForTheKeyboardEachTimeItReturnsAsAnotherDevice) {
    // The boxes before the browser's list say that it opens after OK.
    const std::string old = window::text::WebReplugInstructions, uploaded = window::text::WebUploadedReplug,
                      switched = window::text::GrantSwitchedKeyboard,
                      restarted = window::text::GrantRestartedKeyboard;
    const struct {
        const char* version;
        Texts boxes;
    } cases[] = {{"V1.0", {old, uploaded}}, {"V2.0", {switched, restarted}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        FlowBench b(sim::KeyboardConfig{.Version = c.version, .VersionAfterFinish = "V2.1"}, {},
                    window::WindowOptions{.grantReturnedKeyboard = true});
        b.services.onTime = [&] { if (b.keyboard.WaitingForReplug()) b.keyboard.Replug(); };
        b.ChooseFile("fw.bin", std::string(0x1400, '\x5A'));
        b.ClickUpload();
        EXPECT_EQ(b.services.MessageTexts(), c.boxes);
        // Right after each box, and nowhere else.
        const auto& e = b.services.events;
        for (std::size_t i = 1; i < e.size(); ++i)
            EXPECT_TRUE(e[i] != "ask" || e[i - 1].rfind("box ", 0) == 0) << i;
        EXPECT_EQ(std::count(e.begin(), e.end(), "ask"), 2);
        ASSERT_TRUE(b.Tick());
        EXPECT_EQ(b.Status(), "Firmware updated.");
    }
    // A keyboard that is not back: each retry asks again.
    FlowBench b(sim::KeyboardConfig{.Version = "V2.0", .ReturnPolicy = sim::KeyboardConfig::Return::Never}, {},
                window::WindowOptions{.grantReturnedKeyboard = true});
    b.ChooseFile("fw.bin", std::string(0x1400, '\x5A'));
    int prompts = 0;
    b.services.onMessage = [&](const RecordedMessage& m) {
        return m.text == kRetry && ++prompts == 2 ? MessageAnswer::Cancel : MessageAnswer::OK;
    };
    b.ClickUpload();
    EXPECT_EQ(std::count(b.services.events.begin(), b.services.events.end(), "ask"), 2);
    EXPECT_EQ(b.Status(), "Upload cancelled; nothing was written.");
}

TEST(UploadFlow, TheStartAddressShownByCtrlF1IsUsedOnTheSwitchPathToo) {
    FlowBench b;
    const auto data = RandomBytes(0x200, 14);
    b.ChooseFile("fw.hex", HexText(0x8000, data));
    b.UseStartAddress("8000");
    EXPECT_TRUE(b.view.startAddressFocused);
    b.ReplugWhenAsked();
    b.ClickUpload();
    EXPECT_EQ(b.keyboard.ModeSwitches(), 1);
    EXPECT_TRUE(b.Showed("Uploading from 0x8000. Keep the keyboard plugged in."));
    const auto address = b.Reports(0x10);
    ASSERT_EQ(address.size(), 1u);
    EXPECT_EQ(address[0][3], 0x80);
    EXPECT_TRUE(b.FlashHolds(0x8000, data));
}

TEST(UploadFlow, KeyboardInUploadModeUsesTheTypedStartAddressAlsoOnARetry) {
    // A first upload fails at block 2, which closes the keyboard; the retry must scan again and
    // upload to the typed address, never switch a keyboard already in firmware-upload mode.
    FlowBench b(sim::KeyboardConfig{.StartInUploadMode = true});
    const auto data = RandomBytes(0x200, 6);
    b.ChooseFile("fw.hex", HexText(0x8000, data));
    b.UseStartAddress("8000");
    b.keyboard.Faults().RefuseBlock = 2;
    b.ClickUpload();
    EXPECT_EQ(b.Status(), "Firmware uploaded Failed");
    EXPECT_FALSE(b.connection.IsOpen());
    b.keyboard.Faults().RefuseBlock = 0;
    b.ClickUpload();
    EXPECT_FALSE(b.Showed("Jumping to firmware upload mode..."));
    EXPECT_EQ(b.keyboard.ModeSwitches(), 0);
    EXPECT_TRUE(b.Reports(0xD0).empty());
    const auto address = b.Reports(0x10);
    ASSERT_EQ(address.size(), 2u);
    for (const auto& a : address) EXPECT_EQ(a[3], 0x80);
    EXPECT_TRUE(b.FlashHolds(0x8000, data));
    EXPECT_EQ(b.keyboard.Flash()[0x1200], 0xFF);  // nothing written below the typed address
    EXPECT_EQ(b.services.MessageTexts(), Texts{kUploaded});
}

TEST(UploadFlow, AnUploadWithTheKeyboardClosedLooksForItAndShowsItFirst) {
    // No keyboard at the first scan; then it is plugged in, in firmware-upload mode with new
    // firmware, and the upload starts: the scan before it lists the keyboard and takes its
    // version, so the upload ends without the box that old firmware gets.
    FlowBench b(sim::KeyboardConfig{.Version = "V2.0", .StartInUploadMode = true, .StartOnBus = false});
    b.keyboard.Plug();
    const auto data = RandomBytes(0x100, 13);
    b.ChooseFile("fw.hex", HexText(0x1200, data));
    b.window->StartUpload();
    EXPECT_EQ(b.Row(), (Row{"11867", "6", "V2.0", "Firmware Upload"}));
    EXPECT_EQ(b.services.MessageTexts(), Texts{testsupport::kNotFound});
    EXPECT_TRUE(b.FlashHolds(0x1200, data));
}

TEST(UploadFlow, RetryOfTheSwitchGoesOnWhenTheKeyboardIsAlreadyInUploadMode) {
    // The switch is taken but its answer is lost: the rescan finds the keyboard in
    // firmware-upload mode, and the flow uploads instead of sending the switch again. The version
    // read there decides whether the user is told to replug afterwards.
    for (const auto& [version, messages] : {std::pair{"V1.0", Texts{kUploaded}}, std::pair{"V2.0", Texts{}}}) {
        FlowBench b(sim::KeyboardConfig{.Version = version});
        b.keyboard.Faults().NoAnswerToSwitch = true;
        const auto data = RandomBytes(0x300, 9);
        b.ChooseFile("fw.hex", HexText(0x1200, data));
        b.ClickUpload();
        EXPECT_EQ(b.keyboard.ModeSwitches(), 1);
        EXPECT_EQ(b.Reports(0xD0).size(), 1u);  // the switch went out once
        EXPECT_EQ(b.services.MessageTexts(), messages) << version;
        EXPECT_FALSE(b.Showed("Communication failed."));
        EXPECT_TRUE(b.FlashHolds(0x1200, data));
        EXPECT_EQ(b.services.sleeps.front(), 8000);
    }
}

TEST(UploadFlow, DataBelowTheStartAddressIsNamedWhenSendingStarts) {
    FlowBench b(sim::KeyboardConfig{.Version = "V2.0"});
    const auto data = RandomBytes(0x1400, 10);  // 0x0000..0x13FF: the loader area, then 0x200 bytes
    b.ChooseFile("full.hex", HexText(0x0000, data));
    b.ClickUpload();
    EXPECT_TRUE(b.Showed("Uploading from 0x1200. Keep the keyboard plugged in. "
                         "4,608 bytes below it are not sent."));
    EXPECT_TRUE(b.FlashHolds(0x1200, std::vector<std::uint8_t>(data.begin() + 0x1200, data.end())));
    EXPECT_EQ(b.keyboard.Flash()[0x11FF], 0xFF);
}

TEST(UploadFlow, FailedBlockUnansweredFinishAndFailedModeSwitch) {
    const auto data = RandomBytes(0x800, 7);
    {   // The fifth block fails: four blocks, no finish, closed, failed, no rescan (not even for the
        // device events the upload brought), so the status keeps saying so.
        FlowBench b(sim::KeyboardConfig{.StartInUploadMode = true});
        b.keyboard.Faults().RefuseBlock = 5;
        b.ChooseFile("fw.hex", HexText(0x1200, data));
        b.services.onPump = [&] { b.window->OnDeviceArrivedOrLeft(); };
        b.ClickUpload();
        EXPECT_EQ(b.keyboard.BlocksTaken(), 4);
        EXPECT_EQ(b.Reports(0x20).size(), 5u);
        EXPECT_TRUE(b.Reports(0x30).empty());
        EXPECT_FALSE(b.connection.IsOpen());
        EXPECT_EQ(b.hid.OpenHandles(), 0u);
        EXPECT_EQ(b.Status(), "Firmware uploaded Failed");
        EXPECT_EQ(b.view.progressDone, 4 * 128);
        EXPECT_TRUE(b.services.messages.empty());
        EXPECT_FALSE(b.services.timerMs.has_value());
        EXPECT_FALSE(b.view.busyPointer);
    }
    {   // The finish is not answered: the upload still counts.
        FlowBench b(sim::KeyboardConfig{.StartInUploadMode = true});
        b.keyboard.Faults().IgnoreFinish = true;
        b.ChooseFile("fw.hex", HexText(0x1200, data));
        b.ClickUpload();
        EXPECT_EQ(b.services.MessageTexts(), Texts{kUploaded});
        EXPECT_TRUE(b.FlashHolds(0x1200, data));
        EXPECT_TRUE(b.Tick());
        // The note is appended to whatever the status reads.
        EXPECT_EQ(b.Status(), "Firmware updated.. Note: Device is in Firmware Upload mode.");
    }
    {   // The mode switch fails once: a retry after 8 s and a rescan, then the flow goes on.
        FlowBench b;
        b.hid.Faults().FailSetOfExchange = 2;
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
        EXPECT_EQ(b.services.MessageTexts(), Texts{"Communication failed."});
        EXPECT_EQ(b.services.messages[0].style, MessageStyle::Warning);
        EXPECT_EQ(b.Status(), "Communication failed.");
        EXPECT_EQ(b.keyboard.ModeSwitches(), 0);
        EXPECT_TRUE(b.Reports(0x20).empty());
        EXPECT_FALSE(b.view.busyPointer);
    }
}

TEST(UploadFlow, EveryExitOfTheFlowLeavesAStatusThatSaysWhatHappened) {
    const std::string failed = "Communication failed.";
    const std::string notFound = testsupport::kNotFound;
    struct Case {
        std::string name;
        sim::KeyboardConfig config;
        std::function<void(FlowBench&)> setup;
        std::string status;  // once the flow has ended
        Texts boxes;
    };
    const std::vector<Case> cases{
        {"no file", {}, [](FlowBench& b) { b.view.file.clear(); },
         "Please specifiy the firmware file.", {"Please specifiy the firmware file."}},
        {"missing file", {}, [](FlowBench& b) { b.view.file = "/no/such.hex"; },
         "Nothing was written to the keyboard. File /no/such.hex not found.", {"File /no/such.hex not found."}},
        {"keyboard gone", {}, [](FlowBench& b) { usbio::CloseDevice(b.connection); b.keyboard.Unplug(); },
         "Device not Found", {notFound}},
        {"version unreadable", {},
         [](FlowBench& b) {
             usbio::CloseDevice(b.connection);
             b.hid.Faults().FailGetOfExchange = b.hid.Exchanges() + 1;
         },
         failed, {failed}},
        {"keyboard busy", {}, [](FlowBench& b) { b.hid.Faults().KeyboardHeldBy = 7; },
         window::text::KeyboardBusyStatus,
         {"The keyboard is being updated by another program (PID 7); nothing was written."}},
        {"file refused", {}, [](FlowBench& b) { b.ChooseFile("notes.txt", "hello"); },
         "Nothing was written to the keyboard. The file notes.txt is not a firmware file: choose a .hex, .bin "
         "or .dat file.",
         {"The file notes.txt is not a firmware file: choose a .hex, .bin or .dat file."}},
        {"switch refused twice", {}, [](FlowBench& b) { b.hid.Faults().FailSetsFrom = 2; }, failed, {failed}},
        {"cancelled at the prompt", {.ReturnPolicy = sim::KeyboardConfig::Return::Never},
         [](FlowBench& b) {
             b.services.onMessage = [](const RecordedMessage& m) {
                 return m.text == kRetry ? MessageAnswer::Cancel : MessageAnswer::OK;
             };
         },
         "Upload cancelled; nothing was written.", {kInstructions, notFound, notFound, notFound, kRetry}},
        {"failed while sending", {.StartInUploadMode = true},
         [](FlowBench& b) { b.keyboard.Faults().RefuseBlock = 2; }, "Firmware uploaded Failed", {}},
        {"sent", {.StartInUploadMode = true}, [](FlowBench&) {}, kReplugStatus, {kUploaded}},
    };
    for (const Case& c : cases) {
        FlowBench b(c.config);
        b.ChooseFile("fw.hex", HexText(0x1200, RandomBytes(0x200, 13)));
        c.setup(b);
        b.ClickUpload();
        b.Tick();  // the rescan an upload asks for
        EXPECT_EQ(b.Status(), c.status == kReplugStatus ? "Firmware updated." : c.status) << c.name;
        EXPECT_EQ(b.services.MessageTexts(), c.boxes) << c.name;
        // A refusal's box stands beside the status that tells of it, not beside what an earlier
        // step showed ("Extracting... ", an earlier outcome).
        if (c.boxes.size() == 1 && c.boxes[0] != notFound) {
            EXPECT_EQ(b.services.messages[0].statusShown, c.status) << c.name;
        }
        EXPECT_FALSE(b.view.busyPointer) << c.name;
        // The buttons come back once, when all is done, not between the steps.
        for (Button button : {Button::Refresh, Button::Exit, Button::SelectFile})
            EXPECT_EQ(b.view.turnedOn[b.view.Index(button)], 2) << c.name;  // after the first scan, then
        EXPECT_TRUE(b.view.Enabled(Button::Refresh)) << c.name;
    }
}

TEST(UploadFlow, KeyboardThatNeverReturnsLeadsToThePromptAndCancelEndsTheFlow) {
    FlowBench b(sim::KeyboardConfig{.ReturnPolicy = sim::KeyboardConfig::Return::Never});
    b.ChooseFile("fw.hex", HexText(0x1200, RandomBytes(0x100, 8)));
    int prompts = 0;
    b.services.onMessage = [&](const RecordedMessage& m) {
        if (m.text != kRetry) return MessageAnswer::OK;
        return ++prompts < 2 ? MessageAnswer::OK : MessageAnswer::Cancel;
    };
    b.ClickUpload();
    EXPECT_EQ(prompts, 2);
    // Each pass: three rescans, each with its not-found message, then the prompt.
    Texts expected{kInstructions};
    for (int pass = 0; pass < 2; ++pass)
        expected.insert(expected.end(), {testsupport::kNotFound, testsupport::kNotFound, testsupport::kNotFound, kRetry});
    EXPECT_EQ(b.services.MessageTexts(), expected);
    // Each pass begins, once its box is shut, by letting the window repaint, then waits a second.
    const auto& events = b.services.events;
    int passes = 0;
    for (std::size_t i = 0; i + 2 < events.size(); ++i) {
        if (events[i] != "box Restart the Keyboard" && events[i] != "box Restart Keyboard") continue;
        ++passes;
        EXPECT_EQ(events[i + 1], "pump") << i;
        EXPECT_EQ(events[i + 2], "sleep 1000") << i;
    }
    EXPECT_EQ(passes, 2);
    const auto& prompt = b.services.messages.back();
    EXPECT_EQ(prompt.style, MessageStyle::WarningOkCancel);
    EXPECT_EQ(prompt.title, "Restart Keyboard");
    EXPECT_TRUE(b.Reports(0x20).empty());
    EXPECT_TRUE(b.Reports(0x10).empty());
    EXPECT_FALSE(b.view.busyPointer);
    EXPECT_TRUE(b.view.Enabled(Button::Refresh));
    EXPECT_FALSE(b.view.Enabled(Button::Upload));
    EXPECT_EQ(b.view.focused, Button::Refresh);  // Upload Firmware is off now
}

TEST(UploadFlow, FilesThatCannotBeSentAreRefusedBeforeTheKeyboardIsTouched) {
    struct Case {
        std::string name, contents;
        MessageStyle style;
        std::string title;
    };
    const std::vector<Case> cases{
        {"bad.hex", ":10120000FFFF\r\n:00000001FF\r\n", MessageStyle::Plain, "4"},
        {"cut.hex", HexText(0x1200, RandomBytes(64, 9)).substr(0, 4 * 45), MessageStyle::Plain, "5"},
        {"notes.txt", "hello", MessageStyle::Warning, "Kestrune Loader"},
        {"short.bin", "tiny", MessageStyle::Warning, "Kestrune Loader"}};
    for (const Case& c : cases) {
        FlowBench b;
        b.ChooseFile(c.name, c.contents);
        b.ClickUpload();
        ASSERT_EQ(b.services.messages.size(), 1u) << c.name;
        EXPECT_EQ(b.services.messages[0].style, c.style) << c.name;
        EXPECT_EQ(b.services.messages[0].title, c.title) << c.name;
        // The status names the problem, not an upload failure: nothing was sent.
        std::string problem = b.services.messages[0].text;
        if (problem.back() != '.') problem += '.';
        EXPECT_EQ(b.Status(), "Nothing was written to the keyboard. " + problem) << c.name;
        EXPECT_EQ(b.keyboard.ReportsTaken().size(), 1u) << c.name;  // the scan's version read only
        EXPECT_EQ(b.keyboard.ModeSwitches(), 0) << c.name;
        EXPECT_TRUE(b.connection.IsOpen()) << c.name;
    }
    // A start address that is not one to four hex digits, on the direct path.
    FlowBench b(sim::KeyboardConfig{.StartInUploadMode = true});
    b.ChooseFile("fw.hex", HexText(0x1200, RandomBytes(64, 9)));
    b.UseStartAddress("12G0");
    b.ClickUpload();
    ASSERT_EQ(b.services.messages.size(), 1u);
    EXPECT_NE(b.services.messages[0].text.find("12G0"), std::string::npos);
    EXPECT_EQ(b.Status(), "Nothing was written to the keyboard. " + b.services.messages[0].text);
    EXPECT_EQ(b.keyboard.ReportsTaken().size(), 1u);
}

TEST(UploadFlow, FileChecksComeFirstWithTheirExactMessagesAndNamesStayUtf8) {
    FlowBench b;
    b.ClickUpload();
    b.view.file = b.folder.Path().string();
    b.ClickUpload();
    b.view.file = "/no/such/Größe/zoë.hex";
    b.ClickUpload();
    EXPECT_EQ(b.services.MessageTexts(),
              (Texts{"Please specifiy the firmware file.", "File " + b.folder.Path().string() + " not found.",
                     "File /no/such/Größe/zoë.hex not found."}));
    for (const auto& m : b.services.messages) EXPECT_EQ(m.style, MessageStyle::Warning);
    EXPECT_EQ(b.keyboard.ReportsTaken().size(), 1u);
    // A file whose name holds letters outside ASCII is read and sent.
    FlowBench u(sim::KeyboardConfig{.StartInUploadMode = true});
    const auto data = RandomBytes(0x100, 11);
    u.ChooseFile("zoë-Größe.hex", HexText(0x1200, data));
    u.ClickUpload();
    EXPECT_TRUE(u.FlashHolds(0x1200, data));
}

TEST(UploadFlow, ClicksTicksAndCloseDuringAnUploadWaitForItsEnd) {
    FlowBench b;
    const auto data = RandomBytes(0x400, 10);
    b.ChooseFile("fw.hex", HexText(0x1200, data));
    b.ReplugWhenAsked();
    auto& w = *b.window;
    bool buttonsOff = true;
    bool closeRefused = false;
    std::size_t closedAt = 0;
    b.services.onPump = [&] {
        for (bool on : b.view.enabled) buttonsOff &= !on;
        for (Button button : {Button::Refresh, Button::Upload, Button::Exit, Button::SelectFile})
            w.OnButton(button);
        w.OnTimer();
        if (b.keyboard.BlocksTaken() == 3 && !closeRefused) {
            closeRefused = !w.OnCloseRequested();
            EXPECT_EQ(b.Status(), window::text::ClosesWhenDone);
            closedAt = b.view.statuses.size();
        }
    };
    b.ClickUpload();
    b.services.onPump = nullptr;
    // From the request on, the status says the window is closing, and from the finish on it no
    // longer says to keep the keyboard plugged in (the box asks for a replug).
    ASSERT_GT(closedAt, 0u);
    const Texts after(b.view.statuses.begin() + static_cast<std::ptrdiff_t>(closedAt) - 1, b.view.statuses.end());
    EXPECT_EQ(after.front(), window::text::ClosesWhenDone);
    EXPECT_EQ(after.back(), "Closing when the update has ended.");
    for (const auto& status : after) EXPECT_TRUE(status.starts_with("Closing when the update has ended.")) << status;
    EXPECT_EQ(b.services.messages.back().text, kUploaded);
    EXPECT_EQ(b.services.messages.back().statusShown, "Closing when the update has ended.");
    EXPECT_TRUE(buttonsOff);
    EXPECT_TRUE(closeRefused);
    EXPECT_EQ(b.keyboard.ModeSwitches(), 1);
    EXPECT_EQ(b.Reports(0x10).size(), 1u);
    EXPECT_EQ(b.Reports(0x30).size(), 1u);
    EXPECT_TRUE(b.FlashHolds(0x1200, data));
    EXPECT_TRUE(b.services.dialogs.empty());
    // The window closes once the upload has ended with the rescan that tells whether it took, and
    // not before; no button comes on again on the way.
    const auto turnedOn = std::vector<int>(std::begin(b.view.turnedOn), std::end(b.view.turnedOn));
    EXPECT_EQ(b.view.closes, 0);
    ASSERT_TRUE(b.Tick());
    EXPECT_EQ(w.StatusText(), "Firmware updated.");
    EXPECT_EQ(b.view.closes, 1);
    EXPECT_EQ(std::vector<int>(std::begin(b.view.turnedOn), std::end(b.view.turnedOn)), turnedOn);
}

TEST(UploadFlow, ANewFileTakesTheLastOutcomeOffTheStatus) {
    for (const bool byDialog : {false, true}) {
        FlowBench b(sim::KeyboardConfig{.StartInUploadMode = true});
        b.ChooseFile("fw.hex", HexText(0x1200, RandomBytes(0x200, 15)));
        b.ClickUpload();
        b.Tick();
        ASSERT_EQ(b.Status(), "Firmware updated.");
        const std::string next = b.folder.Write("next.hex", "x").string();
        b.services.dialogAnswer = next;
        byDialog ? b.Click(Button::SelectFile) : b.window->OnFileDropped(next);
        EXPECT_EQ(b.Status(), "Device Found") << byDialog;
    }
}

TEST(UploadFlow, ExtractingIsShownAtMostEvery50Milliseconds) {
    // The reader reports each HEX line; on virtual time they all come at once.
    FlowBench b(sim::KeyboardConfig{.StartInUploadMode = true});
    b.ChooseFile("fw.hex", HexText(0x1200, RandomBytes(0x2000, 12)));
    b.ClickUpload();
    const auto extracting = std::count_if(b.view.statuses.begin(), b.view.statuses.end(),
                                          [](const std::string& s) { return s.starts_with("Extracting"); });
    EXPECT_EQ(extracting, 1);
}

TEST(FileSelection, DialogFolderFiltersDropAndRemembering) {
    WindowBench b;
    auto& w = b.Open();
    b.services.dialogAnswer = std::nullopt;
    b.view.file = "/stale/path.hex";
    b.Click(Button::SelectFile);
    ASSERT_EQ(b.services.dialogs.size(), 1u);
    const auto& first = b.services.dialogs[0];
    EXPECT_EQ(first.title, "Select Firmware File");
    // No firmware beside the program: the dialog opens in the user's downloads.
    EXPECT_EQ(first.folder, b.services.downloadsFolder);
    EXPECT_EQ(first.fileName, "");
    EXPECT_EQ(first.filters, (std::vector<window::FileFilter>{{"Firmware files", {"*.hex", "*.bin", "*.dat"}},
                                                             {"All files", {"*"}}}));
    // Cancel: nothing changes.
    EXPECT_EQ(b.view.file, "/stale/path.hex");
    EXPECT_TRUE(b.services.settings.empty());

    b.folder.Write("shipped.HEX", "x");  // firmware beside the program: the dialog starts there
    b.Click(Button::SelectFile);
    EXPECT_EQ(b.services.dialogs[1].folder, b.services.programFolder);

    const std::string existing = b.folder.Write("a.hex", "x").string();
    b.view.file = existing;
    b.services.dialogAnswer = "/chosen/new.bin";
    b.Click(Button::SelectFile);
    EXPECT_EQ(b.services.dialogs[2].fileName, existing);
    EXPECT_EQ(b.services.dialogs[2].folder, b.folder.Path().string());
    EXPECT_EQ(b.view.file, "/chosen/new.bin");
    EXPECT_EQ(b.services.settings["Kestrune Loader/Firmware/File"], "/chosen/new.bin");

    // A dropped file is taken as if chosen; a dropped folder or missing file is not.
    w.OnFileDropped(b.folder.Path().string());
    w.OnFileDropped("/no/such/file.bin");
    EXPECT_EQ(b.view.file, "/chosen/new.bin");
    const std::string dropped = b.folder.Write("dropped.bin", "x").string();
    w.OnFileDropped(dropped);
    EXPECT_EQ(b.view.file, dropped);
    EXPECT_EQ(b.services.settings["Kestrune Loader/Firmware/File"], dropped);

    // The next start shows it again.
    WindowBench next;
    next.services.settings = b.services.settings;
    next.Open();
    EXPECT_EQ(next.view.file, dropped);
}

TEST(FileSelection, OnlyTheDemoOffersItsSampleFirstAndOnlyWhileNoFileIsChosen) {
    for (const bool demo : {true, false}) {
        WindowBench b({}, {.demo = demo});
        std::filesystem::create_directories(b.folder.Path() / "demo");
        const std::string sample = (b.folder.Path() / "demo" / "kestrune-sample.hex").string();
        std::ofstream(sample) << "x";
        b.Open();
        b.services.dialogAnswer = std::nullopt;
        b.Click(Button::SelectFile);
        EXPECT_EQ(b.services.dialogs.back().fileName, demo ? sample : "") << demo;
        EXPECT_EQ(b.services.dialogs.back().folder, demo ? (b.folder.Path() / "demo").string()
                                                         : b.services.downloadsFolder) << demo;
        b.view.file = b.folder.Write("mine.hex", "x").string();
        b.Click(Button::SelectFile);
        EXPECT_EQ(b.services.dialogs.back().fileName, b.view.file) << demo;
    }
}

TEST(UploadFlow, DemoKeyboardCompletesAWholeUploadWithoutHardware) {
    WindowBench b(sim::DemoKeyboardConfig(), window::WindowOptions{.demo = true});
    b.hid.Decoys() = sim::DemoDecoys();
    b.Open();
    b.Tick();
    const auto data = RandomBytes(0x1000, 12);
    b.view.file = b.folder.Write("demo.hex", HexText(0x1200, data)).string();
    b.Click(Button::Upload);  // the instructions are answered OK
    // Its boxes say it is a demo, and that nothing needs to be unplugged.
    ASSERT_EQ(b.services.messages.size(), 2u);
    EXPECT_EQ(b.services.messages[0].text, window::text::DemoReplugInstructions);
    EXPECT_EQ(b.services.messages[1].text, window::text::DemoUploaded);
    for (const auto& m : b.services.messages) {
        EXPECT_TRUE(m.title.ends_with(" (demo: simulated keyboard)")) << m.title;
        EXPECT_EQ(m.text.find("Plug out"), std::string::npos);
        EXPECT_EQ(m.text.find("plug out"), std::string::npos);
        EXPECT_NE(m.text.find("Nothing needs to be unplugged"), std::string::npos);
    }
    EXPECT_EQ(b.services.messages[1].statusShown, "Firmware uploaded OK. The simulated keyboard restarts by itself.");
    EXPECT_TRUE(std::equal(data.begin(), data.end(), b.keyboard.Flash().begin() + 0x1200));
    ASSERT_TRUE(b.Tick());
    EXPECT_EQ(b.Status(), "Firmware updated.");
    EXPECT_EQ(b.Row(), (Row{"11867", "17", "V1.2", "Normal"}));
}

TEST(UploadFlow, AKeyboardAnotherProgramWritesToIsLeftAlone) {
    for (const bool uploadMode : {false, true}) {
        FlowBench b(sim::KeyboardConfig{.StartInUploadMode = uploadMode});
        b.hid.Faults().KeyboardHeldBy = 4242;
        b.ChooseFile("fw.hex", HexText(0x1200, RandomBytes(0x200, 11)));
        b.ClickUpload();
        EXPECT_EQ(b.services.MessageTexts(),
                  Texts{"The keyboard is being updated by another program (PID 4242); nothing was written."});
        EXPECT_EQ(b.Status(), window::text::KeyboardBusyStatus);
        EXPECT_TRUE(b.Reports(0xD0).empty());
        EXPECT_TRUE(b.Reports(0x10).empty());
        EXPECT_TRUE(b.Reports(0x20).empty());
        EXPECT_EQ(b.keyboard.ModeSwitches(), 0);
    }
}

TEST(UploadFlow, TheSelectedRowIsTheKeyboardUpdatedAndNoOtherIsWrittenTo) {
    const auto data = RandomBytes(0x400, 31);
    FlowBench b({}, {{.PortPath = "1-5", .Serial = "KS0002"}});
    sim::SimKeyboard& second = *b.others[0];
    ASSERT_EQ(b.view.rows.size(), 2u);
    EXPECT_EQ(b.view.selected, 0u);
    b.window->OnRowSelected(1);
    EXPECT_EQ(b.view.selected, 1u);
    EXPECT_EQ(b.Status(), "Device Found");
    const auto firstFlash = b.keyboard.Flash();
    const auto firstReports = b.keyboard.ReportsTaken().size();
    b.ChooseFile("fw.hex", HexText(0x1200, data));
    b.services.onMessage = [&](const RecordedMessage& m) {
        if (m.title == "Restart the Keyboard") {
            b.window->OnRowSelected(0);  // too late: the update is under way
            second.Replug();
        }
        return MessageAnswer::OK;
    };
    b.ClickUpload();
    EXPECT_EQ(b.view.selected, 1u);
    EXPECT_EQ(b.services.MessageTexts(), (Texts{kInstructions, kUploaded}));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), second.Flash().begin() + 0x1200));
    EXPECT_EQ(second.ModeSwitches(), 1);
    EXPECT_EQ(b.keyboard.Flash(), firstFlash);
    EXPECT_EQ(b.keyboard.ReportsTaken().size(), firstReports);
    EXPECT_EQ(b.keyboard.ModeSwitches(), 0);
    // The rescan after the upload shows the outcome of the keyboard updated, still selected.
    ASSERT_TRUE(b.Tick());
    EXPECT_EQ(b.Status(), "Firmware updated.");
    EXPECT_EQ(b.view.selected, 1u);
    EXPECT_EQ(b.Row(), (Row{"11867", "17", "V2.0", "Normal"}));
}

TEST(UploadFlow, AKeyboardPluggedInDuringTheReplugWaitIsNeverOpened) {
    // The newcomer comes first on the bus and in firmware-upload mode: a search for the first
    // keyboard found would upload to it.
    FlowBench b({.StartInUploadMode = true, .StartOnBus = false}, {{.PortPath = "1-5", .Serial = "KS0002"}});
    sim::SimKeyboard& target = *b.others[0];
    ASSERT_EQ(b.view.rows.size(), 1u);  // one keyboard attached: the window as always
    EXPECT_EQ(b.view.selected, std::nullopt);
    const auto data = RandomBytes(0x400, 32);
    b.ChooseFile("fw.hex", HexText(0x1200, data));
    const auto newcomerFlash = b.keyboard.Flash();
    b.services.onMessage = [&](const RecordedMessage& m) {
        if (m.title == "Restart the Keyboard") {
            b.keyboard.Plug();
            target.Replug();
        }
        return MessageAnswer::OK;
    };
    b.ClickUpload();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), target.Flash().begin() + 0x1200));
    EXPECT_TRUE(b.keyboard.ReportsTaken().empty());
    EXPECT_EQ(b.keyboard.Flash(), newcomerFlash);
    for (const auto& opened : b.hid.OpenLog()) EXPECT_NE(opened.rfind("sim:keyboard/", 0), 0u) << opened;
    // Afterwards both are listed; the one updated stays the selected row and tells its outcome.
    ASSERT_TRUE(b.Tick());
    EXPECT_EQ(b.Status(), "Firmware updated.");
    ASSERT_EQ(b.view.rows.size(), 2u);
    EXPECT_EQ(b.view.selected, 1u);
    EXPECT_EQ(b.view.rows[1].port, "1-5");
}

// Told to replug, a user may plug the keyboard into another port; after the upload, too.
TEST(UploadFlow, ALoneKeyboardPluggedBackIntoAnotherPortIsFoundAgain) {
    struct Case {
        std::string name, replugPort, afterUploadPort;  // empty: where it was
    };
    const std::vector<Case> cases{{"replug wait", "1-9", ""}, {"after the upload", "", "1-7"}, {"both", "1-9", "1-7"}};
    for (const Case& c : cases) {
        FlowBench b;
        const auto data = RandomBytes(0x400, 33);
        b.ChooseFile("fw.hex", HexText(0x1200, data));
        auto plugInto = [&](const std::string& port) {
            b.keyboard.Unplug();
            if (!port.empty()) b.keyboard.Config().PortPath = port;
            b.keyboard.Plug();
        };
        b.services.onMessage = [&](const RecordedMessage& m) {
            if (m.title == "Restart the Keyboard") plugInto(c.replugPort);
            if (m.text == kUploaded) plugInto(c.afterUploadPort);
            return m.text == kRetry ? MessageAnswer::Cancel : MessageAnswer::OK;
        };
        b.ClickUpload();
        EXPECT_EQ(b.services.MessageTexts(), (Texts{kInstructions, kUploaded})) << c.name;
        EXPECT_TRUE(b.FlashHolds(0x1200, data)) << c.name;
        EXPECT_TRUE(b.Tick()) << c.name;
        EXPECT_EQ(b.Status(), "Firmware updated.") << c.name;
        EXPECT_EQ(b.Row(), (Row{"11867", "17", "V2.0", "Normal"})) << c.name;
        ASSERT_EQ(b.view.rows.size(), 1u) << c.name;
        // Its row moved with it.
        EXPECT_EQ(b.view.rows[0].port, c.afterUploadPort.empty() ? c.replugPort : c.afterUploadPort) << c.name;
        EXPECT_EQ(b.window->ChosenKeyboard(), std::nullopt) << c.name;  // alone again: nothing chosen
    }
}

TEST(UploadFlow, TheKeyboardInUploadModeIsHeldFromTheScanThatFindsIt) {
    FlowBench b;
    b.ChooseFile("fw.hex", HexText(0x1200, RandomBytes(0x400, 34)));
    b.ReplugWhenAsked();
    // Every wait while the keyboard is open in firmware-upload mode: is it ours for writing?
    std::vector<bool> held;
    b.services.onTime = [&] {
        if (b.connection.IsOpen() && b.connection.MatchedPID == usbio::UploadModePID)
            held.push_back(b.hid.HoldsWriteLock(b.connection.DeviceHandle));
    };
    b.ClickUpload();
    b.services.onTime = nullptr;
    ASSERT_FALSE(held.empty());
    EXPECT_EQ(std::count(held.begin(), held.end(), false), 0);
    EXPECT_EQ(b.Reports(0x20).size(), 9u);

    // Another program that holds it meanwhile: nothing is sent to it.
    FlowBench busy;
    busy.ChooseFile("fw.hex", HexText(0x1200, RandomBytes(0x400, 34)));
    busy.services.onMessage = [&](const RecordedMessage& m) {
        if (m.title == "Restart the Keyboard") {
            busy.keyboard.Replug();
            busy.hid.Faults().KeyboardHeldBy = 4242;
        }
        return MessageAnswer::OK;
    };
    busy.ClickUpload();
    EXPECT_EQ(busy.services.MessageTexts().back(),
              "The keyboard is being updated by another program (PID 4242); nothing was written.");
    EXPECT_EQ(busy.Status(), window::text::KeyboardBusyStatus);
    EXPECT_EQ(busy.services.messages.back().statusShown, window::text::KeyboardBusyStatus);
    EXPECT_TRUE(busy.Reports(0x10).empty());
    EXPECT_FALSE(busy.connection.IsOpen());
}

namespace {

// Two keyboards; the second chosen and updated. At the box after the upload, afterUpload runs.
struct TwoKeyboards : FlowBench {
    TwoKeyboards(sim::KeyboardConfig second = {.PortPath = "1-5", .Serial = "KS0002"}) : FlowBench({}, {second}) {
        window->OnRowSelected(1);
        ChooseFile("fw.hex", HexText(0x1200, RandomBytes(0x400, 35)));
    }
    sim::SimKeyboard& Second() { return *others[0]; }
    void Upload(std::function<void()> afterUpload = {}) {
        services.onMessage = [this, afterUpload](const RecordedMessage& m) {
            if (m.title == "Restart the Keyboard") Second().Replug();
            if (m.text == kUploaded && afterUpload) afterUpload();
            return MessageAnswer::OK;
        };
        ClickUpload();
    }
};

}  // namespace

TEST(UploadFlow, TheRescansAfterAnUploadWaitForTheKeyboardUpdatedOnly) {
    TwoKeyboards b;
    b.Upload([&] { b.Second().Unplug(); });  // not plugged in again yet
    const auto firstReports = b.keyboard.ReportsTaken().size();
    ASSERT_TRUE(b.Tick());
    // The other keyboard is there all along: it is neither opened nor told "Firmware updated.".
    EXPECT_EQ(b.Status(), window::text::DeviceNotFoundStatus);
    EXPECT_EQ(b.keyboard.ReportsTaken().size(), firstReports);
    b.Second().Plug();
    b.window->OnDeviceArrivedOrLeft();
    ASSERT_TRUE(b.Tick());
    EXPECT_EQ(b.Status(), "Firmware updated.");
    EXPECT_EQ(b.view.selected, 1u);
    EXPECT_EQ(b.Row(), (Row{"11867", "17", "V2.0", "Normal"}));
}

TEST(UploadFlow, AnotherRowChosenAfterAnUploadIsNotToldItsOutcome) {
    TwoKeyboards b;
    b.Upload();
    EXPECT_EQ(b.window->PendingStatusText(), "Firmware updated.");
    b.window->OnRowSelected(0);
    EXPECT_EQ(b.view.selected, 0u);
    EXPECT_EQ(b.Status(), "Device Found");
    EXPECT_EQ(b.Row(), (Row{"11867", "17", "V1.0", "Normal"}));
}

TEST(UploadFlow, TheOtherKeyboardsStayListedWhileTheChosenOneIsAway) {
    TwoKeyboards b({.ReturnPolicy = sim::KeyboardConfig::Return::Never, .PortPath = "1-5", .Serial = "KS0002"});
    std::vector<std::size_t> rowsAtPrompt;
    b.services.onMessage = [&](const RecordedMessage& m) {
        if (m.text != kRetry) return MessageAnswer::OK;
        rowsAtPrompt.push_back(b.view.rows.size());
        EXPECT_EQ(b.view.selected, 1u);
        return MessageAnswer::Cancel;
    };
    b.ClickUpload();
    EXPECT_EQ(rowsAtPrompt, std::vector<std::size_t>{2});
    EXPECT_EQ(b.Status(), window::text::UploadCancelled);
    EXPECT_TRUE(b.keyboard.ReportsTaken().size() <= 2u);  // the first keyboard: version reads only
    EXPECT_EQ(b.keyboard.ModeSwitches(), 0);
}

TEST(UploadFlow, ACloseDuringAnyWaitOfAnUploadWaitsForItsEndAndSaysSo) {
    // The waits of an upload with the replug: the switch, the rescans, and those after the success box.
    for (std::size_t wait = 0;; ++wait) {
        FlowBench b;
        b.ChooseFile("fw.hex", HexText(0x1200, RandomBytes(0x200, 14)));
        b.ReplugWhenAsked();
        bool asked = false;
        b.services.onTime = [&] {
            if (asked || b.services.sleeps.size() != wait + 1) return;
            asked = true;
            EXPECT_FALSE(b.window->OnCloseRequested()) << wait;
            EXPECT_TRUE(b.Status().starts_with(window::text::Closing)) << wait << ": " << b.Status();
        };
        b.ClickUpload();
        if (!asked) break;  // past the last wait
        b.Tick();  // the rescan that tells whether the update took runs before the window closes
        EXPECT_EQ(b.window->StatusText(), "Firmware updated.") << wait;
        EXPECT_EQ(b.view.closes, 1) << wait;
        EXPECT_TRUE(b.Status().starts_with(window::text::Closing)) << wait;
        EXPECT_TRUE(b.FlashHolds(0x1200, RandomBytes(0x200, 14))) << wait;
    }
}
