#include "usbio/ReportDescriptor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using usbio::ParseReportDescriptor;
using usbio::ReportDescriptorInfo;
using Bytes = std::vector<std::uint8_t>;

ReportDescriptorInfo Parse(const Bytes& bytes) {
    return ParseReportDescriptor(bytes.data(), bytes.size());
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// A keyboard in the boot layout: 8 modifier bits, a reserved byte and six key codes in; five LED
// bits and three padding bits out; no feature report.
const Bytes BootKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01,              // Generic Desktop, Keyboard, Application
    0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00,  // modifiers
    0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02,  //
    0x95, 0x01, 0x75, 0x08, 0x81, 0x01,              // reserved byte
    0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01,  // LEDs
    0x29, 0x05, 0x91, 0x02,                          //
    0x95, 0x01, 0x75, 0x03, 0x91, 0x01,              // LED padding
    0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65,  // key array
    0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00,  //
    0xC0,
};

// The keyboard's upload interface: one vendor-defined feature report of 131 bytes, no report ID.
const Bytes VendorFeature131 = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x01, 0x15, 0x00,
                                0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x83, 0xB1, 0x02, 0xC0};

// Several numbered reports of different sizes.
const Bytes NumberedReports = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,        //
    0x75, 0x08, 0x15, 0x00, 0x26, 0xFF, 0x00,        //
    0x85, 0x01, 0x95, 0x07, 0x09, 0x01, 0xB1, 0x02,  // ID 1: 7 feature bytes
    0x85, 0x02, 0x95, 0x3F, 0x09, 0x02, 0xB1, 0x02,  // ID 2: 63 feature bytes
    0x85, 0x03, 0x95, 0x10, 0x09, 0x03, 0xB1, 0x02,  // ID 3: 16 feature bytes
    0x85, 0x04, 0x95, 0x20, 0x09, 0x04, 0x81, 0x02,  // ID 4: 32 input bytes
    0x85, 0x05, 0x95, 0x02, 0x09, 0x05, 0x91, 0x02,  // ID 5: 2 output bytes
    0xC0,
};

struct DescriptorCase {
    const char* Name;
    Bytes Descriptor;
    std::uint16_t Feature;
    std::uint16_t Input;
    std::uint16_t Output;
    std::uint16_t UsagePage;
    std::uint16_t Usage;
    bool UsesReportIds;
    bool Truncated;
};

void PrintTo(const DescriptorCase& c, std::ostream* os) { *os << c.Name; }

class ParseReportDescriptorTable : public ::testing::TestWithParam<DescriptorCase> {};

TEST_P(ParseReportDescriptorTable, GivesLengthsAndUsage) {
    const DescriptorCase& c = GetParam();
    const ReportDescriptorInfo info = Parse(c.Descriptor);
    EXPECT_EQ(info.FeatureReportByteLength, c.Feature);
    EXPECT_EQ(info.InputReportByteLength, c.Input);
    EXPECT_EQ(info.OutputReportByteLength, c.Output);
    EXPECT_EQ(info.UsagePage, c.UsagePage);
    EXPECT_EQ(info.Usage, c.Usage);
    EXPECT_EQ(info.UsesReportIds, c.UsesReportIds);
    EXPECT_EQ(info.Truncated, c.Truncated);
}

// Prefix of a vendor collection (page 0xFF00, usage 1) with 8-bit fields.
const Bytes VendorOpen = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08};

