// A Kestrune keyboard made of the simulated keyboard (sim::SimKeyboard) and the kernel's uhid
// driver: the kernel sees a HID device on the USB bus with the keyboard's vendor and product ID
// and one vendor-defined 131-byte feature report, and every feature report that a program sends
// or fetches through /dev/hidrawN arrives here and goes to the simulated keyboard.
//
// The device follows the keyboard's presence: when the keyboard leaves the bus the device is
// destroyed, and when it comes back or re-enumerates (mode switch, restart after the upload) it
// is created anew with the keyboard's current product ID, as a real keyboard does on USB.
//
// Runs until SIGTERM or SIGINT; then removes its devices, writes the flash (--flash-out) and
// prints a summary (key=value lines) on standard output. Diagnostics go to standard error.
//
//   uhid_keyboard [--firmware TEXT] [--leave-after-block K] [--refuse-block K]
//                 [--plain-first-interface] [--decoy] [--upload-mode] [--gap MS]
//                 [--phys TEXT] [--uniq TEXT]
//                 [--flash-out FILE] [--ready-file FILE] [--verbose]
//                 [--hold-block K --hold-file FILE]
//
// --phys, --uniq: where the keyboard is attached and its serial number (default "kestrune-uhid" and
//           none), at most 56 and 63 characters. Its interfaces give the kernel PHYS/input0 (the
//           plain one) and PHYS/input1 as HID_PHYS, as USB's HID driver writes it, and UNIQ as
//           HID_UNIQ; every incarnation of the keyboard keeps them, as a USB keyboard keeps its
//           port and serial, so that several keyboards can be told apart.
// --gap MS: the keyboard stays off the bus at least MS milliseconds each time it leaves or
//           re-enumerates (a USB keyboard takes a moment to restart; Wine's winebus loses a
//           device that arrives while the removal of the one before is still being handled).
// --upload-mode: the keyboard starts in firmware-upload mode (product ID 6) and stores the blocks
//                it is sent, as during an upload.
// --ready-file: written (with the node's name) each time the keyboard's hidraw node is there.
// --hold-block, --hold-file: once the keyboard has taken write-block K, it creates FILE and holds
//                its answer to that report until FILE is removed (at most 3 s, below uhid's 5 s),
//                so that a test can act while an exchange is in flight.
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

const std::vector<std::uint8_t>& KeyboardDescriptor = sim::KeyboardReportDescriptor;
const std::vector<std::uint8_t>& PlainKeyboardDescriptor = sim::PlainKeyboardReportDescriptor;

constexpr std::uint16_t DecoyVendor = 0x046D;
constexpr std::uint16_t DecoyProduct = 0xC31C;

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

// What a device does with the reports the kernel passes on.
enum class Role { Keyboard, PlainInterface, Decoy };

const char* RoleName(Role role) {
    switch (role) {
    case Role::Keyboard: return "keyboard";
    case Role::PlainInterface: return "plain interface";
    case Role::Decoy: return "decoy";
    }
    return "?";
}

// One uhid device: one open /dev/uhid. Every creation gets a fresh descriptor, so that nothing
// queued for an earlier incarnation can reach the new one.
struct UhidDevice {
    Role role = Role::Keyboard;
    int fd = -1;
    std::string phys;
    std::string hidraw;
    std::uint16_t product = 0;
    unsigned reportsSeen = 0;  // SET_REPORT and GET_REPORT requests received

    bool Present() const { return fd >= 0; }
};

struct Options {
    std::string version = "V1.0";
    int leaveAfterBlock = 0;
    int refuseBlock = 0;
    bool plainFirstInterface = false;
    bool decoy = false;
    bool uploadMode = false;
    int gapMs = 0;
    std::string phys = "kestrune-uhid";
    std::string uniq;
    std::string flashOut;
    std::string readyFile;
    int holdBlock = 0;
    std::string holdFile;
};

class Program {
public:
    explicit Program(const Options& options) : options_(options) {
        keyboard_ = std::make_unique<sim::SimKeyboard>(g_clock, sim::KernelKeyboardConfig(options.version, options.uploadMode));
        keyboard_->Faults().LeaveBusAfterBlock = options.leaveAfterBlock;
        keyboard_->Faults().RefuseBlock = options.refuseBlock;
        kbd_.role = Role::Keyboard;
        plain_.role = Role::PlainInterface;
        decoy_.role = Role::Decoy;
    }

