#include "usbio/LinuxHidPlatform.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <linux/input.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>
#include <utility>

namespace usbio {

namespace fs = std::filesystem;

namespace {

constexpr char HidrawPrefix[] = "hidraw";
constexpr std::size_t HidrawPrefixLength = sizeof(HidrawPrefix) - 1;

// sysfs attribute files are one page at most; anything longer is not what we expect.
constexpr std::size_t MaxSysfsFileSize = 64 * 1024;

// The largest length the feature-report ioctls can carry: it is encoded in the request number.
constexpr std::size_t MaxIoctlLength = _IOC_SIZEMASK;

bool IsHidrawName(std::string_view name) {
    if (name.size() <= HidrawPrefixLength || name.substr(0, HidrawPrefixLength) != HidrawPrefix)
        return false;
    const std::string_view digits = name.substr(HidrawPrefixLength);
    return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// hidraw2 before hidraw10. Compares the digits without converting them, so any count of digits
// is fine; names equal in value (hidraw1, hidraw01) fall back to plain text order.
bool HidrawNameLess(const std::string& a, const std::string& b) {
    auto number = [](const std::string& name) {
        std::string_view digits = std::string_view(name).substr(HidrawPrefixLength);
        const std::size_t firstNonZero = digits.find_first_not_of('0');
        return firstNonZero == std::string_view::npos ? std::string_view{}
                                                      : digits.substr(firstNonZero);
    };
    const std::string_view na = number(a);
    const std::string_view nb = number(b);
    if (na.size() != nb.size()) return na.size() < nb.size();
    if (na != nb) return na < nb;
    return a < b;
}

// The contents of a small regular file, nullopt when it cannot be read or is too long.
std::optional<std::string> ReadSmallFile(const fs::path& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::nullopt;

    std::optional<std::string> text;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        std::string content;
        char buffer[4096];
        bool ok = true;
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                ok = false;
                break;
            }
            if (n == 0) break;
            if (content.size() + static_cast<std::size_t>(n) > MaxSysfsFileSize) {
                ok = false;
                break;
            }
            content.append(buffer, static_cast<std::size_t>(n));
        }
        if (ok) text = std::move(content);
    }
    ::close(fd);
    return text;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads 1 to maxDigits hexadecimal digits from the start of text and moves past them.
std::optional<std::uint32_t> TakeHex(std::string_view& text, std::size_t maxDigits) {
    std::uint32_t value = 0;
    std::size_t digits = 0;
    while (digits < text.size() && HexDigitValue(text[digits]) >= 0) {
        if (++digits > maxDigits) return std::nullopt;
        value = (value << 4) | static_cast<std::uint32_t>(HexDigitValue(text[digits - 1]));
    }
    if (digits == 0) return std::nullopt;
    text.remove_prefix(digits);
    return value;
}

// bcdDevice of the USB device above a hidraw node's sysfs folder: the node's "device" is the HID
// device, its parent the USB interface, and that one's parent the USB device. 0 when there is no
// readable, well-formed value (other buses, virtual devices).
std::uint16_t ReadUsbVersion(const fs::path& hidrawSysDir) {
    // ".." is resolved by the kernel after following the "device" link, as the tree really is.
    const auto text = ReadSmallFile(hidrawSysDir / "device" / ".." / ".." / "bcdDevice");
    if (!text) return 0;
    std::string_view rest = *text;
    const auto value = TakeHex(rest, 4);
    if (!value || !(rest.empty() || rest == "\n")) return 0;
    return static_cast<std::uint16_t>(*value);
}

bool ToFd(HidHandle handle, int& fd) {
    if (handle < 0 || handle > INT_MAX) return false;
    fd = static_cast<int>(handle);
    return true;
}

int SystemIoctl(int fd, unsigned long request, void* argument) {
    return ::ioctl(fd, request, argument);
}

// hidraw waits for the device without being interruptible, so EINTR can only come before the
// request was started; repeating it cannot send a report twice.
int IoctlRetry(const LinuxHidPlatform::IoctlFunction& ioctl, int fd, unsigned long request,
               void* argument) {
    int result;
    do {
        result = ioctl(fd, request, argument);
    } while (result < 0 && errno == EINTR);
    return result;
}

// The errors of usbhid's control transfers: an unplug shows as a protocol error (or, once the
// device is gone, as no device), a refused request as a stall, no answer as usbhid's timeout.
TransferFault TransferFaultOf(int error) {
    switch (error) {
    case EPROTO:
    case ENODEV:
    case ESHUTDOWN:
    case ECONNRESET:
        return TransferFault::Gone;
    case EPIPE:
        return TransferFault::Refused;
    case ETIMEDOUT:
        return TransferFault::NoAnswer;
    default:
        return TransferFault::Unknown;
    }
}

OpenError OpenErrorOf(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
        return OpenError::PermissionDenied;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return OpenError::NotFound;
    case EBUSY:
        return OpenError::Busy;
    default:
        return OpenError::Other;
    }
}

}  // namespace

