#include <cstdio>
#include <thread>

#include "cli/Commands.h"
#include "cli/KeyboardWorker.h"

namespace cli {

namespace {

std::string Cell(const std::string& text) { return text.empty() ? "-" : PrintableText(text); }

// The table at the end: one row per keyboard.
void PrintSummary(Output& out, const std::vector<KeyboardRun>& runs) {
    struct Line {
        std::string port, serial, before, after, result, seconds;
    };
    std::vector<Line> lines{{Tr("PORT"), Tr("SERIAL"), Tr("OLD"), Tr("NEW"), Tr("RESULT"), Tr("SECONDS")}};
    for (const KeyboardRun& run : runs) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f", run.seconds);
        const auto& id = run.keyboard.Identity;
        lines.push_back({id.PortPath.empty() ? Cell(run.keyboard.Path) : Cell(id.PortPath), Cell(id.Serial),
                         Cell(run.VersionBefore()), Cell(run.VersionAfter()), run.Result(), seconds});
    }
    std::size_t width[5] = {};
    for (const Line& l : lines) {
        const std::string* cells[5] = {&l.port, &l.serial, &l.before, &l.after, &l.result};
        for (int i = 0; i < 5; ++i) width[i] = std::max(width[i], kestrune::ColumnsOf(*cells[i]));
    }
    // Too wide for the terminal: one keyboard a line instead of columns.
    const int columns = out.SayColumns();
    const std::size_t tableWidth = width[0] + width[1] + width[2] + width[3] + width[4] + 10 + 7;
    if (columns > 0 && tableWidth > static_cast<std::size_t>(columns)) {
        for (std::size_t i = 1; i < lines.size(); ++i) {
            const Line& l = lines[i];
            out.Say(l.port + " " + l.serial + ": " + l.before + " -> " + l.after + ", " + l.result + ", " +
                    Fill(Tr("%s s"), {l.seconds}));
        }
        return;
    }
    for (const Line& l : lines) {
        std::string text;
        const std::string* cells[5] = {&l.port, &l.serial, &l.before, &l.after, &l.result};
        for (int i = 0; i < 5; ++i)
            text += *cells[i] + std::string(width[i] + 2 - kestrune::ColumnsOf(*cells[i]), ' ');
        out.Say(text + l.seconds);
    }
}

}  // namespace

nlohmann::json KeyboardRunJson(const KeyboardRun& run) {
    nlohmann::json entry = KeyboardJson(run.keyboard);
    entry["oldVersion"] = NullIfEmpty(run.VersionBefore());
    entry["newVersion"] = NullIfEmpty(run.VersionAfter());
    entry["result"] = run.Result();
    entry["exitStatus"] = run.status;
    entry["seconds"] = run.seconds;
    if (run.doc.contains("blocksSent")) entry["blocksSent"] = run.doc["blocksSent"];
    if (run.doc.contains("error")) entry["error"] = run.doc["error"];
    return entry;
}

int RunFlashAll(Output& out, const DeviceOptions& device, const FileOptions& file, const FlashOptions& flash) {
    out.beforeFinish = [&out](int status) {
        if (!out.doc.contains("result")) out.doc["result"] = FlashResultOfStatus(status);
    };
    PreparedFile prepared;
    int started = 0;
    const std::unique_ptr<Session> session = StartFlashing(out, device, file, flash, prepared, started);
    if (!session) return out.Finish(started);
    Session& bench = *session;
    // The usual search shows the table's errors once and can say why there is no keyboard.
    const usbio::DiscoveryReport report = bench.Scan();
    usbio::CloseDevice(bench.Connection());
    // A keyboard that is there but may not be opened is counted too: listed with the reason, and
    // the run cannot end 0.
    std::vector<usbio::FoundKeyboard> unopened;
    const std::vector<usbio::FoundKeyboard> found = bench.FindAll(&unopened);
    if (found.empty()) {
        ExplainNoKeyboard(out, report);
        return out.Finish(ExitNoKeyboard);
    }
    std::vector<usbio::FoundKeyboard> all = found;
    all.insert(all.end(), unopened.begin(), unopened.end());
    out.doc["keyboards"] = nlohmann::json::array();
    for (const auto& k : all) out.doc["keyboards"].push_back(KeyboardJson(k));
    if (!IdentitiesAreDistinct(found)) {
        out.doc["result"] = "several-keyboards";
        out.Error(Tr("some of these keyboards cannot be told apart (the same port and serial number, or neither): "
                     "flash them one at a time with --device. Nothing was written. The keyboards:") +
                  KeyboardLines(found));
        return out.Finish(ExitSeveralKeyboards);
    }
    const std::string count = std::to_string(found.size());
    const std::string left = unopened.empty()
                                 ? ""
                                 : " " + Fill(Tr("(%s more cannot be opened)"), {std::to_string(unopened.size())});
    const std::string question = Fill(TrN("Write %s to %s keyboard%s?", "Write %s to %s keyboards%s?", found.size()),
                                      {file.file, count, left});
    if (const int status = AskBeforeWriting(out, flash, question + KeyboardLines(all))) return out.Finish(status);

    out.Say(Fill(TrN("Updating %s keyboard, each in its own worker. Ctrl+C stops them all.",
                     "Updating %s keyboards, each in its own worker. Ctrl+C stops them all.", found.size()),
                 {count}));
    KeyboardBoard board(StderrIsTerminal());
    std::vector<std::size_t> rows;
    for (const auto& k : found) rows.push_back(board.Add(KeyboardLabel(k)));
    std::vector<KeyboardRun> runs(found.size());
    {
        std::vector<std::jthread> workers;
        for (std::size_t i = 0; i < found.size(); ++i)
            workers.emplace_back([&, i] {
                runs[i] = FlashOneKeyboard(bench, found[i], prepared, flash, device, board, rows[i]);
            });
    }
    board.End();
    for (const auto& k : unopened) {
        KeyboardRun run{k, ExitNoKeyboard, {{"result", "cannot-open"}, {"error", CannotBeOpenedText}}, 0, k.Identity};
        runs.push_back(run);
    }

    int status = ExitOK;
    out.doc["keyboards"] = nlohmann::json::array();
    for (const KeyboardRun& run : runs) {
        out.doc["keyboards"].push_back(KeyboardRunJson(run));
        if (status == ExitOK && run.status != ExitOK) status = run.status;
    }
    if (!out.Json()) PrintSummary(out, runs);
    std::size_t confirmed = 0;
    for (const KeyboardRun& run : runs) confirmed += run.status == ExitOK ? 1 : 0;
    out.doc["result"] = status == ExitOK ? "success" : "failed";
    if (status != ExitOK)
        out.Error(Fill(TrN("%s of %s keyboard updated and confirmed; see the table for the others.",
                           "%s of %s keyboards updated and confirmed; see the table for the others.", runs.size()),
                       {std::to_string(confirmed), std::to_string(runs.size())}) +
                  AccessHintFor(unopened));
    else
        out.Say(Fill(TrN("All %s keyboard updated and confirmed.", "All %s keyboards updated and confirmed.",
                         found.size()),
                     {count}));
    return out.Finish(status);
}

}  // namespace cli
