// The hidraw backend against a fake sysfs and /dev tree in a temporary folder, and against a fake
// device answering the ioctls on an ordinary file descriptor. No real device and no particular
// user is needed.
#ifdef __linux__

#include "usbio/LinuxHidPlatform.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <linux/input.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <numeric>
#include <set>
#include <utility>

#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using namespace usbio;
using Bytes = std::vector<std::uint8_t>;

const Bytes VendorFeature131 = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x01, 0x15, 0x00,
                                0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x83, 0xB1, 0x02, 0xC0};

const char KeyboardUevent[] =
    "DRIVER=hid-generic\n"
    "HID_ID=0003:00002E5B:00000006\n"
    "HID_NAME=Kestrune Keyboard\n";

void WriteFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

using CapsFields = std::array<std::uint16_t, 5>;  // feature, input, output, usage page, usage
CapsFields Fields(const HIDP_CAPS& c) {
    return {c.FeatureReportByteLength, c.InputReportByteLength, c.OutputReportByteLength,
            c.UsagePage, c.Usage};
}

bool IsOpen(HidHandle handle) { return ::fcntl(static_cast<int>(handle), F_GETFD) != -1; }

// A sys/ and dev/ pair in a temporary folder.
class FakeTree : public ::testing::Test {
protected:
    // A hidraw node laid out as sysfs shows one of a USB device, links included: the node's
    // "device" is the HID device, two folders below the USB device. Returns the node's folder.
    fs::path AddNode(const std::string& name, const std::optional<std::string>& uevent,
                     const std::optional<std::string>& bcdDevice = std::nullopt) {
        const fs::path usb = sys_ / "devices" / ("usb-" + name), hid = usb / "1.1" / "hid";
        const fs::path node = hid / "hidraw" / name;
        fs::create_directories(node);
        if (uevent) WriteFile(hid / "uevent", *uevent);
        if (bcdDevice) WriteFile(usb / "bcdDevice", *bcdDevice);
        fs::create_directory_symlink(fs::path("..") / "..", node / "device");
        fs::create_directories(sys_ / "class" / "hidraw");
        fs::create_directory_symlink(node, sys_ / "class" / "hidraw" / name);
        WriteFile(dev_ / name, "");
        return node;
    }
    std::string DevPath(const std::string& name) const { return (dev_ / name).string(); }

    const testsupport::TempDir dir_;
    const fs::path sys_ = dir_.Path() / "sys", dev_ = dir_.Path() / "dev";
};

// ---- enumeration and peeking ---------------------------------------------------------------

TEST_F(FakeTree, EnumeratesOnlyHidrawNodesInNumericOrder) {
    std::vector<std::string> paths{"left over"};
    EXPECT_TRUE(LinuxHidPlatform(sys_, dev_).EnumerateInterfaces(paths));  // no driver: no devices
    EXPECT_TRUE(paths.empty());
    const char* const notNodes[] = {"hidraw",   "hidrawX", "hidraw1a", "event3",  "hidraw-1",
                                    "xhidraw4", "HIDRAW5", "hidraw 6", "hidraw0x"};
    for (const char* name : notNodes) AddNode(name, KeyboardUevent);
    for (const char* name : {"hidraw10", "hidraw0", "hidraw123456789012345678901234567890",
                             "hidraw2", "hidraw007"})
        AddNode(name, KeyboardUevent);
    LinuxHidPlatform platform(sys_, dev_);
    ASSERT_TRUE(platform.EnumerateInterfaces(paths));
    EXPECT_EQ(paths, (std::vector<std::string>{DevPath("hidraw0"), DevPath("hidraw2"),
                                               DevPath("hidraw007"), DevPath("hidraw10"),
                                               DevPath("hidraw123456789012345678901234567890")}));
    // Their uevent files are fine; the names alone rule them out.
    for (const char* name : notNodes)
        EXPECT_FALSE(platform.PeekAttributes(DevPath(name)).has_value()) << name;
}

TEST_F(FakeTree, ClassPathThatIsNoFolderFails) {
    WriteFile(sys_ / "class" / "hidraw", "not a folder");
    std::vector<std::string> paths{"left over"};
    EXPECT_FALSE(LinuxHidPlatform(sys_, dev_).EnumerateInterfaces(paths));
    EXPECT_TRUE(paths.empty());
}

