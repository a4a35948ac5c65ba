#pragma once
// The simulated keyboard behind the HID platform interface, on a bus with a few decoy interfaces.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim/SimKeyboard.h"
#include "usbio/HidPlatform.h"

namespace sim {

// An interface of some other device on the bus.
struct DecoyInterface {
    std::string Name;
    std::uint16_t VendorID = 0;
    std::uint16_t ProductID = 0;
    std::uint16_t FeatureReportLength = 0;
    bool RefusesReadWrite = false;  // opens only with no access
    bool FailsAttributes = false;
    bool FailsOpen = false;
    bool PermissionDenied = false;  // the user may open it in no way
    bool HidesIds = false;          // its IDs cannot be read without opening it
};

// The usual bus: another vendor's keyboard and mouse, a device that refuses the read/write open
// but opens with no access, and one whose attributes cannot be read.
std::vector<DecoyInterface> DefaultDecoys();

// The keyboard of the demonstration programs: old firmware V1.0 that nevertheless comes back by
// itself a few seconds after the mode switch (as if the user had replugged it), and V1.2 after an
// upload; one other device on the bus keeps each scan short.
KeyboardConfig DemoKeyboardConfig();
std::vector<DecoyInterface> DemoDecoys();

struct PlatformFaults {
    int FailSetOfExchange = 0;  // the n-th feature-report write to the keyboard fails (1-based)
    int FailGetOfExchange = 0;  // the read of the n-th exchange fails
    int FailSetsFrom = 0;       // every write from the n-th exchange on fails
    // The keyboard answers every read with only this many bytes (0: an empty reply); like the
    // real backends, the platform then fails the read.
    std::optional<std::size_t> ReplyBytes;
    bool FailEnumeration = false;
    bool KeyboardRefusesReadWrite = false;  // the keyboard opens only with no access
    bool KeyboardPermissionDenied = false;  // the user may not open the keyboard at all
    bool KeyboardFailsAttributes = false;
    bool KeyboardFailsPreparsedData = false;
    bool KeyboardFailsCaps = false;
    // The keyboard shows a first HID interface without a feature report before the one that
    // speaks the protocol.
    bool KeyboardHasPlainFirstInterface = false;
    // Another program holds the keyboard for writing (its PID; 0 when it cannot be told).
    std::optional<std::int64_t> KeyboardHeldBy;
    // Called when the interfaces are listed for the n-th time (1-based), outside the lock.
    std::multimap<int, std::function<void()>> DuringListing;
};

// Safe to use from several threads at once (one worker per keyboard): its state and the
// keyboards' are taken under one lock, and a transfer's latency is spent outside it.
class SimHidPlatform final : public usbio::HidPlatform {
public:
    explicit SimHidPlatform(SimKeyboard& keyboard, std::vector<DecoyInterface> decoys = DefaultDecoys());
    // Several keyboards on one bus (at least one), each under paths of its own; the platform's
    // faults apply to all of them. Keyboard() is the first.
    explicit SimHidPlatform(std::vector<SimKeyboard*> keyboards,
                            std::vector<DecoyInterface> decoys = DefaultDecoys());

    bool EnumerateInterfaces(std::vector<std::string>& paths) override;
    std::optional<usbio::HIDD_ATTRIBUTES> PeekAttributes(const std::string& path) override;
    // The keyboard's configured port path and serial; nothing for the decoys.
    usbio::DeviceIdentity PeekIdentity(const std::string& path) override;
    usbio::HidHandle Open(const std::string& path, usbio::HidAccess access,
                          usbio::OpenError* error) override;
    void Close(usbio::HidHandle handle) override;
    usbio::WriteLock LockForWriting(usbio::HidHandle handle) override;
    bool GetAttributes(usbio::HidHandle handle, usbio::HIDD_ATTRIBUTES& attributes) override;
    bool GetPreparsedData(usbio::HidHandle handle, usbio::PreparsedHandle& preparsed) override;
    bool GetCaps(usbio::PreparsedHandle preparsed, usbio::HIDP_CAPS& caps) override;
    void FreePreparsedData(usbio::PreparsedHandle preparsed) override;
    bool SetFeature(usbio::HidHandle handle, const std::uint8_t* data, std::size_t length) override;
    // A keyboard off the bus is gone; one that does not take a report refused it; one that takes
    // it and never answers did not answer; an injected fault tells nothing.
    usbio::TransferFault LastTransferFault() const override;
    bool GetFeature(usbio::HidHandle handle, std::uint8_t* data, std::size_t length) override;

