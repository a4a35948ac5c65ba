#pragma once
// The few things the window needs that a test cannot do with real widgets: message boxes, the
// blocking sleep, the event pump and its clock, the open-file dialog, the settings store and the
// program's folder. Production uses Qt's; tests use a scripted fake on virtual time.
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

class QWidget;

namespace app {

// Message box styles and answers.
inline constexpr int vbOKOnly = 0;
inline constexpr int vbExclamation = 48;
inline constexpr int vbOKCancelExclamation = 49;
inline constexpr int vbInformation = 64;
inline constexpr int vbOK = 1;
inline constexpr int vbCancel = 2;

struct FileFilter {
    QString Description;   // shown to the user
    QStringList Patterns;  // e.g. "*.hex"
};

class WindowServices {
public:
    virtual ~WindowServices() = default;

    // Modal; returns vbOK or vbCancel. Lines of text are separated by CR LF.
    virtual int MessageBox(QWidget* parent, const QString& text, int style, const QString& title) = 0;
    // Blocks for ms milliseconds: the window is repainted but takes no input.
    virtual void Sleep(int ms) = 0;
    // Runs the pending window events, then returns.
    virtual void DoEvents() = 0;
    // Waits ms milliseconds while running pending window events (at least once, also for 0).
    virtual void Pause(float ms) = 0;
    // The open-file dialog; nullopt when the user cancelled.
    virtual std::optional<QString> OpenFileDialog(QWidget* parent, const QString& title,
                                                  const QString& initialPlace,
                                                  const QList<FileFilter>& filters,
                                                  const QString& fileName) = 0;
    virtual QString ReadSetting(const QString& application, const QString& section,
                                const QString& key, const QString& defaultValue) = 0;
    virtual void WriteSetting(const QString& application, const QString& section,
                              const QString& key, const QString& value) = 0;
    // The folder that holds the program (PIDDef.txt lives there).
    virtual QString ProgramFolder() = 0;
    // Ends the program at once.
    virtual void EndProgram() = 0;
};

// The real thing, on Qt's widgets and the steady clock.
class QtWindowServices final : public WindowServices {
public:
    int MessageBox(QWidget* parent, const QString& text, int style, const QString& title) override;
    void Sleep(int ms) override;
    void DoEvents() override;
    void Pause(float ms) override;
    std::optional<QString> OpenFileDialog(QWidget* parent, const QString& title,
                                          const QString& initialPlace,
                                          const QList<FileFilter>& filters,
                                          const QString& fileName) override;
    QString ReadSetting(const QString& application, const QString& section, const QString& key,
                        const QString& defaultValue) override;
    void WriteSetting(const QString& application, const QString& section, const QString& key,
                      const QString& value) override;
    QString ProgramFolder() override;
    void EndProgram() override;
};

}  // namespace app
