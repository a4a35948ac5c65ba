#pragma once
// Several keyboards updated side by side: one worker thread per keyboard, each with a session of
// its own on the shared platform, and a board that shows one line per keyboard.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "cli/FlashSteps.h"

namespace cli {

// One line per keyboard on standard error: on a terminal the lines are redrawn in place (the last
// message or the progress of each); otherwise each message is printed as it comes, prefixed with
// its keyboard, and the progress every quarter. Safe to call from the workers.
class KeyboardBoard {
public:
    explicit KeyboardBoard(bool terminal, std::FILE* to = stderr) : terminal_(terminal), to_(to) {}
    // A new line for a keyboard; returns its number.
    std::size_t Add(const std::string& label);
    void Message(std::size_t row, const std::string& text, LineKind kind);
    void Progress(std::size_t row, std::int64_t doneBytes, std::int64_t totalBytes);
    // Leaves the lines as they are: later output goes below them.
    void End();

private:
    struct Row {
        std::string label, text;
        int percent = -1;
        int lastQuarter = -1;
    };
    void DrawLocked();
    std::string RowText(const Row& row) const;

    bool terminal_;
    std::FILE* to_;
    std::mutex mutex_;
    std::vector<Row> rows_;
    std::size_t drawnRows_ = 0;
    std::chrono::steady_clock::time_point lastDraw_{};
};

// How one keyboard's update ended.
struct KeyboardRun {
    usbio::FoundKeyboard keyboard;
    int status = ExitUploadFailed;
    nlohmann::json doc;  // as `flash --json` gives it for that keyboard
    double seconds = 0;
    // Where the keyboard was last seen (it may have come back at another port).
    usbio::DeviceIdentity lastIdentity;

    std::string Result() const;
    std::string VersionBefore() const;
    std::string VersionAfter() const;
};

// The label of a keyboard on the board and in the summary: its port and serial, or its device
// path when it has neither.
std::string KeyboardLabel(const usbio::FoundKeyboard& keyboard);

// Whether some keyboards cannot be told from each other (the same port and serial, or none): a
// worker following one of them could open another.
bool IdentitiesAreDistinct(const std::vector<usbio::FoundKeyboard>& keyboards);

// The whole update of one keyboard, in the calling thread, on a session of its own on bench: it
// finds the keyboard by its identity, then FlashOpenKeyboard (flash.yes is taken as given). Lines
// and progress go to the board's row.
KeyboardRun FlashOneKeyboard(Session& bench, const usbio::FoundKeyboard& keyboard, const PreparedFile& prepared,
                             const FlashOptions& flash, const DeviceOptions& device, KeyboardBoard& board,
                             std::size_t row);

}  // namespace cli
