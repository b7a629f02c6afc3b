#pragma once

// A folder that belongs to another user, for the tests of what the application refuses to write
// through.

#include <QDir>
#include <QFile>
#include <QString>

#include <sys/stat.h>
#include <unistd.h>

namespace quillmere::testing {

// The user a foreign folder is given to when the tests run as root ("nobody").
inline constexpr uid_t foreignUser = 65534;

// Made here, world-writable, and given away when the tests run as root; otherwise the root
// folder, which is never this user's.
inline QString foreignFolder(const QString& path) {
    if (::geteuid() != 0)
        return QStringLiteral("/");
    QDir().mkpath(path);
    const QByteArray native = QFile::encodeName(path);
    if (::chown(native.constData(), foreignUser, foreignUser) != 0)
        return QStringLiteral("/");
    ::chmod(native.constData(), 01777);
    return path;
}

} // namespace quillmere::testing
