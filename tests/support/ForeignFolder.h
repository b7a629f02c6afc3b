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
// folder (the tests that need a folder really given away skip then).
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

// A folder made here with exactly `mode`, owned by `owner` (and its group by `group`) when the
// tests may give folders away: for building each kind of folder the owned-path rule judges.
// False when the mode or the owner could not be set.
inline bool folderWith(const QString& path, mode_t mode, uid_t owner = ::geteuid(),
                       gid_t group = ::getegid()) {
    if (!QDir().mkpath(path))
        return false;
    const QByteArray native = QFile::encodeName(path);
    if ((owner != ::geteuid() || group != ::getegid()) && ::chown(native.constData(), owner, group) != 0)
        return false;
    return ::chmod(native.constData(), mode) == 0;
}

} // namespace quillmere::testing
