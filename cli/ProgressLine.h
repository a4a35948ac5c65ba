#pragma once
// The one-line progress display of an upload on a terminal, fitted to the terminal's width so that
// each redraw overwrites the same line and nothing wraps.
#include <cstdint>
#include <string>

namespace cli {

struct ProgressFigures {
    double doneBytes = 0;
    double totalBytes = 1;
    double bytesPerSecond = 0;  // 0 while unknown
    int secondsLeft = 0;
};

// The line for a terminal of `columns` columns, padded with spaces to one column less than that
// (a character in the last column makes some terminals wrap). Narrower terminals lose the speed
// first, then the time left, then the bar; below 40 columns the rest is cut off.
std::string ProgressLine(const ProgressFigures& figures, int columns);

// The width of the terminal on standard error; without one, the COLUMNS environment variable;
// 80 when neither is known.
int TerminalColumns();

}  // namespace cli
