#include "desktop/usage/UsageFolder.h"

#include "platform/files/AtomicFile.h"
#include "platform/files/OwnedPath.h"

namespace quillmere::UsageFolder {

std::optional<QString> prepare(const QString& path, QString* error) {
    QString why;
    const std::optional<QString> real =
        path.isEmpty() ? std::nullopt : AtomicFile::makeOwnedFolder(path, &why);
    // The system's error when a folder could not be made; the rule's refusal said as before.
    if (!real && error)
        *error =
            why.isEmpty() || why == OwnedPath::refusalReason() ? QStringLiteral("Not a usable folder") : why;
    return real;
}

} // namespace quillmere::UsageFolder
