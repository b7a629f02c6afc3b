#pragma once

// Whether a folder the application keeps this user's data in is really this user's. A link
// anywhere along the path redirects everything below it, so the last component alone says
// little: a data folder, or the application's folder inside it, linked to a world-writable folder
// of another user's would let that user read what is written there and plant links of their own.

#include <QString>
#include <sys/types.h>
#include <unistd.h>

namespace quillmere::OwnedPath {

// True when `path` resolves to a folder and every link along it resolves to a folder `user` owns,
// from the first folder along it that `user` owns (the home folder, for a path in it) down, and
// the last component when it is a link, wherever it is. Each link is judged by the folder it
// resolves to, and the walk goes on from there. Links above the user's own folders (a system
// that keeps home folders on another disk) are the system's and not judged. False when any part
// of the path is missing.
bool isOwnedFolder(const QString& path, uid_t user = ::geteuid());

// The same judgement of the part of `path` that exists: its deepest existing folder. For checking
// before the missing folders are created, so that nothing is created in another user's folder.
// True when what exists there is no folder at all (a file in the way): creating fails on it anyway.
bool existingPartIsOwned(const QString& path, uid_t user = ::geteuid());

// Whether a file of this user's may be read or replaced at `path`: the existing part of its folder
// passes existingPartIsOwned(), and a link at `path` itself leads to a file in a folder `user`
// owns (a link that leads nowhere is refused: whatever followed it would create a file elsewhere).
// A missing file passes: nothing is read, and what writes it makes it here.
bool mayHoldFile(const QString& path, uid_t user = ::geteuid());

// The reason said wherever this rule refuses a path. It names no path: refusals are said on
// standard error and in diagnostics, which never tell where the user keeps anything.
QString refusalReason();

} // namespace quillmere::OwnedPath
