#pragma once
// The real frmMain on the simulated keyboard, with scripted window services on virtual time.
#include <QTreeWidgetItem>
#include <memory>

#include "app/frmMain.h"
#include "app/FakeWindowServices.h"
#include "sim/SimHidPlatform.h"
#include "support/TempDir.h"

namespace testsupport {

struct WindowBench {
    explicit WindowBench(sim::KeyboardConfig config = {}) : keyboard(clock, std::move(config)) {
        services.programFolder = QString::fromStdString(folder.Path().string());
    }

    app::frmMain& Open() {
        window = std::make_unique<app::frmMain>(connection, services);
        window->show();
        return *window;
    }
    // Runs the detection timer's tick if the timer is armed; false when it is not.
    bool Tick() {
        if (!window->tmrDetectDevice->isActive()) return false;
        window->tmrDetectDevice_Timer();
        return true;
    }
    QString Status() const { return window->sb->Panel1Text(); }
    QStringList Row() const {
        QStringList cells;
        if (window->lvw->topLevelItemCount() == 0) return cells;
        for (int c = 0; c < 4; ++c) cells << window->lvw->topLevelItem(0)->text(c);
        return cells;
    }
    QStringList MessageTexts() const {
        QStringList texts;
        for (const auto& m : services.messages) texts << m.Text;
        return texts;
    }

    kestrune::VirtualClock clock;
    sim::SimKeyboard keyboard;
    sim::SimHidPlatform hid{keyboard};
    usbio::DeviceConnection connection{hid};
    TempDir folder;
    FakeWindowServices services{clock};
    std::unique_ptr<app::frmMain> window;
};

inline const QString kNotFound =
    QStringLiteral("Device not found. Please attach the device and then run the program again.");

}  // namespace testsupport
