// kestrune-usb-keyboard: the simulated keyboard as a real USB device, made by this machine's USB
// device controller (a board's device port, or dummy_hcd in a test machine): the computer at the
// other end of the cable sees a Kestrune keyboard, with its serial number, its port and its
// re-enumerations (into firmware-upload mode and back after an upload), and every feature report
// its programs send or fetch goes to the simulated keyboard.
//
// Runs until SIGTERM or SIGINT; then removes the device, writes the flash (--flash-out) and prints
// a summary (key=value lines) on standard output. Diagnostics go to standard error.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "sim/ReportDescriptors.h"
#include "sim/SimKeyboard.h"
#include "sim/UsbGadget.h"

namespace {

volatile sig_atomic_t g_stop = 0;
bool g_verbose = false;
const kestrune::SteadyClock g_clock;
const std::int64_t g_startMs = g_clock.NowMs();

void Log(const std::string& text) {
    std::fprintf(stderr, "[usb_keyboard %7.3f] %s\n", static_cast<double>(g_clock.NowMs() - g_startMs) / 1000.0,
                 text.c_str());
}

void Verbose(const std::string& text) {
    if (g_verbose) Log(text);
}

constexpr std::uint8_t HidGetReport = 0x01;
constexpr std::uint8_t HidSetIdle = 0x0A;
constexpr std::uint8_t HidSetReport = 0x09;
constexpr std::uint8_t FeatureReport = 3;

const char* const UsageText =
    "usage: kestrune-usb-keyboard [--firmware TEXT] [--serial TEXT] [--controller NAME[,NAME...]]\n"
    "                             [--name NAME] [--plain-first-interface] [--decoy] [--upload-mode]\n"
    "                             [--leave-after-block K] [--refuse-block K]\n"
    "                             [--no-answer-block K] [--hold-block K --hold-file FILE] [--gap MS]\n"
    "                             [--flash-out FILE] [--ready-file FILE] [--verbose]\n"
    "\n"
    "Makes this machine's USB device controller a Kestrune keyboard on the simulated keyboard.\n"
    "  --firmware TEXT      its firmware version (default V1.0; an old one, V1.0 or V1.1, asks for\n"
    "                       a replug, which this keyboard does by itself)\n"
    "  --serial TEXT        its USB serial number (default KT0001)\n"
    "  --controller LIST    the controllers (/sys/class/udc) it is plugged into: the first at the\n"
    "                       start, the next each time it comes back (after the switch to\n"
    "                       firmware-upload mode, after the upload), as into another port; the\n"
    "                       last one stays (default: the first controller)\n"
    "  --name NAME          the gadget's name in configfs (default kestrune; one per keyboard)\n"
    "  --plain-first-interface   a plain keyboard interface (key reports only) comes before the\n"
    "                       keyboard's own, as on a keyboard that types\n"
    "  --decoy              also another vendor's device with the same report, on a controller\n"
    "                       of its own (the last one that --controller leaves free)\n"
    "  --upload-mode        it starts in firmware-upload mode\n"
    "  --leave-after-block K   it leaves the bus right after taking write block K\n"
    "  --refuse-block K     it refuses write block K (the read of its answer is stalled)\n"
    "  --no-answer-block K  it takes write block K and never answers again (the read times out)\n"
    "  --hold-block K, --hold-file FILE   once it has taken write block K, it creates FILE and\n"
    "                       holds its answer until FILE is removed (at most 3 s)\n"
    "  --gap MS             it stays unplugged at least MS milliseconds each time it leaves\n"
    "  --flash-out FILE     its flash is written there at the end\n"
    "  --ready-file FILE    written with the controller and the product ID each time it is plugged in\n";

struct Options {
    std::string version = "V1.0";
    std::string serial = "KT0001";
    std::vector<std::string> controllers;
    std::string name = "kestrune";
    bool plainFirstInterface = false;
    bool decoy = false;
    bool uploadMode = false;
    int leaveAfterBlock = 0;
    int refuseBlock = 0;
    int noAnswerBlock = 0;
    int gapMs = 0;
    int holdBlock = 0;
    std::string holdFile;
    std::string flashOut;
    std::string readyFile;
};

using Descriptors = std::vector<std::vector<std::uint8_t>>;

class Program {
public:
    explicit Program(const Options& options)
        : options_(options),
          keyboardInterface_(options.plainFirstInterface ? 1 : 0),
          gadget_(options.name, options.plainFirstInterface
                                    ? Descriptors{sim::PlainKeyboardReportDescriptor, sim::KeyboardReportDescriptor}
                                    : Descriptors{sim::KeyboardReportDescriptor}) {
        sim::KeyboardConfig config = sim::KernelKeyboardConfig(options.version, options.uploadMode);
        config.Serial = options.serial;
        keyboard_ = std::make_unique<sim::SimKeyboard>(g_clock, config);
        keyboard_->Faults().LeaveBusAfterBlock = options.leaveAfterBlock;
        keyboard_->Faults().RefuseBlock = options.refuseBlock;
    }

