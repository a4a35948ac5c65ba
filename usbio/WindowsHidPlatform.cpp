#include "usbio/WindowsHidPlatform.h"

#include <algorithm>
#include <cstdio>
#include <cstddef>
#include <limits>
#include <memory>

namespace {

// usbio's "no handle", named here while INVALID_HANDLE_VALUE still means usbio's constant: from
// <windows.h> on it is the system's macro, and in the rest of this file it means that one.
constexpr usbio::HidHandle NoHandle = usbio::INVALID_HANDLE_VALUE;

}  // namespace

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

// The HID library headers carry no C linkage of their own.
extern "C" {
#include <hidsdi.h>
}

namespace usbio {

namespace {

// Releases a device-information set when it goes out of scope.
class DeviceInfoSet {
public:
    explicit DeviceInfoSet(HDEVINFO set) : set_(set) {}
    ~DeviceInfoSet() {
        if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
    }
    DeviceInfoSet(const DeviceInfoSet&) = delete;
    DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;

    HDEVINFO get() const { return set_; }
    bool valid() const { return set_ != INVALID_HANDLE_VALUE; }

private:
    HDEVINFO set_;
};

// Where the path starts in the detail record (after cbSize and, on 64-bit builds, padding).
constexpr std::size_t DevicePathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);

// The device path of one interface of the set, empty when it cannot be had. Asks once without a
// buffer for the size, then once more with a buffer of that size.
std::string InterfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interfaceData) {
    DWORD required = 0;
    if (SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, nullptr, 0, &required, nullptr))
        return {};  // a size query that "succeeds" tells us nothing we can use
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return {};
    if (required <= DevicePathOffset) return {};

    // The record's size field must hold the size of the fixed record, which differs between 32-
    // and 64-bit builds (5 and 8 bytes); the buffer is never smaller than that record.
    const std::size_t size =
        std::max<std::size_t>(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
    const auto buffer = std::make_unique<unsigned char[]>(size);  // zeroed
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, static_cast<DWORD>(size),
                                          nullptr, nullptr))
        return {};

    // The path ends at its terminating zero, or at the end of the buffer if there is none.
    const char* begin = reinterpret_cast<const char*>(buffer.get() + DevicePathOffset);
    const char* end = reinterpret_cast<const char*>(buffer.get() + size);
    return std::string(begin, std::find(begin, end, '\0'));
}

HANDLE ToHandle(HidHandle handle) { return reinterpret_cast<HANDLE>(handle); }

bool IsUsable(HidHandle handle) { return handle != NoHandle && handle != 0; }

OpenError OpenErrorOf(DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED:
        return OpenError::PermissionDenied;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
        return OpenError::NotFound;
    case ERROR_SHARING_VIOLATION:
        return OpenError::Busy;
    default:
        return OpenError::Other;
    }
}

bool FitsReportLength(std::size_t length) {
    return length > 0 && length <= std::numeric_limits<ULONG>::max();
}

}  // namespace

bool WindowsHidPlatform::EnumerateInterfaces(std::vector<std::string>& paths) {
    paths.clear();
    GUID hidGuid{};
    HidD_GetHidGuid(&hidGuid);
    const DeviceInfoSet set(
        SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set.valid()) return false;

    // The enumeration ends with ERROR_NO_MORE_ITEMS; any other failure ends it as well, with the
    // interfaces found up to there.
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData{};
        interfaceData.cbSize = sizeof interfaceData;
        if (!SetupDiEnumDeviceInterfaces(set.get(), nullptr, &hidGuid, index, &interfaceData))
            break;
        std::string path = InterfacePath(set.get(), interfaceData);
        if (!path.empty()) paths.push_back(std::move(path));
    }
    return true;
}

std::optional<HIDD_ATTRIBUTES> WindowsHidPlatform::PeekAttributes(const std::string& path) {
    const HidHandle handle = Open(path, HidAccess::None, nullptr);
    if (!IsUsable(handle)) return std::nullopt;
    HIDD_ATTRIBUTES attributes;
    const bool read = GetAttributes(handle, attributes);
    Close(handle);
    if (!read) return std::nullopt;
    attributes.Size = 12;
    return attributes;
}

