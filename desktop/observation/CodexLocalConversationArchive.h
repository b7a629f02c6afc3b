#pragma once

// Reads a Codex task's complete history from the host's local archive and decides whether it is
// the conversation the window shows.
//
// The Codex host keeps its tasks in two SQLite databases in the user's ".codex" folder: a state
// database naming each thread and a history database holding each thread's items. A task title
// alone proves nothing (titles repeat and rename), so the archived history is accepted only when
// the messages visible in the window are found among the archived messages, one by one and in the
// same order. The databases are only read, never written; the host writes them while we read.

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringView>
#include <optional>
#include <vector>

#include "core/ConversationText.h"
#include "core/MessageList.h"

struct sqlite3;

namespace quillmere::CodexLocalConversationArchive {

// The three statements a lookup runs, as the archive is read: the threads named by a title (state
// database), then a thread's revision and its messages (history database).
extern const char* const threadIDsSQL;
extern const char* const revisionSQL;
extern const char* const messagesSQL;

// What changes whenever the host stores, removes or updates a message of a thread; a reader
// re-reads a thread only when this changes.
struct Revision {
    qint64 count = 0;              // user and agent items of the thread
    qint64 lastPosition = 0;       // greatest rollout ordinal
    qint64 lastUpdatePosition = 0; // greatest update ordinal

    bool operator==(const Revision&) const = default;
};

// One archived message with its place in the thread.
struct Item {
    qint64 position = 0;    // the row's rollout ordinal
    qint64 createdAtMs = 0; // milliseconds since 1970
    ConversationText::Message message;

    bool operator==(const Item&) const = default;
};

// Keyed text (role, "|", match key) to the ascending indices of the items that carry it.
using PositionIndex = QHash<QString, QList<int>>;

// A verified history: the whole thread from its first message.
struct Snapshot {
    QString threadID;
    MessageList messages; // shared with the reader's cache: a lookup copies no message
    qint64 userCount = 0;
    qint64 lastPosition = 0;
    qint64 lastCreatedAtMs = 0;
    qint64 verifiedAnchors = 0;

    bool operator==(const Snapshot&) const = default;
};

// The outcome of a lookup. `unavailable`: no archive, no title or no thread of that name, so the
// caller keeps what the window shows. `unverified`: a matching task exists but its history is not
// proven to be this window's.
struct Lookup {
    enum class Kind { verified, unavailable, unverified };

    Kind kind = Kind::unavailable;
    std::optional<Snapshot> snapshot; // present exactly when verified

    static Lookup verified(Snapshot snapshot) { return {Kind::verified, std::move(snapshot)}; }
    static Lookup unavailable() { return {Kind::unavailable, std::nullopt}; }
    static Lookup unverified() { return {Kind::unverified, std::nullopt}; }

    bool isVerified() const { return kind == Kind::verified; }
    bool operator==(const Lookup&) const = default;
};

// One read-only connection to one archive file, closed when the object goes.
class Database {
public:
    // Opens an existing file read-only; none when it cannot be opened, or when it (or its
    // journal or shared-memory file) is no regular file. Never creates a file.
    static std::optional<Database> open(const QString& path);

    Database(Database&& other) noexcept;
    Database& operator=(Database&& other) noexcept;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;
    ~Database();

    // The identifiers of the threads whose name or title is `title`, at most two; empty when the
    // query fails.
    std::vector<QString> threadIDs(const QString& title) const;
    // None when the query fails.
    std::optional<Revision> revision(const QString& threadID) const;
    // The thread's user and agent messages in order. All or nothing: a malformed or out-of-order
    // row gives an empty list. None when the read itself failed (busy, locked, damaged file), so
    // that a passing failure is not remembered as the thread's history.
    std::optional<std::vector<Item>> messages(const QString& threadID) const;

