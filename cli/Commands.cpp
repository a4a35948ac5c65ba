#include "cli/Commands.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <iostream>
#include <sstream>

#include "cli/FlashSteps.h"
#include "cli/Session.h"
#include "cli/Sha256.h"
#include "cli/TerminalView.h"
#include "common/FirmwareVersion.h"
#include "common/NumberText.h"
#include "common/RegularFile.h"
#include "upload/Commands.h"
#include "upload/UploadText.h"
#include "upload/UploadSequence.h"

#if defined(_WIN32)
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace cli {

std::string Hex4(std::int64_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04llX", static_cast<long long>(value));
    return text;
}

const char* ModeName(std::int32_t matchedPid) {
    return matchedPid == usbio::UploadModePID ? "Firmware Upload" : "Normal";
}

const char* KindName(upload::FirmwareKind kind) {
    switch (kind) {
        case upload::FirmwareKind::Hex: return "HEX";
        case upload::FirmwareKind::Bin: return "BIN";
        case upload::FirmwareKind::Dat: return "DAT";
        case upload::FirmwareKind::Unknown: break;
    }
    return "unknown";
}

const char* OpenErrorName(usbio::OpenError error) {
    switch (error) {
        case usbio::OpenError::None: return "none";
        case usbio::OpenError::NotFound: return "not-found";
        case usbio::OpenError::PermissionDenied: return "permission-denied";
        case usbio::OpenError::Busy: return "busy";
        case usbio::OpenError::Other: break;
    }
    return "other";
}


bool StdinIsTerminal() { return isatty(fileno(stdin)) != 0; }
bool StderrIsTerminal() { return isatty(fileno(stderr)) != 0; }

// Session set-up shared by the device commands: table errors of PIDDef.txt are shown.
void WatchTable(Session& session, Output& /*out*/) {
    session.onTableError = [](const std::string& text) {
        std::string shown = text;
        // The terminal gets what `pids` says: the file and the reason, without the window's
        // heading line.
        const std::string heading = std::string(usbio::IdIsMatchedErrorText) + "\r\n\r\n";
        if (shown.starts_with(heading)) shown.erase(0, heading.size());
        // CR LF to LF. (Erasing the CR rather than replacing both keeps GCC 12 at -O3 from a false
        // -Wrestrict warning inside std::string::replace.)
        for (std::size_t p; (p = shown.find("\r\n")) != std::string::npos;) shown.erase(p, 1);
        Warn(shown);
    };
}

// Says why no keyboard was found.
void ExplainNoKeyboard(Output& out, const usbio::DiscoveryReport& report) {
    if (!report.PermissionDenied.empty()) {
        out.Error(usbio::AccessProblemHint(report));
        out.doc["permissionDenied"] = report.PermissionDenied;
    } else if (!report.NoUsableFeature.empty()) {
        out.Error(Fill(Tr("the keyboard at %s has no feature report of a length usable for firmware uploads."),
                       {report.NoUsableFeature.front()}));
    } else {
        out.Error(Tr(NoKeyboardText));
    }
}

// --pid-file: the named table for the searches; false (and said) when there is no such file. What
// is there but cannot be a table (a named pipe, a folder, a file too large) is the searches' to
// refuse: they warn and use the built-in table, as `pids` does.
bool UseProductIdFile(Session& session, Output& out, const DeviceOptions& device) {
    if (device.pidFile.empty()) return true;
    std::error_code ec;
    if (!std::filesystem::exists(PathFromUtf8(device.pidFile), ec)) {
        out.Error(Fill(Tr("no such file: %s"), {PrintableText(device.pidFile)}));
        return false;
    }
    session.productIdFile = PathFromUtf8(device.pidFile);
    return true;
}

// One search, with table errors shown; false (and the reason said) when no keyboard is open.
bool FindKeyboard(Session& session, Output& out) {
    WatchTable(session, out);
    const auto report = session.Scan();
    if (session.Connection().IsOpen()) return true;
    ExplainNoKeyboard(out, report);
    return false;
}

nlohmann::json NullIfEmpty(const std::string& text) {
    return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

// One keyboard as the lists of several show it: its device path, port, serial and mode.
std::string KeyboardLine(const usbio::FoundKeyboard& k) {
    return "  " + k.Path + "  " +
           Fill(Tr("port %s, serial %s, %s"),
                {k.Identity.PortPath.empty() ? Tr("unknown") : k.Identity.PortPath,
                 k.Identity.Serial.empty() ? Tr("none") : k.Identity.Serial,
                 k.CannotBeOpened ? Tr(CannotBeOpenedText) : Fill(Tr("%s mode"), {Tr(ModeName(k.MatchedPID))})});
}

nlohmann::json KeyboardJson(const usbio::FoundKeyboard& k) {
    nlohmann::json entry{{"path", k.Path}, {"port", NullIfEmpty(k.Identity.PortPath)},
                         {"serial", NullIfEmpty(k.Identity.Serial)}, {"productId", k.MatchedPID},
                         {"mode", ModeName(k.MatchedPID)}};
    if (k.CannotBeOpened) entry["openError"] = "permission-denied";
    return entry;
}

std::string AccessHintFor(const std::vector<usbio::FoundKeyboard>& keyboards) {
    usbio::DiscoveryReport report;
    for (const auto& k : keyboards)
        if (k.CannotBeOpened) report.PermissionDenied.push_back(k.Path);
    const std::string hint = usbio::AccessProblemHint(report);
    return hint.empty() ? "" : "\n\n" + hint;
}

std::string KeyboardLines(const std::vector<usbio::FoundKeyboard>& keyboards) {
    std::string lines;
    for (const auto& k : keyboards) lines += "\n" + KeyboardLine(k);
    return lines;
}


int ChooseKeyboard(Session& session, Output& out, const std::string& id,
                   std::vector<usbio::FoundKeyboard>& several, bool forWriting) {
    std::vector<usbio::FoundKeyboard> unopened;
    std::vector<usbio::FoundKeyboard> found = session.FindAll(&unopened);
    // The keyboard named is there but may not be opened: why, and what to do about it.
    for (const auto& k : unopened) {
        if (!usbio::MatchesDeviceId(k, id)) continue;
        out.doc["keyboards"] = nlohmann::json::array({KeyboardJson(k)});
        out.doc["permissionDenied"] = nlohmann::json::array({k.Path});
        out.Error(Fill(Tr("--device %s names a keyboard that cannot be opened (no permission): nothing can be "
                          "written to it."),
                       {id}) +
                  AccessHintFor({k}));
        return ExitNoKeyboard;
    }
    // Never a guess between a keyboard that can be written and one that cannot be opened: the
    // user names the one meant, as between two that can.
    if (forWriting && id.empty() && !found.empty() && !unopened.empty()) {
        several = found;
        several.insert(several.end(), unopened.begin(), unopened.end());
        return -1;
    }
    if (found.empty()) {
        // The usual search says why there is none (or finds one plugged in meanwhile).
        if (!FindKeyboard(session, out)) return ExitNoKeyboard;
        usbio::CloseDevice(session.Connection());
        found = session.FindAll();
    }
    std::vector<usbio::FoundKeyboard> chosen;
    for (const auto& k : found)
        if (id.empty() || usbio::MatchesDeviceId(k, id)) chosen.push_back(k);
    if (chosen.empty()) {
        out.doc["keyboards"] = nlohmann::json::array();
        for (const auto& k : found) out.doc["keyboards"].push_back(KeyboardJson(k));
        out.Error(found.empty() ? Tr(NoKeyboardText)
                                : Fill(Tr("no keyboard matches --device %s. The keyboards attached:"), {id}) +
                                      KeyboardLines(found));
        return ExitNoKeyboard;
    }
    if (chosen.size() > 1) {
        several = chosen;
        return -1;
    }
    session.Follow(chosen.front());
    if (forWriting && session.FollowingByPath()) {
        std::vector<usbio::FoundKeyboard> alike;
        for (const auto& k : found)
            if (k.Identity.PortPath.empty() && k.Identity.Serial.empty()) alike.push_back(k);
        out.doc["result"] = "several-keyboards";
        out.doc["keyboards"] = nlohmann::json::array();
        for (const auto& k : alike) out.doc["keyboards"].push_back(KeyboardJson(k));
        out.Error(Fill(TrN("--device %s names a keyboard that cannot be told apart from %s other (no port and no "
                           "serial number): after the switch into firmware-upload mode any of them could be the "
                           "one found. Attach only the keyboard to update. Nothing was written. The keyboards:",
                           "--device %s names a keyboard that cannot be told apart from %s others (no port and no "
                           "serial number): after the switch into firmware-upload mode any of them could be the "
                           "one found. Attach only the keyboard to update. Nothing was written. The keyboards:",
                           alike.size() - 1),
                       {id, std::to_string(alike.size() - 1)}) +
                  KeyboardLines(alike));
        return ExitSeveralKeyboards;
    }
    return FindKeyboard(session, out) ? 0 : ExitNoKeyboard;
}

void WriteDump(Session& session, const DeviceOptions& device) {
    if (device.simulateDump.empty() || !session.Keyboard()) return;
    const auto& bytes = session.Keyboard()->BlockBytesReceived();
    std::ofstream(PathFromUtf8(device.simulateDump), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

int LoadFile(Output& out, const FileOptions& file, upload::FirmwareImage& image, upload::FirmwareCheck& check,
             std::string* fileSha, std::vector<std::string>* notes) {
    std::string problem;
    if (!upload::IsValidStartAddressText(file.start, &problem)) {
        out.Error(problem);
        return ExitUsage;
    }
    image.assign(upload::ImageSize, 0);
    upload::FirmwareFile bytes{file.file, {}};  // a file of unknown kind is not read: the check says so
    try {
        if (upload::FirmwareKindOfPath(file.file) != upload::FirmwareKind::Unknown)
            bytes = upload::ReadFirmwareFile(file.file);
        upload::ImageReadHooks hooks;
        if (notes) hooks.Note = [notes](const std::string& note) { notes->push_back(note); };
        check = upload::CheckFirmware(bytes, file.start, image, hooks);
    } catch (const upload::FirmwareError& e) {
        check = upload::FirmwareCheck{};
        check.message = e.what();
    }
    if (!check.ok) {
        out.Error(check.message);
        out.doc["file"] = file.file;
        return ExitInvalidFile;
    }
    if (fileSha) *fileSha = Sha256Hex(reinterpret_cast<const std::uint8_t*>(bytes.bytes.data()), bytes.bytes.size());
    return 0;
}

// The bytes the upload sends: every block, from the start address.
std::vector<std::uint8_t> SentBytes(const upload::FirmwareImage& image,
                                    const upload::FirmwareCheck& check) {
    const auto begin = image.begin() + check.startAddress;
    return std::vector<std::uint8_t>(
        begin, begin + static_cast<std::ptrdiff_t>(check.blocks) * static_cast<std::ptrdiff_t>(upload::BlockSize));
}

void DescribeFile(Output& out, const FileOptions& file, const upload::FirmwareImage& image,
                  const upload::FirmwareCheck& check, const std::string& fileSha) {
    const auto bytes = SentBytes(image, check);
    const std::string sha = Sha256Hex(bytes.data(), bytes.size());
    const char* kind = KindName(upload::FirmwareKindOfPath(file.file));
    out.doc["file"] = file.file;
    out.doc["kind"] = kind;
    out.doc["startAddress"] = check.startAddress;
    out.doc["endAddress"] = check.endAddress;
    out.doc["blocks"] = check.blocks;
    out.doc["bytes"] = bytes.size();
    out.doc["sha256"] = sha;
    out.doc["fileSha256"] = fileSha;
    out.doc["bytesBelowStart"] = check.bytesBelowStart;
    if (!out.Json()) {
        const std::vector<std::pair<std::string, std::string>> rows{
            {Tr("File:"), PrintableText(file.file)},
            {Tr("Kind:"), kind},
            {Tr("Start address:"), Hex4(check.startAddress)},
            {Tr("End address:"), Hex4(check.endAddress)},
            {Tr("Blocks:"), Fill(TrN("%s (%s byte)", "%s (%s bytes)", bytes.size()),
                                 {std::to_string(check.blocks), std::to_string(bytes.size())})},
            {Tr("SHA-256:"), Fill(Tr("%s (the bytes sent)"), {sha})},
            {Tr("File SHA-256:"), fileSha}};
        for (const std::string& line : AlignedRows(rows)) out.Say(line);
        if (check.bytesBelowStart > 0) out.Say(upload::NotSentBelowStartText(check));
    }
}

// Scans until the keyboard is open in the wanted mode (and, when version is given, its version
// has been read into it), or the time is up, or Ctrl+C is pressed once more.
enum class WaitResult { Found, TimedOut, Cancelled, Busy };
WaitResult WaitForKeyboard(Session& session, bool uploadMode, int timeoutSeconds,
                           std::string* version = nullptr) {
    const std::int64_t deadline = session.Clock().NowMs() + std::int64_t{timeoutSeconds} * 1000;
    const int interruptsBefore = Interrupts();
    for (;;) {
        if (Interrupts() > interruptsBefore || Terminated()) return WaitResult::Cancelled;
        session.Scan(uploadMode ? usbio::ExpectedMode::Upload : usbio::ExpectedMode::Normal);
        auto& c = session.Connection();
        if (c.IsOpen() && (c.MatchedPID == usbio::UploadModePID) == uploadMode) {
            // A keyboard to be written to is taken for writing before anything is sent to it.
            if (uploadMode && !usbio::LockForWriting(c)) {
                usbio::CloseDevice(c);
                return WaitResult::Busy;
            }
            if (version == nullptr || upload::ReadFirmwareVersion(c, *version) == upload::CommandOK)
                return WaitResult::Found;
        }
        usbio::CloseDevice(c);
        if (session.Clock().NowMs() >= deadline) return WaitResult::TimedOut;
        session.Sleep(250);
    }
}

// New firmware comes back by itself after the mode switch and the upload. A version that could
// not be read, or is empty, counts as old: the user is then asked to replug, never left waiting.
bool IsNewFirmware(bool versionRead, const std::string& version) {
    return versionRead && kestrune::IsNewFirmwareVersion(version);
}

// Reads the version of the open keyboard. A failed exchange closes the device: it is then looked
// for once more and asked again, so that the steps after it still find it open.
bool ReadVersion(Session& session, std::string& version) {
    if (upload::ReadFirmwareVersion(session.Connection(), version) == upload::CommandOK) return true;
    if (!session.Connection().IsOpen()) {
        const std::int32_t mode = session.Connection().MatchedPID;
        session.Scan();
        if (session.Connection().IsOpen() && session.Connection().MatchedPID != mode)
            usbio::CloseDevice(session.Connection());
    }
    return session.Connection().IsOpen() &&
           upload::ReadFirmwareVersion(session.Connection(), version) == upload::CommandOK;
}


bool Confirm(const std::string& question) {
    std::fprintf(stderr, "%s [y/N] ", PrintableLines(question).c_str());
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
}

bool IsKnownSimulatedFault(const std::string& fault) { return ParseSimulatedFault(fault).has_value(); }

bool IsSha256Text(const std::string& text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

const char* FlashResultOfStatus(int status) {
    switch (status) {
        case ExitOK: return "success";
        case ExitUsage: return "usage";
        case ExitNoKeyboard: return "no-keyboard";
        case ExitInvalidFile: return "refused";
        case ExitCancelled: return "cancelled";
        case ExitUnconfirmed: return "unconfirmed";
        case ExitBusy: return "busy";
        case ExitSeveralKeyboards: return "several-keyboards";
        case ExitWrongVersion: return "wrong-version";
        default: return "failed";
    }
}

namespace {

// Says that another program holds the keyboard; nothing was written.
int Busy(Output& out, const usbio::DeviceConnection& connection) {
    out.doc["result"] = "busy";
    out.Error(usbio::KeyboardBusyText(connection.BusyHolderPid));
    return out.Finish(ExitBusy);
}

int Flash(Output& out, const DeviceOptions& device, const FileOptions& file, const FlashOptions& flash) {
    PreparedFile prepared;
    int status = 0;
    const std::unique_ptr<Session> started = StartFlashing(out, device, file, flash, prepared, status);
    if (!started) return out.Finish(status);
    Session& session = *started;
    std::vector<usbio::FoundKeyboard> several;
    const int chosen = ChooseKeyboard(session, out, device.deviceId, several, true);
    if (chosen > 0) return out.Finish(chosen);
    if (chosen < 0) {
        // Never a guess: with several attached the user names the one to write.
        out.doc["result"] = "several-keyboards";
        out.doc["keyboards"] = nlohmann::json::array();
        for (const auto& k : several) out.doc["keyboards"].push_back(KeyboardJson(k));
        const std::string count = std::to_string(several.size());
        out.Error((device.deviceId.empty()
                       ? Fill(TrN("%s keyboard is attached; choose one with --device ID (its port, serial number or "
                                  "device path), or flash them all with --all. Nothing was written. The keyboards:",
                                  "%s keyboards are attached; choose one with --device ID (its port, serial number or "
                                  "device path), or flash them all with --all. Nothing was written. The keyboards:",
                                  several.size()),
                              {count})
                       : Fill(TrN("--device %s names %s keyboard; choose one with --device ID (its port, serial "
                                  "number or device path), or flash them all with --all. Nothing was written. The "
                                  "keyboards:",
                                  "--device %s names %s keyboards; choose one with --device ID (its port, serial "
                                  "number or device path), or flash them all with --all. Nothing was written. The "
                                  "keyboards:",
                                  several.size()),
                              {device.deviceId, count})) +
                  KeyboardLines(several) + AccessHintFor(several));
        return out.Finish(ExitSeveralKeyboards);
    }
    return FlashOpenKeyboard(out, session, prepared, flash, device);
}

}  // namespace

int PrepareFlashFile(Output& out, const FileOptions& file, const FlashOptions& flash, PreparedFile& prepared) {
    prepared.file = file;
    upload::FirmwareImage& image = prepared.image;
    upload::FirmwareCheck& check = prepared.check;
    // The file is read once: its hash, its check and the image sent are all of the same bytes.
    std::string fileSha;
    if (const int status = LoadFile(out, file, image, check, &fileSha)) return status;
    prepared.fileSha = fileSha;
    DescribeFile(out, file, image, check, fileSha);
    if (!flash.expectSha256.empty()) {
        std::string expected = flash.expectSha256;
        std::transform(expected.begin(), expected.end(), expected.begin(),
                       [](char c) { return static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c); });
        if (expected != fileSha) {
            out.Error(Fill(Tr("the SHA-256 of %s is %s, not the expected %s; nothing was sent."),
                           {PrintableText(file.file), fileSha, expected}));
            return ExitInvalidFile;
        }
    }
    return 0;
}

int AskBeforeWriting(Output& out, const FlashOptions& flash, const std::string& question) {
    if (!flash.yes) {
        if (out.Json() || !StdinIsTerminal()) {
            out.Error(Tr("add --yes to write the firmware without being asked."));
            return ExitUsage;
        }
        if (!Confirm(question)) {
            out.Error(Tr(CancelledText));
            return ExitCancelled;
        }
    }
    // From here on Ctrl+C is handled: before the first block it cancels cleanly, during the
    // upload it asks to be pressed a second time.
    InstallInterruptHandler();
    if (Interrupts() > 0) {
        out.Error(Tr(CancelledText));
        return ExitCancelled;
    }
    return 0;
}

std::unique_ptr<Session> StartFlashing(Output& out, const DeviceOptions& device, const FileOptions& file,
                                       const FlashOptions& flash, PreparedFile& prepared, int& status) {
    if ((status = PrepareFlashFile(out, file, flash, prepared))) return nullptr;
    // Without a question to ask, signals are handled from the start: SIGTERM during the search
    // still ends with the result and the JSON document.
    if (flash.yes) InstallInterruptHandler();
    auto session = std::make_unique<Session>(device.simulateVersion, device.simulateFaults, device.simulatePace,
                                             device.simulateCount);
    if (device.simulateNewVersion)
        for (sim::SimKeyboard* keyboard : session->Keyboards())
            keyboard->Config().VersionAfterFinish = *device.simulateNewVersion;
    if (!UseProductIdFile(*session, out, device)) {
        status = ExitUsage;
        return nullptr;
    }
    WatchTable(*session, out);
    return session;
}

int FlashOpenKeyboard(Output& out, Session& session, const PreparedFile& prepared, const FlashOptions& flash,
                      const DeviceOptions& device, const ProgressSink& progress) {
    const FileOptions& file = prepared.file;
    const upload::FirmwareImage& image = prepared.image;
    const upload::FirmwareCheck& check = prepared.check;
    auto& c = session.Connection();
    // One program at a time writes to a keyboard: it is taken before anything is sent to it.
    if (!usbio::LockForWriting(c)) return Busy(out, c);
    std::string version;
    const bool versionRead = ReadVersion(session, version);
    out.doc["keyboard"] = {{"productId", c.MatchedPID}, {"firmwareVersion", version}, {"mode", ModeName(c.MatchedPID)}};
    if (const auto& k = session.Following()) {
        out.doc["keyboard"]["port"] = NullIfEmpty(k->Identity.PortPath);
        out.doc["keyboard"]["serial"] = NullIfEmpty(k->Identity.Serial);
    }
    out.Say(Fill(Tr("Keyboard found: product ID %s, firmware %s, %s mode."),
                 {std::to_string(c.MatchedPID), version.empty() ? Tr("(unknown)") : PrintableText(version),
                  Tr(ModeName(c.MatchedPID))}));

    if (const int status = AskBeforeWriting(out, flash, Fill(Tr("Write %s to the keyboard?"), {file.file})))
        return out.Finish(status);

    bool newFirmware = IsNewFirmware(versionRead, version);
    if (c.MatchedPID != usbio::UploadModePID) {
        out.Say(Tr("Switching the keyboard to firmware-upload mode..."));
        const std::array<std::uint8_t, upload::PayloadLength> zeros{};
        bool inUploadMode = false;
        if (upload::SendCommand(c, upload::CmdEnterUpload, 0x00, zeros) != upload::CommandOK) {
            if (c.WriteBusy) return Busy(out, c);
            session.Sleep(1000);
            session.Scan();
            // A keyboard that switched without answering is already there: the switch is never
            // sent to it a second time.
            inUploadMode = c.IsOpen() && c.MatchedPID == usbio::UploadModePID;
            if (inUploadMode && !usbio::LockForWriting(c)) return Busy(out, c);
            if (inUploadMode) {
                out.Say(Tr("The keyboard is already in firmware-upload mode."));
            } else if (upload::SendCommand(c, upload::CmdEnterUpload, 0x00, zeros) != upload::CommandOK) {
                if (c.WriteBusy) return Busy(out, c);
                out.Error(Tr("the keyboard did not take the switch to firmware-upload mode; nothing was written."));
                return out.Finish(ExitUploadFailed);
            }
        }
        if (!inUploadMode) {
            std::string after;
            const bool afterRead = upload::ReadFirmwareVersion(c, after) == upload::CommandOK;
            usbio::CloseDevice(c);
            if (!newFirmware && !IsNewFirmware(afterRead, after))
                out.Say(Tr(session.Simulated() ? upload::text::SimulatedRestartsByItself
                                               : N_("Unplug the keyboard's USB cable now, and plug it in again.")),
                        Output::Instruction);
            out.Say(Fill(Tr("Waiting for the keyboard in firmware-upload mode (up to %s s)..."),
                         {std::to_string(flash.timeoutSeconds)}));
            switch (WaitForKeyboard(session, true, flash.timeoutSeconds)) {
                case WaitResult::Found:
                    break;
                case WaitResult::Busy:
                    return Busy(out, c);
                case WaitResult::Cancelled:
                    out.Error(Tr("cancelled; nothing was written. The keyboard may be in firmware-upload mode: run "
                                 "flash again."));
                    return out.Finish(ExitCancelled);
                case WaitResult::TimedOut:
                    out.Error(Fill(Tr("the keyboard did not come back in firmware-upload mode within %s s; nothing "
                                      "was written."),
                                   {std::to_string(flash.timeoutSeconds)}));
                    return out.Finish(ExitCancelled);
            }
        }
        // In firmware-upload mode the keyboard's answer decides; without one the first stands.
        std::string loader;
        if (ReadVersion(session, loader)) newFirmware = IsNewFirmware(true, loader);
    }

    out.Say(Fill(TrN("Uploading %s block from %s...", "Uploading %s blocks from %s...", check.blocks),
                 {std::to_string(check.blocks), Hex4(check.startAddress)}));
    out.Say(Tr("Keep the keyboard plugged in until the update has ended."));
    TerminalView view(out, session, StderrIsTerminal());
    view.progressTo = progress;
    const upload::UploadOutcome outcome = upload::UploadFirmware(c, image, check, view, newFirmware);
    view.EndProgressLine();
    if (!progress) WriteDump(session, device);
    out.doc["blocksSent"] = outcome.blocksSent;
    switch (outcome.result) {
        case upload::UploadOutcome::Result::Success:
            break;
        case upload::UploadOutcome::Result::Refused:
            if (c.WriteBusy) return Busy(out, c);
            out.doc["result"] = "refused";
            return out.Finish(ExitInvalidFile);
        case upload::UploadOutcome::Result::Stopped:
            out.doc["result"] = "stopped";
            out.Error(Fill(TrN("stopped after %s of %s block. The keyboard is in firmware-upload mode: run flash again.",
                               "stopped after %s of %s blocks. The keyboard is in firmware-upload mode: run flash "
                               "again.",
                               check.blocks),
                           {std::to_string(outcome.blocksSent), std::to_string(check.blocks)}));
            return out.Finish(ExitCancelled);
        case upload::UploadOutcome::Result::CommandFailed:
            out.doc["result"] = "failed";
            out.doc["failure"] = upload::text::FaultName(outcome.fault);
            out.Error(Fill(TrN("the upload failed after %s of %s block: %s.", "the upload failed after %s of %s blocks: %s.",
                               check.blocks),
                           {std::to_string(outcome.blocksSent), std::to_string(check.blocks),
                            Tr(upload::text::FaultReason(outcome.fault))}) +
                      " " +
                      (flash.again.empty() ? Tr("It stays in firmware-upload mode.")
                                           : Fill(Tr("It stays in firmware-upload mode: %s."), {Tr(flash.again)})));
            return out.Finish(ExitUploadFailed);
    }
    out.doc["newFirmwareVersion"] = nullptr;
    if (flash.noWait) {
        out.doc["result"] = "uploaded";
        // Old firmware: the upload's own message has just asked for the replug.
        out.Say(Tr(newFirmware ? N_("Firmware uploaded. The keyboard restarts by itself.") : N_("Firmware uploaded.")));
        return out.Finish(ExitOK);
    }
    // Old firmware: the upload's own message has just asked for the replug; it is not repeated.
    out.Say(Tr("Firmware uploaded. Waiting for the keyboard to restart..."));
    std::string updated;
    const WaitResult back = WaitForKeyboard(session, false, flash.timeoutSeconds, &updated);
    usbio::CloseDevice(c);
    if (back == WaitResult::Found && flash.expectVersion && updated != *flash.expectVersion) {
        out.doc["result"] = "wrong-version";
        out.doc["newFirmwareVersion"] = updated;
        out.Error(Fill(Tr("the keyboard came back reporting %s, not the expected %s."),
                       {PrintableText(updated), PrintableText(*flash.expectVersion)}));
        return out.Finish(ExitWrongVersion);
    }
    if (back == WaitResult::Found) {
        out.doc["result"] = "success";
        out.doc["newFirmwareVersion"] = updated;
        out.Say(Fill(Tr("Firmware updated: the keyboard reports %s."), {PrintableText(updated)}));
        return out.Finish(ExitOK);
    }
    out.doc["result"] = "unconfirmed";
    out.Say(Tr("The keyboard has not restarted yet."));
    out.Error(back == WaitResult::Cancelled
                  ? Tr("uploaded, not confirmed: the keyboard did not come back before the wait was stopped. Unplug "
                       "it and plug it in again, then run \"kestrune info\": it shows the firmware version the "
                       "keyboard runs.")
                  : Fill(Tr("uploaded, not confirmed: the keyboard did not come back within %s s. Unplug it and plug "
                            "it in again, then run \"kestrune info\": it shows the firmware version the keyboard "
                            "runs."),
                         {std::to_string(flash.timeoutSeconds)}));
    return out.Finish(ExitUnconfirmed);
}

int RunFlash(Output& out, const DeviceOptions& device, const FileOptions& file,
             const FlashOptions& flash) {
    // Every flash document says how it ended, whichever way that was.
    out.beforeFinish = [&out](int status) {
        if (!out.doc.contains("result")) out.doc["result"] = FlashResultOfStatus(status);
    };
    return Flash(out, device, file, flash);
}

}  // namespace cli
