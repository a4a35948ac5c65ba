#pragma once
// Where the window's controls go. The arrangement is fixed (the device list on the left, the
// command buttons on the right, the firmware file and the progress bar below the list, the status
// bar at the bottom); every size follows the font in use, so that no text is cut off at any font
// size. Both windows (Qt and Win32) take their geometry from here.
#include <array>
#include <functional>
#include <string>
#include <string_view>

#include "window/MainWindowView.h"

namespace window {

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
    int Right() const { return x + width; }
    int Bottom() const { return y + height; }
    bool operator==(const Rect&) const = default;
};

// What the layout needs to know about the window's font, in device-independent pixels.
struct TextMetrics {
    int lineHeight = 16;                              // height of one line of text
    std::function<int(std::string_view)> textWidth;   // width of a text on one line
};

struct WindowLayout {
    int width = 0, height = 0;  // the window's client area
    Rect deviceList, refreshButton, uploadButton, selectFileButton, exitButton;
    Rect startAddressLabel, startAddressField, firmwareFileField, progressBar, statusBar;
    std::array<int, 4> columnWidths{};
    int portColumnWidth = 0;  // the port column, shown only with several keyboards
    std::array<int, 2> statusPanelWidths{};
};

// Padding a control needs around its text, in pixels at the base font.
inline constexpr int ButtonTextPadding = 16;
inline constexpr int ColumnTextPadding = 14;

// Every size follows the texts as they are shown, in the user's language.
WindowLayout ComputeLayout(const TextMetrics& metrics);

// A button's caption in the user's language, its Alt+letter (the same in every language: R, U, x,
// S) marked with '&' as Qt and Win32 read it: before the letter's first place in the caption, or,
// where the caption has no such letter, after it as " (&R)".
std::string ButtonCaption(Button button);

// The tab order, in reading order: list, Refresh, Upload Firmware, start-address field (when
// shown), firmware file, Select Firmware File ..., Exit.
enum class Control { DeviceList, Refresh, Upload, StartAddress, FirmwareFile, SelectFile, Exit };
inline constexpr std::array<Control, 7> TabOrder{Control::DeviceList, Control::Refresh,
                                                 Control::Upload,     Control::StartAddress,
                                                 Control::FirmwareFile, Control::SelectFile,
                                                 Control::Exit};

}  // namespace window
