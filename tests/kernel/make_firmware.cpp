// Writes the firmware files the kernel tests upload, each with the bytes the keyboard's flash
// must hold afterwards from address 0x1200 on (NAME.expect):
//   small.hex  Intel HEX, 16-byte data records from 0x1200, an extended linear address record
//   small.bin  raw: file offset = device address, 0x1200 bytes before the data
//   small.dat  like BIN, each byte stored scrambled: flash byte = (255 - file byte) ^ 0x6B
//   big.bin    raw, 64 KiB of data from 0x1200 (the throughput case)
//   bad.hex    a HEX file with a wrong checksum
// Sizes are not multiples of 128 bytes on purpose: the last block is a partial one.
//
//   make_firmware DIR
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t Start = 0x1200;

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = seed;
    for (auto& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return bytes;
}

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    return WriteFile(path, std::string(bytes.begin(), bytes.end()));
}

std::string HexRecord(std::uint8_t type, std::uint16_t address, const std::uint8_t* data, std::size_t count) {
    std::uint8_t sum = static_cast<std::uint8_t>(count + (address >> 8) + (address & 0xFF) + type);
    char buffer[16];
    std::string line = ":";
    std::snprintf(buffer, sizeof buffer, "%02X%04X%02X", static_cast<unsigned>(count), address, type);
    line += buffer;
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(buffer, sizeof buffer, "%02X", data[i]);
        line += buffer;
        sum = static_cast<std::uint8_t>(sum + data[i]);
    }
    std::snprintf(buffer, sizeof buffer, "%02X", static_cast<std::uint8_t>(0x100 - sum) & 0xFF);
    line += buffer;
    return line + "\r\n";
}

std::string HexFile(const std::vector<std::uint8_t>& data) {
    const std::uint8_t upper[2] = {0, 0};
    std::string text = HexRecord(0x04, 0, upper, 2);
    for (std::size_t offset = 0; offset < data.size(); offset += 16) {
        const std::size_t count = std::min<std::size_t>(16, data.size() - offset);
        text += HexRecord(0x00, static_cast<std::uint16_t>(Start + offset), data.data() + offset, count);
    }
    return text + ":00000001FF\r\n";
}

// A raw file: 0x1200 bytes that must not be sent, then the data.
std::vector<std::uint8_t> RawFile(const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> file = Pattern(Start, 7);
    file.insert(file.end(), data.begin(), data.end());
    return file;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_firmware DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = true;

    const auto hexData = Pattern(5000, 1);
    ok &= WriteFile(dir + "/small.hex", HexFile(hexData));
    ok &= WriteFile(dir + "/small.hex.expect", hexData);

    const auto binData = Pattern(6000, 2);
    ok &= WriteFile(dir + "/small.bin", RawFile(binData));
    ok &= WriteFile(dir + "/small.bin.expect", binData);

    const auto datFileBytes = Pattern(7000, 3);
    std::vector<std::uint8_t> datFlash;
    for (std::uint8_t b : datFileBytes) datFlash.push_back(static_cast<std::uint8_t>((255 - b) ^ 0x6B));
    ok &= WriteFile(dir + "/small.dat", RawFile(datFileBytes));
    ok &= WriteFile(dir + "/small.dat.expect", datFlash);

    const auto bigData = Pattern(64 * 1024, 4);
    ok &= WriteFile(dir + "/big.bin", RawFile(bigData));
    ok &= WriteFile(dir + "/big.bin.expect", bigData);

    std::string bad = HexFile(Pattern(64, 5));
    // A wrong checksum on the first data record (still two hex digits).
    char& digit = bad[bad.find("\r\n", bad.find("\r\n") + 2) - 1];
    digit = digit == '0' ? '1' : '0';
    ok &= WriteFile(dir + "/bad.hex", bad);

    if (!ok) {
        std::fprintf(stderr, "make_firmware: cannot write to %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