// The rest of the first line of text that starts with key; nullopt when no line does.
std::optional<std::string_view> UeventLine(std::string_view text, std::string_view key) {
    std::size_t lineStart = 0;
    while (lineStart < text.size()) {
        std::size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string_view::npos) lineEnd = text.size();
        std::string_view line = text.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;
        if (line.substr(0, key.size()) == key) return line.substr(key.size());
    }
    return std::nullopt;
}

// UeventLine without carriage returns at its end.
std::optional<std::string_view> UeventValue(std::string_view text, std::string_view key) {
    auto line = UeventLine(text, key);
    while (line && !line->empty() && line->back() == '\r') line->remove_suffix(1);
    return line;
}

// HID_PHYS without the interface part that drivers of devices with several interfaces add
// ("usb-0000:00:14.0-4/input1" gives "usb-0000:00:14.0-4"), so that it names the device.
std::string_view WithoutInputPart(std::string_view phys) {
    const std::size_t slash = phys.rfind("/input");
    if (slash == std::string_view::npos) return phys;
    const std::string_view number = phys.substr(slash + 6);
    const bool digits = !number.empty() &&
        std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
    return digits ? phys.substr(0, slash) : phys;
}

DeviceIdentity ParseHidUeventIdentity(std::string_view text) {
    DeviceIdentity identity;
    if (const auto phys = UeventValue(text, "HID_PHYS="))
        identity.PortPath = CleanSerial(WithoutInputPart(*phys));
    if (const auto uniq = UeventValue(text, "HID_UNIQ=")) identity.Serial = CleanSerial(*uniq);
    return identity;
}

std::optional<HidUeventId> ParseHidUevent(std::string_view text) {
    auto found = UeventLine(text, "HID_ID=");
    if (!found) return std::nullopt;
    std::string_view line = *found;
    // The kernel writes %04X:%08X:%08X; take up to 8 digits of either case for each.
    std::uint32_t fields[3] = {};
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (line.empty() || line.front() != ':') return std::nullopt;
            line.remove_prefix(1);
        }
        const auto value = TakeHex(line, 8);
        if (!value || *value > 0xFFFF) return std::nullopt;
        fields[i] = *value;
    }
    if (!line.empty()) return std::nullopt;
    HidUeventId id;
    id.Bus = static_cast<std::uint16_t>(fields[0]);
    id.VendorID = static_cast<std::uint16_t>(fields[1]);
    id.ProductID = static_cast<std::uint16_t>(fields[2]);
    return id;
}

LinuxHidPlatform::LinuxHidPlatform(fs::path sysRoot, fs::path devRoot)
    : LinuxHidPlatform(std::move(sysRoot), std::move(devRoot), SystemIoctl) {}

