// The hidraw backend against a fake sysfs and /dev tree in a temporary folder, and against a fake
// device answering the ioctls on an ordinary file descriptor. No real device and no particular
// user is needed.
#ifdef __linux__

#include "usbio/LinuxHidPlatform.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using usbio::HidAccess;
using usbio::HidHandle;
using usbio::HIDD_ATTRIBUTES;
using usbio::HIDP_CAPS;
using usbio::INVALID_HANDLE_VALUE;
using usbio::LinuxHidPlatform;
using usbio::OpenError;
using usbio::PreparsedHandle;
using Bytes = std::vector<std::uint8_t>;

const Bytes VendorFeature131 = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x01, 0x15, 0x00,
                                0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x83, 0xB1, 0x02, 0xC0};

const char KeyboardUevent[] =
    "DRIVER=hid-generic\n"
    "HID_ID=0003:00002E5B:00000006\n"
    "HID_NAME=Kestrune Keyboard\n"
    "HID_PHYS=usb-0000:00:14.0-2/input1\n"
    "HID_UNIQ=\n"
    "MODALIAS=hid:b0003g0001v00002E5Bp00000006\n";

void WriteFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    ASSERT_TRUE(out.good()) << path;
}

// A fresh sys/ and dev/ pair under a temporary folder, removed afterwards.
class FakeTree : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kestrune-linuxhid-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        sys_ = root_ / "sys";
        dev_ = root_ / "dev";
        fs::create_directories(sys_);
        fs::create_directories(dev_);
    }
    void TearDown() override {
        std::error_code ec;
        // Give back what Restrict took away, so that the tree can be removed.
        for (const fs::path& path : restricted_)
            fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(root_, ec);
    }

    void Restrict(const fs::path& path, fs::perms perms) {
        restricted_.push_back(path);
        fs::permissions(path, perms);
    }

    // A hidraw node as a plain folder with a device/uevent file, and a regular file in dev/.
    void AddNode(const std::string& name, const std::optional<std::string>& uevent) {
        fs::create_directories(sys_ / "class" / "hidraw" / name / "device");
        if (uevent) WriteFile(sys_ / "class" / "hidraw" / name / "device" / "uevent", *uevent);
        WriteFile(dev_ / name, "");
    }

    // A hidraw node laid out as sysfs shows one of a USB device, links included. Returns the
    // node's own folder.
    fs::path AddUsbNode(const std::string& name, const std::string& uevent,
                        const std::optional<std::string>& bcdDevice) {
        const fs::path usbDevice = sys_ / "devices" / "pci0000:00" / "usb1" / ("1-" + name);
        const std::string hidName = "0003:2E5B:0006.00" + name.substr(6);
        const fs::path hidDevice = usbDevice / ("1-" + name + ":1.1") / hidName;
        const fs::path nodeDir = hidDevice / "hidraw" / name;
        fs::create_directories(nodeDir);
        WriteFile(hidDevice / "uevent", uevent);
        if (bcdDevice) WriteFile(usbDevice / "bcdDevice", *bcdDevice);
        fs::create_directory_symlink(fs::path("..") / ".." / ".." / hidName, nodeDir / "device");
        fs::create_directories(sys_ / "class" / "hidraw");
        fs::create_directory_symlink(nodeDir, sys_ / "class" / "hidraw" / name);
        WriteFile(dev_ / name, "");
        return nodeDir;
    }

    std::string DevPath(const std::string& name) const { return (dev_ / name).string(); }

    fs::path root_;
    fs::path sys_;
    fs::path dev_;
    std::vector<fs::path> restricted_;
};

// ---- enumeration ---------------------------------------------------------------------------

TEST_F(FakeTree, EnumeratesNodesInNumericOrder) {
    for (const char* name : {"hidraw10", "hidraw0", "hidraw2"}) AddNode(name, KeyboardUevent);
    LinuxHidPlatform platform(sys_, dev_);
    std::vector<std::string> paths;
    ASSERT_TRUE(platform.EnumerateInterfaces(paths));
    EXPECT_EQ(paths, (std::vector<std::string>{DevPath("hidraw0"), DevPath("hidraw2"),
                                               DevPath("hidraw10")}));
}

TEST_F(FakeTree, IgnoresEntriesThatAreNotHidrawNodes) {
    for (const char* name : {"hidraw1", "hidraw", "hidrawX", "hidraw1a", "event3", "hidraw-1",
                             "xhidraw4", "HIDRAW5", "hidraw 6"})
        AddNode(name, KeyboardUevent);
    LinuxHidPlatform platform(sys_, dev_);
    std::vector<std::string> paths;
    ASSERT_TRUE(platform.EnumerateInterfaces(paths));
    EXPECT_EQ(paths, std::vector<std::string>{DevPath("hidraw1")});
}

