#pragma once
// Where the command-line tool writes: lines for a person, or one JSON document on standard
// output. In JSON mode everything meant for a person goes to standard error.
#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/PrintableText.h"
#include "common/Translate.h"

namespace cli {

// PrintableText line by line: line ends stay (CR LF becomes LF), everything else is escaped.
std::string PrintableLines(std::string_view text);

// The text as it is to be written to the stream: on a terminal, its lines broken at spaces for the
// terminal's width (a word longer than a line stays whole); elsewhere (a file, a pipe) unchanged,
// one message a line for scripts.
std::string FitForStream(std::FILE* stream, const std::string& text);
bool IsTerminal(std::FILE* stream);

enum class LineKind { Note, Instruction, Error };

// Label and value lines ("Mode:  Normal"), the values lined up in the terminal's columns.
std::vector<std::string> AlignedRows(const std::vector<std::pair<std::string, std::string>>& rows);

// A warning on standard error ("kestrune: warning: ..."), its control characters escaped.
void Warn(const std::string& text);

class Output {
public:
    explicit Output(bool json) : json_(json) {}
    bool Json() const { return json_; }
    // The width of the terminal that Say writes to, or 0 when it writes to a file or a pipe.
    int SayColumns() const;

    // What a line is: a note, or something the person must do now (replug the keyboard), which a
    // board of several keyboards keeps on the screen.
    enum Kind { Note, Instruction };
    // A line for the person at the terminal.
    // Control characters other than line ends are escaped (PrintableLines): whatever a message
    // holds, no escape sequence reaches the terminal.
    void Say(const std::string& line, Kind kind = Note) const {
        if (lines) return lines(line, kind == Instruction ? LineKind::Instruction : LineKind::Note);
        std::FILE* to = json_ ? stderr : stdout;
        std::fprintf(to, "%s\n", FitForStream(to, PrintableLines(line)).c_str());
        std::fflush(to);
    }
    // An error, always on standard error; also recorded in the JSON document.
    void Error(const std::string& line) {
        if (json_ || lines) doc["error"] = line;
        if (lines) return lines(line, LineKind::Error);
        std::fprintf(stderr, "%s\n", FitForStream(stderr, "kestrune: " + PrintableLines(line)).c_str());
        std::fflush(stderr);
    }
    // Prints the JSON document (in JSON mode) with the exit status, and returns the status.
    int Finish(int status) {
        if (beforeFinish) beforeFinish(status);
        if (json_ && !lines) {
            doc["exitStatus"] = status;
            // Text that is not valid UTF-8 (a device's version, a file name in another
            // encoding) is replaced, never thrown on.
            std::printf("%s\n", doc.dump(oneLine ? -1 : 2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
            std::fflush(stdout);
        }
        return status;
    }

    nlohmann::json doc = nlohmann::json::object();
    // The document on one line (the station's output is JSON Lines).
    bool oneLine = false;
    // Called by Finish with the status, before the document is printed.
    std::function<void(int status)> beforeFinish;
    // When set, Say and Error hand their lines to it instead of the terminal, and Finish prints
    // nothing: the output of one of several keyboards being flashed side by side, which the caller
    // shows. The document is kept as in JSON mode.
    std::function<void(const std::string& line, LineKind kind)> lines;

private:
    bool json_;
};

// Exit statuses.
inline constexpr int ExitOK = 0;
inline constexpr int ExitUploadFailed = 1;
inline constexpr int ExitUsage = 2;
inline constexpr int ExitNoKeyboard = 3;
inline constexpr int ExitInvalidFile = 4;
inline constexpr int ExitCancelled = 5;
inline constexpr int ExitUnconfirmed = 6;  // uploaded, but the keyboard did not come back
inline constexpr int ExitBusy = 7;         // another program is writing to the keyboard
inline constexpr int ExitWriteFailed = 8;  // an output file could not be written
inline constexpr int ExitSeveralKeyboards = 9;  // several keyboards attached, none chosen with --device
inline constexpr int ExitWrongVersion = 10;  // flash --expect-version: back with another version

// Text from the device or a file name, fit for a terminal (see common/PrintableText.h).
using kestrune::PrintableText;
// What a person reads is translated (see common/Translate.h); what scripts read never is.
using kestrune::Fill;
using kestrune::Tr;
using kestrune::TrN;

}  // namespace cli
