#include "upload/UploadSequence.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "support/RecordingUploadView.h"
#include "support/FirmwareFiles.h"
#include "support/SimBench.h"

using testsupport::RecordingUploadView;
using testsupport::HexText;
using testsupport::RandomBytes;
using testsupport::SimBench;
using Result = upload::UploadOutcome::Result;

namespace {

const std::string Failed = "status:Firmware uploaded Failed";

// A keyboard open in firmware-upload mode, a recording view and the upload's outcome.
struct UploadBench : SimBench {
    UploadBench() : SimBench(sim::KeyboardConfig{.StartInUploadMode = true}) { Find(); }

    upload::UploadOutcome Upload(const std::string& name, const std::string& contents,
                                 const std::string& start = "1200", bool newFirmware = false) {
        const std::string path = contents.empty() ? (folder.Path() / name).string()
                                                  : folder.Write(name, contents).string();
        return upload::UploadFirmware(connection, image, view, path, start, newFirmware);
    }
    // Reports taken with the given command byte.
    std::vector<std::vector<std::uint8_t>> Reports(std::uint8_t command) const {
        std::vector<std::vector<std::uint8_t>> out;
        for (const auto& r : keyboard.ReportsTaken())
            if (r[1] == command) out.push_back(r);
        return out;
    }
    // Refused before anything reached the keyboard, told in one box, device closed.
    void ExpectRefused(const upload::UploadOutcome& outcome, const std::string& context) {
        EXPECT_EQ(outcome.result, Result::Refused) << context;
        EXPECT_TRUE(keyboard.ReportsTaken().empty()) << context;
        EXPECT_FALSE(connection.IsOpen()) << context;
        EXPECT_EQ(hid.OpenHandles(), 0u) << context;
        ASSERT_EQ(view.Of("box").size(), 1u) << context;
        EXPECT_EQ(view.Of("box").at(0).text, outcome.message) << context;
        EXPECT_TRUE(view.Of("progress").empty()) << context;
        const auto story = view.Story();
        ASSERT_FALSE(story.empty());
        EXPECT_EQ(story.back(), view.Of("busy").empty() ? Failed : "busy:off") << context;
    }

    upload::FirmwareImage image;
    RecordingUploadView view;
};

const std::vector<std::string> SuccessStory{
    "status:Please wait...", "sleep:3000", "rescan", "status:Firmware uploaded OK. Rescanning device...",
    "sleep:1000", "pending:Firmware updated.", "busy:off"};

}  // namespace

TEST(UploadSequence, HexFileGoesOutInBlocksUpToTheEndAddress) {
    const auto data = RandomBytes(0x800, 1);  // 0x1200..0x19FF
    UploadBench b;
    const auto outcome = b.Upload("fw.hex", HexText(0x1200, data));
    ASSERT_EQ(outcome.result, Result::Success);
    EXPECT_EQ(outcome.startAddress, 0x1200);
    EXPECT_EQ(outcome.endAddress, 0x1A00);
    EXPECT_EQ(outcome.blocksSent, 17);
    EXPECT_FALSE(b.connection.IsOpen());

    // Address, 17 blocks (the last one wholly past the data), finish.
    const auto& reports = b.keyboard.ReportsTaken();
    ASSERT_EQ(reports.size(), 19u);
    EXPECT_EQ(reports[0][1], 0x10);
    const auto blocks = b.Reports(0x20);
    ASSERT_EQ(blocks.size(), 17u);
    for (const auto& r : blocks) {
        EXPECT_EQ(r[2], 0x80);
        EXPECT_EQ(r[131], 0);
    }
    const auto& finish = reports.back();
    EXPECT_EQ(finish[1], 0x30);
    EXPECT_EQ(finish[2], 0x01);
    EXPECT_TRUE(std::equal(finish.begin() + 3, finish.end(), blocks.back().begin() + 3));

    const auto& flash = b.keyboard.Flash();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + 0x1200));
    EXPECT_TRUE(std::all_of(flash.begin() + 0x1A00, flash.begin() + 0x1A80, [](auto v) { return v == 0; }));
    EXPECT_EQ(flash[0x11FF], 0xFF);
    EXPECT_EQ(flash[0x1A80], 0xFF);

    // Progress: zero of the whole, then the bytes taken after each block, ending at the whole.
    const auto progress = b.view.Of("progress");
    ASSERT_EQ(progress.size(), 1u + 17u);
    for (std::size_t i = 0; i < progress.size(); ++i) {
        EXPECT_EQ(progress[i].value, static_cast<std::int64_t>(128 * i)) << i;
        EXPECT_EQ(progress[i].text, std::to_string(17 * 128)) << i;
    }

    // One more byte at 0x1A00: the last block is still 0x1A00, now carrying that byte.
    auto longer = data;
    longer.push_back(0x5A);
    UploadBench c;
    ASSERT_EQ(c.Upload("fw.hex", HexText(0x1200, longer)).endAddress, 0x1A01);
    const auto lastBlocks = c.Reports(0x20);
    ASSERT_EQ(lastBlocks.size(), 17u);
    EXPECT_EQ(lastBlocks.back()[3], 0x5A);
    const auto& lastFinish = c.keyboard.ReportsTaken().back();
    ASSERT_EQ(lastFinish[1], 0x30);
    EXPECT_TRUE(std::equal(lastFinish.begin() + 3, lastFinish.end(), lastBlocks.back().begin() + 3));
    EXPECT_EQ(c.keyboard.Flash()[0x1A00], 0x5A);
}

