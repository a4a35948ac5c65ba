#include "window/qt/QtMainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMimeData>
#include <QSettings>
#include <QStandardPaths>
#include <QThread>
#include <algorithm>

#include "window/WindowText.h"

#if defined(__linux__)
#include <QSocketNotifier>

#include "usbio/LinuxHidMonitor.h"
#endif

namespace window::qt {
namespace {

QString Q(const std::string& utf8) { return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())); }
std::string S(const QString& text) { return text.toUtf8().toStdString(); }
QRect R(const Rect& r) { return QRect(r.x, r.y, r.width, r.height); }

// Button captions with their Alt+letter mnemonics.
QString Mnemonic(const char* caption, QChar letter) {
    QString text = QString::fromUtf8(caption);
    const qsizetype at = text.indexOf(letter);
    if (at >= 0) text.insert(at, '&');
    return text;
}

QElapsedTimer& ProcessClock() {
    static QElapsedTimer timer;
    if (!timer.isValid()) timer.start();
    return timer;
}

}  // namespace

// ---- The real platform ----

upload::MessageAnswer QtPlatform::ShowMessage(QWidget* parent, const std::string& text,
                                              upload::MessageStyle style, const std::string& title) {
    QMessageBox box(parent);
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
    return box.exec() == QMessageBox::Cancel ? upload::MessageAnswer::Cancel
                                             : upload::MessageAnswer::OK;
}

std::optional<std::string> QtPlatform::OpenFile(QWidget* parent, const OpenFileRequest& request) {
    QFileDialog dialog(parent, Q(request.title));
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

std::string QtPlatform::ReadSetting(const std::string& scope, const std::string& section,
                                    const std::string& key) {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, Q(scope), Q(scope));
    return S(settings.value(Q(section) + '/' + Q(key), QString()).toString());
}

void QtPlatform::WriteSetting(const std::string& scope, const std::string& section,
                              const std::string& key, const std::string& value) {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, Q(scope), Q(scope));
    settings.setValue(Q(section) + '/' + Q(key), Q(value));
}

std::string QtPlatform::ProgramFolder() { return S(QCoreApplication::applicationDirPath()); }

std::string QtPlatform::DownloadsFolder() {
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (!downloads.isEmpty() && QFileInfo(downloads).isDir()) return S(downloads);
    return S(QDir::homePath());
}

void QtPlatform::PumpEvents() { QCoreApplication::processEvents(); }

void QtPlatform::Sleep(int ms) {
    // Repaint, but take no input: the window must not look hung during the long waits.
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        const qint64 left = ms - timer.elapsed();
        if (left > 0) QThread::msleep(static_cast<unsigned long>(std::min<qint64>(left, 15)));
    }
}

void QtPlatform::Pause(int ms) {
    QElapsedTimer timer;
    timer.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (timer.elapsed() <= ms) QThread::msleep(2);
    } while (timer.elapsed() <= ms);
}

std::int64_t QtPlatform::NowMs() { return ProcessClock().elapsed(); }

// ---- The window ----

