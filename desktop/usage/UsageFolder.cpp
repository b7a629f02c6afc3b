#include "desktop/usage/UsageFolder.h"

#include "platform/files/AtomicFile.h"

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace quillmere::UsageFolder {

bool usable(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    struct stat info {};
    if (::lstat(native.constData(), &info) != 0)
        return false;
    if (S_ISDIR(info.st_mode))
        return true;
    if (!S_ISLNK(info.st_mode))
        return false;
    return ::stat(native.constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid();
}

bool prepare(const QString& path, QString* error) {
    if (!AtomicFile::makeFolder(path, 0700, error))
        return false;
    if (usable(path))
        return true;
    if (error)
        *error = QStringLiteral("Not a usable folder");
    return false;
}

} // namespace quillmere::UsageFolder
