#pragma once
// The open-file dialog, driven with a title, a starting place, a filter and a file name.
#include <QList>
#include <QString>

#include "app/WindowServices.h"

namespace app {

inline constexpr char kFirmwareFileFilter[] = "(*.hex;*.bin;*.dat)|*.hex;*.bin;*.dat|(*.*)|*.*";

// "Description|patterns|Description|patterns": pairs separated by vertical bars, patterns
// separated by semicolons. A trailing description without patterns is dropped.
QList<FileFilter> ParseFileFilter(const QString& filter);

// Shows the dialog. True when the user chose a file, which is then in fileName; false when the
// user cancelled, fileName unchanged.
bool ShowOpenDialog(WindowServices& services, QWidget* parent, const QString& title,
                    const QString& initialPlace, const QString& filter, QString& fileName);

}  // namespace app