TEST_F(FakeTree, NumbersOfAnyLengthSortByValue) {
    for (const char* name :
         {"hidraw123456789012345678901234567890", "hidraw9", "hidraw10", "hidraw007", "hidraw0"})
        AddNode(name, KeyboardUevent);
    LinuxHidPlatform platform(sys_, dev_);
    std::vector<std::string> paths;
    ASSERT_TRUE(platform.EnumerateInterfaces(paths));
    EXPECT_EQ(paths, (std::vector<std::string>{DevPath("hidraw0"), DevPath("hidraw007"),
                                               DevPath("hidraw9"), DevPath("hidraw10"),
                                               DevPath("hidraw123456789012345678901234567890")}));
}

TEST_F(FakeTree, MissingClassFolderMeansNoDevices) {
    LinuxHidPlatform platform(sys_, dev_);
    std::vector<std::string> paths{"left over"};
    EXPECT_TRUE(platform.EnumerateInterfaces(paths));
    EXPECT_TRUE(paths.empty());

    LinuxHidPlatform nowhere(root_ / "no-sys", dev_);
    EXPECT_TRUE(nowhere.EnumerateInterfaces(paths));
    EXPECT_TRUE(paths.empty());
}

TEST_F(FakeTree, EmptyClassFolderMeansNoDevices) {
    fs::create_directories(sys_ / "class" / "hidraw");
    LinuxHidPlatform platform(sys_, dev_);
    std::vector<std::string> paths;
    EXPECT_TRUE(platform.EnumerateInterfaces(paths));
    EXPECT_TRUE(paths.empty());
}

TEST_F(FakeTree, ClassPathThatIsNoFolderFails) {
    WriteFile(sys_ / "class" / "hidraw", "not a folder");
    LinuxHidPlatform platform(sys_, dev_);
    std::vector<std::string> paths{"left over"};
    EXPECT_FALSE(platform.EnumerateInterfaces(paths));
    EXPECT_TRUE(paths.empty());
}

TEST_F(FakeTree, UnreadableClassFolderFails) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads any folder";
    AddNode("hidraw0", KeyboardUevent);
    Restrict(sys_ / "class" / "hidraw", fs::perms::none);
    LinuxHidPlatform platform(sys_, dev_);
    std::vector<std::string> paths;
    EXPECT_FALSE(platform.EnumerateInterfaces(paths));
}

TEST_F(FakeTree, EnumeratesLinkedNodesAsSysfsShowsThem) {
    AddUsbNode("hidraw3", KeyboardUevent, "0108\n");
    AddUsbNode("hidraw1", KeyboardUevent, "0108\n");
    LinuxHidPlatform platform(sys_, dev_);
    std::vector<std::string> paths;
    ASSERT_TRUE(platform.EnumerateInterfaces(paths));
    EXPECT_EQ(paths, (std::vector<std::string>{DevPath("hidraw1"), DevPath("hidraw3")}));
}

// ---- uevent parsing ------------------------------------------------------------------------

struct UeventCase {
    const char* Name;
    std::string Text;
    bool Valid;
    std::uint16_t Bus = 0;
    std::uint16_t Vendor = 0;
    std::uint16_t Product = 0;
};

void PrintTo(const UeventCase& c, std::ostream* os) { *os << c.Name; }

class ParseHidUeventTable : public ::testing::TestWithParam<UeventCase> {};

TEST_P(ParseHidUeventTable, ReadsOnlyAWellFormedHidId) {
    const UeventCase& c = GetParam();
    const auto id = usbio::ParseHidUevent(c.Text);
    ASSERT_EQ(id.has_value(), c.Valid);
    if (!id) return;
    EXPECT_EQ(id->Bus, c.Bus);
    EXPECT_EQ(id->VendorID, c.Vendor);
    EXPECT_EQ(id->ProductID, c.Product);
}

const UeventCase UeventCases[] = {
    {"KernelFormat", KeyboardUevent, true, 0x0003, 0x2E5B, 0x0006},
    {"LastLineWithoutNewline", "DRIVER=hid-generic\nHID_ID=0005:0000046D:0000B342", true, 0x0005,
     0x046D, 0xB342},
    {"LowerCaseDigits", "HID_ID=0003:00002e5b:0000ffff\n", true, 0x0003, 0x2E5B, 0xFFFF},
    {"ShortFields", "HID_ID=3:2E5B:6\n", true, 0x0003, 0x2E5B, 0x0006},
    {"FirstHidIdLineCounts", "HID_ID=0003:00002E5B:00000011\nHID_ID=0003:00001111:00002222\n",
     true, 0x0003, 0x2E5B, 0x0011},
    {"SimilarKeysAreNotIt", "XHID_ID=0003:00001111:00002222\nHID_IDS=1\nHID_ID=0003:2E5B:0011\n",
     true, 0x0003, 0x2E5B, 0x0011},
    {"Empty", "", false},
    {"NoHidIdLine", "DRIVER=hid-generic\nHID_NAME=x\n", false},
    {"NoValue", "HID_ID=\n", false},
    {"ProductMissing", "HID_ID=0003:00002E5B\n", false},
    {"ProductEmpty", "HID_ID=0003:00002E5B:\n", false},
    {"FieldEmpty", "HID_ID=0003::00000006\n", false},
    {"NotHex", "HID_ID=0003:00002G5B:00000006\n", false},
    {"NineDigits", "HID_ID=0003:000002E5B:00000006\n", false},
    {"VendorBeyond16Bits", "HID_ID=0003:00012E5B:00000006\n", false},
    {"ProductBeyond16Bits", "HID_ID=0003:00002E5B:00010006\n", false},
    {"BusBeyond16Bits", "HID_ID=00010003:00002E5B:00000006\n", false},
    {"TrailingText", "HID_ID=0003:00002E5B:00000006 x\n", false},
    {"FourthField", "HID_ID=0003:00002E5B:00000006:1\n", false},
    {"CarriageReturn", "HID_ID=0003:00002E5B:00000006\r\n", false},
    {"Sign", "HID_ID=0003:+2E5B:00000006\n", false},
    {"LeadingSpace", "HID_ID= 0003:00002E5B:00000006\n", false},
    {"EmbeddedNul", std::string("HID_ID=0003:00002E5B:0000\0" "0006\n", 31), false},
    {"FirstHidIdLineMalformed", "HID_ID=garbage\nHID_ID=0003:00002E5B:00000006\n", false},
};