    std::size_t MaxFeatureReportLength() const override { return maxFeatureLength_; }
    void SetMaxFeatureReportLength(std::size_t length) { maxFeatureLength_ = length; }

    SimKeyboard& Keyboard() { return keyboard_; }
    // Runs f under the platform's lock: for changing a keyboard (plugging it in, say) while other
    // threads use the platform.
    template <class F>
    void Locked(F f) {
        const std::lock_guard lock(mutex_);
        f();
    }
    // The faults of every keyboard on the bus.
    PlatformFaults& Faults() { return faults_; }
    // The faults of one keyboard only (0: the first), besides the bus's: the permission, the
    // holder of the write lock, the reply length, and the failed write or read of its own n-th
    // exchange.
    PlatformFaults& FaultsOf(std::size_t keyboard) { return keyboardFaults_.at(keyboard); }
    std::vector<DecoyInterface>& Decoys() { return decoys_; }

    // For tests: what was opened, and what is still open.
    const std::vector<std::string>& OpenLog() const { return openLog_; }
    std::size_t OpenHandles() const { return handles_.size(); }
    std::size_t OpenPreparsed() const { return preparsed_.size(); }
    int Exchanges() const { return exchanges_; }
    int HidCalls() const { return hidCalls_; }
    int Listings() const { return listings_; }
    int WriteLocksTaken() const { return writeLocks_; }
    // Whether this open handle holds the write lock (LockForWriting), as the system would tell.
    bool HoldsWriteLock(usbio::HidHandle handle) const { return locked_.count(handle) > 0; }

private:
    struct Target {
        bool IsKeyboard = false;
        int KeyboardInterface = 0;  // 0 = the plain interface, 1 = the protocol interface
        unsigned Generation = 0;
        const DecoyInterface* Decoy = nullptr;
        std::size_t Keyboard = 0;  // which of keyboards_
    };
    std::optional<Target> Resolve(const std::string& path) const;
    std::string KeyboardPath(std::size_t keyboard, int interfaceIndex) const;
    bool KeyboardReachable(const Target& target) const;
    std::uint16_t FeatureLength(const Target& target) const;
    void PassTransferTime(usbio::HidHandle handle);

    SimKeyboard& keyboard_;
    std::vector<SimKeyboard*> keyboards_;
    int listings_ = 0;
    std::vector<DecoyInterface> decoys_;
    PlatformFaults faults_;
    usbio::TransferFault lastFault_ = usbio::TransferFault::Unknown;
    std::vector<PlatformFaults> keyboardFaults_;  // one per keyboard
    std::vector<int> keyboardExchanges_;          // one per keyboard
    std::set<usbio::HidHandle> locked_;
    std::map<usbio::HidHandle, Target> handles_;
    std::map<usbio::PreparsedHandle, std::uint16_t> preparsed_;  // token -> feature length
    std::vector<std::string> openLog_;
    usbio::HidHandle nextHandle_ = 100;
    usbio::PreparsedHandle nextPreparsed_ = 1;
    int exchanges_ = 0;
    int hidCalls_ = 0;
    int writeLocks_ = 0;
    std::size_t maxFeatureLength_ = 0xFFFF;
    mutable std::recursive_mutex mutex_;
};

}  // namespace sim
