// A Kestrune keyboard that is on no USB bus (as one over Bluetooth is), made of the simulated
// keyboard (sim::SimKeyboard) and the kernel's uhid driver: the kernel sees a HID device with the
// keyboard's vendor and product ID, one vendor-defined 131-byte feature report, HID_PHYS and
// HID_UNIQ, and no USB device above it. Every feature report that a program sends or fetches
// through /dev/hidrawN arrives here and goes to the simulated keyboard. The keyboard as a USB
// device, with everything else the tests need, is kestrune-usb-keyboard (sim/).
//
// The device follows the keyboard's presence: when the keyboard re-enumerates (mode switch,
// restart after the upload) it is destroyed and created anew with the keyboard's current product
// ID and the same phys and uniq.
//
// Runs until SIGTERM or SIGINT; then removes its device, writes the flash (--flash-out) and prints
// a summary (key=value lines) on standard output. Diagnostics go to standard error.
//
//   uhid_keyboard [--firmware TEXT] [--phys TEXT] [--uniq TEXT] [--flash-out FILE]
//                 [--ready-file FILE] [--verbose]
//
// --phys, --uniq: where the keyboard is attached and its unique ID (default "kestrune-uhid" and
//           none), at most 63 characters each.
// --ready-file: written (with the node's name) each time the keyboard's hidraw node is there.
#include <fcntl.h>
#include <linux/input.h>
#include <linux/uhid.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "sim/ReportDescriptors.h"
#include "sim/SimKeyboard.h"

namespace {

namespace fs = std::filesystem;

volatile sig_atomic_t g_stop = 0;
bool g_verbose = false;
const kestrune::SteadyClock g_clock;
const std::int64_t g_startMs = g_clock.NowMs();

void Log(const std::string& text) {
    std::fprintf(stderr, "[uhid_keyboard %7.3f] %s\n", (g_clock.NowMs() - g_startMs) / 1000.0,
                 text.c_str());
}

void Verbose(const std::string& text) {
    if (g_verbose) Log(text);
}

std::string Hex4(unsigned value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%04X", value & 0xFFFFu);
    return buffer;
}

const char* EventName(std::uint32_t type) {
    switch (type) {
    case UHID_START: return "START";
    case UHID_STOP: return "STOP";
    case UHID_OPEN: return "OPEN";
    case UHID_CLOSE: return "CLOSE";
    case UHID_OUTPUT: return "OUTPUT";
    case UHID_GET_REPORT: return "GET_REPORT";
    case UHID_SET_REPORT: return "SET_REPORT";
    default: return "?";
    }
}

bool WriteEvent(int fd, const uhid_event& event) {
    for (;;) {
        const ssize_t n = ::write(fd, &event, sizeof event);
        if (n == static_cast<ssize_t>(sizeof event)) return true;
        if (n < 0 && errno == EINTR) continue;
        Log(std::string("write to /dev/uhid failed: ") + (n < 0 ? std::strerror(errno) : "short write"));
        return false;
    }
}

// The hidraw node (name only) of a HID device not in seen whose uevent carries HID_PHYS=phys and
// HID_UNIQ=uniq, if there is one yet; its HID device's name then goes into seen. The kernel
// numbers every HID device it creates afresh ("0003:2E5B:0011.0007"), so a device this program
// created earlier, or another interface with the same phys and uniq, is never taken for it.
std::optional<std::string> FindNewHidraw(const std::string& phys, const std::string& uniq,
                                         std::set<std::string>& seen) {
    std::error_code ec;
    fs::directory_iterator it("/sys/class/hidraw", ec);
    if (ec) return std::nullopt;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const std::string hidDevice = fs::canonical(it->path() / "device", ec).filename().string();
        if (ec || seen.count(hidDevice)) continue;
        std::ifstream in(it->path() / "device" / "uevent");
        bool physMatches = false, uniqMatches = false;
        for (std::string line; std::getline(in, line);) {
            physMatches = physMatches || line == "HID_PHYS=" + phys;
            uniqMatches = uniqMatches || line == "HID_UNIQ=" + uniq;
        }
        if (physMatches && uniqMatches) {
            seen.insert(hidDevice);
            return it->path().filename().string();
        }
    }
    return std::nullopt;
}

// The keyboard's uhid device: one open /dev/uhid. Every creation gets a fresh descriptor, so that
// nothing queued for an earlier incarnation can reach the new one.
struct UhidDevice {
    int fd = -1;
    std::string hidraw;
    bool Present() const { return fd >= 0; }
};

struct Options {
    std::string version = "V1.0";
    std::string phys = "kestrune-uhid";
    std::string uniq;
    std::string flashOut;
    std::string readyFile;
};

