#pragma once
// The commands of the command-line tool. Each returns the exit status.
#include <optional>
#include <string>
#include <vector>

#include "cli/Output.h"
#include "cli/Session.h"

namespace cli {

struct DeviceOptions {
    std::optional<std::string> simulateVersion;  // --simulate[=VERSION]
    std::string simulateDump;                    // --simulate-dump OUT
    std::vector<std::string> simulateFaults;     // --simulate-fault FAULT (test aid)
    std::string pidFile;                         // --pid-file FILE (UTF-8)
    SimulationPace simulatePace;                 // --simulate-realtime, --simulate-latency MS
    int simulateCount = 1;                       // --simulate-count N
    std::string deviceId;                        // --device ID: port path, serial or device path
    std::optional<std::string> simulateNewVersion;  // --simulate-new-version: reported after an upload
};

struct FileOptions {
    std::string file;
    std::string start = "1200";
};

struct FlashOptions {
    bool yes = false;
    int timeoutSeconds = 60;
    bool noWait = false;  // end once the blocks are sent, without waiting for the restart
    std::string expectSha256;   // --expect-sha256: the file's SHA-256, hex in either case (empty: none)
    std::optional<std::string> expectVersion;  // --expect-version: the version to come back with
    // What the user is told to do after an upload that failed part-way, to update the keyboard
    // after all; empty when the caller tells it (the station: a replug, and it retries the unit).
    std::string again = N_("run flash again");
};

// Whether text is a SHA-256 as hexadecimal text: 64 digits, either case.
bool IsSha256Text(const std::string& text);

// Faults the simulated keyboard can be given (see ParseSimulatedFault in cli/Session.h). False
// when a name is not one of them or its number does not fit.
bool IsKnownSimulatedFault(const std::string& fault);

int RunList(Output& out, const DeviceOptions& device);
int RunInfo(Output& out, const DeviceOptions& device);
int RunPids(Output& out, const std::string& pidFile);
int RunCheck(Output& out, const FileOptions& file);
int RunImage(Output& out, const FileOptions& file, const std::string& outputPath);
// The JSON "result" of a flash that ended with this exit status before the upload said otherwise.
const char* FlashResultOfStatus(int status);

int RunFlash(Output& out, const DeviceOptions& device, const FileOptions& file,
             const FlashOptions& flash);
// flash --all: every keyboard attached, side by side, one worker each; a table at the end. Exit 0
// only when every keyboard came back confirmed, else the status of the first one that did not.
int RunFlashAll(Output& out, const DeviceOptions& device, const FileOptions& file,
                const FlashOptions& flash);

struct StationOptions {
    std::string logPath;  // --log: JSON Lines, one record a unit, appended (empty: none)
};
// station: flashes each keyboard plugged in, once, until Ctrl+C (with the simulated keyboards: until
// every one has come, been flashed and left). Exit 0 when no unit failed, 1 when one did.
int RunStation(Output& out, const DeviceOptions& device, const FileOptions& file, const FlashOptions& flash,
               const StationOptions& station);

}  // namespace cli
