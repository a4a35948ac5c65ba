#include "app/frmMain.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <cmath>

#include "Version.h"
#include "app/myDialog.h"
#include "app/myLibX.h"
#include "common/FirmwareVersion.h"
#include "upload/Commands.h"

namespace app {

namespace {

// Positions of the design are in twips; 15 twips make one pixel at 96 dpi, and Qt scales the
// pixels for other densities.
QRect Twips(int left, int top, int width, int height) {
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

QString FromAnsi(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// The layout's button widths were made for a small system font: with a larger one, shrink the
// caption's font until it fits rather than cutting the caption off.
void FitCaption(QPushButton* button) {
    QFont font = button->font();
    const int room = button->width() - 10;
    while (QFontMetrics(font).horizontalAdvance(button->text()) > room && font.pointSizeF() > 6.0)
        font.setPointSizeF(font.pointSizeF() - 0.5);
    button->setFont(font);
}

std::string ToAnsi(const QString& text) { return text.toLocal8Bit().toStdString(); }

const char kReplugInstructions[] =
    "The keyboard is set to [Firmware Upload] mode.\r\n"
    "\r\n"
    "Please follow below steps to start uploading firmware:\r\n"
    "  1. Plug out the USB connector\r\n"
    "  2. Plug in the USB connector again\r\n"
    "  3  Click OK button to start uploading the firmware file to keyboard";

const char kDeviceNotFound[] =
    "Device not found. Please attach the device and then run the program again.";

int StyleCode(upload::MessageStyle style) {
    switch (style) {
        case upload::MessageStyle::Warning: return vbExclamation;
        case upload::MessageStyle::WarningOkCancel: return vbOKCancelExclamation;
        case upload::MessageStyle::Information: return vbInformation;
        case upload::MessageStyle::Plain: break;
    }
    return vbOKOnly;
}

}  // namespace

// ---- Widgets ----

void FloatProgressBar::SetMin(float v) { min_ = v; if (max_ < min_) max_ = min_; Apply(); }
void FloatProgressBar::SetMax(float v) { max_ = v; if (min_ > max_) min_ = max_; Apply(); }
void FloatProgressBar::SetValue(float v) { value_ = v; Apply(); }

void FloatProgressBar::Apply() {
    // The underlying bar counts whole bytes: the values are in hundreds of bytes.
    auto bytes = [](float v) { return static_cast<int>(std::lround(static_cast<double>(v) * 100.0)); };
    setRange(bytes(min_), bytes(max_));
    setValue(std::clamp(bytes(value_), bytes(min_), bytes(max_)));
}

StatusBar::StatusBar(QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 1);
    layout->setSpacing(2);
    panel1_ = new QLabel(this);
    panel2_ = new QLabel(this);
    for (QLabel* panel : {panel1_, panel2_}) {
        panel->setFrameShape(QFrame::StyledPanel);
        panel->setFrameShadow(QFrame::Sunken);
        panel->setTextFormat(Qt::PlainText);
    }
    panel1_->setFixedWidth(5805 / 15);
    panel2_->setFixedWidth(2040 / 15);
    layout->addWidget(panel1_);
    layout->addWidget(panel2_);
    layout->addStretch();
}

std::array<int, 4> DeviceListColumnWidths(int W) {
    return {W / 6, W / 6, static_cast<int>(std::lround(W / 2.0 * 0.8)),
            static_cast<int>(std::lround(W / 5.0 * 1.2))};
}

QString WindowCaption(const QString& title, int major, int minor, int revision) {
    return QStringLiteral("%1 V%2.%3R%4").arg(title).arg(major).arg(minor).arg(revision);
}

// Keeps a second command from starting while one runs: the buttons and the rescan timer are
// switched off for the duration and restored afterwards.
class BusyScope {
public:
    explicit BusyScope(frmMain& window) : window_(window) { window_.BeginBusy(); }
    ~BusyScope() { window_.EndBusy(); }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    frmMain& window_;
};

// The upload sequence's view of the window.
class frmMain::UploadViewAdapter final : public upload::UploadView {
public:
    explicit UploadViewAdapter(frmMain& window) : w_(window) {}
    void SetStatusText(const std::string& text) override { w_.SetStatusText(text); }
    void SetBusyPointer(bool busy) override { w_.SetBusyPointer(busy); }
    void SetProgress(std::int64_t done, std::int64_t total) override {
        w_.pb->SetMin(0);
        w_.pb->SetMax(static_cast<float>(total) / 100.0f);
        w_.pb->SetValue(static_cast<float>(done) / 100.0f);
    }
    upload::MessageAnswer ShowMessage(const std::string& text, upload::MessageStyle style,
                                      const std::string& title) override {
        return w_.MsgBox(text, StyleCode(style), title) == vbCancel
                   ? upload::MessageAnswer::Cancel
                   : upload::MessageAnswer::OK;
    }
    void PumpEvents() override { w_.services_.DoEvents(); }
    void Sleep(int ms) override { w_.services_.Sleep(ms); }
    void RequestRescan() override {
        // While a command runs the timer is held off; the rescan starts when the command ends.
        if (w_.IsBusy())
            w_.rescanRequested_ = true;
        else
            w_.tmrDetectDevice->start();
    }
    void SetPendingStatusText(const std::string& text) override { w_.PendingStatusText = text; }

private:
    frmMain& w_;
};

// ---- The window ----

frmMain::frmMain(usbio::DeviceConnection& connection, WindowServices& services, QWidget* parent)
    : QWidget(parent), connection_(connection), services_(services) {
    setWindowTitle(QStringLiteral("Kestrune Uploader"));
    setFixedSize(7890 / 15, 3615 / 15);

    lvw = new QTreeWidget(this);
    lvw->setGeometry(Twips(120, 120, 5775, 2055));
    lvw->setRootIsDecorated(false);
    lvw->setColumnCount(0);

    const char* captions[4] = {"Refresh", "Upload Firmware", "Exit", "Select Firmware File ..."};
    const QRect places[4] = {Twips(6000, 120, 1815, 375), Twips(6000, 600, 1815, 375),
                             Twips(6000, 2760, 1815, 375), Twips(6000, 2280, 1815, 375)};
    for (int i = 0; i < 4; ++i) {
        cmdCtrl[i] = new QPushButton(QString::fromLatin1(captions[i]), this);
        cmdCtrl[i]->setGeometry(places[i]);
        FitCaption(cmdCtrl[i]);
        QObject::connect(cmdCtrl[i], &QPushButton::clicked, this, [this, i] { cmdCtrl_Click(i); });
    }
    cmdCtrl[1]->setEnabled(false);

    Label1 = new QLabel(QStringLiteral("Start Address (HEX):"), this);
    Label1->setGeometry(Twips(6120, 1200, 1575, 255));
    Label1->setVisible(false);
    txtStartAddress = new QLineEdit(QString::fromLatin1(upload::DefaultStartAddress), this);
    txtStartAddress->setGeometry(Twips(6120, 1440, 1575, 285));
    txtStartAddress->setVisible(false);

    txtFirmwareFile = new QLineEdit(this);
    txtFirmwareFile->setGeometry(Twips(120, 2280, 5775, 375));

    pb = new FloatProgressBar(this);
    pb->setGeometry(Twips(120, 2760, 5775, 375));
    pb->setTextVisible(false);

    sb = new StatusBar(this);
    sb->setGeometry(Twips(0, 3240, 7890, 375));

    tmrDetectDevice = new QTimer(this);
    tmrDetectDevice->setInterval(10);
    QObject::connect(tmrDetectDevice, &QTimer::timeout, this, [this] { tmrDetectDevice_Timer(); });

    // Focus order of the design.
    QWidget::setTabOrder(lvw, cmdCtrl[0]);
    QWidget::setTabOrder(cmdCtrl[0], cmdCtrl[1]);
    QWidget::setTabOrder(cmdCtrl[1], cmdCtrl[2]);
    QWidget::setTabOrder(cmdCtrl[2], txtFirmwareFile);
    QWidget::setTabOrder(txtFirmwareFile, cmdCtrl[3]);
    QWidget::setTabOrder(cmdCtrl[3], txtStartAddress);

    // Key preview: the window sees every key before the control that has the focus.
    installEventFilter(this);
    for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);

