#pragma once

// Files planted in another user's folder, for the tests of what the application must leave alone
// there: never read, never moved, never deleted, and nothing new beside them. A planted file is
// marked as unread for two days, so that any read moves its access time (even on file systems
// mounted relatime, which update it only when it is older than the modification or a day old).

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere::testing {

struct Planted {
    QString path;
    QByteArray bytes;
    struct timespec accessed {};
    struct timespec modified {};
};

// Writes `bytes` at `path` (its folder made), given to `owner` when the tests may give files away,
// with its access time two days back and its modification `modifiedSecondsAgo` back.
inline Planted plant(const QString& path, const QByteArray& bytes, qint64 modifiedSecondsAgo = 0,
                     uid_t owner = 65534) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
    file.close();
    const QByteArray native = QFile::encodeName(path);
    if (::geteuid() == 0) [[maybe_unused]]
        const int given = ::chown(native.constData(), owner, owner);
    struct timespec times[2]{};
    ::clock_gettime(CLOCK_REALTIME, &times[1]);
    times[1].tv_sec -= time_t(modifiedSecondsAgo);
    times[0] = times[1];
    times[0].tv_sec -= 2 * 24 * 3600;
    ::utimensat(AT_FDCWD, native.constData(), times, 0);
    Planted planted{path, bytes};
    struct stat status {};
    if (::stat(native.constData(), &status) == 0) {
        planted.accessed = status.st_atim;
        planted.modified = status.st_mtim;
    }
    return planted;
}

// What became of a planted file: empty when it is still there as planted and nobody read it.
inline QString touched(const Planted& planted) {
    struct stat status {};
    const QByteArray native = QFile::encodeName(planted.path);
    if (::lstat(native.constData(), &status) != 0)
        return planted.path + QStringLiteral(" is gone");
    if (status.st_atim.tv_sec != planted.accessed.tv_sec ||
        status.st_atim.tv_nsec != planted.accessed.tv_nsec)
        return planted.path + QStringLiteral(" was read");
    if (status.st_mtim.tv_sec != planted.modified.tv_sec ||
        status.st_mtim.tv_nsec != planted.modified.tv_nsec)
        return planted.path + QStringLiteral(" was changed");
    // Reading the bytes back here comes last: it moves the access time itself.
    QFile file(planted.path);
    if (!file.open(QIODevice::ReadOnly) || file.readAll() != planted.bytes)
        return planted.path + QStringLiteral(" holds other bytes");
    return {};
}

// Every entry below `folder` (hidden ones included), relative to it, in order: what the
// application added, renamed or deleted there shows as a difference.
inline QStringList entriesBelow(const QString& folder) {
    QStringList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << QDir(folder).relativeFilePath(it.next());
    entries.sort();
    return entries;
}

} // namespace quillmere::testing
