#include "usbio/FollowedKeyboard.h"

#include <algorithm>

#include "usbio/DeviceIO.h"

namespace usbio {

namespace {

bool IsEmpty(const DeviceIdentity& identity) { return identity.PortPath.empty() && identity.Serial.empty(); }

}  // namespace

std::vector<KeyboardSighting> PeekKeyboards(HidPlatform& platform, const DiscoveryHooks& hooks) {
    std::vector<KeyboardSighting> present;
    std::vector<std::string> paths;
    if (!platform.EnumerateInterfaces(paths)) return present;
    const auto tableHeld = ProductIdTableOf(hooks);  // kept alive while used
    const ProductIdTable& table = *tableHeld;
    for (const std::string& path : paths) {
        const auto ids = platform.PeekAttributes(path);
        if (!ids || ids->VendorID != SupportedVendorID) continue;
        const auto productId = static_cast<std::int16_t>(ids->ProductID);
        if (std::none_of(table.Entries.begin(), table.Entries.end(),
                         [&](std::int32_t entry) { return ProductIdMatchesEntry(productId, entry); }))
            continue;
        present.push_back({path, platform.PeekIdentity(path), ProductIdMatchesEntry(productId, UploadModePID)});
    }
    return present;
}

FollowedKeyboard::FollowedKeyboard(const FoundKeyboard& chosen, const std::vector<FoundKeyboard>& found,
                                   const std::vector<KeyboardSighting>& present)
    : identity_(chosen.Identity), path_(chosen.Path) {
    // Keyboards that cannot be told apart by identity: the path is all that names the chosen one.
    byPath_ = IsEmpty(identity_) && std::any_of(found.begin(), found.end(), [&](const FoundKeyboard& k) {
                  return k.Path != chosen.Path && IsEmpty(k.Identity);
              });
    for (const FoundKeyboard& k : found) Remember(k.Identity);
    for (const KeyboardSighting& s : present) Remember(s.Identity);
}

bool FollowedKeyboard::Contradicts(const DeviceIdentity& identity) const {
    return !identity_.Serial.empty() && !identity.Serial.empty() && identity.Serial != identity_.Serial;
}

void FollowedKeyboard::Remember(const DeviceIdentity& identity) {
    // The chosen keyboard itself, another of its interfaces, its loader at its port, or one with
    // its serial number.
    if (IsEmpty(identity) || identity == identity_) return;
    if (!identity_.PortPath.empty() && identity.PortPath == identity_.PortPath) return;
    if (!identity_.Serial.empty() && identity.Serial == identity_.Serial) return;
    if (std::find(others_.begin(), others_.end(), identity) == others_.end()) others_.push_back(identity);
}

bool FollowedKeyboard::Known(const DeviceIdentity& identity) const {
    return std::any_of(others_.begin(), others_.end(), [&](const DeviceIdentity& o) {
        if (o == identity) return true;
        if (!identity.PortPath.empty()) return o.PortPath == identity.PortPath;
        return !identity.Serial.empty() && o.Serial == identity.Serial;
    });
}

bool FollowedKeyboard::Present(const DeviceIdentity& known, const std::vector<KeyboardSighting>& present) const {
    return std::any_of(present.begin(), present.end(), [&](const KeyboardSighting& s) {
        return s.Identity == known || (!known.PortPath.empty() && s.Identity.PortPath == known.PortPath);
    });
}

void FollowedKeyboard::Look(const std::vector<KeyboardSighting>& present, ExpectedMode expected) {
    looked_ = true;
    accepted_.reset();
    std::vector<DeviceIdentity> candidates;
    if (byPath_ || IsEmpty(identity_)) return;
    const auto at = [&](auto predicate) { return std::find_if(present.begin(), present.end(), predicate); };
    if (const auto same = at([&](const KeyboardSighting& s) { return s.Identity == identity_; });
        same != present.end()) {
        accepted_ = identity_;
    } else if (const auto loader = at([&](const KeyboardSighting& s) {
                   return s.UploadMode && !identity_.PortPath.empty() && s.Identity.PortPath == identity_.PortPath;
               });
               loader != present.end()) {
        // A loader may report a serial number of its own, or none: its port is the keyboard's.
        accepted_ = loader->Identity;
    } else if (expected != ExpectedMode::Either) {
        // Away: a newcomer in the mode looked for may be it, unless its serial number says it
        // is another keyboard.
        for (const KeyboardSighting& s : present) {
            if (s.UploadMode != (expected == ExpectedMode::Upload) || IsEmpty(s.Identity) || Known(s.Identity) ||
                Contradicts(s.Identity))
                continue;
            if (std::find(candidates.begin(), candidates.end(), s.Identity) == candidates.end())
                candidates.push_back(s.Identity);
        }
        if (candidates.size() == 1) {
            const DeviceIdentity& arrival = candidates.front();
            const bool sameSerial = !identity_.Serial.empty() && arrival.Serial == identity_.Serial;
            const bool anotherAway = std::any_of(others_.begin(), others_.end(),
                                                 [&](const DeviceIdentity& o) { return !Present(o, present); });
            if (sameSerial || !anotherAway) {
                accepted_ = arrival;
                // It is at its new port from now on; its serial number stays the one it was chosen with.
                if (!arrival.PortPath.empty()) identity_.PortPath = arrival.PortPath;
            }
        }
    }
    // Every other keyboard present is attached from now on, but for the arrivals that may still
    // turn out to be the chosen one.
    for (const KeyboardSighting& s : present) {
        if (accepted_ && s.Identity == *accepted_) continue;
        if (std::find(candidates.begin(), candidates.end(), s.Identity) != candidates.end()) continue;
        Remember(s.Identity);
    }
}

bool FollowedKeyboard::Accepts(const std::string& path, const DeviceIdentity& identity) const {
    if (byPath_) return path == path_;
    if (IsEmpty(identity_)) return IsEmpty(identity);
    if (!looked_) return identity == identity_;
    return accepted_ && identity == *accepted_;
}

}  // namespace usbio
