#pragma once
// Reading a HID report descriptor far enough to learn the report lengths and the usage of the
// first top-level collection: what the Linux backend needs to fill HIDP_CAPS. The bytes come from
// the device and are not trusted; nothing here reads outside the given range.
#include <cstddef>
#include <cstdint>

namespace usbio {

struct ReportDescriptorInfo {
    // Longest report of each kind in bytes, counted as the Windows HID library does: the data
    // bits of one report ID rounded up to whole bytes, plus one byte for the report ID (also when
    // the device numbers no reports). 0 when there is no report of that kind; at most 65535.
    std::uint16_t FeatureReportByteLength = 0;
    std::uint16_t InputReportByteLength = 0;
    std::uint16_t OutputReportByteLength = 0;
    // Usage of the first top-level collection; 0 when there is none.
    std::uint16_t UsagePage = 0;
    std::uint16_t Usage = 0;
    bool UsesReportIds = false;  // the descriptor has a Report ID item
    bool Truncated = false;      // the last item ran past the end; what came before is kept
};

ReportDescriptorInfo ParseReportDescriptor(const std::uint8_t* data, std::size_t size);

}  // namespace usbio
