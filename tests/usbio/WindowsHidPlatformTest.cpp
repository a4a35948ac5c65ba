// The Windows backend without a keyboard: enumeration runs, every call copes with handles that
// are not there, and CreateFile's errors come back as the right OpenError. Ordinary files stand in
// for devices, since CreateFile opens both the same way.
#ifdef _WIN32

#include "usbio/WindowsHidPlatform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "usbio/Discovery.h"

namespace usbio {
namespace {

// Named before <windows.h> makes INVALID_HANDLE_VALUE the system's macro.
constexpr HidHandle NoHandle = INVALID_HANDLE_VALUE;

}  // namespace
}  // namespace usbio

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace usbio {
namespace {

TEST(WindowsHidPlatform, EnumeratesWithoutFailing) {
    WindowsHidPlatform platform;
    std::vector<std::string> paths{"stale"};
    ASSERT_TRUE(platform.EnumerateInterfaces(paths));
    for (const std::string& path : paths) EXPECT_FALSE(path.empty());
    // Nothing known about an interface before it is opened.
    if (!paths.empty()) {
        EXPECT_FALSE(platform.PeekAttributes(paths.front()).has_value());
    }
}

TEST(WindowsHidPlatform, ReadsAttributesAndCapsOfEveryInterface) {
    // Wine has a virtual mouse and keyboard; a PC has its own devices.
    WindowsHidPlatform platform;
    std::vector<std::string> paths;
    ASSERT_TRUE(platform.EnumerateInterfaces(paths));
    for (const std::string& path : paths) {
        HidHandle handle = platform.Open(path, HidAccess::ReadWrite, nullptr);
        if (handle == NoHandle) handle = platform.Open(path, HidAccess::None, nullptr);
        if (handle == NoHandle) continue;  // it went away in between
        HIDD_ATTRIBUTES attributes;
        EXPECT_TRUE(platform.GetAttributes(handle, attributes)) << path;
        PreparsedHandle preparsed = 0;
        ASSERT_TRUE(platform.GetPreparsedData(handle, preparsed)) << path;
        EXPECT_NE(preparsed, 0);
        HIDP_CAPS caps;
        EXPECT_TRUE(platform.GetCaps(preparsed, caps)) << path;
        EXPECT_NE(caps.UsagePage, 0) << path;
        platform.FreePreparsedData(preparsed);
        platform.Close(handle);
    }
}

TEST(WindowsHidPlatform, MissingPathsAreNotFound) {
    const testsupport::TempDir dir;
    WindowsHidPlatform platform;
    const std::string missingFile = (dir.Path() / "missing").string();
    const std::string missingFolder = (dir.Path() / "no-folder" / "missing").string();
    for (const std::string& path : {missingFile, missingFolder, std::string(),
                                    std::string("a\0b", 3)}) {
        for (const HidAccess access : {HidAccess::ReadWrite, HidAccess::None}) {
            OpenError error = OpenError::None;
            EXPECT_EQ(platform.Open(path, access, &error), NoHandle) << path;
            EXPECT_EQ(error, OpenError::NotFound) << path;
        }
    }
    EXPECT_EQ(platform.Open(missingFile, HidAccess::ReadWrite, nullptr), NoHandle);
}

TEST(WindowsHidPlatform, OpensWithBothAccessesAndCloses) {
    const testsupport::TempDir dir;
    const std::string file = dir.Write("device", "x").string();
    WindowsHidPlatform platform;
    for (const HidAccess access : {HidAccess::ReadWrite, HidAccess::None}) {
        OpenError error = OpenError::Other;
        const HidHandle handle = platform.Open(file, access, &error);
        ASSERT_NE(handle, NoHandle);
        EXPECT_EQ(error, OpenError::None);
        // Two opens at once: the handles share reading and writing.
        const HidHandle second = platform.Open(file, access, &error);
        EXPECT_NE(second, NoHandle);
        platform.Close(second);
        platform.Close(handle);
    }
}

TEST(WindowsHidPlatform, FileHeldExclusivelyIsBusy) {
    const testsupport::TempDir dir;
    const std::string file = dir.Write("device", "x").string();
    const HANDLE exclusive = CreateFileA(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    WindowsHidPlatform platform;
    for (const HidAccess access : {HidAccess::ReadWrite, HidAccess::None}) {
        OpenError error = OpenError::None;
        const HidHandle handle = platform.Open(file, access, &error);
        if (handle != NoHandle) {
            // Windows lets an open that asks for no access past a sharing lock.
            EXPECT_EQ(access, HidAccess::None);
            platform.Close(handle);
            continue;
        }
        EXPECT_EQ(error, OpenError::Busy);
    }
    CloseHandle(exclusive);
}

TEST(WindowsHidPlatform, FolderIsPermissionDenied) {
    // CreateFile refuses a folder without backup semantics with ERROR_ACCESS_DENIED.
    const testsupport::TempDir dir;
    WindowsHidPlatform platform;
    OpenError error = OpenError::None;
    const HidHandle handle = platform.Open(dir.Path().string(), HidAccess::ReadWrite, &error);
    EXPECT_EQ(handle, NoHandle);
    if (handle != NoHandle) platform.Close(handle);
    EXPECT_EQ(error, OpenError::PermissionDenied);
}

TEST(WindowsHidPlatform, HidCallsFailOnHandlesThatAreNoDevice) {
    const testsupport::TempDir dir;
    const std::string file = dir.Write("device", "x").string();
    WindowsHidPlatform platform;
    const HidHandle handle = platform.Open(file, HidAccess::ReadWrite, nullptr);
    ASSERT_NE(handle, NoHandle);

    for (const HidHandle h : {handle, NoHandle, HidHandle{0}}) {
        HIDD_ATTRIBUTES attributes;
        attributes.VendorID = 0x1234;
        EXPECT_FALSE(platform.GetAttributes(h, attributes));
        EXPECT_EQ(attributes.VendorID, 0x1234);
        PreparsedHandle preparsed = 0;
        EXPECT_FALSE(platform.GetPreparsedData(h, preparsed));
        EXPECT_EQ(preparsed, 0);
        std::uint8_t report[131] = {};
        EXPECT_FALSE(platform.SetFeature(h, report, sizeof report));
        EXPECT_FALSE(platform.GetFeature(h, report, sizeof report));
    }
    std::uint8_t report[8] = {};
    EXPECT_FALSE(platform.SetFeature(handle, nullptr, sizeof report));
    EXPECT_FALSE(platform.SetFeature(handle, report, 0));
    EXPECT_FALSE(platform.GetFeature(handle, nullptr, sizeof report));
    EXPECT_FALSE(platform.GetFeature(handle, report, 0));

    HIDP_CAPS caps;
    EXPECT_FALSE(platform.GetCaps(0, caps));
    platform.FreePreparsedData(0);
    platform.Close(handle);
    platform.Close(NoHandle);
    platform.Close(0);
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
    // Under Wine there is no keyboard; on a PC with one attached the search may find it.
    if (connection.IsOpen()) {
        EXPECT_EQ(connection.DeviceAttributes.VendorID, SupportedVendorID);
        EXPECT_NE(connection.PreparsedData, 0);
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