class Program {
public:
    explicit Program(const Options& options) : options_(options) {
        keyboard_ = std::make_unique<sim::SimKeyboard>(g_clock, sim::KernelKeyboardConfig(options.version, false));
    }

    int Run() {
        if (!Sync()) return 1;
        while (!g_stop) {
            pollfd pfd{kbd_.fd, POLLIN, 0};
            const int n = kbd_.Present() ? ::poll(&pfd, 1, 20) : (::usleep(20000), 0);
            if (n < 0 && errno != EINTR) {
                Log(std::string("poll failed: ") + std::strerror(errno));
                break;
            }
            if (n > 0 && (pfd.revents & POLLIN) && !ReadAndHandle()) return Finish(1);
            if (n > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) {
                Log("the uhid descriptor failed");
                return Finish(1);
            }
            if (!Sync()) return Finish(1);
        }
        return Finish(0);
    }

private:
    // Makes the kernel's device match where the simulated keyboard is now.
    bool Sync() {
        const bool onBus = keyboard_->IsOnBus();
        const unsigned generation = keyboard_->Generation();
        // A keyboard that answers and then drops off the bus has delivered that answer; uhid,
        // though, fails a read still waiting to be picked up by its caller when the device goes
        // away first. So the device stays a moment after the last answer.
        const bool mustGo = !onBus || generation != createdGeneration_;
        if (kbd_.Present() && mustGo && g_clock.NowMs() - lastAnswerMs_ < AnswerGraceMs) return true;
        if (kbd_.Present() && mustGo) {
            Log("keyboard leaves or re-enumerates (generation " + std::to_string(generation) + ")");
            Destroy();
        }
        if (!onBus || kbd_.Present()) return true;
        createdGeneration_ = generation;
        ++enumerations_;
        if (!Create(keyboard_->CurrentPID())) return false;
        if (!options_.readyFile.empty()) {
            const std::string temporary = options_.readyFile + ".new";
            { std::ofstream(temporary, std::ios::trunc) << kbd_.hidraw << ' ' << keyboard_->CurrentPID() << '\n'; }
            std::rename(temporary.c_str(), options_.readyFile.c_str());
        }
        return true;
    }

    bool Create(std::uint16_t product) {
        kbd_.fd = ::open("/dev/uhid", O_RDWR | O_CLOEXEC);
        if (kbd_.fd < 0) {
            Log(std::string("cannot open /dev/uhid: ") + std::strerror(errno));
            return false;
        }
        kbd_.hidraw.clear();
        auto event = std::make_unique<uhid_event>();
        std::memset(event.get(), 0, sizeof *event);
        event->type = UHID_CREATE2;
        uhid_create2_req& req = event->u.create2;
        std::snprintf(reinterpret_cast<char*>(req.name), sizeof req.name, "%s", "Kestrune Keyboard");
        std::snprintf(reinterpret_cast<char*>(req.phys), sizeof req.phys, "%s", options_.phys.c_str());
        std::snprintf(reinterpret_cast<char*>(req.uniq), sizeof req.uniq, "%s", options_.uniq.c_str());
        const std::vector<std::uint8_t>& descriptor = sim::KeyboardReportDescriptor;
        req.rd_size = static_cast<std::uint16_t>(descriptor.size());
        req.bus = BUS_BLUETOOTH;
        req.vendor = sim::KeyboardConfig{}.VendorID;
        req.product = product;
        req.version = 0x0100;
        std::memcpy(req.rd_data, descriptor.data(), descriptor.size());
        if (!WriteEvent(kbd_.fd, *event)) {
            CloseDevice();
            return false;
        }
        // Wait for the hidraw node; keep answering the kernel meanwhile.
        const std::int64_t deadline = g_clock.NowMs() + 5000;
        while (g_clock.NowMs() < deadline) {
            if (auto node = FindNewHidraw(options_.phys, options_.uniq, seenHidDevices_)) {
                kbd_.hidraw = *node;
                break;
            }
            pollfd pfd{kbd_.fd, POLLIN, 0};
            if (::poll(&pfd, 1, 5) > 0 && (pfd.revents & POLLIN) && !ReadAndHandle()) return false;
        }
        if (kbd_.hidraw.empty()) {
            Log("the keyboard got no hidraw node within 5 s");
            return false;
        }
        Log("created " + Hex4(req.vendor) + ":" + Hex4(product) + " as /dev/" + kbd_.hidraw);
        return true;
    }

    void Destroy() {
        if (!kbd_.Present()) return;
        uhid_event event{};
        event.type = UHID_DESTROY;
        WriteEvent(kbd_.fd, event);
        Log("destroyed /dev/" + kbd_.hidraw);
        CloseDevice();
    }

    void CloseDevice() {
        if (kbd_.fd >= 0) ::close(kbd_.fd);
        kbd_.fd = -1;
    }