    int Run() {
        if (options_.decoy) {
            decoy_.product = DecoyProduct;
            if (!Create(decoy_, DecoyVendor, DecoyProduct, KeyboardDescriptor, options_.phys + "/decoy", "",
                        "Other Vendor Device"))
                return 1;
        }
        if (!Sync()) return 1;

        while (!g_stop) {
            std::vector<pollfd> fds;
            std::vector<UhidDevice*> owners;
            for (UhidDevice* device : {&decoy_, &plain_, &kbd_}) {
                if (!device->Present()) continue;
                fds.push_back({device->fd, POLLIN, 0});
                owners.push_back(device);
            }
            const int n = ::poll(fds.data(), fds.size(), 20);
            if (n < 0 && errno != EINTR) {
                Log(std::string("poll failed: ") + std::strerror(errno));
                break;
            }
            for (std::size_t i = 0; n > 0 && i < fds.size(); ++i) {
                if (fds[i].revents & POLLIN) {
                    if (!ReadAndHandle(*owners[i])) return Finish(1);
                } else if (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                    Log(std::string("the ") + RoleName(owners[i]->role) + " descriptor failed");
                    return Finish(1);
                }
            }
            if (!Sync()) return Finish(1);
        }
        return Finish(0);
    }

private:
    // Makes the kernel's devices match where the simulated keyboard is now.
    bool Sync() {
        const bool onBus = keyboard_->IsOnBus();
        const unsigned generation = keyboard_->Generation();
        const std::uint16_t pid = keyboard_->CurrentPID();
        // A keyboard that answers and then drops off the bus has delivered that answer; uhid,
        // though, fails a read still waiting to be picked up by its caller when the device goes
        // away first. So the device stays a moment after the last answer.
        const bool mustGo = !onBus || generation != createdGeneration_;
        if (kbd_.Present() && mustGo && g_clock.NowMs() - lastAnswerMs_ < AnswerGraceMs) return true;
        if (!onBus) {
            if (kbd_.Present()) {
                Log("keyboard left the bus (generation " + std::to_string(generation) + ")");
                DestroyKeyboard();
            }
            return true;
        }
        if (kbd_.Present() && generation == createdGeneration_) return true;
        if (kbd_.Present()) {
            Log("keyboard re-enumerates: generation " + std::to_string(generation) + ", product " +
                std::to_string(pid));
            DestroyKeyboard();
        }
        if (enumerations_ > 0 && g_clock.NowMs() - destroyedMs_ < options_.gapMs) return true;
        createdGeneration_ = generation;
        ++enumerations_;
        if (options_.plainFirstInterface) {
            plain_.product = pid;
            if (!Create(plain_, sim::KeyboardConfig{}.VendorID, pid, PlainKeyboardDescriptor,
                        options_.phys + "/input0", options_.uniq, "Kestrune Keyboard"))
                return false;
        }
        kbd_.product = pid;
        if (!Create(kbd_, sim::KeyboardConfig{}.VendorID, pid, KeyboardDescriptor,
                    options_.phys + "/input1", options_.uniq, "Kestrune Keyboard"))
            return false;
        if (!options_.readyFile.empty()) {
            const std::string temporary = options_.readyFile + ".new";
            {
                std::ofstream ready(temporary, std::ios::trunc);
                ready << kbd_.hidraw << ' ' << pid << '\n';
            }
            std::rename(temporary.c_str(), options_.readyFile.c_str());
        }
        return true;
    }

    bool Create(UhidDevice& device, std::uint16_t vendor, std::uint16_t product,
                const std::vector<std::uint8_t>& descriptor, const std::string& phys,
                const std::string& uniq, const std::string& name) {
        device.fd = ::open("/dev/uhid", O_RDWR | O_CLOEXEC);
        if (device.fd < 0) {
            Log(std::string("cannot open /dev/uhid: ") + std::strerror(errno));
            return false;
        }
        device.phys = phys;
        device.hidraw.clear();

        auto event = std::make_unique<uhid_event>();
        std::memset(event.get(), 0, sizeof *event);
        event->type = UHID_CREATE2;
        uhid_create2_req& req = event->u.create2;
        std::snprintf(reinterpret_cast<char*>(req.name), sizeof req.name, "%s", name.c_str());
        std::snprintf(reinterpret_cast<char*>(req.phys), sizeof req.phys, "%s", device.phys.c_str());
        std::snprintf(reinterpret_cast<char*>(req.uniq), sizeof req.uniq, "%s", uniq.c_str());
        req.rd_size = static_cast<std::uint16_t>(descriptor.size());
        req.bus = BUS_USB;
        req.vendor = vendor;
        req.product = product;
        req.version = 0x0100;
        std::memcpy(req.rd_data, descriptor.data(), descriptor.size());
        if (!WriteEvent(device.fd, *event)) {
            CloseDevice(device);
            return false;
        }

        // Wait for the hidraw node, so that devices created one after the other get their nodes
        // in that order; keep answering the kernel meanwhile.
        const std::int64_t deadline = g_clock.NowMs() + 5000;
        while (g_clock.NowMs() < deadline) {
            if (auto node = FindNewHidraw(device.phys, uniq, seenHidDevices_)) {
                device.hidraw = *node;
                break;
            }
            pollfd pfd{device.fd, POLLIN, 0};
            if (::poll(&pfd, 1, 5) > 0 && (pfd.revents & POLLIN) && !ReadAndHandle(device)) return false;
        }
        if (device.hidraw.empty()) {
            Log(std::string("the ") + RoleName(device.role) + " got no hidraw node within 5 s");
            return false;
        }
        Log(std::string("created ") + RoleName(device.role) + " " + Hex4(vendor) + ":" + Hex4(product) +
            " as /dev/" + device.hidraw);
        return true;
    }

