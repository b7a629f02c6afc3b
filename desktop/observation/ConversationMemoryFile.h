#pragma once

// Where a window tracker keeps its conversation memory between runs: one JSON file per host in
// the application's private data folder, readable by the user alone.
//
// A file that cannot be understood is never deleted and never silently overwritten: it is
// renamed aside, so that whatever it held can still be looked at, and the tracker starts with an
// empty memory, saying so once (WriteFailures: the kind and the reason, never the path).
//
// Where OwnedPath's rule refuses the file's path (no data folder, or a link on the way to a folder
// of another user's), nothing there is read, renamed or deleted: the memory starts empty and is
// kept in memory only, its saves failing as on a full disk.

#include "core/ConversationMemory.h"

#include <QByteArray>
#include <QString>
#include <atomic>
#include <memory>
#include <optional>

namespace quillmere {

class ConversationMemoryFile {
public:
    // The file for the host `bundleID` (none: a tracker not pinned to one host) in `folder`.
    ConversationMemoryFile(QString folder, const std::optional<QString>& bundleID);

    const QString& path() const { return path_; }

    // A file larger than this is not a memory this application wrote; it is set aside. The memory
    // keeps its saved form under it.
    static constexpr qint64 maximumFileBytes = qint64(ConversationMemory::maximumFileBytes);
    static_assert(ConversationMemory::maximumBytes < ConversationMemory::maximumFileBytes);

    // The stored bytes; none when there is no file yet or its path is refused. A file that exists
    // but cannot be read or is too large is set aside, and none is returned. What is no regular
    // file (a FIFO would block the read for ever, a socket cannot be read), and a file the rule
    // refuses in a folder that may be used (a second name), is refused, said once and left in
    // place: this run's saves do not replace it. Temporary copies a crashed write left behind are
    // removed first.
    std::optional<QByteArray> load();

    // Renames the file aside ("<name>.damaged-<UTC time>", mode 0600) and says so (standard error and
    // a debug event). Returns the new path, or none when nothing could be renamed.
    std::optional<QString> setAside(const QString& reason);

    // Replaces the file atomically (mode 0600, its folder made 0700) unless it already holds
    // exactly these bytes. False when the bytes could not be written, and always false after a
    // damaged file could not be moved aside: it is kept as it is rather than overwritten.
    bool save(const QByteArray& bytes);

    // What the file holds, as a digest, for every writer of it, on whichever thread: each records
    // its bytes as it replaces the file, so that the next writer, wherever it runs, compares with
    // what is there and not with what an older write left before a later one.
    class Contents {
    public:
        std::shared_ptr<const QByteArray> digest() const { return digest_.load(); }
        void set(std::shared_ptr<const QByteArray> digest) { digest_.store(std::move(digest)); }

    private:
        std::atomic<std::shared_ptr<const QByteArray>> digest_;
    };

    // The same save in two halves, for a memory too large to encode and write on the main thread:
    // `write` touches no member and may run on any thread (the writes of one file one at a time);
    // `finishWrite` does the rest of save()'s bookkeeping (a failure recorded or resolved) on the
    // owner's thread.
    struct Written {
        bool ok = false;
        QString error;
    };
    const std::shared_ptr<Contents>& contents() const { return contents_; }
    static Written write(const QString& folder, const QString& path, const QByteArray& bytes,
                         Contents& contents);
    const QString& folder() const { return folder_; }
    bool finishWrite(const Written& written);

    static QByteArray digest(const QByteArray& bytes);

    // Whether a damaged file that could not be moved aside, something that is no regular file, or
    // a file the rule refuses, is in the way: no save replaces it.
    bool refusesWrites() const { return keepExisting_; }

private:
    // Said once; the memory is kept for this run only and the file left as it is.
    void keepInMemory(const QString& reason);
    void refuseFile();

    QString folder_;
    QString path_;
    QString host_;
    // What the file was last known to hold, as a digest: the memory of a long conversation is tens
    // of megabytes, too much to keep a second copy of only to see whether it changed.
    std::shared_ptr<Contents> contents_ = std::make_shared<Contents>();
    bool keepExisting_ = false;
};

} // namespace quillmere
