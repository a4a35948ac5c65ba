#pragma once
// The browser's WebHID devices as the HID platform (WebAssembly build only). The page may reach
// only the devices the user granted it (navigator.hid.getDevices()); each HID collection of a
// granted device is one interface. The synchronous calls of the core wait for the browser's
// Promises (ASYNCIFY): while one waits, the page keeps running, and its events are queued by the
// window's event pump, never handled inside the call. The JavaScript half is
// usbio/web/WebHidBridge.js.
//
// The browser drops the report-ID byte in both directions: this backend puts it back, so that
// the core keeps the buffers it has on every other platform (byte 0 the report ID, 0 without IDs).
#include "usbio/HidPlatform.h"

namespace usbio {

class WebHidPlatform final : public HidPlatform {
public:
    // False when the browser has no WebHID (Firefox, Safari, an insecure origin).
    static bool Available();

    bool EnumerateInterfaces(std::vector<std::string>& paths) override;
    std::optional<HIDD_ATTRIBUTES> PeekAttributes(const std::string& path) override;
    HidHandle Open(const std::string& path, HidAccess access, OpenError* error) override;
    void Close(HidHandle handle) override;
    bool GetAttributes(HidHandle handle, HIDD_ATTRIBUTES& attributes) override;
    bool GetPreparsedData(HidHandle handle, PreparsedHandle& preparsed) override;
    bool GetCaps(PreparsedHandle preparsed, HIDP_CAPS& caps) override;
    void FreePreparsedData(PreparsedHandle preparsed) override;
    bool SetFeature(HidHandle handle, const std::uint8_t* data, std::size_t length) override;
    bool GetFeature(HidHandle handle, std::uint8_t* data, std::size_t length) override;
};

}  // namespace usbio
