#include "upload/FirmwareImage.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <span>
#include <string_view>
#include <utility>

#include "common/PrintableText.h"
#include "common/Translate.h"
#include "common/RegularFile.h"

namespace upload {
namespace {

namespace fs = std::filesystem;
using kestrune::Fill;
using kestrune::Tr;
using kestrune::TrN;

constexpr char NotAHexDigit[] = N_("%s in column %s is not a hex digit.");

// A record is ':' + count + address + type + data + checksum: at most 11 + 2 * 255 characters.
// Trailing blanks are allowed after it, so the line limit leaves room for those; anything longer
// is refused as soon as it gets there, whatever the file holds.
constexpr std::size_t MinRecordChars = 11;
constexpr std::size_t MaxRecordChars = 11 + 2 * 255;
constexpr std::size_t MaxLineChars = 1024;

// ---- small text helpers -------------------------------------------------------------------------

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

constexpr int HexDigitValue(char c) {
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
    if (c == ' ') return Tr("a space");
    if (c == '\t') return Tr("a tab");
    return Fill(Tr("byte %s"), {HexText(u, 2)});
}

std::string DisplayName(const std::string& path) { return FirmwareDisplayName(path); }

// The whole path for a message, its control characters escaped.
std::string ShownPath(const std::string& path) { return kestrune::PrintableText(path); }

fs::path PathFromUtf8(const std::string& path) { return fs::path(std::u8string(path.begin(), path.end())); }

[[noreturn]] void ThrowRawFileTooLarge(const std::string& name, std::uint64_t length) {
    throw FirmwareError(FirmwareErrorCode::FileTooLarge,
                        Fill(Tr("%s is %s bytes long; it would reach address %s, past the end of the firmware area "
                                "(last address %s)."),
                             {DisplayName(name), std::to_string(length), std::to_string(length),
                              std::to_string(LastImageAddress)}));
}

// ---- HEX --------------------------------------------------------------------------------------------

enum class LineRead { Line, TooLong, EndOfFile };

// The text of a HEX file, handed out a line at a time as views into it.
class LineSource {
public:
    explicit LineSource(std::string_view text) : text_(text) {}