INSTANTIATE_TEST_SUITE_P(Uevents, ParseHidUeventTable, ::testing::ValuesIn(UeventCases),
                         [](const ::testing::TestParamInfo<UeventCase>& info) {
                             return std::string(info.param.Name);
                         });

// ---- peeking -------------------------------------------------------------------------------

TEST_F(FakeTree, PeekReadsTheIdsOfTheNode) {
    AddNode("hidraw3", KeyboardUevent);
    AddNode("hidraw4", "HID_ID=0003:0000046D:0000C52B\n");
    LinuxHidPlatform platform(sys_, dev_);
    const auto keyboard = platform.PeekAttributes(DevPath("hidraw3"));
    ASSERT_TRUE(keyboard.has_value());
    EXPECT_EQ(keyboard->VendorID, 0x2E5B);
    EXPECT_EQ(keyboard->ProductID, 0x0006);
    EXPECT_EQ(keyboard->VersionNumber, 0);  // no USB device above the plain folder
    const auto other = platform.PeekAttributes(DevPath("hidraw4"));
    ASSERT_TRUE(other.has_value());
    EXPECT_EQ(other->VendorID, 0x046D);
    EXPECT_EQ(other->ProductID, 0xC52B);
}

TEST_F(FakeTree, PeekGivesNothingWhenTheUeventCannotBeTrusted) {
    AddNode("hidraw0", "HID_ID=0003:2E5B\n");
    AddNode("hidraw1", std::nullopt);
    AddNode("hidraw2", std::nullopt);
    fs::create_directories(sys_ / "class" / "hidraw" / "hidraw2" / "device" / "uevent");
    AddNode("hidraw3", std::nullopt);
    ASSERT_EQ(::mkfifo((sys_ / "class/hidraw/hidraw3/device/uevent").c_str(), 0600), 0);
    // Longer than any sysfs file, even though it starts well.
    AddNode("hidraw4", std::string(KeyboardUevent) + std::string(70000, 'x') + "\n");
    AddNode("hidraw5", "");

    LinuxHidPlatform platform(sys_, dev_);
    for (const char* name : {"hidraw0", "hidraw1", "hidraw2", "hidraw3", "hidraw4", "hidraw5",
                             "hidraw6" /* no node at all */})
        EXPECT_FALSE(platform.PeekAttributes(DevPath(name)).has_value()) << name;
}

TEST_F(FakeTree, PeekGivesNothingForPathsThatAreNoHidrawNode) {
    AddNode("hidraw0", KeyboardUevent);
    LinuxHidPlatform platform(sys_, dev_);
    for (const std::string& path : {std::string(), DevPath("hidraw"), DevPath("event0"),
                                   DevPath("hidraw0") + "/", DevPath("hidraw0x"),
                                   DevPath("hidraw0/../hidraw0/..")})
        EXPECT_FALSE(platform.PeekAttributes(path).has_value()) << path;
}

TEST_F(FakeTree, PeekReadsTheUsbDeviceVersion) {
    AddUsbNode("hidraw0", KeyboardUevent, "0108\n");
    AddUsbNode("hidraw1", "HID_ID=0005:00002E5B:00000006\n", "0108\n");  // Bluetooth
    AddUsbNode("hidraw2", KeyboardUevent, "01x8\n");
    AddUsbNode("hidraw3", KeyboardUevent, "10108\n");
    AddUsbNode("hidraw4", KeyboardUevent, std::nullopt);
    AddUsbNode("hidraw5", KeyboardUevent, "ffff");
    LinuxHidPlatform platform(sys_, dev_);
    const std::map<std::string, std::uint16_t> expected = {
        {"hidraw0", 0x0108}, {"hidraw1", 0}, {"hidraw2", 0},
        {"hidraw3", 0},      {"hidraw4", 0}, {"hidraw5", 0xFFFF},
    };
    for (const auto& [name, version] : expected) {
        const auto attributes = platform.PeekAttributes(DevPath(name));
        ASSERT_TRUE(attributes.has_value()) << name;
        EXPECT_EQ(attributes->VendorID, 0x2E5B) << name;
        EXPECT_EQ(attributes->VersionNumber, version) << name;
    }
}

