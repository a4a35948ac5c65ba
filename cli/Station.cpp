// kestrune station: a production line's bench. Each keyboard plugged in is updated once, by a
// worker of its own, and one record per unit is appended to a JSON Lines log.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <utility>

#include "cli/Commands.h"
#include "cli/KeyboardWorker.h"
#include "common/LineLog.h"

#if defined(_WIN32)
#include <windows.h>

#include "usbio/WindowsHidMonitor.h"
#else
#include <unistd.h>

#include "usbio/LinuxHidMonitor.h"
#endif

namespace cli {

namespace {

using Key = std::pair<std::string, std::string>;  // port path, serial
Key KeyOf(const usbio::DeviceIdentity& identity) { return {identity.PortPath, identity.Serial}; }

// Waits for keyboards to come or go. True when something changed (the station then looks again).
class PlugWatch {
public:
    virtual ~PlugWatch() = default;
    // busy: workers are running (the simulated bench lets their time pass rather than its own).
    virtual bool WaitForChange(int timeoutMs, bool busy) = 0;
    // A unit's update has ended.
    virtual void UnitEnded(const usbio::FoundKeyboard&, bool /*passed*/) {}
    // Nothing more will come (the simulated bench's script has run out).
    virtual bool Finished() const { return false; }
};

// The system's notifications of HID interfaces coming and going: no device is opened to notice.
// (Where the system gives none, a look every time the wait runs out.)
class SystemPlugWatch final : public PlugWatch {
public:
    bool WaitForChange(int timeoutMs, bool) override { return monitor_.WaitForChange(timeoutMs); }

private:
#if defined(_WIN32)
    usbio::WindowsHidMonitor monitor_;
#else
    usbio::LinuxHidMonitor monitor_;
#endif
};

// The simulated bench as an operator works it: keyboard k arrives at 1 s + 3 s * k; a unit that
// fails is taken out and plugged in again 2 s later, once (its fault gone, as a reseated cable);
// a unit that passes stays plugged in. On virtual time the clock is moved on to the next event
// while no worker runs.
class SimulatedPlugWatch final : public PlugWatch {
public:
    explicit SimulatedPlugWatch(Session& bench) : bench_(bench) {
        const auto keyboards = bench.Keyboards();
        for (std::size_t k = 0; k < keyboards.size(); ++k) {
            keyboards[k]->Unplug();
            events_.emplace(bench.Clock().NowMs() + 1000 + 3000 * static_cast<std::int64_t>(k), keyboards[k]);
        }
        bus_ = bench.SimulatedBus();
    }
    bool WaitForChange(int timeoutMs, bool busy) override {
        if (std::exchange(unplugged_, false) || RunDue()) return true;
        if (events_.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(busy ? 1 : 0));
            return false;
        }
        if (busy) {
            // The workers move the time; the events come when it has passed.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return false;
        }
        const std::int64_t wait = events_.begin()->first - bench_.Clock().NowMs();
        bench_.Sleep(static_cast<int>(std::min<std::int64_t>(wait, timeoutMs)));
        return RunDue();
    }
    void UnitEnded(const usbio::FoundKeyboard& unit, bool passed) override {
        if (passed) return;
        for (sim::SimKeyboard* keyboard : bench_.Keyboards()) {
            if (keyboard->Config().PortPath != unit.Identity.PortPath || keyboard->Config().Serial != unit.Identity.Serial)
                continue;
            if (!retried_.insert(keyboard).second) return;
            bus_->Locked([keyboard] {
                keyboard->Unplug();
                keyboard->Faults() = sim::KeyboardFaults{};
            });
            events_.emplace(bench_.Clock().NowMs() + 2000, keyboard);
            unplugged_ = true;  // seen gone before it comes back
        }
    }
    bool Finished() const override { return events_.empty(); }

private:
    bool RunDue() {
        bool changed = false;
        while (!events_.empty() && events_.begin()->first <= bench_.Clock().NowMs()) {
            sim::SimKeyboard* keyboard = events_.begin()->second;
            bus_->Locked([keyboard] { keyboard->Plug(); });
            events_.erase(events_.begin());
            changed = true;
        }
        return changed;
    }
    Session& bench_;
    sim::SimHidPlatform* bus_ = nullptr;
    std::multimap<std::int64_t, sim::SimKeyboard*> events_;
    std::set<sim::SimKeyboard*> retried_;
    bool unplugged_ = false;
};

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

bool ColourWanted() {
#if defined(_WIN32)
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(out, &mode)) return false;
    if (!SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return false;
    return std::getenv("NO_COLOR") == nullptr;
#else
    const char* term = std::getenv("TERM");
    return isatty(fileno(stdout)) && std::getenv("NO_COLOR") == nullptr && term && std::string(term) != "dumb";
#endif
}

struct Unit {
    usbio::FoundKeyboard keyboard;
    std::size_t row = 0;
    std::jthread worker;
    std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<KeyboardRun> run = std::make_shared<KeyboardRun>();
};

}  // namespace

