#pragma once
// The operations that device access relies on, as one interface. Backends: Linux hidraw,
// Windows SetupAPI/HID, and the simulated keyboard. Which one a program uses is decided where the
// program is assembled.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "usbio/DeviceIdentity.h"

namespace usbio {

using HidHandle = std::intptr_t;
inline constexpr HidHandle INVALID_HANDLE_VALUE = -1;
using PreparsedHandle = std::intptr_t;  // 0 = none

struct HIDD_ATTRIBUTES {
    std::uint32_t Size = 0;
    std::uint16_t VendorID = 0;
    std::uint16_t ProductID = 0;
    std::uint16_t VersionNumber = 0;
};

// The capabilities the program uses. Report lengths count the report-ID byte, as the Windows HID
// library does (a device without report IDs still gets one leading byte, always 0).
struct HIDP_CAPS {
    std::uint16_t Usage = 0;
    std::uint16_t UsagePage = 0;
    std::uint16_t InputReportByteLength = 0;
    std::uint16_t OutputReportByteLength = 0;
    std::uint16_t FeatureReportByteLength = 0;
};

enum class HidAccess {
    ReadWrite,  // the normal open
    None,       // the weakest open that still allows attribute queries and feature reports
};

// The outcome of taking a keyboard for writing (HidPlatform::LockForWriting).
struct WriteLock {
    bool Held = false;
    std::int64_t HolderPid = 0;  // when not held: the program that holds it, 0 when unknown
};

// Why a feature-report exchange failed, as far as the platform can tell.
enum class TransferFault {
    Unknown,   // no more is known: the keyboard did not answer
    Gone,      // the keyboard left: unplugged, or its connection broke off
    Refused,   // the keyboard refused the report (a stalled request)
    NoAnswer,  // the keyboard did not answer in time
};

enum class OpenError {
    None,
    NotFound,          // the interface went away
    PermissionDenied,  // the user may not open it (Linux: missing udev rule)
    Busy,
    Other,
};

class HidPlatform {
public:
    virtual ~HidPlatform() = default;

    // The device paths of the HID interfaces present, in an order that is stable during one
    // search. False when the list cannot be had at all.
    virtual bool EnumerateInterfaces(std::vector<std::string>& paths) = 0;

    // Vendor and product ID of an interface without opening it, where the platform can tell.
    virtual std::optional<HIDD_ATTRIBUTES> PeekAttributes(const std::string& path) {
        (void)path;
        return std::nullopt;
    }

    // The port path and serial number of the USB device an interface belongs to, without opening
    // it; empty fields where the platform cannot tell.
    virtual DeviceIdentity PeekIdentity(const std::string& path) {
        (void)path;
        return {};
    }

    // INVALID_HANDLE_VALUE on failure; error (when given) says why.
    virtual HidHandle Open(const std::string& path, HidAccess access, OpenError* error) = 0;
    virtual void Close(HidHandle handle) = 0;

    virtual bool GetAttributes(HidHandle handle, HIDD_ATTRIBUTES& attributes) = 0;
    virtual bool GetPreparsedData(HidHandle handle, PreparsedHandle& preparsed) = 0;
    virtual bool GetCaps(PreparsedHandle preparsed, HIDP_CAPS& caps) = 0;
    virtual void FreePreparsedData(PreparsedHandle preparsed) = 0;

    // The longest feature report, report-ID byte included, that SetFeature and GetFeature can
    // carry on this platform. Discovery passes over interfaces whose report is longer.
    virtual std::size_t MaxFeatureReportLength() const { return 0xFFFF; }

    // Takes the open interface for writing, for as long as this handle stays open: a second
    // program that asks for the same interface is told it is busy (and, where the system can
    // tell, which program holds it). Taking it again through the same handle is a no-op. Reading
    // needs no lock. The default, for platforms that cannot tell: always held.
    virtual WriteLock LockForWriting(HidHandle handle) {
        (void)handle;
        return {true, 0};
    }

    // One synchronous feature-report write / read of exactly length bytes, report ID in byte 0.
    // A read that brings back 0 bytes or fewer than length is a failure, not an answer.
    virtual bool SetFeature(HidHandle handle, const std::uint8_t* data, std::size_t length) = 0;
    virtual bool GetFeature(HidHandle handle, std::uint8_t* data, std::size_t length) = 0;
    // Why the last SetFeature or GetFeature that failed did.
    virtual TransferFault LastTransferFault() const { return TransferFault::Unknown; }
};

}  // namespace usbio