const DescriptorCase DescriptorCases[] = {
    {"Empty", {}, 0, 0, 0, 0, 0, false, false},
    {"BootKeyboardHasNoFeatureReport", BootKeyboard, 0, 9, 2, 0x01, 0x06, false, false},
    {"VendorFeatureWithoutReportIdGetsIdByte", VendorFeature131, 132, 0, 0, 0xFF00, 0x01, false,
     false},
    {"LongestNumberedReportWins", NumberedReports, 64, 33, 3, 0xFF00, 0x01, true, false},
    {"BitsRoundUpToWholeBytes",
     Join({VendorOpen, {0x75, 0x01, 0x95, 0x0B, 0xB1, 0x02, 0xC0}}), 3, 0, 0, 0xFF00, 1, false,
     false},
    {"ItemsOfOneReportAddUp",
     Join({VendorOpen,
           {0x85, 0x07, 0x75, 0x01, 0x95, 0x03, 0xB1, 0x02, 0x75, 0x05, 0x95, 0x01, 0xB1, 0x03,
            0x75, 0x08, 0x95, 0x04, 0xB1, 0x02, 0xC0}}),
     6, 0, 0, 0xFF00, 1, true, false},
    {"NumberedInputOnlyHasNoFeature",
     Join({VendorOpen, {0x85, 0x01, 0x95, 0x10, 0x81, 0x02, 0xC0}}), 0, 17, 0, 0xFF00, 1, true,
     false},
    {"ZeroSizedFeatureStillExists", Join({VendorOpen, {0x95, 0x00, 0xB1, 0x02, 0xC0}}), 1, 0, 0,
     0xFF00, 1, false, false},
    {"TwoByteReportCount", Join({VendorOpen, {0x96, 0x00, 0x01, 0xB1, 0x02, 0xC0}}), 257, 0, 0,
     0xFF00, 1, false, false},
    {"FourByteItems",
     Join({VendorOpen, {0x97, 0x83, 0x00, 0x00, 0x00, 0xB3, 0x02, 0x00, 0x00, 0x00, 0xC0}}), 132,
     0, 0, 0xFF00, 1, false, false},
    {"PopRestoresReportCount",
     Join({VendorOpen, {0x95, 0x04, 0xA4, 0x95, 0x40, 0xB1, 0x02, 0xB4, 0xB1, 0x02, 0xC0}}), 69,
     0, 0, 0xFF00, 1, false, false},
    {"PopRestoresReportId",
     Join({VendorOpen,
           {0x85, 0x01, 0x95, 0x02, 0xA4, 0x85, 0x02, 0x95, 0x10, 0xB1, 0x02, 0xB4, 0xB1, 0x02,
            0xC0}}),
     17, 0, 0, 0xFF00, 1, true, false},
    {"PopOnEmptyStackIsIgnored",
     Join({{0xB4, 0xB4}, VendorOpen, {0xB4, 0x95, 0x05, 0xB4, 0xB1, 0x02, 0xC0}}), 6, 0, 0, 0xFF00,
     1, false, false},
    {"LongItemIsSkippedByItsLength",
     Join({VendorOpen,
           {0x95, 0x02, 0xFE, 0x03, 0x10, 0xB1, 0xB1, 0xB1, 0xFE, 0x00, 0x20, 0x95, 0x83, 0xB1,
            0x02, 0xC0}}),
     132, 0, 0, 0xFF00, 1, false, false},
    {"LongItemOfMaximumSize",
     [] {
         Bytes d = VendorOpen;
         d.insert(d.end(), {0x95, 0x01, 0xFE, 0xFF, 0x10});
         d.insert(d.end(), 255, 0xB1);
         d.insert(d.end(), {0x95, 0x02, 0xB1, 0x02, 0xC0});
         return d;
     }(),
     3, 0, 0, 0xFF00, 1, false, false},
    {"ReservedItemTypeIsSkipped",
     Join({VendorOpen, {0x0D, 0xB1, 0x3E, 0x95, 0x83, 0x95, 0x02, 0xB1, 0x02, 0xC0}}), 3, 0, 0,
     0xFF00, 1, false, false},
    {"ExtendedUsageCarriesItsPage", {0x05, 0x01, 0x0B, 0x01, 0x00, 0x00, 0xFF, 0xA1, 0x01, 0xC0},
     0, 0, 0, 0xFF00, 0x01, false, false},
    {"UsagePageInEffectAtTheCollection", {0x09, 0x06, 0x05, 0x01, 0xA1, 0x01, 0xC0}, 0, 0, 0, 0x01,
     0x06, false, false},
    {"FirstUsageNamesTheCollection", {0x05, 0x01, 0x09, 0x06, 0x09, 0x02, 0xA1, 0x01, 0xC0}, 0, 0,
     0, 0x01, 0x06, false, false},
    {"UsageMinimumWhenNoUsage", {0x05, 0x0C, 0x19, 0x01, 0x29, 0x05, 0xA1, 0x01, 0xC0}, 0, 0, 0,
     0x0C, 0x01, false, false},
    {"FirstTopLevelCollectionWins",
     {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0xC0, 0xC0, 0x05, 0x0C, 0x09,
      0x01, 0xA1, 0x01, 0xC0},
     0, 0, 0, 0x01, 0x02, false, false},
    {"UsageDoesNotOutliveItsMainItem",
     {0x05, 0x01, 0x09, 0x06, 0x81, 0x01, 0xA1, 0x01, 0xC0}, 0, 1, 0, 0x01, 0x00, false, false},
    {"StrayEndCollectionIsIgnored", {0xC0, 0xC0, 0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0xC0}, 0, 0,
     0, 0x01, 0x06, false, false},
    {"ReportsOfAllCollectionsCount",
     Join({BootKeyboard, {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x83, 0xB1,
                          0x02, 0xC0}}),
     132, 9, 2, 0x01, 0x06, false, false},
    {"ShortItemCutShort",
     Join({VendorOpen, {0x95, 0x83, 0xB1, 0x02, 0x26, 0xFF}}), 132, 0, 0, 0xFF00, 1, false, true},
    {"LongItemCutShort", Join({VendorOpen, {0x95, 0x03, 0xB1, 0x02, 0xFE, 0x05, 0x10, 0xAA}}), 4,
     0, 0, 0xFF00, 1, false, true},
    {"LongItemHeaderCutShort", Join({VendorOpen, {0x95, 0x03, 0xB1, 0x02, 0xFE, 0x05}}), 4, 0, 0,
     0xFF00, 1, false, true},
    // 65534 data bytes plus the ID byte is the largest length that fits.
    {"LargestLengthThatFits", Join({VendorOpen, {0x96, 0xFE, 0xFF, 0xB1, 0x02, 0xC0}}), 65535, 0,
     0, 0xFF00, 1, false, false},
    {"OneByteMoreIsClamped", Join({VendorOpen, {0x96, 0xFF, 0xFF, 0xB1, 0x02, 0xC0}}), 65535, 0, 0,
     0xFF00, 1, false, false},
    {"HugeReportCountIsClamped",
     {0x75, 0x20, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0xB1, 0x02, 0x81, 0x02}, 65535, 65535, 0, 0, 0,
     false, false},
    {"BitSumBeyond64BitsIsClamped",
     {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0xB1, 0x02, 0xB1, 0x02, 0xB1,
      0x02},
     65535, 0, 0, 0, 0, false, false},
    {"ReportIdAbove255IsKeptApart",
     Join({VendorOpen,
           {0x87, 0x01, 0x01, 0x00, 0x00, 0x95, 0x04, 0xB1, 0x02, 0x85, 0x01, 0x95, 0x02, 0xB1,
            0x02, 0xC0}}),
     5, 0, 0, 0xFF00, 1, true, false},
};

