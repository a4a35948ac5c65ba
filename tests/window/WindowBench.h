#pragma once
// The window logic on the simulated keyboard, with a scripted view of its controls and scripted
// services on virtual time.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "sim/SimHidPlatform.h"
#include "support/TempDir.h"
#include "window/MainWindow.h"
#include "window/WindowText.h"

namespace testsupport {

struct RecordedMessage {
    std::string text;
    upload::MessageStyle style = upload::MessageStyle::Plain;
    std::string title;
    std::int64_t atMs = 0;
    std::string statusShown;  // the window's status while the box is up
};

// The window's controls: what they show, as plain members.
class FakeView final : public window::MainWindowView {
public:
    void SetCaption(const std::string& text) override { caption = text; }
    void SetDeviceRows(const std::vector<window::DeviceRow>& r, std::optional<std::size_t> s) override {
        rows = r;
        selected = s;
    }
    void SetStatusText(const std::string& text) override {
        status = text;
        statuses.push_back(text);
    }
    void SetButtonEnabled(window::Button b, bool on) override {
        if (on && !enabled[Index(b)]) ++turnedOn[Index(b)];
        enabled[Index(b)] = on;
    }
    void FocusButton(window::Button b) override {
        focused = b;
        startAddressFocused = false;
    }
    std::optional<window::Button> FocusedButton() override { return focused; }
    void ParkFocus() override { focused.reset(); }
    void ShowStartAddress() override { startAddressShown = true; }
    void FocusStartAddress() override {
        focused.reset();
        startAddressFocused = true;
    }
    std::string StartAddressText() override { return startAddress; }
    void SetStartAddressText(const std::string& text) override { startAddress = text; }
    std::string FirmwareFileText() override { return file; }
    void SetFirmwareFileText(const std::string& text) override { file = text; }
    void SetProgress(std::int64_t done, std::int64_t total) override {
        progressDone = done;
        progressTotal = total;
    }
    void SetBusyPointer(bool on) override { busyPointer = on; }
    void Close() override { ++closes; }

    static std::size_t Index(window::Button b) { return static_cast<std::size_t>(b); }
    bool Enabled(window::Button b) const { return enabled[Index(b)]; }
    bool AllButtonsEnabled() const { return enabled[0] && enabled[1] && enabled[2] && enabled[3]; }

    std::string caption, status, startAddress, file;
    std::vector<std::string> statuses;
    std::vector<window::DeviceRow> rows;
    std::optional<std::size_t> selected;
    bool enabled[4] = {true, true, true, true};
    int turnedOn[4] = {};  // how often each button went from off to on
    std::optional<window::Button> focused;
    bool startAddressShown = false, startAddressFocused = false;
    bool busyPointer = false;
    std::int64_t progressDone = 0, progressTotal = 0;
    int closes = 0;
};

// The platform's services on virtual time: message boxes are recorded and answered by a script,
// sleeps and pauses advance the clock and fire the timer when it falls due meanwhile (as the real
// event loops do), the settings store is a map.
class FakeServices final : public window::WindowServices {
public:
    explicit FakeServices(kestrune::VirtualClock& clock) : clock_(clock) {}

    upload::MessageAnswer ShowMessage(const std::string& text, upload::MessageStyle style,
                                      const std::string& title) override {
        messages.push_back({text, style, title, clock_.NowMs(), view ? view->status : std::string()});
        events.push_back("box " + title);
        return onMessage ? onMessage(messages.back()) : upload::MessageAnswer::OK;
    }
    std::optional<std::string> OpenFile(const window::OpenFileRequest& request) override {
        dialogs.push_back(request);
        return dialogAnswer;
    }
    std::string ReadSetting(const std::string& scope, const std::string& section,
                            const std::string& key) override {
        const auto it = settings.find(scope + '/' + section + '/' + key);
        return it == settings.end() ? std::string() : it->second;
    }
    void WriteSetting(const std::string& scope, const std::string& section, const std::string& key,
                      const std::string& value) override {
        settings[scope + '/' + section + '/' + key] = value;
    }
    std::string ProgramFolder() override { return programFolder; }
    std::string DownloadsFolder() override { return downloadsFolder; }
    void PumpEvents() override {
        ++pumps;
        events.push_back("pump");
        if (onPump) onPump();
    }
    void Sleep(int ms) override {
        sleeps.push_back(ms);
        events.push_back("sleep " + std::to_string(ms));
        PassTime(ms);
    }
    void Pause(int ms) override {
        ++pauses;
        PumpEvents();
        PassTime(ms);
    }
    std::int64_t NowMs() override { return clock_.NowMs(); }
    void StartTimer(int ms, std::function<void()> onTimeout) override {
        timerMs = ms;
        timerDueMs_ = clock_.NowMs() + ms;
        onTimeout_ = std::move(onTimeout);
    }
    void StopTimer() override { timerMs.reset(); }
    void AskForReturnedKeyboard() override { events.push_back("ask"); }

