#pragma once

// The folders the usage files are written into.

#include <QString>
#include <optional>

namespace quillmere::UsageFolder {

// Makes the folder (0700, with its parents) where it is missing, and returns where it really is,
// links resolved as the system resolves them: the usage files are written there, so that lines
// meant for this user's folder cannot be steered elsewhere. People move their data folders to
// other disks and leave a link behind, which is followed; a link anywhere along the path to
// anything else (a folder of another user's, or one others may write) is refused, and nothing
// is created (AtomicFile::makeOwnedFolder). When none, `error` says why, without the path.
std::optional<QString> prepare(const QString& path, QString* error);

} // namespace quillmere::UsageFolder