INSTANTIATE_TEST_SUITE_P(Descriptors, ParseReportDescriptorTable,
                         ::testing::ValuesIn(DescriptorCases),
                         [](const ::testing::TestParamInfo<DescriptorCase>& info) {
                             return std::string(info.param.Name);
                         });

TEST(ParseReportDescriptor, NullDataReadsAsEmpty) {
    const ReportDescriptorInfo info = ParseReportDescriptor(nullptr, 100);
    EXPECT_EQ(info.FeatureReportByteLength, 0);
    EXPECT_EQ(info.InputReportByteLength, 0);
    EXPECT_EQ(info.OutputReportByteLength, 0);
    EXPECT_FALSE(info.Truncated);
}

// Pushes beyond the kept depth still pair with their pops: after as many pops as pushes the state
// is the one before the first push.
TEST(ParseReportDescriptor, DeepPushesBalanceWithTheirPops) {
    for (int pushes : {1, 31, 32, 33, 40, 1000}) {
        Bytes d = {0x75, 0x08, 0x95, 0x02};
        for (int i = 0; i < pushes; ++i) d.insert(d.end(), {0xA4, 0x95, 0x7F});
        for (int i = 0; i < pushes; ++i) d.push_back(0xB4);
        d.insert(d.end(), {0xB1, 0x02});
        EXPECT_EQ(Parse(d).FeatureReportByteLength, 3) << pushes << " pushes";
    }
}

// Each pop restores the state of its own push, also when deeper pushes were not kept: with 40
// pushes, the pops of the 32 kept ones still bring back their states in order.
TEST(ParseReportDescriptor, PopsMatchTheirOwnPushesBeyondTheKeptDepth) {
    constexpr int Pushes = 40;
    for (int pops = Pushes - 32 + 1; pops <= Pushes; ++pops) {
        Bytes d = {0x75, 0x08};
        for (int level = 1; level <= Pushes; ++level)
            d.insert(d.end(), {0x95, static_cast<std::uint8_t>(level), 0xA4});
        d.insert(d.end(), {0x95, Pushes + 1});
        for (int i = 0; i < pops; ++i) d.push_back(0xB4);
        d.insert(d.end(), {0xB1, 0x02});
        // The pop that matches push k restores the count set just before it: k.
        const int count = Pushes + 1 - pops;
        EXPECT_EQ(Parse(d).FeatureReportByteLength, count + 1) << pops << " pops";
    }
}