QtMainWindow::QtMainWindow(usbio::DeviceConnection& connection, QtPlatform& platform,
                           WindowOptions options, QWidget* parent)
    : QWidget(parent), platform_(platform) {
    deviceList = new QTreeWidget(this);
    deviceList->setRootIsDecorated(false);
    deviceList->setColumnCount(4);
    QStringList headers;
    for (const char* h : text::ColumnHeaders) headers << QString::fromUtf8(h);
    deviceList->setHeaderLabels(headers);
    deviceList->headerItem()->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    deviceList->header()->setStretchLastSection(false);
    deviceList->setAccessibleName(QString::fromUtf8(text::DeviceListName));

    refreshButton = new QPushButton(Mnemonic(text::RefreshButton, 'R'), this);
    uploadButton = new QPushButton(Mnemonic(text::UploadButton, 'U'), this);
    exitButton = new QPushButton(Mnemonic(text::ExitButton, 'x'), this);
    selectFileButton = new QPushButton(Mnemonic(text::SelectFileButton, 'S'), this);
    for (Button b : {Button::Refresh, Button::Upload, Button::Exit, Button::SelectFile}) {
        QPushButton* button = ButtonOf(b);
        button->setAccessibleName(button->text().remove('&'));
        QObject::connect(button, &QPushButton::clicked, this, [this, b] { logic_->OnButton(b); });
    }

    startAddressLabel = new QLabel(QString::fromUtf8(text::StartAddressLabel), this);
    startAddressField = new QLineEdit(this);
    startAddressLabel->setBuddy(startAddressField);
    startAddressField->setAccessibleName(QString::fromUtf8(text::StartAddressLabel));
    startAddressLabel->setVisible(false);
    startAddressField->setVisible(false);

    firmwareFileField = new QLineEdit(this);
    firmwareFileField->setAccessibleName(QString::fromUtf8(text::FirmwareFileName));
    firmwareFileField->setAcceptDrops(false);  // a dropped file goes to the window

    progressBar = new QProgressBar(this);
    progressBar->setRange(0, 1);
    progressBar->setValue(0);
    progressBar->setTextVisible(true);
    progressBar->setFormat(QStringLiteral("%p%"));
    progressBar->setAccessibleName(QString::fromUtf8(text::ProgressName));

    statusBar_ = new QWidget(this);
    auto* statusLayout = new QHBoxLayout(statusBar_);
    statusLayout->setContentsMargins(1, 1, 1, 1);
    statusLayout->setSpacing(2);
    statusText = new QLabel(statusBar_);
    statusPanel2 = new QLabel(statusBar_);
    for (QLabel* panel : {statusText, statusPanel2}) {
        panel->setFrameShape(QFrame::StyledPanel);
        panel->setFrameShadow(QFrame::Sunken);
        panel->setTextFormat(Qt::PlainText);
        statusLayout->addWidget(panel);
    }
    statusText->setAccessibleName(QString::fromUtf8(text::StatusName));
    statusLayout->addStretch();

    scanTimer = new QTimer(this);
    scanTimer->setSingleShot(true);
    QObject::connect(scanTimer, &QTimer::timeout, this, [this] { logic_->OnTimer(); });

    // Reading order.
    QWidget* order[] = {deviceList, refreshButton, uploadButton, startAddressField,
                        firmwareFileField, selectFileButton, exitButton};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i) QWidget::setTabOrder(order[i], order[i + 1]);

    // Every key passes the window first (Ctrl+F1 whatever has the focus; Enter on a button).
    installEventFilter(this);
    for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);
    setAcceptDrops(true);

    ApplyLayout();
    logic_ = std::make_unique<MainWindow>(connection, *this, options);
    WatchDevices();
    logic_->Start();
}

QtMainWindow::~QtMainWindow() = default;

QPushButton* QtMainWindow::ButtonOf(Button button) const {
    switch (button) {
        case Button::Refresh: return refreshButton;
        case Button::Upload: return uploadButton;
        case Button::Exit: return exitButton;
        case Button::SelectFile: return selectFileButton;
    }
    return refreshButton;
}

void QtMainWindow::ApplyLayout() {
    const QFontMetrics fm(font());
    TextMetrics metrics;
    metrics.lineHeight = fm.height();
    metrics.textWidth = [fm](std::string_view text) {
        return fm.horizontalAdvance(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    };
    const WindowLayout l = ComputeLayout(metrics);
    setFixedSize(l.width, l.height);
    deviceList->setGeometry(R(l.deviceList));
    for (int i = 0; i < 4; ++i) deviceList->setColumnWidth(i, l.columnWidths[static_cast<std::size_t>(i)]);
    refreshButton->setGeometry(R(l.refreshButton));
    uploadButton->setGeometry(R(l.uploadButton));
    exitButton->setGeometry(R(l.exitButton));
    selectFileButton->setGeometry(R(l.selectFileButton));
    startAddressLabel->setGeometry(R(l.startAddressLabel));
    startAddressField->setGeometry(R(l.startAddressField));
    firmwareFileField->setGeometry(R(l.firmwareFileField));
    progressBar->setGeometry(R(l.progressBar));
    statusBar_->setGeometry(R(l.statusBar));
    statusText->setFixedWidth(l.statusPanelWidths[0]);
    statusPanel2->setFixedWidth(l.statusPanelWidths[1]);
}

void QtMainWindow::WatchDevices() {
#if defined(__linux__)
    auto monitor = std::make_shared<usbio::LinuxHidMonitor>();
    if (monitor->Handle() < 0) return;
    auto* notifier = new QSocketNotifier(monitor->Handle(), QSocketNotifier::Read, this);
    QObject::connect(notifier, &QSocketNotifier::activated, this, [this, monitor] {
        if (monitor->TakeChanges()) logic_->OnDeviceArrivedOrLeft();
    });
#endif
}

bool QtMainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers m = key->modifiers();
        logic_->OnKeyDown(key->key() == Qt::Key_F1 ? Key::F1 : Key::Other,
                          KeyModifiers{(m & Qt::ShiftModifier) != 0, (m & Qt::ControlModifier) != 0,
                                       (m & Qt::AltModifier) != 0});
        // Enter presses the focused button, as Space does.
        auto* button = qobject_cast<QPushButton*>(watched);
        if (button && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            m == Qt::NoModifier) {
            if (button->isEnabled()) button->click();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void QtMainWindow::closeEvent(QCloseEvent* event) {
    if (closing_ || logic_->OnCloseRequested()) {
        event->accept();
        return;
    }
    event->ignore();
}

void QtMainWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) ApplyLayout();
    QWidget::changeEvent(event);
}

