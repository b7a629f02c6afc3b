#pragma once

// The test the usage files' folders pass before anything is written into them.

#include <QString>

namespace quillmere::UsageFolder {

// True for a folder, and for a link to a folder this user owns: people move their data folders to
// other disks and leave a link behind. A link to anything else (a file, nothing, a folder of
// another user's, where lines meant for this user could be steered) is refused, as is a path that
// is neither.
bool usable(const QString& path);

// Makes the folder (0700, with its parents) where it is missing and checks that it is usable; when
// not, `error` says why, without the path.
bool prepare(const QString& path, QString* error);

} // namespace quillmere::UsageFolder