// ---- opening -------------------------------------------------------------------------------

int AccessMode(HidHandle handle) {
    return ::fcntl(static_cast<int>(handle), F_GETFL) & O_ACCMODE;
}

bool IsOpenDescriptor(HidHandle handle) {
    return ::fcntl(static_cast<int>(handle), F_GETFD) != -1;
}

TEST_F(FakeTree, ReadWriteOpensForReadingAndWriting) {
    AddNode("hidraw0", KeyboardUevent);
    LinuxHidPlatform platform(sys_, dev_);
    OpenError error = OpenError::Other;
    const HidHandle handle = platform.Open(DevPath("hidraw0"), HidAccess::ReadWrite, &error);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, OpenError::None);
    EXPECT_EQ(AccessMode(handle), O_RDWR);
    EXPECT_TRUE(::fcntl(static_cast<int>(handle), F_GETFD) & FD_CLOEXEC);
    platform.Close(handle);
    EXPECT_FALSE(IsOpenDescriptor(handle));
}

TEST_F(FakeTree, NoAccessOpensReadOnly) {
    AddNode("hidraw0", KeyboardUevent);
    LinuxHidPlatform platform(sys_, dev_);
    OpenError error = OpenError::Other;
    const HidHandle handle = platform.Open(DevPath("hidraw0"), HidAccess::None, &error);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, OpenError::None);
    EXPECT_EQ(AccessMode(handle), O_RDONLY);
    EXPECT_TRUE(::fcntl(static_cast<int>(handle), F_GETFD) & FD_CLOEXEC);
    platform.Close(handle);
    EXPECT_FALSE(IsOpenDescriptor(handle));
}

TEST_F(FakeTree, NoAccessOpensANodeThatRefusesWriters) {
    if (::geteuid() == 0) GTEST_SKIP() << "root may write any file";
    AddNode("hidraw0", KeyboardUevent);
    Restrict(dev_ / "hidraw0", fs::perms::owner_read | fs::perms::group_read);
    LinuxHidPlatform platform(sys_, dev_);
    OpenError error = OpenError::None;
    EXPECT_EQ(platform.Open(DevPath("hidraw0"), HidAccess::ReadWrite, &error),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, OpenError::PermissionDenied);
    const HidHandle handle = platform.Open(DevPath("hidraw0"), HidAccess::None, &error);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, OpenError::None);
    platform.Close(handle);
}

TEST_F(FakeTree, OpenWithoutPermissionSaysSo) {
    if (::geteuid() == 0) GTEST_SKIP() << "root may open any file";
    AddNode("hidraw0", KeyboardUevent);
    Restrict(dev_ / "hidraw0", fs::perms::none);
    LinuxHidPlatform platform(sys_, dev_);
    for (HidAccess access : {HidAccess::ReadWrite, HidAccess::None}) {
        OpenError error = OpenError::None;
        EXPECT_EQ(platform.Open(DevPath("hidraw0"), access, &error), INVALID_HANDLE_VALUE);
        EXPECT_EQ(error, OpenError::PermissionDenied);
    }
}

TEST_F(FakeTree, OpenErrorsAreClassified) {
    AddNode("hidraw0", KeyboardUevent);
    fs::create_directories(dev_ / "hidraw1");
    LinuxHidPlatform platform(sys_, dev_);
    struct Case {
        std::string Path;
        HidAccess Access;
        OpenError Expected;
    };
    const Case cases[] = {
        {DevPath("hidraw9"), HidAccess::ReadWrite, OpenError::NotFound},
        {DevPath("hidraw9"), HidAccess::None, OpenError::NotFound},
        {"", HidAccess::ReadWrite, OpenError::NotFound},
        {DevPath("hidraw0") + std::string(1, '\0') + "x", HidAccess::ReadWrite,
         OpenError::NotFound},
        {DevPath("hidraw1"), HidAccess::ReadWrite, OpenError::Other},           // a folder
        {DevPath("hidraw0") + "/x", HidAccess::ReadWrite, OpenError::Other},    // not a folder
    };
    for (const Case& c : cases) {
        OpenError error = OpenError::None;
        EXPECT_EQ(platform.Open(c.Path, c.Access, &error), INVALID_HANDLE_VALUE) << c.Path;
        EXPECT_EQ(error, c.Expected) << c.Path;
    }
    // The error is optional.
    EXPECT_EQ(platform.Open(DevPath("hidraw9"), HidAccess::ReadWrite, nullptr),
              INVALID_HANDLE_VALUE);
}