    // Whether the last query failed because the file is not a database or is damaged (rather
    // than busy, locked or of another layout).
    bool isDamaged() const;

private:
    explicit Database(sqlite3* handle) : handle_(handle) {}
    sqlite3* handle_ = nullptr;
    mutable int failure_ = 0;
};

// Finds the archived thread for a Codex window and verifies it against the visible messages. One
// reader lives for the whole run of a window tracker and keeps the last thread it read, so that an
// unchanged thread costs only the title and revision queries.
class Reader {
public:
    // `directory` is the folder holding "state_5.sqlite" and "thread_history_1.sqlite".
    // Sets lastLookupSummary() on every call.
    Lookup lookup(const QString& title, const MessageList& visible, const QString& directory);

    // One line describing the last lookup; "not_checked" before the first.
    const QString& lastLookupSummary() const { return lastLookupSummary_; }

    const std::optional<QString>& cachedThreadID() const { return cachedThreadID_; }
    const std::optional<QString>& cachedDirectory() const { return cachedDirectory_; }
    const std::optional<Revision>& cachedRevision() const { return cachedRevision_; }
    const std::vector<Item>& cachedItems() const { return cachedItems_; }
    const PositionIndex& cachedPositions() const { return cachedPositions_; }

private:
    QString lastLookupSummary_ = QStringLiteral("not_checked");
    std::optional<QString> cachedThreadID_;
    std::optional<QString> cachedDirectory_;
    std::optional<Revision> cachedRevision_;
    std::vector<Item> cachedItems_;
    MessageList cachedMessages_; // the cached items' messages, as every verified lookup gives them
    PositionIndex cachedPositions_;
};

// A lookup with a fresh reader, discarded afterwards.
Lookup lookup(const QString& title, const MessageList& visible, const QString& directory);

// The host's archive folder: ".codex" in the given home folder (the user's by default).
QString defaultDirectory(const QString& home = QString());

// The folder as the cache compares it: absolute, "." and ".." removed lexically, no trailing
// separator, symbolic links kept.
QString standardizedPath(const QString& directory);

// ---------------------------------------------------------------------------------------------
// Stored items

// What one row's "item_json" gives: not a JSON object (the whole history is then void), an item
// left out of the history, or a message.
struct ItemDecoding {
    bool isObject = false;
    std::optional<ConversationText::Message> message;

    bool operator==(const ItemDecoding&) const = default;
};

// The message of an item of the given "item_type" stored as `json` (valid UTF-8).
ItemDecoding decodeItem(QStringView itemType, const QByteArray& json);
// The same through the general JSON parser alone.
ItemDecoding decodeItemWithDocument(QStringView itemType, const QByteArray& json);
// The same through the fast scanner alone; none when the document is outside the plain subset of
// JSON the scanner reads, and only the general parser can tell.
std::optional<ItemDecoding> scanItem(QStringView itemType, QByteArrayView json);

// ---------------------------------------------------------------------------------------------
// Matching rules (pure: no file, clock or platform access)

// The text as the comparison sees it: white space folded, Markdown bold marks, the trailing
// day-and-time badge and blanks before punctuation or after a maqaf removed.
QString matchKey(QStringView text);
// Role, "|" and the match key, canonically composed so that precomposed and decomposed accents
// key alike.
QString keyedText(QStringView role, QStringView text);
// The user's own request inside a user message that the host stored wrapped in injected
// context; none when the text is not such a wrapper.
std::optional<QString> visibleRequest(QStringView text);
// The index of the archived items' keyed texts; a wrapped user item is also indexed under its
// request alone.
PositionIndex positions(const std::vector<Item>& items);
// Visible messages whose keyed text names exactly one archived item.
qint64 uniqueExactCount(const MessageList& visible, const PositionIndex& index);
// The number of verified anchors, or 0 when the visible messages do not prove the archive.
qint64 matchingAnchors(const MessageList& visible, const PositionIndex& index);

} // namespace quillmere::CodexLocalConversationArchive