LinuxHidPlatform::LinuxHidPlatform(fs::path sysRoot, fs::path devRoot, IoctlFunction ioctl)
    : sysRoot_(std::move(sysRoot)),
      devRoot_(std::move(devRoot)),
      ioctl_(ioctl ? std::move(ioctl) : IoctlFunction(SystemIoctl)) {}

bool LinuxHidPlatform::EnumerateInterfaces(std::vector<std::string>& paths) {
    paths.clear();
    const fs::path classDir = sysRoot_ / "class" / "hidraw";
    std::error_code ec;
    fs::directory_iterator it(classDir, ec);
    if (ec) {
        // The folder exists once the hidraw driver is loaded; without it there is no HID device.
        return ec == std::errc::no_such_file_or_directory;
    }
    std::vector<std::string> names;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) return false;
        std::string name = it->path().filename().string();
        if (IsHidrawName(name)) names.push_back(std::move(name));
    }
    if (ec) return false;
    std::sort(names.begin(), names.end(), HidrawNameLess);
    paths.reserve(names.size());
    for (const std::string& name : names) paths.push_back((devRoot_ / name).string());
    return true;
}

std::optional<HIDD_ATTRIBUTES> LinuxHidPlatform::PeekAttributes(const std::string& path) {
    const std::string name = fs::path(path).filename().string();
    if (!IsHidrawName(name)) return std::nullopt;
    const fs::path nodeDir = sysRoot_ / "class" / "hidraw" / name;
    const auto text = ReadSmallFile(nodeDir / "device" / "uevent");
    if (!text) return std::nullopt;
    const auto id = ParseHidUevent(*text);
    if (!id) return std::nullopt;
    HIDD_ATTRIBUTES attributes;
    attributes.VendorID = id->VendorID;
    attributes.ProductID = id->ProductID;
    attributes.VersionNumber = id->Bus == BUS_USB ? ReadUsbVersion(nodeDir) : 0;
    return attributes;
}

DeviceIdentity LinuxHidPlatform::PeekIdentity(const std::string& path) {
    const std::string name = fs::path(path).filename().string();
    if (!IsHidrawName(name)) return {};
    std::error_code error;
    const fs::path root = fs::weakly_canonical(sysRoot_, error);
    const fs::path hidDevice = fs::canonical(sysRoot_ / "class" / "hidraw" / name / "device", error);
    if (error) return {};
    fs::path dir = hidDevice;
    // Up from the HID device to the first folder that is a USB device (interfaces have no
    // busnum), never above the sysfs root.
    for (int depth = 0; depth < 16 && dir.has_relative_path() && dir != root; ++depth) {
        const auto busnum = ReadSmallFile(dir / "busnum");
        const auto devpath = ReadSmallFile(dir / "devpath");
        if (busnum && devpath) {
            DeviceIdentity identity;
            identity.PortPath = UsbPortPath(*busnum, *devpath);
            if (const auto serial = ReadSmallFile(dir / "serial")) identity.Serial = CleanSerial(*serial);
            return identity;
        }
        dir = dir.parent_path();
    }
    const auto uevent = ReadSmallFile(hidDevice / "uevent");
    return uevent ? ParseHidUeventIdentity(*uevent) : DeviceIdentity{};
}

