// The Linux backend's sysfs reading: ParseHidUevent and ParseHidUeventIdentity against plain
// oracles, and PeekAttributes and PeekIdentity (no USB device above: the uevent names it) on a
// fake sysfs tree whose uevent and bcdDevice files hold the input. The first input byte says
// how many of the following bytes (0 to 15) are the bcdDevice text; the rest is the uevent text.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzFile.h"
#include "usbio/LinuxHidPlatform.h"

namespace {

namespace fs = std::filesystem;

std::optional<std::uint32_t> HexField(std::string_view s, std::size_t maxDigits) {
    if (s.empty() || s.size() > maxDigits) return std::nullopt;
    std::uint32_t v = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return std::nullopt;
        v = v * 16 + static_cast<std::uint32_t>(d);
    }
    return v;
}

// The first line that starts with HID_ID= decides: three fields split at ':', each 1 to 8 hex
// digits of a value up to 0xFFFF.
std::optional<usbio::HidUeventId> Oracle(std::string_view text) {
    std::vector<std::string_view> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    for (std::string_view line : lines) {
        if (line.rfind("HID_ID=", 0) != 0) continue;
        line.remove_prefix(7);
        std::vector<std::string_view> fields;
        for (std::size_t at = 0;;) {
            const std::size_t colon = line.find(':', at);
            fields.push_back(line.substr(at, colon == std::string_view::npos ? std::string_view::npos : colon - at));
            if (colon == std::string_view::npos) break;
            at = colon + 1;
        }
        if (fields.size() != 3) return std::nullopt;
        std::uint32_t v[3];
        for (int i = 0; i < 3; ++i) {
            const auto f = HexField(fields[static_cast<std::size_t>(i)], 8);
            if (!f || *f > 0xFFFF) return std::nullopt;
            v[i] = *f;
        }
        return usbio::HidUeventId{static_cast<std::uint16_t>(v[0]), static_cast<std::uint16_t>(v[1]),
                                  static_cast<std::uint16_t>(v[2])};
    }
    return std::nullopt;
}

// The value of the first line that starts with key, kept when it is at most 126 characters from
// '!' to '~' once the carriage returns at its end are dropped, for HID_PHYS also a last "/input"
// with digits (and the carriage returns then at its end).
std::string IdentityOracle(std::string_view text, std::string_view key) {
    const auto dropReturns = [](std::string_view& s) {
        while (!s.empty() && s.back() == '\r') s.remove_suffix(1);
    };
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        if (line.rfind(key, 0) != 0) continue;
        line.remove_prefix(key.size());
        dropReturns(line);
        if (key == "HID_PHYS=") {
            std::size_t digits = 0;
            while (digits < line.size() && line[line.size() - 1 - digits] >= '0' && line[line.size() - 1 - digits] <= '9')
                ++digits;
            const std::string_view head = line.substr(0, line.size() - digits);
            if (digits > 0 && head.size() >= 6 && head.substr(head.size() - 6) == "/input") {
                line = head.substr(0, head.size() - 6);
                dropReturns(line);
            }
        }
        if (line.size() > 126) return {};
        for (char c : line)
            if (c < '!' || c > '~') return {};
        return std::string(line);
    }
    return {};
}

// sys/class/hidraw/hidraw0 -> the node below the HID device, two folders below the USB device.
const fs::path& FakeSys() {
    static const fs::path sys = [] {
        const fs::path root = fuzzsupport::ScratchFolder() / "sys";
        const fs::path usb = root / "devices" / "usb", hid = usb / "1.1" / "hid", node = hid / "hidraw" / "hidraw0";
        fs::create_directories(node);
        fs::create_directory_symlink(fs::path("..") / "..", node / "device");
        fs::create_directories(root / "class" / "hidraw");
        fs::create_directory_symlink(node, root / "class" / "hidraw" / "hidraw0");
        return root;
    }();
    return sys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t bcdSize = std::min<std::size_t>(data[0] & 15, size - 1);
    const std::string_view bcd(reinterpret_cast<const char*>(data + 1), bcdSize);
    const std::string_view uevent(reinterpret_cast<const char*>(data + 1 + bcdSize), size - 1 - bcdSize);

    const auto id = usbio::ParseHidUevent(uevent);
    const auto want = Oracle(uevent);
    if (id.has_value() != want.has_value()) std::abort();
    if (id && (id->Bus != want->Bus || id->VendorID != want->VendorID || id->ProductID != want->ProductID))
        std::abort();

    const usbio::DeviceIdentity wantIdentity{IdentityOracle(uevent, "HID_PHYS="), IdentityOracle(uevent, "HID_UNIQ=")};
    if (usbio::ParseHidUeventIdentity(uevent) != wantIdentity) std::abort();

    if (uevent.size() > 64 * 1024) return 0;  // the backend reads no more of a sysfs file
    const fs::path& sys = FakeSys();
    fuzzsupport::WriteScratch("sys/devices/usb/1.1/hid/uevent", data + 1 + bcdSize, uevent.size());
    fuzzsupport::WriteScratch("sys/devices/usb/bcdDevice", data + 1, bcdSize);
    usbio::LinuxHidPlatform platform(sys, "/nonexistent-dev");
    if (platform.PeekIdentity("/nonexistent-dev/hidraw0") != wantIdentity) std::abort();
    const auto peek = platform.PeekAttributes("/nonexistent-dev/hidraw0");
    if (peek.has_value() != want.has_value()) std::abort();
    if (peek) {
        std::uint16_t version = 0;
        if (want->Bus == 3) {
            std::string_view text = bcd;
            if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
            if (const auto v = HexField(text, 4)) version = static_cast<std::uint16_t>(*v);
        }
        if (peek->VendorID != want->VendorID || peek->ProductID != want->ProductID || peek->VersionNumber != version)
            std::abort();
    }
    return 0;
}
