#include "upload/FirmwareImage.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ios>
#include <istream>

namespace upload {
namespace {

namespace fs = std::filesystem;

// A record is ':' + count + address + type + data + checksum: at most 11 + 2 * 255 characters.
// Trailing blanks are allowed after it, so the line limit leaves room for those; anything longer
// is refused as soon as it gets there, whatever the file holds.
constexpr std::size_t MinRecordChars = 11;
constexpr std::size_t MaxRecordChars = 11 + 2 * 255;
constexpr std::size_t MaxLineChars = 1024;

// ---- small text helpers -------------------------------------------------------------------------

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Control characters other than tab never appear in a text file worth calling HEX.
bool IsBinaryByte(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\t') || u == 0x7F;
}

std::string_view WithoutTrailingBlanks(std::string_view s) {
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

std::string HexText(std::uint64_t value, int minDigits) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%0*llX", minDigits, static_cast<unsigned long long>(value));
    return buffer;
}

std::string DescribeChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x21 && u < 0x7F) return std::string("'") + c + "'";
    if (c == ' ') return "a space";
    if (c == '\t') return "a tab";
    return "byte " + HexText(u, 2);
}

// The name shown to the user: the last part of the path.
std::string DisplayName(const std::string& path) {
    const auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

fs::path PathFromUtf8(const std::string& path) { return fs::path(std::u8string(path.begin(), path.end())); }

// ---- opening --------------------------------------------------------------------------------------

std::ifstream OpenForReading(const std::string& path) {
    const fs::path file = PathFromUtf8(path);
    std::error_code ec;
    const fs::file_status status = fs::status(file, ec);
    if (status.type() == fs::file_type::not_found)
        throw FirmwareError(FirmwareErrorCode::FileNotFound, "Firmware file not found: " + path + ".");
    if (status.type() == fs::file_type::directory)
        throw FirmwareError(FirmwareErrorCode::FileUnreadable, path + " is a folder, not a firmware file.");
    std::ifstream in(file, std::ios::in | std::ios::binary);
    if (!in)
        throw FirmwareError(FirmwareErrorCode::FileUnreadable, "Cannot open the firmware file " + path + ".");
    return in;
}

[[noreturn]] void ThrowReadFailure(const std::string& path) {
    throw FirmwareError(FirmwareErrorCode::FileUnreadable, "Reading the firmware file " + path + " failed.");
}

// ---- HEX --------------------------------------------------------------------------------------------

enum class LineRead { Line, TooLong, EndOfFile };

// Next line without its line end (CR, CR LF or LF). At most MaxLineChars are kept: on the next
// character TooLong is returned and the rest of the line stays unread.
LineRead ReadLine(std::istream& in, std::string& line) {
    using Traits = std::istream::traits_type;
    line.clear();
    for (;;) {
        const auto c = in.get();
        if (Traits::eq_int_type(c, Traits::eof())) return line.empty() ? LineRead::EndOfFile : LineRead::Line;
        const char ch = Traits::to_char_type(c);
        if (ch == '\n') return LineRead::Line;
        if (ch == '\r') {
            if (Traits::eq_int_type(in.peek(), Traits::to_int_type('\n'))) in.get();
            return LineRead::Line;
        }
        if (line.size() == MaxLineChars) return LineRead::TooLong;
        line.push_back(ch);
    }
}

struct HexRecord {
    std::uint8_t Type = 0;
    std::uint16_t Address = 0;
    std::vector<std::uint8_t> Data;
};

class HexFileReader {
public:
    HexFileReader(const std::string& path, FirmwareImage& image) : name_(DisplayName(path)), image_(image) {}

    std::int32_t Read(std::istream& in, const std::string& path, const ImageReadHooks& hooks);

private:
    [[noreturn]] void BadRecord(const std::string& problem) const {
        throw FirmwareError(FirmwareErrorCode::InvalidHexRecord,
                            "Invalid HEX record on line " + std::to_string(lineNumber_) + " of " + name_ + ": " + problem);
    }
    [[noreturn]] void NotHex(const std::string& why) const {
        throw FirmwareError(FirmwareErrorCode::NotHexFile, name_ + " is not an Intel HEX file: " + why);
    }

    void CheckLooksLikeHex(std::string_view line) const;
    HexRecord Parse(std::string_view record) const;
    void Store(const HexRecord& record);

    std::string name_;
    FirmwareImage& image_;
    std::size_t lineNumber_ = 0;
    std::uint64_t upperAddress_ = 0;
    std::int32_t endAddress_ = 0;
};

std::int32_t HexFileReader::Read(std::istream& in, const std::string& path, const ImageReadHooks& hooks) {
    std::string line;
    bool sawRecord = false;
    std::size_t firstEmptyLine = 0;  // an empty line ahead of the first record, reported once the file looks like HEX
    for (;;) {
        if (hooks.PumpEvents) hooks.PumpEvents();
        const LineRead got = ReadLine(in, line);
        if (in.bad()) ThrowReadFailure(path);
        if (got == LineRead::EndOfFile) {
            if (!sawRecord) NotHex("it holds no records.");
            throw FirmwareError(FirmwareErrorCode::TruncatedHexFile,
                                name_ + " ends after line " + std::to_string(lineNumber_) +
                                    " without its end-of-file record (type 01); the file is incomplete.");
        }
        ++lineNumber_;
        if (got == LineRead::Line && hooks.SetStatusText) hooks.SetStatusText("Extracting... " + line);

        const std::string_view record = WithoutTrailingBlanks(line);
        if (!sawRecord) {
            if (got == LineRead::Line && record.empty()) {
                if (firstEmptyLine == 0) firstEmptyLine = lineNumber_;
                continue;
            }
            CheckLooksLikeHex(line);
            sawRecord = true;
            if (firstEmptyLine != 0) {
                lineNumber_ = firstEmptyLine;
                BadRecord("the line is empty.");
            }
        }
        if (line.find('\0') != std::string::npos)
            NotHex("it contains binary data (a NUL byte on line " + std::to_string(lineNumber_) + ").");
        if (got == LineRead::TooLong)
            BadRecord("the line is longer than " + std::to_string(MaxLineChars) + " characters; a record has at most " +
                      std::to_string(MaxRecordChars) + ".");

        const HexRecord parsed = Parse(record);
        if (parsed.Type == 0x01) return endAddress_;
        Store(parsed);
        if (hooks.DataRecord && parsed.Type == 0x00 && !parsed.Data.empty())
            hooks.DataRecord(upperAddress_ + parsed.Address, parsed.Data.size());
    }
}

void HexFileReader::CheckLooksLikeHex(std::string_view line) const {
    if (std::any_of(line.begin(), line.end(), IsBinaryByte)) NotHex("it contains binary data.");
    if (line.front() != ':')
        NotHex("line " + std::to_string(lineNumber_) + " does not start with ':' (it starts with " +
               DescribeChar(line.front()) + ").");
}

HexRecord HexFileReader::Parse(std::string_view record) const {
    if (record.empty()) BadRecord("the line is empty.");
    if (record.front() != ':') BadRecord("the line does not start with ':'.");
    for (std::size_t i = 1; i < record.size(); ++i)
        if (HexDigitValue(record[i]) < 0)
            BadRecord(DescribeChar(record[i]) + " in column " + std::to_string(i + 1) + " is not a hex digit.");
    const std::size_t digits = record.size() - 1;
    if (digits % 2 != 0) BadRecord("odd number of hex digits (" + std::to_string(digits) + ") after ':'.");
    if (record.size() < MinRecordChars)
        BadRecord("too short: " + std::to_string(record.size()) + " characters, a record has at least " +
                  std::to_string(MinRecordChars) + ".");

    std::vector<std::uint8_t> bytes(digits / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(HexDigitValue(record[1 + 2 * i]) * 16 + HexDigitValue(record[2 + 2 * i]));

    const std::size_t count = bytes[0];
    const std::size_t wanted = MinRecordChars + 2 * count;
    if (record.size() != wanted)
        BadRecord("the byte count " + HexText(count, 2) + " calls for " + std::to_string(wanted) +
                  " characters, the line has " + std::to_string(record.size()) + ".");

    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) sum += bytes[i];
    const unsigned expected = (0x100 - (sum & 0xFF)) & 0xFF;
    if (bytes.back() != expected)
        BadRecord("checksum " + HexText(bytes.back(), 2) + ", expected " + HexText(expected, 2) + ".");

    HexRecord r;
    r.Address = static_cast<std::uint16_t>(bytes[1] << 8 | bytes[2]);
    r.Type = bytes[3];
    r.Data.assign(bytes.begin() + 4, bytes.end() - 1);

    std::size_t fixedCount = 0;
    switch (r.Type) {
    case 0x00: return r;
    case 0x01: fixedCount = 0; break;
    case 0x02:
    case 0x04: fixedCount = 2; break;
    case 0x03:
    case 0x05: fixedCount = 4; break;
    default: BadRecord("unknown record type " + HexText(r.Type, 2) + ".");
    }
    if (count != fixedCount)
        BadRecord("a type " + HexText(r.Type, 2).substr(2) + " record holds " + std::to_string(fixedCount) +
                  " data bytes, this one holds " + std::to_string(count) + ".");
    return r;
}

void HexFileReader::Store(const HexRecord& record) {
    const std::uint64_t value = record.Data.size() >= 2 ? (std::uint64_t{record.Data[0]} << 8 | record.Data[1]) : 0;
    switch (record.Type) {
    case 0x02: upperAddress_ = value << 4; return;
    case 0x04: upperAddress_ = value << 16; return;
    case 0x00: break;
    default: return;  // 03 and 05: start addresses, nothing to store
    }
    if (record.Data.empty()) return;  // an empty data record stores nothing and does not move the end

    const std::uint64_t first = upperAddress_ + record.Address;
    const std::uint64_t last = first + record.Data.size() - 1;
    if (last >= image_.size())
        throw FirmwareError(FirmwareErrorCode::AddressOutsideImage,
                            "Data on line " + std::to_string(lineNumber_) + " of " + name_ + " lands at " +
                                HexText(first, 4) + ".." + HexText(last, 4) +
                                ", past the end of the firmware area (last address " +
                                std::to_string(LastImageAddress) + ").");
    std::copy(record.Data.begin(), record.Data.end(), image_.begin() + static_cast<std::ptrdiff_t>(first));
    endAddress_ = std::max(endAddress_, static_cast<std::int32_t>(last + 1));
}

// ---- BIN / DAT ------------------------------------------------------------------------------------

std::int32_t ReadRawFile(const std::string& path, std::int32_t startAddress, FirmwareImage& image, bool scrambled) {
    if (startAddress < 0)
        throw FirmwareError(FirmwareErrorCode::AddressOutsideImage,
                            "The start address " + std::to_string(startAddress) + " for " + DisplayName(path) +
                                " is negative.");
    std::ifstream in = OpenForReading(path);
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (!in || size < 0) ThrowReadFailure(path);
    const auto length = static_cast<std::uint64_t>(size);
    const auto start = static_cast<std::uint64_t>(startAddress);

    if (start > length) return static_cast<std::int32_t>(length);  // length < start, so it fits
    if (length > static_cast<std::uint64_t>(LastImageAddress))
        throw FirmwareError(FirmwareErrorCode::FileTooLarge,
                            DisplayName(path) + " is " + std::to_string(length) +
                                " bytes long; it would reach address " + std::to_string(length) +
                                ", past the end of the firmware area (last address " +
                                std::to_string(LastImageAddress) + ").");

    const auto count = static_cast<std::streamsize>(length - start);
    in.seekg(static_cast<std::streamoff>(start));
    in.read(reinterpret_cast<char*>(image.data() + start), count);
    if (in.gcount() != count) ThrowReadFailure(path);

    // Address `length` keeps the 0 just past the file's end (scrambled like the rest for DAT).
    if (scrambled)
        for (std::uint64_t a = start; a <= length; ++a)
            image[a] = static_cast<std::uint8_t>((255 - image[a]) ^ DatMask);
    return static_cast<std::int32_t>(length);
}

}  // namespace

