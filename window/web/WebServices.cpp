#include "window/web/WebServices.h"

#include <emscripten.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/Translate.h"
#include "usbio/WebAsync.h"

// clang-format off
EM_JS(char*, kestrune_browser_languages, (), { return Module.newUTF8(Module.page.browserLanguages()); });
EM_JS(char*, kestrune_page_texts, (), { return Module.newUTF8(Module.page.texts()); });
EM_JS(void, kestrune_page_set_texts, (const char* language, const char* texts), {
    Module.page.setTexts(UTF8ToString(language), UTF8ToString(texts));
});
KESTRUNE_ASYNC_JS(void, kestrune_page_wait, (double ms), undefined, { await Module.page.waitForEvent(ms); });
KESTRUNE_ASYNC_JS(void, kestrune_page_yield, (), undefined, { await Module.page.yieldOnce(); });
EM_JS(int, kestrune_page_next_event, (int takeInput), { return Module.page.nextEvent(!!takeInput); });
EM_JS(int, kestrune_page_event_arg, (int which), {
    const e = Module.page.event();
    return (which ? e.b : e.a) | 0;
});
EM_JS(char*, kestrune_page_dropped_file, (), { return Module.newUTF8(Module.page.droppedFile()); });
EM_JS(void, kestrune_page_forget_untaken, (), { Module.page.forgetUntaken(); });
// A box that could not be shown is answered Cancel: the flow goes no further on it.
KESTRUNE_ASYNC_JS(int, kestrune_page_message, (const char* text, int style, const char* title), 1, {
    return await Module.page.showMessage(UTF8ToString(text), style, UTF8ToString(title));
});
KESTRUNE_ASYNC_JS(char*, kestrune_page_open_file, (const char* accept), 0, {
    const path = await Module.page.openFile(UTF8ToString(accept));
    return path ? Module.newUTF8(path) : 0;
});
EM_JS(char*, kestrune_page_read_setting, (const char* scope, const char* section, const char* key), {
    return Module.newUTF8(Module.page.readSetting(UTF8ToString(scope), UTF8ToString(section), UTF8ToString(key)));
});
EM_JS(void, kestrune_page_write_setting, (const char* scope, const char* section, const char* key, const char* value), {
    Module.page.writeSetting(UTF8ToString(scope), UTF8ToString(section), UTF8ToString(key), UTF8ToString(value));
});
EM_JS(void, kestrune_page_idle, (int idle), { Module.page.setIdle(!!idle); });
EM_JS(int, kestrune_webhid_turns, (), { return Module.webHid.turns(); });
EM_JS(void, kestrune_page_request_keyboard, (), { Module.page.requestKeyboard(); });
// clang-format on

namespace window::web {

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t begin = 0; begin <= text.size();) {
        const std::size_t end = std::min(text.find('\n', begin), text.size());
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

}  // namespace

void SetUpPageLanguage() {
    kestrune::SetUpLanguage(Lines(TakeUtf8(kestrune_browser_languages())));
    // The page's own texts (its buttons, notes and the page for browsers without WebHID), one a
    // line: none holds a line break.
    std::string translated;
    for (const std::string& english : Lines(TakeUtf8(kestrune_page_texts()))) {
        std::string text = kestrune::Tr(english);
        std::replace(text.begin(), text.end(), '\n', ' ');
        translated += (translated.empty() ? "" : "\n") + text;
    }
    const std::string language = kestrune::Language();
    kestrune_page_set_texts(language.empty() ? "en" : language.c_str(), translated.c_str());
}
WebServices::WebServices() = default;

upload::MessageAnswer WebServices::ShowMessage(const std::string& text, upload::MessageStyle style,
                                               const std::string& title) {
    return kestrune_page_message(text.c_str(), static_cast<int>(style), title.c_str()) == 1
               ? upload::MessageAnswer::Cancel
               : upload::MessageAnswer::OK;
}

std::optional<std::string> WebServices::OpenFile(const OpenFileRequest& request) {
    // The picker's filter: the firmware files' extensions ("*.hex" -> ".hex"); "All files" is
    // the browser's own choice in its picker.
    std::string accept;
    for (const FileFilter& filter : request.filters)
        for (const std::string& pattern : filter.patterns)
            if (pattern.size() > 2 && pattern.rfind("*.", 0) == 0 && pattern != "*.*")
                accept += (accept.empty() ? "" : ",") + pattern.substr(1);
    char* path = kestrune_page_open_file(accept.c_str());
    if (!path) return std::nullopt;
    return TakeUtf8(path);
}