TEST(UploadSequence, SuccessTellsTheUserAndAsksForARescan) {
    for (bool newFirmware : {false, true}) {
        UploadBench b;
        b.keyboard.Faults().IgnoreFinish = true;  // restarts without answering
        const auto outcome = b.Upload("fw.hex", HexText(0x1200, RandomBytes(300, 2)), "1200", newFirmware);
        EXPECT_EQ(outcome.result, Result::Success);
        EXPECT_EQ(b.Reports(0x30).size(), 1u);
        EXPECT_FALSE(b.connection.IsOpen());
        auto expected = SuccessStory;
        if (!newFirmware) expected.insert(expected.begin(), "box information ");
        expected.insert(expected.begin(), "busy:on");
        EXPECT_EQ(b.view.Story(), expected);
        if (!newFirmware) {
            EXPECT_EQ(b.view.Of("box").at(0).text,
                      "The selected firmware file is successfully uploaded to keyboard.\r\n\r\n"
                      "Please plug out the USB cable and plug in again to restart the keyboard.");
        }
    }
}

// A keyboard that took the finish stays held for writing while it restarts, so that no other
// program takes it in firmware-upload mode meanwhile; then it is closed.
TEST(UploadSequence, TheKeyboardStaysHeldWhileItRestarts) {
    UploadBench b;
    std::vector<bool> heldAtSleep;
    b.view.onSleep = [&](int) { heldAtSleep.push_back(b.connection.IsOpen() && b.connection.WriteLocked); };
    EXPECT_EQ(b.Upload("fw.hex", HexText(0x1200, RandomBytes(300, 3)), "1200", true).result, Result::Success);
    EXPECT_EQ(heldAtSleep, (std::vector<bool>{true, false}));
    EXPECT_FALSE(b.connection.IsOpen());
    EXPECT_EQ(b.hid.OpenHandles(), 0u);
}

