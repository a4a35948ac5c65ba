#include "cli/ProgressLine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "common/PrintableText.h"
#include "common/Translate.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace cli {

namespace {

using kestrune::Fill;
using kestrune::Tr;

std::string Format(const char* format, auto... values) {
    char text[96];
    const int n = std::snprintf(text, sizeof text, format, values...);
    return std::string(text, static_cast<std::size_t>(std::clamp(n, 0, static_cast<int>(sizeof text) - 1)));
}

int Columns(const std::string& text) { return static_cast<int>(kestrune::ColumnsOf(text)); }

}  // namespace

std::string ProgressLine(const ProgressFigures& f, int columns) {
    const double total = std::max(1.0, f.totalBytes);
    const double done = std::clamp(f.doneBytes, 0.0, total);
    const int percent = static_cast<int>(done * 100.0 / total);
    const std::string percentText = Format("%3d%%", percent);
    const std::string bytes = Fill(Tr("%s/%s bytes"), {Format("%.0f", done), Format("%.0f", total)});
    const std::string speed = Format("%.1f KiB/s", f.bytesPerSecond / 1024.0);
    const int left = std::max(0, f.secondsLeft);
    const std::string eta = Fill(Tr("%s left"), {Format("%d:%02d", left / 60, left % 60)});

    const int width = std::max(1, columns - 1);
    constexpr int minBar = 10, maxBar = 30;
    struct Choice {
        bool bar, speed, eta;
    };
    // In the order in which a narrowing terminal gives them up: speed, then time left, then bar.
    for (const Choice c : {Choice{true, true, true}, Choice{true, false, true}, Choice{true, false, false},
                           Choice{false, false, false}}) {
        std::string tail = percentText + " " + bytes;
        if (c.speed) tail += " " + speed;
        if (c.eta) tail += " " + eta;
        int room = width - Columns(tail);
        if (!c.bar) {
            if (room < 0) break;
        } else {
            const int barWidth = std::min(maxBar, room - 3);  // "[", "]" and a space
            if (barWidth < minBar) continue;
            const int filled = static_cast<int>(done * barWidth / total);
            tail = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                   std::string(static_cast<std::size_t>(barWidth - filled), ' ') + "] " + tail;
            room = width - Columns(tail);
        }
        return tail + std::string(static_cast<std::size_t>(room), ' ');
    }
    // Cut at a whole character.
    const std::string all = percentText + " " + bytes;
    std::string cut;
    for (std::size_t i = 0; i < all.size();) {
        const std::size_t n = kestrune::CharacterLength(all, i);
        if (Columns(cut + all.substr(i, n)) > width) break;
        cut += all.substr(i, n);
        i += n;
    }
    return cut + std::string(static_cast<std::size_t>(width - Columns(cut)), ' ');
}

int TerminalColumns() {
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
        const int columns = info.srWindow.Right - info.srWindow.Left + 1;
        if (columns > 0) return columns;
    }
#else
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
    // Not a terminal: the width the shell says, as for output piped into a pager.
    if (const char* text = std::getenv("COLUMNS")) {
        const long columns = std::strtol(text, nullptr, 10);
        if (columns > 0 && columns <= 1000) return static_cast<int>(columns);
    }
    return 80;
}

}  // namespace cli