std::string WebServices::ReadSetting(const std::string& scope, const std::string& section,
                                     const std::string& key) {
    return TakeUtf8(kestrune_page_read_setting(scope.c_str(), section.c_str(), key.c_str()));
}

void WebServices::WriteSetting(const std::string& scope, const std::string& section,
                               const std::string& key, const std::string& value) {
    kestrune_page_write_setting(scope.c_str(), section.c_str(), key.c_str(), value.c_str());
}

std::int64_t WebServices::NowMs() { return static_cast<std::int64_t>(emscripten_get_now()); }

void WebServices::StartTimer(int ms, std::function<void()> onTimeout) {
    timerDueMs_ = NowMs() + std::max(ms, 0);
    onTimeout_ = std::move(onTimeout);
}

void WebServices::StopTimer() {
    timerDueMs_.reset();
    onTimeout_ = nullptr;
}

std::int64_t WebServices::TimerLeftMs() {
    if (!timerDueMs_) return -1;
    return std::max<std::int64_t>(0, *timerDueMs_ - NowMs());
}

void WebServices::FireTimerIfDue() {
    if (!timerDueMs_ || TimerLeftMs() > 0) return;
    // The callback may start the timer again: take it first.
    auto onTimeout = std::move(onTimeout_);
    StopTimer();
    if (onTimeout) onTimeout();
}

void WebServices::RunQueued(bool takeInput) {
    for (;;) {
        const int kind = kestrune_page_next_event(takeInput ? 1 : 0);
        if (kind == 0) return;
        PageEvent event;
        event.kind = static_cast<EventKind>(kind);
        event.a = kestrune_page_event_arg(0);
        event.b = kestrune_page_event_arg(1);
        // A dropped file is stored only now, in a folder of its own, and removed again when the
        // window did not take it (it does not while a command runs).
        if (event.kind == EventKind::Drop) event.text = TakeUtf8(kestrune_page_dropped_file());
        if (handler_) handler_(event);
        if (event.kind == EventKind::Drop) kestrune_page_forget_untaken();
    }
}

void WebServices::PumpEvents() {
    // The page's events are queued whenever the module waits, and it waits for every report it
    // sends or fetches: a pump between two reports only runs what is queued. The browser gets a
    // turn of its own (to repaint, to deliver input) once it has had none for about a frame; each
    // reply of the keyboard gives it one, and between two replies the clock is not even read. A
    // new status text always gets its turn, as the desktop windows paint it at once.
    const int turns = kestrune_webhid_turns();
    if (turns != seenTurns_) {
        seenTurns_ = turns;
        quietPumps_ = 0;
    } else if (++quietPumps_ == 2) {
        quietSinceMs_ = NowMs();
    }
    if (shownChanged_ || (quietPumps_ > 2 && NowMs() - quietSinceMs_ >= YieldEveryMs)) {
        shownChanged_ = false;
        kestrune_page_yield();
        quietPumps_ = 0;
    }
    RunQueued(true);
    FireTimerIfDue();
}

void WebServices::Wait(int ms, bool takeInput) {
    quietPumps_ = 0;  // the browser runs while the logic waits
    const std::int64_t end = NowMs() + std::max(ms, 0);
    for (;;) {
        const std::int64_t left = end - NowMs();
        if (left <= 0) break;
        const std::int64_t timer = TimerLeftMs();
        kestrune_page_wait(static_cast<double>(timer >= 0 ? std::min(left, timer) : left));
        RunQueued(takeInput);
        FireTimerIfDue();
    }
    // A zero wait still lets the page repaint.
    if (ms <= 0) {
        kestrune_page_yield();
        RunQueued(takeInput);
        FireTimerIfDue();
    }
}

void WebServices::WaitAndRun(bool idle) {
    kestrune_page_idle(idle ? 1 : 0);
    kestrune_page_wait(static_cast<double>(TimerLeftMs()));
    kestrune_page_idle(0);
    RunQueued(true);
    FireTimerIfDue();
}

void WebServices::AskForReturnedKeyboard() { kestrune_page_request_keyboard(); }

}  // namespace window::web
