#pragma once
// Reading a firmware file into the in-memory image that the upload sends to the keyboard.
// Three file kinds are understood, told apart by the end of the file name:
//  - HEX: Intel HEX text, read strictly (every record checked, nothing guessed);
//  - BIN: raw bytes, byte at file offset a goes to device address a;
//  - DAT: like BIN, each byte stored scrambled as (255 - b) XOR DatMask.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace upload {

inline constexpr std::size_t ImageSize = 100001;  // device addresses 0..100000 inclusive
inline constexpr std::int32_t LastImageAddress = static_cast<std::int32_t>(ImageSize) - 1;
using FirmwareImage = std::vector<std::uint8_t>;   // always ImageSize bytes
inline constexpr std::uint8_t DatMask = 0x6B;

enum class FirmwareKind { Hex, Bin, Dat, Unknown };

// The file name as the user knows it, for messages: the last part of the path (either slash), its
// control characters escaped.
std::string FirmwareDisplayName(const std::string& path);

// The kind from the last three characters of the path, case ignored ("HEX", "BIN", "DAT").
// No dot is needed ("firmwarehex" is a HEX file); a path shorter than three characters is Unknown.
FirmwareKind FirmwareKindOfPath(std::string_view path);

struct ImageReadHooks {
    std::function<void()> PumpEvents;                       // before each HEX line is read (may be empty)
    std::function<void(const std::string&)> SetStatusText;  // "Extracting... " + the line as read (may be empty)
    // HEX: after each data record that holds data is stored, its first address and byte count
    // (may be empty).
    std::function<void(std::uint64_t address, std::size_t count)> DataRecord = nullptr;
    // HEX, when set: what the upload takes as it is but a person should know of (data that a later
    // record writes again with other bytes: the later one wins; records after the end-of-file
    // record: never read), each said once, with its line numbers. Costs a word per image byte.
    std::function<void(const std::string&)> Note = nullptr;
};

// What went wrong, as FirmwareError::Code().
namespace FirmwareErrorCode {
inline constexpr int FileNotFound = 1;         // no file at that path
inline constexpr int FileUnreadable = 2;       // exists but cannot be opened or read (a folder, no permission, I/O error)
inline constexpr int NotHexFile = 3;           // a .hex file that is plainly something else (HTML, binary data, nothing in it)
inline constexpr int InvalidHexRecord = 4;     // a line that is not a well-formed record; the message names the line
inline constexpr int TruncatedHexFile = 5;     // the HEX file ends before its end-of-file record
inline constexpr int AddressOutsideImage = 6;  // data beyond address 100000, or a negative start address
inline constexpr int FileTooLarge = 7;         // a BIN/DAT file reaching past address 100000, a HEX file past MaxHexFileBytes
}  // namespace FirmwareErrorCode

class FirmwareError : public std::runtime_error {
public:
    FirmwareError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int Code() const { return code_; }

private:
    int code_;
};

// A firmware file as it was read, once: its name (UTF-8; the path, or what a program that has the
// bytes and no path calls it), which gives its kind and appears in messages, and its bytes.
struct FirmwareFile {
    std::string name;
    std::string bytes;
};

// The most a HEX file may hold to be read at all. The whole image in one-byte records is about
// 1.3 MB; a BIN or DAT file holds at most addresses 0..LastImageAddress.
inline constexpr std::uint64_t MaxHexFileBytes = std::uint64_t{4} << 20;

// Reads the file at path (UTF-8), once: only a regular file, opened without waiting (a named pipe
// or a device is refused without being read) and no larger than its kind can be (BIN and DAT:
// LastImageAddress bytes; others MaxHexFileBytes). Throws FirmwareError (FileNotFound,
// FileUnreadable, FileTooLarge).
FirmwareFile ReadFirmwareFile(const std::string& path);

// Reads the file's bytes into image and returns the end address:
//  - HEX: the highest address + count over all data records (0 without data); startAddress unused;
//  - BIN/DAT: the file length L; addresses startAddress..L take the file bytes at the same offsets,
//    address L the byte just past the end (0); nothing is copied when startAddress > L.
// For HEX, BIN and DAT the image is first resized to ImageSize and zero-filled. A name of unknown
// kind reads nothing, leaves image as it is and returns 0.
// Throws FirmwareError on any problem.
std::int32_t LoadFirmwareImage(const FirmwareFile& file, std::int32_t startAddress, FirmwareImage& image,
                               const ImageReadHooks& hooks = {});

// ReadFirmwareFile, then the above (a path of unknown kind is not read).
std::int32_t LoadFirmwareImage(const std::string& path, std::int32_t startAddress, FirmwareImage& image,
                               const ImageReadHooks& hooks = {});

}  // namespace upload
