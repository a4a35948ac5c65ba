#pragma once
// Finding the keyboard among the HID interfaces present, and the product-ID table.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "usbio/DeviceIO.h"

namespace usbio {

inline constexpr char ProductIdFileName[] = "PIDDef.txt";
inline constexpr char IdIsMatchedErrorText[] = "IdIsMatched function error";
inline constexpr std::size_t MaxProductIdEntries = 32767;
inline constexpr std::uint64_t MaxProductIdFileBytes = 1 << 20;  // a larger PIDDef.txt is not read
inline constexpr std::size_t MaxProductIdLineChars = 4096;      // nor one with a longer line
inline constexpr std::uint16_t MinUsableFeatureLength = 131;  // a whole write-block report

// The built-in product-ID table, used when PIDDef.txt gives no entry.
const std::vector<std::int32_t>& BuiltInProductIds();

struct ProductIdTable {
    enum class Source { File, BuiltIn };
    std::vector<std::int32_t> Entries;
    Source From = Source::BuiltIn;
    std::filesystem::path FilePath;  // the definition file looked for
    std::string Error;               // non-empty when reading the file failed part-way
    // Lines read with a doubt, one text each ("line 3: the product ID \"abc\" is not a number;
    // it is read as 0."). The entries are as if there were no warning.
    std::vector<std::string> Warnings;
};

// Reads the definition file (lines end at CR, CR LF or LF; a line starting with an apostrophe is
// a comment; the second comma-separated field is the product ID). When the file is absent or gives
// no entry, the built-in table is returned. When reading fails part-way (unreadable file, a value
// outside the 32-bit range, too many entries), Error says so and the entries read before the
// failure are kept (the built-in table when there are none). A file that is not a regular file,
// is larger than MaxProductIdFileBytes or has a line longer than MaxProductIdLineChars is not read
// at all: Error says so and the built-in table is returned. Error starts with the file's name.
ProductIdTable LoadProductIdTable(const std::filesystem::path& file);

// Whether a product ID, taken as a signed 16-bit number, matches a table entry: the entry equals
// the ID read as unsigned 16-bit (32769 for 0x8001) or as signed 16-bit (-32767, as "&H8001"
// reads). No other entry matches.
bool ProductIdMatchesEntry(std::int16_t productId, std::int32_t entry);

struct DiscoveryHooks {
    // Waits the given number of milliseconds while the caller's events keep running. Called once
    // before every open.
    std::function<void(float ms)> Pause;
    // The program's folder, the last place PIDDef.txt is looked for (FindProductIdFile).
    std::filesystem::path ProgramFolder;
    // The product-ID file the user named (--pid-file); when empty, FindProductIdFile's.
    std::filesystem::path ProductIdFile;
    // The table, read once for a whole run (the command-line tool's); when null, each search reads
    // the file again, so that the window sees an edit at its next scan.
    std::shared_ptr<const ProductIdTable> Table;
    // Shown once per IdIsMatched call whose table could not be read cleanly. The text starts with
    // "IdIsMatched function error"; a second paragraph says what went wrong.
    std::function<void(const std::string& text)> ShowTableError;
    // When the platform can tell an interface's IDs without opening it, skip the interfaces that
    // cannot be the keyboard (another vendor, or a product ID no table entry names) without
    // opening them or pausing.
    bool SkipByPeek = false;
    // When set, an interface it turns down is passed over unopened and without the pause: the
    // way a search follows one chosen keyboard (IsSameKeyboard).
    std::function<bool(const std::string& path)> Accept;
};

// What a search saw besides its result, for telling the user why nothing was found.
struct DiscoveryReport {
    // Keyboard interfaces the user may not open: refused both opens for lack of permission, and
    // their vendor and product IDs, read without opening them, are the keyboard's.
    std::vector<std::string> PermissionDenied;
    // Keyboard interfaces whose feature report cannot carry the upload protocol: too short for a
    // write-block report, or longer than the platform can exchange.
    std::vector<std::string> NoUsableFeature;
    std::size_t InterfacesSeen = 0;
};

// The system whose HID stack the program uses: it decides what the user is told to do about an
// interface that may not be opened.
enum class HostSystem { Linux, Windows };
#if defined(_WIN32)
inline constexpr HostSystem ThisHostSystem = HostSystem::Windows;
#else
inline constexpr HostSystem ThisHostSystem = HostSystem::Linux;
#endif

// The environment variable that names the system-wide folder of PIDDef.txt instead of
// /etc/kestrune; set and empty, there is none.
inline constexpr char SystemConfigFolderVariable[] = "KESTRUNE_SYSTEM_CONFIG_DIR";

// Where PIDDef.txt is looked for, in this order. On Linux: $XDG_CONFIG_HOME/kestrune/PIDDef.txt
// (~/.config when XDG_CONFIG_HOME is unset), /etc/kestrune/PIDDef.txt (or the folder
// SystemConfigFolderVariable names), then beside the program; on Windows beside the program only.
std::vector<std::filesystem::path> ProductIdFileCandidates(const std::filesystem::path& programFolder,
                                                           HostSystem host = ThisHostSystem);
// The first candidate that exists; with none, the one beside the program (which then gives the
// built-in table).
std::filesystem::path FindProductIdFile(const std::filesystem::path& programFolder,
                                        HostSystem host = ThisHostSystem);

// The paragraph that says why a keyboard the search saw (report.PermissionDenied) cannot be
// opened and what to do about it: on Linux the udev rule to install, on Windows that another
// program has it open or access is denied. Empty when the search saw no such keyboard.
std::string AccessProblemHint(const DiscoveryReport& report, HostSystem host = ThisHostSystem);

// The table a search uses: hooks.Table, or the file read now.
std::shared_ptr<const ProductIdTable> ProductIdTableOf(const DiscoveryHooks& hooks);

// Opens the first interface, in enumeration order, that belongs to the keyboard and can carry the
// upload protocol; leaves the connection either open with MatchedPID set, or with no device.
// Precondition: no device open.
void FindDevice(DeviceConnection& connection, const DiscoveryHooks& hooks,
                DiscoveryReport* report = nullptr);

// One keyboard interface that FindAllDevices found, closed again.
struct FoundKeyboard {
    std::string Path;
    HIDD_ATTRIBUTES Attributes{};
    std::int32_t MatchedPID = 0;  // the table entry that matched: 6 = firmware-upload mode
    std::uint16_t FeatureReportLength = 0;
    DeviceIdentity Identity;  // the platform's PeekIdentity of the path
    // The keyboard is there, but the user may not open it (DiscoveryReport::PermissionDenied):
    // its IDs and identity were read without opening it.
    bool CannotBeOpened = false;
};

// The keyboards a search saw but could not open (report.PermissionDenied), one each (an identity
// already in found, or one listed before, is not listed again).
std::vector<FoundKeyboard> UnopenedKeyboards(HidPlatform& platform, const DiscoveryReport& report,
                                             const std::vector<FoundKeyboard>& found);

// Every interface, in enumeration order, that FindDevice would accept, each opened, checked and
// closed again, with the same pause per candidate.
std::vector<FoundKeyboard> FindAllDevices(HidPlatform& platform, const DiscoveryHooks& hooks,
                                          DiscoveryReport* report = nullptr);

// Whether the ID a user gave (a device path, a port path or a serial number) names the keyboard.
// An empty ID names none.
bool MatchesDeviceId(const FoundKeyboard& keyboard, const std::string& id);

// Whether an interface with this platform identity is the keyboard chosen earlier:
// the same port path and serial number. A keyboard whose identity the platform cannot tell at all
// (not on USB and named by nothing else, like a uhid keyboard created without phys or uniq) cannot
// be told from another such keyboard: every interface without an identity is taken for it, none
// with one.
bool IsSameKeyboard(const FoundKeyboard& chosen, const DeviceIdentity& identity);

// True when the IDs belong to the keyboard; then MatchedPID holds the table entry that matched.
bool IdIsMatched(std::int16_t VendorID, std::int16_t ProductID, DeviceConnection& connection,
                 const DiscoveryHooks& hooks);

}  // namespace usbio
