#pragma once
// An UploadView that writes down every call in order, with a scripted stop button.
#include <cstdint>
#include <stdexcept>
#include <functional>
#include <string>
#include <vector>

#include "upload/UploadSequence.h"

namespace testsupport {

class RecordingUploadView final : public upload::UploadView {
public:
    struct Call {
        std::string what;  // status, busy, progress, box, pump, sleep, rescan, pending, stop?
        std::string text;
        std::int64_t value = 0;  // progress: bytes done (text holds the total)
        upload::MessageStyle style = upload::MessageStyle::Plain;
        std::string title;
    };

    int stopFromAsk = 0;       // StopRequested answers true from this ask on (1-based); 0 = never
    bool pumpThrows = false;   // PumpEvents throws std::runtime_error
    std::vector<Call> calls;

    void SetStatusText(const std::string& text) override { Log("status", text); }
    void SetBusyPointer(bool busy) override { Log("busy", busy ? "on" : "off"); }
    void SetProgress(std::int64_t done, std::int64_t total) override {
        Log("progress", std::to_string(total), done);
    }
    upload::MessageAnswer ShowMessage(const std::string& text, upload::MessageStyle style,
                                      const std::string& title) override {
        calls.push_back({"box", text, 0, style, title});
        return upload::MessageAnswer::OK;
    }
    void PumpEvents() override {
        Log("pump");
        if (pumpThrows) throw std::runtime_error("event loop gone");
    }
    void Sleep(int ms) override {
        Log("sleep", std::to_string(ms));
        if (onSleep) onSleep(ms);
    }
    std::function<void(int ms)> onSleep;
    void RequestRescan() override { Log("rescan"); }
    void SetPendingStatusText(const std::string& text) override { Log("pending", text); }
    bool StopRequested() override {
        Log("stop?");
        return stopFromAsk != 0 && ++asks_ >= stopFromAsk;
    }

    std::vector<Call> Of(const std::string& what) const {
        std::vector<Call> out;
        for (const Call& c : calls)
            if (c.what == what) out.push_back(c);
        return out;
    }
    // What the user is told, in order: progress, pumps, stop questions and the HEX reader's
    // "Extracting... " lines left out. Message boxes read "box <style> <title>".
    std::vector<std::string> Story() const {
        std::vector<std::string> out;
        for (const Call& c : calls) {
            if (c.what == "progress" || c.what == "pump" ||
                c.what == "stop?" || c.text.starts_with("Extracting... "))
                continue;
            out.push_back(c.what == "box" ? "box " + StyleName(c.style) + " " + c.title
                                          : c.what + (c.text.empty() ? "" : ":" + c.text));
        }
        return out;
    }

    static std::string StyleName(upload::MessageStyle style) {
        switch (style) {
            case upload::MessageStyle::Plain: return "plain";
            case upload::MessageStyle::Warning: return "warning";
            case upload::MessageStyle::WarningOkCancel: return "warning-okcancel";
            case upload::MessageStyle::Information: return "information";
        }
        return "?";
    }

private:
    void Log(const std::string& what, const std::string& text = "", std::int64_t value = 0) {
        calls.push_back({what, text, value, upload::MessageStyle::Plain, ""});
    }
    int asks_ = 0;
};

}  // namespace testsupport
