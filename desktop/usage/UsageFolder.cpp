#include "desktop/usage/UsageFolder.h"

#include "platform/files/AtomicFile.h"
#include "platform/files/OwnedPath.h"

namespace quillmere::UsageFolder {

bool usable(const QString& path) {
    return OwnedPath::isOwnedFolder(path);
}

bool make(const QString& path) {
    return OwnedPath::existingPartIsOwned(path) && AtomicFile::makeFolder(path, 0700) && usable(path);
}

} // namespace quillmere::UsageFolder
