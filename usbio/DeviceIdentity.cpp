#include "usbio/DeviceIdentity.h"

#include <algorithm>
#include <cctype>

namespace usbio {

namespace {

std::string_view WithoutLineEnd(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

bool IsDigits(std::string_view text) {
    return !text.empty() && text.size() <= 5 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string UsbPortPath(std::string_view busnum, std::string_view devpath) {
    busnum = WithoutLineEnd(busnum);
    devpath = WithoutLineEnd(devpath);
    if (!IsDigits(busnum) || devpath.empty() || devpath.size() > 64) return {};
    for (std::string_view rest = devpath;;) {
        const std::size_t dot = rest.find('.');
        if (!IsDigits(rest.substr(0, dot))) return {};
        if (dot == std::string_view::npos) break;
        rest.remove_prefix(dot + 1);
    }
    return std::string(busnum) + "-" + std::string(devpath);
}

std::string CleanSerial(std::string_view text) {
    text = WithoutLineEnd(text);
    if (text.size() > 126) return {};
    if (!std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 0x7F; })) return {};
    return std::string(text);
}

std::string FirstMultiSzString(const char* data, std::size_t length) {
    if (!data) return {};
    return std::string(data, std::find(data, data + length, '\0'));
}

bool IsUsbDeviceInstanceId(std::string_view instanceId) {
    std::string upper(instanceId);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return upper.rfind("USB\\", 0) == 0 && upper.find("&MI_") == std::string::npos;
}

std::string SerialFromInstanceId(std::string_view instanceId) {
    const std::size_t slash = instanceId.rfind('\\');
    if (slash == std::string_view::npos) return {};
    const std::string_view last = instanceId.substr(slash + 1);
    if (last.find('&') != std::string_view::npos) return {};
    return CleanSerial(last);
}

}  // namespace usbio