    FirmwareImage.assign(upload::ImageSize, 0);
    Form_Load();
}

frmMain::~frmMain() = default;

void frmMain::Form_Load() {
    setWindowTitle(WindowCaption(QString::fromLatin1(kestrune::ApplicationTitle),
                                 kestrune::VersionMajor, kestrune::VersionMinor,
                                 kestrune::VersionRevision));
    InitDeviceList();
    txtFirmwareFile->setText(services_.ReadSetting(
        QString::fromLatin1(kestrune::ApplicationTitle), QStringLiteral("Firmware"),
        QStringLiteral("File"), QString()));
    tmrDetectDevice->start();
}

void frmMain::InitDeviceList() {
    lvw->clear();
    const QStringList headers{QStringLiteral("Vendor ID"), QStringLiteral("Product ID"),
                              QStringLiteral("Firmware Version"), QStringLiteral("Status Mode")};
    lvw->setColumnCount(4);
    lvw->setHeaderLabels(headers);
    const auto widths = DeviceListColumnWidths(lvw->width());
    for (int i = 0; i < 4; ++i) lvw->setColumnWidth(i, widths[static_cast<std::size_t>(i)]);
    lvw->headerItem()->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        int code = key->key();
        if (code >= Qt::Key_F1 && code <= Qt::Key_F24) code = 112 + (code - Qt::Key_F1);
        const Qt::KeyboardModifiers m = key->modifiers();
        const int shift = (m & Qt::ShiftModifier ? 1 : 0) | (m & Qt::ControlModifier ? 2 : 0) |
                          (m & Qt::AltModifier ? 4 : 0);
        Form_KeyDown(code, shift);
    }
    return QWidget::eventFilter(watched, event);
}

