#include "cli/Session.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#if defined(_WIN32)
#include <windows.h>

#include "usbio/WindowsHidPlatform.h"
using PlatformHid = usbio::WindowsHidPlatform;
#else
#include <unistd.h>

#include "usbio/LinuxHidPlatform.h"
using PlatformHid = usbio::LinuxHidPlatform;
#endif

namespace cli {
namespace {

std::atomic<int> interrupts{0};

extern "C" void OnInterrupt(int) {
    interrupts.fetch_add(1);
    std::signal(SIGINT, OnInterrupt);
}

}  // namespace

int Interrupts() { return interrupts.load(); }

void InstallInterruptHandler() { std::signal(SIGINT, OnInterrupt); }

std::filesystem::path ProgramFolder() {
#if defined(_WIN32)
    char path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::filesystem::current_path();
    return std::filesystem::path(path).parent_path();
#else
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::current_path() : self.parent_path();
#endif
}

Session::Session(const std::optional<std::string>& simulateVersion,
                 const std::vector<std::string>& simulatedFaults) {
    if (simulateVersion) {
        auto clock = std::make_unique<kestrune::VirtualClock>();
        virtualClock_ = clock.get();
        clock_ = std::move(clock);
        sim::KeyboardConfig config;
        config.Version = *simulateVersion;
        config.ReturnPolicy = sim::KeyboardConfig::Return::Automatic;
        config.ReturnDelayMs = 2000;
        keyboard_ = std::make_unique<sim::SimKeyboard>(*clock_, config);
        auto hid = std::make_unique<sim::SimHidPlatform>(*keyboard_);
        for (const std::string& fault : simulatedFaults) {
            const auto colon = fault.find(':');
            const std::string name = fault.substr(0, colon);
            const int n = colon == std::string::npos ? 0 : std::atoi(fault.c_str() + colon + 1);
            if (name == "refuse-block") keyboard_->Faults().RefuseBlock = n;
            if (name == "leave-after-block") keyboard_->Faults().LeaveBusAfterBlock = n;
            if (name == "ignore-finish") keyboard_->Faults().IgnoreFinish = true;
            if (name == "never-return") keyboard_->Config().ReturnPolicy = sim::KeyboardConfig::Return::Never;
            if (name == "no-permission") hid->Faults().KeyboardPermissionDenied = true;
        }
        hid_ = std::move(hid);
    } else {
        clock_ = std::make_unique<kestrune::SteadyClock>();
        hid_ = std::make_unique<PlatformHid>();
    }
    connection_ = std::make_unique<usbio::DeviceConnection>(*hid_);
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
    hooks.SkipByPeek = true;
    hooks.ShowTableError = [this](const std::string& text) {
        // Shown once per search, not once per interface.
        if (text == lastTableError_) return;
        lastTableError_ = text;
        if (onTableError) onTableError(text);
    };
    return hooks;
}

usbio::DiscoveryReport Session::Scan() {
    usbio::DiscoveryReport report;
    lastTableError_.clear();
    usbio::InitDeviceIO(*connection_);
    connection_->MatchedPID = usbio::NormalModePID;
    usbio::FindDevice(*connection_, Hooks(), &report);
    return report;
}

}  // namespace cli