    int Run() {
        if (options_.controllers.empty()) {
            const std::vector<std::string> all = sim::UsbGadget::Controllers();
            if (all.empty()) {
                Log("this machine has no USB device controller (/sys/class/udc is empty)");
                return 1;
            }
            options_.controllers = {all.front()};
        }
        sim::GadgetIdentity identity;
        identity.product = keyboard_->CurrentPID();
        identity.serial = options_.serial;
        std::string problem;
        if (!gadget_.Create(identity, problem) || (options_.decoy && !PlugInDecoy(problem))) {
            Log(problem);
            return Finish(1);
        }
        while (!g_stop) {
            if (!Sync()) return Finish(1);
            // A keyboard that no longer answers leaves the request it got open: the next read of
            // ep0 would refuse it (a stall) instead.
            sim::ControlRequest request;
            if (silent_)
                ::usleep(10000);
            else if (gadget_.NextRequest(10, request))
                request.interface == keyboardInterface_ ? Answer(request) : AnswerOther(gadget_, request, plainReports_);
            if (decoy_ && decoy_->NextRequest(0, request)) AnswerOther(*decoy_, request, decoyReports_);
        }
        return Finish(0);
    }

private:
    // Plugs the device in or out, or in again as another product, as the simulated keyboard is.
    bool Sync() {
        const bool onBus = keyboard_->IsOnBus();
        const unsigned generation = keyboard_->Generation();
        if (gadget_.Bound() && onBus && generation == boundGeneration_) return true;
        if (gadget_.Bound()) {
            Log(onBus ? "re-enumerates as product " + std::to_string(keyboard_->CurrentPID()) : "leaves the bus");
            gadget_.Unbind();
            unpluggedAtMs_ = g_clock.NowMs();
        }
        if (!onBus || g_clock.NowMs() - unpluggedAtMs_ < options_.gapMs) return true;
        const std::string& controller =
            options_.controllers[std::min<std::size_t>(enumerations_, options_.controllers.size() - 1)];
        std::string problem;
        if (!gadget_.Bind(controller, keyboard_->CurrentPID(), problem)) {
            Log(problem);
            return false;
        }
        boundGeneration_ = generation;
        ++enumerations_;
        Log("plugged into " + controller + " as 2E5B:" + std::to_string(keyboard_->CurrentPID()));
        if (!options_.readyFile.empty()) {
            const std::string temporary = options_.readyFile + ".new";
            { std::ofstream(temporary, std::ios::trunc) << controller << ' ' << keyboard_->CurrentPID() << '\n'; }
            std::rename(temporary.c_str(), options_.readyFile.c_str());
        }
        return true;
    }