void frmMain::closeEvent(QCloseEvent* event) {
    // Ending the program in the middle of an upload would leave the keyboard half-written.
    if (IsBusy()) {
        event->ignore();
        return;
    }
    event->accept();
}

void frmMain::Form_KeyDown(int KeyCode, int Shift) {
    if (KeyCode == 112 && Shift == 2) {
        Label1->setVisible(true);
        txtStartAddress->setVisible(true);
    }
}

int frmMain::MsgBox(const std::string& text, int style, const std::string& title) {
    const QString caption = title.empty() ? QString::fromLatin1(kestrune::ApplicationTitle)
                                          : FromAnsi(title);
    return services_.MessageBox(this, FromAnsi(text), style, caption);
}

void frmMain::SetStatusText(const std::string& text) { sb->SetPanel1Text(FromAnsi(text)); }

void frmMain::SetBusyPointer(bool busy) {
    if (busy)
        setCursor(Qt::WaitCursor);
    else
        unsetCursor();
}

void frmMain::BeginBusy() {
    if (busyDepth_++ > 0) return;
    rescanRequested_ = tmrDetectDevice->isActive();
    tmrDetectDevice->stop();
    for (QPushButton* button : cmdCtrl) button->setEnabled(false);
}

void frmMain::EndBusy() {
    if (--busyDepth_ > 0) return;
    cmdCtrl[0]->setEnabled(true);
    cmdCtrl[1]->setEnabled(uploadEnabled_);
    cmdCtrl[2]->setEnabled(true);
    cmdCtrl[3]->setEnabled(true);
    if (rescanRequested_) tmrDetectDevice->start();
    rescanRequested_ = false;
}

usbio::DiscoveryHooks frmMain::Hooks() {
    usbio::DiscoveryHooks hooks;
    hooks.Pause = [this](float ms) { services_.Pause(ms); };
    // Through UTF-8 text: a plain std::string would be read in the ANSI code page on Windows and
    // lose a folder name outside it.
    const QByteArray folder = services_.ProgramFolder().toUtf8();
    hooks.ProgramFolder = std::filesystem::path(std::u8string(folder.begin(), folder.end()));
    hooks.ShowTableError = [this](const std::string& text) { MsgBox(text, vbExclamation); };
    return hooks;
}

