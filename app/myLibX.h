#pragma once
// General-purpose helpers of the window.
#include <QString>

namespace app {

// True when the path names an existing file (a folder does not count).
bool FileExists(const QString& path);

}  // namespace app
