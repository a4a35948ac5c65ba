#include "window/qt/QtServices.h"

#include "common/Translate.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QTranslator>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QThread>
#include <QWindow>
#include <algorithm>
#include <optional>

namespace window::qt {

void InstallQtTranslations() {
    const std::string language = kestrune::Language();
    if (language.empty()) return;
    static QTranslator translator;  // for the program's life
    if (translator.load(QStringLiteral("qtbase_") + QString::fromStdString(language),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&translator);
}
namespace {

QString Q(const std::string& utf8) { return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())); }
std::string S(const QString& text) { return text.toUtf8().toStdString(); }

QElapsedTimer& ProcessClock() {
    static QElapsedTimer timer;
    if (!timer.isValid()) timer.start();
    return timer;
}

}  // namespace

QtServices::QtServices() {
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] {
        // The callback may start the timer again: take it first.
        const auto onTimeout = std::move(onTimeout_);
        onTimeout_ = nullptr;
        if (onTimeout) onTimeout();
    });
}

QtServices::~QtServices() = default;

// Drops the keys, clicks and shortcuts meant for the program's windows while it lives, but for
// those of the box it leaves open. The window system's close request is no input here: Qt counts
// it as one, and would hold it back until the wait is over, when the window would close at once
// instead of saying that it closes once the update has ended.
class QtServices::InputHold final : public QObject {
public:
    explicit InputHold(const QWidget* open = nullptr) : open_(open) {
        QCoreApplication::instance()->installEventFilter(this);
    }
    ~InputHold() override { QCoreApplication::instance()->removeEventFilter(this); }

protected:
    bool eventFilter(QObject* target, QEvent* event) override {
        if (open_) {
            if (const auto* widget = qobject_cast<const QWidget*>(target))
                if (widget == open_ || open_->isAncestorOf(widget)) return false;
            if (target == open_->windowHandle()) return false;
        }
        switch (event->type()) {
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
            case QEvent::ShortcutOverride:
            case QEvent::Shortcut:
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::Wheel:
            case QEvent::TouchBegin:
            case QEvent::TouchUpdate:
            case QEvent::TouchEnd:
            case QEvent::ContextMenu:
            case QEvent::Drop:
                return true;
            default:
                return false;
        }
    }

private:
    const QWidget* open_;
};

upload::MessageAnswer QtServices::ShowMessage(const std::string& text, upload::MessageStyle style,
                                              const std::string& title) {
    QMessageBox box(parent_);
    box.setWindowTitle(Q(title));
    QString shown = Q(text);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    box.setText(shown);
    switch (style) {
        case upload::MessageStyle::Warning:
            box.setIcon(QMessageBox::Warning);
            box.setStandardButtons(QMessageBox::Ok);
            break;
        case upload::MessageStyle::WarningOkCancel:
            box.setIcon(QMessageBox::Warning);
            box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
            break;
        case upload::MessageStyle::Information:
            box.setIcon(QMessageBox::Information);
            box.setStandardButtons(QMessageBox::Ok);
            break;
        case upload::MessageStyle::Plain:
            box.setIcon(QMessageBox::NoIcon);
            box.setStandardButtons(QMessageBox::Ok);
            break;
    }
    // Centred on the window, also when it opens before the window manager has placed the window
    // (the start-up scan's box), where Qt would put it in the screen's corner.
    if (parent_ && parent_->isVisible()) {
        box.adjustSize();
        const QRect frame = parent_->frameGeometry();
        box.move(frame.center() - QPoint(box.width() / 2, box.height() / 2));
    }
    // The box holds the window's input, not its close request: a modal box would have Qt drop
    // the window system's close request for the window it blocks, where the window must keep it
    // and say that it closes once the update has ended.
    box.setWindowModality(Qt::NonModal);
    const InputHold hold(&box);
    QEventLoop loop;
    QObject::connect(&box, &QDialog::finished, &loop, &QEventLoop::quit);
    box.show();
    box.raise();
    box.activateWindow();
    loop.exec();
    return box.clickedButton() && box.clickedButton() == box.button(QMessageBox::Cancel)
               ? upload::MessageAnswer::Cancel
               : upload::MessageAnswer::OK;
}

std::optional<std::string> QtServices::OpenFile(const OpenFileRequest& request) {
    QFileDialog dialog(parent_, Q(request.title));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    QStringList nameFilters;
    for (const FileFilter& f : request.filters) {
        QStringList patterns;
        for (const std::string& p : f.patterns) patterns << Q(p);
        nameFilters << Q(f.description) + QStringLiteral(" (") + patterns.join(' ') + ')';
    }
    dialog.setNameFilters(nameFilters);
    dialog.setDirectory(Q(request.folder));
    if (!request.fileName.empty()) dialog.selectFile(Q(request.fileName));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return S(QDir::toNativeSeparators(dialog.selectedFiles().first()));
}

std::string QtServices::ReadSetting(const std::string& scope, const std::string& section,
                                    const std::string& key) {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, Q(scope), Q(scope));
    return S(settings.value(Q(section) + '/' + Q(key), QString()).toString());
}

void QtServices::WriteSetting(const std::string& scope, const std::string& section,
                              const std::string& key, const std::string& value) {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, Q(scope), Q(scope));
    settings.setValue(Q(section) + '/' + Q(key), Q(value));
}

std::string QtServices::ProgramFolder() { return S(QCoreApplication::applicationDirPath()); }

std::string QtServices::DownloadsFolder() {
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (!downloads.isEmpty() && QFileInfo(downloads).isDir()) return S(downloads);
    return S(QDir::homePath());
}

void QtServices::PumpEvents() { QCoreApplication::processEvents(); }


void QtServices::Wait(int ms, bool takeInput) {
    std::optional<InputHold> hold;
    if (!takeInput) hold.emplace();
    const std::int64_t end = NowMs() + std::max(ms, 0);
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        const std::int64_t left = end - NowMs();
        if (left <= 0) return;
        Rest(static_cast<int>(std::min<std::int64_t>(left, takeInput ? 2 : 15)));
    }
}

void QtServices::Rest(int ms) { QThread::msleep(static_cast<unsigned long>(ms)); }

// Repaint, and take a close request, but no other input: the window must not look hung during the
// long waits.
void QtServices::Sleep(int ms) { Wait(ms, false); }
void QtServices::Pause(int ms) { Wait(ms, true); }

std::int64_t QtServices::NowMs() { return ProcessClock().elapsed(); }

void QtServices::StartTimer(int ms, std::function<void()> onTimeout) {
    onTimeout_ = std::move(onTimeout);
    timer_.start(ms);
}

void QtServices::StopTimer() {
    timer_.stop();
    onTimeout_ = nullptr;
}

}  // namespace window::qt
