#include "window/qt/QtWindowProgram.h"

#include <QApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Version.h"
#include "common/Translate.h"
#include "window/qt/QtMainWindow.h"

namespace window::qt {
namespace {

#if defined(_WIN32)
constexpr char TableHelp[] = "A file PIDDef.txt beside the program replaces the built-in table of product IDs.\n";
#else
constexpr char TableHelp[] =
    "A file PIDDef.txt replaces the built-in table of product IDs: the first found of\n"
    "$XDG_CONFIG_HOME/kestrune (~/.config/kestrune), /etc/kestrune and the program's folder.\n";
#endif

void PrintHelp(const char* programName, bool demo) {
    std::printf(
        "Usage: %s [OPTION]\n"
        "Writes a new firmware image into a Kestrune USB keyboard through its HID interface%s.\n"
        "\n"
        "The window finds the keyboard, shows its product ID, firmware version and mode, switches\n"
        "it into its firmware-upload mode and uploads a HEX, BIN or DAT firmware file. Keyboards\n"
        "with firmware V1.0 or V1.1 must be unplugged and plugged in again when the window asks.\n"
        "\n"
        "Options:\n"
        "  --screenshot FILE  save a picture of the window once its first scan has ended, then quit\n"
        "  --help             show this help and exit\n"
        "  --version          show the version and exit\n"
        "\n"
        "%s"
        "For scripts and production lines, use the command-line tool kestrune.\n",
        programName, demo ? ", here on a simulated keyboard" : "", TableHelp);
}

}  // namespace

int RunWindowProgram(int argc, char** argv, usbio::HidPlatform& hid, const char* programName,
                     WindowOptions options) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintHelp(programName, options.demo);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s %d.%d.%d\n", programName, kestrune::VersionMajor,
                        kestrune::VersionMinor, kestrune::VersionRevision);
            return 0;
        }
    }
#if defined(__linux__)
    const char* qpa = std::getenv("QT_QPA_PLATFORM");
    const bool headless = qpa && (std::strcmp(qpa, "offscreen") == 0 ||
                                  std::strcmp(qpa, "minimal") == 0);
    if (!headless && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) {
        std::fprintf(stderr,
                     "%s: no display is available (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                     "Start it from a desktop session, or use the command-line tool instead.\n",
                     programName);
        return 2;
    }
#endif
    QApplication application(argc, argv);  // takes Qt's own options (-stylesheet, -style, ...)
    const char* screenshot = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc) {
            screenshot = argv[++i];
        } else {
            std::fprintf(stderr, "%s: unknown option %s (try --help)\n", programName, argv[i]);
            return 2;
        }
    }
    QApplication::setApplicationName(QStringLiteral("kestrune-loader"));
    QApplication::setOrganizationName(QStringLiteral("Kestrune"));
    QApplication::setApplicationVersion(QString::fromLatin1(kestrune::VersionText));
    QGuiApplication::setDesktopFileName(QStringLiteral(KESTRUNE_DESKTOP_ID));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral(KESTRUNE_ICON_NAME)));

    kestrune::SetUpLanguage();  // the locale variables, read by the system's gettext
    InstallQtTranslations();
    QtServices services;
    usbio::DeviceConnection connection(hid);
    int result = 0;
    {
        QtMainWindow window(connection, services, options);
        window.show();
        if (screenshot) {
            // Render the window once its first scan has ended, then quit.
            auto* poll = new QTimer(&window);
            QObject::connect(poll, &QTimer::timeout, &window, [&window, poll, screenshot, &result] {
                if (!window.Logic().IsIdle()) return;
                poll->stop();
                if (!window.grab().save(QString::fromLocal8Bit(screenshot))) result = 1;
                QCoreApplication::exit(result);
            });
            poll->start(50);
        }
        const int code = application.exec();
        if (!screenshot) result = code;
    }
    usbio::CloseDevice(connection);
    return result;
}

}  // namespace window::qt
