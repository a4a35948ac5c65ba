#include "sim/UsbGadget.h"

#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace sim {
namespace {

namespace fs = std::filesystem;

constexpr const char* ConfigfsRoot = "/sys/kernel/config";
constexpr std::uint8_t HidDescriptorType = 0x21;
constexpr std::uint8_t ReportDescriptorType = 0x22;

void PutLe16(std::vector<std::uint8_t>& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutLe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    PutLe16(out, value & 0xFFFF);
    PutLe16(out, value >> 16);
}

void SetLe32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The 9-byte HID class descriptor that follows the interface descriptor.
std::vector<std::uint8_t> HidDescriptor(std::size_t reportDescriptorLength) {
    std::vector<std::uint8_t> d{9, HidDescriptorType, 0x11, 0x01, 0, 1, ReportDescriptorType};
    PutLe16(d, static_cast<std::uint32_t>(reportDescriptorLength));
    return d;
}

bool WriteAll(int fd, const std::vector<std::uint8_t>& bytes) {
    return ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

bool WriteText(const std::string& path, const std::string& text, std::string& problem) {
    std::ofstream out(path);
    out << text;
    out.flush();
    if (out) return true;
    problem = "cannot write " + path;
    return false;
}

}  // namespace

UsbGadget::UsbGadget(std::string name, std::vector<std::vector<std::uint8_t>> interfaces) : name_(std::move(name)) {
    for (std::size_t i = 0; i < interfaces.size(); ++i)
        functions_.push_back({name_ + (i ? std::to_string(i) : std::string()), std::move(interfaces[i]), {}, -1, false});
}

UsbGadget::~UsbGadget() { Remove(); }

std::vector<std::string> UsbGadget::Controllers() {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it("/sys/class/udc", error), end; !error && it != end; it.increment(error))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool UsbGadget::Create(const GadgetIdentity& identity, std::string& problem) {
    std::error_code error;
    const fs::path gadgets = fs::path(ConfigfsRoot) / "usb_gadget";
    if (!fs::exists(gadgets, error)) ::mount("none", ConfigfsRoot, "configfs", 0, nullptr);
    if (!fs::exists(gadgets, error)) {
        problem = "no USB gadget support here (" + gadgets.string() +
                  " is missing: load libcomposite and usb_f_fs, mount configfs)";
        return false;
    }
    gadgetDir_ = (gadgets / name_).string();
    const fs::path g(gadgetDir_);
    char hex[8];
    auto hex4 = [&](std::uint16_t v) {
        std::snprintf(hex, sizeof hex, "0x%04x", v);
        return std::string(hex);
    };
    if (!fs::create_directories(g / "strings/0x409", error) ||
        !fs::create_directories(g / "configs/c.1/strings/0x409", error)) {
        problem = "cannot make the gadget " + g.string() + " (one of that name already there?)";
        return false;
    }
    if (!WriteText(g / "idVendor", hex4(identity.vendor), problem) ||
        !WriteText(g / "idProduct", hex4(identity.product), problem) ||
        !WriteText(g / "bcdDevice", hex4(identity.release), problem) ||
        !WriteText(g / "bcdUSB", "0x0200", problem) ||
        !WriteText(g / "strings/0x409/manufacturer", identity.manufacturer, problem) ||
        !WriteText(g / "strings/0x409/product", identity.productName, problem) ||
        !WriteText(g / "strings/0x409/serialnumber", identity.serial, problem) ||
        !WriteText(g / "configs/c.1/strings/0x409/configuration", "keyboard", problem) ||
        !WriteText(g / "configs/c.1/MaxPower", "100", problem))
        return false;
    // The configuration numbers its interfaces in the order their functions are linked into it.
    for (Function& function : functions_)
        if (!CreateFunction(function, problem)) return false;
    return true;
}

bool UsbGadget::CreateFunction(Function& function, std::string& problem) {
    std::error_code error;
    const fs::path g(gadgetDir_);
    const std::string name = "ffs." + function.instance;
    fs::create_directory(g / "functions" / name, error);
    if (!error) fs::create_directory_symlink(g / "functions" / name, g / "configs/c.1" / name, error);
    if (error) {
        problem = "cannot add the function " + name + " to the configuration: " + error.message();
        return false;
    }
    function.mountDir = "/dev/ffs-" + function.instance;
    fs::create_directories(function.mountDir, error);
    if (::mount(function.instance.c_str(), function.mountDir.c_str(), "functionfs", 0, nullptr) != 0) {
        problem = "cannot mount FunctionFS on " + function.mountDir + ": " + std::strerror(errno);
        return false;
    }
    function.mounted = true;
    function.ep0 = ::open((function.mountDir + "/ep0").c_str(), O_RDWR | O_CLOEXEC);
    if (function.ep0 < 0) {
        problem = "cannot open " + function.mountDir + "/ep0: " + std::strerror(errno);
        return false;
    }
    return WriteDescriptors(function, problem);
}

// One interface of class HID with its HID descriptor and an interrupt-IN endpoint (usbhid takes no
// interface without one; nothing is ever sent on it), at full and at high speed; one string.
bool UsbGadget::WriteDescriptors(const Function& function, std::string& problem) {
    std::vector<std::uint8_t> one;
    const std::vector<std::uint8_t> interface{9, USB_DT_INTERFACE, 0, 0, 1, USB_CLASS_HID, 0, 0, 1};
    const std::vector<std::uint8_t> hid = HidDescriptor(function.reportDescriptor.size());
    for (const std::uint8_t interval : {10, 4}) {  // full speed: 10 ms; high speed: 2^(4-1) frames
        one.insert(one.end(), interface.begin(), interface.end());
        one.insert(one.end(), hid.begin(), hid.end());
        one.insert(one.end(), {7, USB_DT_ENDPOINT, 0x81, USB_ENDPOINT_XFER_INT});
        PutLe16(one, 64);
        one.push_back(interval);
    }
    std::vector<std::uint8_t> descriptors;
    PutLe32(descriptors, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    PutLe32(descriptors, 0);  // the length, below
    PutLe32(descriptors, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    PutLe32(descriptors, 3);
    PutLe32(descriptors, 3);
    descriptors.insert(descriptors.end(), one.begin(), one.end());
    SetLe32(descriptors, 4, static_cast<std::uint32_t>(descriptors.size()));

    const std::string text = "Kestrune Keyboard";
    std::vector<std::uint8_t> strings;
    PutLe32(strings, FUNCTIONFS_STRINGS_MAGIC);
    PutLe32(strings, 0);
    PutLe32(strings, 1);  // strings
    PutLe32(strings, 1);  // languages
    PutLe16(strings, 0x0409);
    strings.insert(strings.end(), text.begin(), text.end());
    strings.push_back(0);
    SetLe32(strings, 4, static_cast<std::uint32_t>(strings.size()));

    if (!WriteAll(function.ep0, descriptors) || !WriteAll(function.ep0, strings)) {
        problem = std::string("FunctionFS refused the descriptors: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool UsbGadget::Bind(const std::string& controller, std::uint16_t product, std::string& problem) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%04x", product);
    if (!WriteText(gadgetDir_ + "/idProduct", hex, problem)) return false;
    if (!WriteText(gadgetDir_ + "/UDC", controller, problem)) {
        problem += " (is " + controller + " a free USB device controller?)";
        return false;
    }
    boundTo_ = controller;
    return true;
}

void UsbGadget::Unbind() {
    if (boundTo_.empty()) return;
    std::string ignored;
    WriteText(gadgetDir_ + "/UDC", "\n", ignored);
    boundTo_.clear();
}

bool UsbGadget::NextRequest(int timeoutMs, ControlRequest& request) {
    std::vector<pollfd> fds;
    for (const Function& function : functions_) fds.push_back({function.ep0, POLLIN, 0});
    if (fds.empty() || fds.front().fd < 0 || ::poll(fds.data(), fds.size(), timeoutMs) <= 0) return false;
    current_ = 0;
    while (current_ < fds.size() && !(fds[current_].revents & POLLIN)) ++current_;
    if (current_ == fds.size()) return false;
    ep0_ = fds[current_].fd;
    request.interface = current_;
    usb_functionfs_event event{};
    const ssize_t n = ::read(ep0_, &event, sizeof event);
    // After an unbind with a request still open the next read fails once (EIDRM): carry on.
    if (n != static_cast<ssize_t>(sizeof event) || event.type != FUNCTIONFS_SETUP) return false;
    request.requestType = event.u.setup.bRequestType;
    request.request = event.u.setup.bRequest;
    request.value = le16toh(event.u.setup.wValue);
    request.index = le16toh(event.u.setup.wIndex);
    request.length = le16toh(event.u.setup.wLength);
    return true;
}

bool UsbGadget::Reply(const std::uint8_t* data, std::size_t length) {
    return ::write(ep0_, data, length) == static_cast<ssize_t>(length);
}

bool UsbGadget::TakeData(std::uint8_t* data, std::size_t length) {
    return ::read(ep0_, data, length) == static_cast<ssize_t>(length);
}

bool UsbGadget::Acknowledge() { return ::read(ep0_, nullptr, 0) == 0; }

// A request is refused by doing the opposite of what it asks: reading for one that wants data,
// writing for one that brings it.
void UsbGadget::Stall(const ControlRequest& request) {
    const ssize_t refused = request.In() ? ::read(ep0_, nullptr, 0) : ::write(ep0_, nullptr, 0);
    (void)refused;  // fails by design: that is the stall
}

bool UsbGadget::AnswerDescriptorRequest(const ControlRequest& request) {
    if (request.requestType != (USB_DIR_IN | USB_RECIP_INTERFACE) || request.request != USB_REQ_GET_DESCRIPTOR)
        return false;
    std::vector<std::uint8_t> answer;
    const std::vector<std::uint8_t>& reportDescriptor = functions_[request.interface].reportDescriptor;
    if (request.value >> 8 == ReportDescriptorType)
        answer = reportDescriptor;
    else if (request.value >> 8 == HidDescriptorType)
        answer = HidDescriptor(reportDescriptor.size());
    else
        return false;
    answer.resize(std::min<std::size_t>(answer.size(), request.length));
    Reply(answer.data(), answer.size());
    return true;
}

void UsbGadget::Remove() {
    Unbind();
    ep0_ = -1;
    const fs::path g(gadgetDir_);
    for (Function& function : functions_) {
        if (function.ep0 >= 0) ::close(function.ep0);
        function.ep0 = -1;
        if (function.mounted) ::umount(function.mountDir.c_str());
        function.mounted = false;
        if (!function.mountDir.empty()) ::rmdir(function.mountDir.c_str());
        if (gadgetDir_.empty()) continue;
        std::error_code error;
        fs::remove(g / "configs/c.1" / ("ffs." + function.instance), error);
        ::rmdir((g / "functions" / ("ffs." + function.instance)).c_str());
    }
    if (gadgetDir_.empty()) return;
    for (const char* dir : {"configs/c.1/strings/0x409", "configs/c.1", "strings/0x409"}) ::rmdir((g / dir).c_str());
    ::rmdir(g.c_str());
    gadgetDir_.clear();
}

}  // namespace sim
