#include "window/qt/QtMainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>
#include <QTimer>
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
QString Caption(Button button) { return QString::fromStdString(ButtonCaption(button)); }

// A text of the window in the user's language.
QString Shown(const char* english) { return QString::fromStdString(kestrune::Tr(english)); }

}  // namespace

// ---- The window ----

QtMainWindow::QtMainWindow(usbio::DeviceConnection& connection, QtServices& services,
                           WindowOptions options, QWidget* parent)
    : QWidget(parent) {
    setWindowTitle(Shown(text::WindowTitle));
    deviceList = new QTreeWidget(this);
    deviceList->setRootIsDecorated(false);
    deviceList->setColumnCount(5);
    QStringList headers;
    for (const char* h : text::ColumnHeaders) headers << Shown(h);
    headers << Shown(text::PortColumnHeader);
    deviceList->setHeaderLabels(headers);
    deviceList->setColumnHidden(4, true);  // the port: only while several keyboards are listed
    deviceList->setSelectionMode(QAbstractItemView::SingleSelection);
    QObject::connect(deviceList, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (showingRows_ || !item) return;
        const int index = deviceList->indexOfTopLevelItem(item);
        // Once the list has finished with the click: the logic shows the rows again.
        if (index >= 0)
            QTimer::singleShot(0, this, [this, index] { logic_->OnRowSelected(static_cast<std::size_t>(index)); });
    });
    deviceList->headerItem()->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    deviceList->header()->setStretchLastSection(false);
    deviceList->setAccessibleName(Shown(text::DeviceListName));

    refreshButton = new QPushButton(Caption(Button::Refresh), this);
    uploadButton = new QPushButton(Caption(Button::Upload), this);
    exitButton = new QPushButton(Caption(Button::Exit), this);
    selectFileButton = new QPushButton(Caption(Button::SelectFile), this);
    for (Button b : {Button::Refresh, Button::Upload, Button::Exit, Button::SelectFile}) {
        QPushButton* button = ButtonOf(b);
        button->setAccessibleName(button->text().remove('&'));
        QObject::connect(button, &QPushButton::clicked, this, [this, b] { logic_->OnButton(b); });
    }

    startAddressLabel = new QLabel(Shown(text::StartAddressLabel), this);
    startAddressField = new QLineEdit(this);
    startAddressLabel->setBuddy(startAddressField);
    startAddressField->setAccessibleName(Shown(text::StartAddressLabel));
    startAddressLabel->setVisible(false);
    startAddressField->setVisible(false);

    firmwareFileField = new QLineEdit(this);
    firmwareFileField->setAccessibleName(Shown(text::FirmwareFileName));
    firmwareFileField->setAcceptDrops(false);  // a dropped file goes to the window

    progressBar = new QProgressBar(this);
    progressBar->setRange(0, 1);
    progressBar->setValue(0);
    progressBar->setTextVisible(true);
    progressBar->setFormat(QStringLiteral("%p%"));
    progressBar->setAccessibleName(Shown(text::ProgressName));

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
    statusText->setAccessibleName(Shown(text::StatusName));
    statusLayout->addStretch();

    // The layout's tab order.
    auto widgetOf = [this](Control control) -> QWidget* {
        switch (control) {
            case Control::DeviceList: return deviceList;
            case Control::Refresh: return refreshButton;
            case Control::Upload: return uploadButton;
            case Control::StartAddress: return startAddressField;
            case Control::FirmwareFile: return firmwareFileField;
            case Control::SelectFile: return selectFileButton;
            case Control::Exit: return exitButton;
        }
        return deviceList;
    };
    for (std::size_t i = 0; i + 1 < TabOrder.size(); ++i)
        QWidget::setTabOrder(widgetOf(TabOrder[i]), widgetOf(TabOrder[i + 1]));

    // Every key passes the window first (Ctrl+F1 whatever has the focus; Enter on a button).
    installEventFilter(this);
    for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);
    setAcceptDrops(true);

    ApplyLayout();
    services.SetDialogParent(this);
    logic_ = std::make_unique<MainWindow>(connection, *this, services, options);
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
    deviceList->setColumnWidth(4, l.portColumnWidth);
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
        const Key which = key->key() == Qt::Key_F1       ? Key::F1
                          : key->key() == Qt::Key_Escape ? Key::Escape
                                                         : Key::Other;
        logic_->OnKeyDown(which, KeyModifiers{(m & Qt::ShiftModifier) != 0, (m & Qt::ControlModifier) != 0,
                                              (m & Qt::AltModifier) != 0});
        if (which == Key::Escape) return true;
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

void QtMainWindow::SetDeviceRows(const std::vector<DeviceRow>& rows, std::optional<std::size_t> selected) {
    showingRows_ = true;
    deviceList->clear();
    deviceList->setColumnHidden(4, rows.size() < 2);
    for (const DeviceRow& row : rows) {
        auto* item = new QTreeWidgetItem(deviceList);
        item->setText(0, Q(row.vendorId));
        item->setText(1, Q(row.productId));
        item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
        item->setText(2, Q(row.firmwareVersion));
        item->setText(3, Q(row.mode));
        item->setText(4, Q(row.port));
    }
    if (selected && *selected < rows.size())
        deviceList->setCurrentItem(deviceList->topLevelItem(static_cast<int>(*selected)));
    showingRows_ = false;
}

void QtMainWindow::SetStatusText(const std::string& text) {
    // A text longer than the panel ends in an ellipsis; the whole of it is in the tooltip.
    const QString full = Q(text);
    const int room = statusText->width() - 2 * statusText->frameWidth() - 4;
    const QString shown = statusText->fontMetrics().elidedText(full, Qt::ElideRight, room);
    statusText->setText(shown);
    statusText->setToolTip(shown == full ? QString() : full);
    statusText->setAccessibleDescription(full);
    // Shown at once, also while a command holds the event loop.
    statusText->repaint();
}

void QtMainWindow::SetButtonEnabled(Button button, bool enabled) { ButtonOf(button)->setEnabled(enabled); }

void QtMainWindow::FocusButton(Button button) {
    QPushButton* target = ButtonOf(button);
    target->setFocus(Qt::OtherFocusReason);
    // A message box or the file dialog that has just closed hands the focus back to the control
    // that had it before the buttons went off (the file field): take it again once it has.
    QTimer::singleShot(0, target, [this, target] {
        if (target->isEnabled() && target->isVisible()) target->setFocus(Qt::OtherFocusReason);
        // Drawn, as after a Tab, also from the first paint (showing the window forgets it): who
        // uses Alt+letters and Enter sees where Space and Enter act.
        setAttribute(Qt::WA_KeyboardFocusChange);
    });
}

std::optional<Button> QtMainWindow::FocusedButton() {
    // The window's focus widget, also while another window is active.
    for (Button b : {Button::Refresh, Button::Upload, Button::Exit, Button::SelectFile})
        if (focusWidget() == ButtonOf(b)) return b;
    return std::nullopt;
}

void QtMainWindow::ParkFocus() { setFocus(Qt::OtherFocusReason); }

void QtMainWindow::FocusStartAddress() { startAddressField->setFocus(Qt::ShortcutFocusReason); }

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

void QtMainWindow::Close() {
    closing_ = true;
    close();
    QCoreApplication::exit(0);
}

}  // namespace window::qt
