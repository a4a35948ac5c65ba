#include "sim/SimHidPlatform.h"

#include <algorithm>

namespace sim {

std::vector<DecoyInterface> DefaultDecoys() {
    return {
        {"sim:decoy/other-keyboard", 0x046D, 0xC31C, 0, false, false, false},
        {"sim:decoy/other-mouse", 0x046D, 0xC077, 0, false, false, false},
        {"sim:decoy/locked-headset", 0x1B3F, 0x2008, 9, true, false, false},
        {"sim:decoy/broken-device", 0x0000, 0x0000, 0, false, true, false},
    };
}

KeyboardConfig DemoKeyboardConfig() {
    KeyboardConfig config;
    config.Version = "V1.0";
    config.VersionAfterFinish = "V1.2";
    config.ReturnPolicy = KeyboardConfig::Return::Automatic;
    config.ReturnDelayMs = 4000;
    return config;
}

std::vector<DecoyInterface> DemoDecoys() { return {DefaultDecoys().front()}; }

SimHidPlatform::SimHidPlatform(SimKeyboard& keyboard, std::vector<DecoyInterface> decoys)
    : SimHidPlatform(std::vector<SimKeyboard*>{&keyboard}, std::move(decoys)) {}

SimHidPlatform::SimHidPlatform(std::vector<SimKeyboard*> keyboards, std::vector<DecoyInterface> decoys)
    : keyboard_(*keyboards.at(0)), keyboards_(std::move(keyboards)), decoys_(std::move(decoys)),
      keyboardFaults_(keyboards_.size()), keyboardExchanges_(keyboards_.size(), 0) {}

std::string SimHidPlatform::KeyboardPath(std::size_t keyboard, int interfaceIndex) const {
    // The first keyboard keeps the name it had when the bus held only one.
    const std::string name = keyboard == 0 ? "sim:keyboard/" : "sim:keyboard" + std::to_string(keyboard + 1) + "/";
    return name + std::to_string(keyboards_[keyboard]->Generation()) + "/if" + std::to_string(interfaceIndex);
}

bool SimHidPlatform::EnumerateInterfaces(std::vector<std::string>& paths) {
    std::vector<std::function<void()>> due;
    bool listed = false;
    {
        const std::lock_guard lock(mutex_);
        ++hidCalls_;
        const auto [first, last] = faults_.DuringListing.equal_range(++listings_);
        for (auto it = first; it != last; ++it) due.push_back(it->second);
        if (!faults_.FailEnumeration) {
            listed = true;
            paths.clear();
            for (const DecoyInterface& d : decoys_) paths.push_back(d.Name);
            for (std::size_t k = 0; k < keyboards_.size(); ++k) {
                if (!keyboards_[k]->IsOnBus()) continue;
                if (faults_.KeyboardHasPlainFirstInterface) paths.push_back(KeyboardPath(k, 0));
                paths.push_back(KeyboardPath(k, 1));
            }
        }
    }
    for (const auto& f : due) f();
    return listed;
}

std::optional<SimHidPlatform::Target> SimHidPlatform::Resolve(const std::string& path) const {
    for (const DecoyInterface& d : decoys_)
        if (d.Name == path) return Target{false, 0, 0, &d, 0};
    for (std::size_t k = 0; k < keyboards_.size(); ++k)
        for (int i = 0; i < 2; ++i)
            if (keyboards_[k]->IsOnBus() && path == KeyboardPath(k, i))
                return Target{true, i, keyboards_[k]->Generation(), nullptr, k};
    return std::nullopt;
}

bool SimHidPlatform::KeyboardReachable(const Target& target) const {
    const SimKeyboard& keyboard = *keyboards_[target.Keyboard];
    return keyboard.IsOnBus() && keyboard.Generation() == target.Generation;
}

std::uint16_t SimHidPlatform::FeatureLength(const Target& target) const {
    if (!target.IsKeyboard) return target.Decoy->FeatureReportLength;
    return target.KeyboardInterface == 0 ? 0 : keyboards_[target.Keyboard]->Config().FeatureReportLength;
}

std::optional<usbio::HIDD_ATTRIBUTES> SimHidPlatform::PeekAttributes(const std::string& path) {
    const std::lock_guard lock(mutex_);
    const auto target = Resolve(path);
    if (!target) return std::nullopt;
    if (!target->IsKeyboard && target->Decoy->HidesIds) return std::nullopt;
    usbio::HIDD_ATTRIBUTES a;
    a.Size = 12;
    if (target->IsKeyboard) {
        a.VendorID = keyboards_[target->Keyboard]->Config().VendorID;
        a.ProductID = keyboards_[target->Keyboard]->CurrentPID();
    } else {
        a.VendorID = target->Decoy->VendorID;
        a.ProductID = target->Decoy->ProductID;
    }
    return a;
}

usbio::DeviceIdentity SimHidPlatform::PeekIdentity(const std::string& path) {
    const std::lock_guard lock(mutex_);
    const auto target = Resolve(path);
    if (!target || !target->IsKeyboard) return {};
    SimKeyboard& keyboard = *keyboards_[target->Keyboard];
    return {keyboard.PortPath(), keyboard.Config().Serial};
}

usbio::HidHandle SimHidPlatform::Open(const std::string& path, usbio::HidAccess access,
                                      usbio::OpenError* error) {
    const std::lock_guard lock(mutex_);
    ++hidCalls_;
    auto fail = [&](usbio::OpenError e) {
        if (error) *error = e;
        return usbio::INVALID_HANDLE_VALUE;
    };
    const auto target = Resolve(path);
    if (!target) return fail(usbio::OpenError::NotFound);
    if (target->IsKeyboard) {
        if (faults_.KeyboardPermissionDenied || keyboardFaults_[target->Keyboard].KeyboardPermissionDenied)
            return fail(usbio::OpenError::PermissionDenied);
        if (faults_.KeyboardRefusesReadWrite && access == usbio::HidAccess::ReadWrite)
            return fail(usbio::OpenError::Busy);
    } else {
        if (target->Decoy->FailsOpen) return fail(usbio::OpenError::Other);
        if (target->Decoy->PermissionDenied) return fail(usbio::OpenError::PermissionDenied);
        if (target->Decoy->RefusesReadWrite && access == usbio::HidAccess::ReadWrite)
            return fail(usbio::OpenError::Busy);
    }
    openLog_.push_back(path);
    const usbio::HidHandle handle = nextHandle_++;
    handles_[handle] = *target;
    if (error) *error = usbio::OpenError::None;
    return handle;
}

void SimHidPlatform::Close(usbio::HidHandle handle) {
    const std::lock_guard lock(mutex_);
    ++hidCalls_;
    handles_.erase(handle);
    locked_.erase(handle);
}

usbio::WriteLock SimHidPlatform::LockForWriting(usbio::HidHandle handle) {
    const std::lock_guard lock(mutex_);
    ++hidCalls_;
    const auto it = handles_.find(handle);
    if (it == handles_.end()) return {false, 0};
    if (it->second.IsKeyboard) {
        const auto& heldBy = faults_.KeyboardHeldBy ? faults_.KeyboardHeldBy : keyboardFaults_[it->second.Keyboard].KeyboardHeldBy;
        if (heldBy) return {false, *heldBy};
    }
    ++writeLocks_;
    locked_.insert(handle);
    return {true, 0};
}

bool SimHidPlatform::GetAttributes(usbio::HidHandle handle, usbio::HIDD_ATTRIBUTES& attributes) {
    const std::lock_guard lock(mutex_);
    ++hidCalls_;
    const auto it = handles_.find(handle);
    if (it == handles_.end()) return false;
    const Target& t = it->second;
    if (t.IsKeyboard) {
        if (faults_.KeyboardFailsAttributes || !KeyboardReachable(t)) return false;
    } else if (t.Decoy->FailsAttributes) {
        return false;
    }
    attributes = *PeekAttributes(t.IsKeyboard ? KeyboardPath(t.Keyboard, t.KeyboardInterface) : t.Decoy->Name);
    attributes.VersionNumber = 0x0100;
    return true;
}

bool SimHidPlatform::GetPreparsedData(usbio::HidHandle handle, usbio::PreparsedHandle& preparsed) {
    const std::lock_guard lock(mutex_);
    ++hidCalls_;
    const auto it = handles_.find(handle);
    if (it == handles_.end()) return false;
    if (it->second.IsKeyboard &&
        (faults_.KeyboardFailsPreparsedData || !KeyboardReachable(it->second)))
        return false;
    preparsed = nextPreparsed_++;
    preparsed_[preparsed] = FeatureLength(it->second);
    return true;
}

bool SimHidPlatform::GetCaps(usbio::PreparsedHandle preparsed, usbio::HIDP_CAPS& caps) {
    const std::lock_guard lock(mutex_);
    ++hidCalls_;
    const auto it = preparsed_.find(preparsed);
    if (it == preparsed_.end() || faults_.KeyboardFailsCaps) return false;
    caps = usbio::HIDP_CAPS{};
    caps.UsagePage = 0xFF00;
    caps.Usage = 1;
    caps.FeatureReportByteLength = it->second;
    return true;
}

void SimHidPlatform::FreePreparsedData(usbio::PreparsedHandle preparsed) {
    const std::lock_guard lock(mutex_);
    ++hidCalls_;
    preparsed_.erase(preparsed);
}

void SimHidPlatform::PassTransferTime(usbio::HidHandle handle) {
    SimKeyboard* keyboard = nullptr;
    {
        const std::lock_guard lock(mutex_);
        const auto it = handles_.find(handle);
        if (it != handles_.end() && it->second.IsKeyboard) keyboard = keyboards_[it->second.Keyboard];
    }
    if (keyboard) keyboard->PassTransferTime();
}

bool SimHidPlatform::SetFeature(usbio::HidHandle handle, const std::uint8_t* data,
                                std::size_t length) {
    PassTransferTime(handle);
    const std::lock_guard lock(mutex_);
    ++hidCalls_;
    const auto it = handles_.find(handle);
    if (it == handles_.end() || !it->second.IsKeyboard) return false;
    const int exchange = ++exchanges_;
    const int own = ++keyboardExchanges_[it->second.Keyboard];
    const int ownFault = keyboardFaults_[it->second.Keyboard].FailSetOfExchange;
    lastFault_ = KeyboardReachable(it->second) ? usbio::TransferFault::Unknown : usbio::TransferFault::Gone;
    if (!KeyboardReachable(it->second) || faults_.FailSetOfExchange == exchange || ownFault == own ||
        (faults_.FailSetsFrom > 0 && exchange >= faults_.FailSetsFrom))
        return false;
    // Like the HID class driver: the length must be the device's feature report length.
    if (length == 0 || length != FeatureLength(it->second) || data[0] != 0) return false;
    if (keyboards_[it->second.Keyboard]->TakeReport(data, length)) return true;
    lastFault_ = keyboards_[it->second.Keyboard]->IsOnBus() ? usbio::TransferFault::Refused : usbio::TransferFault::Gone;
    return false;
}

usbio::TransferFault SimHidPlatform::LastTransferFault() const {
    const std::lock_guard lock(mutex_);
    return lastFault_;
}

bool SimHidPlatform::GetFeature(usbio::HidHandle handle, std::uint8_t* data, std::size_t length) {
    PassTransferTime(handle);
    const std::lock_guard lock(mutex_);
    ++hidCalls_;
    const auto it = handles_.find(handle);
    if (it == handles_.end() || !it->second.IsKeyboard) return false;
    const PlatformFaults& own = keyboardFaults_[it->second.Keyboard];
    lastFault_ = KeyboardReachable(it->second) ? usbio::TransferFault::Unknown : usbio::TransferFault::Gone;
    if (!KeyboardReachable(it->second) || faults_.FailGetOfExchange == exchanges_ ||
        (own.FailGetOfExchange > 0 && own.FailGetOfExchange == keyboardExchanges_[it->second.Keyboard]))
        return false;
    if (length == 0 || length != FeatureLength(it->second) || data[0] != 0) return false;
    if (!keyboards_[it->second.Keyboard]->AnswerReport(data, length)) {
        lastFault_ = keyboards_[it->second.Keyboard]->IsOnBus() ? usbio::TransferFault::NoAnswer : usbio::TransferFault::Gone;
        return false;
    }
    const auto& replyBytes = faults_.ReplyBytes ? faults_.ReplyBytes : own.ReplyBytes;
    if (replyBytes && *replyBytes < length) {
        std::fill(data + *replyBytes, data + length, 0);
        return false;
    }
    return true;
}

}  // namespace sim