// A descriptor built of items of every shape. Cut after any byte, the parser keeps exactly what
// the whole items before the cut say, and reports the cut when it falls inside an item.
TEST(ParseReportDescriptor, CutAtEveryByteKeepsTheWholeItemsBefore) {
    const std::vector<Bytes> items = {
        {0x06, 0x00, 0xFF},              // Usage Page, 2 bytes
        {0x0B, 0x01, 0x00, 0x00, 0xFF},  // Usage, 4 bytes
        {0xA1, 0x01},                    // Collection
        {0x85, 0x02},                    // Report ID
        {0x75, 0x08},                    // Report Size
        {0x96, 0x83, 0x00},              // Report Count, 2 bytes
        {0xA4},                          // Push
        {0xFE, 0x02, 0x10, 0xB1, 0x02},  // long item
        {0x97, 0x10, 0x00, 0x00, 0x00},  // Report Count, 4 bytes
        {0x81, 0x02},                    // Input
        {0xB4},                          // Pop
        {0xB1, 0x02},                    // Feature
        {0x91, 0x02},                    // Output
        {0xC0},                          // End Collection
    };
    Bytes whole;
    std::vector<std::size_t> boundaries = {0};
    for (const Bytes& item : items) {
        whole.insert(whole.end(), item.begin(), item.end());
        boundaries.push_back(whole.size());
    }
    const ReportDescriptorInfo full = Parse(whole);
    ASSERT_EQ(full.FeatureReportByteLength, 132);
    ASSERT_EQ(full.InputReportByteLength, 17);
    ASSERT_EQ(full.OutputReportByteLength, 132);

    std::size_t lastBoundary = 0;
    for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
        bool onBoundary = false;
        for (std::size_t b : boundaries) {
            if (b == cut) onBoundary = true;
            if (b <= cut) lastBoundary = b;
        }
        // A buffer of exactly `cut` bytes, so that a read past it is caught by the sanitizers.
        const Bytes prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
        const Bytes complete(whole.begin(),
                             whole.begin() + static_cast<std::ptrdiff_t>(lastBoundary));
        const ReportDescriptorInfo got = Parse(prefix);
        const ReportDescriptorInfo expected = Parse(complete);
        SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
        EXPECT_EQ(got.Truncated, !onBoundary);
        EXPECT_FALSE(expected.Truncated);
        EXPECT_EQ(got.FeatureReportByteLength, expected.FeatureReportByteLength);
        EXPECT_EQ(got.InputReportByteLength, expected.InputReportByteLength);
        EXPECT_EQ(got.OutputReportByteLength, expected.OutputReportByteLength);
        EXPECT_EQ(got.UsagePage, expected.UsagePage);
        EXPECT_EQ(got.Usage, expected.Usage);
        EXPECT_EQ(got.UsesReportIds, expected.UsesReportIds);
    }
}

TEST(ParseReportDescriptor, CutAtEveryByteOfRealDescriptorsIsSafe) {
    for (const Bytes* descriptor : {&BootKeyboard, &VendorFeature131, &NumberedReports}) {
        for (std::size_t cut = 0; cut <= descriptor->size(); ++cut) {
            const Bytes prefix(descriptor->begin(),
                               descriptor->begin() + static_cast<std::ptrdiff_t>(cut));
            const ReportDescriptorInfo info = Parse(prefix);
            // Lengths only grow as more of the descriptor is seen.
            const ReportDescriptorInfo whole = Parse(*descriptor);
            EXPECT_LE(info.FeatureReportByteLength, whole.FeatureReportByteLength);
            EXPECT_LE(info.InputReportByteLength, whole.InputReportByteLength);
            EXPECT_LE(info.OutputReportByteLength, whole.OutputReportByteLength);
        }
    }
}

// Random bytes of random lengths: the parser must stay inside the buffer (run under the
// sanitizers) and give plausible values.
TEST(ParseReportDescriptor, RandomBytesAreSafe) {
    std::mt19937 random(20240611u);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<std::size_t> length(0, 300);
    for (int round = 0; round < 3000; ++round) {
        Bytes d(length(random));
        for (auto& b : d) b = static_cast<std::uint8_t>(byte(random));
        const ReportDescriptorInfo info = Parse(d);
        // The same bytes give the same answer: nothing depends on memory outside the buffer.
        const ReportDescriptorInfo again = Parse(Bytes(d));
        EXPECT_EQ(info.FeatureReportByteLength, again.FeatureReportByteLength);
        EXPECT_EQ(info.InputReportByteLength, again.InputReportByteLength);
        EXPECT_EQ(info.Truncated, again.Truncated);
    }
}

}  // namespace
