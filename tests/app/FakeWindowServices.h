#pragma once
// Window services for tests: every message box is recorded and answered by a script, sleeps and
// pauses advance a virtual clock, the settings store is a map.
#include <QCoreApplication>
#include <QMap>
#include <functional>
#include <vector>

#include "app/WindowServices.h"
#include "common/Clock.h"

namespace testsupport {

struct RecordedMessage {
    QString Text;
    int Style = 0;
    QString Title;
    std::int64_t AtMs = 0;
};

struct RecordedDialog {
    QString Title;
    QString InitialPlace;
    QList<app::FileFilter> Filters;
    QString FileName;
};

class FakeWindowServices final : public app::WindowServices {
public:
    explicit FakeWindowServices(kestrune::VirtualClock& clock) : clock_(clock) {}

    int MessageBox(QWidget*, const QString& text, int style, const QString& title) override {
        messages.push_back({text, style, title, clock_.NowMs()});
        return onMessage ? onMessage(messages.back()) : app::vbOK;
    }
    void Sleep(int ms) override {
        sleeps.push_back(ms);
        clock_.Advance(ms);
        if (onTime) onTime();
    }
    void DoEvents() override {
        ++pumps;
        if (onPump) onPump();
        QCoreApplication::processEvents();
    }
    void Pause(float ms) override {
        ++pauses;
        DoEvents();
        clock_.Advance(static_cast<std::int64_t>(ms));
        if (onTime) onTime();
    }
    std::optional<QString> OpenFileDialog(QWidget*, const QString& title, const QString& initialPlace,
                                          const QList<app::FileFilter>& filters,
                                          const QString& fileName) override {
        dialogs.push_back({title, initialPlace, filters, fileName});
        return dialogAnswer;
    }
    QString ReadSetting(const QString& application, const QString& section, const QString& key,
                        const QString& defaultValue) override {
        return settings.value(application + '/' + section + '/' + key, defaultValue);
    }
    void WriteSetting(const QString& application, const QString& section, const QString& key,
                      const QString& value) override {
        settings[application + '/' + section + '/' + key] = value;
    }
    QString ProgramFolder() override { return programFolder; }
    void EndProgram() override { ++endRequests; }

    std::vector<RecordedMessage> messages;
    std::vector<RecordedDialog> dialogs;
    std::vector<int> sleeps;
    int pumps = 0;
    int pauses = 0;
    int endRequests = 0;
    QMap<QString, QString> settings;
    QString programFolder;
    std::optional<QString> dialogAnswer;
    std::function<int(const RecordedMessage&)> onMessage;  // answers message boxes; default OK
    std::function<void()> onPump;                          // runs inside every event pump
    std::function<void()> onTime;                          // runs after every sleep and pause

private:
    kestrune::VirtualClock& clock_;
};

}  // namespace testsupport
