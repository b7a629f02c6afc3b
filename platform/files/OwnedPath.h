#pragma once

// Whether a place the application keeps this user's data in is really this user's alone. Whoever
// can write a folder on the way to a file can put a file of their own there, or swap the folder
// for a link to one of theirs between a check and a use; a link anywhere along the path redirects
// everything below it. So a path is judged where it really leads, links resolved, by the rule a
// secure shell applies to a user's key files in its strict modes: walking up from the folder that
// holds the file to the home folder (or to the root, for a path outside the home folder), every
// folder is owned by this user or by root and can be written by nobody else (no write bit for
// others; no write bit for the group unless it is this user's own private group). A folder above
// the first one that only others cannot write because it is sticky (a shared temporary folder) is
// accepted: nobody else may rename or remove the folder of this user's or root's below it. Every
// folder that holds a link met while resolving is judged the same way (sticky is enough for a
// link of this user's or root's): callers use the path by name again after the judgement, and
// only whoever may write that folder can point the link elsewhere meanwhile. The file itself,
// when it exists, belongs to this user, can be written by nobody else by the same test, and has
// one link (a second name for it could be another user's file).

#include <QString>
#include <QStringList>
#include <optional>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace quillmere::OwnedPath {

// Paths are resolved as the system resolves them when it opens them: each link followed where it
// sits, and ".." after a link taken from where the link leads. At most this many links are
// followed in one path, as the system follows (more is a loop). A folder of the path that does
// not exist yet is walked as the folders are made one at a time along the path (as `mkdir -p`
// makes them): ".." below it leads back to the folder it is made in, and every folder that
// something is made in is judged. Below a link that leads nowhere, nothing is made and ".." leads
// nowhere.
inline constexpr int maximumLinks = 40;
// How often a file found replaced under its name meanwhile (no link left) is looked at again.
inline constexpr int replacedLooks = 8;

// True when `path` resolves to a folder that passes the rule for `user`. False when any part of
// the path is missing, one that ".." leaves again included.
bool isOwnedFolder(const QString& path, uid_t user = ::geteuid());

// The same judgement of the part of `path` that exists: its deepest existing folder, found where
// the links lead (a link to something missing included). For checking before the missing folders
// are created, so that nothing is created where another user can write. True when what exists
// there is no folder at all (a file in the way): creating fails on it anyway.
bool existingPartIsOwned(const QString& path, uid_t user = ::geteuid());

// Where folders for `path` are made: its deepest existing folder, links resolved, and the names
// below it still missing (none when the folder exists). None where the rule refuses the existing
// part or the system cannot resolve the path (`error` says why, without the path).
struct FolderPlace {
    QString real;
    QStringList missing;
    // ".." leaves a folder that does not exist yet: the path resolves only once the folders are
    // made one at a time along it, those it leaves again included.
    bool leavesMade = false;
};
std::optional<FolderPlace> folderPlace(const QString& path, QString* error = nullptr,
                                       uid_t user = ::geteuid());

// Where the file of this user's at `path` really is, links resolved, when it may be read or
// replaced there: the folder that holds `path` passes existingPartIsOwned(), and what exists at
// `path` (a link at it followed to where it leads, whose folder is judged too) belongs to `user`
// and, when a regular file, has one link. A link in the file's place that leads nowhere is
// refused: whatever followed it would create a file elsewhere. A missing file passes, and so do
// missing folders above it when the deepest existing one passes: what writes the file makes them
// at the path returned, which is where they were judged (with ".." below a folder still to be
// made, where the file lands once its folders are made one at a time along the path). Nothing
// where the rule refuses.
std::optional<QString> ownedFile(const QString& path, uid_t user = ::geteuid());
bool mayHoldFile(const QString& path, uid_t user = ::geteuid());

// Whether what `status` describes, at a path already judged, is `user`'s alone: it belongs to
// `user`, nobody else may write it and, when a regular file, it has no second name (which could be
// another user's file).
bool isUsersAlone(const struct stat& status, uid_t user = ::geteuid());

// The reason said wherever this rule refuses a path. It names no path: refusals are said on
// standard error and in diagnostics, which never tell where the user keeps anything.
QString refusalReason();

} // namespace quillmere::OwnedPath