    void Answer(const sim::ControlRequest& request) {
        if (gadget_.AnswerDescriptorRequest(request)) return;
        const bool classRequest = (request.requestType & 0x60) == 0x20;
        if (classRequest && !request.In() && request.request == HidSetIdle) {
            gadget_.Acknowledge();
        } else if (classRequest && !request.In() && request.request == HidSetReport &&
                   request.value >> 8 == FeatureReport) {
            // The host's HID driver leaves out report ID 0: 131 bytes come, the keyboard takes 132.
            std::vector<std::uint8_t> report(1 + request.length, 0);
            if (!gadget_.TakeData(report.data() + 1, request.length)) return;
            ++setReports_;
            // The data comes only once the request is accepted: a report the keyboard refuses
            // shows in the answer to the next read.
            refused_ = !keyboard_->TakeReport(report.data(), report.size());
            if (!refused_ && report[1] == sim::CmdWriteBlock) {
                const auto now = std::chrono::steady_clock::now();
                if (!firstBlock_) firstBlock_ = now;
                lastBlock_ = now;
            }
            Verbose("SET_REPORT " + std::to_string(request.length) + " bytes" + (refused_ ? ": refused" : ""));
        } else if (classRequest && request.In() && request.request == HidGetReport &&
                   request.value >> 8 == FeatureReport) {
            std::vector<std::uint8_t> report(sim::KeyboardConfig{}.FeatureReportLength, 0);
            ++getReports_;
            if (options_.noAnswerBlock > 0 && keyboard_->BlocksTaken() == options_.noAnswerBlock) {
                Log("block " + std::to_string(options_.noAnswerBlock) + " taken: no answer from now on");
                silent_ = true;
                return;
            }
            if (options_.holdBlock > 0 && keyboard_->BlocksTaken() == options_.holdBlock && !held_) Hold();
            const bool answered = !refused_ && keyboard_->AnswerReport(report.data(), report.size());
            refused_ = false;
            if (!answered) {
                ++failedReplies_;
                gadget_.Stall(request);
                Verbose("GET_REPORT: stalled");
                return;
            }
            gadget_.Reply(report.data() + 1, std::min<std::size_t>(report.size() - 1, request.length));
            Verbose("GET_REPORT answered");
        } else {
            Verbose("request " + std::to_string(request.requestType) + "/" + std::to_string(request.request) +
                    ": stalled");
            gadget_.Stall(request);
        }
    }

    // Another vendor's device with the keyboard's report, plugged in for the whole run.
    bool PlugInDecoy(std::string& problem) {
        std::string free;
        for (const std::string& controller : sim::UsbGadget::Controllers())
            if (std::find(options_.controllers.begin(), options_.controllers.end(), controller) == options_.controllers.end())
                free = controller;
        if (free.empty()) {
            problem = "--decoy needs a controller that --controller leaves free";
            return false;
        }
        decoy_ = std::make_unique<sim::UsbGadget>(options_.name + "decoy",
                                                  Descriptors{sim::KeyboardReportDescriptor});
        sim::GadgetIdentity identity;
        identity.vendor = 0x046D;
        identity.product = 0xC31C;
        identity.manufacturer = "Other Vendor";
        identity.productName = "Other Vendor Device";
        identity.serial = "OV0001";
        if (!decoy_->Create(identity, problem) || !decoy_->Bind(free, identity.product, problem)) return false;
        Log("decoy plugged into " + free);
        return true;
    }

    // An interface that is not the keyboard's: it describes itself and takes SET_IDLE; a report
    // request is counted and refused.
    static void AnswerOther(sim::UsbGadget& gadget, const sim::ControlRequest& request, int& reports) {
        if (gadget.AnswerDescriptorRequest(request)) return;
        if ((request.requestType & 0x60) == 0x20 && !request.In() && request.request == HidSetIdle) {
            gadget.Acknowledge();
            return;
        }
        if ((request.requestType & 0x60) == 0x20 && (request.request == HidGetReport || request.request == HidSetReport)) {
            ++reports;
            Log("a report request for another interface or device: refused");
        }
        gadget.Stall(request);
    }

    // Keeps the exchange in flight: the program that sent the block waits for its answer.
    void Hold() {
        held_ = true;
        { std::ofstream(options_.holdFile) << options_.holdBlock << '\n'; }
        Log("holding the answer to block " + std::to_string(options_.holdBlock));
        const std::int64_t deadline = g_clock.NowMs() + 3000;
        while (std::ifstream(options_.holdFile) && g_clock.NowMs() < deadline && !g_stop) ::usleep(10000);
        std::remove(options_.holdFile.c_str());
        Log("answering block " + std::to_string(options_.holdBlock));
    }

