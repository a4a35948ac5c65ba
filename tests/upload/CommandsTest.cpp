#include <gtest/gtest.h>

#include <array>

#include "support/SimBench.h"
#include "upload/Commands.h"

using testsupport::SimBench;

namespace {

struct OpenBench : SimBench {
    explicit OpenBench(sim::KeyboardConfig config = {}) : SimBench(std::move(config)) {
        Find();
    }
    const std::vector<std::uint8_t>& LastReport() { return keyboard.ReportsTaken().back(); }
};

std::array<std::uint8_t, upload::PayloadLength> Block(std::uint8_t seed) {
    std::array<std::uint8_t, upload::PayloadLength> block{};
    for (std::size_t i = 0; i < 128; ++i) block[i] = static_cast<std::uint8_t>(seed + i);
    return block;
}

}  // namespace

TEST(Commands, ReadFirmwareVersionReturnsTheKeyboardsText) {
    OpenBench b(sim::KeyboardConfig{.Version = "V1.1 build 7"});
    ASSERT_TRUE(b.connection.IsOpen());
    std::string text = "old";
    EXPECT_EQ(upload::ReadFirmwareVersion(b.connection, text), 0);
    EXPECT_EQ(text, "V1.1 build 7");
    const auto& report = b.LastReport();
    ASSERT_EQ(report.size(), 132u);
    EXPECT_EQ(report[0], 0);
    EXPECT_EQ(report[1], 0xC0);
    EXPECT_EQ(report[2], 0x00);
}

TEST(Commands, VersionTextEdgeCases) {
    OpenBench empty(sim::KeyboardConfig{.Version = ""});
    std::string text = "keep";
    EXPECT_EQ(upload::ReadFirmwareVersion(empty.connection, text), 0);
    EXPECT_EQ(text, "");

    OpenBench full;
    full.keyboard.Faults().VersionWithoutNul = true;
    EXPECT_EQ(upload::ReadFirmwareVersion(full.connection, text), 0);
    EXPECT_EQ(text.size(), 129u);

    // A longer feature report never lets the text run past byte 131.
    OpenBench longer(sim::KeyboardConfig{.FeatureReportLength = 200});
    longer.keyboard.Faults().VersionWithoutNul = true;
    EXPECT_EQ(upload::ReadFirmwareVersion(longer.connection, text), 0);
    EXPECT_EQ(text.size(), 129u);
    EXPECT_EQ(longer.LastReport().size(), 200u);
}

TEST(Commands, FailedExchangeClosesDeviceAndLaterCommandsMakeNoHidCall) {
    for (bool failGet : {false, true}) {
        OpenBench b;
        auto& f = b.hid.Faults();
        (failGet ? f.FailGetOfExchange : f.FailSetOfExchange) = 1;
        std::string text = "V1.0";
        EXPECT_EQ(upload::ReadFirmwareVersion(b.connection, text), -1);
        EXPECT_EQ(text, "V1.0");
        EXPECT_FALSE(b.connection.IsOpen());
        EXPECT_EQ(b.hid.OpenHandles(), 0u);
        EXPECT_EQ(b.hid.OpenPreparsed(), 0u);

        const int calls = b.hid.HidCalls();
        const auto block = Block(1);
        EXPECT_EQ(upload::SendCommand(b.connection, upload::CmdWriteBlock, 0x80, block), -1);
        EXPECT_EQ(upload::SendStartAddress(b.connection, "1200"), -1);
        EXPECT_EQ(upload::ReadFirmwareVersion(b.connection, text), -1);
        EXPECT_EQ(b.hid.HidCalls(), calls);
    }
}

