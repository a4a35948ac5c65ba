#pragma once
// The keyboard's firmware generations, told apart by the version text it reports.
#include <string_view>

namespace kestrune {

// Old firmware ("V1.0" or "V1.1" anywhere in the text, case-sensitive) needs the user to unplug
// and replug the keyboard after a mode switch and after an upload; newer firmware does not.
inline bool IsOldFirmwareVersion(std::string_view versionText) {
    return versionText.find("V1.0") != std::string_view::npos ||
           versionText.find("V1.1") != std::string_view::npos;
}

// New firmware comes back by itself. A keyboard that reports no version text is taken for old
// firmware: asking the user to replug one that did not need it costs less than the reverse.
inline bool IsNewFirmwareVersion(std::string_view versionText) {
    return !versionText.empty() && !IsOldFirmwareVersion(versionText);
}

}  // namespace kestrune
