#pragma once

// The Claude Code session archive. The Claude host runs Claude Code sessions whose history it keeps
// on disk: a small metadata file per desktop session ("<session>.json", somewhere below the host's
// session folder) names the command-line session and the newest assistant event, and that session's
// transcript ("<cliSessionId>.jsonl", below the projects folder) holds one JSON event per line,
// each pointing at its parent. The window only ever shows part of a long session; the archive gives
// the whole active branch, but only once the messages the window shows prove that it is this
// window's conversation.
//
// Transcripts are written by another program while they are read and can be tens of megabytes, so
// they are read as a stream, only the active branch's texts are kept, and a parse may run on a
// worker thread while the window keeps answering from what it has.

#include <QDateTime>
#include <QDir>
#include <QString>
#include <atomic>
#include <memory>
#include <optional>
#include <vector>

#include "core/ConversationText.h"
#include "core/MessageList.h"

namespace quillmere::ClaudeLocalConversationArchive {

using Message = ConversationText::Message;

struct Snapshot {
    // The active branch, oldest first, extended by observed turns that connect to its end. Shared
    // with the reader's branch: a lookup copies no message.
    MessageList messages;
    int userCount = 0;
    // Creation time of the newest archived event on the branch, milliseconds since 1970.
    qint64 lastCreatedAtMs = 0;
    // Whether the newest user message the window shows is the newest user message of the branch.
    bool latestVisibleUserCurrent = false;

    bool operator==(const Snapshot& other) const = default;
};

class Lookup {
public:
    enum class Kind { verified, unavailable, unverified };

    static Lookup verified(Snapshot snapshot) { return Lookup(Kind::verified, std::move(snapshot)); }
    // No archive belongs to this document: the caller keeps what the window shows.
    static Lookup unavailable() { return Lookup(Kind::unavailable, {}); }
    // An archive exists but is not proven to be this window's conversation (or is not read yet).
    static Lookup unverified() { return Lookup(Kind::unverified, {}); }

    Kind kind() const { return kind_; }
    bool isVerified() const { return kind_ == Kind::verified; }
    // Present only when verified.
    const std::optional<Snapshot>& snapshot() const { return snapshot_; }
    std::optional<Snapshot> takeSnapshot() && { return std::move(snapshot_); }

    bool operator==(const Lookup& other) const = default;

private:
    Lookup(Kind kind, std::optional<Snapshot> snapshot) : kind_(kind), snapshot_(std::move(snapshot)) {}
    Kind kind_;
    std::optional<Snapshot> snapshot_;
};

// The desktop session id of a Claude Code session page ("https://claude.ai/epitaxy/<session>"), none
// for any other document. Ids that could not be a file name are refused.
std::optional<QString> sessionID(const QString& document);

// The host's own folders in a home folder (the user's unless told): where the desktop app keeps
// its session metadata, and where the command-line sessions keep their transcripts.
QString defaultMetadataRoot(const QString& home = QDir::homePath());
QString defaultProjectsRoot(const QString& home = QDir::homePath());

// Bounds that keep a hostile or broken archive from costing unbounded time or memory.
struct Limits {
    // A transcript line longer than this is skipped without being held in memory.
    qint64 maxLineBytes = 32 * 1024 * 1024;
    // A metadata file larger than this is refused.
    qint64 maxMetadataBytes = 1024 * 1024;
    // Folder search below a root: how deep and how many entries at most.
    int maxSearchDepth = 6;
    int maxSearchEntries = 100000;
    // A changed transcript of a session already read is parsed again at most this often.
    double minimumReparseSeconds = 3.0;
};

// What identifies one state of a session's files: a changed transcript or a new leaf means a new
// parse.
struct Revision {
    QString transcriptPath;
    QString leafUuid;
    qint64 size = 0;
    qint64 modifiedNs = 0;
    quint64 device = 0;
    quint64 inode = 0;

    bool operator==(const Revision& other) const = default;
};

// The branch as read from one revision of the transcript, before any visible message is compared.
struct Branch {
    MessageList messages;
    // Each message's comparison hash (role and text as a person reads it), computed once per parse
    // so that lookups only key the few messages the window shows.
    std::vector<size_t> messageHashes;
    qint64 lastCreatedAtMs = 0;
    // Why the transcript gave no usable branch; empty when it did.
    QString failure;
    // Lines read, and lines left out because they were unreadable (not JSON, not UTF-8, over the
    // length limit, or cut off at the end while the host was writing).
    qint64 lines = 0;
    qint64 badLines = 0;
    qint64 longLines = 0;
    // Of the bad lines, those whose strings were not valid UTF-8.
    qint64 invalidUtf8Lines = 0;
    bool partialTail = false;
};

// What a desktop session's metadata file says: which command-line session holds its transcript,
// and which event ends the active branch.
struct Metadata {
    QString cliSessionID;
    QString leafUuid;
};

struct MetadataReading {
    std::optional<Metadata> metadata;
    // Why the metadata is unusable (the lookup's reason); empty when it is usable.
    QString failure;
};

// Reads the bytes of the metadata file of desktop session `session`.
MetadataReading parseMetadata(const QByteArray& bytes, const QString& session);

// Reads one transcript and rebuilds the branch that ends at `leafUuid`. Pure apart from reading
// the file; safe on any thread. `cancel`, when set, ends the read early with the failure
// "cancelled".
Branch readBranch(const QString& transcriptPath, const QString& leafUuid, const Limits& limits = {},
                  const std::atomic<bool>* cancel = nullptr);

// Holds one session's parsed branch between lookups and runs at most one parse at a time. Lives on
// the main thread; a background parse posts its result back to the main thread's event loop.
class Reader {
public:
    explicit Reader(Limits limits = {});
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // `document`: the window's document URL. `visible`: the messages the window shows, oldest
    // first. `observed`: the messages remembered for this conversation, oldest first. `at`: now.
    // With `parseImmediately` false a needed parse starts on a worker thread and the lookup answers
    // unverified until its result has arrived.
    Lookup lookup(const QString& document, const MessageList& visible, const MessageList& observed,
                  const QString& metadataRoot, const QString& projectsRoot, const QDateTime& at,
                  bool parseImmediately);

    // Whether the last lookup found the branch, the visible messages and the very same remembered
    // list as the lookup before it, and so gave that lookup's answer again without comparing any
    // message of the branch: an unchanged window over an unchanged transcript costs the same
    // however long the session is.
    bool lastLookupUnchanged() const;

    // One line of "key=value" pairs joined by "; " describing the last lookup; "not_checked" before
    // the first.
    QString lastLookupSummary() const;

    std::optional<QString> cachedSessionID() const;
    std::optional<Revision> cachedRevision() const;
    // The cached branch as a snapshot (no visible message compared, so never "current").
    std::optional<Snapshot> cachedSnapshot() const;
    bool parseInFlight() const;
    // The start of the last parse; 0001-01-01 UTC before any.
    QDateTime lastParseTime() const;
    std::optional<QString> metadataPath() const;
    std::optional<QString> transcriptPath() const;

    // The time a fresh reader reports as its last parse.
    static QDateTime distantPast();

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace quillmere::ClaudeLocalConversationArchive
