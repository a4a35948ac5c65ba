#include "usbio/ReportDescriptor.h"

#include <array>
#include <cstdint>
#include <limits>
#include <map>
#include <vector>

namespace usbio {

namespace {

// Push items nest the global state. Real descriptors use one or two levels; pushes beyond this
// depth are only counted, so that the matching pops still balance, and their state is not kept.
constexpr std::size_t MaxPushDepth = 32;

constexpr std::uint8_t LongItemPrefix = 0xFE;

enum ItemType : unsigned { MainItem = 0, GlobalItem = 1, LocalItem = 2 };

enum MainTag : unsigned {
    InputTag = 0x8,
    OutputTag = 0x9,
    CollectionTag = 0xA,
    FeatureTag = 0xB,
    EndCollectionTag = 0xC,
};

enum GlobalTag : unsigned {
    UsagePageTag = 0x0,
    ReportSizeTag = 0x7,
    ReportIdTag = 0x8,
    ReportCountTag = 0x9,
    PushTag = 0xA,
    PopTag = 0xB,
};

enum LocalTag : unsigned { UsageTag = 0x0, UsageMinimumTag = 0x1 };

enum ReportKind : std::size_t { InputKind = 0, OutputKind = 1, FeatureKind = 2, KindCount = 3 };

struct GlobalState {
    std::uint32_t UsagePage = 0;
    std::uint32_t ReportSize = 0;
    std::uint32_t ReportCount = 0;
    std::uint32_t ReportId = 0;
};

// A Usage (or Usage Minimum) local item. Four data bytes carry the usage page in the upper half.
struct LocalUsage {
    bool Present = false;
    bool Extended = false;
    std::uint32_t Value = 0;
};

struct ReportBits {
    std::array<std::uint64_t, KindCount> Bits{};
    std::array<bool, KindCount> Present{};
};

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    return a > max - b ? max : a + b;
}

// Whole bytes for the data bits plus the report-ID byte, clamped to what HIDP_CAPS can hold.
std::uint16_t ReportByteLength(std::uint64_t bits) {
    const std::uint64_t bytes = bits / 8 + (bits % 8 != 0 ? 1 : 0) + 1;
    return bytes > 0xFFFF ? std::uint16_t{0xFFFF} : static_cast<std::uint16_t>(bytes);
}

}  // namespace

ReportDescriptorInfo ParseReportDescriptor(const std::uint8_t* data, std::size_t size) {
    ReportDescriptorInfo info;
    if (data == nullptr) size = 0;

    GlobalState global;
    std::vector<GlobalState> pushed;
    std::size_t uncountedPushes = 0;  // pushes beyond MaxPushDepth
    LocalUsage usage;
    LocalUsage usageMinimum;
    std::size_t collectionDepth = 0;
    bool sawTopLevelCollection = false;
    std::map<std::uint32_t, ReportBits> reports;

    std::size_t pos = 0;
    while (pos < size) {
        const std::size_t left = size - pos;  // >= 1
        const std::uint8_t prefix = data[pos];

        if (prefix == LongItemPrefix) {
            // Long item: data size, tag, then the data. No long item tags are defined; skip it.
            if (left < 3 || left - 3 < data[pos + 1]) {
                info.Truncated = true;
                break;
            }
            pos += 3 + std::size_t{data[pos + 1]};
            continue;
        }

        static constexpr std::size_t ShortDataSizes[4] = {0, 1, 2, 4};
        const std::size_t dataSize = ShortDataSizes[prefix & 0x3u];
        if (left - 1 < dataSize) {
            info.Truncated = true;
            break;
        }
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < dataSize; ++i)
            value |= std::uint32_t{data[pos + 1 + i]} << (8 * i);
        pos += 1 + dataSize;

        const unsigned type = (prefix >> 2) & 0x3u;
        const unsigned tag = (prefix >> 4) & 0xFu;

        if (type == MainItem) {
            switch (tag) {
            case InputTag:
            case OutputTag:
            case FeatureTag: {
                const ReportKind kind =
                    tag == InputTag ? InputKind : tag == OutputTag ? OutputKind : FeatureKind;
                ReportBits& report = reports[global.ReportId];
                // Both factors are below 2^32, so the product fits in 64 bits.
                const std::uint64_t bits =
                    std::uint64_t{global.ReportSize} * std::uint64_t{global.ReportCount};
                report.Bits[kind] = SaturatingAdd(report.Bits[kind], bits);
                report.Present[kind] = true;
                break;
            }
            case CollectionTag:
                if (collectionDepth == 0 && !sawTopLevelCollection) {
                    sawTopLevelCollection = true;
                    const LocalUsage& named = usage.Present ? usage : usageMinimum;
                    if (named.Present && named.Extended) {
                        info.UsagePage = static_cast<std::uint16_t>(named.Value >> 16);
                        info.Usage = static_cast<std::uint16_t>(named.Value & 0xFFFFu);
                    } else {
                        // A short usage takes the usage page in effect at the collection.
                        info.UsagePage = static_cast<std::uint16_t>(global.UsagePage);
                        info.Usage =
                            named.Present ? static_cast<std::uint16_t>(named.Value) : 0;
                    }
                }
                ++collectionDepth;  // at most one per descriptor byte: cannot overflow
                break;
            case EndCollectionTag:
                if (collectionDepth > 0) --collectionDepth;
                break;
            default:
                break;
            }
            // Local items apply to the next main item only.
            usage = LocalUsage{};
            usageMinimum = LocalUsage{};
        } else if (type == GlobalItem) {
            switch (tag) {
            case UsagePageTag:
                global.UsagePage = value;
                break;
            case ReportSizeTag:
                global.ReportSize = value;
                break;
            case ReportIdTag:
                global.ReportId = value;
                info.UsesReportIds = true;
                break;
            case ReportCountTag:
                global.ReportCount = value;
                break;
            case PushTag:
                if (pushed.size() < MaxPushDepth)
                    pushed.push_back(global);
                else
                    ++uncountedPushes;
                break;
            case PopTag:
                if (uncountedPushes > 0)
                    --uncountedPushes;
                else if (!pushed.empty()) {
                    global = pushed.back();
                    pushed.pop_back();
                }
                // A pop without a push leaves the state as it is.
                break;
            default:
                break;
            }
        } else if (type == LocalItem) {
            LocalUsage* target = tag == UsageTag          ? &usage
                                 : tag == UsageMinimumTag ? &usageMinimum
                                                          : nullptr;
            if (target != nullptr && !target->Present) {
                target->Present = true;
                target->Extended = dataSize == 4;
                target->Value = value;
            }
        }
        // Reserved item types are skipped.
    }

    std::array<std::uint16_t, KindCount> longest{};
    for (const auto& [id, report] : reports) {
        (void)id;
        for (std::size_t kind = 0; kind < KindCount; ++kind) {
            if (!report.Present[kind]) continue;
            const std::uint16_t length = ReportByteLength(report.Bits[kind]);
            if (length > longest[kind]) longest[kind] = length;
        }
    }
    info.InputReportByteLength = longest[InputKind];
    info.OutputReportByteLength = longest[OutputKind];
    info.FeatureReportByteLength = longest[FeatureKind];
    return info;
}

}  // namespace usbio
