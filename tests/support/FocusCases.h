#pragma once
// The commands after which the focus must be back on the button that started them, by each way a
// user starts one: one table for every window.
#include "window/MainWindowView.h"

namespace testsupport {

enum class Press { Mouse, Enter, Space, AltLetter };

struct FocusCase {
    const char* name;
    window::Button button;
    Press how;
    bool startAddressShown;  // by Ctrl+F1 before the command
};

inline constexpr FocusCase kFocusCases[] = {
    {"Refresh by mouse", window::Button::Refresh, Press::Mouse, false},
    {"Refresh by Enter", window::Button::Refresh, Press::Enter, true},
    {"Refresh by Alt+R", window::Button::Refresh, Press::AltLetter, true},
    {"Upload by mouse", window::Button::Upload, Press::Mouse, false},
    {"Upload by mouse, start address shown", window::Button::Upload, Press::Mouse, true},
    {"Upload by Enter", window::Button::Upload, Press::Enter, false},
    {"Upload by Space", window::Button::Upload, Press::Space, true},
    {"Upload by Alt+U", window::Button::Upload, Press::AltLetter, true},
    {"Select Firmware File by mouse", window::Button::SelectFile, Press::Mouse, false},
};

// The letter of a button's Alt+letter.
inline char AltLetterOf(window::Button button) {
    switch (button) {
        case window::Button::Refresh: return 'r';
        case window::Button::Upload: return 'u';
        case window::Button::Exit: return 'x';
        case window::Button::SelectFile: return 's';
    }
    return 'r';
}

}  // namespace testsupport