// An ordinary file is no hidraw node: every ioctl fails, and so must the calls, without harm.
TEST_F(FakeTree, ARegularFileOpensButItsRequestsFailCleanly) {
    AddNode("hidraw0", KeyboardUevent);
    LinuxHidPlatform platform(sys_, dev_);
    for (HidAccess access : {HidAccess::ReadWrite, HidAccess::None}) {
        const HidHandle handle = platform.Open(DevPath("hidraw0"), access, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);

        HIDD_ATTRIBUTES attributes;
        attributes.Size = 12;
        attributes.VendorID = 0x1234;
        EXPECT_FALSE(platform.GetAttributes(handle, attributes));
        EXPECT_EQ(attributes.VendorID, 0x1234);
        EXPECT_EQ(attributes.Size, 12u);

        PreparsedHandle preparsed = 0;
        EXPECT_FALSE(platform.GetPreparsedData(handle, preparsed));
        EXPECT_EQ(preparsed, 0);

        Bytes report(132, 0x5A);
        report[0] = 0;
        EXPECT_FALSE(platform.SetFeature(handle, report.data(), report.size()));
        EXPECT_FALSE(platform.GetFeature(handle, report.data(), report.size()));
        EXPECT_EQ(report[0], 0);
        EXPECT_EQ(report[131], 0x5A);  // untouched on failure

        platform.Close(handle);
        EXPECT_FALSE(IsOpenDescriptor(handle));
    }
}

TEST(LinuxHidPlatform, HandlesThatAreNoDescriptorsAreRefused) {
    LinuxHidPlatform platform("/nonexistent-sys", "/nonexistent-dev");
    Bytes report(132, 0);
    for (HidHandle handle : {INVALID_HANDLE_VALUE, HidHandle{-2},
                             static_cast<HidHandle>(static_cast<std::int64_t>(INT_MAX) + 1)}) {
        HIDD_ATTRIBUTES attributes;
        PreparsedHandle preparsed = 0;
        EXPECT_FALSE(platform.GetAttributes(handle, attributes));
        EXPECT_FALSE(platform.GetPreparsedData(handle, preparsed));
        EXPECT_FALSE(platform.SetFeature(handle, report.data(), report.size()));
        EXPECT_FALSE(platform.GetFeature(handle, report.data(), report.size()));
        platform.Close(handle);  // nothing to do, and no harm done
    }
}

// ---- a fake device behind the ioctls -------------------------------------------------------

constexpr unsigned long WithoutSize(unsigned long request) {
    return request & ~(static_cast<unsigned long>(_IOC_SIZEMASK) << _IOC_SIZESHIFT);
}

struct FakeDevice {
    int Fd = -1;
    std::uint32_t Bus = BUS_USB;
    std::int16_t Vendor = 0x2E5B;
    std::int16_t Product = 6;
    Bytes Descriptor = VendorFeature131;
    std::optional<int> DescriptorSizeOverride;
    std::size_t LargestDescriptorRequest = HID_MAX_DESCRIPTOR_SIZE - 1;
    // Answers to feature-report reads by report ID, report ID byte first.
    std::map<std::uint8_t, Bytes> FeatureReports;
    // What a feature-report write returns; nullopt = the whole length.
    std::optional<int> SetResult;
    int GetResultOverride = 0;  // when non-zero, a read returns this (negative: errno = EIO)
    int InterruptsLeft = 0;     // the next calls fail with EINTR
    bool Scribble = false;      // a write also changes the buffer it was given

    std::vector<unsigned long> Requests;  // calls that got past the interruptions
    std::vector<Bytes> Written;
    std::size_t Calls = 0;

    int Ioctl(int fd, unsigned long request, void* argument) {
        ++Calls;
        if (fd != Fd) {
            errno = ENOTTY;
            return -1;
        }
        if (InterruptsLeft > 0) {
            --InterruptsLeft;
            errno = EINTR;
            return -1;
        }
        Requests.push_back(request);
        if (request == HIDIOCGRAWINFO) {
            auto* info = static_cast<hidraw_devinfo*>(argument);
            info->bustype = Bus;
            info->vendor = Vendor;
            info->product = Product;
            return 0;
        }
        if (request == HIDIOCGRDESCSIZE) {
            *static_cast<int*>(argument) =
                DescriptorSizeOverride ? *DescriptorSizeOverride : static_cast<int>(Descriptor.size());
            return 0;
        }
        if (request == HIDIOCGRDESC) {
            auto* descriptor = static_cast<hidraw_report_descriptor*>(argument);
            if (descriptor->size > LargestDescriptorRequest) {
                errno = EINVAL;
                return -1;
            }
            const std::size_t n = std::min<std::size_t>(descriptor->size, Descriptor.size());
            std::memcpy(descriptor->value, Descriptor.data(), n);
            return 0;
        }
        const std::size_t length = _IOC_SIZE(request);
        auto* buffer = static_cast<std::uint8_t*>(argument);
        if (WithoutSize(request) == WithoutSize(HIDIOCSFEATURE(0))) {
            Written.emplace_back(buffer, buffer + length);
            if (Scribble) std::memset(buffer, 0xEE, length);
            return SetResult ? *SetResult : static_cast<int>(length);
        }
        if (WithoutSize(request) == WithoutSize(HIDIOCGFEATURE(0))) {
            if (GetResultOverride < 0) {
                errno = EIO;
                return -1;
            }
            const auto it = FeatureReports.find(buffer[0]);
            if (it == FeatureReports.end()) {
                errno = EPIPE;  // the device stalls the request
                return -1;
            }
            const std::size_t n = std::min(length, it->second.size());
            std::memcpy(buffer, it->second.data(), n);
            return GetResultOverride > 0 ? GetResultOverride : static_cast<int>(n);
        }
        errno = ENOTTY;
        return -1;
    }
};