    // Next line without its line end (CR, CR LF or LF). At most MaxLineChars are kept: when the
    // line goes on past them, TooLong is returned with its first MaxLineChars characters.
    LineRead Next(std::string_view& line);

private:
    std::string_view text_;
    std::size_t begin_ = 0;  // the unread text is text_[begin_, end)
};

LineRead LineSource::Next(std::string_view& line) {
    const std::size_t available = text_.size() - begin_;
    if (available == 0) return LineRead::EndOfFile;
    const char* text = text_.data() + begin_;
    // The line ends at the first CR or LF; neither is looked for past the longest line kept.
    const std::size_t scan = std::min(available, MaxLineChars + 1);
    const auto* lf = static_cast<const char*>(std::memchr(text, '\n', scan));
    const std::size_t lineEnd = lf ? static_cast<std::size_t>(lf - text) : scan;
    if (const auto* cr = static_cast<const char*>(std::memchr(text, '\r', lineEnd))) {
        const auto i = static_cast<std::size_t>(cr - text);
        line = std::string_view(text, i);
        begin_ += i + 1 < available && text[i + 1] == '\n' ? i + 2 : i + 1;
        return LineRead::Line;
    }
    if (lf) {
        line = std::string_view(text, lineEnd);
        begin_ += lineEnd + 1;
        return LineRead::Line;
    }
    if (available > MaxLineChars) {
        line = std::string_view(text, MaxLineChars);
        begin_ += MaxLineChars;
        return LineRead::TooLong;
    }
    line = std::string_view(text, available);
    begin_ = text_.size();
    return LineRead::Line;
}

// Value of each character as a hex digit, -1 for every other one.
constexpr std::array<std::int8_t, 256> HexDigitTable = [] {
    std::array<std::int8_t, 256> table{};
    for (int c = 0; c < 256; ++c) table[static_cast<std::size_t>(c)] = static_cast<std::int8_t>(HexDigitValue(static_cast<char>(c)));
    return table;
}();

int HexDigitOf(char c) { return HexDigitTable[static_cast<unsigned char>(c)]; }

// Eight hex digits at text, of either case, to four bytes, eight characters at once in one 64-bit
// word (first character in the lowest byte, so little-endian machines only); their sum is added to
// sum. False, with nothing stored or added, when any of the eight is not a hex digit.
bool DecodeEightHexDigits(const char* text, std::uint8_t* out, unsigned& sum) {
    constexpr std::uint64_t Ones = 0x0101010101010101ull;
    constexpr std::uint64_t High = Ones * 0x80;
    std::uint64_t x;
    std::memcpy(&x, text, sizeof x);
    if (x & High) return false;  // beyond ASCII; from here on no byte carries into the next
    // Per byte, c + (0x80 - lo) has its high bit set when c >= lo.
    const std::uint64_t digit = (x + Ones * (0x80 - '0')) & ~(x + Ones * (0x80 - '9' - 1));
    const std::uint64_t lower = x | Ones * 0x20;
    const std::uint64_t letter = (lower + Ones * (0x80 - 'a')) & ~(lower + Ones * (0x80 - 'f' - 1));
    if (((digit | letter) & High) != High) return false;
    // A digit's value is its low nibble; letters (bit 6 set) add 9 to theirs.
    const std::uint64_t nibbles = (x & Ones * 0x0F) + ((x >> 6) & Ones) * 9;
    // Each pair of nibbles (high, low) into one byte, then the four bytes side by side.
    std::uint64_t bytes = ((nibbles << 4) | (nibbles >> 8)) & 0x00FF00FF00FF00FFull;
    bytes = (bytes | (bytes >> 8)) & 0x0000FFFF0000FFFFull;
    bytes = (bytes | (bytes >> 16)) & 0xFFFFFFFFull;
    const auto word = static_cast<std::uint32_t>(bytes);
    std::memcpy(out, &word, sizeof word);
    const std::uint32_t halves = (word & 0x00FF00FFu) + ((word >> 8) & 0x00FF00FFu);
    sum += (halves & 0xFFFFu) + (halves >> 16);
    return true;
}

struct HexRecord {
    std::uint8_t Type = 0;
    std::uint16_t Address = 0;
    std::span<const std::uint8_t> Data;  // in the reader's own buffer, valid until the next record
};

class HexFileReader {
public:
    HexFileReader(const std::string& name, FirmwareImage& image) : name_(DisplayName(name)), image_(image) {}

    std::int32_t Read(LineSource& lines, const ImageReadHooks& hooks);

private:
    [[noreturn]] void BadRecord(const std::string& problem) const {
        throw FirmwareError(FirmwareErrorCode::InvalidHexRecord,
                            Fill(Tr("Invalid HEX record on line %s of %s: %s"), {std::to_string(lineNumber_), name_, problem}));
    }
    [[noreturn]] void NotHex(const std::string& why) const {
        throw FirmwareError(FirmwareErrorCode::NotHexFile, Fill(Tr("%s is not an Intel HEX file: %s"), {name_, why}));
    }

    void CheckLooksLikeHex(std::string_view line) const;
    HexRecord Parse(std::string_view record);
    void Store(const HexRecord& record);

    void NoteLinesAfterTheEnd(LineSource& lines);

    std::string name_;
    FirmwareImage& image_;
    std::function<void(const std::string&)> note_;
    std::vector<std::uint32_t> writtenOnLine_;  // with note_: the line that last wrote each byte
    int rewrites_ = 0;                          // data written again with other bytes, noted
    std::size_t lineNumber_ = 0;
    std::uint64_t upperAddress_ = 0;
    std::int32_t endAddress_ = 0;
    std::array<std::uint8_t, MaxLineChars / 2> bytes_{};  // the record's bytes, decoded
};

std::int32_t HexFileReader::Read(LineSource& lines, const ImageReadHooks& hooks) {
    note_ = hooks.Note;
    if (note_) writtenOnLine_.assign(image_.size(), 0);
    std::string_view line;
    bool sawRecord = false;
    std::size_t firstEmptyLine = 0;  // an empty line ahead of the first record, reported once the file looks like HEX
    const std::string extracting = hooks.SetStatusText ? Tr("Extracting... %s") : "";
    for (;;) {
        if (hooks.PumpEvents) hooks.PumpEvents();
        const LineRead got = lines.Next(line);
        if (got == LineRead::EndOfFile) {
            if (!sawRecord) NotHex(Tr("it holds no records."));
            throw FirmwareError(FirmwareErrorCode::TruncatedHexFile,
                                Fill(Tr("%s ends after line %s without its end-of-file record (type 01); the file is "
                                        "incomplete."),
                                     {name_, std::to_string(lineNumber_)}));
        }
        ++lineNumber_;
        if (got == LineRead::Line && hooks.SetStatusText) hooks.SetStatusText(Fill(extracting, {line}));

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
                BadRecord(Tr("the line is empty."));
            }
        }
        if (line.find('\0') != std::string_view::npos)
            NotHex(Fill(Tr("it contains binary data (a NUL byte on line %s)."), {std::to_string(lineNumber_)}));
        if (got == LineRead::TooLong)
            BadRecord(Fill(Tr("the line is longer than %s characters; a record has at most %s."),
                           {std::to_string(MaxLineChars), std::to_string(MaxRecordChars)}));

