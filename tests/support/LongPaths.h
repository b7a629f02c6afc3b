#pragma once

// A file in a folder whose path is so long that the file fits in it, but no name longer by
// `tooLongBy` characters or more does: the system takes paths of at most 4095 bytes. Renaming
// such a file to a longer name beside it fails whoever runs the test, where permissions would not
// stop a privileged user.

#include <QDir>
#include <QFile>
#include <QString>
#include <algorithm>

namespace quillmere::testing {

// Writes `bytes` as `fileName` in such a folder inside `base`; returns the folder, or an empty
// string when it could not be made.
inline QString fileWithoutRoomBeside(const QString& base, const QString& fileName, int tooLongBy,
                                     const QByteArray& bytes) {
    const int length = 4095 - int(fileName.size()) - 1 - tooLongBy + 1;
    QString folder = base;
    while (folder.size() < length)
        folder +=
            QLatin1Char('/') + QString(std::min(200, int(length - folder.size() - 1)), QLatin1Char('d'));
    if (!QDir().mkpath(folder) || folder.size() != length)
        return {};
    QFile file(folder + QLatin1Char('/') + fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return {};
    return folder;
}

// The conversation memory file of the host `bundle` holding `bytes`, where it cannot be set aside:
// the aside name adds ".damaged-" and a time of 16 characters to the file's. Returns its folder.
inline QString memoryFileThatCannotBeSetAside(const QString& base, const QString& bundle,
                                              const QByteArray& bytes) {
    return fileWithoutRoomBeside(base, QStringLiteral("conversation-memory-%1.json").arg(bundle), 25, bytes);
}

} // namespace quillmere::testing