class FakeDeviceTest : public FakeTree {
protected:
    void SetUp() override {
        FakeTree::SetUp();
        AddNode("hidraw0", KeyboardUevent);
        platform_.emplace(sys_, dev_, [this](int fd, unsigned long request, void* argument) {
            return device_.Ioctl(fd, request, argument);
        });
        handle_ = platform_->Open(DevPath("hidraw0"), HidAccess::ReadWrite, nullptr);
        ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
        device_.Fd = static_cast<int>(handle_);
    }
    void TearDown() override {
        if (handle_ != INVALID_HANDLE_VALUE) platform_->Close(handle_);
        FakeTree::TearDown();
    }

    FakeDevice device_;
    std::optional<LinuxHidPlatform> platform_;
    HidHandle handle_ = INVALID_HANDLE_VALUE;
};

TEST_F(FakeDeviceTest, AttributesComeFromTheRawInfo) {
    device_.Product = static_cast<std::int16_t>(0x8006);  // the kernel hands out signed IDs
    HIDD_ATTRIBUTES attributes;
    attributes.Size = 12;
    attributes.VersionNumber = 0x4444;
    ASSERT_TRUE(platform_->GetAttributes(handle_, attributes));
    EXPECT_EQ(attributes.Size, 12u);  // the caller's
    EXPECT_EQ(attributes.VendorID, 0x2E5B);
    EXPECT_EQ(attributes.ProductID, 0x8006);
    EXPECT_EQ(attributes.VersionNumber, 0);  // a regular file has no sysfs device
}

TEST_F(FakeDeviceTest, AttributesAreRetriedWhenInterrupted) {
    device_.InterruptsLeft = 3;
    HIDD_ATTRIBUTES attributes;
    ASSERT_TRUE(platform_->GetAttributes(handle_, attributes));
    EXPECT_EQ(attributes.VendorID, 0x2E5B);
    EXPECT_EQ(device_.Requests.size(), 1u);
}

// The version is found from the node's device number, through <sys>/dev/char/MAJOR:MINOR. Any
// character device serves to have a device number; /dev/null is one everywhere.
TEST_F(FakeDeviceTest, AttributesReadTheUsbVersionOfACharacterDevice) {
    struct stat st {};
    if (::stat("/dev/null", &st) != 0 || !S_ISCHR(st.st_mode)) GTEST_SKIP() << "no /dev/null";
    const fs::path nodeDir = AddUsbNode("hidraw7", KeyboardUevent, "0231\n");
    fs::create_directories(sys_ / "dev" / "char");
    fs::create_directory_symlink(nodeDir, sys_ / "dev" / "char" /
                                              (std::to_string(major(st.st_rdev)) + ":" +
                                               std::to_string(minor(st.st_rdev))));
    const HidHandle node = platform_->Open("/dev/null", HidAccess::None, nullptr);
    ASSERT_NE(node, INVALID_HANDLE_VALUE);
    device_.Fd = static_cast<int>(node);

    HIDD_ATTRIBUTES attributes;
    ASSERT_TRUE(platform_->GetAttributes(node, attributes));
    EXPECT_EQ(attributes.VersionNumber, 0x0231);

    device_.Bus = BUS_BLUETOOTH;  // no USB device above it
    ASSERT_TRUE(platform_->GetAttributes(node, attributes));
    EXPECT_EQ(attributes.VersionNumber, 0);
    platform_->Close(node);
}

TEST_F(FakeDeviceTest, CapsComeFromTheDescriptor) {
    PreparsedHandle preparsed = 0;
    ASSERT_TRUE(platform_->GetPreparsedData(handle_, preparsed));
    EXPECT_NE(preparsed, 0);
    HIDP_CAPS caps;
    ASSERT_TRUE(platform_->GetCaps(preparsed, caps));
    EXPECT_EQ(caps.FeatureReportByteLength, 132);
    EXPECT_EQ(caps.InputReportByteLength, 0);
    EXPECT_EQ(caps.OutputReportByteLength, 0);
    EXPECT_EQ(caps.UsagePage, 0xFF00);
    EXPECT_EQ(caps.Usage, 0x0001);
    platform_->FreePreparsedData(preparsed);
    EXPECT_FALSE(platform_->GetCaps(preparsed, caps));
}

