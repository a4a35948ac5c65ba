#include "window/win32/Win32WindowProgram.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Version.h"
#include "common/Translate.h"
#include "window/win32/Console.h"
#include "window/win32/Win32MainWindow.h"
#include "window/win32/Win32SelfTest.h"
#include "window/win32/WideText.h"

#include <windows.h>

#include <objbase.h>
#include <shellapi.h>

namespace window::win32 {
namespace {

constexpr int SelfTestHoldSeconds = 30;

void PrintHelp(const std::string& programName, bool demo) {
    PrintLine("Usage: " + programName + " [OPTION]");
    PrintLine(std::string("Writes a new firmware image into a Kestrune USB keyboard through its HID "
                          "interface") +
              (demo ? ", here on a simulated keyboard." : "."));
    PrintLine("");
    PrintLine("The window finds the keyboard, shows its product ID, firmware version and mode, switches");
    PrintLine("it into its firmware-upload mode and uploads a HEX, BIN or DAT firmware file. Keyboards");
    PrintLine("with firmware V1.0 or V1.1 must be unplugged and plugged in again when the window asks.");
    PrintLine("");
    PrintLine("Options:");
    PrintLine("  --self-test FILE   upload FILE through the window's own controls, answering every");
    PrintLine("                     message box with OK; report on standard output and exit 0 when");
    PrintLine("                     the upload ended with \"Firmware updated.\"");
    PrintLine("  --help             show this help and exit");
    PrintLine("  --version          show the version and exit");
    PrintLine("");
    PrintLine("A file PIDDef.txt beside the program replaces the built-in table of product IDs.");
    PrintLine("For scripts and production lines, use the command-line tool kestrune.");
}

std::vector<std::string> Arguments() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> list;
    for (int i = 1; arguments && i < count; ++i) list.push_back(Utf8(arguments[i]));
    LocalFree(arguments);
    return list;
}

}  // namespace

int RunWindowProgram(usbio::HidPlatform& hid, const char* programName, WindowOptions options) {
    kestrune::SetUpLanguage();
    const std::vector<std::string> arguments = Arguments();
    std::optional<std::string> selfTestFile;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h" || argument == "/?") {
            PrintHelp(programName, options.demo);
            return 0;
        }
        if (argument == "--version") {
            PrintLine(std::string(programName) + " " + std::to_string(kestrune::VersionMajor) + "." +
                      std::to_string(kestrune::VersionMinor) + "." +
                      std::to_string(kestrune::VersionRevision));
            return 0;
        }
        if (argument == "--self-test" && i + 1 < arguments.size()) {
            selfTestFile = arguments[++i];
        } else {
            PrintLine(std::string(programName) + ": unknown option " + argument + " (try --help)");
            return 2;
        }
    }

    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);

    Win32Services services;
    usbio::DeviceConnection connection(hid);
    int result = 0;
    {
        Win32MainWindow window(connection, services, options);
        if (!window.Handle()) {
            PrintLine(std::string(programName) + ": the window could not be created");
            return 1;
        }
        window.Show();
        std::unique_ptr<SelfTest> selfTest;
        if (selfTestFile)
            selfTest = std::make_unique<SelfTest>(window, *selfTestFile, SelfTestHoldSeconds);
        result = services.RunMessageLoop();
        if (selfTest) result = selfTest->Finish();
    }
    usbio::CloseDevice(connection);
    if (SUCCEEDED(com)) CoUninitialize();
    return result;
}

}  // namespace window::win32
