#pragma once

// The test the usage files' folders pass before anything is written into them.

#include <QString>

namespace quillmere::UsageFolder {

// True for a folder reached only through links to folders this user owns: people move their data
// folders to other disks and leave a link behind. A link anywhere along the path to anything else
// (a file, nothing, a folder of another user's, where lines meant for this user could be
// steered) is refused, as is a path that is no folder (OwnedPath::isOwnedFolder).
bool usable(const QString& path);

// Makes the folder (0700, with its parents) where it is missing and checks that it is usable; when
// not, `error` says why, without the path. Where a link along the existing part already leads out
// of this user's folders, nothing is created.
bool prepare(const QString& path, QString* error);

} // namespace quillmere::UsageFolder