        const HexRecord parsed = Parse(record);
        if (parsed.Type == 0x01) {
            if (note_) NoteLinesAfterTheEnd(lines);
            return endAddress_;
        }
        Store(parsed);
        if (hooks.DataRecord && parsed.Type == 0x00 && !parsed.Data.empty())
            hooks.DataRecord(upperAddress_ + parsed.Address, parsed.Data.size());
    }
}

// What follows the end-of-file record is never read: a file joined badly, or damaged, says so.
void HexFileReader::NoteLinesAfterTheEnd(LineSource& lines) {
    const std::size_t endLine = lineNumber_;
    std::size_t first = 0, count = 0;
    std::string_view line;
    for (std::size_t n = endLine + 1;; ++n) {
        const LineRead got = lines.Next(line);
        if (got == LineRead::EndOfFile) break;
        if (got == LineRead::Line && WithoutTrailingBlanks(line).empty()) continue;
        if (first == 0) first = n;
        ++count;
    }
    if (count > 0)
        note_(Fill(TrN("%s line after the end-of-file record (line %s), from line %s on, is not read.",
                       "%s lines after the end-of-file record (line %s), from line %s on, are not read.", count),
                   {std::to_string(count), std::to_string(endLine), std::to_string(first)}));
}

void HexFileReader::CheckLooksLikeHex(std::string_view line) const {
    if (std::any_of(line.begin(), line.end(), IsBinaryByte)) NotHex(Tr("it contains binary data."));
    if (line.front() != ':')
        NotHex(Fill(Tr("line %s does not start with ':' (it starts with %s)."),
                    {std::to_string(lineNumber_), DescribeChar(line.front())}));
}