HidHandle LinuxHidPlatform::Open(const std::string& path, HidAccess access, OpenError* error) {
    // hidraw checks no access mode in its ioctls: a node opened for reading only can still be
    // asked for its attributes and descriptor, and can send and fetch feature reports. So the
    // weakest open that keeps all of that is a read-only one (O_PATH would refuse every ioctl).
    // It helps when the node grants read but not write permission, or when something refuses
    // writers.
    const int flags = (access == HidAccess::ReadWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC;
    if (path.find('\0') != std::string::npos) {
        if (error) *error = OpenError::NotFound;
        return INVALID_HANDLE_VALUE;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (error) *error = OpenErrorOf(errno);
        return INVALID_HANDLE_VALUE;
    }
    if (error) *error = OpenError::None;
    return static_cast<HidHandle>(fd);
}

WriteLock LinuxHidPlatform::LockForWriting(HidHandle handle) {
    int fd;
    if (!ToFd(handle, fd)) return {false, 0};
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result < 0 && errno == EINTR);
    if (result == 0) return {true, 0};
    // A system without locks on this node (ENOLCK and the like) cannot tell: go on as before.
    if (errno != EWOULDBLOCK) return {true, 0};
    struct stat st {};
    if (::fstat(fd, &st) != 0) return {false, 0};
    const std::optional<std::string> locks = ReadSmallFile("/proc/locks");
    // /proc/locks can outgrow the small-file limit on a busy system; then the PID stays unknown.
    return {false, locks ? FlockHolderPid(*locks, major(st.st_dev), minor(st.st_dev), st.st_ino) : 0};
}

std::int64_t FlockHolderPid(std::string_view procLocks, unsigned deviceMajor, unsigned deviceMinor,
                            std::uint64_t inode) {
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", deviceMajor, deviceMinor,
                  static_cast<unsigned long long>(inode));
    while (!procLocks.empty()) {
        const std::size_t end = std::min(procLocks.find('\n'), procLocks.size());
        const std::string_view line = procLocks.substr(0, end);
        procLocks.remove_prefix(std::min(end + 1, procLocks.size()));
        // "N: FLOCK ADVISORY WRITE PID MAJ:MIN:INODE START END"; "N: -> ..." lines are waiters.
        std::vector<std::string_view> fields;
        for (std::size_t i = 0; i < line.size();) {
            const std::size_t first = line.find_first_not_of(' ', i);
            if (first == std::string_view::npos) break;
            const std::size_t last = std::min(line.find(' ', first), line.size());
            fields.push_back(line.substr(first, last - first));
            i = last;
        }
        if (fields.size() < 6 || fields[1] != "FLOCK" || fields[5] != wanted) continue;
        std::int64_t pid = 0;
        for (const char c : fields[4]) {
            if (c < '0' || c > '9' || pid > 1'000'000'000) return 0;
            pid = pid * 10 + (c - '0');
        }
        return pid;
    }
    return 0;
}

void LinuxHidPlatform::Close(HidHandle handle) {
    int fd;
    if (!ToFd(handle, fd)) return;
    // Not repeated on EINTR: Linux releases the descriptor even then, and a second close could
    // hit a descriptor another thread has just been given.
    ::close(fd);
}

bool LinuxHidPlatform::GetAttributes(HidHandle handle, HIDD_ATTRIBUTES& attributes) {
    int fd;
    if (!ToFd(handle, fd)) return false;
    hidraw_devinfo info{};
    if (IoctlRetry(ioctl_, fd, HIDIOCGRAWINFO, &info) < 0) return false;

    std::uint16_t version = 0;
    struct stat st {};
    if (info.bustype == BUS_USB && ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode)) {
        const std::string node =
            std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
        version = ReadUsbVersion(sysRoot_ / "dev" / "char" / node);
    }
    attributes.VendorID = static_cast<std::uint16_t>(info.vendor);
    attributes.ProductID = static_cast<std::uint16_t>(info.product);
    attributes.VersionNumber = version;
    return true;
}

