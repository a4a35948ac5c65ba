#pragma once
// Which of the keyboards present is the one chosen earlier, through its restarts, its switch into
// firmware-upload mode and a replug into another port. The one rule the window and the
// command-line tool follow a keyboard by.
#include <optional>
#include <string>
#include <vector>

#include "usbio/DeviceIdentity.h"
#include "usbio/Discovery.h"

namespace usbio {

// A keyboard interface present, as its IDs and identity tell without opening it.
struct KeyboardSighting {
    std::string Path;
    DeviceIdentity Identity;
    bool UploadMode = false;  // its product ID is the one of firmware-upload mode
};

// The mode a search waits for the keyboard in: a keyboard that newly appears is taken for the
// chosen one only in the mode looked for.
enum class ExpectedMode { Either, Normal, Upload };

// The keyboard interfaces present whose vendor and product IDs, read without opening them, are
// the keyboard's (the table as the hooks name it), in enumeration order.
std::vector<KeyboardSighting> PeekKeyboards(HidPlatform& platform, const DiscoveryHooks& hooks);

// The rule, one search at a time (Look, then Accepts for each interface):
// - an interface with the chosen keyboard's identity is the chosen one;
// - in firmware-upload mode the port decides: a loader at the chosen keyboard's port is the
//   chosen one whatever serial number it reports, or none;
// - while the chosen one is away, a keyboard that newly appears in the mode looked for is the
//   chosen one when it is the only such arrival whose serial number does not contradict the
//   chosen one's. When another keyboard seen earlier is away too, only the same serial number
//   tells them apart: an arrival without one is not taken. A keyboard seen attached at any time
//   since the choice (its identity or its port), with another serial number, never counts as an
//   arrival;
// - a keyboard whose identity cannot be told at all takes every interface without identity, or,
//   when another such keyboard was attached at the choice, only its own device path: then it is
//   not followed across a re-enumeration.
class FollowedKeyboard {
public:
    FollowedKeyboard() = default;
    // chosen: the keyboard chosen; found: the keyboards found with it (the chosen one among them
    // or not); present: what a look at the bus shows besides (keyboards that could not be opened
    // included). Every other keyboard in them counts as attached from the start.
    FollowedKeyboard(const FoundKeyboard& chosen, const std::vector<FoundKeyboard>& found,
                     const std::vector<KeyboardSighting>& present = {});

    // The chosen keyboard's identity; its port is the new one once it came back at another.
    const DeviceIdentity& Identity() const { return identity_; }
    // Whether it is followed by its device path only (see above).
    bool ByPath() const { return byPath_; }

    // Decides, for one search, which of the keyboards present is the chosen one, and remembers
    // every other one as attached.
    void Look(const std::vector<KeyboardSighting>& present, ExpectedMode expected);
    // Whether the interface is the chosen keyboard, as the last Look decided (before any Look:
    // the chosen identity only).
    bool Accepts(const std::string& path, const DeviceIdentity& identity) const;

private:
    bool Contradicts(const DeviceIdentity& identity) const;
    void Remember(const DeviceIdentity& identity);
    bool Known(const DeviceIdentity& identity) const;
    bool Present(const DeviceIdentity& known, const std::vector<KeyboardSighting>& present) const;

    DeviceIdentity identity_;
    std::string path_;
    bool byPath_ = false;
    std::vector<DeviceIdentity> others_;       // every other keyboard seen since the choice
    std::optional<DeviceIdentity> accepted_;  // the identity the last Look took for the chosen one
    bool looked_ = false;
};

}  // namespace usbio
