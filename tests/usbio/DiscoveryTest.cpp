#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/SimBench.h"
#include "usbio/Discovery.h"

using testsupport::SimBench;
using usbio::ProductIdTable;

namespace {

bool Opened(const SimBench& b, const std::string& prefix) {
    const auto& log = b.hid.OpenLog();
    return std::any_of(log.begin(), log.end(),
                       [&](const std::string& p) { return p.rfind(prefix, 0) == 0; });
}

}  // namespace

TEST(FindDevice, FindsKeyboardAfterDecoysPausingOneSecondBeforeEveryOpen) {
    SimBench b;
    b.Find();
    ASSERT_TRUE(b.connection.IsOpen());
    EXPECT_EQ(b.connection.MatchedPID, 17);
    EXPECT_EQ(b.connection.DeviceCaps.FeatureReportByteLength, 132);
    EXPECT_EQ(b.connection.DeviceAttributes.VendorID, 0x2E5B);
    // Four decoys and the keyboard: five opens, five one-second pauses.
    EXPECT_EQ(b.pauses, std::vector<float>(5, 1000.0f));
    EXPECT_EQ(b.clock.NowMs(), 5000);
    // Only the keyboard stays open: handle and preparsed data.
    EXPECT_EQ(b.hid.OpenHandles(), 1u);
    EXPECT_EQ(b.hid.OpenPreparsed(), 1u);
    // The decoy that refuses the read/write open was opened with no access and vetted.
    EXPECT_TRUE(Opened(b, "sim:decoy/locked-headset"));
}

TEST(FindDevice, FirstMatchingInterfaceWinsAndLaterOnesAreNeverOpened) {
    SimBench b;
    b.hid.Decoys().insert(b.hid.Decoys().begin(),
                          sim::DecoyInterface{"sim:decoy/twin", 0x2E5B, 6, 132, false, false, false});
    b.Find();
    ASSERT_TRUE(b.connection.IsOpen());
    EXPECT_EQ(b.connection.MatchedPID, 6);
    EXPECT_EQ(b.hid.OpenLog().size(), 1u);
    EXPECT_FALSE(Opened(b, "sim:keyboard"));
}

TEST(FindDevice, KeyboardThatRefusesReadWriteIsUsedWithNoAccessOpen) {
    SimBench b;
    b.hid.Faults().KeyboardRefusesReadWrite = true;
    b.Find();
    EXPECT_TRUE(b.connection.IsOpen());
    EXPECT_EQ(b.connection.MatchedPID, 17);
}

TEST(FindDevice, EachFailingCheckClosesTheInterfaceAndTheSearchEndsEmpty) {
    for (int check = 0; check < 4; ++check) {
        SimBench b;
        auto& f = b.hid.Faults();
        if (check == 0) f.KeyboardFailsAttributes = true;
        if (check == 1) b.keyboard.Config().VendorID = 0x2E5C;
        if (check == 2) f.KeyboardFailsPreparsedData = true;
        if (check == 3) f.KeyboardFailsCaps = true;
        b.connection.MatchedPID = 42;
        b.Find();
        EXPECT_FALSE(b.connection.IsOpen()) << "check " << check;
        EXPECT_EQ(b.connection.PreparsedData, 0) << "check " << check;
        EXPECT_EQ(b.hid.OpenHandles(), 0u) << "check " << check;
        EXPECT_EQ(b.hid.OpenPreparsed(), 0u) << "check " << check;
        EXPECT_TRUE(Opened(b, "sim:keyboard")) << "check " << check;
        if (check <= 1) {
            EXPECT_EQ(b.connection.MatchedPID, 42) << "check " << check;
        }
    }
}

