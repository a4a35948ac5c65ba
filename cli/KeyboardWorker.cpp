#include "cli/KeyboardWorker.h"

#include "cli/Output.h"
#include "cli/ProgressLine.h"
#include "cli/Usage.h"

#include <algorithm>
#include <set>
#include <utility>

namespace cli {

std::size_t KeyboardBoard::Add(const std::string& label) {
    const std::lock_guard lock(mutex_);
    rows_.push_back(Row{label, "", -1, -1});
    return rows_.size() - 1;
}

std::string KeyboardBoard::RowText(const Row& row) const {
    std::string text = row.label + "  ";
    const std::size_t width = static_cast<std::size_t>(std::max(TerminalColumns() - 1, 20));
    if (row.percent >= 0 && row.percent < 100) {
        const int filled = row.percent / 5;
        text += "[" + std::string(static_cast<std::size_t>(filled), '#') +
                std::string(static_cast<std::size_t>(20 - filled), ' ') + "] " + std::to_string(row.percent) + "%";
    } else {
        text += row.text;
    }
    // One screen line each, or the redraw would climb too few lines.
    text = PrintableText(text);
    if (text.size() > width) text.resize(width);
    return text;
}

void KeyboardBoard::DrawLocked() {
    if (!terminal_) return;
    // Back to the first line of the board, then every line anew, each cleared to its end.
    if (drawnRows_ > 0) std::fprintf(to_, "\x1b[%zuA", drawnRows_);
    for (const Row& row : rows_) std::fprintf(to_, "\r\x1b[2K%s\n", RowText(row).c_str());
    drawnRows_ = rows_.size();
    std::fflush(to_);
    lastDraw_ = std::chrono::steady_clock::now();
}

namespace {

// Every line of a message with its keyboard in front: a prompt on the second line of a message
// ("plug in again") still says which keyboard to replug. On a terminal the lines are wrapped at
// words for its width (columns), each wrapped line with the keyboard in front too.
std::string Labelled(const std::string& label, const std::string& text, bool error, int columns) {
    const std::string prefix = PrintableText(label) + ": ";
    const std::string shown = PrintableLines(error ? Fill(Tr("error: %s"), {text}) : text);
    const int room = columns > 0 ? std::max(columns - static_cast<int>(prefix.size()), 20) : 0;
    std::string lines;
    for (std::size_t begin = 0;;) {
        const std::size_t end = shown.find('\n', begin);
        std::string line = shown.substr(begin, end - begin);
        if (room > 0) line = WrapText(line, room);
        if (line.empty()) {
            lines += "\n";
        } else {
            for (std::size_t from = 0; from <= line.size();) {
                const std::size_t stop = std::min(line.find('\n', from), line.size());
                lines += prefix + line.substr(from, stop - from) + "\n";
                from = stop + 1;
            }
        }
        if (end == std::string::npos) break;
        begin = end + 1;
    }
    return lines;
}

}  // namespace

void KeyboardBoard::Message(std::size_t row, const std::string& text, LineKind kind) {
    const bool error = kind == LineKind::Error;
    const std::lock_guard lock(mutex_);
    if (row >= rows_.size()) return;
    // The first line of a message says enough on one line.
    const std::string first = text.substr(0, text.find('\n'));
    rows_[row].text = error ? Fill(Tr("error: %s"), {first}) : first;
    rows_[row].percent = -1;
    // What the operator must do (replug a keyboard) and what went wrong stay on the screen: they
    // are printed above the board, which is then drawn again beneath them.
    const bool keep = kind != LineKind::Note;
    if (terminal_ && keep) {
        if (drawnRows_ > 0) std::fprintf(to_, "\x1b[%zuA\r\x1b[J", drawnRows_);
        drawnRows_ = 0;
        std::fputs(Labelled(rows_[row].label, text, error, IsTerminal(to_) ? TerminalColumns() : 0).c_str(), to_);
        DrawLocked();
    } else if (terminal_) {
        DrawLocked();
    } else {
        std::fputs(Labelled(rows_[row].label, text, error, IsTerminal(to_) ? TerminalColumns() : 0).c_str(), to_);
        std::fflush(to_);
    }
}

void KeyboardBoard::Progress(std::size_t row, std::int64_t doneBytes, std::int64_t totalBytes) {
    const std::lock_guard lock(mutex_);
    if (row >= rows_.size() || doneBytes <= 0) return;
    const int percent = static_cast<int>(std::clamp<std::int64_t>(doneBytes * 100 / std::max<std::int64_t>(totalBytes, 1), 0, 100));
    Row& r = rows_[row];
    r.percent = percent;
    if (terminal_) {
        if (std::chrono::steady_clock::now() - lastDraw_ >= std::chrono::milliseconds(100) || percent == 100)
            DrawLocked();
    } else if (percent >= 25 && percent / 25 != r.lastQuarter) {
        r.lastQuarter = percent / 25;
        std::fprintf(to_, "%s\n", Fill(Tr("%s: uploaded %s%%"), {PrintableText(r.label), std::to_string(percent)}).c_str());
        std::fflush(to_);
    }
}

void KeyboardBoard::End() {
    const std::lock_guard lock(mutex_);
    if (terminal_) {
        for (Row& row : rows_) row.percent = -1;
        DrawLocked();
    }
}

std::string KeyboardRun::Result() const {
    return doc.contains("result") && doc["result"].is_string() ? doc["result"].get<std::string>()
                                                               : FlashResultOfStatus(status);
}

std::string KeyboardRun::VersionBefore() const {
    if (doc.contains("keyboard") && doc["keyboard"].contains("firmwareVersion") &&
        doc["keyboard"]["firmwareVersion"].is_string())
        return doc["keyboard"]["firmwareVersion"].get<std::string>();
    return "";
}

std::string KeyboardRun::VersionAfter() const {
    if (doc.contains("newFirmwareVersion") && doc["newFirmwareVersion"].is_string())
        return doc["newFirmwareVersion"].get<std::string>();
    return "";
}

std::string KeyboardLabel(const usbio::FoundKeyboard& keyboard) {
    const auto& id = keyboard.Identity;
    if (id.PortPath.empty() && id.Serial.empty()) return keyboard.Path;
    return (id.PortPath.empty() ? "?" : id.PortPath) + " " + (id.Serial.empty() ? "-" : id.Serial);
}

bool IdentitiesAreDistinct(const std::vector<usbio::FoundKeyboard>& keyboards) {
    std::set<std::pair<std::string, std::string>> seen;
    for (const auto& k : keyboards) {
        if (keyboards.size() > 1 && k.Identity.PortPath.empty() && k.Identity.Serial.empty()) return false;
        if (!seen.emplace(k.Identity.PortPath, k.Identity.Serial).second) return false;
    }
    return true;
}

KeyboardRun FlashOneKeyboard(Session& bench, const usbio::FoundKeyboard& keyboard, const PreparedFile& prepared,
                             const FlashOptions& flash, const DeviceOptions& device, KeyboardBoard& board,
                             std::size_t row) {
    KeyboardRun run;
    run.keyboard = keyboard;
    Session session(bench, Session::ForWorker{});
    session.Follow(keyboard);
    const std::int64_t startedMs = session.Clock().NowMs();  // the keyboard's own time when simulated
    Output out(false);
    out.lines = [&board, row](const std::string& line, LineKind kind) { board.Message(row, line, kind); };
    out.beforeFinish = [&out](int status) {
        if (!out.doc.contains("result")) out.doc["result"] = FlashResultOfStatus(status);
    };
    FlashOptions options = flash;
    options.yes = true;  // asked once for all of them
    DeviceOptions own = device;
    own.simulateDump.clear();
    session.Scan();
    if (!session.Connection().IsOpen()) {
        out.Error(Tr("the keyboard is gone; nothing was written."));
        run.status = out.Finish(ExitNoKeyboard);
    } else {
        run.status = FlashOpenKeyboard(out, session, prepared, options, own,
                                       [&board, row](std::int64_t done, std::int64_t total) {
                                           board.Progress(row, done, total);
                                       });
    }
    usbio::CloseDevice(session.Connection());
    run.lastIdentity = session.Following() ? session.Following()->Identity : keyboard.Identity;
    run.doc = std::move(out.doc);
    run.seconds = static_cast<double>(session.Clock().NowMs() - startedMs) / 1000.0;
    return run;
}

}  // namespace cli