TEST_F(FakeTree, PeekReadsTrustworthyIdsAndTheUsbDeviceVersion) {
    using Ids = std::array<std::uint16_t, 3>;  // vendor, product, version
    struct Case {
        const char* Name;
        std::optional<std::string> Uevent, BcdDevice;
        std::optional<Ids> Expected;
    };
    const Case cases[] = {
        {"hidraw0", KeyboardUevent, "0108\n", Ids{0x2E5B, 6, 0x0108}},
        {"hidraw1", "HID_ID=0003:0000046D:0000C52B\n", "ffff", Ids{0x046D, 0xC52B, 0xFFFF}},
        {"hidraw2", "HID_ID=0005:00002E5B:00000006\n", "0108\n", Ids{0x2E5B, 6, 0}},  // Bluetooth
        {"hidraw3", KeyboardUevent, "01x8\n", Ids{0x2E5B, 6, 0}},
        {"hidraw4", KeyboardUevent, "10108\n", Ids{0x2E5B, 6, 0}},
        {"hidraw5", KeyboardUevent, std::nullopt, Ids{0x2E5B, 6, 0}},
        {"hidraw6", "HID_ID=0003:2E5B\n", "0108\n", std::nullopt},
        {"hidraw7", std::nullopt, "0108\n", std::nullopt},
        // Longer than any sysfs file, even though it starts well.
        {"hidraw8", std::string(KeyboardUevent) + std::string(70000, 'x') + "\n", {}, {}},
        {"hidraw9", std::nullopt, {}, {}},   // a folder
        {"hidraw10", std::nullopt, {}, {}},  // a FIFO, which would block a plain open or read
    };
    for (const Case& c : cases) AddNode(c.Name, c.Uevent, c.BcdDevice);
    fs::create_directories(sys_ / "class/hidraw/hidraw9/device/uevent");
    ASSERT_EQ(::mkfifo((sys_ / "class/hidraw/hidraw10/device/uevent").c_str(), 0600), 0);
    LinuxHidPlatform platform(sys_, dev_);
    for (const Case& c : cases) {
        const auto p = platform.PeekAttributes(DevPath(c.Name));
        EXPECT_EQ(p ? std::optional(Ids{p->VendorID, p->ProductID, p->VersionNumber})
                    : std::nullopt,
                  c.Expected)
            << c.Name;
    }
    EXPECT_FALSE(platform.PeekAttributes(DevPath("hidraw11")).has_value());  // no node at all
}

// ---- uevent parsing ------------------------------------------------------------------------

TEST_F(FakeTree, IdentityComesFromTheNearestUsbDeviceAbove) {
    // The USB device above the interface folder "1.1", below a hub that is a USB device too.
    const fs::path usb = AddNode("hidraw2", KeyboardUevent).parent_path().parent_path().parent_path().parent_path();
    WriteFile(usb / "busnum", "1\n");
    WriteFile(usb / "devpath", "4.2\n");
    WriteFile(usb / "serial", "KS0001\n");
    WriteFile(usb.parent_path() / "busnum", "1\n");
    WriteFile(usb.parent_path() / "devpath", "4\n");
    EXPECT_EQ(LinuxHidPlatform(sys_, dev_).PeekIdentity(DevPath("hidraw2")), (DeviceIdentity{"1-4.2", "KS0001"}));

    fs::remove(usb / "serial");  // no serial number: the port alone
    EXPECT_EQ(LinuxHidPlatform(sys_, dev_).PeekIdentity(DevPath("hidraw2")), (DeviceIdentity{"1-4.2", ""}));
    for (const std::string& path : {DevPath("hidraw7"), DevPath("sda"), std::string()})
        EXPECT_EQ(LinuxHidPlatform(sys_, dev_).PeekIdentity(path), DeviceIdentity{}) << path;
}