HidHandle WindowsHidPlatform::Open(const std::string& path, HidAccess access, OpenError* error) {
    if (path.empty() || path.find('\0') != std::string::npos) {
        if (error) *error = OpenError::NotFound;
        return NoHandle;
    }
    const DWORD desiredAccess = access == HidAccess::ReadWrite ? GENERIC_READ | GENERIC_WRITE : 0;
    const HANDLE handle =
        CreateFileA(path.c_str(), desiredAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD lastError = GetLastError();
        if (error) *error = OpenErrorOf(lastError);
        return NoHandle;
    }
    if (error) *error = OpenError::None;
    const auto result = reinterpret_cast<HidHandle>(handle);
    std::lock_guard<std::mutex> guard(mutex_);
    paths_[result] = path;
    return result;
}

void WindowsHidPlatform::Close(HidHandle handle) {
    if (!IsUsable(handle)) return;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        paths_.erase(handle);
        if (const auto lock = locks_.find(handle); lock != locks_.end()) {
            const auto mutex = reinterpret_cast<HANDLE>(lock->second);
            ReleaseMutex(mutex);
            CloseHandle(mutex);
            locks_.erase(lock);
        }
    }
    CloseHandle(ToHandle(handle));
}

DeviceIdentity WindowsHidPlatform::PeekIdentity(const std::string& path) {
    DeviceIdentity identity = UsbParentIdentity(path);
    // Where the walk to the USB device cannot be made (Wine has no such parent), or its instance
    // ID holds no serial number: the one the HID device reports, read without opening it for
    // reading or writing.
    if (identity.Serial.empty()) identity.Serial = HidSerial(path);
    return identity;
}

std::string WindowsHidPlatform::HidSerial(const std::string& path) {
    const HidHandle handle = Open(path, HidAccess::None, nullptr);
    if (!IsUsable(handle)) return {};
    wchar_t serial[127] = {};  // the call's limit: 126 characters and the NUL
    const bool read = HidD_GetSerialNumberString(ToHandle(handle), serial, sizeof serial - sizeof serial[0]) != FALSE;
    Close(handle);
    if (!read || serial[0] == L'\0') return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, serial, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) return {};
    std::string text(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, serial, -1, text.data(), length, nullptr, nullptr);
    text.resize(static_cast<std::size_t>(length - 1));
    return text;
}

DeviceIdentity WindowsHidPlatform::UsbParentIdentity(const std::string& path) {
    GUID hidGuid{};
    HidD_GetHidGuid(&hidGuid);
    const DeviceInfoSet set(SetupDiCreateDeviceInfoList(&hidGuid, nullptr));
    if (!set.valid()) return {};
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof(interfaceData);
    if (!SetupDiOpenDeviceInterfaceA(set.get(), path.c_str(), 0, &interfaceData)) return {};
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    // The size query fills in the device record even though it has no room for the path.
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set.get(), &interfaceData, nullptr, 0, &required, &info);
    if (info.DevInst == 0) return {};
    // Up from the HID device, past the USB interface of a composite device, to the USB device.
    DEVINST node = info.DevInst;
    for (int depth = 0; depth < 8; ++depth) {
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) return {};
        node = parent;
        char id[MAX_DEVICE_ID_LEN + 1] = {};
        if (CM_Get_Device_IDA(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return {};
        if (!IsUsbDeviceInstanceId(id)) continue;
        DeviceIdentity identity;
        identity.Serial = SerialFromInstanceId(id);
        char paths[2048] = {};
        ULONG size = sizeof(paths);
        if (CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_LOCATION_PATHS, nullptr, paths, &size,
                                              0) == CR_SUCCESS)
            identity.PortPath = FirstMultiSzString(paths, std::min<std::size_t>(size, sizeof(paths)));
        return identity;
    }
    return {};
}