    bool ReadAndHandle() {
        auto event = std::make_unique<uhid_event>();
        const ssize_t n = ::read(kbd_.fd, event.get(), sizeof *event);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
        if (n < static_cast<ssize_t>(sizeof event->type)) {
            Log(std::string("read from /dev/uhid failed: ") + (n < 0 ? std::strerror(errno) : "short read"));
            return false;
        }
        switch (event->type) {
        case UHID_GET_REPORT: return AnswerGet(event->u.get_report);
        case UHID_SET_REPORT: return AnswerSet(event->u.set_report);
        default:
            Verbose(EventName(event->type));
            return true;
        }
    }

    bool AnswerSet(const uhid_set_report_req& request) {
        const std::size_t size = std::min<std::size_t>(request.size, UHID_DATA_MAX);
        const bool ok = request.rtype == UHID_FEATURE_REPORT && keyboard_->TakeReport(request.data, size);
        ++setReports_;
        Verbose("SET_REPORT " + std::to_string(size) + " bytes" + (ok ? "" : ": EIO"));
        if (!ok) ++failedReplies_;
        auto reply = std::make_unique<uhid_event>();
        std::memset(reply.get(), 0, sizeof *reply);
        reply->type = UHID_SET_REPORT_REPLY;
        reply->u.set_report_reply.id = request.id;
        reply->u.set_report_reply.err = ok ? 0 : EIO;
        return WriteEvent(kbd_.fd, *reply);
    }

    bool AnswerGet(const uhid_get_report_req& request) {
        auto reply = std::make_unique<uhid_event>();
        std::memset(reply.get(), 0, sizeof *reply);
        reply->type = UHID_GET_REPORT_REPLY;
        reply->u.get_report_reply.id = request.id;
        // uhid hands the report-ID byte through: the reply is the whole 132-byte report.
        const std::size_t length = sim::KeyboardConfig{}.FeatureReportLength;
        const bool ok = request.rtype == UHID_FEATURE_REPORT && keyboard_->AnswerReport(reply->u.get_report_reply.data, length);
        if (ok) reply->u.get_report_reply.size = static_cast<std::uint16_t>(length);
        ++getReports_;
        Verbose(std::string("GET_REPORT") + (ok ? "" : ": EIO"));
        lastAnswerMs_ = g_clock.NowMs();
        if (!ok) ++failedReplies_;
        reply->u.get_report_reply.err = ok ? 0 : EIO;
        return WriteEvent(kbd_.fd, *reply);
    }

    int Finish(int status) {
        Destroy();
        if (!options_.flashOut.empty()) {
            const auto& flash = keyboard_->Flash();
            std::ofstream out(options_.flashOut, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(flash.data()),
                      static_cast<std::streamsize>(std::min(flash.size(), sim::FlashSize)));
            if (!out) {
                Log("cannot write " + options_.flashOut);
                status = 1;
            }
        }
        std::printf("set_reports=%d\nget_reports=%d\nfailed_replies=%d\nblocks=%d\nfinish=%d\n"
                    "mode_switches=%d\nenumerations=%d\nversion=%s\n",
                    setReports_, getReports_, failedReplies_, keyboard_->BlocksTaken(),
                    keyboard_->FinishTaken() ? 1 : 0, keyboard_->ModeSwitches(), enumerations_,
                    keyboard_->Version().c_str());
        std::fflush(stdout);
        return status;
    }

    Options options_;
    std::unique_ptr<sim::SimKeyboard> keyboard_;
    UhidDevice kbd_;
    std::set<std::string> seenHidDevices_;  // every HID device this program has created
    unsigned createdGeneration_ = 0;
    int enumerations_ = 0;
    int setReports_ = 0;
    int getReports_ = 0;
    int failedReplies_ = 0;
    static constexpr std::int64_t AnswerGraceMs = 25;
    std::int64_t lastAnswerMs_ = -AnswerGraceMs;
};

void OnSignal(int) { g_stop = 1; }

int Usage() {
    std::fprintf(stderr, "usage: uhid_keyboard [--firmware TEXT] [--phys TEXT] [--uniq TEXT] [--flash-out FILE]\n"
                         "                     [--ready-file FILE] [--verbose]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--verbose") {
            g_verbose = true;
            continue;
        }
        const char* v = i + 1 < argc ? argv[++i] : nullptr;
        // uhid takes 63 characters and a NUL; the kernel would cut a longer one silently.
        if (!v || std::strlen(v) > 63) return Usage();
        if (arg == "--firmware") options.version = v;
        else if (arg == "--phys" && *v) options.phys = v;
        else if (arg == "--uniq") options.uniq = v;
        else if (arg == "--flash-out") options.flashOut = v;
        else if (arg == "--ready-file") options.readyFile = v;
        else return Usage();
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    return Program(options).Run();
}
