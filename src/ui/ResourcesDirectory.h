#pragma once

#include <QString>

namespace skrib {

/// The program's "resources" folder: beside the executable (the build tree, where the build
/// copies it) or in the executable's parent folder (an installed folder with the program in
/// bin/). Empty when neither exists. Needs the application object.
QString resourcesDirectory();

/// The same search starting from `executableDirectory`.
QString resourcesDirectoryFor(const QString& executableDirectory);

} // namespace skrib
