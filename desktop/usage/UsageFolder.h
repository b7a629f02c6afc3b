#pragma once

// The test the usage files' folders pass before anything is written into them.

#include <QString>

namespace quillmere::UsageFolder {

// True for a folder reached only through links to folders this user owns: people move their data
// folders to other disks and leave a link behind. A link anywhere along the path to anything else
// (a file, nothing, a folder of another user's, where lines meant for this user could be
// steered) is refused, as is a path that is no folder (OwnedPath::isOwnedFolder).
bool usable(const QString& path);

// Creates the folder and its missing parents (new ones 0700) and tells whether it is usable. Where
// a link along the existing part already leads out of this user's folders, nothing is created.
bool make(const QString& path);

} // namespace quillmere::UsageFolder
