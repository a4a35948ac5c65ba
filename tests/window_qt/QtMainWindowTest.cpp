// The Qt window's own wiring: widgets, texts, layout, keys, drops. The flow behind them is tested
// on the toolkit-free logic (tests/window).
#include <gtest/gtest.h>

#include <QAccessible>
#include <QMessageBox>
#include <QMimeData>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <cctype>
#include <functional>
#include <map>

#include "common/Clock.h"
#include "sim/SimHidPlatform.h"
#include "support/Catalogs.h"
#include "support/FirmwareFiles.h"
#include "support/FocusCases.h"
#include "support/TempDir.h"
#include "window/WindowText.h"
#include "window/qt/QtMainWindow.h"

namespace {

// Qt's services with the waits on virtual time and the dialogs scripted; the timer is Qt's own.
// Sleep is Qt's own too: its events run while the virtual time passes.
class ScriptedServices final : public window::qt::QtServices {
public:
    explicit ScriptedServices(kestrune::VirtualClock& clock) : clock_(clock) {}
    upload::MessageAnswer ShowMessage(const std::string& text, upload::MessageStyle style,
                                      const std::string& title) override {
        messages.push_back(text);
        if (onMessage) onMessage(text);
        return realBoxes ? QtServices::ShowMessage(text, style, title) : upload::MessageAnswer::OK;
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
    void Pause(int ms) override { clock_.Advance(ms); }
    std::int64_t NowMs() override { return clock_.NowMs(); }

    bool realBoxes = false;  // Qt's own boxes, answered by the test
    std::vector<std::string> messages;
    std::function<void(const std::string&)> onMessage;  // runs as the box opens
    std::function<void()> onRest;                       // runs in each step of a Sleep
    std::map<std::string, std::string> settings;
    std::string folder;

protected:
    void Rest(int ms) override {
        clock_.Advance(ms);
        if (onRest) onRest();
    }

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
    // Open and active, so that it has the application's keyboard focus.
    window::qt::QtMainWindow& OpenActive(const QFont& font = QFont()) {
        Open(font).activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
        return *window;
    }
    void Scan() {
        ASSERT_TRUE(services.TimerActive());
        services.StopTimer();
        window->Logic().OnTimer();
    }
    // Runs the scans a command has left waiting, then the events they leave behind.
    void Settle() {
        for (QCoreApplication::processEvents(); services.TimerActive(); QCoreApplication::processEvents()) Scan();
    }
    std::string ChooseFile(const std::string& name, const std::string& contents) {
        const std::string path = folder.Write(name, contents).string();
        window->firmwareFileField->setText(QString::fromStdString(path));
        return path;
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

bool NothingSelected(const window::qt::QtMainWindow& w) {
    return !w.firmwareFileField->hasSelectedText() && !w.startAddressField->hasSelectedText();
}

// Counts how often a widget is turned on.
class TurnedOnCounter final : public QObject {
public:
    explicit TurnedOnCounter(QWidget* widget) : widget_(widget) { widget->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::EnabledChange && widget_->isEnabled()) ++count;
        return false;
    }

private:
    QWidget* widget_;
};

const std::string kNothingWritten = window::text::NothingWritten;

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

// The window in the user's language (ctest runs it once in each language of po/, and in English
// with the rest): every text it shows is the catalog's, through a whole update of a keyboard that
// must be replugged, with its boxes and its outcome.
TEST(QtWindow, SpeaksTheUsersLanguageThroughAWholeUpdate) {
    namespace text = window::text;
    const kestrune::Catalog catalog = testsupport::CatalogInUse();
    const auto tr = [&](const char* english) { return QString::fromStdString(testsupport::Translated(catalog, english)); };
    // Old firmware: a box asks for the replug; the keyboard comes back by itself meanwhile.
    QtBench b(sim::KeyboardConfig{.Version = "V1.0", .ReturnPolicy = sim::KeyboardConfig::Return::Automatic});
    auto& w = b.Open();
    b.Scan();
    const std::vector<std::pair<QString, const char*>> shown{
        {w.deviceList->headerItem()->text(0), text::ColumnHeaders[0]},
        {w.deviceList->headerItem()->text(1), text::ColumnHeaders[1]},
        {w.deviceList->headerItem()->text(2), text::ColumnHeaders[2]},
        {w.deviceList->headerItem()->text(3), text::ColumnHeaders[3]},
        {w.deviceList->headerItem()->text(4), text::PortColumnHeader},
        {w.deviceList->topLevelItem(0)->text(3), text::NormalMode},
        {w.startAddressLabel->text(), text::StartAddressLabel},
        {w.firmwareFileField->accessibleName(), text::FirmwareFileName},
        {w.progressBar->accessibleName(), text::ProgressName},
        {w.deviceList->accessibleName(), text::DeviceListName},
        {w.statusText->accessibleName(), text::StatusName},
        {w.statusText->text(), text::DeviceFound}};
    for (const auto& [text, english] : shown) EXPECT_EQ(text, tr(english)) << english;
    // A caption without its Alt+letter shows the letter after it: the keys are the same in every language.
    for (const auto& [button, english] : std::vector<std::pair<QPushButton*, const char*>>{
             {w.refreshButton, text::RefreshButton}, {w.uploadButton, text::UploadButton},
             {w.exitButton, text::ExitButton}, {w.selectFileButton, text::SelectFileButton}})
        EXPECT_TRUE(Plain(button).startsWith(tr(english)) && button->text().contains('&')) << button->text().toStdString();

    b.ChooseFile("fw.hex", testsupport::HexText(0x1200, testsupport::RandomBytes(0x200, 9)));
    std::vector<std::string> statuses;
    b.services.onMessage = [&](const std::string&) { statuses.push_back(w.statusText->accessibleDescription().toStdString()); };
    w.uploadButton->click();
    b.Settle();
    const auto in = [&](std::initializer_list<const char*> english) {
        std::vector<std::string> out;
        for (const char* e : english) out.push_back(tr(e).toStdString());
        return out;
    };
    EXPECT_EQ(b.services.messages, in({text::ReplugInstructions, text::Uploaded}));
    EXPECT_EQ(statuses, in({text::Jumping, text::UploadedReplug}));
    EXPECT_EQ(w.statusText->text(), tr(text::FirmwareUpdated));
    EXPECT_EQ(w.deviceList->topLevelItem(0)->text(3), tr(text::NormalMode));
    // Qt's own words in a box, from Qt's catalogs: in the same language.
    QMessageBox box;
    box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_EQ(box.button(QMessageBox::Cancel)->text().remove('&') == "Cancel", kestrune::Language().empty())
        << box.button(QMessageBox::Cancel)->text().toStdString();
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

TEST(QtWindow, TheFocusIsOnRefreshFromTheFirstPaint) {
    QtBench b;
    auto& w = b.OpenActive();
    QCoreApplication::processEvents();
    EXPECT_EQ(QApplication::focusWidget(), w.refreshButton);
    // And drawn, before any Tab: the button looks otherwise once the focus has left it.
    const QImage painted = w.refreshButton->grab().toImage();
    w.firmwareFileField->setFocus(Qt::OtherFocusReason);
    EXPECT_NE(w.refreshButton->grab().toImage(), painted);
    w.refreshButton->setFocus(Qt::OtherFocusReason);
    // The first Tab leaves it for the next control that takes the focus (Upload Firmware is off
    // until the first scan has found a keyboard, which may already have happened).
    const bool uploadOn = w.uploadButton->isEnabled();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), uploadOn ? static_cast<QWidget*>(w.uploadButton) : w.firmwareFileField);
    // The first scan turns Refresh off and on again: the focus waits and comes back to it.
    w.refreshButton->setFocus();
    b.Settle();
    EXPECT_EQ(QApplication::focusWidget(), w.refreshButton);
    EXPECT_TRUE(NothingSelected(w));
}

TEST(QtWindow, AfterEachCommandTheFocusIsOnItsButtonAndNoTextIsSelected) {
    using testsupport::Press;
    for (const testsupport::FocusCase& c : testsupport::kFocusCases) {
        QtBench b;
        auto& w = b.OpenActive();
        b.Settle();
        b.ChooseFile("fw.hex", testsupport::HexText(0x1200, testsupport::RandomBytes(0x200, 3)));
        if (c.startAddressShown) QTest::keyClick(w.firmwareFileField, Qt::Key_F1, Qt::ControlModifier);
        QPushButton* button = w.ButtonOf(c.button);
        bool clicked = false;
        QObject::connect(button, &QPushButton::clicked, [&] { clicked = true; });
        bool focusInAField = false;
        b.services.onRest = [&] {
            focusInAField |= QApplication::focusWidget() == w.firmwareFileField ||
                             QApplication::focusWidget() == w.startAddressField;
        };
        switch (c.how) {
            case Press::Mouse: QTest::mouseClick(button, Qt::LeftButton); break;
            case Press::Enter: button->setFocus(); QTest::keyClick(button, Qt::Key_Return); break;
            case Press::Space: button->setFocus(); QTest::keyClick(button, Qt::Key_Space); break;
            case Press::AltLetter:
                // Through the window, as the window system's keys come; the button clicks itself
                // once Qt's own 100 ms animation of the press is over.
                QTest::keyClick(w.windowHandle(), static_cast<Qt::Key>(std::toupper(testsupport::AltLetterOf(c.button))),
                                Qt::AltModifier);
                for (int i = 0; i < 100 && !clicked; ++i) QTest::qWait(10);
                break;
        }
        b.Settle();
        EXPECT_EQ(QApplication::focusWidget(), button) << c.name;
        EXPECT_TRUE(NothingSelected(w)) << c.name;
        EXPECT_FALSE(focusInAField) << c.name;
        if (c.button == window::Button::Upload) {
            EXPECT_EQ(w.statusText->text(), "Firmware updated.") << c.name;
        }
    }
}

TEST(QtWindow, ACloseWhileTheBoxIsUpIsKeptAndSaidAndNoKeyPassesTheBoxOrAWait) {
    QtBench b(sim::KeyboardConfig{.StartInUploadMode = true});
    auto& w = b.OpenActive();
    b.Settle();
    b.ChooseFile("fw.hex", testsupport::HexText(0x1200, testsupport::RandomBytes(0x200, 4)));
    const QString file = w.firmwareFileField->text();
    b.services.realBoxes = true;
    QString statusAfterAsking;
    b.services.onMessage = [&](const std::string&) {
        QTimer::singleShot(0, [&] {  // the box is up now
            // Nothing blocks the window: the window system's close request reaches it.
            EXPECT_EQ(QGuiApplication::modalWindow(), nullptr);
            QTest::keyClicks(w.firmwareFileField, "zz");
            w.close();
            statusAfterAsking = w.statusText->text();
            for (QWidget* top : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(top); box && box->isVisible())
                    box->button(QMessageBox::Ok)->click();
        });
    };
    b.services.onRest = [&] { QTest::keyClicks(w.firmwareFileField, "yy"); };
    w.uploadButton->click();
    ASSERT_EQ(b.services.messages, std::vector<std::string>{upload::text::Uploaded});
    EXPECT_EQ(statusAfterAsking, window::text::Closing);
    EXPECT_EQ(w.firmwareFileField->text(), file);
    EXPECT_TRUE(w.isVisible());
    b.Settle();  // the rescan that ends the update
    EXPECT_FALSE(w.isVisible());
}

TEST(QtWindow, TheOutcomeOfARefusalIsShownAtEveryFontSize) {
    for (qreal points : {0.0, 14.0}) {
        QtBench b;
        QFont font;
        if (points > 0) font.setPointSizeF(points);
        auto& w = b.OpenActive(font);
        b.Settle();
        b.ChooseFile("a-file-with-a-rather-long-name-that-holds-too-little.bin", "tiny");
        w.uploadButton->click();
        ASSERT_EQ(b.services.messages.size(), 1u);
        EXPECT_TRUE(w.statusText->text().startsWith(QString::fromStdString(kNothingWritten))) << points;
        EXPECT_EQ(w.statusText->accessibleDescription().toStdString(),
                  kNothingWritten + " " + b.services.messages[0]);
    }
}

TEST(QtWindow, ARefusalBoxStandsBesideItsOwnStatusAndTheButtonsComeBackOnce) {
    QtBench b;
    auto& w = b.OpenActive();
    b.Settle();
    b.ChooseFile("fw.hex", testsupport::HexText(0x1200, testsupport::RandomBytes(0x200, 5)));
    TurnedOnCounter refresh(w.refreshButton);
    w.uploadButton->click();
    b.Settle();
    ASSERT_EQ(w.statusText->text(), "Firmware updated.");
    EXPECT_EQ(refresh.count, 1);  // not between the upload and its rescan
    // A file that breaks off after many good lines: "Extracting..." has been shown.
    const std::string good = testsupport::HexText(0x1200, testsupport::RandomBytes(0x1000, 6));
    b.ChooseFile("cut.hex", good.substr(0, good.size() - 20));
    QString statusBesideBox;
    b.services.onMessage = [&](const std::string&) { statusBesideBox = w.statusText->accessibleDescription(); };
    w.uploadButton->click();
    EXPECT_TRUE(statusBesideBox.startsWith(QString::fromStdString(kNothingWritten))) << statusBesideBox.toStdString();
    EXPECT_EQ(refresh.count, 2);
}