TEST_F(FakeTree, IdentityOffUsbComesFromTheHidDeviceItself) {
    const std::string phys = "HID_PHYS=usb-kt-1/input1\nHID_UNIQ=KT0001\n";
    struct Case {
        const char* Name;
        std::optional<std::string> Uevent;
        bool OnUsb;             // the USB device above has busnum "1" and devpath "4.2"
        const char* UsbSerial;  // its serial file, nullptr for none
        DeviceIdentity Expected;
    };
    const Case cases[] = {
        // The USB device wins, serial and all, whatever the HID device says.
        {"hidraw0", KeyboardUevent + phys, true, "KS0001\n", {"1-4.2", "KS0001"}},
        {"hidraw1", KeyboardUevent + phys, true, nullptr, {"1-4.2", ""}},
        // No USB device above (uhid, Bluetooth): where the HID device is attached, and its own
        // serial, first line of each.
        {"hidraw2", KeyboardUevent + phys + "HID_PHYS=other\nHID_UNIQ=other\n", false, {}, {"usb-kt-1", "KT0001"}},
        {"hidraw3", "HID_UNIQ=\nHID_PHYS=00:1a:7d:da:71:13\r\n", false, {}, {"00:1a:7d:da:71:13", ""}},
        // Only a last "/input" with a number is the interface.
        {"hidraw12", "HID_PHYS=kt/input0/input\r\nHID_UNIQ=KT/input1\n", false, {}, {"kt/input0/input", "KT/input1"}},
        {"hidraw13", "HID_PHYS=kt/input0/input12\r\n", false, {}, {"kt/input0", ""}},
        {"hidraw14", "HID_PHYS=/input1\n", false, {}, {}},
        {"hidraw4", "HID_UNIQ=aa:bb:cc:dd:ee:ff", false, {}, {"", "aa:bb:cc:dd:ee:ff"}},
        {"hidraw5", KeyboardUevent, false, {}, {}},
        // Garbage gives nothing: not printable, a space, too long, not at a line's start.
        {"hidraw6", "HID_PHYS=a\tb\nHID_UNIQ=K\x80\n", false, {}, {}},
        {"hidraw7", "HID_PHYS=a b\nHID_UNIQ=" + std::string(127, 'K') + "\n", false, {}, {}},
        {"hidraw8", "XHID_PHYS=usb-kt-1\n HID_UNIQ=KT0001\nHID_PHYS\n", false, {}, {}},
        {"hidraw9", "HID_PHYS=" + std::string(126, 'P') + "\nHID_UNIQ=", false, {}, {std::string(126, 'P'), ""}},
        {"hidraw10", std::nullopt, false, {}, {}},
        {"hidraw11", std::string(70000, 'x') + "\n" + phys, false, {}, {}},  // longer than sysfs gives
    };
    for (const Case& c : cases) {
        const fs::path usb = AddNode(c.Name, c.Uevent).parent_path().parent_path().parent_path().parent_path();
        if (!c.OnUsb) continue;
        WriteFile(usb / "busnum", "1\n");
        WriteFile(usb / "devpath", "4.2\n");
        if (c.UsbSerial) WriteFile(usb / "serial", c.UsbSerial);
    }
    const auto text = [](const DeviceIdentity& id) { return std::pair(id.PortPath, id.Serial); };
    LinuxHidPlatform platform(sys_, dev_);
    for (const Case& c : cases) EXPECT_EQ(text(platform.PeekIdentity(DevPath(c.Name))), text(c.Expected)) << c.Name;
}

