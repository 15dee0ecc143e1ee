#include "ui/ResourcesDirectory.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace skrib {

QString resourcesDirectory() {
    return resourcesDirectoryFor(QCoreApplication::applicationDirPath());
}

QString resourcesDirectoryFor(const QString& executableDirectory) {
    if (executableDirectory.isEmpty()) {
        return {};
    }
    const QDir dir(executableDirectory);
    for (const QString& candidate : {dir.filePath(QStringLiteral("resources")),
                                     dir.filePath(QStringLiteral("../resources"))}) {
        const QFileInfo info(candidate);
        if (info.isDir()) {
            return QDir::cleanPath(info.absoluteFilePath());
        }
    }
    return {};
}

} // namespace skrib
