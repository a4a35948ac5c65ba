#pragma once
// What every device command of the command-line tool works with: the HID platform (this
// computer's, or the simulated keyboard), the connection state, the clock and the waits, and the
// user's Ctrl+C.
#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "sim/SimHidPlatform.h"
#include "usbio/DeviceIO.h"
#include "usbio/Discovery.h"
#include "usbio/FollowedKeyboard.h"

namespace cli {

// A fault for the simulated keyboard (--simulate-fault): its name and, for those that take one,
// its number. Names: refuse-block:N, no-answer-block:N, leave-after-block:N, fail-set:N and fail-get:N (the N-th
// exchange), reply-bytes:N (every reply that long), ignore-finish, never-return, no-permission,
// version-without-nul, busy:PID (another program holds the keyboard; 0: PID unknown),
// sigint-at-block:N, sigterm-at-block:N, sighup-at-block:N (the signal arrives while block N is
// being exchanged; one fault per signal), sigint-at-listing:N (Ctrl+C as the bus is listed for the
// N-th time, by any search), sigkill-at-block:N (the tool is ended at once, as by kill -9, while
// block N is exchanged), upload-mode (the keyboard starts in firmware-upload mode), no-serial (the
// keyboard has no serial number), no-identity (no port and no serial number, as a keyboard whose
// identity cannot be read), other-port (the keyboard comes back at another port each time it
// returns to the bus).
// A keyboard fault applies to the first simulated keyboard, or with "@K" after it to the K-th
// ("refuse-block:3@2"); a fault of the bus (busy, no-permission, reply-bytes, fail-set, fail-get)
// to every keyboard, or with "@K" to the K-th only. Nothing for an unknown name, or a number that
// is missing, not decimal or larger than an int holds.
struct SimulatedFault {
    std::string name;
    int number = 0;
    int keyboard = 0;  // which simulated keyboard a keyboard fault is for, 0-based ("FAULT@K": K-1)
    bool oneKeyboard = false;  // "@K" was given
};
std::optional<SimulatedFault> ParseSimulatedFault(const std::string& text);
// Every fault ParseSimulatedFault takes, as the user writes it ("refuse-block:N", "busy:PID",
// "ignore-finish"): the one list the help and the suggestions for typos are made from.
const std::vector<std::string>& SimulatedFaultForms();

// The program's arguments as UTF-8. On Windows they are taken from the wide command line
// (GetCommandLineW), whatever the ANSI code page; elsewhere they are argv as it is.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// A path from UTF-8 text and back, the same on every system (on Windows a wide path).
std::filesystem::path PathFromUtf8(const std::string& text);
std::string Utf8FromPath(const std::filesystem::path& path);

// Number of Ctrl+C presses since the handler was installed; SIGTERM and SIGHUP count as two (a
// second Ctrl+C) and set Terminated().
int Interrupts();
bool Terminated();
// From here on SIGINT, SIGTERM and SIGHUP are taken by a thread of their own (on Windows: Ctrl+C
// and Ctrl+Break by the console's handler thread) and only counted: the thread that exchanges
// reports with the keyboard never sees them, so no exchange is cut short; the upload looks at the
// count between blocks. Call it before any other thread is started. Safe to call twice.
void InstallInterruptHandler();
// For the simulated keyboard's signal faults: sends the signal to this process and returns once
// the handler has counted it.
void RaiseAndWait(int signal);

std::filesystem::path ProgramFolder();

// The pace of the simulated keyboard.
struct SimulationPace {
    bool realtime = false;               // on the steady clock, with real waits (else virtual time)
    std::int64_t transferLatencyMs = 0;  // what each transfer of the keyboard takes
};

class Session {
public:
    struct ForWorker {};
    // With a version text: the simulated keyboard reporting that version, at the given pace;
    // simulateCount of them, each at a port and with a serial number of its own (1-4 and KS0001,
    // 1-5 and KS0002, ...). The faults apply as ParseSimulatedFault says.
    explicit Session(const std::optional<std::string>& simulateVersion,
                     const std::vector<std::string>& simulatedFaults = {}, SimulationPace pace = {},
                     int simulateCount = 1);
    // A session of its own (connection, followed keyboard) on the same platform, clock and
    // simulated keyboards as bench: for a worker that flashes one keyboard while others flash
    // theirs. The bench outlives it.
    Session(Session& bench, ForWorker);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    usbio::HidPlatform& Hid() { return *bench_->hid; }
    usbio::DeviceConnection& Connection() { return *connection_; }
    // The session's time: on hardware and at a real pace the steady clock. On virtual time with
    // several simulated keyboards each keyboard lives on a clock of its own, and a session that
    // follows one (Follow) waits on that keyboard's: keyboards updated side by side then never move
    // each other's time, and every one of them sees its own waits and timeouts as if it were alone.
    const kestrune::Clock& Clock() const { return *clock_; }
    bool Simulated() const { return !bench_->keyboards.empty(); }
    sim::SimKeyboard* Keyboard() { return Simulated() ? bench_->keyboards.front().get() : nullptr; }
    sim::SimHidPlatform* SimulatedBus() { return bench_->simulatedBus; }
    // Every simulated keyboard, the first one first; none on hardware.
    std::vector<sim::SimKeyboard*> Keyboards();

