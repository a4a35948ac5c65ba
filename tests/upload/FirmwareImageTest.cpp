#include "upload/FirmwareImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "support/FirmwareFiles.h"

namespace upload {
namespace {

namespace fs = std::filesystem;

// An Intel HEX record with its checksum, built independently of the reader.
std::string Record(unsigned type, unsigned address, const std::vector<std::uint8_t>& data) {
    std::vector<unsigned> bytes{static_cast<unsigned>(data.size()), address >> 8 & 0xFF, address & 0xFF, type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string text = ":";
    char pair[3];
    for (unsigned b : bytes) sum += b, std::snprintf(pair, sizeof pair, "%02X", b), text += pair;
    std::snprintf(pair, sizeof pair, "%02X", (0x100 - sum % 0x100) % 0x100);
    return text + pair;
}
const std::string Eof = ":00000001FF";
const std::string Good = ":0300300002337A1E";  // 02 33 7A at 0x0030

using testsupport::RandomBytes;

class FirmwareImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("kestrune-image-" + std::to_string(std::random_device{}()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Write(const std::string& name, const std::string& content) {
        const fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary) << content;
        return p.string();
    }
    std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        return Write(name, std::string(bytes.begin(), bytes.end()));
    }
    // The error a load must end in; ADD_FAILURE and an empty message otherwise.
    std::string ErrorOf(const std::string& path, int code, std::int32_t start = 0) {
        try {
            LoadFirmwareImage(path, start, image_);
        } catch (const FirmwareError& e) {
            EXPECT_EQ(e.Code(), code) << e.what();
            return e.what();
        }
        ADD_FAILURE() << path << " loaded without error";
        return {};
    }

    fs::path dir_;
    FirmwareImage image_;
};

TEST_F(FirmwareImageTest, StandardHexFileStoresEveryByteAndReportsEachLine) {
    const auto data = RandomBytes(0x100, 1);
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < data.size(); i += 16)
        lines.push_back(Record(0, 0x1200 + static_cast<unsigned>(i), {data.begin() + i, data.begin() + i + 16}));
    lines.push_back(Eof);
    std::string text;
    for (const auto& l : lines) text += l + "\r\n";

    std::vector<std::string> status;
    int pumps = 0;
    const ImageReadHooks hooks{[&] { ++pumps; }, [&](const std::string& s) { status.push_back(s); }};
    EXPECT_EQ(LoadFirmwareImage(Write("fw.hex", text), 0, image_, hooks), 0x1300);