    void Destroy(UhidDevice& device) {
        if (!device.Present()) return;
        uhid_event event{};
        event.type = UHID_DESTROY;
        WriteEvent(device.fd, event);
        Log(std::string("destroyed ") + RoleName(device.role) + " /dev/" + device.hidraw);
        CloseDevice(device);
    }

    // A USB keyboard leaves the bus with all its interfaces.
    void DestroyKeyboard() {
        Destroy(kbd_);
        Destroy(plain_);
        destroyedMs_ = g_clock.NowMs();
    }

    static void CloseDevice(UhidDevice& device) {
        if (device.fd >= 0) ::close(device.fd);
        device.fd = -1;
    }

    bool ReadAndHandle(UhidDevice& device) {
        auto event = std::make_unique<uhid_event>();
        const ssize_t n = ::read(device.fd, event.get(), sizeof *event);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
        if (n < static_cast<ssize_t>(sizeof event->type)) {
            Log(std::string("read from /dev/uhid failed: ") + (n < 0 ? std::strerror(errno) : "short read"));
            return false;
        }
        switch (event->type) {
        case UHID_GET_REPORT: return AnswerGet(device, event->u.get_report);
        case UHID_SET_REPORT: return AnswerSet(device, event->u.set_report);
        default:
            Verbose(std::string(RoleName(device.role)) + ": " + EventName(event->type));
            return true;
        }
    }

    bool AnswerSet(UhidDevice& device, const uhid_set_report_req& request) {
        ++device.reportsSeen;
        const std::size_t size = std::min<std::size_t>(request.size, UHID_DATA_MAX);
        bool ok = false;
        if (device.role == Role::Keyboard && request.rtype == UHID_FEATURE_REPORT) {
            ok = keyboard_->TakeReport(request.data, size);
            ++setReports_;
            if (ok && size > 1 && request.data[1] == sim::CmdWriteBlock) {
                const auto now = std::chrono::steady_clock::now();
                if (!firstBlock_) firstBlock_ = now;
                lastBlock_ = now;
                if (options_.holdBlock > 0 && keyboard_->BlocksTaken() == options_.holdBlock) Hold();
            }
        } else {
            Log(std::string("SET_REPORT for the ") + RoleName(device.role) + " (type " +
                std::to_string(request.rtype) + ", " + std::to_string(size) + " bytes): refused");
        }
        if (device.role == Role::Keyboard && size != sim::KeyboardConfig{}.FeatureReportLength)
            Log("SET_REPORT of " + std::to_string(size) + " bytes, report number " +
                std::to_string(request.rnum));
        Verbose("SET_REPORT " + std::to_string(size) + " bytes, command 0x" +
                (size > 1 ? Hex4(request.data[1]).substr(2) : std::string("--")) + (ok ? "" : ": EIO"));
        if (!ok) ++failedReplies_;

        auto reply = std::make_unique<uhid_event>();
        std::memset(reply.get(), 0, sizeof *reply);
        reply->type = UHID_SET_REPORT_REPLY;
        reply->u.set_report_reply.id = request.id;
        reply->u.set_report_reply.err = ok ? 0 : EIO;
        return WriteEvent(device.fd, *reply);
    }

    // Keeps the report in flight: the program that sent it waits in its ioctl meanwhile.
    void Hold() {
        { std::ofstream(options_.holdFile) << options_.holdBlock << '\n'; }
        Log("holding the answer to block " + std::to_string(options_.holdBlock));
        const std::int64_t deadline = g_clock.NowMs() + 3000;
        while (std::filesystem::exists(options_.holdFile) && g_clock.NowMs() < deadline) ::usleep(10000);
        std::filesystem::remove(options_.holdFile);
        Log("answering block " + std::to_string(options_.holdBlock));
    }