TEST(ParseHidUevent, ReadsOnlyTheFirstHidIdLineAndOnlyWhenWellFormed) {
    using Ids = std::array<std::uint16_t, 3>;  // bus, vendor, product
    const std::pair<std::string, std::optional<Ids>> cases[] = {
        {KeyboardUevent, Ids{0x0003, 0x2E5B, 0x0006}},
        {"DRIVER=hid-generic\nHID_ID=0005:0000046D:0000B342", Ids{0x0005, 0x046D, 0xB342}},
        {"HID_ID=0003:00002e5b:0000ffff\n", Ids{0x0003, 0x2E5B, 0xFFFF}},
        {"HID_ID=3:2E5B:6\n", Ids{0x0003, 0x2E5B, 0x0006}},
        {"HID_ID=0003:00002E5B:00000011\nHID_ID=0003:00001111:00002222\n", Ids{3, 0x2E5B, 0x11}},
        {"XHID_ID=0003:00001111:00002222\nHID_IDS=1\nHID_ID=3:2E5B:0011\n", Ids{3, 0x2E5B, 0x11}},
        {"HID_ID=garbage\nHID_ID=0003:00002E5B:00000006\n", std::nullopt},
        {"DRIVER=hid-generic\nHID_NAME=x\n", std::nullopt},
        {"HID_ID=0003:00002E5B\n", std::nullopt},
        {"HID_ID=0003:00002E5B:\n", std::nullopt},
        {"HID_ID=0003:00002G5B:00000006\n", std::nullopt},
        {"HID_ID=0003:000002E5B:00000006\n", std::nullopt},  // nine digits
        {"HID_ID=0003:00012E5B:00000006\n", std::nullopt},   // beyond 16 bits
        {"HID_ID=0003:00002E5B:00000006 x\n", std::nullopt},
        {"HID_ID=0003:00002E5B:00000006\r\n", std::nullopt},
        {"HID_ID=0003:+2E5B:00000006\n", std::nullopt},
        {std::string("HID_ID=0003:00002E5B:0000\0" "0006\n", 31), std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        const auto id = ParseHidUevent(text);
        EXPECT_EQ(id ? std::optional(Ids{id->Bus, id->VendorID, id->ProductID}) : std::nullopt,
                  expected)
            << text;
    }
}

// ---- opening -------------------------------------------------------------------------------

// An ordinary file is no hidraw node: it opens with the access asked for, but every real ioctl
// fails, and so must the calls, without harm. Handles that are no descriptor are refused, and
// never taken for another descriptor.
TEST_F(FakeTree, ARegularFileOpensButItsRequestsFailCleanly) {
    AddNode("hidraw0", KeyboardUevent);
    LinuxHidPlatform platform(sys_, dev_);
    for (const auto& [access, mode] :
         {std::pair{HidAccess::ReadWrite, O_RDWR}, std::pair{HidAccess::None, O_RDONLY}}) {
        OpenError error = OpenError::Other;
        const HidHandle file = platform.Open(DevPath("hidraw0"), access, &error);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        EXPECT_EQ(error, OpenError::None);
        EXPECT_EQ(::fcntl(static_cast<int>(file), F_GETFL) & O_ACCMODE, mode);
        EXPECT_TRUE(::fcntl(static_cast<int>(file), F_GETFD) & FD_CLOEXEC);
        for (HidHandle handle : {file, HidHandle{-1}, (HidHandle{1} << 32) + file}) {
            HIDD_ATTRIBUTES attributes;
            attributes.VendorID = 0x1234;
            PreparsedHandle preparsed = 0;
            Bytes report(132, 0x5A);
            EXPECT_FALSE(platform.GetAttributes(handle, attributes));
            EXPECT_FALSE(platform.GetPreparsedData(handle, preparsed));
            EXPECT_FALSE(platform.SetFeature(handle, report.data(), report.size()));
            EXPECT_FALSE(platform.GetFeature(handle, report.data(), report.size()));
            EXPECT_EQ(attributes.VendorID, 0x1234);
            EXPECT_EQ(preparsed, 0);
            EXPECT_EQ(report, Bytes(132, 0x5A));  // untouched on failure
            if (handle != file) platform.Close(handle);
            EXPECT_TRUE(IsOpen(file)) << handle;
        }
        platform.Close(file);
        EXPECT_FALSE(IsOpen(file));
    }
}

// One writer per node: a second open of the node (another program's, or this one's) is told it is
// busy, with the holder's PID; closing the holder's handle frees it.
TEST_F(FakeTree, WriteLockIsExclusiveAndNamesItsHolder) {
    AddNode("hidraw0", KeyboardUevent);
    LinuxHidPlatform platform(sys_, dev_);
    const HidHandle first = platform.Open(DevPath("hidraw0"), HidAccess::ReadWrite, nullptr);
    const HidHandle second = platform.Open(DevPath("hidraw0"), HidAccess::None, nullptr);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(platform.LockForWriting(first).Held);
    EXPECT_TRUE(platform.LockForWriting(first).Held);  // again through the same handle
    const WriteLock busy = platform.LockForWriting(second);
    EXPECT_FALSE(busy.Held);
    EXPECT_EQ(busy.HolderPid, ::getpid());
    platform.Close(first);
    EXPECT_TRUE(platform.LockForWriting(second).Held);
    platform.Close(second);
    EXPECT_FALSE(platform.LockForWriting(HidHandle{-1}).Held);
}

TEST(FlockHolder, ReadFromProcLocks) {
    const std::string locks =
        "1: POSIX  ADVISORY  WRITE 77 00:05:1049 0 EOF\n"
        "2: FLOCK  ADVISORY  WRITE 4242 00:05:1049 0 EOF\n"
        "2: -> FLOCK  ADVISORY  WRITE 99 00:05:1049 0 EOF\n"
        "3: FLOCK  ADVISORY  WRITE 31337 103:02:1049 0 EOF\n";
    EXPECT_EQ(FlockHolderPid(locks, 0, 5, 1049), 4242);
    EXPECT_EQ(FlockHolderPid(locks, 0x103, 2, 1049), 31337);
    EXPECT_EQ(FlockHolderPid(locks, 0, 5, 1050), 0);
    EXPECT_EQ(FlockHolderPid("", 0, 5, 1049), 0);
    EXPECT_EQ(FlockHolderPid("2: FLOCK ADVISORY WRITE 12x 00:05:1049 0 EOF", 0, 5, 1049), 0);
}

TEST_F(FakeTree, OpenErrorsAreClassified) {
    AddNode("hidraw0", KeyboardUevent);
    fs::create_directories(dev_ / "hidraw1");
    LinuxHidPlatform platform(sys_, dev_);
    const std::pair<std::string, OpenError> cases[] = {
        {DevPath("hidraw9"), OpenError::NotFound},
        {"", OpenError::NotFound},
        {DevPath("hidraw0") + std::string(1, '\0') + "x", OpenError::NotFound},
        {DevPath("hidraw1"), OpenError::Other},         // a folder
        {DevPath("hidraw0") + "/x", OpenError::Other},  // not a folder
    };
    for (const auto& [path, expected] : cases) {
        OpenError error = OpenError::None;
        EXPECT_EQ(platform.Open(path, HidAccess::ReadWrite, &error), INVALID_HANDLE_VALUE);
        EXPECT_EQ(error, expected) << path;
    }
    EXPECT_EQ(platform.Open(DevPath("hidraw9"), HidAccess::None, nullptr), INVALID_HANDLE_VALUE);
}

TEST_F(FakeTree, MissingPermissionIsReported) {
    if (::geteuid() == 0) GTEST_SKIP() << "root may read and write any file";
    AddNode("hidraw0", KeyboardUevent);
    fs::permissions(dev_ / "hidraw0", fs::perms::owner_read | fs::perms::group_read);
    LinuxHidPlatform platform(sys_, dev_);
    OpenError error = OpenError::None;
    EXPECT_EQ(platform.Open(DevPath("hidraw0"), HidAccess::ReadWrite, &error),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, OpenError::PermissionDenied);
    const HidHandle handle = platform.Open(DevPath("hidraw0"), HidAccess::None, &error);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);  // the weakest open needs no write permission
    EXPECT_EQ(error, OpenError::None);
    platform.Close(handle);
    fs::permissions(dev_ / "hidraw0", fs::perms::none);
    EXPECT_EQ(platform.Open(DevPath("hidraw0"), HidAccess::None, &error), INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, OpenError::PermissionDenied);
    fs::permissions(sys_ / "class" / "hidraw", fs::perms::none);
    std::vector<std::string> paths;
    EXPECT_FALSE(platform.EnumerateInterfaces(paths));
    fs::permissions(sys_ / "class" / "hidraw", fs::perms::owner_all);  // so that it can be removed
}

