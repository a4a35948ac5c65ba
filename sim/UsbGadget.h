#pragma once
// A USB HID device made by this machine's USB device controller (Linux: configfs and FunctionFS):
// one gadget with one vendor-defined HID interface, whose control requests arrive on FunctionFS's
// ep0 for the program to answer. The host sees a real USB device: enumeration, its serial number
// and port, the usbhid driver, real disconnects.
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct GadgetIdentity {
    std::uint16_t vendor = 0x2E5B;
    std::uint16_t product = 17;
    std::uint16_t release = 0x0100;  // bcdDevice
    std::string manufacturer = "Kestrune";
    std::string productName = "Kestrune Keyboard";
    std::string serial;
};

// A control request from the host, as FunctionFS passes it on.
struct ControlRequest {
    std::uint8_t requestType = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
    bool In() const { return (requestType & 0x80) != 0; }
};

class UsbGadget {
public:
    // name: the gadget's folder in configfs and its FunctionFS instance (letters and digits).
    UsbGadget(std::string name, std::vector<std::uint8_t> reportDescriptor);
    ~UsbGadget();
    UsbGadget(const UsbGadget&) = delete;
    UsbGadget& operator=(const UsbGadget&) = delete;

    // Makes the gadget and its function, ready to be bound; false with the reason otherwise.
    bool Create(const GadgetIdentity& identity, std::string& problem);
    // Attaches it to a controller (the host sees it plugged in) with this product ID.
    bool Bind(const std::string& controller, std::uint16_t product, std::string& problem);
    // Detaches it: the host sees it unplugged.
    void Unbind();
    bool Bound() const { return !boundTo_.empty(); }
    const std::string& BoundTo() const { return boundTo_; }

    // The next control request, waiting at most timeoutMs; false when none came (other events,
    // the bind and unbind among them, are taken on the way). A request must be answered (Reply,
    // TakeData, Acknowledge or Stall) before the next one is read.
    bool NextRequest(int timeoutMs, ControlRequest& request);
    bool Reply(const std::uint8_t* data, std::size_t length);
    bool TakeData(std::uint8_t* data, std::size_t length);
    bool Acknowledge();
    void Stall(const ControlRequest& request);
    // Answers the descriptor requests of the HID interface; false for any other request.
    bool AnswerDescriptorRequest(const ControlRequest& request);

    // The controllers of this machine (/sys/class/udc), sorted.
    static std::vector<std::string> Controllers();

private:
    bool WriteDescriptors(std::string& problem);
    void Remove();

    std::string name_;
    std::vector<std::uint8_t> reportDescriptor_;
    std::string gadgetDir_;
    std::string mountDir_;
    std::string boundTo_;
    int ep0_ = -1;
    bool mounted_ = false;
};

}  // namespace sim