TEST_F(FakeDeviceTest, TheLargestDescriptorIsReadEvenWhenTheKernelTakesOneByteLess) {
    Bytes descriptor = VendorFeature131;
    descriptor.pop_back();
    descriptor.resize(HID_MAX_DESCRIPTOR_SIZE - 1, 0x00);  // main items without effect
    descriptor.push_back(0xC0);
    device_.Descriptor = descriptor;
    PreparsedHandle preparsed = 0;
    ASSERT_TRUE(platform_->GetPreparsedData(handle_, preparsed));
    HIDP_CAPS caps;
    ASSERT_TRUE(platform_->GetCaps(preparsed, caps));
    EXPECT_EQ(caps.FeatureReportByteLength, 132);
    platform_->FreePreparsedData(preparsed);

    device_.LargestDescriptorRequest = HID_MAX_DESCRIPTOR_SIZE;
    ASSERT_TRUE(platform_->GetPreparsedData(handle_, preparsed));
    ASSERT_TRUE(platform_->GetCaps(preparsed, caps));
    EXPECT_EQ(caps.FeatureReportByteLength, 132);
    platform_->FreePreparsedData(preparsed);
}

TEST_F(FakeDeviceTest, ImpossibleDescriptorSizesFail) {
    for (int size : {-1, HID_MAX_DESCRIPTOR_SIZE + 1, INT_MAX}) {
        device_.DescriptorSizeOverride = size;
        PreparsedHandle preparsed = 0;
        EXPECT_FALSE(platform_->GetPreparsedData(handle_, preparsed)) << size;
        EXPECT_EQ(preparsed, 0);
    }
    // A refused descriptor read fails as well.
    device_.DescriptorSizeOverride = 10;
    device_.LargestDescriptorRequest = 5;
    PreparsedHandle preparsed = 0;
    EXPECT_FALSE(platform_->GetPreparsedData(handle_, preparsed));
    EXPECT_EQ(preparsed, 0);
}

TEST_F(FakeDeviceTest, PreparsedTokensAreNeverReused) {
    std::set<PreparsedHandle> seen;
    for (int i = 0; i < 50; ++i) {
        PreparsedHandle preparsed = 0;
        ASSERT_TRUE(platform_->GetPreparsedData(handle_, preparsed));
        EXPECT_NE(preparsed, 0);
        EXPECT_TRUE(seen.insert(preparsed).second) << "token " << preparsed << " handed out twice";
        if (i % 2 == 0) platform_->FreePreparsedData(preparsed);
    }
}

TEST(LinuxHidPlatform, CapsOfEachTokenAreItsOwn) {
    LinuxHidPlatform platform("/nonexistent-sys", "/nonexistent-dev");
    usbio::ReportDescriptorInfo first;
    first.FeatureReportByteLength = 132;
    first.InputReportByteLength = 9;
    first.OutputReportByteLength = 2;
    first.UsagePage = 0xFF00;
    first.Usage = 0x0001;
    usbio::ReportDescriptorInfo second;
    second.FeatureReportByteLength = 65;
    second.UsagePage = 0x0001;
    second.Usage = 0x0006;
    const PreparsedHandle a = platform.KeepPreparsed(first);
    const PreparsedHandle b = platform.KeepPreparsed(second);
    ASSERT_NE(a, 0);
    ASSERT_NE(b, 0);
    ASSERT_NE(a, b);

    HIDP_CAPS caps;
    ASSERT_TRUE(platform.GetCaps(a, caps));
    EXPECT_EQ(caps.FeatureReportByteLength, 132);
    EXPECT_EQ(caps.InputReportByteLength, 9);
    EXPECT_EQ(caps.OutputReportByteLength, 2);
    EXPECT_EQ(caps.UsagePage, 0xFF00);
    EXPECT_EQ(caps.Usage, 0x0001);
    ASSERT_TRUE(platform.GetCaps(b, caps));
    EXPECT_EQ(caps.FeatureReportByteLength, 65);
    EXPECT_EQ(caps.InputReportByteLength, 0);
    EXPECT_EQ(caps.UsagePage, 0x0001);
    EXPECT_EQ(caps.Usage, 0x0006);

    platform.FreePreparsedData(a);
    platform.FreePreparsedData(a);       // twice: no harm
    platform.FreePreparsedData(12345);   // never handed out: no harm
    EXPECT_FALSE(platform.GetCaps(a, caps));
    EXPECT_TRUE(platform.GetCaps(b, caps));
    EXPECT_FALSE(platform.GetCaps(0, caps));
    EXPECT_FALSE(platform.GetCaps(-1, caps));
    EXPECT_FALSE(platform.GetCaps(b + 1, caps));
    const PreparsedHandle c = platform.KeepPreparsed(first);
    EXPECT_NE(c, a);
    EXPECT_NE(c, b);
}