// ---- a fake device behind the ioctls -------------------------------------------------------

struct FakeDevice {
    int Fd = -1;
    hidraw_devinfo Info{BUS_USB, 0x2E5B, 6};
    Bytes Descriptor = VendorFeature131;
    std::optional<int> DescriptorSize;  // what the size request answers, when not the real one
    std::size_t LargestDescriptorRequest = HID_MAX_DESCRIPTOR_SIZE - 1;
    std::map<std::uint8_t, Bytes> FeatureReports;  // by report ID, report ID byte first
    std::optional<int> FeatureResult;  // what a feature request returns (negative: errno = FeatureErrno)
    int FeatureErrno = EIO;
    int InterruptsLeft = 0;            // the next calls fail with EINTR
    std::vector<unsigned long> Requests;  // calls that got past the interruptions
    std::vector<Bytes> Written;

    int Ioctl(int fd, unsigned long request, void* argument) {
        if (fd != Fd) return errno = ENOTTY, -1;
        if (InterruptsLeft > 0) return --InterruptsLeft, errno = EINTR, -1;
        Requests.push_back(request);
        auto* buffer = static_cast<std::uint8_t*>(argument);
        const std::size_t length = _IOC_SIZE(request);
        if (request == HIDIOCGRAWINFO) {
            *static_cast<hidraw_devinfo*>(argument) = Info;
        } else if (request == HIDIOCGRDESCSIZE) {
            *static_cast<int*>(argument) = DescriptorSize.value_or(int(Descriptor.size()));
        } else if (request == HIDIOCGRDESC) {
            auto* descriptor = static_cast<hidraw_report_descriptor*>(argument);
            if (descriptor->size > LargestDescriptorRequest) return errno = EINVAL, -1;
            std::memcpy(descriptor->value, Descriptor.data(),
                        std::min<std::size_t>(descriptor->size, Descriptor.size()));
        } else if (request == HIDIOCSFEATURE(length)) {
            Written.emplace_back(buffer, buffer + length);
            std::memset(buffer, 0xEE, length);  // the request may write the buffer it is given
            if (FeatureResult.value_or(0) < 0) return errno = FeatureErrno, -1;
            return FeatureResult.value_or(int(length));
        } else if (request == HIDIOCGFEATURE(length)) {
            const auto it = FeatureReports.find(buffer[0]);
            if (it == FeatureReports.end()) return errno = EPIPE, -1;  // the device stalls
            if (FeatureResult.value_or(0) < 0) return errno = FeatureErrno, -1;
            const std::size_t n = std::min(length, it->second.size());
            std::memcpy(buffer, it->second.data(), n);
            return FeatureResult.value_or(int(n));
        } else {
            return errno = ENOTTY, -1;
        }
        return 0;
    }
};

