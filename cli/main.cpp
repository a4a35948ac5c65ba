// kestrune: the command-line tool. See README.md for the commands, the JSON documents and the
// exit statuses.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "Version.h"
#include "cli/Commands.h"
#include "cli/ProgressLine.h"
#include "cli/Session.h"
#include "cli/Usage.h"

#if defined(_WIN32)
#include <windows.h>
#endif

int main(int argc, char** argv) {
#if defined(_WIN32)
    // Every text the tool prints is UTF-8 (file names, device texts).
    SetConsoleOutputCP(CP_UTF8);
#endif
    std::vector<std::string> args = cli::Utf8Arguments(argc, argv);
    std::vector<char*> argPointers;
    for (std::string& arg : args) argPointers.push_back(arg.data());

    // The plain requests for the version and for help are answered first: the version before the
    // parser is built, help with only the options of the command asked about (building every
    // option is most of such a run; the parser would also end them by throwing, and a program's
    // first exception costs more than the rest of it).
    if (args.size() == 2 && args[1] == "--version") {
        std::printf("kestrune %s\n", kestrune::VersionNumber);
        return 0;
    }
    const bool helpLast = args.size() >= 2 && (args.back() == "--help" || args.back() == "-h");
    const bool plainHelp = helpLast && args.size() <= 3;
    auto wanted = [&](CLI::App* command) { return !plainHelp || (args.size() == 3 && args[1] == command->get_name()); };

    CLI::App app{"Kestrune Loader command-line tool: updates the firmware of a Kestrune keyboard.",
                 "kestrune"};
    app.set_version_flag("--version", std::string("kestrune ") + kestrune::VersionNumber);
    app.require_subcommand(1);
    app.allow_windows_style_options(false);  // "/path/fw.hex" is a file, not an option
    bool json = false;
    app.add_flag("--json", json, "Print one JSON document on standard output");

    cli::DeviceOptions device;
    int latency = -1;
    std::string faultHelp = "With --simulate: make the simulated keyboard fail, one fault per --simulate-fault:";
    for (const std::string& form : cli::SimulatedFaultForms())
        faultHelp += (form == cli::SimulatedFaultForms().front() ? " " : ", ") + form;
    faultHelp += "; FAULT@K gives it to the K-th simulated keyboard only";
    std::string simulate;
    auto addDeviceOptions = [&](CLI::App* command) {
        if (!wanted(command)) return;
        // A flag: its value is only ever taken as --simulate=VERSION, never from the next
        // argument (which is the firmware file in "flash --simulate ok.bin").
        command->add_flag("--simulate{V1.0}", simulate,
                          "Use the simulated keyboard, reporting firmware VERSION (--simulate=VERSION)");
        command->add_option("--simulate-dump", device.simulateDump,
                            "With --simulate: write the bytes the keyboard received in its blocks to OUT");
        command->add_option("--simulate-fault", device.simulateFaults, faultHelp)->allow_extra_args(false);
        command->add_option("--simulate-count", device.simulateCount,
                            "With --simulate: N simulated keyboards, at ports 1-4, 1-5, ... with serial "
                            "numbers KS0001, KS0002, ...")
            ->check(CLI::Range(1, 64));
        command->add_flag("--simulate-realtime", device.simulatePace.realtime,
                          "Use the simulated keyboard at a real keyboard's pace: each transfer takes "
                          "--simulate-latency, every wait is real (Ctrl+C can be tried); implies --simulate");
        command->add_option("--simulate-latency", latency,
                            "With --simulate or --simulate-realtime: milliseconds each transfer of the simulated "
                            "keyboard takes (default: 2 with --simulate-realtime, 0 with --simulate)")
            ->check(CLI::Range(0, 1000));
        command->add_option("--pid-file", device.pidFile, "Use this product-ID table instead of the PIDDef.txt found");
    };
    cli::FileOptions file;
    auto addFileOptions = [&](CLI::App* command) {
        if (!wanted(command)) return;
        command->add_option("FILE", file.file, "Firmware file (.hex, .bin or .dat)")->required();
        command->add_option("--start", file.start, "Start address, 1 to 4 hexadecimal digits")
            ->capture_default_str();
    };

    auto* list = app.add_subcommand("list", "List every HID interface present");
    addDeviceOptions(list);
    auto* info = app.add_subcommand("info", "Show the keyboard: IDs, firmware version, mode");
    addDeviceOptions(info);
    const std::string deviceHelp = "The keyboard to use: its port path, serial number or device path, as list shows them";
    info->add_option("--device", device.deviceId, deviceHelp);
    std::string pidFile;
    auto* pids = app.add_subcommand("pids", "Show the product-ID table in use and where it comes from");
    pids->add_option("--pid-file", pidFile, "Read this definition file instead of the PIDDef.txt found");
    auto* check = app.add_subcommand("check", "Read a firmware file as an upload would and describe it");
    addFileOptions(check);
    std::string imageOut;
    auto* image = app.add_subcommand("image", "Write exactly the bytes an upload would send");
    addFileOptions(image);
    image->add_option("-o,--output", imageOut, "Output file")->required();
    cli::FlashOptions flash;
    auto* flashCommand = app.add_subcommand("flash", "Update the keyboard's firmware");
    addFileOptions(flashCommand);
    addDeviceOptions(flashCommand);
    flashCommand->add_option("--device", device.deviceId, deviceHelp);
    bool all = false;
    flashCommand->add_flag("--all", all,
                           "Update every keyboard attached, side by side; a table of the results at the end");
    flashCommand->add_flag("-y,--yes", flash.yes, "Do not ask before writing");
    flashCommand->add_flag("--no-wait", flash.noWait,
                           "End once the firmware is sent, without waiting for the keyboard to restart");
    auto addFlashOptions = [&](CLI::App* command) {
        if (!wanted(command)) return;
        command->add_option("--timeout", flash.timeoutSeconds, "Seconds to wait for the keyboard to come back")
            ->capture_default_str()
            ->check(CLI::Range(1, 3600));
        command->add_option("--expect-sha256", flash.expectSha256,
                            "Refuse the file unless the SHA-256 of its bytes is HEX (64 digits, either case)")
            ->type_name("HEX")
            ->check(CLI::Validator(
                [](std::string& text) {
                    return cli::IsSha256Text(text) ? std::string()
                                                   : "'" + text + "' is not a SHA-256 (64 hexadecimal digits)";
                },
                "", "SHA-256"));
        command->add_option("--expect-version", flash.expectVersion,
                            "Succeed only when the keyboard comes back reporting exactly this version")
            ->type_name("TEXT");
        command->add_option("--simulate-new-version", device.simulateNewVersion,
                            "With --simulate: the version the simulated keyboard reports after the upload "
                            "(default V2.0)")
            ->type_name("VERSION");
    };
    addFlashOptions(flashCommand);
    cli::StationOptions stationOptions;
    auto* station = app.add_subcommand(
        "station", "Update each keyboard plugged in, once, until Ctrl+C; one line and one log record a unit");
    addFileOptions(station);
    addDeviceOptions(station);
    addFlashOptions(station);
    station->add_option("--log", stationOptions.logPath,
                        "Append one JSON Lines record per unit to this file, written through unit by unit")
        ->type_name("FILE.jsonl");
    for (CLI::App* command : {list, info, pids, check, image, flashCommand, station})
        if (wanted(command)) command->add_flag("--json", json, "Print one JSON document on standard output");

    CLI::App* helpFor = nullptr;
    for (CLI::App* command : {list, info, pids, check, image, flashCommand, station})
        if (args.size() == 3 && args[1] == command->get_name()) helpFor = command;
    if (helpLast && (args.size() == 2 || helpFor)) {
        const std::string help = helpFor ? helpFor->help("kestrune") : app.help();
        std::fputs(cli::WrapText(help, cli::TerminalColumns()).c_str(), stdout);
        return 0;
    }

    // Bad usage still gets its JSON document when --json was asked for anywhere on the line
    // (the parser may stop before it reaches the option).
    bool jsonAsked = false;
    bool flashAsked = false;
    bool stationAsked = false;
    for (std::size_t i = 1; i < args.size() && args[i] != "--"; ++i) {
        jsonAsked = jsonAsked || args[i] == "--json";
        flashAsked = flashAsked || args[i] == "flash";
        stationAsked = stationAsked || args[i] == "station";
    }
    // Usage errors name the tool, say what is wrong, and where the help for it is.
    auto usage = [&](const std::string& message) {
        cli::Output out(jsonAsked);
        out.oneLine = stationAsked;
        if (flashAsked) out.doc["result"] = cli::FlashResultOfStatus(cli::ExitUsage);
        out.Error(message);
        std::string command;
        for (CLI::App* sub : app.get_subcommands()) command = " " + sub->get_name();
        std::fprintf(stderr, "See 'kestrune%s --help'.\n", command.c_str());
        return out.Finish(cli::ExitUsage);
    };
    try {
        app.parse(static_cast<int>(argPointers.size()), argPointers.data());
    } catch (const CLI::CallForHelp&) {
        // The help of the command asked about, wrapped for the terminal.
        std::fputs(cli::WrapText(app.help(), cli::TerminalColumns()).c_str(), stdout);
        return cli::ExitOK;
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        return usage(cli::UsageProblem(app, args, e));
    }
    for (CLI::App* command : {list, info, flashCommand, station}) {
        if (command->parsed() && command->count("--simulate") > 0)
            device.simulateVersion = simulate;
        else if (command->parsed() && device.simulatePace.realtime)
            device.simulateVersion = "V1.0";
    }
    // "--simulate=" asks for a keyboard whose version text is empty (the parser would give it
    // the default instead).
    for (std::size_t i = args.size(); device.simulateVersion && i-- > 1;) {
        if (args[i] == "--simulate" || args[i].starts_with("--simulate=")) {
            if (args[i] == "--simulate=") device.simulateVersion = "";
            break;
        }
    }
    const bool countGiven = std::any_of(args.begin(), args.end(), [](const std::string& arg) {
        return arg == "--simulate-count" || arg.starts_with("--simulate-count=");
    });
    if ((!device.simulateDump.empty() || !device.simulateFaults.empty() || latency >= 0 ||
         device.simulateNewVersion || countGiven) &&
        !device.simulateVersion) {
        return usage("--simulate-dump, --simulate-fault, --simulate-latency, --simulate-new-version and "
                     "--simulate-count work only with --simulate or --simulate-realtime.");
    }
    device.simulatePace.transferLatencyMs = latency >= 0 ? latency : device.simulatePace.realtime ? 2 : 0;
    for (const std::string& fault : device.simulateFaults) {
        if (!cli::IsKnownSimulatedFault(fault)) {
            return usage("unknown simulated fault '" + fault + "'" + cli::DidYouMean(fault, cli::SimulatedFaultForms()));
        }
        if (cli::ParseSimulatedFault(fault)->keyboard >= device.simulateCount)
            return usage("the simulated fault '" + fault + "' is for a keyboard beyond --simulate-count " +
                         std::to_string(device.simulateCount) + ".");
    }

    if (flash.expectVersion && flash.noWait)
        return usage("--expect-version needs the keyboard to come back: it cannot be used with --no-wait.");
    // An empty --device names no keyboard: it is not the same as no --device at all.
    if ((info->count("--device") > 0 || flashCommand->count("--device") > 0) && device.deviceId.empty())
        return usage("--device needs the keyboard's port path, serial number or device path, as list shows them.");
    // Nor does an empty --log name no log.
    if (station->count("--log") > 0 && stationOptions.logPath.empty())
        return usage("--log needs the file the station appends its records to.");
    if (all && flashCommand->count("--device") > 0)
        return usage("--all updates every keyboard; --device chooses one: use one of them.");

    // What a person reads is in the user's language. Help, usage errors, JSON documents and the
    // station's records stay English: they are the tool's interface for scripts and logs.
    if (!json && !station->parsed()) kestrune::SetUpLanguage();
    cli::Output out(json);
    if (list->parsed()) return cli::RunList(out, device);
    if (info->parsed()) return cli::RunInfo(out, device);
    if (pids->parsed()) return cli::RunPids(out, pidFile);
    if (check->parsed()) return cli::RunCheck(out, file);
    if (image->parsed()) return cli::RunImage(out, file, imageOut);
    if (station->parsed()) return cli::RunStation(out, device, file, flash, stationOptions);
    if (all) return cli::RunFlashAll(out, device, file, flash);
    return cli::RunFlash(out, device, file, flash);
}