TEST(FindDevice, KeyboardWhoseFirstInterfaceHasNoFeatureReportIsFoundAtItsSecond) {
    SimBench b;
    b.hid.Faults().KeyboardHasPlainFirstInterface = true;
    usbio::DiscoveryReport report;
    b.Find(&report);
    ASSERT_TRUE(b.connection.IsOpen());
    EXPECT_EQ(b.connection.DeviceCaps.FeatureReportByteLength, 132);
    EXPECT_EQ(report.NoUsableFeature.size(), 1u);
    EXPECT_EQ(b.hid.OpenHandles(), 1u);
}

TEST(FindDevice, FeatureReportMustHoldABlockAndFitWhatThePlatformExchanges) {
    struct Case {
        std::uint16_t length;
        std::size_t platformMax;
        bool used;
    };
    for (const Case& c : {Case{0, 0xFFFF, false}, Case{64, 0xFFFF, false}, Case{130, 0xFFFF, false},
                          Case{131, 0xFFFF, true}, Case{132, 0xFFFF, true}, Case{200, 0xFFFF, true},
                          Case{65535, 0xFFFF, true}, Case{16383, 16383, true}, Case{16384, 16383, false},
                          Case{20001, 16383, false}, Case{133, 132, false}}) {
        SCOPED_TRACE(testing::Message() << c.length << " bytes, platform max " << c.platformMax);
        SimBench b;
        b.keyboard.Config().FeatureReportLength = c.length;
        b.hid.SetMaxFeatureReportLength(c.platformMax);
        usbio::DiscoveryReport report;
        b.Find(&report);
        EXPECT_EQ(b.connection.IsOpen(), c.used);
        EXPECT_EQ(b.hid.OpenHandles(), c.used ? 1u : 0u);
        EXPECT_EQ(b.hid.OpenPreparsed(), c.used ? 1u : 0u);
        EXPECT_EQ(report.NoUsableFeature.size(), c.used ? 0u : 1u);
    }
}

TEST(FindDevice, NoKeyboardOrNoListLeavesNoDevice) {
    SimBench b;
    b.keyboard.Unplug();
    b.Find();
    EXPECT_FALSE(b.connection.IsOpen());
    EXPECT_EQ(b.pauses.size(), 4u);

    SimBench c;
    c.hid.Faults().FailEnumeration = true;
    c.Find();
    EXPECT_FALSE(c.connection.IsOpen());
    EXPECT_TRUE(c.pauses.empty());
}

TEST(FindDevice, ReportsAKeyboardTheUserMayNotOpen) {
    SimBench b;
    b.hid.Faults().KeyboardPermissionDenied = true;
    usbio::DiscoveryReport report;
    b.Find(&report);
    EXPECT_FALSE(b.connection.IsOpen());
    ASSERT_EQ(report.PermissionDenied.size(), 1u);
    EXPECT_EQ(report.PermissionDenied[0].rfind("sim:keyboard", 0), 0u);
}

TEST(FindDevice, AnInterfaceThatMayNotBeOpenedIsTheKeyboardOnlyWhenItsIdsSaySo) {
    struct Case {
        std::uint16_t vendor, product;
        bool hidesIds;
        bool named;
    };
    for (const Case& c : {Case{0x2E5B, 17, false, true}, Case{0x2E5B, 6, false, true},
                          Case{0x2E5B, 0x1234, false, false},  // the vendor's, but no keyboard in the table
                          Case{0x1050, 0x0407, false, false},  // a security key
                          Case{0x2E5B, 17, true, false}}) {    // IDs that cannot be read
        SimBench b;
        b.keyboard.Unplug();
        sim::DecoyInterface reserved{"sim:decoy/reserved", c.vendor, c.product, 132, false, false, false};
        reserved.PermissionDenied = true;
        reserved.HidesIds = c.hidesIds;
        b.hid.Decoys().push_back(reserved);
        usbio::DiscoveryReport report;
        b.Find(&report);
        EXPECT_FALSE(b.connection.IsOpen());
        EXPECT_EQ(report.PermissionDenied.size(), c.named ? 1u : 0u) << c.vendor << ":" << c.product;
        EXPECT_EQ(usbio::AccessProblemHint(report).empty(), !c.named);
    }
}

