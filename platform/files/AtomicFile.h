#pragma once

// Replacing files so that a reader never sees half a file and no link planted at the final path
// can redirect the write: the bytes go to a new, uniquely named file in the same folder created
// with its final mode (O_CREAT|O_EXCL) and the file is renamed over the target.

#include <QByteArray>
#include <QString>

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

} // namespace AtomicFile

namespace Paths {
// The application's private data folder, named for the application (created 0700 on first use).
// Empty when the system names no data folder.
QString applicationSupport();
// Where content-free diagnostic files go: "/private/tmp" on macOS, the temp folder elsewhere.
QString diagnosticsRoot();
} // namespace Paths

} // namespace quillmere
