// The Windows backend without a keyboard: the SetupAPI/HID calls on whatever HID interfaces there
// are (Wine has a virtual mouse and keyboard), CreateFile's errors as the right OpenError, and
// every call coping with handles that are no device. Ordinary files stand in for devices, since
// CreateFile opens both the same way.
#ifdef _WIN32

#include "usbio/WindowsHidPlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "support/TempDir.h"
#include "usbio/Discovery.h"

// Named before <windows.h> makes INVALID_HANDLE_VALUE the system's macro.
constexpr usbio::HidHandle NoHandle = usbio::INVALID_HANDLE_VALUE;

#include <windows.h>

namespace usbio {
namespace {

TEST(WindowsHidPlatform, EnumeratesAndReadsEveryInterface) {
    WindowsHidPlatform platform;
    std::vector<std::string> paths{"stale"};
    ASSERT_TRUE(platform.EnumerateInterfaces(paths));
    EXPECT_EQ(std::count(paths.begin(), paths.end(), "stale"), 0);
    for (const std::string& path : paths) {
        HidHandle handle = platform.Open(path, HidAccess::ReadWrite, nullptr);
        if (handle == NoHandle) handle = platform.Open(path, HidAccess::None, nullptr);
        if (handle == NoHandle) continue;  // it went away in between
        HIDD_ATTRIBUTES attributes;
        EXPECT_TRUE(platform.GetAttributes(handle, attributes)) << path;
        // The IDs read without access rights are the same.
        const auto peeked = platform.PeekAttributes(path);
        ASSERT_TRUE(peeked.has_value()) << path;
        EXPECT_EQ(peeked->VendorID, attributes.VendorID) << path;
        EXPECT_EQ(peeked->ProductID, attributes.ProductID) << path;
        PreparsedHandle preparsed = 0;
        ASSERT_TRUE(platform.GetPreparsedData(handle, preparsed)) << path;
        HIDP_CAPS caps;
        EXPECT_TRUE(platform.GetCaps(preparsed, caps)) << path;
        EXPECT_NE(caps.UsagePage, 0) << path;
        platform.FreePreparsedData(preparsed);
        platform.Close(handle);
    }
}

// One writer per interface: a second program (here: another platform on another thread, since a
// mutex is the thread's) is told it is busy until the first closes its handle.
TEST(WindowsHidPlatform, WriteLockIsExclusive) {
    const testsupport::TempDir dir;
    const std::string node = dir.Write("node", "x").string();
    WindowsHidPlatform first, second;
    const HidHandle mine = first.Open(node, HidAccess::ReadWrite, nullptr);
    const HidHandle theirs = second.Open(node, HidAccess::None, nullptr);
    ASSERT_NE(mine, NoHandle);
    ASSERT_NE(theirs, NoHandle);
    EXPECT_TRUE(first.LockForWriting(mine).Held);
    EXPECT_TRUE(first.LockForWriting(mine).Held);  // again through the same handle
    bool held = true;
    std::thread([&] { held = second.LockForWriting(theirs).Held; }).join();
    EXPECT_FALSE(held);
    first.Close(mine);
    std::thread([&] {
        held = second.LockForWriting(theirs).Held;
        second.Close(theirs);
    }).join();
    EXPECT_TRUE(held);
    EXPECT_EQ(WriteLockName("\\\\?\\HID#VID_2E5B"), WriteLockName("\\\\?\\hid#vid_2e5b"));
    EXPECT_TRUE(WriteLockName("x").starts_with("Local\\Kestrune-keyboard-"));
}

TEST(WindowsHidPlatform, OpenErrorsAreClassified) {
    const testsupport::TempDir dir;
    const std::string held = dir.Write("held", "x").string();
    const HANDLE exclusive = CreateFileA(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    WindowsHidPlatform platform;
    const std::pair<std::string, OpenError> cases[] = {
        {(dir.Path() / "missing").string(), OpenError::NotFound},
        {(dir.Path() / "no-folder" / "missing").string(), OpenError::NotFound},
        {"", OpenError::NotFound},
        {std::string("a\0b", 3), OpenError::NotFound},
        {dir.Path().string(), OpenError::PermissionDenied},  // a folder, without backup semantics
        {held, OpenError::Busy},
    };
    for (const auto& [path, expected] : cases) {
        OpenError error = OpenError::None;
        EXPECT_EQ(platform.Open(path, HidAccess::ReadWrite, &error), NoHandle) << path;
        EXPECT_EQ(error, expected) << path;
    }
    EXPECT_EQ(platform.Open(cases[0].first, HidAccess::None, nullptr), NoHandle);
    CloseHandle(exclusive);
}

TEST(WindowsHidPlatform, AFileOpensTwiceWithEitherAccessButHidCallsFail) {
    const testsupport::TempDir dir;
    const std::string file = dir.Write("device", "x").string();
    WindowsHidPlatform platform;
    for (const HidAccess access : {HidAccess::ReadWrite, HidAccess::None}) {
        OpenError error = OpenError::Other;
        const HidHandle handle = platform.Open(file, access, &error);
        ASSERT_NE(handle, NoHandle);
        EXPECT_EQ(error, OpenError::None);
        const HidHandle second = platform.Open(file, access, nullptr);  // reading, writing shared
        EXPECT_NE(second, NoHandle);
        platform.Close(second);
        std::uint8_t report[131] = {};
        EXPECT_FALSE(platform.SetFeature(handle, nullptr, sizeof report));
        EXPECT_FALSE(platform.GetFeature(handle, report, 0));
        for (const HidHandle h : {NoHandle, HidHandle{0}, handle}) {
            HIDD_ATTRIBUTES attributes;
            attributes.VendorID = 0x1234;
            PreparsedHandle preparsed = 0;
            EXPECT_FALSE(platform.GetAttributes(h, attributes));
            EXPECT_FALSE(platform.GetPreparsedData(h, preparsed));
            EXPECT_FALSE(platform.SetFeature(h, report, sizeof report));
            EXPECT_FALSE(platform.GetFeature(h, report, sizeof report));
            EXPECT_EQ(attributes.VendorID, 0x1234);
            EXPECT_EQ(preparsed, 0);
            platform.Close(h);  // nothing to do for the first two
        }
        DWORD flags = 0;
        EXPECT_FALSE(GetHandleInformation(reinterpret_cast<HANDLE>(handle), &flags));
    }
    // No IDs from what is no HID device, or from nothing at all.
    EXPECT_FALSE(platform.PeekAttributes(file).has_value());
    EXPECT_FALSE(platform.PeekAttributes((dir.Path() / "missing").string()).has_value());
    HIDP_CAPS caps;
    EXPECT_FALSE(platform.GetCaps(0, caps));
    platform.FreePreparsedData(0);
}

TEST(WindowsHidPlatform, SearchOpensOnlyTheKeyboard) {
    const testsupport::TempDir dir;
    WindowsHidPlatform platform;
    DeviceConnection connection(platform);
    InitDeviceIO(connection);
    DiscoveryHooks hooks;
    hooks.ProgramFolder = dir.Path();
    DiscoveryReport report;
    FindDevice(connection, hooks, &report);
    // Wine's own mouse and keyboard are never named as a keyboard the user may not open.
    for (const std::string& path : report.PermissionDenied)
        EXPECT_EQ(platform.PeekAttributes(path).value_or(HIDD_ATTRIBUTES{}).VendorID, SupportedVendorID) << path;
    // Under Wine there is no keyboard; on a PC with one attached the search may find it.
    if (connection.IsOpen()) {
        EXPECT_EQ(connection.DeviceAttributes.VendorID, SupportedVendorID);
        EXPECT_GE(connection.DeviceCaps.FeatureReportByteLength, MinUsableFeatureLength);
    } else {
        EXPECT_EQ(connection.PreparsedData, 0);
    }
    CloseDevice(connection);
    EXPECT_FALSE(connection.IsOpen());
}

}  // namespace
}  // namespace usbio

#endif  // _WIN32
