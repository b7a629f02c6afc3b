#pragma once

// A folder inside `base` whose path is so long that a file named `fileName` fits in it, but no
// name longer by `tooLongBy` characters or more does: the system takes paths of at most 4095
// bytes. Renaming such a file to a longer name beside it fails whoever runs the test, where
// permissions would not stop a privileged user.

#include <QDir>
#include <QString>
#include <algorithm>

namespace quillmere::testing {

inline QString folderWithRoomFor(const QString& base, const QString& fileName, int tooLongBy) {
    const int length = 4095 - int(fileName.size()) - 1 - tooLongBy + 1;
    QString folder = base;
    while (folder.size() < length)
        folder +=
            QLatin1Char('/') + QString(std::min(200, int(length - folder.size() - 1)), QLatin1Char('d'));
    return QDir().mkpath(folder) && folder.size() == length ? folder : QString();
}

} // namespace quillmere::testing