std::string WriteLockName(const std::string& path) {
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (const char c : path) {
        const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        hash = (hash ^ static_cast<unsigned char>(lower)) * 1099511628211ull;
    }
    char name[64];
    std::snprintf(name, sizeof name, "Local\\Kestrune-keyboard-%016llx", static_cast<unsigned long long>(hash));
    return name;
}

WriteLock WindowsHidPlatform::LockForWriting(HidHandle handle) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (locks_.count(handle) != 0) return {true, 0};
    const auto path = paths_.find(handle);
    if (path == paths_.end()) return {false, 0};
    const HANDLE mutex = CreateMutexA(nullptr, FALSE, WriteLockName(path->second).c_str());
    if (mutex == nullptr) return {true, 0};  // no mutex to be had: cannot tell, go on as before
    const DWORD wait = WaitForSingleObject(mutex, 0);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return {false, 0};
    }
    locks_[handle] = reinterpret_cast<std::intptr_t>(mutex);
    return {true, 0};
}

bool WindowsHidPlatform::GetAttributes(HidHandle handle, HIDD_ATTRIBUTES& attributes) {
    if (!IsUsable(handle)) return false;
    ::HIDD_ATTRIBUTES native{};
    native.Size = sizeof native;
    if (!HidD_GetAttributes(ToHandle(handle), &native)) return false;
    attributes.VendorID = native.VendorID;
    attributes.ProductID = native.ProductID;
    attributes.VersionNumber = native.VersionNumber;
    return true;
}

bool WindowsHidPlatform::GetPreparsedData(HidHandle handle, PreparsedHandle& preparsed) {
    if (!IsUsable(handle)) return false;
    PHIDP_PREPARSED_DATA data = nullptr;
    if (!HidD_GetPreparsedData(ToHandle(handle), &data)) return false;
    if (data == nullptr) return false;
    preparsed = reinterpret_cast<PreparsedHandle>(data);
    return true;
}

bool WindowsHidPlatform::GetCaps(PreparsedHandle preparsed, HIDP_CAPS& caps) {
    if (preparsed == 0) return false;
    ::HIDP_CAPS native{};
    if (HidP_GetCaps(reinterpret_cast<PHIDP_PREPARSED_DATA>(preparsed), &native) !=
        HIDP_STATUS_SUCCESS)
        return false;
    caps.Usage = native.Usage;
    caps.UsagePage = native.UsagePage;
    caps.InputReportByteLength = native.InputReportByteLength;
    caps.OutputReportByteLength = native.OutputReportByteLength;
    caps.FeatureReportByteLength = native.FeatureReportByteLength;
    return true;
}

void WindowsHidPlatform::FreePreparsedData(PreparsedHandle preparsed) {
    if (preparsed == 0) return;
    HidD_FreePreparsedData(reinterpret_cast<PHIDP_PREPARSED_DATA>(preparsed));
}

bool WindowsHidPlatform::SetFeature(HidHandle handle, const std::uint8_t* data,
                                    std::size_t length) {
    if (!IsUsable(handle) || data == nullptr || !FitsReportLength(length)) return false;
    // The library takes a writable buffer; it gets a copy so the caller's const one stays as is.
    std::vector<std::uint8_t> copy(data, data + length);
    return Exchanged(HidD_SetFeature(ToHandle(handle), copy.data(), static_cast<ULONG>(length)) != FALSE);
}

bool WindowsHidPlatform::GetFeature(HidHandle handle, std::uint8_t* data, std::size_t length) {
    if (!IsUsable(handle) || data == nullptr || !FitsReportLength(length)) return false;
    // data[0] holds the report ID on entry; the report comes back with the ID in front.
    return Exchanged(HidD_GetFeature(ToHandle(handle), data, static_cast<ULONG>(length)) != FALSE);
}

bool WindowsHidPlatform::Exchanged(bool done) {
    const DWORD error = done ? ERROR_SUCCESS : GetLastError();
    lastFault_ = error == ERROR_DEVICE_NOT_CONNECTED ? TransferFault::Gone
                 : error == ERROR_SEM_TIMEOUT        ? TransferFault::NoAnswer
                                                     : TransferFault::Unknown;
    return done;
}

}  // namespace usbio
