#include "platform/files/OwnedPath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <climits>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sys/stat.h>

namespace quillmere::OwnedPath {

namespace {

std::optional<QString> resolvedPath(const QString& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(QFile::encodeName(path).constData(), nullptr),
                                                     &std::free);
    if (!real)
        return std::nullopt;
    return QFile::decodeName(real.get());
}

QString absoluteClean(const QString& path) {
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

bool isOwnedFolder(const QString& path, uid_t user) {
    if (path.isEmpty())
        return false;
    const QStringList components = absoluteClean(path).split(u'/', Qt::SkipEmptyParts);
    QString resolved = QStringLiteral("/");
    struct stat status {};
    if (::stat("/", &status) != 0)
        return false;
    bool owned = status.st_uid == user;
    for (qsizetype i = 0; i < components.size(); ++i) {
        const bool last = i == components.size() - 1;
        const QString candidate = (resolved == u"/" ? resolved : resolved + u'/') + components.at(i);
        const QByteArray native = QFile::encodeName(candidate);
        if (::lstat(native.constData(), &status) != 0)
            return false;
        if (S_ISLNK(status.st_mode)) {
            // Judged by where it leads, and the walk goes on from there.
            const std::optional<QString> target = resolvedPath(candidate);
            if (!target || ::stat(QFile::encodeName(*target).constData(), &status) != 0 ||
                !S_ISDIR(status.st_mode))
                return false;
            if ((owned || last) && status.st_uid != user)
                return false;
            resolved = *target;
        } else {
            if (!S_ISDIR(status.st_mode))
                return false;
            resolved = candidate;
        }
        owned = owned || status.st_uid == user;
    }
    return true;
}

bool existingPartIsOwned(const QString& path, uid_t user) {
    QString existing = absoluteClean(path);
    struct stat status {};
    while (::lstat(QFile::encodeName(existing).constData(), &status) != 0) {
        const QString parent = QFileInfo(existing).path();
        if (parent == existing)
            return false;
        existing = parent;
    }
    // Something that is not a folder (a file in the way, a link that leads nowhere) redirects
    // nothing: making the folders fails on it with its own error.
    if (::stat(QFile::encodeName(existing).constData(), &status) != 0 || !S_ISDIR(status.st_mode))
        return true;
    return isOwnedFolder(existing, user);
}

bool mayHoldFile(const QString& path, uid_t user) {
    if (path.isEmpty())
        return false;
    const QFileInfo file(absoluteClean(path));
    if (!existingPartIsOwned(file.path(), user))
        return false;
    struct stat status {};
    if (::lstat(QFile::encodeName(file.filePath()).constData(), &status) != 0 || !S_ISLNK(status.st_mode))
        return true;
    // A link in place of the file is judged as a link to a folder is, by where it leads: the
    // folder of the file it leads to must be this user's.
    const std::optional<QString> target = resolvedPath(file.filePath());
    if (!target)
        return false;
    const QString folder = QFileInfo(*target).path();
    return ::stat(QFile::encodeName(folder).constData(), &status) == 0 && status.st_uid == user &&
           isOwnedFolder(folder, user);
}

QString refusalReason() {
    return QStringLiteral("a link on its path leads to a folder of another user");
}

} // namespace quillmere::OwnedPath