    int Finish(int status) {
        gadget_.Unbind();
        decoy_.reset();
        if (!options_.flashOut.empty()) {
            const auto& flash = keyboard_->Flash();
            std::ofstream out(options_.flashOut, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(flash.data()), static_cast<std::streamsize>(flash.size()));
            if (!out) {
                Log("cannot write " + options_.flashOut);
                status = 1;
            }
        }
        std::printf("set_reports=%d\nget_reports=%d\nfailed_replies=%d\nblocks=%d\nfinish=%d\n"
                    "mode_switches=%d\nenumerations=%d\nversion=%s\nplain_reports=%d\ndecoy_reports=%d\n"
                    "block_us=%lld\n",
                    setReports_, getReports_, failedReplies_, keyboard_->BlocksTaken(),
                    keyboard_->FinishTaken() ? 1 : 0, keyboard_->ModeSwitches(), static_cast<int>(enumerations_),
                    keyboard_->Version().c_str(), plainReports_, decoyReports_,
                    static_cast<long long>(firstBlock_ ? std::chrono::duration_cast<std::chrono::microseconds>(
                                                             lastBlock_ - *firstBlock_).count()
                                                       : 0));
        std::fflush(stdout);
        return status;
    }

    Options options_;
    std::size_t keyboardInterface_;
    sim::UsbGadget gadget_;
    std::unique_ptr<sim::UsbGadget> decoy_;
    std::unique_ptr<sim::SimKeyboard> keyboard_;
    unsigned boundGeneration_ = 0;
    std::size_t enumerations_ = 0;
    bool refused_ = false;
    bool silent_ = false;
    bool held_ = false;
    // When the first and the last write-block report arrived: the upload's pace, seen from here.
    std::optional<std::chrono::steady_clock::time_point> firstBlock_;
    std::chrono::steady_clock::time_point lastBlock_;
    std::int64_t unpluggedAtMs_ = INT64_MIN / 2;
    int setReports_ = 0;
    int getReports_ = 0;
    int failedReplies_ = 0;
    int plainReports_ = 0;
    int decoyReports_ = 0;
};

void OnSignal(int) { g_stop = 1; }

bool ParseCount(const char* text, int& out) {
    char* end = nullptr;
    const long value = text ? std::strtol(text, &end, 10) : -1;
    if (!text || *end != '\0' || value < 1 || value > 1000000) return false;
    out = static_cast<int>(value);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto text = [&](std::string& out) {
            if (!value || !*value) return false;
            out = value;
            ++i;
            return true;
        };
        auto count = [&](int& out) { return ParseCount(value, out) && ++i; };
        bool ok = true;
        if (arg == "--help" || arg == "-h") {
            std::fputs(UsageText, stdout);
            return 0;
        } else if (arg == "--firmware") {
            ok = text(options.version);
        } else if (arg == "--serial") {
            ok = text(options.serial);
        } else if (arg == "--name") {
            ok = text(options.name) && std::all_of(options.name.begin(), options.name.end(),
                                                    [](unsigned char c) { return std::isalnum(c) != 0; });
        } else if (arg == "--controller") {
            std::string list;
            ok = text(list);
            std::istringstream names(list);
            for (std::string name; ok && std::getline(names, name, ',');)
                if (!name.empty()) options.controllers.push_back(name);
        } else if (arg == "--plain-first-interface") {
            options.plainFirstInterface = true;
        } else if (arg == "--decoy") {
            options.decoy = true;
        } else if (arg == "--upload-mode") {
            options.uploadMode = true;
        } else if (arg == "--leave-after-block") {
            ok = count(options.leaveAfterBlock);
        } else if (arg == "--refuse-block") {
            ok = count(options.refuseBlock);
        } else if (arg == "--no-answer-block") {
            ok = count(options.noAnswerBlock);
        } else if (arg == "--gap") {
            ok = count(options.gapMs);
        } else if (arg == "--hold-block") {
            ok = count(options.holdBlock);
        } else if (arg == "--hold-file") {
            ok = text(options.holdFile);
        } else if (arg == "--flash-out") {
            ok = text(options.flashOut);
        } else if (arg == "--ready-file") {
            ok = text(options.readyFile);
        } else if (arg == "--verbose") {
            g_verbose = true;
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "kestrune-usb-keyboard: bad option %s\n%s", arg.c_str(), UsageText);
            return 2;
        }
    }

    if ((options.holdBlock > 0) != !options.holdFile.empty()) {
        std::fprintf(stderr, "kestrune-usb-keyboard: --hold-block and --hold-file go together\n%s", UsageText);
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    return Program(options).Run();
}