TEST(UploadSequence, FailedCommandsEndTheUploadWithoutFinish) {
    const std::string hex = HexText(0x1200, RandomBytes(0x800, 3));
    const std::vector<std::string> failedStory{"busy:on", Failed, "busy:off"};

    UploadBench refused;  // does not take the fifth block
    refused.keyboard.Faults().RefuseBlock = 5;
    const auto outcome = refused.Upload("fw.hex", hex);
    EXPECT_EQ(outcome.result, Result::CommandFailed);
    EXPECT_EQ(outcome.blocksSent, 4);
    EXPECT_EQ(refused.Reports(0x20).size(), 5u);  // the fifth was tried, no sixth
    EXPECT_TRUE(refused.Reports(0x30).empty());
    EXPECT_FALSE(refused.connection.IsOpen());
    EXPECT_EQ(refused.view.Story(), failedStory);

    UploadBench noAddress;  // the start address exchange fails
    noAddress.hid.Faults().FailSetOfExchange = 1;
    EXPECT_EQ(noAddress.Upload("fw.hex", hex).result, Result::CommandFailed);
    EXPECT_TRUE(noAddress.Reports(0x20).empty());
    EXPECT_TRUE(noAddress.Reports(0x30).empty());
    EXPECT_FALSE(noAddress.connection.IsOpen());
    EXPECT_EQ(noAddress.view.Story(), failedStory);
    EXPECT_EQ(noAddress.view.Of("progress").size(), 1u);  // only the empty bar before the blocks

    SimBench none;  // nothing open at all
    RecordingUploadView view;
    upload::FirmwareImage image;
    const auto path = none.folder.Write("fw.hex", hex).string();
    EXPECT_EQ(upload::UploadFirmware(none.connection, image, view, path, "1200", false).result,
              Result::CommandFailed);
    EXPECT_EQ(view.Story(), failedStory);
    EXPECT_EQ(none.hid.Exchanges(), 0);
}

TEST(UploadSequence, StopBetweenBlocksSendsNoFinish) {
    UploadBench b;
    b.view.stopFromAsk = 4;
    const auto outcome = b.Upload("fw.hex", HexText(0x1200, RandomBytes(0x800, 4)));
    EXPECT_EQ(outcome.result, Result::Stopped);
    EXPECT_EQ(outcome.blocksSent, 3);
    EXPECT_EQ(b.keyboard.BlocksTaken(), 3);
    EXPECT_TRUE(b.Reports(0x30).empty());
    EXPECT_FALSE(b.connection.IsOpen());
    EXPECT_EQ(b.view.Story(), (std::vector<std::string>{"busy:on", Failed, "busy:off"}));
}

TEST(UploadSequence, StartAddressChoosesBothTheImageAddressAndTheAddressReport) {
    const auto data = RandomBytes(0x100, 5);
    UploadBench b;
    ASSERT_EQ(b.Upload("fw.hex", HexText(0x8000, data), "8000").result, Result::Success);
    const auto& address = b.keyboard.ReportsTaken().front();
    EXPECT_EQ(address[3], 0x80);
    EXPECT_EQ(address[4], 0x00);
    const auto blocks = b.Reports(0x20);
    ASSERT_EQ(blocks.size(), 3u);  // 0x8000, 0x8080, 0x8100
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 128, blocks[0].begin() + 3));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), b.keyboard.Flash().begin() + 0x8000));

    // Blanks are ignored, digits of either case taken; anything else is refused unsent.
    for (const char* text : {" 12 00", "abcd", "0", "\t1\n2"}) EXPECT_TRUE(upload::IsValidStartAddressText(text)) << text;
    for (const char* text : {"", "12345", "12G0", "-1", "  "}) {
        UploadBench r;
        const auto refused = r.Upload("fw.hex", HexText(0x1200, data), text);
        r.ExpectRefused(refused, text);
        EXPECT_EQ(r.view.Of("box").at(0).style, upload::MessageStyle::Warning);
        EXPECT_EQ(r.view.Of("box").at(0).title, "");
        EXPECT_TRUE(r.view.Of("busy").empty());
        std::string problem;
        EXPECT_FALSE(upload::IsValidStartAddressText(text, &problem));
        EXPECT_EQ(problem, refused.message);
    }
    std::string problem;
    upload::IsValidStartAddressText("12G0", &problem);
    EXPECT_EQ(problem, "The start address \"12G0\" is not valid: type one to four hexadecimal digits, for example 1200.");
}