// The fake device answers on /dev/null: a character device everywhere, so that it has a device
// number for the platform to find the node's sysfs folder by, under <sys>/dev/char/MAJOR:MINOR.
class FakeDeviceTest : public FakeTree {
protected:
    void SetUp() override {
        handle_ = platform_.Open("/dev/null", HidAccess::ReadWrite, nullptr);
        ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
        device_.Fd = static_cast<int>(handle_);
    }
    void TearDown() override { platform_.Close(handle_); }

    // The caps of the device's descriptor; the token is freed again.
    CapsFields Caps() {
        PreparsedHandle preparsed = 0;
        HIDP_CAPS caps;
        EXPECT_TRUE(platform_.GetPreparsedData(handle_, preparsed));
        EXPECT_TRUE(platform_.GetCaps(preparsed, caps));
        platform_.FreePreparsedData(preparsed);
        return Fields(caps);
    }

    FakeDevice device_;
    LinuxHidPlatform platform_{sys_, dev_, [this](int fd, unsigned long request, void* argument) {
                                   return device_.Ioctl(fd, request, argument);
                               }};
    HidHandle handle_ = INVALID_HANDLE_VALUE;
};

TEST_F(FakeDeviceTest, AttributesComeFromTheRawInfoAndTheUsbDevice) {
    struct stat st {};
    ASSERT_EQ(::fstat(device_.Fd, &st), 0);
    fs::create_directories(sys_ / "dev" / "char");
    fs::create_directory_symlink(AddNode("hidraw7", KeyboardUevent, "0231\n"),
                                 sys_ / "dev" / "char" /
                                     (std::to_string(major(st.st_rdev)) + ":" +
                                      std::to_string(minor(st.st_rdev))));
    device_.Info.product = static_cast<std::int16_t>(0x8006);  // the kernel's IDs are signed
    device_.InterruptsLeft = 3;
    HIDD_ATTRIBUTES attributes;
    attributes.Size = 12;
    ASSERT_TRUE(platform_.GetAttributes(handle_, attributes));
    EXPECT_EQ(device_.Requests.size(), 1u);
    EXPECT_EQ(attributes.Size, 12u);  // the caller's
    EXPECT_EQ((std::array{attributes.VendorID, attributes.ProductID, attributes.VersionNumber}),
              (std::array<std::uint16_t, 3>{0x2E5B, 0x8006, 0x0231}));
    device_.Info.bustype = BUS_BLUETOOTH;  // no USB device above it
    ASSERT_TRUE(platform_.GetAttributes(handle_, attributes));
    EXPECT_EQ(attributes.VersionNumber, 0);
}