TEST_F(FakeDeviceTest, SetFeatureSendsTheWholeReportOnce) {
    Bytes report(132);
    for (std::size_t i = 0; i < report.size(); ++i) report[i] = static_cast<std::uint8_t>(i * 7);
    report[0] = 0;
    const Bytes original = report;
    device_.Scribble = true;
    device_.InterruptsLeft = 2;
    ASSERT_TRUE(platform_->SetFeature(handle_, report.data(), report.size()));
    ASSERT_EQ(device_.Written.size(), 1u);
    EXPECT_EQ(device_.Written[0], original);
    EXPECT_EQ(report, original);  // the caller's buffer is not written
    ASSERT_EQ(device_.Requests.size(), 1u);
    EXPECT_EQ(device_.Requests[0], static_cast<unsigned long>(HIDIOCSFEATURE(132)));
    EXPECT_EQ(_IOC_SIZE(device_.Requests[0]), 132u);
}

TEST_F(FakeDeviceTest, SetFeatureSucceedsOnlyWhenTheWholeReportWasTaken) {
    const Bytes report(132, 0x11);
    struct Case {
        int Returned;
        bool Success;
    };
    for (const Case& c : {Case{132, true}, Case{133, true}, Case{131, false}, Case{1, false},
                          Case{0, false}, Case{-1, false}}) {
        device_.SetResult = c.Returned;
        errno = 0;
        if (c.Returned < 0) errno = EPIPE;
        EXPECT_EQ(platform_->SetFeature(handle_, report.data(), report.size()), c.Success)
            << "the kernel answered " << c.Returned;
    }
}

TEST_F(FakeDeviceTest, SetFeatureRefusesLengthsTheRequestCannotCarry) {
    Bytes report(_IOC_SIZEMASK + 1, 0);
    EXPECT_FALSE(platform_->SetFeature(handle_, report.data(), 0));
    EXPECT_FALSE(platform_->SetFeature(handle_, nullptr, 132));
    EXPECT_FALSE(platform_->SetFeature(handle_, report.data(), report.size()));
    EXPECT_EQ(device_.Calls, 0u);
    // The largest length that fits is passed on intact.
    EXPECT_TRUE(platform_->SetFeature(handle_, report.data(), _IOC_SIZEMASK));
    ASSERT_EQ(device_.Requests.size(), 1u);
    EXPECT_EQ(_IOC_SIZE(device_.Requests[0]), static_cast<unsigned>(_IOC_SIZEMASK));
    EXPECT_EQ(WithoutSize(device_.Requests[0]), WithoutSize(HIDIOCSFEATURE(0)));
}

TEST_F(FakeDeviceTest, GetFeatureAsksForTheReportIdAndLength) {
    Bytes answer(132);
    for (std::size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<std::uint8_t>(i + 1);
    answer[0] = 3;
    device_.FeatureReports[3] = answer;
    Bytes buffer(132, 0xAA);
    buffer[0] = 3;
    device_.InterruptsLeft = 1;
    ASSERT_TRUE(platform_->GetFeature(handle_, buffer.data(), buffer.size()));
    EXPECT_EQ(buffer, answer);
    ASSERT_EQ(device_.Requests.size(), 1u);
    EXPECT_EQ(device_.Requests[0], static_cast<unsigned long>(HIDIOCGFEATURE(132)));
}

TEST_F(FakeDeviceTest, GetFeatureZeroesWhatTheDeviceDidNotSend) {
    device_.FeatureReports[0] = {0x00, 0x10, 0x20, 0x30};
    Bytes buffer(132, 0xAA);
    buffer[0] = 0;
    ASSERT_TRUE(platform_->GetFeature(handle_, buffer.data(), buffer.size()));
    Bytes expected(132, 0);
    expected[1] = 0x10;
    expected[2] = 0x20;
    expected[3] = 0x30;
    EXPECT_EQ(buffer, expected);

    // The kernel counts more than was asked for: nothing beyond the buffer is touched.
    device_.GetResultOverride = 500;
    Bytes guarded(140, 0xAA);
    guarded[0] = 0;
    ASSERT_TRUE(platform_->GetFeature(handle_, guarded.data(), 132));
    EXPECT_EQ(guarded[132], 0xAA);
    EXPECT_EQ(guarded[139], 0xAA);
}

TEST_F(FakeDeviceTest, GetFeatureFailsOnAnError) {
    Bytes buffer(132, 0xAA);
    buffer[0] = 9;  // the device has no such report
    EXPECT_FALSE(platform_->GetFeature(handle_, buffer.data(), buffer.size()));
    device_.FeatureReports[9] = Bytes(132, 9);
    device_.GetResultOverride = -1;
    EXPECT_FALSE(platform_->GetFeature(handle_, buffer.data(), buffer.size()));
    EXPECT_EQ(buffer[0], 9);
    EXPECT_EQ(buffer[1], 0xAA);

    const std::size_t calls = device_.Calls;
    EXPECT_FALSE(platform_->GetFeature(handle_, buffer.data(), 0));
    EXPECT_FALSE(platform_->GetFeature(handle_, nullptr, 132));
    EXPECT_FALSE(platform_->GetFeature(handle_, buffer.data(), _IOC_SIZEMASK + 1));
    EXPECT_EQ(device_.Calls, calls);
}

}  // namespace

#endif  // __linux__