TEST(FindDevice, AccessProblemHintBelongsToTheSystem) {
    usbio::DiscoveryReport report;
    EXPECT_EQ(usbio::AccessProblemHint(report, usbio::HostSystem::Linux), "");
    EXPECT_EQ(usbio::AccessProblemHint(report, usbio::HostSystem::Windows), "");
    report.PermissionDenied = {"/dev/hidraw3", "/dev/hidraw4"};
    struct Case {
        usbio::HostSystem host;
        std::vector<std::string> says, never;
    };
    for (const Case& c : {Case{usbio::HostSystem::Linux,
                               {"A keyboard is attached at /dev/hidraw3, but this user may not open it. Install the "
                                "udev rule 70-kestrune-keyboard.rules as README.md describes, then unplug the "
                                "keyboard and plug it in again."},
                               {"Windows", "another program"}},
                          Case{usbio::HostSystem::Windows,
                               {"/dev/hidraw3", "denies access", "another program has the keyboard open",
                                "unplug the keyboard and plug it in again"},
                               {"udev", "README"}}}) {
        const std::string hint = usbio::AccessProblemHint(report, c.host);
        for (const std::string& text : c.says) EXPECT_NE(hint.find(text), std::string::npos) << text << "\n" << hint;
        for (const std::string& text : c.never) EXPECT_EQ(hint.find(text), std::string::npos) << text << "\n" << hint;
    }
}

TEST(FindDevice, SkipByPeekOpensOnlyCandidatesWithoutPausingForOthers) {
    SimBench b;
    auto hooks = b.Hooks();
    hooks.SkipByPeek = true;
    usbio::InitDeviceIO(b.connection);
    usbio::FindDevice(b.connection, hooks);
    EXPECT_TRUE(b.connection.IsOpen());
    EXPECT_EQ(b.hid.OpenLog().size(), 1u);
    EXPECT_EQ(b.pauses.size(), 1u);
}

TEST(DeviceIO, CloseAndInitAreSafeInEveryState) {
    SimBench b;
    usbio::CloseDevice(b.connection);  // nothing ever opened
    b.Find();
    ASSERT_TRUE(b.connection.IsOpen());
    usbio::InitDeviceIO(b.connection);  // a rescan releases the device it finds open
    EXPECT_FALSE(b.connection.IsOpen());
    EXPECT_EQ(b.hid.OpenHandles(), 0u);
    EXPECT_EQ(b.hid.OpenPreparsed(), 0u);
    EXPECT_TRUE(b.connection.LastErrorText.empty());
    const int calls = b.hid.HidCalls();
    usbio::CloseDevice(b.connection);
    usbio::CloseDevice(b.connection);
    EXPECT_EQ(b.hid.HidCalls(), calls);
}

// ---- The product-ID table ----

struct PidLineCase {
    const char* line;
    std::vector<std::int32_t> entries;  // empty: the line gives no entry (built-in table used)
};

class PidFileLineTest : public ::testing::TestWithParam<PidLineCase> {};

