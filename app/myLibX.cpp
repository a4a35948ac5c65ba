#include "app/myLibX.h"

#include <QFileInfo>

namespace app {

bool FileExists(const QString& path) {
    if (path.isEmpty()) return false;
    const QFileInfo info(path);
    return info.exists() && info.isFile();
}

}  // namespace app