nlohmann::json KeyboardRunJson(const KeyboardRun& run);

namespace {
// A line for the operator, wrapped at words on a terminal.
void Tell(std::FILE* to, const std::string& text) {
    std::fprintf(to, "%s\n", FitForStream(to, text).c_str());
    std::fflush(to);
}
}  // namespace

int RunStation(Output& out, const DeviceOptions& device, const FileOptions& file, const FlashOptions& flash,
               const StationOptions& station) {
    InstallInterruptHandler();
    // With --json the records are JSON Lines on standard output, and a last line closes them: the
    // counts and the exit status, and the reason when the station could not start or its log
    // could not be written.
    nlohmann::json closing = nlohmann::json::object();
    auto end = [&](int status) {
        if (out.Json()) {
            closing["exitStatus"] = status;
            std::printf("%s\n", closing.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
            std::fflush(stdout);
        }
        return status;
    };
    PreparedFile prepared;
    int started = 0;
    // The file is described on standard error: standard output carries the units.
    Output setup(false);
    setup.lines = [](const std::string& line, LineKind kind) {
        Tell(stderr, (kind == LineKind::Error ? "kestrune: " : "") + PrintableLines(line));
    };
    const std::unique_ptr<Session> session = StartFlashing(setup, device, file, flash, prepared, started);
    if (!session) {
        for (const char* key : {"error", "file"})
            if (setup.doc.contains(key)) closing[key] = setup.doc[key];
        return end(started);
    }
    kestrune::LineLog log;
    if (std::string problem; !station.logPath.empty() && !log.Open(PathFromUtf8(station.logPath), problem)) {
        closing["error"] = "cannot append to the log " + station.logPath + ": " + problem + ".";
        Tell(stderr, "kestrune: " + PrintableLines(closing["error"].get<std::string>()));
        return end(ExitWriteFailed);
    }
    Session& bench = *session;
    bench.Scan();  // shows the table's errors once
    usbio::CloseDevice(bench.Connection());

    std::unique_ptr<PlugWatch> watch;
    if (bench.Simulated())
        watch = std::make_unique<SimulatedPlugWatch>(bench);
    else
        watch = std::make_unique<SystemPlugWatch>();
    const bool colour = !out.Json() && ColourWanted();
    const std::string fileName = Utf8FromPath(PathFromUtf8(file.file).filename());
    Tell(stderr, "Station ready: every keyboard plugged in gets " + PrintableText(fileName) + ". Press Ctrl+C to stop.");
    std::fflush(stderr);

    // A failed unit is retried when it is plugged in again: the station tells the operator so.
    FlashOptions unitFlash = flash;
    unitFlash.again.clear();
    KeyboardBoard board(false);
    std::map<Key, Unit> active;  // units being updated
    std::set<Key> handled;       // units updated (or failed) and still plugged in
    std::map<Key, bool> passedUnits;   // every unit seen, by whether its last update passed
    std::map<Key, int> attempts;       // updates of each unit so far
    bool anyFailed = false;            // an update failed (also when its unit passed on a retry)
    bool logFailed = false;
    bool stopping = false;
    auto count = [&](bool ok) {
        int n = 0;
        for (const auto& [key, passed] : passedUnits) n += passed == ok ? 1 : 0;
        return n;
    };
    // A unit's end: its record, its line, and what the operator is told.
    auto ended = [&](const Key& key, const KeyboardRun& run, std::size_t row) {
        const bool ok = run.status == ExitOK;
        anyFailed = anyFailed || !ok;
        passedUnits[key] = ok;
        const int attempt = ++attempts[key];
        nlohmann::json record{{"time", UtcNow()},
                              {"port", NullIfEmpty(run.keyboard.Identity.PortPath)},
                              {"serial", NullIfEmpty(run.keyboard.Identity.Serial)},
                              {"productId", run.keyboard.Attributes.ProductID},
                              {"versionBefore", NullIfEmpty(run.VersionBefore())},
                              {"versionAfter", NullIfEmpty(run.VersionAfter())},
                              {"file", fileName},
                              {"sha256", prepared.fileSha},
                              {"result", run.Result()},
                              {"seconds", static_cast<double>(static_cast<long long>(run.seconds * 10 + 0.5)) / 10}};
        if (run.doc.contains("error")) record["error"] = run.doc["error"];
        const std::string line = record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        if (std::string problem; log.IsOpen() && !log.Append(line, problem)) {
            // Said at once, for this unit: its record is on standard output only. No unit is
            // taken that the log would miss; those being updated end as they would.
            if (!logFailed)
                closing["error"] = "writing the log " + station.logPath + " failed: " + problem + ".";
            logFailed = true;
            stopping = true;
            Tell(stderr, "kestrune: error: the record of " + PrintableText(KeyboardLabel(run.keyboard)) +
                             " could not be written to the log " + PrintableText(station.logPath) + " (" +
                             PrintableText(problem) + "). No more units are taken" +
                             (active.size() > 1 ? "; the units being updated finish" : "") + ".");
        }
        if (out.Json()) {
            std::printf("%s\n", line.c_str());
        } else {
            char text[512];
            const std::string retry = attempt > 1 ? "  retry " + std::to_string(attempt - 1) : "";
            std::snprintf(text, sizeof text, "%s %s  %s -> %s  %s  %.1f s%s  (passed %d, failed %d)", ok ? "PASS" : "FAIL",
                          PrintableText(KeyboardLabel(run.keyboard)).c_str(),
                          PrintableText(run.VersionBefore().empty() ? "?" : run.VersionBefore()).c_str(),
                          PrintableText(run.VersionAfter().empty() ? "?" : run.VersionAfter()).c_str(),
                          run.Result().c_str(), run.seconds, retry.c_str(), count(true), count(false));
            const std::string line = FitForStream(stdout, text);
            if (colour && !ok)
                std::printf("\x1b[31m%s\x1b[0m\n", line.c_str());
            else
                std::printf("%s\n", line.c_str());
        }
        std::fflush(stdout);
        if (!ok && !stopping) board.Message(row, "failed: unplug it and plug it in again to retry.", LineKind::Instruction);
        watch->UnitEnded(run.keyboard, ok);
        handled.insert(key);
        // Back at another port after its restart, it is still the unit just handled.
        if (!run.lastIdentity.PortPath.empty() || !run.lastIdentity.Serial.empty()) handled.insert(KeyOf(run.lastIdentity));
    };
    auto finish = [&](std::map<Key, Unit>::iterator it) {
        it->second.worker.join();
        ended(it->first, *it->second.run, it->second.row);
        active.erase(it);
    };

    bool changed = true;  // the keyboards attached at the start are units too
    bool interrupted = false;
    for (;;) {
        for (auto it = active.begin(); it != active.end();) {
            auto next = std::next(it);
            if (it->second.done->load()) finish(it);
            it = next;
        }
        if (!interrupted && (Interrupts() > 0 || Terminated())) {
            interrupted = true;
            if (!stopping && !active.empty())
                std::fprintf(stderr, "Stopping: waiting for the %zu unit(s) being updated.\n", active.size());
            stopping = true;
        }
        if (stopping && active.empty()) break;
        if (!stopping && changed) {
            // Which units are plugged in, told without opening them; a unit handled and gone is
            // flashed again when it comes back.
            std::set<Key> present;
            std::vector<std::string> paths;
            if (bench.Hid().EnumerateInterfaces(paths))
                for (const std::string& path : paths) {
                    // Only the keyboard's interfaces (or those whose IDs cannot be told unopened):
                    // other devices without a port or serial must not keep a unit "plugged in".
                    const auto ids = bench.Hid().PeekAttributes(path);
                    if (!ids || ids->VendorID == usbio::SupportedVendorID)
                        present.insert(KeyOf(bench.Hid().PeekIdentity(path)));
                }
            for (auto it = handled.begin(); it != handled.end();) it = present.count(*it) ? std::next(it) : handled.erase(it);
            // The new ones, opened and checked; the units being updated are left to their workers.
            usbio::DiscoveryHooks hooks = bench.Hooks();
            hooks.ShowTableError = nullptr;
            // A keyboard with the serial of a unit being updated is that unit come back at another
            // port: its worker follows it (usbio::FollowedKeyboard); it is never a new unit.
            auto workersOwn = [&](const usbio::DeviceIdentity& identity) {
                return !identity.Serial.empty() &&
                       std::any_of(active.begin(), active.end(), [&](const auto& unit) {
                           return unit.second.keyboard.Identity.Serial == identity.Serial;
                       });
            };
            hooks.Accept = [&](const std::string& path) {
                const usbio::DeviceIdentity identity = bench.Hid().PeekIdentity(path);
                const Key key = KeyOf(identity);
                return !active.count(key) && !handled.count(key) && !workersOwn(identity);
            };
            usbio::DiscoveryReport access;
            const std::vector<usbio::FoundKeyboard> arrived = usbio::FindAllDevices(bench.Hid(), hooks, &access);
            // A unit that may not be opened is said once, with what to do about it, and logged.
            for (const usbio::FoundKeyboard& keyboard : usbio::UnopenedKeyboards(bench.Hid(), access, arrived)) {
                const Key key = KeyOf(keyboard.Identity);
                if (active.count(key) || handled.count(key)) continue;
                const std::size_t row = board.Add(KeyboardLabel(keyboard));
                board.Message(row, std::string(CannotBeOpenedText) + "." + AccessHintFor({keyboard}), LineKind::Error);
                ended(key, KeyboardRun{keyboard, ExitNoKeyboard, {{"result", "cannot-open"}, {"error", CannotBeOpenedText}}, 0, keyboard.Identity}, row);
            }
            for (const usbio::FoundKeyboard& keyboard : arrived) {
                const Key key = KeyOf(keyboard.Identity);
                if (active.count(key) || handled.count(key)) continue;  // one worker per unit
                Unit& unit = active[key];
                unit.keyboard = keyboard;
                unit.row = board.Add(KeyboardLabel(keyboard));
                board.Message(unit.row, "plugged in: updating.", LineKind::Note);
                unit.worker = std::jthread([&bench, &prepared, &unitFlash, &device, &board, keyboard, row = unit.row,
                                            run = unit.run, done = unit.done] {
                    *run = FlashOneKeyboard(bench, keyboard, prepared, unitFlash, device, board, row);
                    done->store(true);
                });
            }
        }
        if (!stopping && bench.Simulated() && active.empty() && watch->Finished()) break;
        changed = watch->WaitForChange(active.empty() ? 250 : 20, !active.empty());
    }
    int retried = 0;  // units that passed after a failed update
    for (const auto& [key, n] : attempts) retried += n > 1 && passedUnits[key] ? 1 : 0;
    const int passed = count(true), failed = count(false);
    Tell(stderr, "Station stopped: " + std::to_string(passed) + " passed" +
                     (retried > 0 ? " (" + std::to_string(retried) + " on a retry)" : "") + ", " + std::to_string(failed) +
                     " failed.");
    closing["units"] = passedUnits.size();
    closing["passed"] = passed;
    closing["failed"] = failed;
    closing["passedOnRetry"] = retried;
    if (logFailed) return end(ExitWriteFailed);
    return end(anyFailed ? ExitUploadFailed : ExitOK);
}

}  // namespace cli