TEST_F(FakeDeviceTest, CapsComeFromTheDescriptorOfAnyPossibleSize) {
    EXPECT_EQ(Caps(), (CapsFields{132, 0, 0, 0xFF00, 0x0001}));
    // The largest descriptor, also when the kernel takes one byte less than it holds.
    device_.Descriptor.pop_back();
    device_.Descriptor.resize(HID_MAX_DESCRIPTOR_SIZE - 1, 0x00);  // main items without effect
    device_.Descriptor.push_back(0xC0);
    EXPECT_EQ(Caps()[0], 132);
    device_.LargestDescriptorRequest = HID_MAX_DESCRIPTOR_SIZE;
    EXPECT_EQ(Caps()[0], 132);

    // Sizes no kernel gives are refused even when the device would answer; a refused read fails.
    device_.Descriptor = VendorFeature131;
    for (const auto& [size, largest] :
         {std::pair{-1, SIZE_MAX}, {HID_MAX_DESCRIPTOR_SIZE + 1, SIZE_MAX}, {INT_MAX, SIZE_MAX},
          {10, std::size_t{5}}}) {
        device_.DescriptorSize = size;
        device_.LargestDescriptorRequest = largest;
        PreparsedHandle preparsed = 0;
        EXPECT_FALSE(platform_.GetPreparsedData(handle_, preparsed)) << size;
        EXPECT_EQ(preparsed, 0);
    }
}

// usbhid's errors say why an exchange failed; an exchange that went through says nothing.
TEST_F(FakeDeviceTest, AFailedExchangeSaysWhyAsUsbhidTellsIt) {
    device_.FeatureReports[0] = Bytes(132, 1);
    Bytes buffer(132, 0);
    for (const auto& [error, fault] : {std::pair{EPROTO, TransferFault::Gone}, {ENODEV, TransferFault::Gone},
                                       {ESHUTDOWN, TransferFault::Gone}, {EPIPE, TransferFault::Refused},
                                       {ETIMEDOUT, TransferFault::NoAnswer}, {EIO, TransferFault::Unknown}}) {
        device_.FeatureResult = -1;
        device_.FeatureErrno = error;
        EXPECT_FALSE(platform_.SetFeature(handle_, buffer.data(), buffer.size()));
        EXPECT_EQ(platform_.LastTransferFault(), fault) << error;
        device_.FeatureResult.reset();
        EXPECT_TRUE(platform_.SetFeature(handle_, buffer.data(), buffer.size()));
        EXPECT_EQ(platform_.LastTransferFault(), TransferFault::Unknown) << error;
        device_.FeatureResult = -1;
        EXPECT_FALSE(platform_.GetFeature(handle_, buffer.data(), buffer.size()));
        EXPECT_EQ(platform_.LastTransferFault(), fault) << error;
    }
}

TEST(LinuxHidPlatform, EachTokenKeepsItsOwnCapsUntilFreedAndIsNeverReused) {
    LinuxHidPlatform platform("/nonexistent-sys", "/nonexistent-dev");
    const PreparsedHandle a = platform.KeepPreparsed({132, 9, 2, 0xFF00, 0x0001});
    const PreparsedHandle b = platform.KeepPreparsed({65, 0, 0, 0x0001, 0x0006});
    ASSERT_NE(a, 0);
    ASSERT_NE(b, 0);
    HIDP_CAPS caps;
    ASSERT_TRUE(platform.GetCaps(a, caps));
    EXPECT_EQ(Fields(caps), (CapsFields{132, 9, 2, 0xFF00, 0x0001}));
    ASSERT_TRUE(platform.GetCaps(b, caps));
    EXPECT_EQ(Fields(caps), (CapsFields{65, 0, 0, 0x0001, 0x0006}));
    platform.FreePreparsedData(a);
    platform.FreePreparsedData(a);      // twice: no harm
    EXPECT_FALSE(platform.GetCaps(a, caps));
    EXPECT_TRUE(platform.GetCaps(b, caps));
    EXPECT_FALSE(platform.GetCaps(0, caps));
    std::set<PreparsedHandle> seen = {a, b};
    for (int i = 0; i < 50; ++i) {
        const PreparsedHandle token = platform.KeepPreparsed({});
        EXPECT_NE(token, 0);
        EXPECT_TRUE(seen.insert(token).second) << "token " << token << " handed out twice";
        if (i % 2 == 0) platform.FreePreparsedData(token);
    }
}

