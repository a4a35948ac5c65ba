#include <gtest/gtest.h>

#include <array>

#include "support/SimBench.h"
#include "upload/Commands.h"

using testsupport::SimBench;

namespace {

std::array<std::uint8_t, 129> Zeros() { return {}; }

bool EnterUpload(SimBench& b) {
    return upload::SendCommand(b.connection, upload::CmdEnterUpload, 0, Zeros()) == 0;
}

}  // namespace

TEST(SimKeyboard, OldFirmwareWaitsForReplugAndReturnsInUploadMode) {
    SimBench b;
    b.Find();
    ASSERT_TRUE(EnterUpload(b));
    EXPECT_FALSE(b.keyboard.IsOnBus());
    b.clock.Advance(60'000);
    EXPECT_FALSE(b.keyboard.IsOnBus());
    // The old handle is stale: the next exchange fails and closes the device.
    std::string version;
    EXPECT_EQ(upload::ReadFirmwareVersion(b.connection, version), -1);
    EXPECT_FALSE(b.connection.IsOpen());

    b.keyboard.Replug();
    b.Find();
    ASSERT_TRUE(b.connection.IsOpen());
    EXPECT_EQ(b.connection.MatchedPID, 6);
}

TEST(SimKeyboard, NewFirmwareReturnsByItselfAfterTheDelay) {
    SimBench b(sim::KeyboardConfig{.Version = "V2.0", .ReturnDelayMs = 3000});
    b.Find();
    ASSERT_TRUE(EnterUpload(b));
    b.clock.Advance(2999);
    EXPECT_FALSE(b.keyboard.IsOnBus());
    b.clock.Advance(1);
    EXPECT_TRUE(b.keyboard.IsOnBus());
    EXPECT_EQ(b.keyboard.CurrentPID(), 6);
}

TEST(SimKeyboard, NeverReturningKeyboardStaysAwayEvenWhenReplugged) {
    SimBench b(sim::KeyboardConfig{.ReturnPolicy = sim::KeyboardConfig::Return::Never});
    b.Find();
    ASSERT_TRUE(EnterUpload(b));
    b.keyboard.Replug();
    b.clock.Advance(100'000);
    EXPECT_FALSE(b.keyboard.IsOnBus());
}

TEST(SimKeyboard, StoresBlocksFromTheAddressAndRebootsWithNewVersionOnFinish) {
    SimBench b(sim::KeyboardConfig{.StartInUploadMode = true});
    b.Find();
    ASSERT_EQ(b.connection.MatchedPID, 6);
    ASSERT_EQ(upload::SendStartAddress(b.connection, "1200"), 0);
    std::array<std::uint8_t, 129> block{};
    for (int k = 0; k < 2; ++k) {
        for (std::size_t i = 0; i < 128; ++i) block[i] = static_cast<std::uint8_t>(k * 128 + i);
        ASSERT_EQ(upload::SendCommand(b.connection, upload::CmdWriteBlock, 0x80, block), 0);
    }
    for (std::size_t i = 0; i < 256; ++i) EXPECT_EQ(b.keyboard.Flash()[0x1200 + i], i & 0xFF);
    EXPECT_EQ(b.keyboard.WritePointer(), 0x1300u);
    EXPECT_EQ(b.keyboard.BlockBytesReceived().size(), 256u);

    ASSERT_EQ(upload::SendCommand(b.connection, upload::CmdFinish, 0x01, block), 0);
    EXPECT_TRUE(b.keyboard.FinishTaken());
    EXPECT_EQ(b.keyboard.CurrentPID(), 17);
    b.Find();
    std::string version;
    ASSERT_EQ(upload::ReadFirmwareVersion(b.connection, version), 0);
    EXPECT_EQ(version, "V2.0");
}

TEST(SimKeyboard, FaultsLeaveBusRefuseBlockIgnoreFinish) {
    SimBench b(sim::KeyboardConfig{.StartInUploadMode = true});
    b.keyboard.Faults().LeaveBusAfterBlock = 2;
    b.Find();
    std::array<std::uint8_t, 129> block{};
    EXPECT_EQ(upload::SendCommand(b.connection, upload::CmdWriteBlock, 0x80, block), 0);
    EXPECT_EQ(upload::SendCommand(b.connection, upload::CmdWriteBlock, 0x80, block), 0);
    EXPECT_EQ(upload::SendCommand(b.connection, upload::CmdWriteBlock, 0x80, block), -1);
    EXPECT_FALSE(b.keyboard.IsOnBus());
    b.keyboard.Plug();  // plugged in again, it starts in firmware-upload mode
    EXPECT_EQ(b.keyboard.CurrentPID(), 6);

    SimBench c(sim::KeyboardConfig{.StartInUploadMode = true});
    c.keyboard.Faults().RefuseBlock = 1;
    c.keyboard.Faults().IgnoreFinish = true;
    c.Find();
    EXPECT_EQ(upload::SendCommand(c.connection, upload::CmdWriteBlock, 0x80, block), -1);
    c.Find();
    EXPECT_EQ(upload::SendCommand(c.connection, upload::CmdWriteBlock, 0x80, block), 0);
    EXPECT_EQ(upload::SendCommand(c.connection, upload::CmdFinish, 0x01, block), -1);
    EXPECT_FALSE(c.keyboard.FinishTaken());
}

TEST(SimHidPlatform, WrongReportLengthOrReportIdIsRefused) {
    SimBench b;
    b.Find();
    std::vector<std::uint8_t> report(131, 0);
    report[1] = 0xC0;
    EXPECT_FALSE(b.hid.SetFeature(b.connection.DeviceHandle, report.data(), report.size()));
    report.resize(132);
    report[0] = 1;
    EXPECT_FALSE(b.hid.SetFeature(b.connection.DeviceHandle, report.data(), report.size()));
    report[0] = 0;
    EXPECT_TRUE(b.hid.SetFeature(b.connection.DeviceHandle, report.data(), report.size()));
    EXPECT_TRUE(b.hid.GetFeature(b.connection.DeviceHandle, report.data(), report.size()));
}

// Each transfer (a report taken, an answer read) takes the keyboard's latency on its clock.
TEST(SimKeyboard, EveryTransferTakesItsLatency) {
    for (const std::int64_t latency : {0, 2, 7}) {
        SimBench b;
        b.keyboard.Config().TransferLatencyMs = latency;
        b.keyboard.SetPassTime([&b](std::int64_t ms) { b.clock.Advance(ms); });
        b.Find();
        const std::int64_t start = b.clock.NowMs();
        std::string version;
        for (int i = 0; i < 5; ++i) ASSERT_EQ(upload::ReadFirmwareVersion(b.connection, version), 0);
        EXPECT_EQ(b.clock.NowMs() - start, 5 * 2 * latency);
    }
}