TEST(UploadSequence, FilesWithNothingToSendAreRefusedBeforeAnyReport) {
    const std::string badChecksum = ":0312000002337A00\r\n:00000001FF\r\n";
    struct Case {
        const char* name;
        std::string contents;  // empty: no file
        std::string title;     // "" for the sequence's own warnings
        const char* start = "1200";
    };
    const auto big = RandomBytes(100000, 6);  // from 0x22 the last block would end at 100001
    for (const Case& c : {Case{"bad.hex", badChecksum, "4"}, Case{"gone.hex", "", "1"},
                          Case{"notes.txt", "hello", ""}, Case{"short.bin", std::string(16, 'x'), ""},
                          Case{"nodata.hex", HexText(0x100, {1, 2, 3}), ""},
                          Case{"big.bin", std::string(big.begin(), big.end()), "", "22"},
                          // Nothing at or above the start: the last byte just below it.
                          Case{"boot.bin", std::string(0x1200, 'b'), ""},
                          Case{"boot.dat", std::string(0x1200, 'b'), ""},
                          Case{"boot.hex", HexText(0x1100, RandomBytes(0x100, 10)), ""},
                          Case{"empty.hex", ":00000001FF\r\n", "", "0"}}) {
        UploadBench b;
        const auto outcome = b.Upload(c.name, c.contents, c.start);
        b.ExpectRefused(outcome, c.name);
        if (std::string(c.name).starts_with("boot.") || std::string(c.name) == "nodata.hex") {
            EXPECT_EQ(outcome.message, std::string("The file ") + c.name +
                                           " holds no data at or above the start address 0x1200.");
        }
        const auto box = b.view.Of("box").at(0);
        EXPECT_EQ(box.title, c.title) << c.name;
        EXPECT_EQ(box.style, c.title.empty() ? upload::MessageStyle::Warning : upload::MessageStyle::Plain) << c.name;
    }

    // Something other than a FirmwareError while reading is refused the same way.
    UploadBench b;
    b.view.pumpThrows = true;
    b.ExpectRefused(b.Upload("fw.hex", HexText(0x1200, {1})), "throwing view");
    EXPECT_NE(b.view.Of("box").at(0).text.find("event loop gone"), std::string::npos);
}

TEST(UploadSequence, BinAndDatFilesReachTheFlashByteForByte) {
    // A BIN file's bytes before the start address stay behind.
    const auto bin = RandomBytes(0x1200 + 1000, 7);
    UploadBench b;
    const auto outcome = b.Upload("fw.bin", std::string(bin.begin(), bin.end()));
    ASSERT_EQ(outcome.result, Result::Success);
    EXPECT_EQ(outcome.blocksSent, 8);
    EXPECT_TRUE(std::equal(bin.begin() + 0x1200, bin.end(), b.keyboard.Flash().begin() + 0x1200));
    EXPECT_EQ(b.keyboard.Flash()[0x11FF], 0xFF);

    // DAT bytes are unscrambled on the way: the keyboard gets the plain values.
    const auto plain = RandomBytes(0x1200 + 700, 8);
    std::string dat;
    for (auto p : plain) dat.push_back(static_cast<char>(255 - (p ^ upload::DatMask)));
    UploadBench d;
    ASSERT_EQ(d.Upload("FW.DAT", dat).result, Result::Success);
    EXPECT_TRUE(std::equal(plain.begin() + 0x1200, plain.end(), d.keyboard.Flash().begin() + 0x1200));

    // The largest image whose last block ends exactly at address 100000.
    const auto big = RandomBytes(100000, 9);
    UploadBench e;
    const auto full = e.Upload("big.bin", std::string(big.begin(), big.end()), "21");
    ASSERT_EQ(full.result, Result::Success);
    EXPECT_EQ(full.blocksSent, 781);
    EXPECT_TRUE(std::equal(big.begin() + 0x21, big.end(), e.keyboard.Flash().begin() + 0x21));
}

