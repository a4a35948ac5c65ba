// The report-descriptor parser on any bytes (a device's descriptor is not to be trusted): it must
// stay inside them and read the same bytes the same way every time.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "usbio/ReportDescriptor.h"

namespace {

bool Same(const usbio::ReportDescriptorInfo& a, const usbio::ReportDescriptorInfo& b) {
    return a.FeatureReportByteLength == b.FeatureReportByteLength &&
           a.InputReportByteLength == b.InputReportByteLength &&
           a.OutputReportByteLength == b.OutputReportByteLength && a.Usage == b.Usage &&
           a.UsagePage == b.UsagePage && a.UsesReportIds == b.UsesReportIds && a.Truncated == b.Truncated;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact copy on the heap: AddressSanitizer then sees a read even one byte past the end.
    const std::vector<std::uint8_t> bytes(data, data + size);
    const usbio::ReportDescriptorInfo info = usbio::ParseReportDescriptor(bytes.data(), bytes.size());
    if (!Same(info, usbio::ParseReportDescriptor(bytes.data(), bytes.size()))) std::abort();
    if (size == 0 && !Same(info, usbio::ReportDescriptorInfo{})) std::abort();
    return 0;
}
