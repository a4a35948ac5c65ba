// The commands that look and tell: list, info, pids, check and image. (flash is in
// Commands.cpp, flash --all in FlashAll.cpp, the station in Station.cpp.)
#include "cli/Commands.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "cli/FlashSteps.h"
#include "cli/Session.h"
#include "cli/Sha256.h"
#include "common/RegularFile.h"
#include "upload/Commands.h"

namespace cli {

int RunList(Output& out, const DeviceOptions& device) {
    Session session(device.simulateVersion, device.simulateFaults, device.simulatePace, device.simulateCount);
    if (!UseProductIdFile(session, out, device)) return out.Finish(ExitUsage);
    WatchTable(session, out);
    auto& hid = session.Hid();
    std::vector<std::string> paths;
    if (!hid.EnumerateInterfaces(paths)) {
        out.Error(Tr("the HID devices of this computer cannot be listed."));
        return out.Finish(ExitNoKeyboard);
    }
    usbio::DeviceConnection scratch(hid);
    const usbio::DiscoveryHooks hooks = session.Hooks();
    out.doc["interfaces"] = nlohmann::json::array();
    usbio::DiscoveryReport denied;  // keyboard interfaces the user may not open
    for (const std::string& path : paths) {
        nlohmann::json entry{{"path", path}};
        std::optional<usbio::HIDD_ATTRIBUTES> ids = hid.PeekAttributes(path);
        usbio::OpenError rwError = usbio::OpenError::None, noneError = usbio::OpenError::None;
        usbio::HidHandle handle = hid.Open(path, usbio::HidAccess::ReadWrite, &rwError);
        std::string access = "read-write";
        if (handle == usbio::INVALID_HANDLE_VALUE) {
            handle = hid.Open(path, usbio::HidAccess::None, &noneError);
            access = "no-access";
        }
        std::uint16_t featureLength = 0;
        if (handle != usbio::INVALID_HANDLE_VALUE) {
            usbio::HIDD_ATTRIBUTES attributes;
            attributes.Size = 12;
            if (hid.GetAttributes(handle, attributes)) ids = attributes;
            usbio::PreparsedHandle preparsed = 0;
            usbio::HIDP_CAPS caps;
            if (hid.GetPreparsedData(handle, preparsed)) {
                if (hid.GetCaps(preparsed, caps)) featureLength = caps.FeatureReportByteLength;
                hid.FreePreparsedData(preparsed);
            }
            hid.Close(handle);
            entry["opened"] = access;
            entry["featureReportLength"] = featureLength;
        } else {
            entry["opened"] = nullptr;
            entry["openError"] = OpenErrorName(
                rwError == usbio::OpenError::PermissionDenied ? rwError : noneError);
        }
        bool keyboard = false;
        if (ids) {
            entry["vendorId"] = ids->VendorID;
            entry["productId"] = ids->ProductID;
            keyboard = usbio::IdIsMatched(static_cast<std::int16_t>(ids->VendorID),
                                          static_cast<std::int16_t>(ids->ProductID), scratch, hooks);
        }
        entry["keyboard"] = keyboard;
        usbio::DeviceIdentity identity;
        if (keyboard) {
            entry["mode"] = ModeName(scratch.MatchedPID);
            identity = hid.PeekIdentity(path);
            entry["port"] = identity.PortPath.empty() ? nlohmann::json(nullptr) : nlohmann::json(identity.PortPath);
            entry["serial"] = identity.Serial.empty() ? nlohmann::json(nullptr) : nlohmann::json(identity.Serial);
        }
        const bool refused = handle == usbio::INVALID_HANDLE_VALUE &&
                            (rwError == usbio::OpenError::PermissionDenied ||
                             noneError == usbio::OpenError::PermissionDenied);
        if (keyboard && refused) denied.PermissionDenied.push_back(path);
        if (!out.Json()) {
            char line[512];
            std::snprintf(line, sizeof line, "%-40s %s  %s", path.c_str(),
                          ids ? (Hex4(ids->VendorID) + ":" + Hex4(ids->ProductID)).c_str() : "????:????",
                          keyboard ? Fill(Tr("keyboard, %s mode"), {Tr(ModeName(scratch.MatchedPID))}).c_str()
                                   : Tr("other device").c_str());
            std::string text = line;
            if (handle != usbio::INVALID_HANDLE_VALUE)
                text += ", " + Fill(TrN("feature report %s byte", "feature report %s bytes", featureLength),
                                    {std::to_string(featureLength)});
            else
                text += ", " + Tr(refused ? CannotBeOpenedText : N_("cannot be opened"));
            if (!identity.PortPath.empty()) text += ", " + Fill(Tr("port %s"), {identity.PortPath});
            if (!identity.Serial.empty()) text += ", " + Fill(Tr("serial %s"), {identity.Serial});
            out.Say(text);
        }
        out.doc["interfaces"].push_back(entry);
    }
    if (paths.empty() && !out.Json()) out.Say(Tr("No HID interfaces present."));
    if (!denied.PermissionDenied.empty()) out.Say(usbio::AccessProblemHint(denied));
    return out.Finish(ExitOK);
}

namespace {

// Describes the open keyboard; false when its version could not be read.
bool DescribeKeyboard(Output& out, Session& session, nlohmann::json& doc) {
    auto& c = session.Connection();
    std::string version;
    const bool versionRead = upload::ReadFirmwareVersion(c, version) == upload::CommandOK;
    doc["vendorId"] = usbio::SupportedVendorID;
    doc["productId"] = c.MatchedPID;
    doc["firmwareVersion"] = versionRead ? nlohmann::json(version) : nlohmann::json(nullptr);
    doc["mode"] = ModeName(c.MatchedPID);
    if (!out.Json()) {
        const std::vector<std::pair<std::string, std::string>> rows{
            {Tr("Vendor ID:"), std::to_string(usbio::SupportedVendorID)},
            {Tr("Product ID:"), std::to_string(c.MatchedPID)},
            {Tr("Firmware version:"), versionRead ? PrintableText(version) : Tr("(could not be read)")},
            {Tr("Mode:"), Tr(ModeName(c.MatchedPID))}};
        for (const std::string& line : AlignedRows(rows)) out.Say(line);
    }
    return versionRead;
}

}  // namespace

int RunInfo(Output& out, const DeviceOptions& device) {
    Session session(device.simulateVersion, device.simulateFaults, device.simulatePace, device.simulateCount);
    if (!UseProductIdFile(session, out, device)) return out.Finish(ExitUsage);
    WatchTable(session, out);
    std::vector<usbio::FoundKeyboard> several;
    const int chosen = ChooseKeyboard(session, out, device.deviceId, several);
    if (chosen > 0) return out.Finish(chosen);
    if (chosen == 0) {
        if (const auto& k = session.Following()) {
            out.doc["port"] = NullIfEmpty(k->Identity.PortPath);
            out.doc["serial"] = NullIfEmpty(k->Identity.Serial);
        }
        return out.Finish(DescribeKeyboard(out, session, out.doc) ? ExitOK : ExitUploadFailed);
    }
    // Several attached and none chosen: each of them, one after the other.
    bool allRead = true;
    out.doc["keyboards"] = nlohmann::json::array();
    for (const usbio::FoundKeyboard& k : several) {
        if (&k != &several.front()) out.Say("");
        out.Say(Fill(Tr("Keyboard %s (port %s, serial %s):"),
                     {k.Path, k.Identity.PortPath.empty() ? Tr("unknown") : k.Identity.PortPath,
                      k.Identity.Serial.empty() ? Tr("none") : k.Identity.Serial}));
        nlohmann::json entry = KeyboardJson(k);
        session.Follow(k);
        if (FindKeyboard(session, out)) {
            allRead = DescribeKeyboard(out, session, entry) && allRead;
            usbio::CloseDevice(session.Connection());
        } else {
            allRead = false;
        }
        out.doc["keyboards"].push_back(entry);
    }
    return out.Finish(allRead ? ExitOK : ExitUploadFailed);
}

namespace {

// Why the built-in table is used: the file gives no entry, or no place searched has one.
std::string NoTableText(const std::filesystem::path& file, bool searched) {
    std::error_code ec;
    if (!searched || std::filesystem::exists(file, ec)) return Fill(Tr("%s gives none"), {Utf8FromPath(file)});
    std::string folders;
    for (const auto& candidate : usbio::ProductIdFileCandidates(ProgramFolder()))
        folders += (folders.empty() ? "" : ", ") + Utf8FromPath(candidate.parent_path());
    return Fill(Tr("no PIDDef.txt in %s"), {folders});
}

}  // namespace

int RunPids(Output& out, const std::string& pidFile) {
    std::filesystem::path file = pidFile.empty() ? usbio::FindProductIdFile(ProgramFolder())
                                                 : PathFromUtf8(pidFile);
    std::error_code ec;
    if (!pidFile.empty() && !std::filesystem::exists(file, ec)) {
        out.Error(Fill(Tr("no such file: %s"), {PrintableText(pidFile)}));
        return out.Finish(ExitUsage);
    }
    const usbio::ProductIdTable table = usbio::LoadProductIdTable(file);
    const bool fromFile = table.From == usbio::ProductIdTable::Source::File;
    out.doc["source"] = fromFile ? "file" : "built-in";
    out.doc["file"] = Utf8FromPath(file);
    out.doc["entries"] = table.Entries;
    if (!table.Error.empty()) {
        out.doc["warning"] = table.Error;
        Warn(table.Error);
    }
    if (!table.Warnings.empty()) {
        out.doc["lineWarnings"] = table.Warnings;
        for (const std::string& warning : table.Warnings)
            Warn(PrintableText(Utf8FromPath(file.filename())) + ", " + warning);
    }
    if (!out.Json()) {
        const std::string name = PrintableText(Utf8FromPath(file));
        out.Say(fromFile ? Fill(Tr("Product IDs from %s:"), {name})
                         : Fill(Tr("Product IDs from the built-in table (%s):"),
                                {PrintableText(NoTableText(file, pidFile.empty()))}));
        std::string line;
        for (const std::int32_t entry : table.Entries) {
            line += (line.empty() ? "" : ", ") + std::to_string(entry);
            if (entry == usbio::UploadModePID) line += " " + Tr("(firmware-upload mode)");
        }
        out.Say("  " + line);
    }
    return out.Finish(ExitOK);
}

int RunCheck(Output& out, const FileOptions& file) {
    upload::FirmwareImage image;
    upload::FirmwareCheck check;
    std::string fileSha;
    std::vector<std::string> notes;
    if (const int status = LoadFile(out, file, image, check, &fileSha, &notes)) return out.Finish(status);
    DescribeFile(out, file, image, check, fileSha);
    // A damaged or badly joined HEX file shows before it is written (the upload takes it as read).
    out.doc["notes"] = notes;
    for (const std::string& note : notes) out.Say(Fill(Tr("Note: %s"), {note}));
    return out.Finish(ExitOK);
}

namespace {

// Writes the bytes to the file, replacing it whole: into a new file beside it that then takes its
// name, so that a failed write never leaves a half-written file behind (and the file system need
// not flush a truncated file). Something that is not a regular file (a pipe, /dev/stdout) is
// written directly.
bool WriteReplacing(const std::string& outputPath, const std::vector<std::uint8_t>& bytes) {
    const std::filesystem::path target = PathFromUtf8(outputPath);
    std::error_code error;
    const auto status = std::filesystem::status(target, error);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        std::ofstream stream(target, std::ios::binary);
        stream.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        stream.close();
        return static_cast<bool>(stream);
    }
    std::filesystem::path written = target;
    written += ".kestrune-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    if (!kestrune::WriteNewFile(written, bytes.data(), bytes.size())) return false;
    std::filesystem::rename(written, target, error);
    if (error) {
        std::filesystem::remove(written, error);
        return false;
    }
    return true;
}

}  // namespace

int RunImage(Output& out, const FileOptions& file, const std::string& outputPath) {
    upload::FirmwareImage image;
    upload::FirmwareCheck check;
    if (const int status = LoadFile(out, file, image, check)) return out.Finish(status);
    const auto bytes = SentBytes(image, check);
    if (!WriteReplacing(outputPath, bytes)) {
        out.Error(Fill(Tr("cannot write %s."), {PrintableText(outputPath)}));
        out.doc["output"] = outputPath;
        return out.Finish(ExitWriteFailed);
    }
    out.doc["output"] = outputPath;
    out.doc["bytes"] = bytes.size();
    if (out.Json()) out.doc["sha256"] = Sha256Hex(bytes.data(), bytes.size());  // only JSON shows it
    if (!out.Json())
        out.Say(Fill(TrN("Wrote %s bytes (%s block from %s) to %s.", "Wrote %s bytes (%s blocks from %s) to %s.",
                         check.blocks),
                     {std::to_string(bytes.size()), std::to_string(check.blocks), Hex4(check.startAddress),
                      PrintableText(outputPath)}));
    return out.Finish(ExitOK);
}

}  // namespace cli
