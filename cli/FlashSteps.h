#pragma once
// The steps of a flash that the commands share: reading the firmware file once, finding and
// choosing keyboards, and the whole update of one keyboard that a session has open. `flash`
// updates one keyboard with them, `flash --all` and `station` several, each in a worker of its own.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/Output.h"
#include "cli/Session.h"
#include "upload/FirmwareImage.h"
#include "upload/UploadSequence.h"
#include "usbio/Discovery.h"

namespace cli {

// A firmware file read and checked once, for every keyboard it is written to.
struct PreparedFile {
    FileOptions file;
    upload::FirmwareImage image;
    upload::FirmwareCheck check;
    std::string fileSha;  // SHA-256 of the file's bytes, lower-case hex
};

// Reads and checks the file as an upload would, and describes it (--expect-sha256 included).
// 0, or the exit status to end with (the reason said; Finish not called).
int PrepareFlashFile(Output& out, const FileOptions& file, const FlashOptions& flash, PreparedFile& prepared);

// What every flash command does first: PrepareFlashFile, the signal handler when nothing is to be
// asked, the session (--simulate-new-version applied to every simulated keyboard), --pid-file and
// the table's errors shown on out. Null, with status the exit status (the reason said), when one
// of them failed.
std::unique_ptr<Session> StartFlashing(Output& out, const DeviceOptions& device, const FileOptions& file,
                                       const FlashOptions& flash, PreparedFile& prepared, int& status);

// Receives the upload's progress instead of the terminal's progress bar.
using ProgressSink = std::function<void(std::int64_t doneBytes, std::int64_t totalBytes)>;

// The whole update of the keyboard the session has open and follows: the write lock, the version,
// the question (unless flash.yes), the switch into firmware-upload mode with its replug wait, the
// upload and the wait for the keyboard's return. Says each step, fills out.doc ("result",
// "keyboard", "newFirmwareVersion", "blocksSent") and returns out.Finish(status).
int FlashOpenKeyboard(Output& out, Session& session, const PreparedFile& prepared, const FlashOptions& flash,
                      const DeviceOptions& device, const ProgressSink& progress = {});

// Session set-up shared by the device commands: table errors of PIDDef.txt are shown.
void WatchTable(Session& session, Output& out);
// --pid-file: the named table for the searches; false (and said) when there is no such file.
bool UseProductIdFile(Session& session, Output& out, const DeviceOptions& device);
// One search, with table errors shown; false (and the reason said) when no keyboard is open.
bool FindKeyboard(Session& session, Output& out);
// Says why no keyboard was found.
void ExplainNoKeyboard(Output& out, const usbio::DiscoveryReport& report);

nlohmann::json NullIfEmpty(const std::string& text);
// One keyboard as the lists of several show it: its device path, port, serial and mode.
std::string KeyboardLine(const usbio::FoundKeyboard& keyboard);
std::string KeyboardLines(const std::vector<usbio::FoundKeyboard>& keyboards);
// How a keyboard that is there but may not be opened is shown.
inline constexpr char CannotBeOpenedText[] = N_("cannot be opened: no permission");
inline constexpr char NoKeyboardText[] = N_("no keyboard found. Attach the keyboard and try again.");
inline constexpr char CancelledText[] = N_("cancelled; nothing was written.");
// What to do about the keyboards among these that cannot be opened (a paragraph after a blank
// line), or empty.
std::string AccessHintFor(const std::vector<usbio::FoundKeyboard>& keyboards);
nlohmann::json KeyboardJson(const usbio::FoundKeyboard& keyboard);

bool StdinIsTerminal();
bool StderrIsTerminal();
// Asks on the terminal; true for y or yes.
bool Confirm(const std::string& question);
// Unless flash.yes, asks the question (without a terminal, or with --json: the usage error that
// --yes is missing); then handles Ctrl+C. 0 to go on, else the exit status (the reason said).
int AskBeforeWriting(Output& out, const FlashOptions& flash, const std::string& question);

// ---- shared by the commands that look (InspectCommands.cpp) and flash (Commands.cpp) ----
std::string Hex4(std::int64_t value);
const char* ModeName(std::int32_t matchedPid);
const char* OpenErrorName(usbio::OpenError error);
// Chooses the keyboard a device command works on: the one that --device names, or the only one
// attached. Then it is open and every later search of the session follows it, and the result is
// 0. Several that --device does not narrow down to one: -1, with them in several and nothing
// open. Otherwise the exit status, the reason said. A keyboard to be written (forWriting) that
// can be told from another one only by its device path, or beside one that cannot be opened, is
// refused: never a guess.
int ChooseKeyboard(Session& session, Output& out, const std::string& id,
                   std::vector<usbio::FoundKeyboard>& several, bool forWriting = false);
// Reads the file once and checks it as an upload would; fileSha (when given) is the SHA-256 of the
// bytes read. Returns 0 or the exit status to end with.
// notes (when given): what `check` tells of a HEX file besides (upload::ImageReadHooks::Note).
int LoadFile(Output& out, const FileOptions& file, upload::FirmwareImage& image, upload::FirmwareCheck& check,
             std::string* fileSha = nullptr, std::vector<std::string>* notes = nullptr);
// The bytes the upload sends: every block, from the start address.
std::vector<std::uint8_t> SentBytes(const upload::FirmwareImage& image, const upload::FirmwareCheck& check);
void DescribeFile(Output& out, const FileOptions& file, const upload::FirmwareImage& image,
                  const upload::FirmwareCheck& check, const std::string& fileSha);

}  // namespace cli
