#pragma once
// The window's services on Qt: QMessageBox, QFileDialog, QSettings, QStandardPaths, Qt's event
// loop and a QTimer. Tests replace the dialogs, the settings and the waits by deriving from it.
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>

#include "window/WindowServices.h"

namespace window::qt {

// Qt's own texts (a box's Cancel, the file dialog) in the language the window speaks, from Qt's
// catalogs; none where Qt has none for it. Once, after kestrune::SetUpLanguage.
void InstallQtTranslations();

class QtServices : public WindowServices {
public:
    QtServices();
    ~QtServices() override;
    QtServices(const QtServices&) = delete;
    QtServices& operator=(const QtServices&) = delete;

    // The window that owns the dialogs (none: they stand alone).
    void SetDialogParent(QWidget* parent) { parent_ = parent; }
    bool TimerActive() const { return timer_.isActive(); }

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
    void StartTimer(int ms, std::function<void()> onTimeout) override;
    void StopTimer() override;

protected:
    // Lets ms of the clock pass with no event to run (tests: on virtual time).
    virtual void Rest(int ms);

private:
    class InputHold;
    void Wait(int ms, bool takeInput);

    QPointer<QWidget> parent_;
    QTimer timer_;
    std::function<void()> onTimeout_;
};

}  // namespace window::qt