void QtMainWindow::dragEnterEvent(QDragEnterEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() == 1 && urls.first().isLocalFile()) event->acceptProposedAction();
}

void QtMainWindow::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() != 1 || !urls.first().isLocalFile()) return;
    logic_->OnFileDropped(S(QDir::toNativeSeparators(urls.first().toLocalFile())));
    event->acceptProposedAction();
}

// ---- MainWindowView ----

void QtMainWindow::SetCaption(const std::string& text) { setWindowTitle(Q(text)); }

void QtMainWindow::SetDeviceRow(const std::optional<DeviceRow>& row) {
    deviceList->clear();
    if (!row) return;
    auto* item = new QTreeWidgetItem(deviceList);
    item->setText(0, Q(row->vendorId));
    item->setText(1, Q(row->productId));
    item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    item->setText(2, Q(row->firmwareVersion));
    item->setText(3, Q(row->mode));
}

void QtMainWindow::SetStatusText(const std::string& text) {
    // A text longer than the panel ends in an ellipsis; the whole of it is in the tooltip.
    const QString full = Q(text);
    const int room = statusText->width() - 2 * statusText->frameWidth() - 4;
    const QString shown = statusText->fontMetrics().elidedText(full, Qt::ElideRight, room);
    statusText->setText(shown);
    statusText->setToolTip(shown == full ? QString() : full);
    statusText->setAccessibleDescription(full);
}

void QtMainWindow::SetButtonEnabled(Button button, bool enabled) { ButtonOf(button)->setEnabled(enabled); }

void QtMainWindow::FocusButton(Button button) { ButtonOf(button)->setFocus(Qt::OtherFocusReason); }

void QtMainWindow::ShowStartAddress() {
    startAddressLabel->setVisible(true);
    startAddressField->setVisible(true);
}

std::string QtMainWindow::StartAddressText() { return S(startAddressField->text()); }
void QtMainWindow::SetStartAddressText(const std::string& text) { startAddressField->setText(Q(text)); }
std::string QtMainWindow::FirmwareFileText() { return S(firmwareFileField->text()); }
void QtMainWindow::SetFirmwareFileText(const std::string& text) { firmwareFileField->setText(Q(text)); }

void QtMainWindow::SetProgress(std::int64_t doneBytes, std::int64_t totalBytes) {
    // The bar counts whole bytes; an empty upload shows an empty bar.
    const int total = static_cast<int>(std::clamp<std::int64_t>(totalBytes, 1, INT32_MAX));
    progressBar->setRange(0, total);
    progressBar->setValue(static_cast<int>(std::clamp<std::int64_t>(doneBytes, 0, total)));
}

void QtMainWindow::SetBusyPointer(bool busy) {
    if (busy)
        setCursor(Qt::WaitCursor);
    else
        unsetCursor();
}

upload::MessageAnswer QtMainWindow::ShowMessage(const std::string& text, upload::MessageStyle style,
                                                const std::string& title) {
    return platform_.ShowMessage(this, text, style, title);
}

std::optional<std::string> QtMainWindow::OpenFile(const OpenFileRequest& request) {
    return platform_.OpenFile(this, request);
}

std::string QtMainWindow::ReadSetting(const std::string& scope, const std::string& section,
                                      const std::string& key) {
    return platform_.ReadSetting(scope, section, key);
}

void QtMainWindow::WriteSetting(const std::string& scope, const std::string& section,
                                const std::string& key, const std::string& value) {
    platform_.WriteSetting(scope, section, key, value);
}

std::string QtMainWindow::ProgramFolder() { return platform_.ProgramFolder(); }
std::string QtMainWindow::DownloadsFolder() { return platform_.DownloadsFolder(); }
void QtMainWindow::PumpEvents() { platform_.PumpEvents(); }
void QtMainWindow::Sleep(int ms) { platform_.Sleep(ms); }
void QtMainWindow::Pause(int ms) { platform_.Pause(ms); }
std::int64_t QtMainWindow::NowMs() { return platform_.NowMs(); }
void QtMainWindow::StartTimer(int ms) { scanTimer->start(ms); }
void QtMainWindow::StopTimer() { scanTimer->stop(); }

void QtMainWindow::Close() {
    closing_ = true;
    close();
    QCoreApplication::exit(0);
}

}  // namespace window::qt
