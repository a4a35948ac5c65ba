#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QSettings>
#include <QThread>
#include <cmath>

#include "app/WindowServices.h"

namespace app {

int QtWindowServices::MessageBox(QWidget* parent, const QString& text, int style,
                                 const QString& title) {
    QMessageBox box(parent);
    box.setWindowTitle(title);
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    box.setText(shown);
    switch (style) {
        case vbExclamation:
            box.setIcon(QMessageBox::Warning);
            box.setStandardButtons(QMessageBox::Ok);
            break;
        case vbOKCancelExclamation:
            box.setIcon(QMessageBox::Warning);
            box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
            break;
        case vbInformation:
            box.setIcon(QMessageBox::Information);
            box.setStandardButtons(QMessageBox::Ok);
            break;
        default:
            box.setIcon(QMessageBox::NoIcon);
            box.setStandardButtons(QMessageBox::Ok);
            break;
    }
    return box.exec() == QMessageBox::Cancel ? vbCancel : vbOK;
}

void QtWindowServices::Sleep(int ms) {
    // Repaint, but take no input: the window must not look hung during the long waits.
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        const qint64 left = ms - timer.elapsed();
        if (left > 0) QThread::msleep(static_cast<unsigned long>(std::min<qint64>(left, 15)));
    }
}

void QtWindowServices::DoEvents() { QCoreApplication::processEvents(); }

void QtWindowServices::Pause(float ms) {
    QElapsedTimer timer;
    timer.start();
    const double wait = std::max(0.0, static_cast<double>(ms));
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (timer.elapsed() <= wait) QThread::msleep(2);
    } while (timer.elapsed() <= wait);
}

std::optional<QString> QtWindowServices::OpenFileDialog(QWidget* parent, const QString& title,
                                                        const QString& initialPlace,
                                                        const QList<FileFilter>& filters,
                                                        const QString& fileName) {
    QFileDialog dialog(parent, title);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    QStringList nameFilters;
    for (const FileFilter& f : filters)
        nameFilters << f.Description + QStringLiteral(" (") + f.Patterns.join(' ') + ')';
    dialog.setNameFilters(nameFilters);
    const QFileInfo place(initialPlace);
    if (place.isFile()) {
        dialog.setDirectory(place.absolutePath());
        dialog.selectFile(place.absoluteFilePath());
    } else {
        dialog.setDirectory(initialPlace);
        if (!fileName.isEmpty()) dialog.selectFile(fileName);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return QDir::toNativeSeparators(dialog.selectedFiles().first());
}

QString QtWindowServices::ReadSetting(const QString& application, const QString& section,
                                      const QString& key, const QString& defaultValue) {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, application, application);
    return settings.value(section + '/' + key, defaultValue).toString();
}

void QtWindowServices::WriteSetting(const QString& application, const QString& section,
                                    const QString& key, const QString& value) {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, application, application);
    settings.setValue(section + '/' + key, value);
}

QString QtWindowServices::ProgramFolder() { return QCoreApplication::applicationDirPath(); }

void QtWindowServices::EndProgram() { QCoreApplication::exit(0); }

}  // namespace app
