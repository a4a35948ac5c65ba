#include "usbio/ReportDescriptor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

using usbio::ReportDescriptorInfo;
using Bytes = std::vector<std::uint8_t>;

ReportDescriptorInfo Parse(const Bytes& bytes) {
    return usbio::ParseReportDescriptor(bytes.data(), bytes.size());
}

// Every field, so that one comparison checks them all and a failure prints them all.
auto Fields(const ReportDescriptorInfo& i) {
    return std::tuple(i.FeatureReportByteLength, i.InputReportByteLength, i.OutputReportByteLength,
                      i.UsagePage, i.Usage, i.UsesReportIds, i.Truncated);
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// A keyboard in the boot layout: 8 modifier bits, a reserved byte and six key codes in; five LED
// bits and three padding bits out; no feature report.
const Bytes BootKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01,                                    // Keyboard collection
    0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01,  // modifiers
    0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01,              // and reserved byte
    0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02,  // LEDs
    0x95, 0x01, 0x75, 0x03, 0x91, 0x01,                                    // and padding
    0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00,  // key array
    0x29, 0x65, 0x81, 0x00, 0xC0,                                          //
};

// The keyboard's upload interface: one vendor-defined feature report of 131 bytes, no report ID.
const Bytes VendorFeature131 = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x01, 0x15, 0x00,
                                0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x83, 0xB1, 0x02, 0xC0};

// Prefix of a vendor collection (page 0xFF00, usage 1) with 8-bit fields.
const Bytes VendorOpen = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08};

// Several numbered reports of different sizes in a vendor collection.
const Bytes NumberedReports = Join({VendorOpen, {
    0x85, 0x01, 0x95, 0x07, 0x09, 0x01, 0xB1, 0x02,  // ID 1: 7 feature bytes
    0x85, 0x02, 0x95, 0x3F, 0x09, 0x02, 0xB1, 0x02,  // ID 2: 63 feature bytes
    0x85, 0x03, 0x95, 0x10, 0x09, 0x03, 0xB1, 0x02,  // ID 3: 16 feature bytes
    0x85, 0x04, 0x95, 0x20, 0x09, 0x04, 0x81, 0x02,  // ID 4: 32 input bytes
    0x85, 0x05, 0x95, 0x02, 0x09, 0x05, 0x91, 0x02,  // ID 5: 2 output bytes
    0xC0}});

struct DescriptorCase {
    const char* Name;
    Bytes Descriptor;
    ReportDescriptorInfo Expected;  // feature, input, output, usage page, usage, report IDs
};