TEST(UploadSequence, DataBelowTheStartAddressIsCountedAndStillNotSent) {
    const auto low = RandomBytes(0x1300, 11);  // 0x0000..0x12FF
    auto records = [](unsigned address, const std::vector<std::uint8_t>& data) {
        const std::string text = HexText(address, data);
        return text.substr(0, text.size() - 13);  // without the end-of-file record
    };
    const std::string extended = ":020000040001F9\r\n" + HexText(0x0000, RandomBytes(0x20, 12));  // at 0x10000
    const std::string overlapping = records(0x1000, RandomBytes(0x20, 13)) + HexText(0x1010, RandomBytes(0x300, 14));
    struct Case {
        const char* name;
        std::string contents;
        const char* start;
        std::int64_t below;
        std::string says;  // the line for the user; empty when nothing is left out
    };
    for (const Case& c : {
             Case{"full.hex", HexText(0, low), "1200", 4608, "Not sent: 4,608 bytes below the start address 0x1200"},
             Case{"gap.hex", records(0x100, RandomBytes(0x100, 15)) + HexText(0x1200, RandomBytes(0x80, 16)), "1200", 256,
                  "Not sent: 256 bytes below the start address 0x1200"},
             Case{"overlap.hex", overlapping, "1200", 0x200, "Not sent: 512 bytes below the start address 0x1200"},
             Case{"above.hex", HexText(0x1200, RandomBytes(0x80, 17)), "1200", 0, ""},
             Case{"ext.hex", records(0x11FF, {7}) + extended, "1200", 1, "Not sent: 1 byte below the start address 0x1200"},
             Case{"fw.bin", testsupport::AsText(low), "1200", 4608, "Not sent: 4,608 bytes below the start address 0x1200"},
             Case{"fw.dat", testsupport::AsText(low), "100", 256, "Not sent: 256 bytes below the start address 0x0100"},
             Case{"zero.bin", testsupport::AsText(low), "0", 0, ""},
         }) {
        UploadBench b;
        const auto path = b.folder.Write(c.name, c.contents).string();
        const auto check = upload::CheckFirmware(path, c.start, b.image);
        ASSERT_TRUE(check.ok) << c.name << ": " << check.message;
        EXPECT_EQ(check.bytesBelowStart, c.below) << c.name;
        EXPECT_EQ(upload::NotSentBelowStartText(check), c.says) << c.name;
        // What is sent stays as it was: the blocks from the start address on.
        const auto outcome = b.Upload(c.name, c.contents, c.start);
        ASSERT_EQ(outcome.result, Result::Success) << c.name;
        EXPECT_EQ(outcome.bytesBelowStart, c.below) << c.name;
        EXPECT_EQ(b.keyboard.WritePointer(),
                  static_cast<std::uint32_t>(check.startAddress + check.blocks * 128)) << c.name;
        EXPECT_EQ(b.keyboard.BlocksTaken(), check.blocks) << c.name;
    }
}

TEST(UploadSequence, AnUploadOfACheckedImageNeedsTheFileNoMore) {
    const auto data = RandomBytes(0x900, 18);
    struct Case {
        const char* name;
        const char* start;
        bool checkOk;
    };
    for (const Case& c : {Case{"fw.hex", "1200", true}, Case{"fw.hex", "8000", false}}) {
        UploadBench viaFile, viaCheck;
        const auto path = viaCheck.folder.Write(c.name, HexText(0x1200, data));
        const auto check = upload::CheckFirmware(path.string(), c.start, viaCheck.image);
        ASSERT_EQ(check.ok, c.checkOk) << c.start;
        std::filesystem::remove(path);  // the file is read once, by the check
        const auto outcome = upload::UploadFirmware(viaCheck.connection, viaCheck.image, check, viaCheck.view, false);
        const auto expected = viaFile.Upload(c.name, HexText(0x1200, data), c.start);
        EXPECT_EQ(outcome.result, expected.result) << c.start;
        EXPECT_EQ(outcome.message, expected.message) << c.start;
        EXPECT_EQ(outcome.blocksSent, expected.blocksSent) << c.start;
        EXPECT_EQ(viaCheck.keyboard.ReportsTaken(), viaFile.keyboard.ReportsTaken()) << c.start;
        EXPECT_EQ(viaCheck.view.Story(), viaFile.view.Story()) << c.start;
        EXPECT_FALSE(viaCheck.connection.IsOpen());
    }
}

