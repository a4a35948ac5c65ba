#pragma once
// The upload sequence's view on a terminal: a progress bar with bytes, rate and time left on a
// terminal, plain lines otherwise; messages as text; Ctrl+C as a stop request.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "cli/Output.h"
#include "cli/Session.h"
#include "upload/UploadSequence.h"

namespace cli {

class TerminalView final : public upload::UploadView {
public:
    TerminalView(Output& out, Session& session, bool progressOnTerminal);

    void SetStatusText(const std::string& text) override { status_ = text; }
    void SetBusyPointer(bool) override {}
    void SetProgress(std::int64_t doneBytes, std::int64_t totalBytes) override;
    upload::MessageAnswer ShowMessage(const std::string& text, upload::MessageStyle style,
                                      const std::string& title) override;
    void PumpEvents() override {}
    void Sleep(int ms) override { session_.Sleep(ms); }
    void RequestRescan() override {}
    void SetPendingStatusText(const std::string&) override {}
    bool StopRequested() override;

    const std::string& LastStatus() const { return status_; }
    // When set, the progress goes here instead of the terminal's bar (one of several keyboards).
    std::function<void(std::int64_t doneBytes, std::int64_t totalBytes)> progressTo;
    void EndProgressLine();

private:
    void Draw(bool force);

    Output& out_;
    Session& session_;
    bool terminal_;
    std::string status_;
    std::int64_t done_ = 0, total_ = 0;
    int lastPercentLine_ = -1;
    bool lineOpen_ = false;
    bool warned_ = false;
    int blocksAsked_ = 0;
    std::chrono::steady_clock::time_point started_{};
    std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace cli