    // Waits; on virtual time it moves the clock on and returns at once.
    void Sleep(int ms);

    usbio::DiscoveryHooks Hooks();
    // Every keyboard attached, each checked and closed again; table errors are left to Scan. The
    // sessions on this bench remember every keyboard it found: none of them is taken for another
    // one that comes back at another port.
    // With unopened, also the keyboards that are there but may not be opened (no permission), and
    // with access, what the search saw of them (for usbio::AccessProblemHint).
    std::vector<usbio::FoundKeyboard> FindAll(std::vector<usbio::FoundKeyboard>* unopened = nullptr,
                                              usbio::DiscoveryReport* access = nullptr);
    // From here on every search looks only at this keyboard (usbio::FollowedKeyboard), through
    // its restarts, its switch into firmware-upload mode and a replug into another port.
    void Follow(const usbio::FoundKeyboard& keyboard);
    // The keyboard followed, with its port and device path as the last search that opened it saw.
    const std::optional<usbio::FoundKeyboard>& Following() const { return follow_; }
    // Whether the keyboard followed can be told only by its device path (usbio::FollowedKeyboard).
    bool FollowingByPath() const { return trail_ && trail_->ByPath(); }
    // One search for the keyboard, without the one-second waits: only interfaces that can be the
    // keyboard are opened. Table errors of PIDDef.txt go to onTableError (once per run). A
    // keyboard followed may come back at another port in the mode expected.
    usbio::DiscoveryReport Scan(usbio::ExpectedMode expected = usbio::ExpectedMode::Either);
    std::function<void(const std::string&)> onTableError;
    // The product-ID file the user named; empty: the one usbio::FindProductIdFile finds.
    std::filesystem::path productIdFile;

private:
    // What the sessions of one command share: the clock, the simulated keyboards, the platform.
    struct Bench {
        std::unique_ptr<kestrune::Clock> clock;
        kestrune::VirtualClock* virtualClock = nullptr;
        std::vector<std::unique_ptr<sim::SimKeyboard>> keyboards;
        std::vector<std::unique_ptr<kestrune::VirtualClock>> keyboardClocks;  // one per keyboard, or none
        sim::SimHidPlatform* simulatedBus = nullptr;
        std::unique_ptr<usbio::HidPlatform> hid;
        std::mutex foundMutex;
        std::vector<usbio::FoundKeyboard> found;    // what the last FindAll found
        std::vector<usbio::DeviceIdentity> seen;  // every identity any FindAll found, once each
        // PIDDef.txt is read once a run (it may hold 32,767 IDs), and its errors said once.
        std::mutex tableMutex;
        std::map<std::filesystem::path, std::shared_ptr<const usbio::ProductIdTable>> tables;
        std::set<std::string> tableErrorsShown;
    };
    std::shared_ptr<Bench> bench_;
    std::unique_ptr<usbio::DeviceConnection> connection_;
    const kestrune::Clock* clock_ = nullptr;
    kestrune::VirtualClock* virtualClock_ = nullptr;  // clock_ when it is virtual
    std::optional<usbio::FoundKeyboard> follow_;
    std::optional<usbio::FollowedKeyboard> trail_;
};

}  // namespace cli
