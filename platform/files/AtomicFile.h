#pragma once

// Replacing files so that a reader never sees half a file and no link planted at the final path
// can redirect the write: the bytes go to a new, uniquely named file in the same folder created
// with its final mode (O_CREAT|O_EXCL) and the file is renamed over the target.

#include <QByteArray>
#include <QString>
#include <optional>

namespace quillmere {

namespace AtomicFile {

// How much of a write must survive a crash. Either way a reader sees the old file or the new one,
// never half of one: the rename replaces the file in one step. `fileAndFolder` also syncs the new
// file before the rename and the folder after it, so the replacement itself is on disk when the
// call returns. `none` leaves both to the system: for files in the temporary folder that are
// rewritten on every read and hold nothing a user would miss, where the two syncs would cost
// more than everything else a read does.
enum class Sync { fileAndFolder, none };

// Writes `bytes` to `path` with exactly the permission bits `mode` (the umask neither widens nor
// narrows them). Returns false on any failure, leaving whatever was at `path` untouched and no
// temporary file behind; `error`, when given, receives the system's description of the failure.
// A symbolic link at `path` is replaced by the new file, never followed.
bool write(const QString& path, const QByteArray& bytes, int mode = 0600, QString* error = nullptr,
           Sync sync = Sync::fileAndFolder);
// Like write(), but leaves the file alone (and returns true) when `path` is already a regular
// file holding `bytes` with permission bits `mode`.
bool writeIfChanged(const QString& path, const QByteArray& bytes, int mode = 0600, QString* error = nullptr,
                    Sync sync = Sync::fileAndFolder);
// Creates `path` and missing parents, each new folder with exactly `mode`; existing folders keep
// theirs. True when it exists as a folder afterwards.
bool makeFolder(const QString& path, int mode = 0700, QString* error = nullptr);
// Makes the folder of this user's at `path` where OwnedPath's rule allows: each missing folder
// (0700 whatever the umask) made where the path really leads, links resolved as the system
// resolves them, below an existing folder the rule accepts, and the folder judged again once
// made. Returns where the folder really is, which is where anything for it is written; none when
// refused (nothing created) or failed, `error` saying why without the path.
std::optional<QString> makeOwnedFolder(const QString& path, QString* error = nullptr);
// Like makeOwnedFolder(), and a folder that already exists, belongs to this user and lets others
// in is narrowed to 0700: a folder the application keeps private data in must not let another user
// read files, whatever mode it was left with. Refused (nothing created) where OwnedPath's rule
// refuses the path: a folder that others can write is not made private after the fact, since
// whatever they put there meanwhile stays. A link to a folder of this user's is used as it is.
bool makePrivateFolder(const QString& path, QString* error = nullptr);
// writeIfChanged() of a file the application keeps for this user (mode 0600), judged by
// OwnedPath::ownedFile() right before: written where the path really leads, a link of this
// user's written through rather than replaced, its missing folders made by makeOwnedFolder(), and
// refused (OwnedPath's reason) where the rule refuses the file or its folders.
bool writeOwned(const QString& path, const QByteArray& bytes, QString* error = nullptr,
                Sync sync = Sync::fileAndFolder);

// Removes the temporary files write() left beside `path` when the process died between creating
// them and renaming them (they may hold everything the file holds). Only regular files named as
// write() names them and untouched for `minimumAgeSeconds` are removed, so a write in progress
// in another process survives. Returns how many were removed; every failure is ignored.
int removeStaleTemporaries(const QString& path, int minimumAgeSeconds = 30);

// Renames `path` to `aside` (never replacing anything there) and makes the moved file readable
// by its owner alone (0600): a damaged file kept for inspection may hold private data. False when
// nothing was moved.
bool moveAside(const QString& path, const QString& aside, QString* error = nullptr);

} // namespace AtomicFile

namespace Paths {
// The application's private data folder, named for the application (created 0700 on first use).
// Empty when the system names no data folder, or when OwnedPath's rule refuses it (another user
// can write a folder on its way, or it leads to a folder of another user's): then nothing of the
// application's is kept on disk.
QString applicationSupport();
// `relative` inside applicationSupport(); empty where that is, never a path from the root.
QString inApplicationSupport(const QString& relative);
// Where content-free diagnostic files go: "/private/tmp" on macOS, the temp folder elsewhere.
QString diagnosticsRoot();
} // namespace Paths

} // namespace quillmere