// Lengths count the report-ID byte, also when the device numbers no reports.
const DescriptorCase DescriptorCases[] = {
    {"Empty", {}, {}},
    {"BootKeyboard", BootKeyboard, {0, 9, 2, 0x01, 0x06}},
    {"VendorFeature", VendorFeature131, {132, 0, 0, 0xFF00, 0x01}},
    {"LongestNumberedReportWins", NumberedReports, {64, 33, 3, 0xFF00, 0x01, true}},
    {"ReportsOfAllCollectionsCount", Join({BootKeyboard, VendorOpen, {0x95, 0x83, 0xB1, 0x02}}),
     {132, 9, 2, 0x01, 0x06}},
    // 3 + 4 + 32 bits: whole bytes for the sum, not for each item.
    {"BitsOfOneReportAddUpAndRoundUp",
     Join({VendorOpen, {0x85, 0x07, 0x75, 0x01, 0x95, 0x03, 0xB1, 0x02, 0x75, 0x04, 0x95, 0x01,
                        0xB1, 0x03, 0x75, 0x08, 0x95, 0x04, 0xB1, 0x02}}),
     {6, 0, 0, 0xFF00, 1, true}},
    {"ZeroSizedFeatureCounts", Join({VendorOpen, {0x95, 0x00, 0xB1, 0x02}}), {1, 0, 0, 0xFF00, 1}},
    {"ReportIdAbove255IsKeptApart",
     Join({VendorOpen, {0x87, 0x01, 0x01, 0x00, 0x00, 0x95, 0x04, 0xB1, 0x02, 0x85, 0x01, 0x95,
                        0x02, 0xB1, 0x02}}),
     {5, 0, 0, 0xFF00, 1, true}},
    {"PopRestoresReportIdAndCount",
     Join({VendorOpen, {0x85, 0x01, 0x95, 0x02, 0xA4, 0x85, 0x02, 0x95, 0x10, 0xB1, 0x02, 0xB4,
                        0xB1, 0x02}}),
     {17, 0, 0, 0xFF00, 1, true}},
    {"PopWithoutPushIsIgnored",
     Join({{0xB4, 0xB4}, VendorOpen, {0xB4, 0x95, 0x05, 0xB4, 0xB1, 0x02}}), {6, 0, 0, 0xFF00, 1}},
    {"LongItemIsSkippedByItsLength",
     Join({VendorOpen, {0x95, 0x02, 0xFE, 0x03, 0x10, 0xB1, 0xB1, 0xB1, 0xFE, 0x00, 0x20, 0x95,
                        0x83, 0xB1, 0x02}}),
     {132, 0, 0, 0xFF00, 1}},
    {"LongItemOfMaximumSize",
     Join({VendorOpen, {0x95, 0x01, 0xFE, 0xFF, 0x10}, Bytes(255, 0xB1), {0x95, 0x02, 0xB1, 0x02}}),
     {3, 0, 0, 0xFF00, 1}},
    {"ReservedItemTypeIsSkipped",
     Join({VendorOpen, {0x0D, 0xB1, 0x3E, 0x95, 0x83, 0x95, 0x02, 0xB1, 0x02}}),
     {3, 0, 0, 0xFF00, 1}},
    {"ExtendedUsageCarriesItsPage", {0x05, 0x01, 0x0B, 0x01, 0x00, 0x00, 0xFF, 0xA1, 0x01},
     {0, 0, 0, 0xFF00, 0x01}},
    {"PageInEffectAtTheCollection", {0x09, 0x06, 0x05, 0x01, 0xA1, 0x01}, {0, 0, 0, 1, 6}},
    {"FirstUsageNamesTheCollection", {0x05, 0x01, 0x09, 0x06, 0x09, 0x02, 0xA1, 0x01},
     {0, 0, 0, 1, 6}},
    {"UsageMinimumWhenNoUsage", {0x05, 0x0C, 0x19, 0x01, 0x29, 0x05, 0xA1, 0x01},
     {0, 0, 0, 0x0C, 1}},
    {"FirstTopLevelCollectionWins",
     {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0xC0, 0xC0, 0x05, 0x0C, 0x09,
      0x01, 0xA1, 0x01},
     {0, 0, 0, 1, 2}},
    {"UsageEndsWithItsMainItem", {0x05, 0x01, 0x09, 0x06, 0x81, 0x01, 0xA1, 0x01},
     {0, 1, 0, 1, 0}},
    {"StrayEndCollectionIsIgnored", {0xC0, 0xC0, 0x05, 0x01, 0x09, 0x06, 0xA1, 0x01},
     {0, 0, 0, 1, 6}},
    // 65534 data bytes plus the ID byte is the largest length that fits; beyond it, clamped.
    {"LargestLength", Join({VendorOpen, {0x96, 0xFE, 0xFF, 0xB1, 0x02}}), {65535, 0, 0, 0xFF00, 1}},
    {"OneByteMoreIsClamped", Join({VendorOpen, {0x96, 0xFF, 0xFF, 0xB1, 0x02}}),
     {65535, 0, 0, 0xFF00, 1}},
    {"HugeCountIsClamped", {0x75, 0x20, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0xB1, 0x02, 0x81, 0x02},
     {65535, 65535}},
    // (2^32 - 1)^2 bits, then 2^33 more: the sum passes 2^64 by one and must not wrap to 1.
    {"BitSumBeyond64BitsIsClamped",
     {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0xB1, 0x02, 0x77, 0x00, 0x00,
      0x00, 0x80, 0x97, 0x04, 0x00, 0x00, 0x00, 0xB1, 0x02},
     {65535}},
};

void PrintTo(const DescriptorCase& c, std::ostream* os) { *os << c.Name; }

class ParseReportDescriptorTable : public ::testing::TestWithParam<DescriptorCase> {};