    bool AnswerGet(UhidDevice& device, const uhid_get_report_req& request) {
        ++device.reportsSeen;
        auto reply = std::make_unique<uhid_event>();
        std::memset(reply.get(), 0, sizeof *reply);
        reply->type = UHID_GET_REPORT_REPLY;
        reply->u.get_report_reply.id = request.id;
        bool ok = false;
        if (device.role == Role::Keyboard && request.rtype == UHID_FEATURE_REPORT) {
            // uhid hands the report-ID byte through: the reply is the whole 132-byte report.
            const std::size_t length = sim::KeyboardConfig{}.FeatureReportLength;
            ok = keyboard_->AnswerReport(reply->u.get_report_reply.data, length);
            if (ok) reply->u.get_report_reply.size = static_cast<std::uint16_t>(length);
            ++getReports_;
        } else {
            Log(std::string("GET_REPORT for the ") + RoleName(device.role) + " (type " +
                std::to_string(request.rtype) + "): refused");
        }
        Verbose(std::string("GET_REPORT") + (ok ? "" : ": EIO"));
        if (device.role == Role::Keyboard) lastAnswerMs_ = g_clock.NowMs();
        if (!ok) ++failedReplies_;
        reply->u.get_report_reply.err = ok ? 0 : EIO;
        return WriteEvent(device.fd, *reply);
    }

    int Finish(int status) {
        Destroy(kbd_);
        Destroy(plain_);
        Destroy(decoy_);
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
                    "mode_switches=%d\nenumerations=%d\nversion=%s\nplain_reports=%u\ndecoy_reports=%u\n"
                    "block_us=%lld\n",
                    setReports_, getReports_, failedReplies_, keyboard_->BlocksTaken(),
                    keyboard_->FinishTaken() ? 1 : 0, keyboard_->ModeSwitches(), enumerations_,
                    keyboard_->Version().c_str(), plain_.reportsSeen, decoy_.reportsSeen,
                    static_cast<long long>(
                        firstBlock_ ? std::chrono::duration_cast<std::chrono::microseconds>(lastBlock_ - *firstBlock_).count()
                                    : 0));
        std::fflush(stdout);
        return status;
    }

    Options options_;
    std::unique_ptr<sim::SimKeyboard> keyboard_;
    UhidDevice kbd_, plain_, decoy_;
    std::set<std::string> seenHidDevices_;  // every HID device this program has created
    unsigned createdGeneration_ = 0;
    int enumerations_ = 0;
    std::int64_t destroyedMs_ = 0;
    int setReports_ = 0;
    int getReports_ = 0;
    int failedReplies_ = 0;
    static constexpr std::int64_t AnswerGraceMs = 25;
    std::int64_t lastAnswerMs_ = -AnswerGraceMs;
    // When the first and the last write-block report arrived: the upload's pace, seen from here.
    std::optional<std::chrono::steady_clock::time_point> firstBlock_;
    std::chrono::steady_clock::time_point lastBlock_;
};

void OnSignal(int) { g_stop = 1; }

int Usage() {
    std::fprintf(stderr,
                 "usage: uhid_keyboard [--firmware TEXT] [--leave-after-block K] [--refuse-block K]\n"
                 "                     [--plain-first-interface] [--decoy] [--upload-mode] [--gap MS]\n"
                 "                     [--phys TEXT] [--uniq TEXT]\n"
                 "                     [--flash-out FILE] [--ready-file FILE] [--verbose]\n"
                 "                     [--hold-block K --hold-file FILE]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "--firmware") {
            const char* v = value();
            if (!v) return Usage();
            options.version = v;
        } else if (arg == "--leave-after-block") {
            const char* v = value();
            if (!v) return Usage();
            options.leaveAfterBlock = std::atoi(v);
        } else if (arg == "--refuse-block") {
            const char* v = value();
            if (!v) return Usage();
            options.refuseBlock = std::atoi(v);
        } else if (arg == "--plain-first-interface") {
            options.plainFirstInterface = true;
        } else if (arg == "--decoy") {
            options.decoy = true;
        } else if (arg == "--upload-mode") {
            options.uploadMode = true;
        } else if (arg == "--gap") {
            const char* v = value();
            if (!v) return Usage();
            options.gapMs = std::atoi(v);
        } else if (arg == "--phys" || arg == "--uniq") {
            // uhid takes 63 characters and a NUL (the phys less its "/input1"); the kernel would
            // cut a longer one silently.
            const char* v = value();
            if (!v || std::strlen(v) > (arg == "--phys" ? 56u : 63u) || (arg == "--phys" && !*v)) return Usage();
            (arg == "--phys" ? options.phys : options.uniq) = v;
        } else if (arg == "--flash-out") {
            const char* v = value();
            if (!v) return Usage();
            options.flashOut = v;
        } else if (arg == "--ready-file") {
            const char* v = value();
            if (!v) return Usage();
            options.readyFile = v;
        } else if (arg == "--hold-block") {
            const char* v = value();
            if (!v) return Usage();
            options.holdBlock = std::atoi(v);
        } else if (arg == "--hold-file") {
            const char* v = value();
            if (!v) return Usage();
            options.holdFile = v;
        } else if (arg == "--verbose") {
            g_verbose = true;
        } else {
            return Usage();
        }
    }

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    return Program(options).Run();
}
