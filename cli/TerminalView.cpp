#include "cli/TerminalView.h"

#include "cli/ProgressLine.h"
#include "upload/UploadText.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>

namespace cli {

TerminalView::TerminalView(Output& out, Session& session, bool progressOnTerminal)
    : out_(out), session_(session), terminal_(progressOnTerminal) {}

void TerminalView::SetProgress(std::int64_t doneBytes, std::int64_t totalBytes) {
    done_ = doneBytes;
    total_ = totalBytes;
    if (progressTo) return progressTo(doneBytes, totalBytes);
    if (doneBytes == 0) return;  // the bar is being prepared, not moved
    Draw(false);
}

void TerminalView::Draw(bool force) {
    if (out_.Json()) return;
    // Bytes the keyboard has acknowledged: 100 % only once the last block has been taken.
    const double total = std::max<double>(1.0, static_cast<double>(total_));
    const double done = std::clamp(static_cast<double>(done_), 0.0, total);
    const auto now = std::chrono::steady_clock::now();
    if (started_ == std::chrono::steady_clock::time_point{}) started_ = now;
    const int percent = static_cast<int>(done * 100.0 / total);
    if (!terminal_) {
        // Plain lines, one every ten per cent.
        if (percent / 10 != lastPercentLine_ / 10 || force) {
            lastPercentLine_ = percent;
            char figures[3][32];
            std::snprintf(figures[0], sizeof figures[0], "%d", percent);
            std::snprintf(figures[1], sizeof figures[1], "%.0f", done);
            std::snprintf(figures[2], sizeof figures[2], "%.0f", total);
            std::fprintf(stderr, "%s\n",
                         Fill(Tr("Uploaded %s%% (%s of %s bytes)"), {figures[0], figures[1], figures[2]}).c_str());
        }
        return;
    }
    if (!force && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    const double seconds = std::chrono::duration<double>(now - started_).count();
    const double rate = seconds > 0.05 ? done / seconds : 0.0;
    const int left = rate > 0 ? static_cast<int>(std::lround((total - done) / rate)) : 0;
    const ProgressFigures figures{done, total, rate, left};
    std::fprintf(stderr, "\r%s", ProgressLine(figures, TerminalColumns()).c_str());
    std::fflush(stderr);
    lineOpen_ = true;
}

void TerminalView::EndProgressLine() {
    if (lineOpen_) {
        Draw(true);
        std::fprintf(stderr, "\n");
        lineOpen_ = false;
    }
}

upload::MessageAnswer TerminalView::ShowMessage(const std::string& text, upload::MessageStyle,
                                                const std::string&) {
    EndProgressLine();
    // A simulated keyboard restarts by itself: its user is not told to replug it.
    const std::string said = session_.Simulated() && text == upload::text::Uploaded ? upload::text::SimulatedUploaded : text;
    std::string shown;
    for (std::size_t i = 0; i < said.size(); ++i)
        if (!(said[i] == '\r' && i + 1 < said.size() && said[i + 1] == '\n')) shown.push_back(said[i]);
    // The replug after an upload is what the person must do now.
    out_.Say(Tr(shown), text == upload::text::Uploaded ? Output::Instruction : Output::Note);
    if (out_.Json()) out_.doc["messages"].push_back(shown);
    return upload::MessageAnswer::OK;
}

bool TerminalView::StopRequested() {
    const bool first = blocksAsked_++ == 0;
    const int presses = Interrupts();
    if (presses == 0) return false;
    // Before the first block nothing has been written: stop cleanly.
    if (first) return true;
    if (presses >= 2) {
        EndProgressLine();
        return true;
    }
    // Said once, also when several keyboards are being written.
    static std::atomic<bool> warnedAny{false};
    if (!warned_ && !warnedAny.exchange(true)) {
        warned_ = true;
        EndProgressLine();
        std::fprintf(stderr, "%s",
                     FitForStream(stderr,
                                  Tr("Stopping now leaves the keyboard in firmware-upload mode with part of the "
                                     "firmware written; it then works only after another upload.\n"
                                     "Press Ctrl+C again to stop anyway.") +
                                      "\n")
                         .c_str());
    }
    return false;
}

}  // namespace cli
