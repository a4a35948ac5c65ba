// The Qt window's own wiring: widgets, texts, layout, keys, drops. The flow behind them is tested
// on the toolkit-free logic (tests/window).
#include <gtest/gtest.h>

#include <QAccessible>
#include <QMimeData>
#include <QTest>
#include <QUrl>
#include <map>

#include "common/Clock.h"
#include "sim/SimHidPlatform.h"
#include "support/FirmwareFiles.h"
#include "support/TempDir.h"
#include "window/qt/QtMainWindow.h"

namespace {

// Qt's services with the waits on virtual time and the dialogs scripted; the timer is Qt's own.
class ScriptedServices final : public window::qt::QtServices {
public:
    explicit ScriptedServices(kestrune::VirtualClock& clock) : clock_(clock) {}
    upload::MessageAnswer ShowMessage(const std::string& text, upload::MessageStyle,
                                      const std::string&) override {
        messages.push_back(text);
        return upload::MessageAnswer::OK;
    }
    std::optional<std::string> OpenFile(const window::OpenFileRequest&) override { return std::nullopt; }
    std::string ReadSetting(const std::string&, const std::string&, const std::string& key) override {
        return settings[key];
    }
    void WriteSetting(const std::string&, const std::string&, const std::string& key,
                      const std::string& value) override {
        settings[key] = value;
    }
    std::string ProgramFolder() override { return folder; }
    std::string DownloadsFolder() override { return folder; }
    void PumpEvents() override {}
    void Sleep(int ms) override { clock_.Advance(ms); }
    void Pause(int ms) override { clock_.Advance(ms); }
    std::int64_t NowMs() override { return clock_.NowMs(); }

    std::vector<std::string> messages;
    std::map<std::string, std::string> settings;
    std::string folder;

private:
    kestrune::VirtualClock& clock_;
};

struct QtBench {
    explicit QtBench(sim::KeyboardConfig config = sim::KeyboardConfig{.Version = "V2.0"})
        : keyboard(clock, std::move(config)) {
        services.folder = folder.Path().string();
    }
    window::qt::QtMainWindow& Open(const QFont& font = QFont()) {
        window = std::make_unique<window::qt::QtMainWindow>(connection, services);
        window->setFont(font);
        window->show();
        return *window;
    }
    void Scan() {
        ASSERT_TRUE(services.TimerActive());
        services.StopTimer();
        window->Logic().OnTimer();
    }

    kestrune::VirtualClock clock;
    sim::SimKeyboard keyboard;
    // Off the bus until a test plugs it in.
    sim::SimKeyboard second{clock, {.StartOnBus = false, .PortPath = "1-5", .Serial = "KS0002"}};
    sim::SimHidPlatform hid{{&keyboard, &second}};
    usbio::DeviceConnection connection{hid};
    testsupport::TempDir folder;
    ScriptedServices services{clock};
    std::unique_ptr<window::qt::QtMainWindow> window;
};

QString Plain(const QPushButton* button) { return button->text().remove('&'); }

// The control that Tab moves to from this one.
QWidget* NextByTab(QWidget* from) {
    QWidget* next = from->nextInFocusChain();
    while (next != from && (!(next->focusPolicy() & Qt::TabFocus) || !next->isVisible()))
        next = next->nextInFocusChain();
    return next;
}

}  // namespace

TEST(QtWindow, ShowsTheLogicsTextsAndRow) {
    QtBench b;
    auto& w = b.Open();
    EXPECT_EQ(w.windowTitle(), "Kestrune Loader V1.0R8");
    EXPECT_EQ(Plain(w.refreshButton), "Refresh");
    EXPECT_EQ(Plain(w.uploadButton), "Upload Firmware");
    EXPECT_EQ(Plain(w.exitButton), "Exit");
    EXPECT_EQ(Plain(w.selectFileButton), "Select Firmware File ...");
    EXPECT_EQ(w.startAddressField->text(), "1200");
    EXPECT_FALSE(w.startAddressField->isVisible());
    EXPECT_FALSE(w.uploadButton->isEnabled());
    const QStringList headers{"Vendor ID", "Product ID", "Firmware Version", "Status Mode"};
    for (int c = 0; c < 4; ++c) EXPECT_EQ(w.deviceList->headerItem()->text(c), headers[c]);
    b.Scan();
    ASSERT_EQ(w.deviceList->topLevelItemCount(), 1);
    QStringList cells;
    for (int c = 0; c < 4; ++c) cells << w.deviceList->topLevelItem(0)->text(c);
    EXPECT_EQ(cells, (QStringList{"11867", "17", "V2.0", "Normal"}));
    EXPECT_EQ(w.statusText->text(), "Device Found");
    EXPECT_TRUE(w.uploadButton->isEnabled());
    w.SetProgress(64, 256);
    EXPECT_EQ(w.progressBar->text(), "25%");
}

