#include "desktop/observation/CodexLocalConversationArchive.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstring>
#include <sqlite3.h>

#include "core/ConversationText.h"
#include "platform/files/RegularFile.h"

namespace quillmere::CodexLocalConversationArchive {

const char* const threadIDsSQL = "SELECT id FROM threads WHERE name = ? OR title = ? LIMIT 2";
const char* const revisionSQL =
    "SELECT COUNT(*), MAX(rollout_ordinal), MAX(updated_at_ordinal) FROM thread_items "
    "WHERE thread_id = ? AND item_type IN ('userMessage', 'agentMessage')";
const char* const messagesSQL =
    "SELECT rollout_ordinal, item_type, item_json, created_at_ms FROM thread_items WHERE thread_id = ? AND "
    "item_type IN ('userMessage', 'agentMessage') ORDER BY rollout_ordinal";

namespace {

// Read-only, without the connection mutex: each connection is used by one thread for one lookup.
constexpr int openFlags = SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX;
static_assert(openFlags == 0x8001);

// One prepared statement, finalised on every path out of the function that made it. The result
// code of a failed prepare or step is kept in `failure`.
class Statement {
public:
    Statement(sqlite3* db, const char* sql, int& failure) : failure_(failure) {
        failure_ = SQLITE_OK;
        const int result = sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr);
        if (result != SQLITE_OK) {
            failure_ = result;
            sqlite3_finalize(statement_);
            statement_ = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool prepared() const { return statement_ != nullptr; }

    // SQLite copies the text, so the bound value does not depend on the caller's buffer living
    // until the last step.
    bool bind(int parameter, const QString& value) {
        const QByteArray utf8 = value.toUtf8();
        return sqlite3_bind_text(statement_, parameter, utf8.constData(), -1, SQLITE_TRANSIENT) == SQLITE_OK;
    }

    int step() {
        const int result = sqlite3_step(statement_);
        if (result != SQLITE_ROW && result != SQLITE_DONE)
            failure_ = result;
        return result;
    }

    bool isNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
    qint64 int64(int column) const { return sqlite3_column_int64(statement_, column); }
    // The text up to its first NUL, as UTF-8 with every invalid sequence replaced by U+FFFD; none
    // for NULL.
    std::optional<QByteArray> utf8(int column) const {
        const unsigned char* bytes = sqlite3_column_text(statement_, column);
        if (bytes == nullptr)
            return std::nullopt;
        // The bytes stay valid until the next step, which is longer than the caller parses them.
        const char* start = reinterpret_cast<const char*>(bytes);
        QByteArray text = QByteArray::fromRawData(start, qsizetype(std::strlen(start)));
        if (!text.isValidUtf8())
            return QString::fromUtf8(text).toUtf8();
        return text;
    }
    std::optional<QString> text(int column) const {
        const unsigned char* bytes = sqlite3_column_text(statement_, column);
        if (bytes == nullptr)
            return std::nullopt;
        return QString::fromUtf8(reinterpret_cast<const char*>(bytes));
    }

private:
    sqlite3_stmt* statement_ = nullptr;
    int& failure_;
};

// Whether normalising leaves anything, without building the normalised text.
bool hasVisibleText(const QString& text) {
    for (QChar c : text) {
        if (!QChar::isSpace(c.unicode()))
            return true;
    }
    return false;
}

QString insufficientSummary(qsizetype archive, qsizetype visible) {
    return QStringLiteral("insufficient_messages; archive=%1; visible=%2").arg(archive).arg(visible);
}

const QString stateFileName = QStringLiteral("state_5.sqlite");
const QString historyFileName = QStringLiteral("thread_history_1.sqlite");

// Said instead of "no task" or "no history" when the file itself is damaged, so that whoever
// reads the summary looks at the file rather than at the task.
QString unreadableSummary(const QString& fileName) {
    return QStringLiteral("archive_unreadable; database=") + fileName;
}

// SQLite opens the database, its journal and its shared-memory file with blocking open() calls:
// a FIFO at any of these names would stop the main thread for good. The library is handed the
// path only when each of them is a regular file or absent.
bool safeToOpen(const QString& path) {
    return RegularFile::examine(path) == RegularFile::Problem::none &&
           RegularFile::isRegularOrAbsent(path + QStringLiteral("-wal")) &&
           RegularFile::isRegularOrAbsent(path + QStringLiteral("-shm")) &&
           RegularFile::isRegularOrAbsent(path + QStringLiteral("-journal"));
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Database

std::optional<Database> Database::open(const QString& path) {
    if (!safeToOpen(path))
        return std::nullopt;
    sqlite3* handle = nullptr;
    const QByteArray name = QFile::encodeName(path);
    if (sqlite3_open_v2(name.constData(), &handle, openFlags, nullptr) != SQLITE_OK) {
        sqlite3_close(handle);
        return std::nullopt;
    }
    return Database(handle);
}

Database::Database(Database&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), failure_(other.failure_) {}

Database& Database::operator=(Database&& other) noexcept {
    if (this != &other) {
        sqlite3_close(handle_);
        handle_ = std::exchange(other.handle_, nullptr);
        failure_ = other.failure_;
    }
    return *this;
}

bool Database::isDamaged() const {
    // Busy and locked are passing states of a healthy file; these two are the file's own.
    const int primary = failure_ & 0xff;
    return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

Database::~Database() {
    // Every statement is finalised before its function returns, so the close always succeeds.
    sqlite3_close(handle_);
}

std::vector<QString> Database::threadIDs(const QString& title) const {
    Statement statement(handle_, threadIDsSQL, failure_);
    if (!statement.prepared() || !statement.bind(1, title) || !statement.bind(2, title))
        return {};
    std::vector<QString> ids;
    int result = SQLITE_ROW;
    while ((result = statement.step()) == SQLITE_ROW) {
        if (std::optional<QString> id = statement.text(0))
            ids.push_back(*id);
    }
    if (result != SQLITE_DONE)
        return {};
    return ids;
}

std::optional<Revision> Database::revision(const QString& threadID) const {
    Statement statement(handle_, revisionSQL, failure_);
    if (!statement.prepared() || !statement.bind(1, threadID))
        return std::nullopt;
    if (statement.step() != SQLITE_ROW)
        return std::nullopt;
    return Revision{statement.int64(0), statement.int64(1), statement.int64(2)};
}

std::optional<std::vector<Item>> Database::messages(const QString& threadID) const {
    Statement statement(handle_, messagesSQL, failure_);
    if (!statement.prepared() || !statement.bind(1, threadID))
        return std::nullopt;
    std::vector<Item> items;
    qint64 previousPosition = -1;
    for (;;) {
        const int result = statement.step();
        if (result == SQLITE_DONE)
            return items;
        if (result != SQLITE_ROW)
            return std::nullopt;

        const qint64 position = statement.int64(0);
        if (!(position > previousPosition))
            return std::vector<Item>();
        const std::optional<QString> itemType = statement.text(1);
        // Invalid UTF-8 is repaired before parsing, so a damaged byte costs that character rather
        // than the whole history.
        const std::optional<QByteArray> itemJSON = statement.utf8(2);
        if (!itemType || !itemJSON)
            return std::vector<Item>();
        ItemDecoding decoded = decodeItem(*itemType, *itemJSON);
        if (!decoded.isObject)
            return std::vector<Item>();

        if (decoded.message && hasVisibleText(decoded.message->text))
            items.push_back(Item{position, statement.int64(3), std::move(*decoded.message)});
        previousPosition = position;
    }
}

// ---------------------------------------------------------------------------------------------
// Reader

Lookup Reader::lookup(const QString& title, const MessageList& visible, const QString& directory) {
    if (title.isEmpty()) {
        lastLookupSummary_ = QStringLiteral("archive_unavailable");
        return Lookup::unavailable();
    }
    const QDir folder(directory);
    std::optional<Database> state = Database::open(folder.filePath(stateFileName));
    if (!state) {
        lastLookupSummary_ = QStringLiteral("archive_unavailable");
        return Lookup::unavailable();
    }
    std::optional<Database> history = Database::open(folder.filePath(historyFileName));
    if (!history) {
        lastLookupSummary_ = QStringLiteral("archive_unavailable");
        return Lookup::unavailable();
    }

    const std::vector<QString> ids = state->threadIDs(title);
    if (ids.empty()) {
        lastLookupSummary_ =
            state->isDamaged() ? unreadableSummary(stateFileName) : QStringLiteral("no_named_task");
        return Lookup::unavailable();
    }
    if (ids.size() > 1) {
        lastLookupSummary_ = QStringLiteral("ambiguous_or_missing_history; candidates=%1").arg(ids.size());
        return Lookup::unverified();
    }
    const QString& threadID = ids.front();
    const std::optional<Revision> revision = history->revision(threadID);
    if (!revision) {
        lastLookupSummary_ = history->isDamaged()
                                 ? unreadableSummary(historyFileName)
                                 : QStringLiteral("ambiguous_or_missing_history; candidates=1");
        return Lookup::unverified();
    }

    const QString path = standardizedPath(directory);
    const bool cached =
        cachedDirectory_ == path && cachedThreadID_ == threadID && cachedRevision_ == revision;
    if (!cached) {
        std::optional<std::vector<Item>> items = history->messages(threadID);
        if (!items) {
            // The read failed part-way (the host held a lock, the file is damaged): judge this
            // window on nothing, but keep no empty history under a revision that has items.
            lastLookupSummary_ = history->isDamaged() ? unreadableSummary(historyFileName)
                                                      : insufficientSummary(0, qsizetype(visible.size()));
            return Lookup::unverified();
        }
        cachedDirectory_ = path;
        cachedThreadID_ = threadID;
        cachedRevision_ = revision;
        cachedItems_ = std::move(*items);
        std::vector<ConversationText::Message> messages;
        messages.reserve(cachedItems_.size());
        for (const Item& item : cachedItems_)
            messages.push_back(item.message);
        cachedMessages_ = std::move(messages);
        cachedPositions_ = positions(cachedItems_);
    }
    // Both connections are released before deciding; the cache holds all that is needed.
    state.reset();
    history.reset();

    const std::vector<Item>& items = cachedItems_;
    if (items.size() < 3 || visible.empty()) {
        lastLookupSummary_ = insufficientSummary(qsizetype(items.size()), qsizetype(visible.size()));
        return Lookup::unverified();
    }

    const qint64 uniqueExact = uniqueExactCount(visible, cachedPositions_);
    const qint64 anchors = matchingAnchors(visible, cachedPositions_);
    lastLookupSummary_ = QStringLiteral("archive=%1; visible=%2; uniqueExact=%3; verifiedAnchors=%4")
                             .arg(qsizetype(items.size()))
                             .arg(qsizetype(visible.size()))
                             .arg(uniqueExact)
                             .arg(anchors);
    if (anchors <= 2)
        return Lookup::unverified();

    Snapshot snapshot;
    snapshot.threadID = threadID;
    snapshot.messages = cachedMessages_;
    snapshot.userCount = snapshot.messages.userCount();
    snapshot.lastPosition = items.back().position;
    snapshot.lastCreatedAtMs = items.back().createdAtMs;
    snapshot.verifiedAnchors = anchors;
    return Lookup::verified(std::move(snapshot));
}

Lookup lookup(const QString& title, const MessageList& visible, const QString& directory) {
    Reader reader;
    return reader.lookup(title, visible, directory);
}

QString defaultDirectory(const QString& home) {
    return QDir(home.isEmpty() ? QDir::homePath() : home).filePath(QStringLiteral(".codex"));
}

QString standardizedPath(const QString& directory) {
    return QDir::cleanPath(QFileInfo(directory).absoluteFilePath());
}

} // namespace quillmere::CodexLocalConversationArchive
