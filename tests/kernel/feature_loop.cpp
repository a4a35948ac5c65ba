// The fastest the kernel path allows: a bare loop of feature-report exchanges on the keyboard's
// hidraw node, with nothing of the program around it. It sends the same reports as an upload:
// HIDIOCSFEATURE of a 132-byte write-block report (command 0x20, argument 0x80, 128 data bytes
// and a 0), then HIDIOCGFEATURE of 132 bytes, and before every 513 blocks (a 64 KiB upload) the
// start address 0x1200, as kestrune does. One version request (0xC0) comes first and its reply
// is printed, so that the loop doubles as a smoke test of the hidraw path. Every reply is checked.
// The keyboard stores the blocks only in firmware-upload mode (uhid_keyboard --upload-mode).
//
//   feature_loop [--count N] [--vendor HEX]
//
// Uses the first /dev/hidrawN (lowest N) with the vendor ID (default 2E5B). Prints one line:
//   feature_loop: N write-block exchanges in S s: R blocks/s (version "TEXT", /dev/hidrawN)
// and exits 0, or 1 when no node is found or an exchange fails.
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr std::size_t ReportLength = 132;  // report ID 0, command, argument, 129 payload bytes
constexpr std::uint8_t CmdReadVersion = 0xC0;
constexpr std::uint8_t CmdSetAddress = 0x10;
constexpr std::uint8_t CmdWriteBlock = 0x20;
constexpr std::uint8_t WriteBlockArgument = 0x80;
constexpr std::size_t BlockBytes = 128;
constexpr long BlocksPerUpload = 513;  // 64 KiB from 0x1200, as the flash cases send
constexpr unsigned StartAddress = 0x1200;

int OpenFirstWithVendor(std::uint16_t vendor, std::string& path) {
    std::vector<int> numbers;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("hidraw", 0) != 0 || name.size() == 6) continue;
        const std::string digits = name.substr(6);
        if (digits.find_first_not_of("0123456789") != std::string::npos) continue;
        numbers.push_back(std::atoi(digits.c_str()));
    }
    std::sort(numbers.begin(), numbers.end());
    for (int number : numbers) {
        const std::string candidate = "/dev/hidraw" + std::to_string(number);
        const int fd = ::open(candidate.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) continue;
        hidraw_devinfo info{};
        if (::ioctl(fd, HIDIOCGRAWINFO, &info) == 0 && static_cast<std::uint16_t>(info.vendor) == vendor) {
            path = candidate;
            return fd;
        }
        ::close(fd);
    }
    return -1;
}

// One exchange: the report is written, then read back into the same buffer. The keyboard answers
// with the report it took (report ID 0). False, with the reason on standard error, on failure.
bool Exchange(int fd, std::uint8_t (&report)[ReportLength], long number) {
    const std::uint8_t command = report[1];
    const int written = ::ioctl(fd, HIDIOCSFEATURE(ReportLength), report);
    if (written != static_cast<int>(ReportLength)) {
        std::fprintf(stderr, "feature_loop: exchange %ld: HIDIOCSFEATURE returned %d (%s)\n", number, written,
                     written < 0 ? std::strerror(errno) : "short");
        return false;
    }
    std::memset(report, 0xEE, sizeof report);
    report[0] = 0;  // the report number to fetch
    const int read = ::ioctl(fd, HIDIOCGFEATURE(ReportLength), report);
    if (read != static_cast<int>(ReportLength)) {
        std::fprintf(stderr, "feature_loop: exchange %ld: HIDIOCGFEATURE returned %d (%s)\n", number, read,
                     read < 0 ? std::strerror(errno) : "short");
        return false;
    }
    if (report[0] != 0 || report[1] != command || (command == CmdReadVersion && report[3] == 0)) {
        std::fprintf(stderr, "feature_loop: exchange %ld: unexpected reply %02X %02X %02X %02X\n", number,
                     report[0], report[1], report[2], report[3]);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    long count = 2000;
    std::uint16_t vendor = 0x2E5B;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--count" && i + 1 < argc) {
            count = std::strtol(argv[++i], nullptr, 10);
        } else if (arg == "--vendor" && i + 1 < argc) {
            vendor = static_cast<std::uint16_t>(std::strtoul(argv[++i], nullptr, 16));
        } else {
            std::fprintf(stderr, "usage: feature_loop [--count N] [--vendor HEX]\n");
            return 2;
        }
    }
    if (count < 1) count = 1;

    std::string path;
    const int fd = OpenFirstWithVendor(vendor, path);
    if (fd < 0) {
        std::fprintf(stderr, "feature_loop: no hidraw node with vendor %04X\n", vendor);
        return 1;
    }

    std::uint8_t report[ReportLength] = {0, CmdReadVersion};
    if (!Exchange(fd, report, 0)) return 1;
    const std::string version(reinterpret_cast<const char*>(report + 3),
                              strnlen(reinterpret_cast<const char*>(report + 3), ReportLength - 3));

    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) {
        if (i % BlocksPerUpload == 0) {
            std::memset(report, 0, sizeof report);
            report[1] = CmdSetAddress;
            report[2] = 0x02;
            report[3] = static_cast<std::uint8_t>(StartAddress >> 8);
            report[4] = static_cast<std::uint8_t>(StartAddress);
            if (!Exchange(fd, report, i + 1)) return 1;
        }
        std::memset(report, 0, sizeof report);
        report[1] = CmdWriteBlock;
        report[2] = WriteBlockArgument;
        for (std::size_t b = 0; b < BlockBytes; ++b)
            report[3 + b] = static_cast<std::uint8_t>(i * 131 + static_cast<long>(b) * 7);
        if (!Exchange(fd, report, i + 1)) return 1;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("feature_loop: %ld write-block exchanges in %.3f s: %.1f blocks/s (version \"%s\", %s)\n", count,
                seconds, count / seconds, version.c_str(), path.c_str());
    ::close(fd);
    return 0;
}