HexRecord HexFileReader::Parse(std::string_view record) {
    if (record.empty()) BadRecord(Tr("the line is empty."));
    if (record.front() != ':') BadRecord(Tr("the line does not start with ':'."));
    const std::size_t digits = record.size() - 1;
    const std::size_t byteCount = digits / 2;
    const char* pairs = record.data() + 1;
    unsigned sum = 0;  // of every byte, the checksum included
    std::size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        // The bulk of the record eight digits at a time; from a group with a non-digit on, one by
        // one, so that the first one is reported.
        while (i + 4 <= byteCount && DecodeEightHexDigits(pairs + 2 * i, bytes_.data() + i, sum)) i += 4;
    }
    for (; i < byteCount; ++i) {
        const int high = HexDigitOf(pairs[2 * i]);
        const int low = HexDigitOf(pairs[2 * i + 1]);
        if ((high | low) < 0) {
            const std::size_t column = high < 0 ? 2 + 2 * i : 3 + 2 * i;
            BadRecord(Fill(Tr(NotAHexDigit), {DescribeChar(record[column - 1]), std::to_string(column)}));
        }
        bytes_[i] = static_cast<std::uint8_t>(high << 4 | low);
        sum += bytes_[i];
    }
    if (digits % 2 != 0) {
        if (HexDigitOf(record.back()) < 0)
            BadRecord(Fill(Tr(NotAHexDigit), {DescribeChar(record.back()), std::to_string(record.size())}));
        BadRecord(Fill(Tr("odd number of hex digits (%s) after ':'."), {std::to_string(digits)}));
    }
    if (record.size() < MinRecordChars)
        BadRecord(Fill(Tr("too short: %s characters, a record has at least %s."),
                       {std::to_string(record.size()), std::to_string(MinRecordChars)}));

    const std::size_t count = bytes_[0];
    const std::size_t wanted = MinRecordChars + 2 * count;
    if (record.size() != wanted)
        BadRecord(Fill(Tr("the byte count %s calls for %s characters, the line has %s."),
                       {HexText(count, 2), std::to_string(wanted), std::to_string(record.size())}));

    const std::uint8_t checksum = bytes_[byteCount - 1];
    if ((sum & 0xFF) != 0) {
        const unsigned expected = (0x100 - ((sum - checksum) & 0xFF)) & 0xFF;
        BadRecord(Fill(Tr("checksum %s, expected %s."), {HexText(checksum, 2), HexText(expected, 2)}));
    }

    HexRecord r;
    r.Address = static_cast<std::uint16_t>(bytes_[1] << 8 | bytes_[2]);
    r.Type = bytes_[3];
    r.Data = std::span<const std::uint8_t>(bytes_.data() + 4, count);

    std::size_t fixedCount = 0;
    switch (r.Type) {
    case 0x00: return r;
    case 0x01: fixedCount = 0; break;
    case 0x02:
    case 0x04: fixedCount = 2; break;
    case 0x03:
    case 0x05: fixedCount = 4; break;
    default: BadRecord(Fill(Tr("unknown record type %s."), {HexText(r.Type, 2)}));
    }
    if (count != fixedCount)
        BadRecord(Fill(Tr("a type %s record holds %s data bytes, this one holds %s."),
                       {HexText(r.Type, 2).substr(2), std::to_string(fixedCount), std::to_string(count)}));
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
                            Fill(Tr("Data on line %s of %s lands at %s..%s, past the end of the firmware area (last "
                                    "address %s)."),
                                 {std::to_string(lineNumber_), name_, HexText(first, 4), HexText(last, 4),
                                  std::to_string(LastImageAddress)}));
    if (note_) {
        // Said for the first few records that do it; the upload takes the later bytes.
        constexpr int MostRewritesNoted = 5;
        for (std::uint64_t a = first; a <= last; ++a) {
            const std::uint32_t earlier = writtenOnLine_[a];
            writtenOnLine_[a] = static_cast<std::uint32_t>(lineNumber_);
            if (earlier == 0 || image_[a] == record.Data[a - first] || rewrites_ > MostRewritesNoted) continue;
            note_(++rewrites_ > MostRewritesNoted
                      ? Tr("More records write addresses again with other data; the later data is sent.")
                      : Fill(Tr("Line %s writes %s again with other data (line %s wrote it first); the later data is "
                                "sent."),
                             {std::to_string(lineNumber_), HexText(a, 4), std::to_string(earlier)}));
            for (std::uint64_t rest = a + 1; rest <= last; ++rest) writtenOnLine_[rest] = static_cast<std::uint32_t>(lineNumber_);
            break;
        }
    }
    std::copy(record.Data.begin(), record.Data.end(), image_.begin() + static_cast<std::ptrdiff_t>(first));
    endAddress_ = std::max(endAddress_, static_cast<std::int32_t>(last + 1));
}

// ---- BIN / DAT ------------------------------------------------------------------------------------

std::int32_t ReadRawFile(const FirmwareFile& file, std::int32_t startAddress, FirmwareImage& image, bool scrambled) {
    if (startAddress < 0)
        throw FirmwareError(FirmwareErrorCode::AddressOutsideImage,
                            Fill(Tr("The start address %s for %s is negative."),
                                 {std::to_string(startAddress), DisplayName(file.name)}));
    const std::uint64_t length = file.bytes.size();
    const auto start = static_cast<std::uint64_t>(startAddress);

    if (start > length) return static_cast<std::int32_t>(length);  // length < start, so it fits
    if (length > static_cast<std::uint64_t>(LastImageAddress)) ThrowRawFileTooLarge(file.name, length);

    std::copy(file.bytes.begin() + static_cast<std::ptrdiff_t>(start), file.bytes.end(),
              image.begin() + static_cast<std::ptrdiff_t>(start));
    // Address `length` keeps the 0 just past the file's end (scrambled like the rest for DAT).
    if (scrambled)
        for (std::uint64_t a = start; a <= length; ++a)
            image[a] = static_cast<std::uint8_t>((255 - image[a]) ^ DatMask);
    return static_cast<std::int32_t>(length);
}

}  // namespace