TEST_P(PidFileLineTest, LineGivesEntry) {
    testsupport::TempDir dir;
    const auto file = dir.Write("PIDDef.txt", std::string(GetParam().line) + "\r\n");
    const ProductIdTable table = usbio::LoadProductIdTable(file);
    EXPECT_TRUE(table.Error.empty()) << table.Error;
    if (GetParam().entries.empty()) {
        EXPECT_EQ(table.From, ProductIdTable::Source::BuiltIn);
        EXPECT_EQ(table.Entries, usbio::BuiltInProductIds());
    } else {
        EXPECT_EQ(table.From, ProductIdTable::Source::File);
        EXPECT_EQ(table.Entries, GetParam().entries);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, PidFileLineTest,
    ::testing::Values(PidLineCase{"Board,&H11", {17}}, PidLineCase{", 17", {17}},
                      PidLineCase{"Board,", {0}}, PidLineCase{"Board,17abc", {17}},
                      PidLineCase{"Board,1 7", {17}}, PidLineCase{"Board,0x11", {0}},
                      PidLineCase{"Board,17.5", {18}}, PidLineCase{"Board,16.5", {16}},
                      PidLineCase{" 'Board,5", {5}}, PidLineCase{"'Board,5", {}},
                      PidLineCase{"Board,65535", {65535}}, PidLineCase{"Board,&HFFFF", {-1}},
                      PidLineCase{"no comma here", {}}, PidLineCase{"", {}},
                      PidLineCase{"a,12,99,100", {12}}));

TEST(ProductIdTable, ExampleFileLineEndsAndFallbacks) {
    testsupport::TempDir dir;
    const std::string example =
        "' Product IDs of the keyboard: label,product ID\r\n"
        "' (a line that begins with an apostrophe is a comment)\r\n"
        "Keyboard,17\r\nKeyboard in firmware upload mode,6\r\nKeyboard B,&H000A\r\n"
        "Keyboard C, 32769 ,this field is not read\r\nthis line has no comma and is skipped\r\n";
    const std::vector<std::int32_t> expected{17, 6, 10, 32769};
    EXPECT_EQ(usbio::LoadProductIdTable(dir.Write("crlf.txt", example)).Entries, expected);

    // Lines ended by LF alone or by CR alone read the same.
    std::string lf = example, cr = example;
    for (std::size_t p; (p = lf.find("\r\n")) != std::string::npos;) lf.erase(p, 1);
    for (std::size_t p; (p = cr.find("\r\n")) != std::string::npos;) cr.erase(p + 1, 1);
    EXPECT_EQ(usbio::LoadProductIdTable(dir.Write("lf.txt", lf)).Entries, expected);
    EXPECT_EQ(usbio::LoadProductIdTable(dir.Write("cr.txt", cr)).Entries, expected);
    // No final line end.
    EXPECT_EQ(usbio::LoadProductIdTable(dir.Write("last.txt", "a,1\nb,2")).Entries,
              (std::vector<std::int32_t>{1, 2}));

    for (const char* contents : {"", "' only\r\n' comments\r\n", "\r\n\r\n"}) {
        const auto table = usbio::LoadProductIdTable(dir.Write("fallback.txt", contents));
        EXPECT_EQ(table.From, ProductIdTable::Source::BuiltIn);
        EXPECT_EQ(table.Entries, usbio::BuiltInProductIds());
    }
    const auto absent = usbio::LoadProductIdTable(dir.Path() / "absent.txt");
    EXPECT_EQ(absent.From, ProductIdTable::Source::BuiltIn);
    EXPECT_TRUE(absent.Error.empty());
    EXPECT_EQ(absent.Entries, (std::vector<std::int32_t>{10, 17, 11, 12, 13, 14, 8, 6, 19, 18, 23, 8, 24}));
}

#if !defined(_WIN32)
// On Linux PIDDef.txt is the user's ($XDG_CONFIG_HOME, else ~/.config), the system's (/etc), then
// the one beside the program; the search uses the first that exists. Windows: beside the program.
TEST(ProductIdTable, LookedForInTheUsersThenTheSystemsThenTheProgramsFolder) {
    struct Saved {
        std::string name;
        const char* old;
        std::string value;
        explicit Saved(const char* n) : name(n), old(std::getenv(n)), value(old ? old : "") {}
        ~Saved() { old ? ::setenv(name.c_str(), value.c_str(), 1) : ::unsetenv(name.c_str()); }
    } xdg("XDG_CONFIG_HOME"), home("HOME"), system(usbio::SystemConfigFolderVariable);
    SimBench b;
    const auto program = b.folder.Path() / "bin";
    const auto config = b.folder.Path() / "config";
    const std::filesystem::path etc = "/etc/kestrune/PIDDef.txt";
    using Paths = std::vector<std::filesystem::path>;
    ::setenv("HOME", b.folder.Path().c_str(), 1);
    // The system's place is /etc/kestrune unless the environment names another one, or none.
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    ::setenv(usbio::SystemConfigFolderVariable, (b.folder.Path() / "etc").c_str(), 1);
    EXPECT_EQ(usbio::ProductIdFileCandidates(program),
              (Paths{config / "kestrune/PIDDef.txt", b.folder.Path() / "etc/PIDDef.txt", program / "PIDDef.txt"}));
    ::setenv(usbio::SystemConfigFolderVariable, "", 1);
    EXPECT_EQ(usbio::ProductIdFileCandidates(program), (Paths{config / "kestrune/PIDDef.txt", program / "PIDDef.txt"}));
    ::unsetenv(usbio::SystemConfigFolderVariable);
    for (const char* unusable : {"", "relative/config"}) {  // ~/.config instead
        ::setenv("XDG_CONFIG_HOME", unusable, 1);
        EXPECT_EQ(usbio::ProductIdFileCandidates(program),
                  (Paths{b.folder.Path() / ".config/kestrune/PIDDef.txt", etc, program / "PIDDef.txt"}));
    }
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    EXPECT_EQ(usbio::ProductIdFileCandidates(program),
              (Paths{config / "kestrune/PIDDef.txt", etc, program / "PIDDef.txt"}));
    EXPECT_EQ(usbio::ProductIdFileCandidates(program, usbio::HostSystem::Windows), (Paths{program / "PIDDef.txt"}));

    // The search for the keyboard takes the user's file before the one beside the program (and
    // never looks at the machine's /etc).
    ::setenv(usbio::SystemConfigFolderVariable, (b.folder.Path() / "etc").c_str(), 1);
    b.WritePidFile("a,17\n");
    EXPECT_EQ(usbio::FindProductIdFile(b.folder.Path()), b.folder.Path() / "PIDDef.txt");
    b.Find();
    EXPECT_TRUE(b.connection.IsOpen());
    usbio::CloseDevice(b.connection);
    std::filesystem::create_directories(config / "kestrune");
    std::ofstream(config / "kestrune/PIDDef.txt") << "a,99\n";
    EXPECT_EQ(usbio::FindProductIdFile(b.folder.Path()), config / "kestrune/PIDDef.txt");
    b.Find();
    EXPECT_FALSE(b.connection.IsOpen());
    // A file the user names comes first.
    auto hooks = b.Hooks();
    hooks.ProductIdFile = b.folder.Path() / "PIDDef.txt";
    usbio::FindDevice(b.connection, hooks);
    EXPECT_TRUE(b.connection.IsOpen());
}
#endif

TEST(ProductIdTable, AProductIdThatIsNotANumberIsReadAsZeroWithAWarning) {
    testsupport::TempDir dir;
    struct Case {
        const char* field;
        bool warned;
    };
    for (const Case& c : {Case{"abc", true}, Case{"", true}, Case{"  ", true}, Case{"&Hxyz", true},
                          Case{"&O9", true}, Case{"-", true}, Case{"x17", true},
                          Case{"17", false}, Case{" 1 7", false}, Case{"&H11", false}, Case{"&o7", false},
                          Case{"-1", false}, Case{".5", false}, Case{"+.5", false}, Case{"0x11", false},
                          Case{"17abc", false}}) {
        const auto table = usbio::LoadProductIdTable(dir.Write("PIDDef.txt", std::string("' comment\nBoard,") + c.field + "\n"));
        EXPECT_TRUE(table.Error.empty()) << c.field;
        ASSERT_EQ(table.Warnings.size(), c.warned ? 1u : 0u) << c.field;
        if (c.warned) {
            EXPECT_EQ(table.Warnings[0], "line 2: the product ID \"" + std::string(c.field) + "\" is not a number; it is read as 0.");
            EXPECT_EQ(table.Entries, std::vector<std::int32_t>{0}) << c.field;
        }
    }
}

TEST(ProductIdTable, FailureKeepsEntriesReadBeforeIt) {
    testsupport::TempDir dir;
    auto table = usbio::LoadProductIdTable(dir.Write("a.txt", "a,17\nb,6\nc,99999999999\nd,5\n"));
    EXPECT_EQ(table.Entries, (std::vector<std::int32_t>{17, 6}));
    EXPECT_NE(table.Error.find("line 3"), std::string::npos) << table.Error;

    table = usbio::LoadProductIdTable(dir.Write("b.txt", "c,&H1FFFFFFFF\n"));
    EXPECT_EQ(table.Entries, usbio::BuiltInProductIds());
    EXPECT_FALSE(table.Error.empty());

    // The file's name leads the text, in UTF-8 whatever the system's code page.
    const auto named = dir.Path() / std::filesystem::path(u8"Gr\u00f6\u00dfe-\u00eb.txt");
    std::ofstream(named, std::ios::binary) << "c,&H1FFFFFFFF\n";
    table = usbio::LoadProductIdTable(named);
    EXPECT_EQ(table.Error.rfind("Gr\xc3\xb6\xc3\x9f" "e-\xc3\xab.txt, line 1: ", 0), 0u) << table.Error;

    std::string many;
    for (int i = 0; i < 32768; ++i) many += "x,1\n";
    table = usbio::LoadProductIdTable(dir.Write("c.txt", many));
    EXPECT_EQ(table.Entries.size(), usbio::MaxProductIdEntries);
    EXPECT_NE(table.Error.find("line 32768"), std::string::npos) << table.Error;
}

TEST(IdIsMatched, VendorAndProductRules) {
    SimBench b;
    const auto hooks = b.Hooks();
    auto matches = [&](std::uint16_t vid, std::uint16_t pid) {
        return usbio::IdIsMatched(static_cast<std::int16_t>(vid), static_cast<std::int16_t>(pid),
                                  b.connection, hooks);
    };
    EXPECT_TRUE(matches(0x2E5B, 0x11));
    EXPECT_EQ(b.connection.MatchedPID, 17);
    EXPECT_TRUE(matches(0x2E5B, 0x06));
    EXPECT_EQ(b.connection.MatchedPID, 6);
    EXPECT_FALSE(matches(0x2E5C, 0x11));
    EXPECT_FALSE(matches(0x2E5B, 0x8001));
    EXPECT_EQ(b.connection.MatchedPID, 6);  // unchanged without a match

    b.WritePidFile("unsigned,32769\n");
    EXPECT_TRUE(matches(0x2E5B, 0x8001));
    EXPECT_EQ(b.connection.MatchedPID, 32769);
    b.WritePidFile("hex,&H8001\n");
    EXPECT_TRUE(matches(0x2E5B, 0x8001));
    EXPECT_EQ(b.connection.MatchedPID, -32767);
    b.WritePidFile("all ones,65535\nminus,&HFFFF\n");
    EXPECT_TRUE(matches(0x2E5B, 0xFFFF));
    EXPECT_EQ(b.connection.MatchedPID, 65535);  // the first matching entry wins
    b.WritePidFile("Board,&H11\n");
    EXPECT_FALSE(matches(0x2E5B, 0x06));
    EXPECT_TRUE(b.tableErrors.empty());
    EXPECT_TRUE(usbio::ProductIdMatchesEntry(-32768, 32768));
}

TEST(IdIsMatched, ProductIdMatchesOnlyItsOwnEntry) {
    struct Case {
        std::uint16_t product;
        std::int32_t entry;
        bool matches;
    };
    for (const Case& c : {Case{0x8001, 32769, true}, Case{0x8001, -32767, true},    // "32769", "&H8001"
                          Case{0xFFFF, 65535, true}, Case{0xFFFF, -1, true},        // "65535", "&HFFFF"
                          Case{0x8000, 32768, true}, Case{0x8000, -32768, true},
                          Case{0x7FFF, 32767, true}, Case{17, 17, true}, Case{6, 6, true},
                          Case{0x7FFF, 32769, false}, Case{0x0001, 65535, false},
                          Case{0x0011, 65519, false}, Case{0x0000, 65536, false},
                          Case{0x8001, 32767, false}, Case{0x0011, -17, false},
                          Case{0xFFEF, 17, false}, Case{0x0006, 65530, false}}) {
        EXPECT_EQ(usbio::ProductIdMatchesEntry(static_cast<std::int16_t>(c.product), c.entry), c.matches)
            << c.product << " / " << c.entry;
    }
    // The built-in table: every entry matches its own product ID and no other small one.
    for (const std::int32_t entry : usbio::BuiltInProductIds()) {
        for (std::uint32_t product = 0; product <= 0xFFFF; ++product) {
            const bool matches = usbio::ProductIdMatchesEntry(static_cast<std::int16_t>(product), entry);
            if (matches != (static_cast<std::int32_t>(product) == entry))
                ADD_FAILURE() << "product " << product << " / entry " << entry;
        }
    }
}

TEST(IdIsMatched, TableErrorIsShownOncePerCallAndMatchingGoesOn) {
    SimBench b;
    b.WritePidFile("a,6\nb,1e20\nc,17\n");
    b.Find();
    // The table holds 6 only: the keyboard in normal mode (17) is not accepted.
    EXPECT_FALSE(b.connection.IsOpen());
    // One message per interface whose attributes were read (three decoys and the keyboard).
    ASSERT_EQ(b.tableErrors.size(), 4u);
    EXPECT_EQ(b.tableErrors[0].rfind("IdIsMatched function error", 0), 0u);
    EXPECT_NE(b.tableErrors[0].find("line 2"), std::string::npos);
}

TEST(FindAllDevices, EveryKeyboardWithItsIdentityWhileTheFirstMatchRuleStays) {
    SimBench b;  // the keyboard at 1-4, serial KS0001
    sim::KeyboardConfig second;
    second.PortPath = "1-5.2";
    second.Serial = "";
    second.StartInUploadMode = true;
    sim::SimKeyboard other(b.clock, second);
    sim::SimHidPlatform hid({&b.keyboard, &other});
    usbio::DiscoveryReport report;
    const auto found = usbio::FindAllDevices(hid, b.Hooks(), &report);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].Path, "sim:keyboard/1/if1");
    EXPECT_EQ(found[0].MatchedPID, 17);
    EXPECT_EQ(found[0].Identity, (usbio::DeviceIdentity{"1-4", "KS0001"}));
    EXPECT_EQ(found[1].Path, "sim:keyboard2/1/if1");
    EXPECT_EQ(found[1].MatchedPID, 6);
    EXPECT_EQ(found[1].FeatureReportLength, 132);
    EXPECT_EQ(found[1].Identity, (usbio::DeviceIdentity{"1-5.2", ""}));
    EXPECT_EQ(report.InterfacesSeen, 6u);
    EXPECT_EQ(b.pauses.size(), 6u);  // a pause before every open, as FindDevice
    EXPECT_EQ(hid.OpenHandles(), 0u);
    EXPECT_EQ(hid.OpenPreparsed(), 0u);

    // Each kind of ID names its keyboard and no other; an empty ID names none.
    const std::vector<std::pair<std::string, int>> ids = {
        {"sim:keyboard/1/if1", 0}, {"1-4", 0}, {"KS0001", 0}, {"sim:keyboard2/1/if1", 1},
        {"1-5.2", 1}, {"1-5", -1}, {"", -1}};
    for (const auto& [id, which] : ids)
        for (int k = 0; k < 2; ++k)
            EXPECT_EQ(usbio::MatchesDeviceId(found[static_cast<std::size_t>(k)], id), k == which) << id;

    // A search that follows a keyboard looks at no other, whichever mode it is in.
    usbio::DiscoveryHooks follow = b.Hooks();
    follow.Accept = [&](const std::string& path) { return usbio::IsSameKeyboard(found[1], hid.PeekIdentity(path)); };
    usbio::DeviceConnection followed(hid);
    usbio::FindDevice(followed, follow);
    ASSERT_TRUE(followed.IsOpen());
    EXPECT_EQ(followed.MatchedPID, 6);
    usbio::CloseDevice(followed);
    EXPECT_FALSE(usbio::IsSameKeyboard(found[0], {"1-4", ""}));  // port and serial both count
    EXPECT_TRUE(usbio::IsSameKeyboard({"x", {}, 0, 0, {}}, {}));   // nothing told: as before

    // The window's scan still stops at the first keyboard.
    usbio::DeviceConnection connection(hid);
    usbio::FindDevice(connection, b.Hooks());
    ASSERT_TRUE(connection.IsOpen());
    EXPECT_EQ(connection.MatchedPID, 17);
    usbio::CloseDevice(connection);
}