TEST(Commands, StartAddressBytesComeFromTheWholeHexValue) {
    struct Case {
        const char* text;
        std::uint8_t high, low;
    };
    for (const Case& c : {Case{"1200", 0x12, 0x00}, Case{"ABCD", 0xAB, 0xCD},
                          Case{"8000", 0x80, 0x00}, Case{"12", 0x00, 0x12}, Case{"", 0, 0},
                          Case{" 1 2 0 0", 0x12, 0x00}}) {
        OpenBench b(sim::KeyboardConfig{.StartInUploadMode = true});
        ASSERT_EQ(upload::SendStartAddress(b.connection, c.text), 0) << c.text;
        const auto& r = b.LastReport();
        EXPECT_EQ(r[1], 0x10);
        EXPECT_EQ(r[2], 0x02);
        EXPECT_EQ(r[3], c.high) << c.text;
        EXPECT_EQ(r[4], c.low) << c.text;
        EXPECT_TRUE(std::all_of(r.begin() + 5, r.end(), [](std::uint8_t v) { return v == 0; }));
    }
}

TEST(Commands, SendCommandCopiesThePayloadAfterCommandAndArgument) {
    OpenBench b(sim::KeyboardConfig{.StartInUploadMode = true});
    auto block = Block(7);
    block[128] = 0x5A;
    ASSERT_EQ(upload::SendCommand(b.connection, upload::CmdWriteBlock, 0x80, block), 0);
    const auto& r = b.LastReport();
    EXPECT_EQ(r[1], 0x20);
    EXPECT_EQ(r[2], 0x80);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), r.begin() + 3));

    // Longer payloads than the report carries are cut at 129 bytes; shorter leave zeros.
    std::vector<std::uint8_t> tooLong(300, 0xEE);
    ASSERT_EQ(upload::SendCommand(b.connection, upload::CmdWriteBlock, 0x80, tooLong), 0);
    EXPECT_EQ(b.LastReport().size(), 132u);
    const std::vector<std::uint8_t> shortPayload{1, 2};
    ASSERT_EQ(upload::SendCommand(b.connection, upload::CmdEnterUpload, 0, shortPayload), 0);
    EXPECT_EQ(b.LastReport()[4], 2);
    EXPECT_EQ(b.LastReport()[5], 0);
}

TEST(Commands, NoDeviceMeansNoHidCall) {
    SimBench b;  // never searched: no device
    const int calls = b.hid.HidCalls();
    std::string text = "x";
    EXPECT_EQ(upload::ReadFirmwareVersion(b.connection, text), -1);
    EXPECT_EQ(upload::SendStartAddress(b.connection, "1200"), -1);
    EXPECT_EQ(upload::SendCommand(b.connection, upload::CmdFinish, 1, {}), -1);
    EXPECT_EQ(b.hid.HidCalls(), calls);
    EXPECT_EQ(text, "x");
}

// Reports that change the keyboard go only to a keyboard this program holds for writing; reading
// its version needs no lock.
TEST(Commands, WritesNeedTheKeyboardHeldForWriting) {
    const auto block = Block(3);
    {
        OpenBench b;
        EXPECT_EQ(upload::SendStartAddress(b.connection, "1200"), 0);
        EXPECT_EQ(upload::SendCommand(b.connection, upload::CmdWriteBlock, 0x80, block), 0);
        EXPECT_TRUE(b.connection.WriteLocked);
        EXPECT_EQ(b.hid.WriteLocksTaken(), 1);  // taken once, held while open
    }
    for (const std::int64_t holder : {std::int64_t{4242}, std::int64_t{0}}) {
        OpenBench b;
        b.hid.Faults().KeyboardHeldBy = holder;
        std::string text;
        EXPECT_EQ(upload::ReadFirmwareVersion(b.connection, text), 0);
        const std::size_t reports = b.keyboard.ReportsTaken().size();
        EXPECT_EQ(upload::SendCommand(b.connection, upload::CmdWriteBlock, 0x80, block), -1);
        EXPECT_TRUE(b.connection.WriteBusy);
        EXPECT_EQ(b.connection.BusyHolderPid, holder);
        EXPECT_FALSE(b.connection.IsOpen());
        EXPECT_EQ(b.hid.OpenHandles(), 0u);
        EXPECT_EQ(b.keyboard.ReportsTaken().size(), reports);  // nothing sent
        EXPECT_EQ(usbio::KeyboardBusyText(holder),
                  holder ? "The keyboard is being updated by another program (PID 4242); nothing was written."
                         : "The keyboard is being updated by another program; nothing was written.");
    }
}