// Every way the keyboard can fail an upload, on virtual time: the outcome, the device closed, the
// blocks the keyboard took against the blocks reported, and progress that never runs ahead.
TEST(UploadSequence, FaultMatrix) {
    const std::string hex = HexText(0x1200, RandomBytes(0x400, 19));  // 9 blocks
    struct Case {
        std::string fault;
        Result result;
        int sent;   // blocks reported as taken
        int taken;  // blocks the keyboard wrote
    };
    std::vector<Case> cases{{"none", Result::Success, 9, 9},
                            {"address-set", Result::CommandFailed, 0, 0},
                            {"address-get", Result::CommandFailed, 0, 0},
                            {"ignore-finish", Result::Success, 9, 9},
                            {"reply-bytes:0", Result::CommandFailed, 0, 0},
                            {"reply-bytes:131", Result::CommandFailed, 0, 0}};
    for (int k : {1, 2, 5, 8, 9}) {
        cases.push_back({"refuse-block:" + std::to_string(k), Result::CommandFailed, k - 1, k - 1});
        // The keyboard wrote the block, but its answer never came: reported as not taken.
        cases.push_back({"no-answer-block:" + std::to_string(k), Result::CommandFailed, k - 1, k});
        // Leaving after the last block only loses the finish, which does not count.
        cases.push_back({"leave-after-block:" + std::to_string(k), k == 9 ? Result::Success : Result::CommandFailed, k, k});
    }
    for (const Case& c : cases) {
        UploadBench b;
        const auto colon = c.fault.find(':');
        const std::string name = c.fault.substr(0, colon);
        const int n = colon == std::string::npos ? 0 : std::stoi(c.fault.substr(colon + 1));
        auto& keyboard = b.keyboard.Faults();
        auto& platform = b.hid.Faults();
        if (name == "address-set") platform.FailSetOfExchange = 1;
        if (name == "address-get") platform.FailGetOfExchange = 1;
        if (name == "ignore-finish") keyboard.IgnoreFinish = true;
        if (name == "reply-bytes") platform.ReplyBytes = static_cast<std::size_t>(n);
        if (name == "refuse-block") keyboard.RefuseBlock = n;
        if (name == "no-answer-block") keyboard.NoAnswerToBlock = n;
        if (name == "leave-after-block") keyboard.LeaveBusAfterBlock = n;
        const std::int64_t before = b.clock.NowMs();

        const auto outcome = b.Upload("fw.hex", hex);
        EXPECT_EQ(outcome.result, c.result) << c.fault;
        EXPECT_EQ(outcome.blocksSent, c.sent) << c.fault;
        EXPECT_EQ(b.keyboard.BlocksTaken(), c.taken) << c.fault;
        EXPECT_FALSE(b.connection.IsOpen()) << c.fault;
        EXPECT_EQ(b.hid.OpenHandles(), 0u) << c.fault;
        EXPECT_EQ(b.hid.OpenPreparsed(), 0u) << c.fault;
        EXPECT_TRUE(c.sent == 9 || b.Reports(0x30).empty()) << c.fault;  // a finish only after every block
        const auto progress = b.view.Of("progress");
        if (c.fault != "address-set" && c.fault != "address-get" && name != "reply-bytes") {
            ASSERT_FALSE(progress.empty()) << c.fault;
            EXPECT_EQ(progress.back().value, 128 * c.sent) << c.fault;
            for (const auto& p : progress) EXPECT_EQ(p.text, "1152") << c.fault;
        }
        // Waits go through the view, none on the clock: nothing can hang.
        std::int64_t waited = 0;
        for (const auto& sleep : b.view.Of("sleep")) waited += std::stoll(sleep.text);
        EXPECT_LE(waited, c.result == Result::Success ? 4000 : 0) << c.fault;
        EXPECT_EQ(b.clock.NowMs(), before) << c.fault;
    }
}