    FirmwareImage expected(ImageSize, 0);
    std::copy(data.begin(), data.end(), expected.begin() + 0x1200);
    EXPECT_TRUE(image_ == expected);
    ASSERT_EQ(status.size(), lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(status[i], "Extracting... " + lines[i]);
    EXPECT_EQ(pumps, static_cast<int>(lines.size()));
}

TEST_F(FirmwareImageTest, RefusesBadHexFilesNamingLineAndProblem) {
    const std::string longLine = ":" + std::string(1200, '0');
    const std::string zeros(3, '\0');
    struct Case { std::string text; int code; std::string what; };
    const Case cases[] = {
        {Good + "\n:0300300002337A1F\n" + Eof, FirmwareErrorCode::InvalidHexRecord, "line 2 of bad.hex: checksum 0x1F, expected 0x1E"},
        {Good + "\n:0300300002337A1\n" + Eof, FirmwareErrorCode::InvalidHexRecord, "line 2 of bad.hex: odd number"},
        {Good + "\n:0300300002G37A1E\n" + Eof, FirmwareErrorCode::InvalidHexRecord, "line 2 of bad.hex: 'G' in column 12"},
        {Good + "\n:0400300002337A1E\n" + Eof, FirmwareErrorCode::InvalidHexRecord, "line 2 of bad.hex: the byte count 0x04 calls for 19 characters, the line has 17"},
        {Good + "\n:00000000\n" + Eof, FirmwareErrorCode::InvalidHexRecord, "line 2 of bad.hex: too short"},
        {Good + "\n0300300002337A1E\n" + Eof, FirmwareErrorCode::InvalidHexRecord, "line 2 of bad.hex: the line does not start with ':'"},
        {Good + "\n" + Record(6, 0, {}) + "\n" + Eof, FirmwareErrorCode::InvalidHexRecord, "line 2 of bad.hex: unknown record type 0x06"},
        {Good + "\n" + Record(4, 0, {0, 1, 2}) + "\n" + Eof, FirmwareErrorCode::InvalidHexRecord, "line 2 of bad.hex: a type 04 record holds 2"},
        {Good + "\n" + Good + "\n \t\n" + Eof, FirmwareErrorCode::InvalidHexRecord, "line 3 of bad.hex: the line is empty"},
        {"\n" + Good + "\n" + Eof, FirmwareErrorCode::InvalidHexRecord, "line 1 of bad.hex: the line is empty"},
        {Good + "\n" + longLine + "\n" + Eof, FirmwareErrorCode::InvalidHexRecord, "line 2 of bad.hex: the line is longer than 1024"},
        {Good + "\n" + Good + "\n", FirmwareErrorCode::TruncatedHexFile, "bad.hex ends after line 2 without its end-of-file record"},
        {"", FirmwareErrorCode::NotHexFile, "bad.hex is not an Intel HEX file"},
        {"\n<!DOCTYPE html>\n<html><body>404</body></html>\n", FirmwareErrorCode::NotHexFile, "bad.hex is not an Intel HEX file: line 2 does not start with ':'"},
        {Good + "\n" + zeros + "\n" + Eof, FirmwareErrorCode::NotHexFile, "not an Intel HEX file: it contains binary data (a NUL byte on line 2)"},
        {std::string(300000, 'A'), FirmwareErrorCode::NotHexFile, "not an Intel HEX file"},
        {Record(4, 0, {0, 1}) + "\n" + Record(0, 0x86A0, {1, 2}) + "\n" + Eof, FirmwareErrorCode::AddressOutsideImage, "line 2 of bad.hex lands at 0x186A0..0x186A1"},
        {Record(4, 0, {0xFF, 0xFF}) + "\n" + Record(0, 0xFFFF, {1}) + "\n" + Eof, FirmwareErrorCode::AddressOutsideImage, "line 2 of bad.hex"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_NE(ErrorOf(Write("bad.hex", c.text), c.code).find(c.what), std::string::npos);
    }
    auto garbage = RandomBytes(4096, 7);  // starts like a record, no NUL bytes: still binary
    garbage[0] = ':';
    std::replace(garbage.begin(), garbage.end(), std::uint8_t{0}, std::uint8_t{1});
    EXPECT_NE(ErrorOf(Write("random.hex", garbage), FirmwareErrorCode::NotHexFile).find("binary data"), std::string::npos);
#if !defined(__EMSCRIPTEN__)  // node's file emulation has no sparse files past 2 GiB
    // A file larger than any HEX file of an image is refused by its size, without reading it.
    const std::string sparse = Write("huge.hex", "");
    fs::resize_file(sparse, 3ull << 30);
    EXPECT_NE(ErrorOf(sparse, FirmwareErrorCode::FileTooLarge).find("huge.hex is 3221225472 bytes long"), std::string::npos);
#endif
    const std::string over = Write("over.hex", "");
    fs::resize_file(over, MaxHexFileBytes + 1);
    ErrorOf(over, FirmwareErrorCode::FileTooLarge);
}

TEST_F(FirmwareImageTest, PlacesDataByExtendedAddressesAndKeepsHighestEnd) {
    struct Case { std::vector<std::string> records; std::int32_t end; std::vector<std::pair<std::size_t, std::uint8_t>> bytes; };
    const Case cases[] = {
        {{Record(4, 0, {0, 1}), Record(0, 0x0010, {0xAA, 0xBB})}, 0x10012, {{0x10010, 0xAA}, {0x10011, 0xBB}, {0x0010, 0}}},
        {{Record(2, 0, {0x10, 0x00}), Record(0, 0x0020, {0xCC})}, 0x10021, {{0x10020, 0xCC}}},
        {{Record(4, 0, {0, 1}), Record(0, 0x86A0, {0x5A})}, 100001, {{100000, 0x5A}}},
        {{Record(0, 0x2000, {1, 2, 3, 4}), Record(0, 0x2002, {7, 8}), Record(0, 0x1000, {9}), Record(5, 0, {0, 0, 1, 0}),
          Record(0, 0x3000, {})}, 0x2004, {{0x1000, 9}, {0x2000, 1}, {0x2001, 2}, {0x2002, 7}, {0x2003, 8}}},
        {{}, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.end);
        std::string text;
        for (const auto& r : c.records) text += r + "\n";
        EXPECT_EQ(LoadFirmwareImage(Write("fw.hex", text + Eof), 0, image_), c.end);
        for (const auto& [address, value] : c.bytes) EXPECT_EQ(image_.at(address), value) << address;
    }
}

TEST_F(FirmwareImageTest, AcceptsEveryLineEndAndNeverReadsPastEndRecord) {
    const std::string lower = ":0300300002337a1e \t";
    for (const std::string end : {"\n", "\r", "\r\n"}) {
        std::vector<std::string> status;
        const ImageReadHooks hooks{{}, [&](const std::string& s) { status.push_back(s); }};
        const auto path = Write("fw.HEX", lower + end + Eof + end + std::string("junk\0\x01", 6) + end);
        EXPECT_EQ(LoadFirmwareImage(path, 0, image_, hooks), 0x33);
        EXPECT_EQ(image_[0x32], 0x7A);
        EXPECT_EQ(status, (std::vector<std::string>{"Extracting... " + lower, "Extracting... " + Eof}));
    }
    EXPECT_EQ(LoadFirmwareImage(Write("firmwarehex", Good + "\n" + Eof), 0, image_), 0x33);  // no line end at all
}

TEST_F(FirmwareImageTest, EachReadingStartsFromZeroedImage) {
    LoadFirmwareImage(Write("big.hex", Record(0, 0x40, {1, 2, 3}) + "\n" + Good + "\n" + Eof), 0, image_);
    EXPECT_EQ(LoadFirmwareImage(Write("small.hEx", Record(0, 0x10, {5}) + "\n" + Eof), 0, image_), 0x11);
    FirmwareImage expected(ImageSize, 0);
    expected[0x10] = 5;
    EXPECT_TRUE(image_ == expected);
    ErrorOf(Write("cut.hex", Good + "\n"), FirmwareErrorCode::TruncatedHexFile);
    EXPECT_EQ(image_[0x10], 0);  // a failed reading starts from zero too
    EXPECT_EQ(image_[0x30], 2);
}

TEST_F(FirmwareImageTest, BinAndDatCopyFromStartThroughFileLength) {
    const auto file = RandomBytes(0x3000, 3);
    for (const bool dat : {false, true}) {
        const auto stored = [&](std::uint8_t b) { return dat ? static_cast<std::uint8_t>((255 - b) ^ DatMask) : b; };
        image_.assign(ImageSize, 0xEE);
        EXPECT_EQ(LoadFirmwareImage(Write(dat ? "fw.Dat" : "fw.BIN", file), 0x1200, image_), 0x3000);
        ASSERT_EQ(image_.size(), ImageSize);
        for (std::size_t a = 0; a < ImageSize; ++a) {
            const std::uint8_t want = a < 0x1200 || a > 0x3000 ? 0 : stored(a == 0x3000 ? 0 : file[a]);
            ASSERT_EQ(image_[a], want) << "address " << a;
        }
        EXPECT_EQ(image_[0x3000], dat ? 0x94 : 0);
    }
    EXPECT_EQ(LoadFirmwareImage(Write("empty.dat", ""), 0, image_), 0);
    EXPECT_EQ(image_[0], 0x94);
    EXPECT_EQ(LoadFirmwareImage(Write("short.bin", file), 0x3001, image_), 0x3000);  // start past the end: nothing copied
    EXPECT_TRUE(image_ == FirmwareImage(ImageSize, 0));
    EXPECT_EQ(LoadFirmwareImage(Write("full.bin", std::string(100000, '\x11')), 99999, image_), 100000);
    EXPECT_EQ(image_[99999], 0x11);
}

TEST_F(FirmwareImageTest, RefusesUnusableFiles) {
    // A BIN or DAT file one byte too long is told what a raw file is told, not a HEX file's text.
    for (const std::string name : {"over.bin", "over.dat"})
        EXPECT_NE(ErrorOf(Write(name, std::string(100001, '\x11')), FirmwareErrorCode::FileTooLarge, 100000)
                      .find(name + " is 100001 bytes long; it would reach address 100001, past the end of the firmware area"),
                  std::string::npos) << name;
#if !defined(__EMSCRIPTEN__)
    const std::string huge = Write("huge.dat", "");
    fs::resize_file(huge, 2ull << 30);
    EXPECT_NE(ErrorOf(huge, FirmwareErrorCode::FileTooLarge).find("huge.dat is 2147483648 bytes"), std::string::npos);
#endif
    ErrorOf((dir_ / "missing.bin").string(), FirmwareErrorCode::FileNotFound);
    ErrorOf((dir_ / "missing.hex").string(), FirmwareErrorCode::FileNotFound);
    fs::create_directory(dir_ / "folder.hex");
    ErrorOf((dir_ / "folder.hex").string(), FirmwareErrorCode::FileUnreadable);
    ErrorOf(Write("fw.bin", "abc"), FirmwareErrorCode::AddressOutsideImage, -1);
#if !defined(_WIN32) && !defined(__EMSCRIPTEN__)  // node's file emulation has no named pipes
    // Whatever is not a regular file is refused before it is opened: a named pipe would block the
    // open, /dev/zero would never end.
    ASSERT_EQ(::mkfifo((dir_ / "pipe.bin").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((dir_ / "pipe.hex").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir_ / "zero.hex");
    fs::create_symlink("/dev/zero", dir_ / "zero.dat");
    const std::pair<const char*, const char*> others[] = {
        {"pipe.bin", "is a named pipe (FIFO), not a regular file"}, {"pipe.hex", "is a named pipe (FIFO)"},
        {"zero.hex", "is a device, not a regular file"}, {"zero.dat", "is a device"}};
    for (const auto& [name, what] : others) {
        const std::string message = ErrorOf((dir_ / name).string(), FirmwareErrorCode::FileUnreadable);
        EXPECT_NE(message.find(what), std::string::npos) << message;
    }
#endif
}

// What a program that has a file's bytes and no path (or has read them once itself) loads.
TEST_F(FirmwareImageTest, BytesWithTheirNameLoadAsTheFileDoes) {
    const std::string hex = Record(0, 0x1210, {1, 2, 3}) + "\r\n" + Eof + "\r\n";
    const std::string raw = std::string(0x1300, '\x5A');
    for (const auto& [name, bytes] : {std::pair{"fw.hex", hex}, {"fw.bin", raw}, {"fw.DAT", raw}}) {
        SCOPED_TRACE(name);
        FirmwareImage fromPath;
        const std::int32_t end = LoadFirmwareImage(Write(name, bytes), 0x1200, fromPath);
        const FirmwareFile file = ReadFirmwareFile((dir_ / name).string());
        EXPECT_EQ(file.bytes, bytes);
        EXPECT_EQ(LoadFirmwareImage(FirmwareFile{std::string("any/") + name, bytes}, 0x1200, image_), end);
        EXPECT_TRUE(image_ == fromPath);
    }
    try {
        LoadFirmwareImage(FirmwareFile{"C:\\in\\bad.hex", Good + "\n:0300300002337A1F\n"}, 0, image_);
        ADD_FAILURE() << "loaded";
    } catch (const FirmwareError& e) {
        EXPECT_NE(std::string(e.what()).find("line 2 of bad.hex: checksum"), std::string::npos) << e.what();
    }
}

TEST_F(FirmwareImageTest, KindComesFromLastThreeCharacters) {
    const std::pair<const char*, FirmwareKind> cases[] = {
        {"a.hex", FirmwareKind::Hex}, {"a.Hex", FirmwareKind::Hex}, {"A.hEX", FirmwareKind::Hex}, {"firmwarehex", FirmwareKind::Hex},
        {"hex", FirmwareKind::Hex},   {"x.bin", FirmwareKind::Bin}, {"x.DAT", FirmwareKind::Dat}, {"x.txt", FirmwareKind::Unknown},
        {"ex", FirmwareKind::Unknown}, {"", FirmwareKind::Unknown}, {"x.hex ", FirmwareKind::Unknown}};
    for (const auto& [path, kind] : cases) EXPECT_EQ(FirmwareKindOfPath(path), kind) << path;

    image_.assign(7, 0x55);
    EXPECT_EQ(LoadFirmwareImage(Write("notes.txt", Good + "\n" + Eof), 0x10, image_), 0);
    EXPECT_TRUE(image_ == FirmwareImage(7, 0x55));
}

TEST_F(FirmwareImageTest, ReadsHexWrittenByObjcopy) {
    if (std::system("objcopy --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "objcopy not available";
    const auto data = RandomBytes(5000, 11);
    const std::string in = Write("in.bin", data), out = (dir_ / "out.hex").string();
    const std::string command = "objcopy -I binary -O ihex --change-addresses 0x1200 \"" + in + "\" \"" + out + "\"";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(LoadFirmwareImage(out, 0, image_), 0x1200 + 5000);
    FirmwareImage expected(ImageSize, 0);
    std::copy(data.begin(), data.end(), expected.begin() + 0x1200);
    EXPECT_TRUE(image_ == expected);
}

}  // namespace
}  // namespace upload
