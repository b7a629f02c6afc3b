#include "desktop/usage/UsageFolder.h"

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

} // namespace quillmere::UsageFolder
