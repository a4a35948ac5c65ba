#include "window/Layout.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "window/WindowText.h"

namespace window {
namespace {

// The layout was drawn for a font whose lines are this many pixels high; larger fonts scale it.
constexpr double BaseLineHeight = 16.0;

}  // namespace

std::string ButtonCaption(Button button) {
    struct Caption {
        const char* english;
        char letter;
    };
    static constexpr Caption captions[] = {{text::RefreshButton, 'R'}, {text::UploadButton, 'U'},
                                           {text::ExitButton, 'x'}, {text::SelectFileButton, 'S'}};
    const Caption& c = captions[static_cast<int>(button)];
    std::string caption = kestrune::Tr(c.english);
    const auto lower = [](char ch) { return static_cast<char>(std::tolower(static_cast<unsigned char>(ch))); };
    const auto at = std::find_if(caption.begin(), caption.end(), [&](char ch) { return lower(ch) == lower(c.letter); });
    if (at != caption.end()) return caption.insert(static_cast<std::size_t>(at - caption.begin()), 1, '&');
    return caption + " (&" + static_cast<char>(std::toupper(static_cast<unsigned char>(c.letter))) + ")";
}

WindowLayout ComputeLayout(const TextMetrics& metrics) {
    const double unit = std::max(1.0, metrics.lineHeight / BaseLineHeight);
    auto scaled = [unit](int pixels) { return static_cast<int>(std::lround(pixels * unit)); };
    // Every text as it is shown: in the user's language.
    auto width = [&metrics](const char* english) {
        return metrics.textWidth ? metrics.textWidth(kestrune::Tr(english)) : 0;
    };
    const int line = metrics.lineHeight;
    const int margin = scaled(8);
    const int gap = scaled(7);

    WindowLayout l;

    // Buttons: one width for all, wide enough for the longest caption (and the Alt+letter a caption
    // without that letter shows after it).
    int buttonWidth = scaled(121);
    auto shownWidth = [&metrics](Button button) {
        std::string caption = ButtonCaption(button);
        caption.erase(std::remove(caption.begin(), caption.end(), '&'), caption.end());
        return metrics.textWidth ? metrics.textWidth(caption) : 0;
    };
    for (Button caption : {Button::Refresh, Button::Upload, Button::Exit, Button::SelectFile})
        buttonWidth = std::max(buttonWidth, shownWidth(caption) + scaled(ButtonTextPadding));
    const int buttonHeight = std::max(scaled(25), line + scaled(9));

    // The device list: the column shares of the list's width, each wide enough for its header
    // (and the vendor column for the vendor ID).
    int listWidth = scaled(385);
    auto shares = [](int w) {
        return std::array<int, 4>{w / 6, w / 6, static_cast<int>(std::lround(w / 2.0 * 0.8)),
                                  static_cast<int>(std::lround(w / 5.0 * 1.2))};
    };
    std::array<int, 4> needed{};
    for (std::size_t i = 0; i < needed.size(); ++i)
        needed[i] = width(text::ColumnHeaders[i]) + scaled(ColumnTextPadding);
    needed[0] = std::max(needed[0], width("11867") + scaled(ColumnTextPadding));
    // Where a header needs more than its share, that column takes what it needs and the others
    // keep their shares: the list grows by as much as the headers need, not in proportion (a long
    // header in one language would otherwise make the window wider than the screen).
    l.columnWidths = shares(listWidth);
    bool fits = true;
    for (std::size_t i = 0; i < needed.size(); ++i) fits &= l.columnWidths[i] >= needed[i];
    if (!fits) {
        // As at the base size, room beside the columns for the list's frame.
        listWidth = scaled(11);
        for (std::size_t i = 0; i < needed.size(); ++i) {
            l.columnWidths[i] = std::max(l.columnWidths[i], needed[i]);
            listWidth += l.columnWidths[i];
        }
    }
    // Wide enough for its header and a port three hubs deep; the list scrolls sideways when the
    // five columns need more than its width.
    l.portColumnWidth = std::max(width(text::PortColumnHeader), width("1-10.4.4.4")) + scaled(ColumnTextPadding);

    // The right-hand column: Refresh and Upload Firmware at the top, the start-address label and
    // field below them.
    const int labelWidth = std::max(scaled(105), width(text::StartAddressLabel) + scaled(4));
    const int columnWidth = std::max(buttonWidth, labelWidth + scaled(16));
    const int columnX = margin + listWidth + gap;
    l.refreshButton = {columnX, margin, columnWidth, buttonHeight};
    l.uploadButton = {columnX, l.refreshButton.Bottom() + gap, columnWidth, buttonHeight};
    const int labelHeight = std::max(scaled(17), line + scaled(2));
    l.startAddressLabel = {columnX + scaled(8), l.uploadButton.Bottom() + scaled(15), labelWidth,
                           labelHeight};
    const int fieldHeight = std::max(scaled(19), line + scaled(6));
    l.startAddressField = {columnX + scaled(8), l.startAddressLabel.Bottom() - scaled(1),
                           std::max(scaled(105), width("FFFFF") + scaled(10)), fieldHeight};

    const int listHeight = std::max(scaled(137), l.startAddressField.Bottom() + gap - margin);
    l.deviceList = {margin, margin, listWidth, listHeight};

    // Below the list: the file field beside Select Firmware File ..., the progress bar beside Exit.
    const int rowHeight = std::max(buttonHeight, fieldHeight);
    l.firmwareFileField = {margin, l.deviceList.Bottom() + gap, listWidth, rowHeight};
    l.selectFileButton = {columnX, l.firmwareFileField.y, columnWidth, rowHeight};
    l.progressBar = {margin, l.firmwareFileField.Bottom() + gap, listWidth, rowHeight};
    l.exitButton = {columnX, l.progressBar.y, columnWidth, rowHeight};

    l.width = columnX + columnWidth + scaled(5);
    const int statusHeight = std::max(scaled(25), line + scaled(9));
    l.statusBar = {0, l.progressBar.Bottom() + gap, l.width, statusHeight};
    l.height = l.statusBar.Bottom();
    // The first panel holds the status text; the second, small one stays empty.
    l.statusPanelWidths = {l.width - scaled(66), scaled(60)};
    return l;
}

}  // namespace window
