#include "window/MainWindowParts.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <system_error>

#include "window/WindowText.h"

namespace window::detail {

// Paths are UTF-8 text on every platform; std::filesystem takes them as such only through u8.
std::filesystem::path PathOf(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8Of(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

namespace {

bool IsFirmwareName(const std::filesystem::path& path) {
    std::string ext = Utf8Of(path.extension());
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == ".hex" || ext == ".bin" || ext == ".dat";
}

}  // namespace

bool FolderHoldsFirmware(const std::string& folder) {
    std::error_code error;
    for (std::filesystem::directory_iterator it(PathOf(folder), error), end; !error && it != end;
         it.increment(error))
        if (it->is_regular_file(error) && IsFirmwareName(it->path())) return true;
    return false;
}

std::string SampleFirmwareFor(const std::string& programFolder) {
    for (const char* place : {"demo", "../share/kestrune/demo"}) {
        const std::filesystem::path sample = PathOf(programFolder) / place / "kestrune-sample.hex";
        std::error_code error;
        if (std::filesystem::is_regular_file(sample, error)) return Utf8Of(sample.lexically_normal());
    }
    return {};
}

// A file the user names: anything that exists and is not a folder (the reader says what is wrong
// with a file it cannot read).
bool FileExists(const std::string& path) {
    if (path.empty()) return false;
    std::error_code error;
    const auto status = std::filesystem::status(PathOf(path), error);
    return !error && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

// Text from the keyboard, fit for the screen: control characters become '?'.
std::string Printable(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return out;
}

std::string HexAddress(std::int32_t address) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%04X", static_cast<unsigned>(address));
    return buffer;
}

// The status for an upload given up before anything was sent: that the keyboard is as it was,
// first, so that a status bar too narrow for the problem still shows it; then the problem.
std::string RefusedStatus(const std::string& problem) {
    std::string status = Printable(problem);
    if (!status.empty() && status.back() != '.') status += '.';
    return kestrune::Tr(text::NothingWritten) + std::string(status.empty() ? "" : " ") + kestrune::Tr(status.c_str());
}

// The port column's text: the port path, or the serial number where the port cannot be told.
std::string PortText(const usbio::DeviceIdentity& identity) {
    if (!identity.PortPath.empty()) return Printable(identity.PortPath);
    if (!identity.Serial.empty()) return kestrune::Fill(kestrune::Tr(N_("serial %s")), {Printable(identity.Serial)});
    return kestrune::Tr(text::PortUnknown);
}

std::string ModeTextOf(std::int32_t matchedPid) {
    return matchedPid == usbio::UploadModePID ? text::UploadMode : text::NormalMode;
}

}  // namespace window::detail
