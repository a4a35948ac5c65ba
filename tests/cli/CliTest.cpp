// The command-line tool as a user's script sees it: its output, its JSON and its exit status.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "cli/Session.h"
#include "cli/Sha256.h"
#include "upload/UploadText.h"
#include "common/PrintableText.h"
#include "support/Catalogs.h"
#include "support/FirmwareFiles.h"
#include "support/TempDir.h"

using testsupport::HexText;
using testsupport::RandomBytes;

namespace {

struct Result {
    int status = -1;
    std::string out, err;
    nlohmann::json Json() const { return nlohmann::json::parse(out); }
};

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct CliBench {
    testsupport::TempDir dir;

    std::string File(const std::string& name, const std::string& contents) {
        return dir.Write(name, contents).string();
    }
    // The tool on a terminal `columns` wide (a pseudo-terminal that both its output streams and its
    // input are on), as a person sees it: everything it wrote, line ends as CR LF. `keys` is shown
    // the output so far each time more comes, and may answer with keys to type.
    // With a program, the arguments are that program's, not the tool's.
    Result OnTerminal(const std::string& args, int columns,
                      const std::function<std::string(const std::string& shown)>& keys = {},
                      const std::string& program = KESTRUNE_CLI_PATH) {
        winsize size{};
        size.ws_col = static_cast<unsigned short>(columns);
        size.ws_row = 24;
        int terminal = -1;
        const std::string command = "exec " + program + " " + args;
        const pid_t child = ::forkpty(&terminal, nullptr, nullptr, &size);
        if (child == 0) {
            ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        Result run;
        if (child < 0) return run;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (;;) {
            pollfd ready{terminal, POLLIN, 0};
            if (::poll(&ready, 1, 1000) > 0) {
                char buffer[4096];
                const ssize_t n = ::read(terminal, buffer, sizeof buffer);
                if (n <= 0) break;  // the tool has ended and closed the terminal
                run.out.append(buffer, static_cast<std::size_t>(n));
                const std::string typed = keys ? keys(run.out) : "";
                if (!typed.empty() && ::write(terminal, typed.data(), typed.size()) < 0) break;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(child, SIGKILL);
                break;
            }
        }
        int raw = 0;
        ::waitpid(child, &raw, 0);
        ::close(terminal);
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        return run;
    }
    Result Kestrune(const std::string& args, const std::string& environment = "") {
        const std::string err = (dir.Path() / "stderr.txt").string();
        // A run that hangs is ended after a minute, with status 124 (killed when it ignores that).
        const std::string command = environment + " timeout -k 5 60 " + std::string(KESTRUNE_CLI_PATH) + " " + args + " 2>" + err + " </dev/null";
        Result run;
        FILE* pipe = ::popen(command.c_str(), "r");
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.out.append(buffer, n);
        const int raw = ::pclose(pipe);
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        run.err = Slurp(err);
        return run;
    }
};

// Whether a line on a terminal `columns` wide fits it, or is longer only for a word that fits no
// line (a path, a hash), after its label.
bool FitsTheTerminal(const std::string& line, int columns) {
    if (kestrune::ColumnsOf(line) <= static_cast<std::size_t>(columns)) return true;
    std::string word = line.substr(line.find_first_not_of(' '));
    if (const auto gap = word.find("  "); gap != std::string::npos) word = word.substr(word.find_first_not_of(' ', gap));
    return word.find(' ') == std::string::npos;
}

}  // namespace

TEST(Cli, FlashSimulatedSendsExactlyTheImageForHexBinAndDat) {
    CliBench b;
    const auto data = RandomBytes(0x900, 31);
    std::vector<std::uint8_t> bin = RandomBytes(0x1200, 32);
    bin.insert(bin.end(), data.begin(), data.end());
    for (const std::string& file : {b.File("fw.hex", HexText(0x1200, data)),
                                    b.File("fw.bin", testsupport::AsText(bin)),
                                    b.File("fw.DAT", testsupport::AsText(bin))}) {
        const std::string image = (b.dir.Path() / "image.bin").string();
        const std::string dump = (b.dir.Path() / "dump.bin").string();
        const Result made = b.Kestrune("image " + file + " -o " + image);
        ASSERT_EQ(made.status, 0) << made.err;
        const Result flashed = b.Kestrune("flash " + file + " --simulate --yes --json --simulate-dump " + dump);
        ASSERT_EQ(flashed.status, 0) << flashed.err;
        const auto doc = flashed.Json();
        EXPECT_EQ(doc["result"], "success");
        EXPECT_EQ(doc["blocks"], 19);
        EXPECT_EQ(doc["blocksSent"], 19);
        EXPECT_EQ(doc["newFirmwareVersion"], "V2.0");
        EXPECT_EQ(doc["keyboard"]["firmwareVersion"], "V1.0");
        EXPECT_EQ(doc["exitStatus"], 0);
        const std::string sent = Slurp(dump);
        EXPECT_EQ(sent.size(), 19u * 128u);
        EXPECT_EQ(sent, Slurp(image)) << file;
        EXPECT_EQ(doc["sha256"], cli::Sha256Hex(reinterpret_cast<const std::uint8_t*>(sent.data()), sent.size()));
        if (file.ends_with("hex")) {
            EXPECT_EQ(sent.substr(0, data.size()), testsupport::AsText(data));
        }
    }
}

TEST(Cli, CheckDescribesTheFileAndRefusesInvalidOnesWithTheLine) {
    CliBench b;
    const auto data = RandomBytes(0x100, 33);
    const Result ok = b.Kestrune("check " + b.File("a.hex", HexText(0x1200, data)) + " --json");
    ASSERT_EQ(ok.status, 0) << ok.err;
    const auto doc = ok.Json();
    EXPECT_EQ(doc["kind"], "HEX");
    EXPECT_EQ(doc["startAddress"], 0x1200);
    EXPECT_EQ(doc["endAddress"], 0x1300);
    EXPECT_EQ(doc["blocks"], 3);
    EXPECT_EQ(doc["bytesBelowStart"], 0);

    // A full image: the part below the start address is named, and still not sent.
    const std::string full = b.File("full.hex", HexText(0, RandomBytes(0x1300, 35)));
    for (const char* command : {"check ", "flash --simulate=V1.2 --yes "}) {
        const Result told = b.Kestrune(command + full);
        EXPECT_EQ(told.status, 0) << told.err;
        EXPECT_NE(told.out.find("Not sent: 4,608 bytes below the start address 0x1200\n"), std::string::npos) << told.out;
        const Result json = b.Kestrune(command + full + " --json");
        EXPECT_EQ(json.Json()["bytesBelowStart"], 4608);
        EXPECT_EQ(json.Json()["blocks"], 3);
    }

    // Badly joined: two files' records for the same addresses (the later sent), and records after
    // an end-of-file record (never read): noted with their lines, the check still passes.
    std::string joined = HexText(0x1200, data);
    joined.erase(joined.rfind(":00000001FF"));
    joined += HexText(0x1200, RandomBytes(0x100, 34)) + HexText(0x1300, data);
    const Result noted = b.Kestrune("check " + b.File("joined.hex", joined) + " --json");
    EXPECT_EQ(noted.status, 0) << noted.err;
    const auto notes = noted.Json()["notes"];
    ASSERT_EQ(notes.size(), 7u) << notes;  // the first five records that write again, then one line for the rest
    EXPECT_EQ(notes[0], "Line 17 writes 0x1200 again with other data (line 1 wrote it first); the later data is sent.");
    EXPECT_EQ(notes[5], "More records write addresses again with other data; the later data is sent.");
    EXPECT_EQ(notes[6], "17 lines after the end-of-file record (line 33), from line 34 on, are not read.");
    EXPECT_EQ(doc["notes"], nlohmann::json::array());

    std::string bad = HexText(0x1200, data);
    bad[bad.find('\n') + 12] ^= 1;  // a data digit of line 2: its checksum no longer fits
    const Result invalid = b.Kestrune("check " + b.File("bad.hex", bad));
    EXPECT_EQ(invalid.status, 4);
    EXPECT_NE(invalid.err.find("line 2"), std::string::npos) << invalid.err;

    // An invalid file is never sent: no keyboard exchange beyond the file check.
    const std::string dump = (b.dir.Path() / "none.bin").string();
    const Result flash = b.Kestrune("flash " + b.File("bad.hex", bad) + " --simulate --yes --simulate-dump " + dump);
    EXPECT_EQ(flash.status, 4);
    EXPECT_FALSE(std::filesystem::exists(dump));

    // Sha-256 of a known text.
    const std::string abc = "abc";
    EXPECT_EQ(cli::Sha256Hex(reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(cli::Sha256Hex(nullptr, 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(Cli, ExitStatusesForEveryOutcome) {
    CliBench b;
    const std::string fw = b.File("fw.hex", HexText(0x1200, RandomBytes(0x400, 34)));
    struct Case {
        std::string args;
        int status;
        std::string says;  // in standard error
    };
    const std::vector<Case> cases{
        // (The keyboard's faults, with what each says: Cli.FaultMatrix.)
        {"frobnicate", 2, ""},
        {"flash", 2, "FILE"},
        {"check " + fw + " --start 12G0", 2, "12G0"},
        {"flash " + fw + " --simulate", 2, "--yes"},
        {"check " + fw + " --simulate-dump x", 2, ""},
        {"flash " + fw + " --yes --simulate-fault never-return", 2, "--simulate"},
        {"info", 3, "no keyboard found"},
        {"info --simulate --simulate-fault no-permission", 3, "70-kestrune-keyboard.rules"},
        {"check " + b.File("fw.txt", "text"), 4, "not a firmware file"},
        // One Ctrl+C during the wait for the replug ends it: nothing has been written yet.
        {"flash " + fw + " --simulate --yes --timeout 5 --simulate-fault never-return --simulate-fault sigint-at-listing:8", 5,
         "kestrune: cancelled; nothing was written."},
        {"flash " + fw + " --simulate=V1.2 --yes --no-wait --simulate-fault ignore-finish", 0, ""},
        // An option's optional value comes only with "=", never from the next argument.
        {"flash --simulate " + fw + " --yes", 0, ""},
        {"flash --simulate-fault ignore-finish " + fw + " --simulate --yes --no-wait", 0, ""},
        {"flash " + fw + " --simulate --yes --simulate-fault refuse-block:99999999999", 2, "unknown simulated fault"},
        {"flash " + fw + " --simulate --yes --simulate-fault refuse-block:-1", 2, "unknown simulated fault"},
        {"flash " + fw + " --simulate --yes --simulate-fault reply-bytes:4294967296", 2, "unknown simulated fault"},
        // Another program holds the keyboard for writing: nothing is written; reading is allowed.
        {"flash " + fw + " --simulate --yes --simulate-fault busy:0", 7,
         "kestrune: The keyboard is being updated by another program; nothing was written."},
        {"info --simulate --simulate-fault busy:4242", 0, ""},
        // The keyboard's pace: on virtual time with --simulate; only for the simulation.
        {"flash " + fw + " --simulate --yes --simulate-latency 1000", 0, ""},
        {"info --simulate-latency 3", 2, "work only with --simulate or --simulate-realtime"},
        {"info --simulate-realtime --simulate-latency 1001", 2, "--simulate-latency"},
        {"list --simulate-count 2", 2, "work only with --simulate or --simulate-realtime"},
        {"list --simulate --simulate-count 0", 2, "--simulate-count"},
        // A keyboard fault for the K-th simulated keyboard, which must be there.
        {"flash " + fw + " --simulate --yes --simulate-count 2 --simulate-fault refuse-block:5@2 --device 1-5", 1, "after 4 of 9 blocks"},
        {"flash " + fw + " --simulate --yes --simulate-count 2 --simulate-fault refuse-block:5@1 --device 1-5", 0, ""},
        {"flash " + fw + " --simulate --yes --simulate-fault refuse-block:5@2", 2, "beyond --simulate-count 1"},
        {"flash " + fw + " --simulate --yes --simulate-fault refuse-block:5@0", 2, "unknown simulated fault"},
        {"flash " + fw + " --simulate --yes --simulate-fault ignore-finish@", 2, "unknown simulated fault"},
        // An empty --device names no keyboard; it is not the same as none.
        {"flash " + fw + " --simulate --yes --device ''", 2, "--device needs the keyboard's port path"},
        {"flash --all " + fw + " --simulate --yes --device ''", 2, "--device needs the keyboard's port path"},
        {"info --simulate --device ''", 2, "--device needs the keyboard's port path"},
    };
    for (const Case& c : cases) {
        const Result run = b.Kestrune(c.args);
        EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << c.args << "\n" << run.err;
    }
}

TEST(Cli, FlashSucceedsOnlyOnceTheKeyboardIsBackWithItsVersion) {
    CliBench b;
    const std::string fw = b.File("fw.hex", HexText(0x1200, RandomBytes(0x400, 36)));
    // The simulated keyboard restarts by itself: it is never to be replugged, as in the demo window.
    const std::string replug = "Nothing needs to be unplugged: in this demo the keyboard restarts by itself.";
    struct Case {
        std::string args;
        int status;
        std::string result;
        nlohmann::json newVersion;
        std::vector<std::string> says;  // in standard error, in this order
        int replugs;  // times the user is told to plug the keyboard in again: only in an error's advice
    };
    const std::string restart = "uploaded to the simulated keyboard.\n\nNothing needs to be unplugged";
    const std::vector<Case> cases{
        {"--simulate=V1.2", 0, "success", "V2.0", {"Keep the keyboard plugged in", "reports V2.0."}, 0},
        {"--simulate=V1.0", 0, "success", "V2.0", {replug, "Keep the keyboard plugged in", restart, "Waiting for the keyboard to restart", "reports V2.0."}, 0},
        {"--simulate=V1.2 --timeout 7 --simulate-fault ignore-finish", 6, "unconfirmed", nullptr,
         {"Keep the keyboard plugged in", "has not restarted yet", "not confirmed: the keyboard did not come back within 7 s", "kestrune info"}, 1},
        // After the wait has run out the user is reminded once, in the error.
        {"--simulate=V1.1 --simulate-fault ignore-finish", 6, "unconfirmed", nullptr, {replug, restart, "Waiting for the keyboard to restart", "did not come back"}, 1},
        {"--simulate=V1.2 --simulate-fault ignore-finish --no-wait", 0, "uploaded", nullptr, {"The keyboard restarts by itself."}, 0},
        {"--simulate=V1.0 --no-wait", 0, "uploaded", nullptr, {restart, "Firmware uploaded."}, 0},
        // The switch is taken but its answer lost, the keyboard back at once in firmware-upload
        // mode: no second switch to it, the upload goes on.
        {"--simulate=V1.2 --simulate-fault no-answer-switch", 0, "success", "V2.0",
         {"Switching the keyboard", "already in firmware-upload mode", "Keep the keyboard plugged in"}, 0},
        // A version that is empty or cannot be read counts as old firmware: the user is asked to replug.
        {"--simulate=", 0, "success", "V2.0", {replug, "Keep the keyboard plugged in", restart}, 0},
        {"--simulate=V1.2 --simulate-fault fail-get:1", 0, "success", "V2.0", {"firmware V1.2", "Keep the keyboard plugged in"}, 0},
        // Back after the upload, the keyboard first fails to tell its version: it is asked again,
        // and only its answer confirms the update.
        {"--simulate=V1.2 --simulate-fault fail-get:16", 0, "success", "V2.0", {"Waiting for the keyboard to restart", "reports V2.0."}, 0},
    };
    for (const Case& c : cases) {
        const Result run = b.Kestrune("flash " + fw + " --yes --json " + c.args);
        EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.err;
        const auto doc = run.Json();
        EXPECT_EQ(doc["exitStatus"], c.status) << c.args;
        EXPECT_EQ(doc["result"], c.result) << c.args;
        EXPECT_EQ(doc["newFirmwareVersion"], c.newVersion) << c.args;
        EXPECT_EQ(doc["blocksSent"], 9) << c.args;
        std::size_t at = 0;
        for (const std::string& text : c.says) {
            at = run.err.find(text, at);
            EXPECT_NE(at, std::string::npos) << c.args << ": " << text << "\n" << run.err;
            if (at == std::string::npos) break;
            at += text.size();
        }
        const std::string keep = "Keep the keyboard plugged in until the update has ended.";
        EXPECT_EQ(run.err.find(keep), run.err.rfind(keep)) << c.args;
        int replugs = 0;
        for (std::size_t p = 0; (p = run.err.find(" in again", p)) != std::string::npos; ++p) ++replugs;
        EXPECT_EQ(replugs, c.replugs) << c.args << "\n" << run.err;
    }
    // An empty version is not mistaken for new firmware even when the keyboard is unreadable at first.
    const Result unreadable = b.Kestrune("flash " + fw + " --yes --simulate=V1.2 --simulate-fault fail-get:1 --simulate-fault fail-get:2");
    EXPECT_EQ(unreadable.status, 0) << unreadable.err;
}

// A flash can be told what to expect: the file's SHA-256 (of its bytes, as a published checksum
// is) and the version the keyboard comes back with.
TEST(Cli, FlashChecksWhatItWasToldToExpect) {
    CliBench b;
    const std::string text = HexText(0x1200, RandomBytes(0x400, 37));
    const std::string fw = b.File("fw.hex", text);
    const std::string sha = cli::Sha256Hex(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    std::string upper = sha;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string other = sha, lastDigitOff = sha;
    other[0] = other[0] == '0' ? '1' : '0';
    lastDigitOff[63] = lastDigitOff[63] == '0' ? '1' : '0';
    const std::string dump = (b.dir.Path() / "dump.bin").string();
    struct Case {
        std::string args;
        int status;
        std::string result;
        std::string says;  // in standard error
        bool sent;
    };
    const std::vector<Case> cases{
        {"--expect-sha256 " + sha, 0, "success", "reports V2.0.", true},
        {"--expect-sha256 " + upper, 0, "success", "reports V2.0.", true},
        {"--expect-sha256 " + other, 4, "refused", "is " + sha + ", not the expected " + other + "; nothing was sent", false},
        {"--expect-sha256 " + lastDigitOff, 4, "refused", "not the expected " + lastDigitOff, false},
        {"--expect-sha256 " + sha.substr(1), 2, "usage", "not a SHA-256 (64 hexadecimal digits)", false},
        {"--expect-sha256 " + sha.substr(1) + "g", 2, "usage", "not a SHA-256", false},
        {"--expect-version V2.0", 0, "success", "reports V2.0.", true},
        {"--expect-version V3.1 --simulate-new-version V3.1", 0, "success", "reports V3.1.", true},
        {"--expect-version V3.1", 10, "wrong-version", "came back reporting V2.0, not the expected V3.1.", true},
        {"--expect-version v2.0", 10, "wrong-version", "not the expected v2.0.", true},
        // The whole version, not a part of it.
        {"--expect-version V2", 10, "wrong-version", "not the expected V2.", true},
        {"--expect-version V2.0.1", 10, "wrong-version", "not the expected V2.0.1.", true},
        {"--expect-version V2.0 --no-wait", 2, "usage", "cannot be used with --no-wait", false},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(dump);
        const Result run = b.Kestrune("flash " + fw + " --simulate=V1.2 --yes --json --simulate-dump " + dump + " " + c.args);
        EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << c.args << "\n" << run.err;
        EXPECT_EQ(std::filesystem::exists(dump), c.sent) << c.args;
        if (run.out.empty()) continue;
        const auto doc = run.Json();
        EXPECT_EQ(doc["result"], c.result) << c.args;
        if (c.status != 2) {
            EXPECT_EQ(doc["fileSha256"], sha) << c.args;
        }
    }
    EXPECT_EQ(b.Kestrune("check --json " + fw).Json()["fileSha256"], sha);
}

TEST(Cli, DeviceTextsAndFileNamesNeverBreakTheOutput) {
    CliBench b;
    const auto data = RandomBytes(0x100, 37);
    // A version text that is not UTF-8, or that holds a terminal's escape sequences.
    const Result latin = b.Kestrune("info --json --simulate='V1.\xff'");
    EXPECT_EQ(latin.status, 0) << latin.err;
    EXPECT_EQ(latin.Json()["firmwareVersion"], "V1.\xEF\xBF\xBD");
    const Result escape = b.Kestrune("info --simulate='V3\x1b[2J\x07\xc2\x9b'");
    EXPECT_EQ(escape.status, 0) << escape.err;
    EXPECT_NE(escape.out.find("Firmware version: V3\\x1B[2J\\x07\\u009B\n"), std::string::npos) << escape.out;
    EXPECT_EQ(escape.out.find('\x1b'), std::string::npos);
    const Result flashed = b.Kestrune("flash " + b.File("v.hex", HexText(0x1200, data)) +
                                      " --yes --json --simulate='V1.2\x1b]0;x\x07\xfe' --simulate-fault version-without-nul");
    EXPECT_EQ(flashed.status, 0) << flashed.err;
    EXPECT_EQ(flashed.Json()["keyboard"]["firmwareVersion"].get<std::string>().size(), 129u);
    EXPECT_EQ(flashed.err.find('\x1b'), std::string::npos);

    // File names: not UTF-8 (JSON replaces what it cannot carry), and outside ASCII (shown as they are).
    const std::string latin1 = b.File("latin1-\xe9.bin", std::string(0x1300, 'x'));
    const Result check = b.Kestrune("check '" + latin1 + "' --json");
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(check.Json()["file"], (b.dir.Path() / "latin1-\xEF\xBF\xBD.bin").string());
    std::filesystem::create_directories(b.dir.Path() / "zo\xc3\xab");
    const std::string utf8 = b.File("zo\xc3\xab/Gr\xc3\xb6\xc3\x9f" "e.hex", HexText(0x1200, data));
    const Result named = b.Kestrune("check '" + utf8 + "' --json");
    EXPECT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(named.Json()["file"], utf8);
    const Result shown = b.Kestrune("check '" + utf8 + "'");
    EXPECT_NE(shown.out.find("File:          " + utf8 + "\n"), std::string::npos) << shown.out;
    const std::string out = (b.dir.Path() / "zo\xc3\xab" / "\xc3\xabut.bin").string();
    EXPECT_EQ(b.Kestrune("image '" + utf8 + "' -o '" + out + "'").status, 0);
    EXPECT_EQ(Slurp(out).size(), 3u * 128u);
}

TEST(Cli, InfoListAndPidsDescribeWhatIsThere) {
    CliBench b;
    const Result info = b.Kestrune("info --simulate=V3.1 --json");
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.Json()["vendorId"], 11867);
    EXPECT_EQ(info.Json()["productId"], 17);
    EXPECT_EQ(info.Json()["firmwareVersion"], "V3.1");
    EXPECT_EQ(info.Json()["mode"], "Normal");

    const Result list = b.Kestrune("list --simulate --json");
    ASSERT_EQ(list.status, 0) << list.err;
    const auto interfaces = list.Json()["interfaces"];
    ASSERT_EQ(interfaces.size(), 5u);
    EXPECT_EQ(interfaces[4]["keyboard"], true);
    EXPECT_EQ(interfaces[4]["mode"], "Normal");
    EXPECT_EQ(interfaces[4]["featureReportLength"], 132);
    EXPECT_EQ(interfaces[0]["keyboard"], false);
    EXPECT_EQ(interfaces[2]["opened"], "no-access");   // refuses the read/write open
    const Result human = b.Kestrune("list --simulate");
    EXPECT_NE(human.out.find("keyboard, Normal mode"), std::string::npos) << human.out;
    const Result denied = b.Kestrune("list --simulate --simulate-fault no-permission");
    EXPECT_EQ(denied.status, 0);
    EXPECT_NE(denied.out.find("cannot be opened: no permission"), std::string::npos) << denied.out;
    EXPECT_NE(denied.out.find("A keyboard is attached at sim:keyboard/1/if1, but this user may not open it. "
                              "Install the udev rule 70-kestrune-keyboard.rules"),
              std::string::npos) << denied.out;

    const Result builtIn = b.Kestrune("pids --json");
    EXPECT_EQ(builtIn.Json()["source"], "built-in");
    EXPECT_EQ(builtIn.Json()["entries"].size(), 13u);
    const Result fromFile = b.Kestrune("pids --json --pid-file " + b.File("PIDDef.txt", "a,17\nb,&H6\n"));
    EXPECT_EQ(fromFile.Json()["source"], "file");
    EXPECT_EQ(fromFile.Json()["entries"], (nlohmann::json{17, 6}));
    EXPECT_EQ(b.Kestrune("pids --pid-file /no/such/file").status, 2);
    const Result notANumber = b.Kestrune("pids --json --pid-file " + b.File("PIDDef.txt", "a,17\nb,seventeen\n"));
    EXPECT_EQ(notANumber.status, 0);
    EXPECT_EQ(notANumber.Json()["entries"], (nlohmann::json{17, 0}));
    EXPECT_EQ(notANumber.Json()["lineWarnings"].size(), 1u);
    EXPECT_NE(notANumber.err.find("warning: PIDDef.txt, line 2: the product ID \"seventeen\" is not a number; it is read as 0."),
              std::string::npos) << notANumber.err;

    // --pid-file for every command that scans; the user's own PIDDef.txt, which pids names.
    EXPECT_EQ(b.Kestrune("info --simulate --pid-file " + b.File("other.txt", "a,99\n")).status, 3);
    EXPECT_EQ(b.Kestrune("info --simulate --pid-file " + b.File("own.txt", "a,17\n")).status, 0);
    EXPECT_EQ(b.Kestrune("list --simulate --pid-file /no/such/file").status, 2);
    const auto config = b.dir.Path() / "config";
    std::filesystem::create_directories(config / "kestrune");
    b.File("config/kestrune/PIDDef.txt", "a,5\n");
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = old ? old : "";
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    const Result users = b.Kestrune("pids --json");
    const Result usersInfo = b.Kestrune("info --simulate");
    old ? ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(users.Json()["file"], (config / "kestrune/PIDDef.txt").string());
    EXPECT_EQ(users.Json()["entries"], (nlohmann::json{5}));
    EXPECT_EQ(usersInfo.status, 3);
}

// The whole flash on the simulated keyboard under every fault it can be given: the exit status,
// the blocks the keyboard took against the blocks reported, progress that never says 100 % before
// the last block is taken, and no hang (the virtual clock runs every wait at once).
TEST(Cli, ListMarksEveryKeyboardWithItsPortAndSerial) {
    CliBench b;
    const Result list = b.Kestrune("list --simulate --simulate-count 3 --json");
    ASSERT_EQ(list.status, 0) << list.err;
    std::vector<std::array<std::string, 3>> keyboards;
    const auto doc = list.Json();
    for (const auto& entry : doc["interfaces"]) {
        EXPECT_EQ(entry.contains("port"), entry["keyboard"] == true);
        if (entry["keyboard"] == true) keyboards.push_back({entry["path"], entry["port"], entry["serial"]});
    }
    const std::vector<std::array<std::string, 3>> expected = {{"sim:keyboard/1/if1", "1-4", "KS0001"},
                                                              {"sim:keyboard2/1/if1", "1-5", "KS0002"},
                                                              {"sim:keyboard3/1/if1", "1-6", "KS0003"}};
    EXPECT_EQ(keyboards, expected);
    const Result human = b.Kestrune("list --simulate --simulate-count 2");
    EXPECT_NE(human.out.find("keyboard, Normal mode, feature report 132 bytes, port 1-5, serial KS0002"),
              std::string::npos) << human.out;
}

TEST(Cli, SeveralKeyboardsAreChosenByIdAndNeverGuessed) {
    CliBench b;
    const std::string fw = b.File("fw.bin", testsupport::AsText(RandomBytes(0x1A00, 41)));
    const std::string dump = (b.dir.Path() / "dump.bin").string();  // what the first keyboard received
    const std::string two = " --simulate --simulate-count 2 --yes --json --simulate-dump " + dump;
    struct Case {
        std::string args;
        int status;
        std::string result, port;  // the flash's result and the port of the keyboard written
        bool firstWritten;
    };
    const std::vector<Case> cases = {
        {"", 9, "several-keyboards", "", false},
        {" --device sim:keyboard2/1/if1", 0, "success", "1-5", false},
        {" --device 1-5", 0, "success", "1-5", false},
        {" --device KS0002", 0, "success", "1-5", false},
        {" --device KS0001", 0, "success", "1-4", true},
        {" --device 1-9", 3, "no-keyboard", "", false},
        {" --device 1-5 --simulate-new-version V3.0 --expect-version V3.0", 0, "success", "1-5", false},
        // The first keyboard waits in firmware-upload mode, first in every scan, while the second
        // one switches and comes back: it is never taken for it.
        {" --device 1-5 --simulate-fault upload-mode", 0, "success", "1-5", false},
        // The chosen one comes back at another port: found again there, the other one attached
        // throughout (waiting in firmware-upload mode, too) never taken for it.
        {" --device KS0002 --simulate-fault other-port@2", 0, "success", "1-5", false},
        {" --device 1-5 --simulate-fault upload-mode --simulate-fault other-port@2", 0, "success", "1-5", false},
        {" --device KS0001 --simulate-fault other-port@1 --simulate-fault upload-mode@2", 0, "success", "1-4", true},
        // Keyboards without identity cannot be told apart: a device path names one of them only
        // until the switch, and nothing is written.
        {" --device sim:keyboard2/1/if1 --simulate-fault no-identity@1 --simulate-fault no-identity@2", 9,
         "several-keyboards", "", false},
        {" --device sim:keyboard/1/if1 --simulate-fault no-identity@1 --simulate-fault no-identity@2", 9,
         "several-keyboards", "", false},
        // One keyboard without identity beside one with: the path is enough.
        {" --device sim:keyboard2/1/if1 --simulate-fault no-identity@2", 0, "success", "", false},
        // One that may not be opened counts as much as one that may: never a guess, and named it
        // says why it cannot be written.
        {" --simulate-fault no-permission@2", 9, "several-keyboards", "", false},
        {" --device 1-5 --simulate-fault no-permission@2", 3, "no-keyboard", "", false},
        {" --device 1-4 --simulate-fault no-permission@2", 0, "success", "1-4", true},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(dump);
        const Result run = b.Kestrune("flash " + fw + two + c.args);
        EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.err;
        const auto doc = run.Json();
        EXPECT_EQ(doc["result"], c.result) << c.args;
        if (!c.port.empty()) {
            EXPECT_EQ(doc["keyboard"]["port"], c.port) << c.args;
        }
        EXPECT_EQ(Slurp(dump).empty(), !c.firstWritten) << c.args;
    }
    const Result refused = b.Kestrune("flash " + fw + " --simulate --simulate-count 2 --yes");
    EXPECT_NE(refused.err.find("2 keyboards are attached; choose one with --device ID"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("sim:keyboard2/1/if1  port 1-5, serial KS0002, Normal mode"), std::string::npos)
        << refused.err;
    const std::string hint = "may not open it. Install the udev rule";
    const Result named = b.Kestrune("flash " + fw + " --simulate --simulate-count 2 --yes --device 1-5 --simulate-fault no-permission@2");
    EXPECT_NE(named.err.find("--device 1-5 names a keyboard that cannot be opened (no permission)"), std::string::npos) << named.err;
    EXPECT_NE(named.err.find(hint), std::string::npos) << named.err;

    // info shows every keyboard, or the one chosen.
    const Result all = b.Kestrune("info --simulate --simulate-count 2 --json");
    ASSERT_EQ(all.status, 0) << all.err;
    ASSERT_EQ(all.Json()["keyboards"].size(), 2u);
    EXPECT_EQ(all.Json()["keyboards"][1]["serial"], "KS0002");
    EXPECT_EQ(all.Json()["keyboards"][1]["firmwareVersion"], "V1.0");
    const Result one = b.Kestrune("info --simulate --simulate-count 2 --device 1-5 --json");
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.Json()["serial"], "KS0002");
    EXPECT_FALSE(one.Json().contains("keyboards"));
}

TEST(Cli, FaultMatrix) {
    CliBench b;
    const std::string fw = b.File("fw.hex", HexText(0x1200, RandomBytes(0x400, 38)));  // 9 blocks
    const std::string dump = (b.dir.Path() / "dump.bin").string();
    struct Case {
        std::string args;
        int status;
        int sent, taken;
        std::string says = "";     // in standard error
        std::string failure = "";  // an upload that failed: why, in --json
    };
    std::vector<Case> cases{{"", 0, 9, 9},
                            // Sent, but the keyboard never restarts: not a success.
                            {"--simulate-fault ignore-finish", 6, 9, 9,
                             "uploaded, not confirmed: the keyboard did not come back within 5 s"},
                            {"--simulate-fault never-return", 5, 0, 0, "within 5 s"},
                            {"--simulate-fault no-permission", 3, 0, 0, "70-kestrune-keyboard.rules"},
                            {"--simulate-fault reply-bytes:0", 1, 0, 0},
                            {"--simulate-fault reply-bytes:131", 1, 0, 0},
                            {"--simulate-fault version-without-nul", 0, 9, 9},
                            {"--simulate=", 0, 9, 9},
                            {"--simulate='V1.2\x1b[2J\x01'", 0, 9, 9},
                            // Another program holds the keyboard for writing: nothing is written.
                            {"--simulate-fault busy:4242", 7, 0, 0,
                             "kestrune: The keyboard is being updated by another program (PID 4242); nothing was written."},
                            // Back at another port after the switch and again after the upload.
                            {"--simulate-fault other-port", 0, 9, 9},
                            // Signals arrive while a block is being exchanged: one Ctrl+C only warns,
                            // a second one, SIGTERM or SIGHUP stop before the next block.
                            {"--simulate-fault sigint-at-block:3", 0, 9, 9},
                            {"--simulate-fault sigint-at-block:3 --simulate-fault sigint-at-block:5", 5, 5, 5},
                            {"--simulate-fault sigterm-at-block:4", 5, 4, 4},
                            {"--simulate-fault sighup-at-block:4", 5, 4, 4},
                            {"--simulate-fault sigterm-at-block:9", 6, 9, 9}};  // all sent; the wait is not
    // An upload broken off says why: each of the platform's reasons.
    for (int k : {1, 2, 5, 8, 9}) {
        const std::string n = std::to_string(k);
        const auto after = [&](int sent, const std::string& why) {
            return "after " + std::to_string(sent) + " of 9 blocks: the keyboard " + why + ". It stays in firmware-upload mode";
        };
        cases.push_back({"--simulate-fault refuse-block:" + n, 1, k - 1, k - 1, after(k - 1, "refused the report"), "refused"});
        // Written, its answer lost.
        cases.push_back({"--simulate-fault no-answer-block:" + n, 1, k - 1, k, after(k - 1, "did not answer"), "no-answer"});
        if (k < 9)
            cases.push_back({"--simulate-fault leave-after-block:" + n, 1, k, k,
                             after(k, "left (unplugged, or its connection broke off)"), "gone"});
    }
    cases.push_back({"--simulate-fault leave-after-block:9", 6, 9, 9});  // all taken; gone before the finish is confirmed
    for (const Case& c : cases) {
        std::filesystem::remove(dump);
        const std::string args = "flash " + fw + " --yes --timeout 5 --simulate=V1.2 --simulate-dump " + dump + " " + c.args;
        const Result json = b.Kestrune(args + " --json");
        EXPECT_EQ(json.status, c.status) << c.args << "\n" << json.err;
        EXPECT_EQ(json.Json()["exitStatus"], c.status) << c.args;
        EXPECT_TRUE(json.Json().contains("result")) << c.args;  // whichever way it ended
        EXPECT_EQ(json.Json().value("blocksSent", 0), c.sent) << c.args;
        EXPECT_EQ(json.Json().value("failure", ""), c.failure) << c.args;
        EXPECT_EQ(Slurp(dump).size(), 128u * static_cast<std::size_t>(c.taken)) << c.args;

        // What it says, and its progress in acknowledged bytes, one line each ten per cent.
        const Result text = b.Kestrune(args);
        EXPECT_EQ(text.status, c.status) << c.args;
        EXPECT_NE(text.err.find(c.says), std::string::npos) << c.args << "\n" << text.err;
        std::istringstream lines(text.err);
        std::string line;
        int lastDone = 0;
        bool full = false;
        for (unsigned percent, done, total; std::getline(lines, line);) {
            if (std::sscanf(line.c_str(), "Uploaded %u%% (%u of %u bytes)", &percent, &done, &total) != 3) continue;
            EXPECT_EQ(total, 9u * 128u) << line;
            EXPECT_EQ(done % 128, 0u) << line;
            EXPECT_LE(static_cast<int>(done), 128 * c.sent) << c.args << ": " << line;
            EXPECT_EQ(percent, done * 100 / total) << line;
            lastDone = static_cast<int>(done);
            full = full || percent == 100;
        }
        EXPECT_EQ(full, c.sent == 9) << c.args << "\n" << text.err;
        EXPECT_GE(lastDone, 128 * (c.sent - 1)) << c.args << "\n" << text.err;
    }
}

// A mistyped command, option or fault is named with the closest known one; usage errors name the tool.
TEST(Cli, TyposGetTheClosestName) {
    CliBench b;
    const std::string fw = b.File("fw.hex", HexText(0x1200, RandomBytes(0x100, 40)));
    const std::vector<std::pair<std::string, std::string>> cases{
        {"falsh " + fw, "unknown command 'falsh'; did you mean 'flash'?\n"},
        {"--json chek " + fw, "unknown command 'chek'; did you mean 'check'?\n"},
        {"frobnicate", "unknown command 'frobnicate'\n"},
        // Two letters swapped are one slip; two slips in a short word, three in a long one, are
        // too far off to guess.
        {"lsit", "unknown command 'lsit'; did you mean 'list'?\n"},
        {"lxxt", "unknown command 'lxxt'\n"},
        {"flxyz", "unknown command 'flxyz'\n"},
        {"", "no command given; the commands are list, info, pids, check, image, flash, station.\n"},
        {"--jsn list", "unknown option '--jsn'; did you mean '--json'?\n"},
        {"flash " + fw + " --yess --simulate", "unknown option '--yess' for flash; did you mean '--yes'?\n"},
        {"flash " + fw + " --time 5", "unknown option '--time' for flash; did you mean '--timeout'?\n"},
        {"list --timeout 5", "unknown option '--timeout' for list\n"},
        {"list -x", "unknown option '-x' for list\n"},
        {"flash " + fw + " --simulate --yes --simulate-fault sigint-at-blok:3",
         "unknown simulated fault 'sigint-at-blok:3'; did you mean 'sigint-at-block:N'?\n"},
        {"flash", "FILE is required\n"},
    };
    for (const auto& [args, says] : cases) {
        const Result run = b.Kestrune(args);
        EXPECT_EQ(run.status, 2) << args;
        EXPECT_TRUE(run.err.starts_with("kestrune: " + says)) << args << "\n" << run.err;
    }
}

// Help fits the terminal, broken between words, and names every fault the simulation takes (as
// does the shell completion).
TEST(Cli, HelpFitsTheTerminalAndListsEveryFault) {
    CliBench b;
    const auto words = [](const std::string& text) {
        std::istringstream in(text);
        return std::vector<std::string>(std::istream_iterator<std::string>(in), {});
    };
    const std::string wide = b.Kestrune("flash --help").out;
    for (const std::string& form : cli::SimulatedFaultForms()) EXPECT_NE(wide.find(form), std::string::npos) << form;
    for (const int columns : {40, 60, 100}) {
        const Result run = b.Kestrune("flash --help", "COLUMNS=" + std::to_string(columns));
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(words(run.out), words(wide)) << columns;
        std::istringstream lines(run.out);
        for (std::string line; std::getline(lines, line);)
            EXPECT_LE(line.size(), static_cast<std::size_t>(columns)) << line;
    }
    std::ifstream completion(std::filesystem::path(__FILE__).parent_path() / "../../packaging/completion/kestrune.bash");
    std::string offered;
    for (std::string line; std::getline(completion, line);)
        if (line.find("faults=\"") != std::string::npos || line.find("faults+=\"") != std::string::npos)
            offered += line.substr(line.find('"') + 1, line.rfind('"') - line.find('"') - 1) + " ";
    std::string forms;
    for (const std::string& form : cli::SimulatedFaultForms()) forms += form.substr(0, form.find(':')) + (form.find(':') == std::string::npos ? " " : ": ");
    std::vector<std::string> expected = words(forms), got = words(offered);
    std::sort(expected.begin(), expected.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, expected);
}

// With --json every run prints one document with its exit status, bad usage included.
TEST(Cli, JsonDocumentEvenOnBadUsage) {
    CliBench b;
    const std::string fw = b.File("fw.hex", HexText(0x1200, RandomBytes(0x100, 39)));
    for (const std::string& args : std::vector<std::string>{"--json", "--json frobnicate", "flash --json", "check --json --frobnicate " + fw,
                                   "flash " + fw + " --json --yes --simulate-fault ignore-finish",
                                   "flash " + fw + " --json --simulate --yes --simulate-fault refuse-block:99999999999",
                                   "flash " + fw + " --json --simulate --timeout 0 --yes",
                                   "station " + fw + " --json --frobnicate", "station " + fw + " --json --simulate --log ''"}) {
        const Result run = b.Kestrune(args);
        EXPECT_EQ(run.status, 2) << args << "\n" << run.err;
        ASSERT_NO_THROW(run.Json()) << args << "\n" << run.out;
        EXPECT_EQ(run.Json()["exitStatus"], 2) << args;
        EXPECT_FALSE(run.Json().value("error", "").empty()) << args;
        if (args.starts_with("flash")) {
            EXPECT_EQ(run.Json()["result"], "usage") << args;
        }
        // The station's output is JSON Lines: its usage error too.
        if (args.starts_with("station")) {
            EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
        }
    }
}

// A file name is printed with its control characters escaped, in every message that names it;
// JSON carries it exactly.
TEST(Cli, FileNamesAreEscapedOnTheTerminal) {
    CliBench b;
    const std::string name = "\x1b[31mred\x1b]0;pwned\x07\nx.hex";
    const std::string good = b.File(name, HexText(0x1200, RandomBytes(0x100, 40)));
    const std::string escaped = "\\x1B[31mred\\x1B]0;pwned\\x07\\x0Ax.hex";
    for (const std::string& args : {"check '" + good + "'", "check '" + good + "' --start 2000",
                                    "check '" + good + "x.hex'", "image '" + good + "' -o '" + good + ".bin'",
                                    "flash '" + good + "' --yes --simulate=V1.2",
                                    "pids --pid-file '" + b.File(name + ".txt", "a,1e99\n") + "'"}) {
        const Result run = b.Kestrune(args);
        EXPECT_EQ((run.out + run.err).find_first_of("\x1b\x07"), std::string::npos) << args << "\n" << run.out << run.err;
        EXPECT_NE((run.out + run.err).find(escaped), std::string::npos) << args << "\n" << run.out << run.err;
        const Result json = b.Kestrune(args + " --json");
        const std::string file = json.Json().value("file", json.Json().value("output", ""));
        EXPECT_NE(file.find(name), std::string::npos) << args;
    }
}

// PIDDef.txt is read whole, with limits: a file over 1 MiB, a line over 4096 characters, or
// something that is not a regular file is refused with a warning that names the file, and the
// built-in table is used; `pids` and the commands that search say the same.
TEST(Cli, OversizedProductIdTableIsRefused) {
    CliBench b;
    struct Case {
        std::string contents;
        std::string warning;
    };
    const std::vector<Case> cases{
        {"a,17\n" + std::string((1 << 20) - 4, '\''), "PIDDef.txt, the file is larger than 1 MiB"},
        {"a,17\n'" + std::string(4096, 'x') + "\nb,6\n", "PIDDef.txt, line 2 is longer than 4096 characters"},
    };
    const std::string fw = b.File("fw.bin", std::string(0x1300, 'x'));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.warning);
        const std::string file = b.File("PIDDef.txt", c.contents);
        const Result run = b.Kestrune("pids --json --pid-file " + file);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.Json()["source"], "built-in");
        EXPECT_NE(run.err.find(c.warning), std::string::npos) << run.err;
        EXPECT_NE(run.Json().value("warning", "").find(c.warning.substr(c.warning.find(',') + 2)), std::string::npos);
        const Result flash = b.Kestrune("flash " + fw + " --simulate --yes --pid-file " + file);
        EXPECT_EQ(flash.status, 0) << flash.err;
        // Said once a run, however often the keyboard is looked for.
        const auto warned = flash.err.find("kestrune: warning: " + c.warning);
        EXPECT_NE(warned, std::string::npos) << flash.err;
        EXPECT_EQ(flash.err.find("kestrune: warning: " + c.warning, warned + 1), std::string::npos) << flash.err;
        EXPECT_EQ(flash.err.find("IdIsMatched"), std::string::npos) << flash.err;
    }
    std::filesystem::remove_all(b.dir.Path() / "PIDDef.txt");
    // A sparse 2 GB file is refused at once, without being read.
    const std::string sparse = b.File("PIDDef.txt", "");
    std::filesystem::resize_file(sparse, 2'000'000'000);
    const Result huge = b.Kestrune("pids --pid-file " + sparse);
    EXPECT_NE(huge.err.find("PIDDef.txt, the file is larger than 1 MiB"), std::string::npos) << huge.err;
    // At the limits the file is read.
    std::string comments;
    for (int i = 0; i < ((1 << 20) - 4102) / 2; ++i) comments += "'\n";
    const Result fits = b.Kestrune("pids --json --pid-file " +
                                   b.File("PIDDef.txt", "'" + std::string(4095, 'x') + "\na,17\n" + comments));
    EXPECT_EQ(fits.Json()["entries"], (nlohmann::json{17})) << fits.err;
}

// Firmware files that are not regular files, or larger than any firmware file can be, are refused
// by every command that reads one, at once, without reading them: no hang, no abort, no memory
// growing; each with the status and JSON of a bad file. A failed write of `image` is an I/O failure.
TEST(Cli, FifosDevicesFoldersAndHugeFilesAreRefusedByEveryCommandAndUnwritableOutputs) {
    CliBench b;
    const std::filesystem::path dir = b.dir.Path();
    ASSERT_EQ(::mkfifo((dir / "fifo.hex").c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", dir / "zero.bin");
    std::filesystem::create_directory(dir / "folder.hex");
    std::filesystem::resize_file(b.File("sparse.hex", ""), 1'000'000'000);
    std::filesystem::resize_file(b.File("sparse.dat", ""), 1'000'000'000);
    const std::pair<const char*, const char*> files[] = {
        {"fifo.hex", "is a named pipe (FIFO), not a regular file"}, {"zero.bin", "is a device, not a regular file"},
        {"folder.hex", "is a folder, not a firmware file"}, {"sparse.hex", "sparse.hex is 1000000000 bytes long"},
        {"sparse.dat", "sparse.dat is 1000000000 bytes long"}, {"missing.hex", "Firmware file not found"}};
    const std::string image = (dir / "out.bin").string();
    for (const auto& [name, why] : files) {
        const std::string path = (dir / name).string();
        for (const std::string& command : {"check " + path + " --json", "image " + path + " -o " + image + " --json",
                                           "flash " + path + " --simulate --yes --json",
                                           "flash --all " + path + " --simulate --simulate-count 2 --yes --json",
                                           "station " + path + " --simulate --json"}) {
            SCOPED_TRACE(command);
            const Result run = b.Kestrune(command);
            EXPECT_EQ(run.status, 4) << run.err;
            EXPECT_NE(run.err.find(why), std::string::npos) << run.err;
            if (command.ends_with("--json")) {
                EXPECT_EQ(run.Json()["exitStatus"], 4) << run.out;
                EXPECT_EQ(run.Json()["file"], path) << run.out;
            }
        }
    }
    EXPECT_FALSE(std::filesystem::exists(image));
    // The same as the station's log (refused at once, status 8) and as the PID table (warned of,
    // the built-in table used).
    const std::pair<const char*, const char*> logs[] = {
        {"fifo.hex", "it is a named pipe (FIFO), not a regular file."}, {"folder.hex", "it is a folder."},
        {"zero.bin", "it is a device, not a regular file."}};
    const std::string fw = b.File("fw.bin", std::string(0x1300, 'x'));
    for (const auto& [name, why] : logs) {
        const std::string path = (dir / name).string();
        const Result log = b.Kestrune("station --simulate --json " + fw + " --log " + path);
        EXPECT_EQ(log.status, 8) << log.err;
        const std::string error = "cannot append to the log " + path + ": " + why;
        EXPECT_NE(log.err.find(error), std::string::npos) << log.err;
        EXPECT_EQ(log.Json()["exitStatus"], 8) << log.out;
        EXPECT_EQ(log.Json().value("error", ""), error) << log.out;
        const Result table = b.Kestrune("pids --json --pid-file " + path);
        EXPECT_EQ(table.status, 0) << table.err;
        EXPECT_EQ(table.Json()["source"], "built-in");
        EXPECT_NE(table.err.find(std::string(name) + ", not a regular file; it is not read."), std::string::npos) << table.err;
    }
    const Result unwritable = b.Kestrune("image " + fw + " -o /proc/no/such/folder/out.bin --json");
    EXPECT_EQ(unwritable.status, 8) << unwritable.err;
    EXPECT_EQ(unwritable.Json()["exitStatus"], 8);
    EXPECT_NE(unwritable.err.find("cannot write /proc/no/such/folder/out.bin"), std::string::npos) << unwritable.err;
}

// Help and version: the plain requests (answered before the parser) say what the parser says, and
// flash --help and the bash completion name every simulated fault.
TEST(Cli, HelpVersionAndCompletionNameEverything) {
    CliBench b;
    const Result version = b.Kestrune("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, b.Kestrune("--json --version").out);
    const Result help = b.Kestrune("flash --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, b.Kestrune("flash --yes --help").out);
    EXPECT_EQ(b.Kestrune("-h").out, b.Kestrune("--json --help").out);
    const std::string completion = Slurp(std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() /
                                         "packaging/completion/kestrune.bash");
    for (const char* fault : {"refuse-block", "no-answer-block", "leave-after-block", "fail-set", "fail-get",
                              "reply-bytes", "ignore-finish", "never-return", "no-permission",
                              "version-without-nul", "no-answer-switch"}) {
        EXPECT_NE(help.out.find(fault), std::string::npos) << fault;
        EXPECT_NE(completion.find(fault), std::string::npos) << fault;
    }
}

// flash --all: one worker per keyboard, a table at the end; success only when every keyboard is back.
TEST(Cli, FlashAllUpdatesEveryKeyboardAndSaysHowEachEnded) {
    CliBench b;
    const std::string fw = b.File("fw.hex", HexText(0x1200, RandomBytes(0x400, 43)));  // 9 blocks
    struct Case {
        std::string args;
        int status;
        std::vector<std::string> results;  // per keyboard, in port order
    };
    const std::vector<Case> cases{
        {"--simulate-count 3", 0, {"success", "success", "success"}},
        {"--simulate-count 3 --simulate-fault refuse-block:5@2", 1, {"success", "failed", "success"}},
        {"--simulate-count 2 --timeout 5 --simulate-fault never-return@2", 5, {"success", "cancelled"}},
        {"--simulate-count 2 --simulate-new-version V9 --expect-version V2.0", 10, {"wrong-version", "wrong-version"}},
        {"--simulate-count 2 --simulate-fault ignore-finish@1 --timeout 5", 6, {"unconfirmed", "success"}},
        // Several failed: the status of the first one in port order.
        {"--simulate-count 2 --timeout 5 --simulate-fault refuse-block:5@1 --simulate-fault never-return@2", 1, {"failed", "cancelled"}},
        {"--simulate-count 2 --timeout 5 --simulate-fault never-return@1 --simulate-fault refuse-block:5@2", 5, {"cancelled", "failed"}},
        {"", 0, {"success"}},
        // A fault of the bus given to one keyboard is that keyboard's only.
        {"--simulate-count 2 --simulate-fault busy:77@2", 7, {"success", "busy"}},
        {"--simulate-count 2 --simulate-fault reply-bytes:0@1", 1, {"failed", "success"}},
        {"--simulate-count 2 --simulate-fault fail-get:5@2", 1, {"success", "failed"}},
        {"--simulate-count 2 --simulate-fault fail-set:5@1", 1, {"failed", "success"}},
        // One that may not be opened is listed with the reason (after the others), never skipped.
        {"--simulate-count 2 --simulate-fault no-permission@2", 3, {"success", "cannot-open"}},
        // Each keyboard is followed to its new port, never to another's.
        {"--simulate-count 3 --simulate-fault other-port@2 --simulate-fault other-port@3", 0, {"success", "success", "success"}},
    };
    for (const Case& c : cases) {
        const Result run = b.Kestrune("flash --all --yes --json --simulate " + fw + " " + c.args);
        EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.err;
        const auto doc = run.Json();
        EXPECT_EQ(doc["exitStatus"], c.status) << c.args;
        EXPECT_EQ(doc["result"], c.status == 0 ? "success" : "failed") << c.args;
        ASSERT_EQ(doc["keyboards"].size(), c.results.size()) << c.args;
        for (std::size_t k = 0; k < c.results.size(); ++k) {
            const auto& keyboard = doc["keyboards"][k];
            EXPECT_EQ(keyboard["result"], c.results[k]) << c.args << " keyboard " << k;
            EXPECT_EQ(keyboard["port"], "1-" + std::to_string(4 + k)) << c.args;
            // Read unless the keyboard is held by another program or gives no whole reply.
            const bool unread = c.results[k] == "busy" || c.results[k] == "cannot-open" ||
                                (c.results[k] == "failed" && c.args.find("reply-bytes") != std::string::npos);
            EXPECT_EQ(keyboard["oldVersion"], unread ? nlohmann::json() : nlohmann::json("V1.0")) << c.args;
            // Each keyboard on its own time: every success takes as long as one keyboard alone.
            if (c.results[k] == "success") {
                EXPECT_EQ(keyboard["seconds"], 6.0) << c.args;
            }
            EXPECT_EQ(keyboard["newVersion"].is_string(), c.results[k] == "success" || c.results[k] == "wrong-version")
                << c.args;
        }
    }
    // The table: a header and a row per keyboard, on standard output.
    const Result text = b.Kestrune("flash --all --yes --simulate --simulate-count 2 " + fw);
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("PORT  SERIAL  OLD   NEW   RESULT   SECONDS\n1-4   KS0001  V1.0  V2.0  success  "),
              std::string::npos) << text.out;
    EXPECT_NE(text.out.find("\n1-5   KS0002  V1.0  V2.0  success  "), std::string::npos) << text.out;
    // Every line of a message names its keyboard, also the second line of the upload's message.
    const std::string told = "1-5 KS0002: Nothing needs to be unplugged: in this demo the keyboard restarts by itself.";
    EXPECT_NE(text.err.find(told), text.err.rfind(told)) << text.err;
    EXPECT_NE(text.err.find("\n" + told), std::string::npos) << text.err;
    // Keyboards that cannot be told apart are not updated side by side; one without identity is.
    const Result alike = b.Kestrune("flash --all --yes --json --simulate " + fw +
                                    " --simulate-count 2 --simulate-fault no-identity@1 --simulate-fault no-identity@2");
    EXPECT_EQ(alike.status, 9) << alike.err;
    EXPECT_EQ(alike.Json()["result"], "several-keyboards");
    EXPECT_NE(alike.err.find("cannot be told apart"), std::string::npos) << alike.err;
    EXPECT_EQ(alike.err.find("Updating"), std::string::npos) << alike.err;
    const Result lone = b.Kestrune("flash --all --yes --json --simulate " + fw + " --simulate-fault no-identity");
    EXPECT_EQ(lone.status, 0) << lone.err;
    ASSERT_EQ(lone.Json()["keyboards"].size(), 1u);
    EXPECT_EQ(lone.Json()["keyboards"][0]["result"], "success");
    EXPECT_EQ(b.Kestrune("flash --all --device 1-4 --yes --simulate " + fw).status, 2);
    EXPECT_EQ(b.Kestrune("flash --all --simulate " + fw).status, 2);  // no terminal to ask on

    // Ctrl+C twice (SIGTERM) while one keyboard is being written stops every worker; the table
    // still comes.
    const Result stopped = b.Kestrune("flash --all --yes --json --simulate --simulate-count 3 " + fw +
                                      " --simulate-fault sigterm-at-block:3@1");
    EXPECT_EQ(stopped.status, 5) << stopped.err;
    ASSERT_EQ(stopped.Json()["keyboards"].size(), 3u);
    EXPECT_EQ(stopped.Json()["keyboards"][0]["result"], "stopped");
}

// station: each keyboard plugged in is updated once and logged; a failed one again only after a
// replug. The simulated line plugs keyboard k in at 1 s + 3 s * k, takes a failed unit out and
// plugs it in again 2 s later, and leaves the units that passed plugged in.
TEST(Cli, StationUpdatesEachArrivalOnceAndLogsEveryUnit) {
    CliBench b;
    const std::string fw = b.File("fw.hex", HexText(0x1200, RandomBytes(0x400, 44)));
    const std::string log = (b.dir.Path() / "units.jsonl").string();
    const std::string sha = cli::Sha256Hex(reinterpret_cast<const std::uint8_t*>(Slurp(fw).data()), Slurp(fw).size());
    const Result run = b.Kestrune("station " + fw + " --simulate --simulate-count 3 --log " + log +
                                  " --simulate-fault refuse-block:5@2");
    EXPECT_EQ(run.status, 1) << run.err;  // one unit failed (and passed when replugged)
    std::vector<nlohmann::json> records;
    std::istringstream lines(Slurp(log));
    for (std::string line; std::getline(lines, line);) records.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(records.size(), 4u) << Slurp(log);
    std::map<std::string, std::vector<std::string>> results;  // serial -> results in order
    for (const auto& r : records) {
        results[r["serial"]].push_back(r["result"]);
        EXPECT_EQ(r["sha256"], sha);
        EXPECT_EQ(r["file"], "fw.hex");
        EXPECT_EQ(r["versionBefore"], "V1.0");
        EXPECT_EQ(r["port"], "1-" + std::to_string(4 + std::stoi(r["serial"].get<std::string>().substr(2)) - 1));
        EXPECT_EQ(r["time"].get<std::string>().size(), 20u) << r;  // 2026-12-08T17:29:04Z
        EXPECT_EQ(r["versionAfter"].is_string(), r["result"] == "success") << r;
        EXPECT_GT(r["seconds"].get<double>(), r["result"] == "success" ? 1.0 : 0.0) << r;  // its keyboard's own time
        // The product ID it was found with: the retried unit came back in firmware-upload mode.
        const bool retry = r["serial"] == "KS0002" && r["result"] == "success";
        EXPECT_EQ(r["productId"], retry ? 6 : 17) << r;
        EXPECT_EQ(r.value("error", ""), r["result"] == "success" ? ""
                                        : "the upload failed after 4 of 9 blocks: the keyboard refused the report. "
                                          "It stays in firmware-upload mode.") << r;
    }
    // Every unit once, though later arrivals made the station look again; KS0002 again after its replug.
    const std::map<std::string, std::vector<std::string>> expected{
        {"KS0001", {"success"}}, {"KS0002", {"failed", "success"}}, {"KS0003", {"success"}}};
    EXPECT_EQ(results, expected);
    // The operator is told to replug the failed unit, and the counts are of units, the retry shown.
    EXPECT_NE(run.out.find("FAIL 1-5 KS0002  V1.0 -> ?  failed  2.0 s  (passed 1, failed 1)\n"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("1-5 KS0002: failed: unplug it and plug it in again to retry.\n"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("run flash again"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("PASS 1-5 KS0002  V1.0 -> V2.0  success  4.0 s  retry 1  (passed 2, failed 0)\n"), std::string::npos)
        << run.out;
    EXPECT_TRUE(run.out.ends_with("(passed 3, failed 0)\n")) << run.out;
    EXPECT_NE(run.err.find("Station stopped: 3 passed (1 on a retry), 0 failed.\n"), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("\x1b["), std::string::npos);  // no colour without a terminal

    // The log is appended to; --json gives the records on standard output too, and a closing line.
    const Result again = b.Kestrune("station " + fw + " --simulate --json --log " + log);
    EXPECT_EQ(again.status, 0) << again.err;
    std::istringstream out(again.out);
    std::string record, closing, more;
    std::getline(out, record);
    std::getline(out, closing);
    EXPECT_FALSE(std::getline(out, more)) << again.out;
    EXPECT_EQ(nlohmann::json::parse(record)["result"], "success");
    EXPECT_EQ(nlohmann::json::parse(closing),
              (nlohmann::json{{"units", 1}, {"passed", 1}, {"failed", 0}, {"passedOnRetry", 0}, {"exitStatus", 0}}));
    const std::string appended = Slurp(log);
    EXPECT_EQ(std::count(appended.begin(), appended.end(), '\n'), 5);

    // A unit that may not be opened is said, with what to do about it, and logged: never skipped.
    const Result denied = b.Kestrune("station " + fw + " --simulate --simulate-count 2 --json --simulate-fault no-permission@2");
    EXPECT_EQ(denied.status, 1) << denied.err;
    EXPECT_NE(denied.err.find("1-5 KS0002: error: cannot be opened: no permission."), std::string::npos) << denied.err;
    EXPECT_NE(denied.err.find("may not open it. Install the udev rule"), std::string::npos) << denied.err;
    EXPECT_NE(denied.out.find("\"result\":\"cannot-open\""), std::string::npos) << denied.out;
    // Plugged in again, it fails again: one failed unit, not one passed on a retry.
    EXPECT_TRUE(denied.out.ends_with(
        "{\"exitStatus\":1,\"failed\":1,\"passed\":1,\"passedOnRetry\":0,\"units\":2}\n")) << denied.out;

    // A unit that comes back at another port is its worker's: updated once, never a new unit.
    for (const auto& [args, units] : {std::pair{"--simulate-count 2 --simulate-fault other-port@2", 2},
                                      std::pair{"--simulate-count 3 --simulate-fault other-port", 3}}) {
        const Result moved = b.Kestrune("station " + fw + " --simulate --json " + args);
        EXPECT_EQ(moved.status, 0) << args << "\n" << moved.err;
        const std::string last = moved.out.substr(moved.out.rfind('\n', moved.out.size() - 2) + 1);
        EXPECT_EQ(nlohmann::json::parse(last),
                  (nlohmann::json{{"units", units}, {"passed", units}, {"failed", 0}, {"passedOnRetry", 0}, {"exitStatus", 0}}))
            << args;
    }
}

// A log that cannot be written (here the file size limit, as a full disk) is said at once for the
// unit whose record it lost; no unit is taken after it. The partial line it leaves is closed
// before the next record.
TEST(Cli, StationStopsTakingUnitsWhenTheLogCannotBeWritten) {
    CliBench b;
    const std::string fw = b.File("fw.hex", HexText(0x1200, RandomBytes(0x400, 46)));
    const std::string before = "{\"pad\":\"" + std::string(64 * 1024, 'x') + "\"}\n";
    const std::string log = b.File("units.jsonl", before);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = before.size() + 100;  // part of the first record
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const Result full = b.Kestrune("station " + fw + " --simulate --simulate-count 3 --log " + log);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(full.status, 8) << full.err;
    EXPECT_NE(full.err.find("kestrune: error: the record of 1-4 KS0001 could not be written to the log " + log +
                            " (File too large). No more units are taken.\n"),
              std::string::npos) << full.err;
    EXPECT_EQ(full.out.find("PASS 1-4 KS0001"), 0u) << full.out;  // shown, though the log lost it
    EXPECT_EQ(full.out.find("KS0002"), std::string::npos) << full.out;
    EXPECT_EQ(full.err.find("KS0002"), std::string::npos) << full.err;
    EXPECT_EQ(Slurp(log), before);  // the part of the record written is cut off again

    const Result next = b.Kestrune("station " + fw + " --simulate --log " + log);
    EXPECT_EQ(next.status, 0) << next.err;
    std::istringstream lines(Slurp(log).substr(before.size()));
    std::string record;
    std::getline(lines, record);
    EXPECT_EQ(nlohmann::json::parse(record)["result"], "success") << record;
}

// The station as the operator works it, on the simulated line: one Ctrl+C stops it once the unit
// being updated has ended; units are told apart by port and serial together; each record is on
// the disk before the next unit starts (the tool killed in the middle of a unit); and the bus is
// listed only when something changed (76 times for this line, the searches of the three updates
// included: a Ctrl+C at the 77th would stop it).
TEST(Cli, StationTakesEachUnitOnceAndStopsAtOneCtrlC) {
    CliBench b;
    const std::string fw = b.File("fw.hex", HexText(0x1200, RandomBytes(0x400, 47)));
    struct Case {
        std::string args;
        int status;
        std::vector<std::string> ports;  // of the records in the log
    };
    const std::vector<Case> cases{
        {"--simulate-count 3 --simulate-fault sigint-at-block:3", 0, {"1-4"}},
        {"--simulate-count 2 --simulate-fault no-serial@1 --simulate-fault no-serial@2", 0, {"1-4", "1-5"}},
        {"--simulate-count 2 --simulate-fault sigkill-at-block:3@2", 137, {"1-4"}},
        {"--simulate-count 3 --simulate-fault sigint-at-listing:77", 0, {"1-4", "1-5", "1-6"}},
    };
    for (const Case& c : cases) {
        const std::string log = (b.dir.Path() / "units.jsonl").string();
        std::filesystem::remove(log);
        const Result run = b.Kestrune("station " + fw + " --simulate --log " + log + " " + c.args);
        EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.err;
        std::vector<std::string> ports;
        std::istringstream lines(Slurp(log));
        for (std::string line; std::getline(lines, line);) ports.push_back(nlohmann::json::parse(line)["port"]);
        EXPECT_EQ(ports, c.ports) << c.args << "\n" << run.out;
    }
}

// On a terminal every message is broken at spaces for its width, nothing lost or cut mid-word; in a
// pipe each stays on one line for scripts.
TEST(Cli, MessagesWrapAtWordsForTheTerminalsWidth) {
    CliBench b;
    const std::string fw = b.File("fw.hex", HexText(0x1200, RandomBytes(0x400, 47)));
    std::string bad = HexText(0x1200, RandomBytes(0x100, 48));
    bad[bad.find('\n') + 12] ^= 1;
    const std::string refused = b.File("bad.hex", bad);
    auto words = [](const std::string& text) {
        std::vector<std::string> all;
        std::istringstream in(text);
        for (std::string word; in >> word;) all.push_back(word);
        return all;
    };
    // One keyboard, and the station's units (flash --all draws its board in place: its table has
    // a test of its own).
    for (const std::string& args : {"flash " + fw + " --simulate --yes", "check " + refused,
                                    "flash " + fw + " --simulate --yes --simulate-fault never-return --timeout 1",
                                    "station " + fw + " --simulate --simulate-count 2 --simulate-fault never-return@2 --timeout 1"}) {
        const Result piped = b.Kestrune(args);
        const std::string said = piped.out + piped.err;
        EXPECT_TRUE(std::any_of(said.begin(), said.end(), [&, n = std::size_t{0}](char c) mutable {
            n = c == '\n' ? 0 : n + 1;
            return n > 40;
        })) << "nothing to wrap in: " << args;
        for (const int columns : {40, 60, 120}) {
            SCOPED_TRACE(args + " at " + std::to_string(columns) + " columns");
            const Result shown = b.OnTerminal(args, columns);
            EXPECT_EQ(shown.status, piped.status);
            // What stays on the screen: of a line redrawn in place (the progress bar), its last form.
            std::string text;
            std::istringstream lines(shown.out);
            for (std::string line; std::getline(lines, line);) {
                if (line.ends_with('\r')) line.pop_back();
                line = std::regex_replace(line, std::regex("\x1b\\[[0-9;]*m"), "");  // colour takes no room
                line = line.substr(line.find_last_of('\r') == std::string::npos ? 0 : line.find_last_of('\r') + 1);
                EXPECT_TRUE(FitsTheTerminal(line, columns)) << line;
                text += line + "\n";
            }
            // The same words in the same order: stdout and stderr may interleave on a terminal, so
            // each stream's words are looked for in turn.
            const auto all = words(text);
            for (const std::string& stream : {piped.out, piped.err}) {
                auto at = all.begin();
                std::string messages;  // without the progress lines a pipe gets instead of the bar
                std::istringstream streamLines(stream);
                for (std::string line; std::getline(streamLines, line);)
                    if (!line.starts_with("Uploaded ")) messages += line + "\n";
                for (const std::string& word : words(messages)) {
                    at = std::find(at, all.end(), word);
                    ASSERT_NE(at, all.end()) << "missing or broken: " << word << "\n" << text;
                }
            }
        }
    }
}

// A person reads the tool in the user's language, through a whole update with the replug and the
// outcome, wrapped for the terminal; scripts read it as ever: LC_ALL=C gives today's English, and
// --json is the same document in every language.
TEST(Cli, SpeaksTheUsersLanguageAndScriptsReadItAsEver) {
    CliBench b;
    const std::string fw = b.File("fw.hex", HexText(0x1200, RandomBytes(0x400, 51)));
    const std::string flash = "flash " + fw + " --simulate=V1.0 --yes";
    const Result english = b.Kestrune(flash), json = b.Kestrune(flash + " --json");
    const Result c = b.Kestrune(flash, "LC_ALL=C LANGUAGE=de");
    EXPECT_EQ(c.out + c.err, english.out + english.err);
    std::string bad = HexText(0x1200, RandomBytes(0x100, 52));
    bad[bad.find('\n') + 12] ^= 1;
    const std::string refused = b.File("bad.hex", bad);
    std::vector<std::string> languages;
    for (const auto& entry : std::filesystem::directory_iterator(KESTRUNE_TEST_LOCALEDIR))
        languages.push_back(entry.path().filename().string());
    ASSERT_GE(languages.size(), 5u);
    for (const std::string& language : languages) {
        SCOPED_TRACE(language);
        const kestrune::Catalog catalog = testsupport::CatalogOf(language);
        const auto tr = [&](const char* text) { return catalog.Translate(text); };
        const std::string environment = "LANG=C.UTF-8 LANGUAGE=" + language;
        const Result said = b.Kestrune(flash, environment);
        EXPECT_EQ(said.status, 0);
        const std::string shown = said.out + said.err;
        for (const std::string& text :
             {tr("Switching the keyboard to firmware-upload mode..."), tr(upload::text::SimulatedRestartsByItself),
              kestrune::Fill(catalog.FindPlural("Uploading %s block from %s...", 9)
                                 ? *catalog.FindPlural("Uploading %s block from %s...", 9)
                                 : "(no translation)",
                             {"9", "0x1200"}),
              tr("Keep the keyboard plugged in until the update has ended."),
              kestrune::Fill(tr("Firmware updated: the keyboard reports %s."), {"V2.0"})})
            EXPECT_NE(shown.find(text), std::string::npos) << text << "\n" << shown;
        EXPECT_EQ(b.Kestrune(flash + " --json", environment).out, json.out);
        // A refused file: the reader's words too.
        const Result check = b.Kestrune("check " + refused, environment);
        EXPECT_EQ(check.status, 4);
        EXPECT_NE(check.err.find(kestrune::Fill(tr("Invalid HEX record on line %s of %s: %s"), {"2", "bad.hex", ""})),
                  std::string::npos) << check.err;
        // On a terminal 40 columns wide every line fits, also where no space breaks a line.
        const Result onTerminal = b.OnTerminal(flash, 40, {}, "env " + environment + " " + KESTRUNE_CLI_PATH);
        std::istringstream lines(onTerminal.out);
        for (std::string line; std::getline(lines, line);) {
            if (line.ends_with('\r')) line.pop_back();
            line = line.substr(line.find_last_of('\r') == std::string::npos ? 0 : line.find_last_of('\r') + 1);
            EXPECT_TRUE(FitsTheTerminal(line, 40)) << line;
        }
    }
}

// flash --all's table fits the terminal, or gives one keyboard a line when it would not.
TEST(Cli, FlashAllTableFitsTheTerminal) {
    CliBench b;
    const std::string fw = b.File("fw.bin", std::string(0x1300, 'x'));
    const std::string args = "flash --all " + fw + " --simulate --simulate-count 2 --yes";
    EXPECT_NE(b.OnTerminal(args, 40).out.find("\r\n1-5 KS0002: V1.0 -> V2.0, success, "), std::string::npos);
    EXPECT_NE(b.OnTerminal(args, 80).out.find("PORT  SERIAL  OLD   NEW   RESULT   SECONDS\r\n"), std::string::npos);
}

// Ctrl+C typed during the upload leaves no "^C" on the terminal: the progress line is ended, then
// the tool says what stopping means; a second Ctrl+C stops it.
TEST(Cli, ARunStartedInTheBackgroundIsNotStoppedByTheTerminal) {
    // A shell with job control runs it with '&': its own process group, not the terminal's
    // foreground one. Setting the terminal would stop it (SIGTTOU); wait then says so (> 128).
    CliBench b;
    const std::string fw = b.File("fw.bin", std::string(0x1400, 'x'));
    const std::string command = std::string(KESTRUNE_CLI_PATH) + " flash " + fw + " --simulate --yes";
    const Result run = b.OnTerminal("-c 'set -m; " + command + " & wait $!; echo \"ended $?\"'", 80, {}, "/bin/bash");
    EXPECT_NE(run.out.find("ended 0"), std::string::npos) << run.out;
}

TEST(Cli, CtrlCOnTheTerminalLeavesNoStrayCaret) {
    CliBench b;
    const std::string fw = b.File("fw.bin", std::string(0x9000, 'x'));  // 265 blocks at 10 ms each
    int typed = 0;
    const Result run = b.OnTerminal("flash " + fw + " --simulate-realtime --simulate-latency 5 --yes", 60,
                                    [&](const std::string& shown) -> std::string {
                                        if (typed == 0 && shown.find("% ") != std::string::npos) return ++typed, "\x03";
                                        if (typed == 1 && shown.find("Press Ctrl+C again") != std::string::npos)
                                            return ++typed, "\x03";
                                        return "";
                                    });
    EXPECT_EQ(typed, 2) << run.out;
    EXPECT_EQ(run.out.find("^C"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\r\nStopping now leaves"), std::string::npos) << run.out;
    EXPECT_NE(run.status, 0);
}
