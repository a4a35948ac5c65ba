#pragma once
// The Qt window: a thin view of the window logic (window/MainWindow.h). It lays out the widgets
// from the font in use, forwards clicks, keys, drops and device arrivals to the logic, and shows
// what the logic tells it to.
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>
#include <array>
#include <memory>

#include "window/Layout.h"
#include "window/MainWindow.h"

namespace window::qt {

// The parts of the view that a test replaces: the blocking waits, the clock, dialogs and settings.
// The real ones use Qt's event loop, QMessageBox, QFileDialog and QSettings.
class QtPlatform {
public:
    virtual ~QtPlatform() = default;
    virtual upload::MessageAnswer ShowMessage(QWidget* parent, const std::string& text,
                                              upload::MessageStyle style, const std::string& title);
    virtual std::optional<std::string> OpenFile(QWidget* parent, const OpenFileRequest& request);
    virtual std::string ReadSetting(const std::string& scope, const std::string& section,
                                    const std::string& key);
    virtual void WriteSetting(const std::string& scope, const std::string& section,
                              const std::string& key, const std::string& value);
    virtual std::string ProgramFolder();
    virtual std::string DownloadsFolder();
    virtual void PumpEvents();
    virtual void Sleep(int ms);
    virtual void Pause(int ms);
    virtual std::int64_t NowMs();
};

class QtMainWindow final : public QWidget, public MainWindowView {
public:
    QtMainWindow(usbio::DeviceConnection& connection, QtPlatform& platform,
                 WindowOptions options = {}, QWidget* parent = nullptr);
    ~QtMainWindow() override;

    MainWindow& Logic() { return *logic_; }
    QPushButton* ButtonOf(Button button) const;

    QTreeWidget* deviceList;
    QPushButton* refreshButton;
    QPushButton* uploadButton;
    QPushButton* exitButton;
    QPushButton* selectFileButton;
    QLabel* startAddressLabel;
    QLineEdit* startAddressField;
    QLineEdit* firmwareFileField;
    QProgressBar* progressBar;
    QLabel* statusText;
    QLabel* statusPanel2;
    QTimer* scanTimer;

    // MainWindowView
    void SetCaption(const std::string& text) override;
    void SetDeviceRow(const std::optional<DeviceRow>& row) override;
    void SetStatusText(const std::string& text) override;
    void SetButtonEnabled(Button button, bool enabled) override;
    void FocusButton(Button button) override;
    void ShowStartAddress() override;
    std::string StartAddressText() override;
    void SetStartAddressText(const std::string& text) override;
    std::string FirmwareFileText() override;
    void SetFirmwareFileText(const std::string& text) override;
    void SetProgress(std::int64_t doneBytes, std::int64_t totalBytes) override;
    void SetBusyPointer(bool busy) override;
    upload::MessageAnswer ShowMessage(const std::string& text, upload::MessageStyle style,
                                      const std::string& title) override;
    std::optional<std::string> OpenFile(const OpenFileRequest& request) override;
    std::string ReadSetting(const std::string& scope, const std::string& section,
                            const std::string& key) override;
    void WriteSetting(const std::string& scope, const std::string& section, const std::string& key,
                      const std::string& value) override;
    std::string ProgramFolder() override;
    std::string DownloadsFolder() override;
    void PumpEvents() override;
    void Sleep(int ms) override;
    void Pause(int ms) override;
    std::int64_t NowMs() override;
    void StartTimer(int ms) override;
    void StopTimer() override;
    void Close() override;

    // Lays the controls out again for the current font.
    void ApplyLayout();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void WatchDevices();

    QtPlatform& platform_;
    std::unique_ptr<MainWindow> logic_;
    QWidget* statusBar_;
    bool closing_ = false;
};

}  // namespace window::qt
