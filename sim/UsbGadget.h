#pragma once
// A USB HID device made by this machine's USB device controller (Linux: configfs and FunctionFS):
// one gadget with one or more HID interfaces (a FunctionFS function each), whose control requests
// arrive on their functions' ep0 for the program to answer. The host sees a real USB device: enumeration, its serial number
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
    std::size_t interface = 0;  // which of the gadget's interfaces it is for (their order)
    bool In() const { return (requestType & 0x80) != 0; }
};

class UsbGadget {
public:
    // name: the gadget's folder in configfs and its FunctionFS instances (letters and digits);
    // interfaces: the report descriptor of each HID interface, in the configuration's order.
    UsbGadget(std::string name, std::vector<std::vector<std::uint8_t>> interfaces);
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

    // The next control request to any interface, waiting at most timeoutMs; false when none came
    // (other events, the bind and unbind among them, are taken on the way). A request must be
    // answered (Reply, TakeData, Acknowledge or Stall) before the next one is read.
    bool NextRequest(int timeoutMs, ControlRequest& request);
    bool Reply(const std::uint8_t* data, std::size_t length);
    bool TakeData(std::uint8_t* data, std::size_t length);
    bool Acknowledge();
    void Stall(const ControlRequest& request);
    // Answers the descriptor requests of the HID interfaces; false for any other request.
    bool AnswerDescriptorRequest(const ControlRequest& request);

    // The controllers of this machine (/sys/class/udc), sorted.
    static std::vector<std::string> Controllers();

private:
    struct Function {
        std::string instance;  // FunctionFS's instance name; the function is "ffs." + instance
        std::vector<std::uint8_t> reportDescriptor;
        std::string mountDir;
        int ep0 = -1;
        bool mounted = false;
    };
    bool CreateFunction(Function& function, std::string& problem);
    bool WriteDescriptors(const Function& function, std::string& problem);
    void Remove();

    std::string name_;
    std::vector<Function> functions_;
    std::string gadgetDir_;
    std::string boundTo_;
    int ep0_ = -1;  // the ep0 of the function whose request is being answered
    std::size_t current_ = 0;
};

}  // namespace sim
