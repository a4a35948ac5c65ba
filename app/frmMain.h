#pragma once
// The program's one window: the device list, the four command buttons, the firmware path, the
// progress bar and the status bar, with the scan, the display and the upload command flow.
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>
#include <array>
#include <string>

#include "app/WindowServices.h"
#include "upload/FirmwareImage.h"
#include "upload/UploadSequence.h"
#include "usbio/DeviceIO.h"
#include "usbio/Discovery.h"

namespace app {

// A progress bar that keeps the single-precision values it is given (in hundreds of bytes).
class FloatProgressBar : public QProgressBar {
public:
    using QProgressBar::QProgressBar;
    float Min() const { return min_; }
    float Max() const { return max_; }
    float Value() const { return value_; }
    void SetMin(float v);
    void SetMax(float v);
    void SetValue(float v);

private:
    void Apply();
    float min_ = 0, max_ = 100, value_ = 0;
};

// The status bar: two panels (only the first is ever written) and a tag with the scan-state code.
class StatusBar : public QWidget {
public:
    explicit StatusBar(QWidget* parent);
    QString Panel1Text() const { return panel1_->text(); }
    void SetPanel1Text(const QString& text) { panel1_->setText(text); }
    QString Panel2Text() const { return panel2_->text(); }
    QString Tag;

private:
    QLabel* panel1_;
    QLabel* panel2_;
};

// Column widths of the device list for a list W units wide.
std::array<int, 4> DeviceListColumnWidths(int W);

// The window caption for a title and version numbers, e.g. "Kestrune Loader V1.0R8".
QString WindowCaption(const QString& title, int major, int minor, int revision);

class frmMain : public QWidget {
public:
    frmMain(usbio::DeviceConnection& connection, WindowServices& services, QWidget* parent = nullptr);
    ~frmMain() override;

    // Controls, by their names in the design.
    QTreeWidget* lvw;
    std::array<QPushButton*, 4> cmdCtrl;  // 0 Refresh, 1 Upload Firmware, 2 Exit, 3 Select Firmware File ...
    QLabel* Label1;
    QLineEdit* txtStartAddress;
    QLineEdit* txtFirmwareFile;
    FloatProgressBar* pb;
    StatusBar* sb;
    QTimer* tmrDetectDevice;

    // Window state.
    std::string StatusModeText;
    std::string FirmwareVersionText;
    bool NewFirmware = false;
    std::string PendingStatusText;
    upload::FirmwareImage FirmwareImage;

    // Events and commands.
    void tmrDetectDevice_Timer();
    void cmdCtrl_Click(int Index);
    void Form_KeyDown(int KeyCode, int Shift);
    void ScanDevice();
    void ShowDeviceInfo();
    void SetUploadEnabled(bool Enabled);
    void StartUpload();
    void SelectFirmwareFile();
    bool IsBusy() const { return busyDepth_ > 0; }
    // The result of the last upload that ran (for the demo and for tests).
    const upload::UploadOutcome& LastUpload() const { return lastUpload_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    class UploadViewAdapter;
    friend class UploadViewAdapter;
    friend class BusyScope;

    void Form_Load();
    void InitDeviceList();
    int MsgBox(const std::string& text, int style, const std::string& title = {});
    void SetStatusText(const std::string& text);
    void SetBusyPointer(bool busy);
    void UploadFirmware(const std::string& path, const std::string& startAddressText);
    void BeginBusy();
    void EndBusy();
    usbio::DiscoveryHooks Hooks();

    usbio::DeviceConnection& connection_;
    WindowServices& services_;
    int busyDepth_ = 0;
    bool uploadEnabled_ = false;
    bool rescanRequested_ = false;
    upload::UploadOutcome lastUpload_;
};

}  // namespace app
