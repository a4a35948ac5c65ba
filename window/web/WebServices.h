#pragma once
// The browser's services for the window's logic (WebAssembly build): message boxes as modal HTML
// dialogs, the browser's file picker, settings in localStorage, and time and events over the
// browser's event loop. The logic's waits suspend the module (ASYNCIFY); the page's events that
// arrive meanwhile are queued by window/web/WebPage.js and run here, by the event pump, one at a
// time: the logic is never entered from the browser directly.
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

#include "window/WindowServices.h"

namespace window::web {

// A text the page handed over (malloc'd UTF-8, none: empty), freed.
inline std::string TakeUtf8(char* text) {
    if (!text) return {};
    std::string out(text);
    std::free(text);
    return out;
}

// The page's events, as WebPage.js queues them (the same numbers there).
// Chooses the language from the browser's (navigator.languages) and gives the page its own texts
// in it; before anything is shown.
void SetUpPageLanguage();

enum class EventKind { None = 0, Button = 1, Key = 2, Row = 3, Device = 4, Drop = 5 };
struct PageEvent {
    EventKind kind = EventKind::None;
    int a = 0, b = 0;   // Button: its number; Key: the key and its modifiers; Row: its index
    std::string text;   // Drop: the dropped file's path
};

class WebServices final : public WindowServices {
public:
    WebServices();
    // Where the page's events go; the window sets it.
    void SetEventHandler(std::function<void(const PageEvent&)> handler) { handler_ = std::move(handler); }
    // The program's own loop: waits for the next event or the timer, and runs what came. idle:
    // nothing runs and no scan is pending (what the page's tests wait for).
    void WaitAndRun(bool idle);

    upload::MessageAnswer ShowMessage(const std::string& text, upload::MessageStyle style,
                                      const std::string& title) override;
    std::optional<std::string> OpenFile(const OpenFileRequest& request) override;
    std::string ReadSetting(const std::string& scope, const std::string& section,
                            const std::string& key) override;
    void WriteSetting(const std::string& scope, const std::string& section, const std::string& key,
                      const std::string& value) override;
    std::string ProgramFolder() override { return "/"; }
    std::string DownloadsFolder() override { return "/files"; }  // where chosen files are kept
    void PumpEvents() override;
    void Sleep(int ms) override { Wait(ms, false); }
    void Pause(int ms) override { Wait(ms, true); }
    std::int64_t NowMs() override;
    void StartTimer(int ms, std::function<void()> onTimeout) override;
    void StopTimer() override;
    void AskForReturnedKeyboard() override;
    // The window shows something new that must not wait for the next frame's turn.
    void ShowSoon() { shownChanged_ = true; }

private:
    // Runs the queued events; the user's input is dropped instead while takeInput is false, as a
    // desktop window takes none during a blocking wait (device changes still run).
    void RunQueued(bool takeInput);
    void FireTimerIfDue();
    void Wait(int ms, bool takeInput);
    // Milliseconds until the timer is due (0 when it is), -1 without one.
    std::int64_t TimerLeftMs();

    static constexpr std::int64_t YieldEveryMs = 15;  // about a frame
    // The browser's turns while the keyboard answered, as last seen; the pumps since without one,
    // and the time of the second of them.
    int seenTurns_ = 0, quietPumps_ = 0;
    std::int64_t quietSinceMs_ = 0;
    bool shownChanged_ = false;
    std::function<void(const PageEvent&)> handler_;
    std::optional<std::int64_t> timerDueMs_;
    std::function<void()> onTimeout_;
};

}  // namespace window::web
