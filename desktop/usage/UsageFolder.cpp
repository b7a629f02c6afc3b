#include "desktop/usage/UsageFolder.h"

#include "platform/files/AtomicFile.h"
#include "platform/files/OwnedPath.h"

namespace quillmere::UsageFolder {

bool usable(const QString& path) {
    return OwnedPath::isOwnedFolder(path);
}

bool prepare(const QString& path, QString* error) {
    if (path.isEmpty() || !OwnedPath::existingPartIsOwned(path)) {
        if (error)
            *error = QStringLiteral("Not a usable folder");
        return false;
    }
    if (!AtomicFile::makeFolder(path, 0700, error))
        return false;
    if (usable(path))
        return true;
    if (error)
        *error = QStringLiteral("Not a usable folder");
    return false;
}

} // namespace quillmere::UsageFolder
