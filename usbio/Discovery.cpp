#include "usbio/Discovery.h"

#include "common/Translate.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string_view>
#include <system_error>

#include "common/NumberText.h"
#include "common/PrintableText.h"
#include "common/RegularFile.h"

namespace usbio {

using kestrune::Fill;
using kestrune::Tr;

const std::vector<std::int32_t>& BuiltInProductIds() {
    static const std::vector<std::int32_t> table{10, 17, 11, 12, 13, 14, 8, 6, 19, 18, 23, 8, 24};
    return table;
}

namespace {

bool IsDigitOf(char c, int base) {
    if (base == 8) return c >= '0' && c <= '7';
    if (base == 16) return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    return c >= '0' && c <= '9';
}

// Whether a field starts with a number as the lenient reader takes one (blanks anywhere are
// ignored): decimal digits, possibly after a sign or a decimal point, or &H / &O and a digit.
bool StartsWithNumber(const std::string& field) {
    std::string text;
    for (char c : field)
        if (c != ' ' && c != '\t' && c != '\n') text.push_back(c);
    std::size_t i = 0;
    if (text.size() >= 2 && text[0] == '&') {
        const char radix = text[1];
        const int base = radix == 'H' || radix == 'h' ? 16 : radix == 'O' || radix == 'o' ? 8 : 0;
        return base != 0 && text.size() > 2 && IsDigitOf(text[2], base);
    }
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (i < text.size() && text[i] == '.') ++i;
    return i < text.size() && IsDigitOf(text[i], 10);
}

// Appends the entry of one line, if the line gives one. False with error set when it fails.
bool TakeLine(const std::string& line, std::size_t lineNumber, ProductIdTable& table) {
    if (line.empty() || line[0] == '\'') return true;
    const std::size_t firstComma = line.find(',');
    if (firstComma == std::string::npos) return true;
    const std::size_t secondComma = line.find(',', firstComma + 1);
    const std::string field = line.substr(
        firstComma + 1, secondComma == std::string::npos ? std::string::npos
                                                         : secondComma - firstComma - 1);
    const kestrune::LenientNumber number = kestrune::ReadLenientNumber(field);
    if (!number.ok) {
        table.Error = Fill(Tr("line %s: %s."), {std::to_string(lineNumber), number.error});
        return false;
    }
    if (table.Entries.size() >= MaxProductIdEntries) {
        table.Error = Fill(Tr("line %s: more than %s product IDs."),
                           {std::to_string(lineNumber), std::to_string(MaxProductIdEntries)});
        return false;
    }
    if (!StartsWithNumber(field))
        table.Warnings.push_back(Fill(Tr("line %s: the product ID \"%s\" is not a number; it is read as %s."),
                                      {std::to_string(lineNumber), field, std::to_string(number.value)}));
    table.Entries.push_back(number.value);
    return true;
}

}  // namespace

ProductIdTable LoadProductIdTable(const std::filesystem::path& file) {
    ProductIdTable table;
    table.FilePath = file;
    std::error_code ec;
    if (std::filesystem::exists(file, ec)) {
        kestrune::FileError error = kestrune::FileError::None;
        bool tooLarge = false;
        // Read whole, in one go, and only when it is small: the table is read on every scan.
        const std::optional<std::string> text = kestrune::ReadRegularFile(file, MaxProductIdFileBytes, &error, &tooLarge);
        if (tooLarge) {
            table.Error = Tr("the file is larger than 1 MiB; it is not read.");
        } else if (error == kestrune::FileError::NotRegular || error == kestrune::FileError::Folder) {
            table.Error = Tr("not a regular file; it is not read.");
        } else if (!text) {
            table.Error = error == kestrune::FileError::NotFound ? "" : Tr("the file cannot be read.");
        } else {
            // Lines end at CR, CR LF or LF.
            std::vector<std::string_view> lines;
            const std::string_view all = *text;
            for (std::size_t begin = 0; begin < all.size();) {
                std::size_t end = all.find_first_of("\r\n", begin);
                if (end == std::string_view::npos) end = all.size();
                lines.push_back(all.substr(begin, end - begin));
                if (end < all.size() && all[end] == '\r' && end + 1 < all.size() && all[end + 1] == '\n') ++end;
                begin = end + 1;
            }
            for (std::size_t i = 0; i < lines.size() && table.Error.empty(); ++i) {
                if (lines[i].size() > MaxProductIdLineChars)
                    table.Error = Fill(Tr("line %s is longer than %s characters; the file is not read."),
                                       {std::to_string(i + 1), std::to_string(MaxProductIdLineChars)});
            }
            for (std::size_t i = 0; i < lines.size() && table.Error.empty(); ++i)
                if (!TakeLine(std::string(lines[i]), i + 1, table)) break;
        }
        if (!table.Error.empty()) {
            // UTF-8 on every system: a name outside the ANSI code page must not throw on Windows.
            const std::u8string name = file.filename().u8string();
            table.Error = kestrune::PrintableText(std::string(name.begin(), name.end())) + ", " + table.Error;
        }
    }
    if (table.Entries.empty()) {
        table.Entries = BuiltInProductIds();
        table.From = ProductIdTable::Source::BuiltIn;
    } else {
        table.From = ProductIdTable::Source::File;
    }
    return table;
}

bool ProductIdMatchesEntry(std::int16_t productId, std::int32_t entry) {
    // "32769" and "&H8001" (read as -32767) both name product 0x8001; nothing else does.
    return entry == productId || entry == static_cast<std::uint16_t>(productId);
}

std::vector<std::filesystem::path> ProductIdFileCandidates(const std::filesystem::path& programFolder,
                                                           HostSystem host) {
    std::vector<std::filesystem::path> candidates;
    if (host == HostSystem::Linux) {
        const char* configHome = std::getenv("XDG_CONFIG_HOME");
        const char* home = std::getenv("HOME");
        // A relative XDG_CONFIG_HOME is to be ignored, as if unset.
        if (configHome && std::filesystem::path(configHome).is_absolute())
            candidates.push_back(std::filesystem::path(configHome) / "kestrune" / ProductIdFileName);
        else if (home && *home)
            candidates.push_back(std::filesystem::path(home) / ".config" / "kestrune" / ProductIdFileName);
        // The system-wide place; KESTRUNE_SYSTEM_CONFIG_DIR names another one (empty: none), for
        // containers, sandboxes and tests that must not see the machine's configuration.
        const char* system = std::getenv(SystemConfigFolderVariable);
        if (!system)
            candidates.push_back(std::filesystem::path("/etc/kestrune") / ProductIdFileName);
        else if (*system)
            candidates.push_back(std::filesystem::path(system) / ProductIdFileName);
    }
    candidates.push_back(programFolder / ProductIdFileName);
    return candidates;
}

std::filesystem::path FindProductIdFile(const std::filesystem::path& programFolder, HostSystem host) {
    const auto candidates = ProductIdFileCandidates(programFolder, host);
    for (const auto& candidate : candidates) {
        std::error_code ec;
        if (std::filesystem::exists(candidate, ec)) return candidate;
    }
    return candidates.back();
}

std::shared_ptr<const ProductIdTable> ProductIdTableOf(const DiscoveryHooks& hooks) {
    if (hooks.Table) return hooks.Table;
    return std::make_shared<const ProductIdTable>(LoadProductIdTable(
        hooks.ProductIdFile.empty() ? FindProductIdFile(hooks.ProgramFolder) : hooks.ProductIdFile));
}

bool IdIsMatched(std::int16_t VendorID, std::int16_t ProductID, DeviceConnection& connection,
                 const DiscoveryHooks& hooks) {
    const auto tableHeld = ProductIdTableOf(hooks);  // kept alive while used
    const ProductIdTable& table = *tableHeld;
    if (!table.Error.empty() && hooks.ShowTableError)
        hooks.ShowTableError(std::string(IdIsMatchedErrorText) + "\r\n\r\n" + table.Error);
    if (static_cast<std::uint16_t>(VendorID) != SupportedVendorID) return false;
    for (const std::int32_t entry : table.Entries) {
        if (ProductIdMatchesEntry(ProductID, entry)) {
            connection.MatchedPID = entry;
            return true;
        }
    }
    return false;
}

namespace {

// Whether IDs read without opening the interface are the keyboard's. The table is read without
// showing its errors: those are shown when an interface that was opened is matched.
bool IdsAreTheKeyboards(const std::optional<HIDD_ATTRIBUTES>& ids, const DiscoveryHooks& hooks) {
    if (!ids || ids->VendorID != SupportedVendorID) return false;
    const auto table = ProductIdTableOf(hooks);
    return std::any_of(table->Entries.begin(), table->Entries.end(), [&](std::int32_t entry) {
        return ProductIdMatchesEntry(static_cast<std::int16_t>(ids->ProductID), entry);
    });
}

}  // namespace

std::string AccessProblemHint(const DiscoveryReport& report, HostSystem host) {
    if (report.PermissionDenied.empty()) return {};
    const std::string& path = report.PermissionDenied.front();
    if (host == HostSystem::Windows)
        return kestrune::Fill(kestrune::Tr(N_("A keyboard is attached at %s, but Windows denies access to it: another "
                                              "program has the keyboard open. Close the other program that uses the "
                                              "keyboard (another firmware or keyboard tool), then unplug the keyboard "
                                              "and plug it in again.")),
                              {path});
    return kestrune::Fill(kestrune::Tr(N_("A keyboard is attached at %s, but this user may not open it. Install the "
                                          "udev rule 70-kestrune-keyboard.rules as README.md describes, then unplug "
                                          "the keyboard and plug it in again.")),
                          {path});
}

namespace {

// Opens the interface at path and keeps it open when it belongs to the keyboard and can carry the
// upload protocol; otherwise leaves no device open. Pauses before the open as the hooks ask.
bool OpenIfKeyboard(DeviceConnection& connection, const std::string& path,
                    const DiscoveryHooks& hooks, DiscoveryReport* report) {
    HidPlatform& platform = *connection.Platform;
    if (hooks.Accept && !hooks.Accept(path)) return false;
    // IDs read without opening the interface pass over the ones no table entry names: other
    // vendors' and the keyboard maker's other products, unopened and without the pause.
    if (hooks.SkipByPeek) {
        if (const auto peek = platform.PeekAttributes(path); peek && !IdsAreTheKeyboards(peek, hooks))
            return false;
    }
    if (hooks.Pause) hooks.Pause(1000.0f);

    OpenError readWriteError = OpenError::None;
    OpenError noAccessError = OpenError::None;
    connection.DeviceHandle = platform.Open(path, HidAccess::ReadWrite, &readWriteError);
    if (connection.DeviceHandle == INVALID_HANDLE_VALUE)
        connection.DeviceHandle = platform.Open(path, HidAccess::None, &noAccessError);
    if (connection.DeviceHandle == INVALID_HANDLE_VALUE) {
        // Only an interface whose IDs say so is the keyboard: a security key or any other
        // device the system reserves is not.
        if (report &&
            (readWriteError == OpenError::PermissionDenied ||
             noAccessError == OpenError::PermissionDenied) &&
            IdsAreTheKeyboards(platform.PeekAttributes(path), hooks))
            report->PermissionDenied.push_back(path);
        return false;
    }

    connection.DeviceAttributes.Size = 12;
    if (!platform.GetAttributes(connection.DeviceHandle, connection.DeviceAttributes) ||
        !IdIsMatched(static_cast<std::int16_t>(connection.DeviceAttributes.VendorID),
                     static_cast<std::int16_t>(connection.DeviceAttributes.ProductID),
                     connection, hooks) ||
        !platform.GetPreparsedData(connection.DeviceHandle, connection.PreparsedData) ||
        !platform.GetCaps(connection.PreparsedData, connection.DeviceCaps)) {
        CloseDevice(connection);
        return false;
    }
    // An interface of the keyboard that cannot carry a whole write-block report is not the one
    // that speaks the upload protocol, and one whose report is longer than the platform can
    // exchange would fail every exchange: keep looking.
    const std::size_t featureLength = connection.DeviceCaps.FeatureReportByteLength;
    if (featureLength < MinUsableFeatureLength || featureLength > platform.MaxFeatureReportLength()) {
        if (report) report->NoUsableFeature.push_back(path);
        CloseDevice(connection);
        return false;
    }
    return true;
}

}  // namespace

void FindDevice(DeviceConnection& connection, const DiscoveryHooks& hooks,
                DiscoveryReport* report) {
    std::vector<std::string> paths;
    if (!connection.Platform->EnumerateInterfaces(paths)) return;
    if (report) report->InterfacesSeen = paths.size();
    for (const std::string& path : paths)
        if (OpenIfKeyboard(connection, path, hooks, report)) return;
    connection.DeviceHandle = INVALID_HANDLE_VALUE;
}

std::vector<FoundKeyboard> FindAllDevices(HidPlatform& platform, const DiscoveryHooks& hooks,
                                          DiscoveryReport* report) {
    std::vector<FoundKeyboard> found;
    std::vector<std::string> paths;
    if (!platform.EnumerateInterfaces(paths)) return found;
    if (report) report->InterfacesSeen = paths.size();
    DeviceConnection connection(platform);
    for (const std::string& path : paths) {
        if (!OpenIfKeyboard(connection, path, hooks, report)) continue;
        found.push_back({path, connection.DeviceAttributes, connection.MatchedPID,
                         connection.DeviceCaps.FeatureReportByteLength, platform.PeekIdentity(path)});
        CloseDevice(connection);
    }
    return found;
}

std::vector<FoundKeyboard> UnopenedKeyboards(HidPlatform& platform, const DiscoveryReport& report,
                                             const std::vector<FoundKeyboard>& found) {
    std::vector<FoundKeyboard> unopened;
    for (const std::string& path : report.PermissionDenied) {
        FoundKeyboard k{path, {}, 0, 0, platform.PeekIdentity(path), true};
        const bool told = !k.Identity.PortPath.empty() || !k.Identity.Serial.empty();
        auto same = [&](const FoundKeyboard& other) { return told && other.Identity == k.Identity; };
        if (std::any_of(found.begin(), found.end(), same) || std::any_of(unopened.begin(), unopened.end(), same))
            continue;
        if (const auto ids = platform.PeekAttributes(path)) {
            k.Attributes = *ids;
            k.MatchedPID = ids->ProductID == UploadModePID ? UploadModePID : ids->ProductID;
        }
        unopened.push_back(k);
    }
    return unopened;
}

bool IsSameKeyboard(const FoundKeyboard& chosen, const DeviceIdentity& identity) {
    return identity == chosen.Identity;
}

bool MatchesDeviceId(const FoundKeyboard& keyboard, const std::string& id) {
    return !id.empty() && (id == keyboard.Path || id == keyboard.Identity.PortPath ||
                           id == keyboard.Identity.Serial);
}

}  // namespace usbio