std::string FirmwareDisplayName(const std::string& path) {
    const auto slash = path.find_last_of("/\\");
    return kestrune::PrintableText(slash == std::string::npos ? path : path.substr(slash + 1));
}

FirmwareKind FirmwareKindOfPath(std::string_view path) {
    if (path.size() < 3) return FirmwareKind::Unknown;
    std::string tail(path.substr(path.size() - 3));
    std::transform(tail.begin(), tail.end(), tail.begin(), UpperAscii);
    if (tail == "HEX") return FirmwareKind::Hex;
    if (tail == "BIN") return FirmwareKind::Bin;
    if (tail == "DAT") return FirmwareKind::Dat;
    return FirmwareKind::Unknown;
}

FirmwareFile ReadFirmwareFile(const std::string& path) {
    const FirmwareKind kind = FirmwareKindOfPath(path);
    const bool raw = kind == FirmwareKind::Bin || kind == FirmwareKind::Dat;
    kestrune::FileBytes read =
        kestrune::ReadFileBytes(PathFromUtf8(path), raw ? static_cast<std::uint64_t>(LastImageAddress) : MaxHexFileBytes);
    switch (read.error) {
    case kestrune::FileError::None: break;
    case kestrune::FileError::NotFound:
        throw FirmwareError(FirmwareErrorCode::FileNotFound, Fill(Tr("Firmware file not found: %s."), {ShownPath(path)}));
    case kestrune::FileError::Folder:
        throw FirmwareError(FirmwareErrorCode::FileUnreadable, Fill(Tr("%s is a folder, not a firmware file."), {ShownPath(path)}));
    case kestrune::FileError::NotRegular:
        throw FirmwareError(FirmwareErrorCode::FileUnreadable,
                            read.kind.empty()
                                ? Fill(Tr("%s is not a regular file; only a firmware file on disk can be read."),
                                       {ShownPath(path)})
                                : Fill(Tr("%s is %s, not a regular file; only a firmware file on disk can be read."),
                                       {ShownPath(path), Tr(read.kind)}));
    case kestrune::FileError::CannotOpen:
        throw FirmwareError(FirmwareErrorCode::FileUnreadable, Fill(Tr("Cannot read the firmware file %s."), {ShownPath(path)}));
    case kestrune::FileError::TooLarge:
        if (raw) ThrowRawFileTooLarge(path, read.size);
        throw FirmwareError(FirmwareErrorCode::FileTooLarge,
                            Fill(Tr("%s is %s bytes long, more than a firmware file can be (at most %s MiB); it is "
                                    "not read."),
                                 {DisplayName(path), std::to_string(read.size), std::to_string(MaxHexFileBytes >> 20)}));
    }
    return FirmwareFile{path, std::move(read.bytes)};
}

std::int32_t LoadFirmwareImage(const FirmwareFile& file, std::int32_t startAddress, FirmwareImage& image,
                               const ImageReadHooks& hooks) {
    const FirmwareKind kind = FirmwareKindOfPath(file.name);
    if (kind == FirmwareKind::Unknown) return 0;

    image.assign(ImageSize, 0);
    switch (kind) {
    case FirmwareKind::Hex: {
        LineSource lines(file.bytes);
        return HexFileReader(file.name, image).Read(lines, hooks);
    }
    case FirmwareKind::Bin: return ReadRawFile(file, startAddress, image, false);
    case FirmwareKind::Dat: return ReadRawFile(file, startAddress, image, true);
    case FirmwareKind::Unknown: break;
    }
    return 0;
}

std::int32_t LoadFirmwareImage(const std::string& path, std::int32_t startAddress, FirmwareImage& image,
                               const ImageReadHooks& hooks) {
    if (FirmwareKindOfPath(path) == FirmwareKind::Unknown) return 0;
    return LoadFirmwareImage(ReadFirmwareFile(path), startAddress, image, hooks);
}

}  // namespace upload