FirmwareKind FirmwareKindOfPath(std::string_view path) {
    if (path.size() < 3) return FirmwareKind::Unknown;
    std::string tail(path.substr(path.size() - 3));
    std::transform(tail.begin(), tail.end(), tail.begin(), UpperAscii);
    if (tail == "HEX") return FirmwareKind::Hex;
    if (tail == "BIN") return FirmwareKind::Bin;
    if (tail == "DAT") return FirmwareKind::Dat;
    return FirmwareKind::Unknown;
}

std::int32_t LoadFirmwareImage(const std::string& path, std::int32_t startAddress, FirmwareImage& image,
                               const ImageReadHooks& hooks) {
    const FirmwareKind kind = FirmwareKindOfPath(path);
    if (kind == FirmwareKind::Unknown) return 0;

    image.assign(ImageSize, 0);
    switch (kind) {
    case FirmwareKind::Hex: {
        std::ifstream in = OpenForReading(path);
        return HexFileReader(path, image).Read(in, path, hooks);
    }
    case FirmwareKind::Bin: return ReadRawFile(path, startAddress, image, false);
    case FirmwareKind::Dat: return ReadRawFile(path, startAddress, image, true);
    case FirmwareKind::Unknown: break;
    }
    return 0;
}

}  // namespace upload
