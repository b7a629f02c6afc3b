#pragma once

// Replacing files so that a reader never sees half a file and no link planted at the final path
// can redirect the write: the bytes go to a new, uniquely named file in the same folder created
// with its final mode (O_CREAT|O_EXCL), are synced, and the file is renamed over the target.

#include <QByteArray>
#include <QString>

namespace quillmere {

namespace AtomicFile {

// Writes `bytes` to `path` with permission bits `mode`. Returns false on any failure, leaving
// whatever was at `path` untouched.
bool write(const QString& path, const QByteArray& bytes, int mode = 0600);
// Like write(), but leaves the file alone (and returns true) when it already holds `bytes`.
bool writeIfChanged(const QString& path, const QByteArray& bytes, int mode = 0600);
// Creates `path` and missing parents, each new folder with `mode`. True when it exists as a
// folder afterwards.
bool makeFolder(const QString& path, int mode = 0700);

} // namespace AtomicFile

namespace Paths {
// The application's private data folder (created 0700 on first use).
QString applicationSupport();
// Where content-free diagnostic files go: "/private/tmp" on macOS, the temp folder elsewhere.
QString diagnosticsRoot();
} // namespace Paths

} // namespace quillmere
