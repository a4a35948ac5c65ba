#include "cli/Session.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#if defined(_WIN32)
#include <windows.h>

#include <shellapi.h>

#include "usbio/WindowsHidPlatform.h"
using PlatformHid = usbio::WindowsHidPlatform;
#else
#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include "usbio/LinuxHidPlatform.h"
using PlatformHid = usbio::LinuxHidPlatform;
#endif

namespace cli {
namespace {

#if defined(_WIN32)
constexpr int HangupSignal = SIGTERM;  // Windows has no SIGHUP
#else
constexpr int HangupSignal = SIGHUP;
#endif

std::atomic<int> interrupts{0};
std::atomic<bool> terminated{false};
std::atomic<bool> installed{false};

#if !defined(_WIN32)
// The terminal's settings before Ctrl+C stopped being echoed, put back at exit.
termios terminalBefore{};

// Ctrl+C is the tool's own to answer while it runs: the terminal is kept from echoing it as "^C"
// into the progress line or in front of the tool's answer. Only a run in the terminal's
// foreground does so (one started with '&' may not set the terminal: the system would stop it,
// and its Ctrl+C goes to the foreground anyway); the settings are put back at exit, also when the
// run has been moved to the background meanwhile (SIGTTOU held back for that one call).
void KeepControlCharactersFromEcho() {
    if (!::isatty(STDIN_FILENO) || ::tcgetpgrp(STDIN_FILENO) != ::getpgrp() ||
        ::tcgetattr(STDIN_FILENO, &terminalBefore) != 0)
        return;
    if ((terminalBefore.c_lflag & ECHOCTL) == 0) return;
    termios quiet = terminalBefore;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHOCTL);
    if (::tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0)
        std::atexit([] {
            sigset_t ttou, before;
            sigemptyset(&ttou);
            sigaddset(&ttou, SIGTTOU);
            ::pthread_sigmask(SIG_BLOCK, &ttou, &before);
            ::tcsetattr(STDIN_FILENO, TCSANOW, &terminalBefore);
            ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
        });
}
#endif

void Count(int signal) {
    if (signal == SIGINT) {
        interrupts.fetch_add(1);
        return;
    }
    // SIGTERM, SIGHUP (a closed terminal, a service manager): as a second Ctrl+C.
    terminated.store(true);
    interrupts.fetch_add(2);
}

#if defined(_WIN32)
extern "C" void OnInterrupt(int signal) {
    Count(signal);
    std::signal(signal, OnInterrupt);
}
#endif

}  // namespace

const std::vector<std::string>& SimulatedFaultForms() {
    static const std::vector<std::string> forms{
        "refuse-block:N", "no-answer-block:N", "leave-after-block:N", "fail-set:N", "fail-get:N",
        "reply-bytes:N", "no-answer-switch", "ignore-finish", "never-return", "no-permission",
        "version-without-nul", "busy:PID", "sigint-at-block:N", "sigterm-at-block:N", "sighup-at-block:N", "sigint-at-listing:N",
        "sigkill-at-block:N", "upload-mode", "no-serial", "no-identity", "other-port"};
    return forms;
}

std::optional<SimulatedFault> ParseSimulatedFault(const std::string& whole) {
    std::string text = whole;
    int keyboard = 0;
    const bool oneKeyboard = whole.rfind('@') != std::string::npos;
    if (const auto at = whole.rfind('@'); at != std::string::npos) {
        const char* first = whole.data() + at + 1;
        const char* last = whole.data() + whole.size();
        if (first == last || *first < '1' || *first > '9') return std::nullopt;
        const auto [end, error] = std::from_chars(first, last, keyboard);
        if (error != std::errc{} || end != last) return std::nullopt;
        --keyboard;
        text = whole.substr(0, at);
    }
    const auto colon = text.find(':');
    SimulatedFault fault{text.substr(0, colon), 0, keyboard, oneKeyboard};
    for (const std::string& form : SimulatedFaultForms()) {
        const auto formColon = form.find(':');
        if (form.substr(0, formColon) != fault.name) continue;
        if ((formColon == std::string::npos) != (colon == std::string::npos)) return std::nullopt;
        if (colon == std::string::npos) return fault;
        const char* first = text.data() + colon + 1;
        const char* last = text.data() + text.size();
        if (first == last || *first < '0' || *first > '9') return std::nullopt;
        const auto [end, error] = std::from_chars(first, last, fault.number);
        if (error != std::errc{} || end != last) return std::nullopt;
        return fault;
    }
    return std::nullopt;
}

