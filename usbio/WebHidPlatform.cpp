#include "usbio/WebHidPlatform.h"

#include <emscripten.h>

#include <cstdlib>
#include <cstring>

#include "usbio/WebAsync.h"

// The calls into usbio/web/WebHidBridge.js. Strings and lists come back as malloc'd UTF-8 texts
// (freed here); the async ones suspend the module until the browser's Promise settles.
// clang-format off
EM_JS(int, kestrune_webhid_available, (), { return Module.webHid.available() ? 1 : 0; });

KESTRUNE_ASYNC_JS(char*, kestrune_webhid_enumerate, (), 0, {
    const paths = await Module.webHid.enumerate();
    if (paths === null) return 0;
    const text = paths.join('\n');
    const size = lengthBytesUTF8(text) + 1;
    const out = _malloc(size);
    stringToUTF8(text, out, size);
    return out;
});

EM_JS(int, kestrune_webhid_peek, (const char* path, std::uint16_t* ids), {
    const found = Module.webHid.peek(UTF8ToString(path));
    if (!found) return 0;
    HEAPU16[ids >> 1] = found[0];
    HEAPU16[(ids >> 1) + 1] = found[1];
    return 1;
});

KESTRUNE_ASYNC_JS(int, kestrune_webhid_open, (const char* path), -2, {
    return await Module.webHid.open(UTF8ToString(path));
});

KESTRUNE_ASYNC_JS(void, kestrune_webhid_close, (int handle), undefined, { await Module.webHid.close(handle); });

EM_JS(int, kestrune_webhid_attributes, (int handle, std::uint16_t* ids), {
    const found = Module.webHid.attributes(handle);
    if (!found) return 0;
    HEAPU16[ids >> 1] = found[0];
    HEAPU16[(ids >> 1) + 1] = found[1];
    return 1;
});

EM_JS(int, kestrune_webhid_caps, (int handle, std::uint16_t* caps), {
    const found = Module.webHid.caps(handle);
    if (!found) return 0;
    for (let i = 0; i < 5; i++) HEAPU16[(caps >> 1) + i] = found[i];
    return 1;
});

KESTRUNE_ASYNC_JS(int, kestrune_webhid_send, (int handle, const std::uint8_t* data, std::size_t length), 0, {
    return (await Module.webHid.send(handle, data, length)) ? 1 : 0;
});

KESTRUNE_ASYNC_JS(int, kestrune_webhid_receive, (int handle, std::uint8_t* data, std::size_t length), 0, {
    return (await Module.webHid.receive(handle, data, length)) ? 1 : 0;
});
// clang-format on

namespace usbio {
namespace {

int HandleNumber(HidHandle handle) { return static_cast<int>(handle); }

}  // namespace

bool WebHidPlatform::Available() { return kestrune_webhid_available() != 0; }

bool WebHidPlatform::EnumerateInterfaces(std::vector<std::string>& paths) {
    paths.clear();
    char* list = kestrune_webhid_enumerate();
    if (!list) return false;
    std::string text(list);
    std::free(list);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) paths.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

std::optional<HIDD_ATTRIBUTES> WebHidPlatform::PeekAttributes(const std::string& path) {
    std::uint16_t ids[2] = {};
    if (!kestrune_webhid_peek(path.c_str(), ids)) return std::nullopt;
    HIDD_ATTRIBUTES attributes;
    attributes.Size = sizeof attributes;
    attributes.VendorID = ids[0];
    attributes.ProductID = ids[1];
    return attributes;
}

HidHandle WebHidPlatform::Open(const std::string& path, HidAccess access, OpenError* error) {
    (void)access;  // the browser has one kind of open
    const int handle = kestrune_webhid_open(path.c_str());
    if (handle > 0) {
        if (error) *error = OpenError::None;
        return handle;
    }
    if (error) *error = handle == -1 ? OpenError::NotFound : OpenError::Other;
    return INVALID_HANDLE_VALUE;
}

void WebHidPlatform::Close(HidHandle handle) {
    if (handle != INVALID_HANDLE_VALUE) kestrune_webhid_close(HandleNumber(handle));
}

bool WebHidPlatform::GetAttributes(HidHandle handle, HIDD_ATTRIBUTES& attributes) {
    std::uint16_t ids[2] = {};
    if (!kestrune_webhid_attributes(HandleNumber(handle), ids)) return false;
    attributes.Size = sizeof attributes;
    attributes.VendorID = ids[0];
    attributes.ProductID = ids[1];
    attributes.VersionNumber = 0;  // WebHID does not tell the device's release number
    return true;
}

// The "preparsed data" is the open handle itself: the collection's reports are at hand in the
// browser.
bool WebHidPlatform::GetPreparsedData(HidHandle handle, PreparsedHandle& preparsed) {
    if (handle == INVALID_HANDLE_VALUE || handle == 0) return false;
    preparsed = static_cast<PreparsedHandle>(handle);
    return true;
}

bool WebHidPlatform::GetCaps(PreparsedHandle preparsed, HIDP_CAPS& caps) {
    std::uint16_t values[5] = {};
    if (!kestrune_webhid_caps(static_cast<int>(preparsed), values)) return false;
    caps.UsagePage = values[0];
    caps.Usage = values[1];
    caps.InputReportByteLength = values[2];
    caps.OutputReportByteLength = values[3];
    caps.FeatureReportByteLength = values[4];
    return true;
}

void WebHidPlatform::FreePreparsedData(PreparsedHandle preparsed) { (void)preparsed; }

bool WebHidPlatform::SetFeature(HidHandle handle, const std::uint8_t* data, std::size_t length) {
    return data && length > 0 && kestrune_webhid_send(HandleNumber(handle), data, length) != 0;
}

bool WebHidPlatform::GetFeature(HidHandle handle, std::uint8_t* data, std::size_t length) {
    return data && length > 0 && kestrune_webhid_receive(HandleNumber(handle), data, length) != 0;
}

}  // namespace usbio
