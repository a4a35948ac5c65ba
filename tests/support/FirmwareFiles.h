#pragma once
// Firmware file contents for tests.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace testsupport {

inline std::vector<std::uint8_t> RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<std::uint8_t> out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(gen());
    return out;
}

// Intel HEX text holding data at address, 16 bytes a record, with its end-of-file record.
inline std::string HexText(unsigned address, const std::vector<std::uint8_t>& data) {
    std::string text;
    char pair[3];
    for (std::size_t i = 0; i < data.size(); i += 16) {
        const std::size_t n = std::min<std::size_t>(16, data.size() - i);
        const unsigned a = address + static_cast<unsigned>(i);
        std::vector<unsigned> bytes{static_cast<unsigned>(n), a >> 8 & 0xFF, a & 0xFF, 0};
        bytes.insert(bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(i),
                     data.begin() + static_cast<std::ptrdiff_t>(i + n));
        unsigned sum = 0;
        text += ":";
        for (unsigned b : bytes) sum += b, std::snprintf(pair, sizeof pair, "%02X", b), text += pair;
        std::snprintf(pair, sizeof pair, "%02X", (0x100 - sum % 0x100) % 0x100);
        text += std::string(pair) + "\r\n";
    }
    return text + ":00000001FF\r\n";
}

inline std::string AsText(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace testsupport