int Interrupts() { return interrupts.load(); }

bool Terminated() { return terminated.load(); }

void InstallInterruptHandler() {
    if (installed.exchange(true)) return;
#if defined(_WIN32)
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGBREAK, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
#else
    // Blocked in this thread, and so in every thread started from it; the thread below takes
    // them with sigwait. Blocked signals cannot interrupt an ioctl in flight.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, HangupSignal);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    KeepControlCharactersFromEcho();
    std::thread([set] {
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) == 0) Count(signal);
        }
    }).detach();
#endif
}

void RaiseAndWait(int signal) {
    const int before = interrupts.load();
#if defined(_WIN32)
    std::raise(signal);
#else
    ::kill(::getpid(), signal);
#endif
    while (interrupts.load() == before) std::this_thread::yield();
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
#if defined(_WIN32)
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide != nullptr) {
        std::vector<std::string> args;
        for (int i = 0; i < count; ++i) args.push_back(Utf8FromPath(std::filesystem::path(wide[i])));
        LocalFree(wide);
        return args;
    }
#endif
    return std::vector<std::string>(argv, argv + argc);
}

std::filesystem::path PathFromUtf8(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string Utf8FromPath(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::filesystem::path ProgramFolder() {
#if defined(_WIN32)
    std::vector<wchar_t> path(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0 || n >= path.size()) return std::filesystem::current_path();
    return std::filesystem::path(path.data()).parent_path();
#else
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::current_path() : self.parent_path();
#endif
}

Session::Session(const std::optional<std::string>& simulateVersion,
                 const std::vector<std::string>& simulatedFaults, SimulationPace pace,
                 int simulateCount)
    : bench_(std::make_shared<Bench>()) {
    Bench& bench = *bench_;
    if (simulateVersion) {
        if (pace.realtime) {
            bench.clock = std::make_unique<kestrune::SteadyClock>();
        } else {
            auto clock = std::make_unique<kestrune::VirtualClock>();
            bench.virtualClock = clock.get();
            bench.clock = std::move(clock);
        }
        std::vector<std::optional<SimulatedFault>> faults;
        for (const std::string& text : simulatedFaults) faults.push_back(ParseSimulatedFault(text));
        sim::KeyboardConfig config;
        config.Version = *simulateVersion;
        config.ReturnPolicy = sim::KeyboardConfig::Return::Automatic;
        config.ReturnDelayMs = 2000;
        config.TransferLatencyMs = pace.transferLatencyMs;
        std::vector<sim::SimKeyboard*> keyboards;
        const int count = std::max(simulateCount, 1);
        for (int k = 0; k < count; ++k) {
            config.StartInUploadMode = std::any_of(faults.begin(), faults.end(), [k](const auto& fault) {
                return fault && fault->name == "upload-mode" && fault->keyboard == k;
            });
            char serial[16];
            std::snprintf(serial, sizeof serial, "KS%04d", (k + 1) % 10000);
            config.PortPath = "1-" + std::to_string(4 + k);
            config.Serial = serial;
            if (std::any_of(faults.begin(), faults.end(), [k](const auto& fault) {
                    return fault && fault->name == "no-serial" && fault->keyboard == k;
                }))
                config.Serial.clear();
            kestrune::Clock* clock = bench.clock.get();
            std::function<void(std::int64_t)> passTime = [](std::int64_t ms) {
                std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            };
            if (bench.virtualClock && count > 1) {
                bench.keyboardClocks.push_back(std::make_unique<kestrune::VirtualClock>());
                kestrune::VirtualClock* own = bench.keyboardClocks.back().get();
                clock = own;
                passTime = [own](std::int64_t ms) { own->Advance(ms); };
            } else if (bench.virtualClock) {
                passTime = [own = bench.virtualClock](std::int64_t ms) { own->Advance(ms); };
            }
            auto keyboard = std::make_unique<sim::SimKeyboard>(*clock, config);
            keyboard->SetPassTime(std::move(passTime));
            keyboards.push_back(keyboard.get());
            bench.keyboards.push_back(std::move(keyboard));
        }
        auto hid = std::make_unique<sim::SimHidPlatform>(keyboards);
        for (const auto& fault : faults) {
            if (!fault) continue;
            const std::string& name = fault->name;
            const int n = fault->number;
            // A keyboard fault for a keyboard that is not there is left out.
            if (fault->keyboard < 0 || fault->keyboard >= static_cast<int>(keyboards.size())) continue;
            const auto k = static_cast<std::size_t>(fault->keyboard);
            sim::SimKeyboard& keyboard = *keyboards[k];
            sim::PlatformFaults& bus = fault->oneKeyboard ? hid->FaultsOf(k) : hid->Faults();
            if (name == "refuse-block") keyboard.Faults().RefuseBlock = n;
            if (name == "no-answer-block") keyboard.Faults().NoAnswerToBlock = n;
            if (name == "leave-after-block") keyboard.Faults().LeaveBusAfterBlock = n;
            if (name == "fail-set") bus.FailSetOfExchange = n;
            if (name == "fail-get") bus.FailGetOfExchange = n;
            if (name == "reply-bytes") bus.ReplyBytes = static_cast<std::size_t>(n);
            if (name == "ignore-finish") keyboard.Faults().IgnoreFinish = true;
            if (name == "never-return") keyboard.Config().ReturnPolicy = sim::KeyboardConfig::Return::Never;
            if (name == "no-permission") bus.KeyboardPermissionDenied = true;
            if (name == "version-without-nul") keyboard.Faults().VersionWithoutNul = true;
            if (name == "no-answer-switch") keyboard.Faults().NoAnswerToSwitch = true;
            if (name == "busy") bus.KeyboardHeldBy = n;
            if (name == "no-identity") {
                keyboard.Config().PortPath.clear();
                keyboard.Config().Serial.clear();
            }
            if (name == "other-port") keyboard.Faults().ReturnsAtAnotherPort = true;
            if (name == "sigint-at-listing") {
                hid->Faults().DuringListing.emplace(n, [] { RaiseAndWait(SIGINT); });
            } else if (name == "sigkill-at-block") {
                // Ended at once, as by kill -9 or a power cut: nothing is flushed or closed.
                keyboard.Faults().DuringBlock.emplace(n, [] { std::_Exit(137); });
            } else if (name.starts_with("sig")) {
                const int signal = name == "sigint-at-block" ? SIGINT : name == "sigterm-at-block" ? SIGTERM : HangupSignal;
                keyboard.Faults().DuringBlock.emplace(n, [signal] { RaiseAndWait(signal); });
            }
        }
        bench.simulatedBus = hid.get();
        bench.hid = std::move(hid);
    } else {
        bench.clock = std::make_unique<kestrune::SteadyClock>();
        bench.hid = std::make_unique<PlatformHid>();
    }
    connection_ = std::make_unique<usbio::DeviceConnection>(*bench.hid);
    clock_ = bench.clock.get();
    virtualClock_ = bench.virtualClock;
}

Session::Session(Session& bench, ForWorker)
    : bench_(bench.bench_),
      connection_(std::make_unique<usbio::DeviceConnection>(*bench_->hid)),
      clock_(bench_->clock.get()),
      virtualClock_(bench_->virtualClock) {
    productIdFile = bench.productIdFile;
}

void Session::Follow(const usbio::FoundKeyboard& keyboard) {
    follow_ = keyboard;
    std::vector<usbio::FoundKeyboard> found;
    {
        const std::lock_guard lock(bench_->foundMutex);
        found = bench_->found;
        for (const usbio::DeviceIdentity& identity : bench_->seen) found.push_back({{}, {}, 0, 0, identity});
    }
    usbio::DiscoveryHooks hooks = Hooks();
    trail_.emplace(keyboard, found, usbio::PeekKeyboards(Hid(), hooks));
    // A simulated keyboard's own clock: the keyboard at that port now (it may have come back at
    // another one since it was set up).
    for (std::size_t k = 0; k < bench_->keyboardClocks.size(); ++k) {
        sim::SimKeyboard& simulated = *bench_->keyboards[k];
        if (simulated.PortPath() == keyboard.Identity.PortPath && simulated.Config().Serial == keyboard.Identity.Serial) {
            clock_ = virtualClock_ = bench_->keyboardClocks[k].get();
            return;
        }
    }
}

std::vector<sim::SimKeyboard*> Session::Keyboards() {
    std::vector<sim::SimKeyboard*> all;
    for (const auto& k : bench_->keyboards) all.push_back(k.get());
    return all;
}

Session::~Session() { usbio::CloseDevice(*connection_); }

void Session::Sleep(int ms) {
    if (virtualClock_) {
        virtualClock_->Advance(ms);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

usbio::DiscoveryHooks Session::Hooks() {
    usbio::DiscoveryHooks hooks;
    hooks.ProgramFolder = ProgramFolder();
    hooks.ProductIdFile = productIdFile;
    hooks.SkipByPeek = true;
    const std::lock_guard lock(bench_->tableMutex);
    std::shared_ptr<const usbio::ProductIdTable>& table =
        bench_->tables[productIdFile.empty() ? usbio::FindProductIdFile(ProgramFolder()) : productIdFile];
    if (!table) table = usbio::ProductIdTableOf(hooks);
    hooks.Table = table;
    hooks.ShowTableError = [this](const std::string& text) {
        // Shown once per run, not once per search or interface.
        {
            const std::lock_guard shownLock(bench_->tableMutex);
            if (!bench_->tableErrorsShown.insert(text).second) return;
        }
        if (onTableError) onTableError(text);
    };
    if (trail_) {
        hooks.Accept = [this](const std::string& path) { return trail_->Accepts(path, Hid().PeekIdentity(path)); };
    }
    return hooks;
}

std::vector<usbio::FoundKeyboard> Session::FindAll(std::vector<usbio::FoundKeyboard>* unopened,
                                                   usbio::DiscoveryReport* access) {
    usbio::DiscoveryHooks hooks = Hooks();
    hooks.ShowTableError = nullptr;
    hooks.Accept = nullptr;
    usbio::DiscoveryReport report;
    std::vector<usbio::FoundKeyboard> all = usbio::FindAllDevices(Hid(), hooks, &report);
    if (unopened) *unopened = usbio::UnopenedKeyboards(Hid(), report, all);
    if (access) *access = report;
    const std::lock_guard lock(bench_->foundMutex);
    bench_->found = all;
    for (const usbio::FoundKeyboard& k : all) {
        const bool told = !k.Identity.PortPath.empty() || !k.Identity.Serial.empty();
        if (told && std::find(bench_->seen.begin(), bench_->seen.end(), k.Identity) == bench_->seen.end())
            bench_->seen.push_back(k.Identity);
    }
    return all;
}

usbio::DiscoveryReport Session::Scan(usbio::ExpectedMode expected) {
    usbio::DiscoveryReport report;
    usbio::InitDeviceIO(*connection_);
    connection_->MatchedPID = usbio::NormalModePID;
    usbio::DiscoveryHooks hooks = Hooks();
    std::string opened;
    if (trail_) {
        trail_->Look(usbio::PeekKeyboards(Hid(), hooks), expected);
        hooks.Accept = [this, &opened](const std::string& path) {
            if (!trail_->Accepts(path, Hid().PeekIdentity(path))) return false;
            opened = path;  // a search ends at the interface it opens
            return true;
        };
    }
    usbio::FindDevice(*connection_, hooks, &report);
    if (trail_ && connection_->IsOpen()) {
        follow_->Path = opened;
        follow_->Identity = trail_->Identity();
    }
    return report;
}

}  // namespace cli