TEST_P(ParseReportDescriptorTable, GivesLengthsAndUsage) {
    EXPECT_EQ(Fields(Parse(GetParam().Descriptor)), Fields(GetParam().Expected));
}

INSTANTIATE_TEST_SUITE_P(Descriptors, ParseReportDescriptorTable,
                         ::testing::ValuesIn(DescriptorCases),
                         [](const auto& info) { return std::string(info.param.Name); });

// Pushes beyond the kept depth are counted, so that every pop still matches its own push: the pop
// of a kept push brings back the state of that push, however deep the pushes went.
TEST(ParseReportDescriptor, PopsMatchTheirOwnPushesBeyondTheKeptDepth) {
    for (int pushes : {1, 31, 32, 33, 40, 1000}) {
        for (int pops = std::max(1, pushes - 31); pops <= pushes; ++pops) {
            Bytes d = {0x75, 0x08};
            for (int k = 1; k <= pushes; ++k)  // count k, push k
                d.insert(d.end(), {0x95, static_cast<std::uint8_t>(std::min(k, 255)), 0xA4});
            d.insert(d.end(), {0x95, 0xC8});  // count 200 after the last push
            d.insert(d.end(), static_cast<std::size_t>(pops), 0xB4);
            d.insert(d.end(), {0xB1, 0x02});
            // The pop that matches push k restores count k; the ID byte comes on top.
            EXPECT_EQ(Parse(d).FeatureReportByteLength, pushes + 1 - pops + 1)
                << pushes << " pushes, " << pops << " pops";
        }
    }
}

// A descriptor built of items of every shape. Cut after any byte, the parser keeps exactly what
// the whole items before the cut say, and reports the cut when it falls inside an item.
TEST(ParseReportDescriptor, CutAtEveryByteKeepsTheWholeItemsBefore) {
    const std::vector<Bytes> items = {
        {0x06, 0x00, 0xFF}, {0x0B, 0x01, 0x00, 0x00, 0xFF},  // Usage Page (2 bytes), Usage (4)
        {0xA1, 0x01}, {0x85, 0x02}, {0x75, 0x08},            // Collection, Report ID and Size
        {0x96, 0x83, 0x00}, {0xA4},                          // Report Count (2 bytes), Push
        {0xFE, 0x02, 0x10, 0xB1, 0x02},                      // long item
        {0x97, 0x10, 0x00, 0x00, 0x00}, {0x81, 0x02},        // Report Count (4 bytes), Input
        {0xB4}, {0xB1, 0x02}, {0x91, 0x02}, {0xC0},          // Pop, Feature, Output, End
    };
    Bytes whole;
    for (const Bytes& item : items) {
        ReportDescriptorInfo complete = Parse(whole);
        for (std::size_t used = 1; used < item.size(); ++used) {
            // A buffer of exactly the cut's length, so that a read past it is caught by the
            // sanitizers.
            Bytes cut = whole;
            cut.insert(cut.end(), item.begin(), item.begin() + static_cast<std::ptrdiff_t>(used));
            complete.Truncated = true;
            EXPECT_EQ(Fields(Parse(cut)), Fields(complete)) << "cut after " << cut.size();
        }
        whole.insert(whole.end(), item.begin(), item.end());
        EXPECT_FALSE(Parse(whole).Truncated) << whole.size();
    }
    EXPECT_EQ(Fields(Parse(whole)), Fields({132, 17, 132, 0xFF00, 0x0001, true, false}));
}

// Random bytes of random lengths: the parser must stay inside the buffer (run under the
// sanitizers), and the same bytes give the same answer: nothing depends on memory outside them.
TEST(ParseReportDescriptor, RandomBytesAreSafe) {
    std::mt19937 random(20240611u);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<std::size_t> length(0, 300);
    EXPECT_EQ(Fields(usbio::ParseReportDescriptor(nullptr, 100)), Fields({}));
    for (int round = 0; round < 3000; ++round) {
        Bytes d(length(random));
        for (auto& b : d) b = static_cast<std::uint8_t>(byte(random));
        EXPECT_EQ(Fields(Parse(d)), Fields(Parse(Bytes(d))));
    }
}

}  // namespace
