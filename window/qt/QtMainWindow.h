#pragma once
// The Qt window: a thin view of the window logic (window/MainWindow.h), its controls only. It lays
// out the widgets from the font in use, forwards clicks, keys, drops and device arrivals to the
// logic, and shows what the logic tells it to. Dialogs, settings and time are QtServices'.
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QWidget>
#include <array>
#include <memory>

#include "window/Layout.h"
#include "window/MainWindow.h"
#include "window/qt/QtServices.h"

namespace window::qt {

class QtMainWindow final : public QWidget, public MainWindowView {
public:
    // The window owns the services' dialogs while it lives.
    QtMainWindow(usbio::DeviceConnection& connection, QtServices& services,
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

    // MainWindowView
    void SetCaption(const std::string& text) override;
    void SetDeviceRows(const std::vector<DeviceRow>& rows, std::optional<std::size_t> selected) override;
    void SetStatusText(const std::string& text) override;
    void SetButtonEnabled(Button button, bool enabled) override;
    void FocusButton(Button button) override;
    std::optional<Button> FocusedButton() override;
    void ParkFocus() override;
    void ShowStartAddress() override;
    void FocusStartAddress() override;
    std::string StartAddressText() override;
    void SetStartAddressText(const std::string& text) override;
    std::string FirmwareFileText() override;
    void SetFirmwareFileText(const std::string& text) override;
    void SetProgress(std::int64_t doneBytes, std::int64_t totalBytes) override;
    void SetBusyPointer(bool busy) override;
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

    std::unique_ptr<MainWindow> logic_;
    QWidget* statusBar_;
    bool closing_ = false;
    bool showingRows_ = false;  // the rows are being shown: a selection change is not the user's
};

}  // namespace window::qt