TEST(QtWindow, NothingIsCutOffAtTheDefaultFontAndAt14Points) {
    for (qreal points : {0.0, 14.0}) {
        QtBench b;
        QFont font;
        if (points > 0) font.setPointSizeF(points);
        auto& w = b.Open(font);
        const QFontMetrics fm(w.font());
        for (QPushButton* button : {w.refreshButton, w.uploadButton, w.exitButton, w.selectFileButton}) {
            EXPECT_LE(fm.horizontalAdvance(Plain(button)), button->width() - 8) << points;
            EXPECT_EQ(button->font().pointSizeF(), w.font().pointSizeF());
        }
        for (int c = 0; c < 4; ++c)
            EXPECT_LE(fm.horizontalAdvance(w.deviceList->headerItem()->text(c)), w.deviceList->columnWidth(c) - 8)
                << points << " column " << c;
        EXPECT_LE(fm.horizontalAdvance(w.startAddressLabel->text()), w.startAddressLabel->width()) << points;
        EXPECT_GE(w.startAddressField->height(), fm.height());
    }
}

TEST(QtWindow, KeyboardAndScreenReaderAccess) {
    QtBench b;
    auto& w = b.Open();
    b.Scan();
    for (QWidget* control : std::initializer_list<QWidget*>{
             w.deviceList, w.refreshButton, w.uploadButton, w.exitButton, w.selectFileButton,
             w.startAddressField, w.firmwareFileField, w.progressBar, w.statusText})
        EXPECT_FALSE(control->accessibleName().isEmpty()) << control->metaObject()->className();
    EXPECT_EQ(w.startAddressLabel->buddy(), w.startAddressField);
    // Tab order follows reading order.
    EXPECT_EQ(NextByTab(w.deviceList), w.refreshButton);
    EXPECT_EQ(NextByTab(w.refreshButton), w.uploadButton);
    EXPECT_EQ(NextByTab(w.uploadButton), w.firmwareFileField);
    EXPECT_EQ(NextByTab(w.firmwareFileField), w.selectFileButton);
    EXPECT_EQ(NextByTab(w.selectFileButton), w.exitButton);
    // Ctrl+F1 from any control reveals the start address.
    QTest::keyClick(w.firmwareFileField, Qt::Key_F1, Qt::ControlModifier);
    EXPECT_TRUE(w.startAddressField->isVisible());
    EXPECT_EQ(w.focusWidget(), w.startAddressField);
    // After Select Firmware File the focus is back on its button, not in the file field.
    w.firmwareFileField->setFocus();
    w.selectFileButton->click();
    QCoreApplication::processEvents();
    EXPECT_EQ(w.focusWidget(), w.selectFileButton);
    // Enter on the focused Refresh button rescans, and the focus comes back to it.
    w.refreshButton->setFocus();
    QTest::keyClick(w.refreshButton, Qt::Key_Return);
    EXPECT_TRUE(b.services.TimerActive());
    b.Scan();
    EXPECT_TRUE(w.refreshButton->hasFocus() || !QApplication::focusWidget());
    EXPECT_EQ(w.statusText->text(), "Device Found");
    // Escape does what Exit does.
    QTest::keyClick(w.refreshButton, Qt::Key_Escape);
    EXPECT_FALSE(w.isVisible());
}

TEST(QtWindow, DroppedFileIsTaken) {
    QtBench b;
    auto& w = b.Open();
    const QString path = QString::fromStdString(b.folder.Write("dropped.hex", "x").string());
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(path)});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &drop);
    EXPECT_EQ(w.firmwareFileField->text(), path);
    EXPECT_EQ(b.services.settings["File"], path.toStdString());
}

TEST(QtWindow, SeveralKeyboardsShowTheirPortsAndAClickedRowReachesTheLogic) {
    QtBench b;
    auto& w = b.Open();
    b.Scan();
    EXPECT_TRUE(w.deviceList->isColumnHidden(4));
    b.second.Plug();
    w.refreshButton->click();
    b.Scan();
    ASSERT_EQ(w.deviceList->topLevelItemCount(), 2);
    EXPECT_FALSE(w.deviceList->isColumnHidden(4));
    EXPECT_EQ(w.deviceList->headerItem()->text(4), "Port");
    EXPECT_EQ(w.deviceList->topLevelItem(1)->text(4), "1-5");
    EXPECT_EQ(w.deviceList->currentItem(), w.deviceList->topLevelItem(0));
    const QRect second = w.deviceList->visualItemRect(w.deviceList->topLevelItem(1));
    QTest::mouseClick(w.deviceList->viewport(), Qt::LeftButton, {}, second.center());
    QCoreApplication::processEvents();
    EXPECT_EQ(w.Logic().SelectedRow(), 1u);
    ASSERT_TRUE(w.Logic().ChosenKeyboard());
    EXPECT_EQ(w.Logic().ChosenKeyboard()->Identity.Serial, "KS0002");
    EXPECT_EQ(w.deviceList->currentItem(), w.deviceList->topLevelItem(1));
    EXPECT_EQ(w.statusText->text(), "Device Found");
}
