#include "app/mod_Init.h"

#include <QApplication>
#include <QGuiApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace app {
namespace {
std::unique_ptr<frmMain> theWindow;
}

frmMain& Main(usbio::DeviceConnection& connection, WindowServices& services) {
    if (!theWindow) theWindow = std::make_unique<frmMain>(connection, services);
    theWindow->show();
    return *theWindow;
}

int RunWindowProgram(int argc, char** argv, usbio::HidPlatform& hid, const char* programName) {
    const char* screenshot = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc) screenshot = argv[++i];
    }
#if defined(__linux__)
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    const bool headless = platform && (std::strcmp(platform, "offscreen") == 0 ||
                                       std::strcmp(platform, "minimal") == 0);
    if (!headless && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) {
        std::fprintf(stderr,
                     "%s: no display is available (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                     "Start it from a desktop session, or use the command-line tool instead.\n",
                     programName);
        return 2;
    }
#endif
    QApplication application(argc, argv);
    QtWindowServices services;
    usbio::DeviceConnection connection(hid);
    frmMain& window = Main(connection, services);

    int result = 0;
    if (screenshot) {
        // Render the window once its first scan has ended, then quit.
        auto* poll = new QTimer(&window);
        QObject::connect(poll, &QTimer::timeout, &window, [&window, poll, screenshot, &result] {
            if (window.tmrDetectDevice->isActive() || window.IsBusy()) return;
            poll->stop();
            if (!window.grab().save(QString::fromLocal8Bit(screenshot))) result = 1;
            QCoreApplication::exit(result);
        });
        poll->start(50);
    }
    result = application.exec();
    usbio::CloseDevice(connection);
    theWindow.reset();
    return result;
}

}  // namespace app