TEST_F(FakeDeviceTest, SetFeatureSendsTheWholeReportOnceAndOnlyThatCounts) {
    Bytes report(132);
    std::iota(report.begin(), report.end(), 0);
    const Bytes original = report;
    device_.InterruptsLeft = 2;
    ASSERT_TRUE(platform_.SetFeature(handle_, report.data(), report.size()));
    EXPECT_EQ(device_.Written, std::vector<Bytes>{original});
    EXPECT_EQ(report, original);  // the caller's buffer is not written
    EXPECT_EQ(device_.Requests, std::vector<unsigned long>{HIDIOCSFEATURE(132)});
    for (const auto& [returned, success] :
         {std::pair{133, true}, std::pair{131, false}, std::pair{0, false}, std::pair{-1, false}}) {
        device_.FeatureResult = returned;
        EXPECT_EQ(platform_.SetFeature(handle_, report.data(), report.size()), success)
            << "the kernel answered " << returned;
    }

    // Lengths the request cannot carry are refused before asking; the largest one fits intact.
    device_.FeatureResult.reset();
    device_.Requests.clear();
    Bytes large(_IOC_SIZEMASK + 1, 0);
    EXPECT_FALSE(platform_.SetFeature(handle_, large.data(), 0));
    EXPECT_FALSE(platform_.SetFeature(handle_, nullptr, 132));
    EXPECT_FALSE(platform_.SetFeature(handle_, large.data(), large.size()));
    EXPECT_TRUE(device_.Requests.empty());
    EXPECT_TRUE(platform_.SetFeature(handle_, large.data(), _IOC_SIZEMASK));
    EXPECT_EQ(device_.Requests, std::vector<unsigned long>{HIDIOCSFEATURE(_IOC_SIZEMASK)});
    // Discovery learns that limit, and passes over interfaces whose report is longer.
    EXPECT_EQ(platform_.MaxFeatureReportLength(), std::size_t{_IOC_SIZEMASK});
}

TEST_F(FakeDeviceTest, GetFeatureFillsTheBufferZeroesWhatWasNotSentAndFailsOnErrors) {
    Bytes answer(132);
    std::iota(answer.begin(), answer.end(), 3);  // report ID 3
    device_.FeatureReports = {{3, answer}, {0, {0x00, 0x10, 0x20, 0x30}}};
    Bytes buffer(140, 0xAA);
    buffer[0] = 3;
    device_.InterruptsLeft = 1;
    ASSERT_TRUE(platform_.GetFeature(handle_, buffer.data(), 132));
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 132), answer);
    EXPECT_EQ(device_.Requests, std::vector<unsigned long>{HIDIOCGFEATURE(132)});
    // Only a whole report is an answer: a 0-byte or shorter one fails (the rest of the buffer is
    // zeroed), one the kernel counts longer than asked for does not; nothing beyond the length
    // is touched.
    struct Case {
        std::optional<int> result;  // none: the length of the 4-byte report
        bool ok;
    };
    for (const Case& c : {Case{{}, false}, Case{0, false}, Case{131, false}, Case{132, true}, Case{500, true}}) {
        device_.FeatureResult = c.result;
        buffer.assign(140, 0xAA);
        buffer[0] = 0;
        EXPECT_EQ(platform_.GetFeature(handle_, buffer.data(), 132), c.ok) << c.result.value_or(-1);
        Bytes expected(140, 0xAA);
        const std::size_t filled = std::min(c.result.value_or(4), 132);
        std::fill_n(expected.begin() + static_cast<std::ptrdiff_t>(filled), 132 - filled, 0);
        std::copy_n(device_.FeatureReports[0].begin(), std::min<std::size_t>(filled, 4), expected.begin());
        EXPECT_EQ(buffer, expected) << c.result.value_or(-1);
    }

    device_.FeatureResult = -1;
    for (std::uint8_t id : {3, 9 /* no such report */}) {
        buffer.assign(132, 0xAA);
        buffer[0] = id;
        EXPECT_FALSE(platform_.GetFeature(handle_, buffer.data(), buffer.size()));
        EXPECT_EQ(buffer[1], 0xAA);
    }
    const std::size_t calls = device_.Requests.size();
    EXPECT_FALSE(platform_.GetFeature(handle_, buffer.data(), 0));
    EXPECT_FALSE(platform_.GetFeature(handle_, nullptr, 132));
    EXPECT_FALSE(platform_.GetFeature(handle_, buffer.data(), _IOC_SIZEMASK + 1));
    EXPECT_EQ(device_.Requests.size(), calls);
}

}  // namespace

#endif  // __linux__
