#include "app/myDialog.h"

namespace app {

QList<FileFilter> ParseFileFilter(const QString& filter) {
    const QStringList parts = filter.split('|');
    QList<FileFilter> filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
        filters.append(FileFilter{parts[i], parts[i + 1].split(';', Qt::SkipEmptyParts)});
    return filters;
}

bool ShowOpenDialog(WindowServices& services, QWidget* parent, const QString& title,
                    const QString& initialPlace, const QString& filter, QString& fileName) {
    const auto chosen =
        services.OpenFileDialog(parent, title, initialPlace, ParseFileFilter(filter), fileName);
    if (!chosen) return false;
    fileName = *chosen;
    return true;
}

}  // namespace app