bool LinuxHidPlatform::GetPreparsedData(HidHandle handle, PreparsedHandle& preparsed) {
    int fd;
    if (!ToFd(handle, fd)) return false;
    int size = 0;
    if (IoctlRetry(ioctl_, fd, HIDIOCGRDESCSIZE, &size) < 0) return false;
    if (size < 0 || size > HID_MAX_DESCRIPTOR_SIZE) return false;

    auto descriptor = std::make_unique<hidraw_report_descriptor>();
    descriptor->size = static_cast<__u32>(size);
    if (IoctlRetry(ioctl_, fd, HIDIOCGRDESC, descriptor.get()) < 0) {
        // Some kernels take one byte less than the largest descriptor they hold. Losing the
        // last byte (normally an End Collection) does not change the lengths.
        if (errno != EINVAL || size != HID_MAX_DESCRIPTOR_SIZE) return false;
        descriptor->size = static_cast<__u32>(size - 1);
        if (IoctlRetry(ioctl_, fd, HIDIOCGRDESC, descriptor.get()) < 0) return false;
    }
    const std::size_t length = std::min<std::size_t>(descriptor->size, sizeof descriptor->value);
    const PreparsedHandle token = KeepPreparsed(ParseReportDescriptor(descriptor->value, length));
    if (token == 0) return false;
    preparsed = token;
    return true;
}

PreparsedHandle LinuxHidPlatform::KeepPreparsed(const ReportDescriptorInfo& info) {
    const std::lock_guard<std::mutex> lock(preparsedMutex_);
    if (nextPreparsed_ <= 0) return 0;  // all tokens used up; none is ever handed out twice
    const PreparsedHandle token = nextPreparsed_;
    nextPreparsed_ = token == INTPTR_MAX ? 0 : token + 1;
    preparsed_.emplace(token, info);
    return token;
}

bool LinuxHidPlatform::GetCaps(PreparsedHandle preparsed, HIDP_CAPS& caps) {
    const std::lock_guard<std::mutex> lock(preparsedMutex_);
    const auto it = preparsed_.find(preparsed);
    if (it == preparsed_.end()) return false;
    const ReportDescriptorInfo& info = it->second;
    caps.Usage = info.Usage;
    caps.UsagePage = info.UsagePage;
    caps.InputReportByteLength = info.InputReportByteLength;
    caps.OutputReportByteLength = info.OutputReportByteLength;
    caps.FeatureReportByteLength = info.FeatureReportByteLength;
    return true;
}

void LinuxHidPlatform::FreePreparsedData(PreparsedHandle preparsed) {
    const std::lock_guard<std::mutex> lock(preparsedMutex_);
    preparsed_.erase(preparsed);
}

std::size_t LinuxHidPlatform::MaxFeatureReportLength() const { return MaxIoctlLength; }

bool LinuxHidPlatform::SetFeature(HidHandle handle, const std::uint8_t* data, std::size_t length) {
    int fd;
    if (!ToFd(handle, fd) || data == nullptr || length == 0 || length > MaxIoctlLength)
        return false;
    // The request is declared read-write; hand the kernel a copy so the caller's const buffer is
    // never written.
    std::vector<std::uint8_t> copy(data, data + length);
    const int sent = IoctlRetry(ioctl_, fd, HIDIOCSFEATURE(length), copy.data());
    lastFault_ = sent < 0 ? TransferFaultOf(errno) : TransferFault::Unknown;
    // The kernel answers with the bytes the device took, report-ID byte included. A report that
    // was only partly taken is not a successful write.
    return sent >= 0 && static_cast<std::size_t>(sent) >= length;
}

bool LinuxHidPlatform::GetFeature(HidHandle handle, std::uint8_t* data, std::size_t length) {
    int fd;
    if (!ToFd(handle, fd) || data == nullptr || length == 0 || length > MaxIoctlLength)
        return false;
    // data[0] holds the report ID on entry; the kernel returns the report with the ID in front
    // and answers with how many bytes it wrote. A reply of 0 bytes or shorter than the report is
    // no answer: the exchange fails (the rest of the buffer reads as zeros).
    const int received = IoctlRetry(ioctl_, fd, HIDIOCGFEATURE(length), data);
    lastFault_ = received < 0 ? TransferFaultOf(errno) : TransferFault::Unknown;
    if (received < 0) return false;
    const std::size_t filled = std::min(static_cast<std::size_t>(received), length);
    std::memset(data + filled, 0, length - filled);
    return filled == length;
}

}  // namespace usbio