// ---- Scan and display ----

void frmMain::tmrDetectDevice_Timer() {
    tmrDetectDevice->stop();
    if (IsBusy()) return;
    BusyScope busy(*this);
    try {
        pb->SetValue(pb->Min());
        ScanDevice();
        ShowDeviceInfo();
    } catch (const std::exception& e) {
        SetBusyPointer(false);
        MsgBox(std::string("The device scan stopped with an error: ") + e.what(), vbExclamation);
    }
}

void frmMain::SetUploadEnabled(bool Enabled) {
    uploadEnabled_ = Enabled;
    // While a command runs the button stays off; it takes this state when the command ends.
    if (!IsBusy()) cmdCtrl[1]->setEnabled(Enabled);
}

void frmMain::ScanDevice() {
    BusyScope busy(*this);
    SetBusyPointer(true);
    SetStatusText("Scanning Device...");
    sb->Tag = QStringLiteral("99128");
    usbio::InitDeviceIO(connection_);

    const usbio::DiscoveryHooks hooks = Hooks();
    usbio::DiscoveryReport report;
    connection_.MatchedPID = usbio::NormalModePID;
    usbio::FindDevice(connection_, hooks, &report);
    StatusModeText = connection_.MatchedPID == usbio::UploadModePID ? "Firmware Upload" : "Normal";
    if (!connection_.IsOpen()) {
        connection_.MatchedPID = usbio::UploadModePID;
        usbio::FindDevice(connection_, hooks, &report);
        StatusModeText = "Firmware Upload";
    }

    if (!connection_.IsOpen()) {
        std::string text = kDeviceNotFound;
        if (!report.PermissionDenied.empty()) {
            text += "\r\n\r\nA keyboard is attached at " + report.PermissionDenied.front() +
                    ", but this user may not open it. Install the udev rule "
                    "70-kestrune-keyboard.rules as README.md describes, then unplug the "
                    "keyboard and plug it in again.";
        }
        MsgBox(text, vbExclamation);
        SetStatusText("Device not Found");
        sb->Tag = QStringLiteral("99129");
        SetBusyPointer(false);
        SetUploadEnabled(false);
        return;
    }
    if (!connection_.LastErrorText.empty() || connection_.DeviceCaps.FeatureReportByteLength == 0) {
        MsgBox(kDeviceNotFound, vbExclamation);
        SetStatusText("Device not Found");
        SetBusyPointer(false);
        SetUploadEnabled(false);
        return;
    }
    SetStatusText(PendingStatusText.empty() ? std::string("Device Found") : PendingStatusText);
    PendingStatusText.clear();
    sb->Tag = QStringLiteral("99130");
    SetUploadEnabled(true);
    SetBusyPointer(false);
}

void frmMain::ShowDeviceInfo() {
    lvw->clear();
    if (!connection_.IsOpen()) return;
    auto* row = new QTreeWidgetItem(lvw);
    row->setText(0, QString::number(usbio::SupportedVendorID));
    row->setText(1, QString::number(connection_.MatchedPID));
    row->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    upload::ReadFirmwareVersion(connection_, FirmwareVersionText);
    NewFirmware = !kestrune::IsOldFirmwareVersion(FirmwareVersionText);
    row->setText(2, FromAnsi(FirmwareVersionText));
    row->setText(3, FromAnsi(StatusModeText));
    if (connection_.MatchedPID == usbio::UploadModePID)
        SetStatusText(ToAnsi(sb->Panel1Text()) + ". Note: Device is in Firmware Upload mode.");
}

// ---- Commands ----

void frmMain::cmdCtrl_Click(int Index) {
    if (IsBusy()) return;
    switch (Index) {
        case 0:
            tmrDetectDevice->start();
            break;
        case 1:
            StartUpload();
            break;
        case 2:
            services_.EndProgram();
            break;
        case 3:
            SelectFirmwareFile();
            break;
        default:
            break;
    }
}