    // Fires the timer now if it is armed, whether or not it is due; false when it is not armed.
    bool FireTimer() {
        if (!timerMs) return false;
        timerMs.reset();
        const auto tick = onTimeout_;
        tick();
        return true;
    }
    std::vector<std::string> MessageTexts() const {
        std::vector<std::string> texts;
        for (const auto& m : messages) texts.push_back(m.text);
        return texts;
    }

    std::vector<RecordedMessage> messages;
    std::vector<window::OpenFileRequest> dialogs;
    std::optional<std::string> dialogAnswer;
    std::map<std::string, std::string> settings;
    std::string programFolder, downloadsFolder = "/home/user/Downloads";
    std::vector<int> sleeps;
    // Message boxes ("box TITLE"), event pumps ("pump"), sleeps ("sleep MS") and the requests
    // for the returned keyboard ("ask"), in order.
    std::vector<std::string> events;
    int pumps = 0, pauses = 0;
    std::optional<int> timerMs;  // the armed timer's interval
    std::function<upload::MessageAnswer(const RecordedMessage&)> onMessage;  // default: OK
    std::function<void()> onPump;  // runs inside every event pump
    std::function<void()> onTime;  // runs after every sleep and pause
    const FakeView* view = nullptr;  // when set, each box records the status shown beside it

private:
    void PassTime(int ms) {
        clock_.Advance(ms);
        if (timerMs && clock_.NowMs() >= timerDueMs_) FireTimer();
        if (onTime) onTime();
    }

    kestrune::VirtualClock& clock_;
    std::int64_t timerDueMs_ = 0;
    std::function<void()> onTimeout_;
};

struct WindowBench {
    // More keyboards come after the first on the bus, each plugged in at a port of its own.
    explicit WindowBench(sim::KeyboardConfig config = {}, window::WindowOptions options = {},
                         std::vector<sim::KeyboardConfig> more = {})
        : keyboard(clock, std::move(config)), others(MakeOthers(clock, std::move(more))),
          hid(AllKeyboards()), options(options) {
        services.programFolder = folder.Path().string();
        services.view = &view;
    }
    static std::vector<std::unique_ptr<sim::SimKeyboard>> MakeOthers(
        const kestrune::VirtualClock& clock, std::vector<sim::KeyboardConfig> configs) {
        std::vector<std::unique_ptr<sim::SimKeyboard>> made;
        for (auto& c : configs) made.push_back(std::make_unique<sim::SimKeyboard>(clock, std::move(c)));
        return made;
    }
    std::vector<sim::SimKeyboard*> AllKeyboards() {
        std::vector<sim::SimKeyboard*> all{&keyboard};
        for (auto& k : others) all.push_back(k.get());
        return all;
    }

    window::MainWindow& Open() {
        window = std::make_unique<window::MainWindow>(connection, view, services, options);
        window->Start();
        return *window;
    }
    // Runs the scan timer's tick if it is armed, without waiting for it; false when it is not.
    bool Tick() { return services.FireTimer(); }
    const std::string& Status() const { return view.status; }
    // The cells of the only row, or of the selected one; empty when the list is.
    std::vector<std::string> Row() const {
        if (view.rows.empty()) return {};
        const window::DeviceRow& r = view.rows.at(view.selected.value_or(0));
        return {r.vendorId, r.productId, r.firmwareVersion, r.mode};
    }
    void Click(window::Button b) {
        if (view.Enabled(b)) window->OnButton(b);
    }

    kestrune::VirtualClock clock;
    sim::SimKeyboard keyboard;
    std::vector<std::unique_ptr<sim::SimKeyboard>> others;
    sim::SimHidPlatform hid;
    usbio::DeviceConnection connection{hid};
    TempDir folder;
    FakeServices services{clock};
    FakeView view;
    window::WindowOptions options;
    std::unique_ptr<window::MainWindow> window;
};

inline const std::string kNotFound = window::text::DeviceNotFound;

}  // namespace testsupport