TEST(DeviceIdentity, ReadFromSysfsTextsAndWindowsProperties) {
    struct PortCase { std::string busnum, devpath, port; };
    for (const PortCase& c : std::vector<PortCase>{{"1\n", "4.2\n", "1-4.2"}, {"3", "1", "3-1"},
                                                   {"12\n", "0\n", "12-0"}, {"", "4", ""},
                                                   {"1", "", ""}, {"x", "4", ""}, {"1", "4..2", ""},
                                                   {"1", "4.", ""}, {"1", "4-2", ""}, {"1", "../4", ""}})
        EXPECT_EQ(usbio::UsbPortPath(c.busnum, c.devpath), c.port) << c.busnum << " " << c.devpath;

    struct SerialCase { std::string text, serial; };
    for (const SerialCase& c : std::vector<SerialCase>{{"KS0001\n", "KS0001"}, {"", ""},
                                                       {"with space", ""}, {"bad\x01", ""},
                                                       {std::string(127, 'A'), ""}})
        EXPECT_EQ(usbio::CleanSerial(c.text), c.serial) << c.text;

    const char paths[] = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USB(2)\0ACPI(_SB_)#USB(4)\0\0";
    EXPECT_EQ(usbio::FirstMultiSzString(paths, sizeof(paths)), "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USB(2)");
    EXPECT_EQ(usbio::FirstMultiSzString("USB(4)", 6), "USB(4)");  // no NUL in the data
    EXPECT_EQ(usbio::FirstMultiSzString(nullptr, 4), "");

    struct InstanceCase { std::string id; bool usbDevice; std::string serial; };
    for (const InstanceCase& c : std::vector<InstanceCase>{
             {"USB\\VID_2E5B&PID_0011\\KS0001", true, "KS0001"},
             {"usb\\vid_2e5b&pid_0006\\ks0001", true, "ks0001"},
             {"USB\\VID_2E5B&PID_0011\\5&2A3B4C5D&0&2", true, ""},
             {"USB\\VID_2E5B&PID_0011&MI_01\\6&1F2E3D4C&0&0001", false, ""},
             {"HID\\VID_2E5B&PID_0011\\7&38A1B2C3&0&0000", false, ""},
             {"", false, ""}}) {
        EXPECT_EQ(usbio::IsUsbDeviceInstanceId(c.id), c.usbDevice) << c.id;
        EXPECT_EQ(usbio::SerialFromInstanceId(c.id), c.serial) << c.id;
    }
}