void frmMain::SelectFirmwareFile() {
    BusyScope busy(*this);
    const QString current = txtFirmwareFile->text();
    const QString initialPlace = FileExists(current) ? current : services_.ProgramFolder();
    QString fileName;
    if (!ShowOpenDialog(services_, this, QStringLiteral("Select Firmware File"), initialPlace,
                        QString::fromLatin1(kFirmwareFileFilter), fileName))
        return;
    txtFirmwareFile->setText(fileName);
    services_.WriteSetting(QString::fromLatin1(kestrune::ApplicationTitle),
                           QStringLiteral("Firmware"), QStringLiteral("File"),
                           txtFirmwareFile->text());
}

void frmMain::UploadFirmware(const std::string& path, const std::string& startAddressText) {
    UploadViewAdapter view(*this);
    lastUpload_ = upload::UploadFirmware(connection_, FirmwareImage, view, path, startAddressText,
                                         NewFirmware);
}

void frmMain::StartUpload() {
    BusyScope busy(*this);
    const QString path = txtFirmwareFile->text();
    if (path.isEmpty()) {
        MsgBox("Please specifiy the firmware file.", vbExclamation);
        return;
    }
    if (!FileExists(path)) {
        MsgBox("File " + ToAnsi(path) + " not found.", vbExclamation);
        return;
    }
    const std::string firmwarePath = path.toStdString();
    const bool direct = connection_.MatchedPID == usbio::UploadModePID && connection_.IsOpen();
    const std::string startAddressText =
        direct ? ToAnsi(txtStartAddress->text()) : std::string(upload::DefaultStartAddress);

    // A file that cannot be sent is refused before the keyboard is switched or sent anything.
    const upload::FirmwareCheck check =
        upload::CheckFirmware(firmwarePath, startAddressText, FirmwareImage);
    if (!check.ok) {
        MsgBox(check.message, StyleCode(check.style), check.title);
        SetStatusText("Firmware uploaded Failed");
        return;
    }
    SetBusyPointer(true);

    // Already in firmware-upload mode: upload at once, at the address in the start-address box.
    if (direct) {
        UploadFirmware(firmwarePath, startAddressText);
        return;
    }

    SetStatusText("Jumping to firmware upload mode...");
    const std::array<std::uint8_t, upload::PayloadLength> zeros{};
    if (upload::SendCommand(connection_, upload::CmdEnterUpload, 0x00, zeros) != 0) {
        SetStatusText("Please wait...");
        services_.Sleep(8000);
        ScanDevice();
        if (upload::SendCommand(connection_, upload::CmdEnterUpload, 0x00, zeros) != 0) {
            MsgBox("Communication failed.", vbExclamation);
            SetStatusText("Communication failed.");
            SetBusyPointer(false);
            return;
        }
    }

    FirmwareVersionText = "V1.0";
    upload::ReadFirmwareVersion(connection_, FirmwareVersionText);
    NewFirmware = !kestrune::IsOldFirmwareVersion(FirmwareVersionText);
    if (!NewFirmware) MsgBox(kReplugInstructions, vbInformation, "Restart the Keyboard");

    for (;;) {
        SetBusyPointer(true);
        services_.DoEvents();
        SetStatusText("Please wait...");
        services_.Sleep(1000);
        for (int i = 0; i <= 2; ++i) {
            SetStatusText("Please wait...");
            services_.Sleep(3000);
            ScanDevice();
            SetBusyPointer(true);
            services_.Sleep(2000);
            ShowDeviceInfo();
            if (connection_.IsOpen()) break;
        }
        // Upload only to a keyboard that is back, open, in firmware-upload mode.
        if (connection_.IsOpen() && connection_.MatchedPID == usbio::UploadModePID) {
            services_.Sleep(1000);
            UploadFirmware(firmwarePath, startAddressText);
            break;
        }
        if (MsgBox("Make sure the USB cable is plugged out and in. Click OK to try again.",
                   vbOKCancelExclamation, "Restart Keyboard") == vbCancel)
            break;
    }
    SetBusyPointer(false);
}

}  // namespace app
