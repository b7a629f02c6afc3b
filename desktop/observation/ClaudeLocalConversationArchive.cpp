#include "desktop/observation/ClaudeLocalConversationArchive.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QMetaObject>
#include <QStringList>
#include <QThreadPool>
#include <QUrl>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <exception>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "core/HostConstants.h"
#include "core/Json.h"
#include "core/Text.h"

namespace quillmere::ClaudeLocalConversationArchive {

namespace {

const QString kUser = QStringLiteral("user");
const QString kAssistant = QStringLiteral("assistant");
// Consecutive assistant events (text blocks written one per event) read as one reply.
const QString kAssistantJoin = QStringLiteral("\n\n");

// ---------------------------------------------------------------------------------------------
// Files

// Ids become file names: anything that could leave the folder or hide a file is refused.
bool isSafeFileStem(QStringView stem) {
    if (stem.isEmpty() || stem.size() > 200 || stem.startsWith(u'.'))
        return false;
    for (QChar c : stem) {
        const char16_t u = c.unicode();
        const bool ok = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') ||
                        u == u'-' || u == u'_' || u == u'.';
        if (!ok)
            return false;
    }
    return true;
}

// A descriptor that closes itself.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_ = -1;
};

enum class OpenError { none, missing, notAFile, unreadable };

struct OpenedFile {
    std::unique_ptr<FileDescriptor> fd;
    struct stat info {};
    OpenError error = OpenError::none;
};

// Opens without blocking (a FIFO or device in place of an archive file must not hang the reader)
// and accepts only a regular file.
OpenedFile openRegularFile(const QString& path) {
    OpenedFile out;
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        out.error = errno == ENOENT ? OpenError::missing : OpenError::unreadable;
        return out;
    }
    out.fd = std::make_unique<FileDescriptor>(fd);
    if (::fstat(fd, &out.info) != 0) {
        out.error = OpenError::unreadable;
        return out;
    }
    if (!S_ISREG(out.info.st_mode)) {
        out.error = OpenError::notAFile;
        return out;
    }
    // Regular files never block; clear the flag so reads behave as usual.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return out;
}

qint64 modifiedNs(const struct stat& info) {
    return qint64(info.st_mtim.tv_sec) * 1000000000LL + qint64(info.st_mtim.tv_nsec);
}

// Reads as much as asked unless the file ends first; -1 on a read error.
qint64 readFully(int fd, char* into, qint64 wanted) {
    qint64 done = 0;
    while (done < wanted) {
        const ssize_t n = ::read(fd, into + done, size_t(wanted - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

bool isRegularFile(const QString& path) {
    struct stat info {};
    const QByteArray native = QFile::encodeName(path);
    return ::stat(native.constData(), &info) == 0 && S_ISREG(info.st_mode);
}

// Breadth first below `root` for an entry named `name`, without following symbolic links into
// other folders, within a depth and entry budget. A regular file of that name wins; otherwise the
// first entry of that name of any kind is returned, so that opening it says what is wrong with it.
std::optional<QString> locate(const QString& root, const QString& name, const Limits& limits) {
    if (root.isEmpty())
        return std::nullopt;
    std::optional<QString> other;
    std::deque<std::pair<QString, int>> folders{{root, 0}};
    int seen = 0;
    while (!folders.empty()) {
        auto [folder, depth] = folders.front();
        folders.pop_front();
        const QFileInfoList entries = QDir(folder).entryInfoList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        for (const QFileInfo& entry : entries) {
            if (++seen > limits.maxSearchEntries)
                return other;
            if (entry.fileName() == name) {
                if (isRegularFile(entry.filePath()))
                    return entry.filePath();
                if (!other)
                    other = entry.filePath();
                continue;
            }
            if (entry.isDir() && !entry.isSymLink() && depth + 1 <= limits.maxSearchDepth)
                folders.emplace_back(entry.filePath(), depth + 1);
        }
    }
    return other;
}

// ---------------------------------------------------------------------------------------------
// Transcript rows

// "2026-09-29T08:00:10.000Z" and the like: parsed by hand because a transcript holds tens of
// thousands of them; other forms go through QDateTime. None when unreadable.
std::optional<qint64> timestampMs(const QString& text) {
    auto digits = [&](qsizetype at, int count, int& value) {
        value = 0;
        if (at + count > text.size())
            return false;
        for (int i = 0; i < count; ++i) {
            const char16_t c = text[at + i].unicode();
            if (c < u'0' || c > u'9')
                return false;
            value = value * 10 + int(c - u'0');
        }
        return true;
    };
    int year, month, day, hour, minute, second;
    if (text.size() >= 20 && digits(0, 4, year) && text[4] == u'-' && digits(5, 2, month) &&
        text[7] == u'-' && digits(8, 2, day) && text[10] == u'T' && digits(11, 2, hour) && text[13] == u':' &&
        digits(14, 2, minute) && text[16] == u':' && digits(17, 2, second)) {
        qsizetype at = 19;
        int millis = 0;
        if (at < text.size() && text[at] == u'.') {
            ++at;
            int place = 100;
            const qsizetype start = at;
            while (at < text.size() && text[at].isDigit() && text[at].unicode() < 128) {
                millis += place * int(text[at].unicode() - u'0');
                place /= 10;
                ++at;
            }
            if (at == start)
                return std::nullopt;
        }
        if (at + 1 == text.size() && text[at] == u'Z') {
            const QDate date(year, month, day);
            if (!date.isValid() || hour > 23 || minute > 59 || second > 60)
                return std::nullopt;
            const qint64 days = date.toJulianDay() - QDate(1970, 1, 1).toJulianDay();
            return ((days * 24 + hour) * 60 + minute) * 60000LL + second * 1000LL + millis;
        }
    }
    const QDateTime parsed = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!parsed.isValid())
        return std::nullopt;
    return parsed.toMSecsSinceEpoch();
}

// The text of a message's content: a plain string, or the "text" of every text block.
QString contentText(const QJsonValue& content, const QString& separator) {
    if (content.isString())
        return content.toString();
    if (!content.isArray())
        return {};
    QString out;
    bool first = true;
    for (const QJsonValue& block : content.toArray()) {
        const QJsonObject object = block.toObject();
        if (json::string(object, QStringLiteral("type")).value != QLatin1StringView("text"))
            continue;
        const json::Field<QString> text = json::string(object, QStringLiteral("text"));
        if (!text.isPresent() || text.value.isEmpty())
            continue;
        if (!first)
            out += separator;
        out += text.value;
        first = false;
    }
    return out;
}

// The comparison key of a message: what a person reads, so white space runs and the way accents
// were typed make no difference.
QString matchKey(const QString& text) {
    return text::canonical(ConversationText::normalize(text));
}

// Whether a text is only white space (every White_Space character is in the basic plane).
bool isBlank(const QString& text) {
    for (QChar c : text)
        if (!text::isWhiteSpace(c.unicode()))
            return false;
    return true;
}

// FNV-1a over the key's UTF-16 code units, seeded by the role.
struct KeyHasher {
    explicit KeyHasher(const QString& role)
        : value(role == kUser ? 0xcbf29ce484222325ULL : 0x84222325cbf29ce4ULL) {}
    void add(char16_t unit) {
        value ^= unit;
        value *= 0x100000001b3ULL;
    }
    quint64 value;
};

// The hash of the role and match key, computed without building the key: stored texts are long,
// and folding their white space into a new string costs more than parsing them. Composition is
// applied first (a no-op copy for text already composed, which stored text nearly always is) and
// white space is folded on the fly; neither step changes what the other sees, so the result is
// the hash of matchKey(text).
size_t keyHash(const QString& role, const QString& text) {
    bool ascii = true;
    for (QChar c : text)
        if (c.unicode() >= 0x80) {
            ascii = false;
            break;
        }
    const QString composed = ascii ? text : text.normalized(QString::NormalizationForm_C);
    KeyHasher hasher(role);
    bool pendingSpace = false;
    bool any = false;
    for (QChar c : composed) {
        const char16_t u = c.unicode();
        if (u == u' ' || (u >= 0x09 && u <= 0x0d) || (u >= 0x80 && text::isWhiteSpace(u))) {
            pendingSpace = any;
            continue;
        }
        if (pendingSpace)
            hasher.add(u' ');
        pendingSpace = false;
        any = true;
        hasher.add(u);
    }
    return size_t(hasher.value);
}

enum class RowKind : quint8 { other, human, assistant };

struct Row {
    QByteArray parentUuid;
    // Only requests and replies keep a text: tool results and bookkeeping, most of a transcript's
    // bytes, are dropped as they are read.
    QString text;
    qint64 createdAtMs = 0;
    RowKind kind = RowKind::other;
    bool conflicting = false;
};

struct Index {
    QHash<QByteArray, int> byUuid;
    std::vector<Row> rows;
};

enum class LineResult { row, skipped, bad, invalidUtf8 };

LineResult readRow(const char* data, qsizetype length, Index& index) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromRawData(data, length), &error);
    if (error.error != QJsonParseError::NoError)
        return error.error == QJsonParseError::IllegalUTF8String ? LineResult::invalidUtf8 : LineResult::bad;
    if (!document.isObject())
        return LineResult::bad;
    const QJsonObject object = document.object();

    const json::Field<QString> uuid = json::string(object, QStringLiteral("uuid"));
    // Summaries, snapshots and other bookkeeping lines carry no event id and are not events.
    if (!uuid.isPresent() || uuid.value.isEmpty())
        return LineResult::skipped;

    Row row;
    const json::Field<QString> parent = json::string(object, QStringLiteral("parentUuid"));
    if (parent.isWrongType())
        return LineResult::bad;
    row.parentUuid = parent.value.toUtf8();

    const QString type = json::string(object, QStringLiteral("type")).value;
    const QJsonObject message = json::object(object, QStringLiteral("message")).value;
    const QJsonValue content = message.value(QStringLiteral("content"));
    if (type == kUser) {
        // Tool results are stored as user events too; only what a person typed is a user message.
        const QJsonObject origin = json::object(object, QStringLiteral("origin")).value;
        if (json::string(origin, QStringLiteral("kind")).value == QLatin1StringView("human")) {
            row.kind = RowKind::human;
            row.text = contentText(content, QStringLiteral("\n"));
        }
    } else if (type == kAssistant) {
        row.kind = RowKind::assistant;
        row.text = contentText(content, kAssistantJoin);
    }
    if (!row.text.isEmpty()) {
        const json::Field<QString> timestamp = json::string(object, QStringLiteral("timestamp"));
        if (timestamp.isPresent())
            row.createdAtMs = timestampMs(timestamp.value).value_or(0);
    } else {
        row.kind = RowKind::other;
    }

    const QByteArray key = uuid.value.toUtf8();
    const auto found = index.byUuid.constFind(key);
    if (found != index.byUuid.constEnd()) {
        // The same event written twice is harmless; two events claiming one id with different
        // parents make any branch through it unprovable.
        Row& existing = index.rows[size_t(*found)];
        if (existing.parentUuid != row.parentUuid || existing.kind != row.kind)
            existing.conflicting = true;
        return LineResult::row;
    }
    index.byUuid.insert(key, int(index.rows.size()));
    index.rows.push_back(std::move(row));
    return LineResult::row;
}

// ---------------------------------------------------------------------------------------------
// Verification

struct Combined {
    const Branch& archive;
    const std::vector<Message>& extension;
    std::vector<size_t> extensionHashes;

    size_t size() const { return archive.messages.size() + extension.size(); }
    const Message& at(size_t i) const {
        return i < archive.messages.size() ? archive.messages[i] : extension[i - archive.messages.size()];
    }
    size_t hash(size_t i) const {
        return i < archive.messageHashes.size() ? archive.messageHashes[i]
                                                : extensionHashes[i - archive.messages.size()];
    }
};

bool sameMessage(const Message& message, size_t hash, const Message& other, size_t otherHash) {
    return hash == otherHash && message.role == other.role && matchKey(message.text) == matchKey(other.text);
}

size_t messageHash(const Message& message) {
    return keyHash(message.role, message.text);
}

// Where the observed messages continue the archive: the latest observed message that equals the
// archive's last one with at least the message before it equal too (a user turn and its reply, or
// the whole archive when it is shorter), and a user message among those that agree. The observed
// messages after it are turns the host has shown but not yet written. Empty when they do not
// connect.
std::vector<Message> connectedTail(const Branch& archive, const std::vector<Message>& observed) {
    const auto& messages = archive.messages;
    if (messages.empty() || observed.size() < 2)
        return {};
    std::vector<size_t> observedHashes;
    observedHashes.reserve(observed.size());
    for (const Message& message : observed)
        observedHashes.push_back(messageHash(message));
    const size_t needed = std::min<size_t>(2, messages.size());
    for (size_t p = observed.size(); p-- > 0;) {
        size_t agreed = 0;
        bool sawUser = false;
        while (agreed <= p && agreed < messages.size()) {
            const size_t a = messages.size() - 1 - agreed;
            if (!sameMessage(observed[p - agreed], observedHashes[p - agreed], messages[a],
                             archive.messageHashes[a]))
                break;
            sawUser = sawUser || messages[a].role == kUser;
            ++agreed;
        }
        if (agreed >= needed && sawUser)
            return std::vector<Message>(observed.begin() + qsizetype(p) + 1, observed.end());
    }
    return {};
}

struct Verification {
    QString failure;
    int anchors = 0;
    int unmatchedAssistant = 0;
    bool current = false;
};

// Every visible user message must be on the branch, in the window's order; at least one of them
// must occur there exactly once, so a common short request ("Continue") proves nothing alone.
// Visible assistant replies count when found but are not required: the window renders Markdown
// and streams, so its text of a reply often differs from the stored one.
Verification verify(const Combined& combined, const std::vector<Message>& visible) {
    Verification out;
    if (visible.empty()) {
        out.failure = QStringLiteral("no_visible_messages");
        return out;
    }
    QHash<size_t, int> userCounts;
    size_t lastUser = combined.size();
    for (size_t i = 0; i < combined.size(); ++i) {
        if (combined.at(i).role == kUser) {
            userCounts[combined.hash(i)] += 1;
            lastUser = i;
        }
    }
    size_t bound = combined.size();
    bool sawUser = false;
    bool unique = false;
    std::optional<size_t> latestVisibleUser;
    for (size_t v = visible.size(); v-- > 0;) {
        const Message& message = visible[v];
        const size_t hash = messageHash(message);
        std::optional<size_t> found;
        for (size_t i = bound; i-- > 0;) {
            if (sameMessage(message, hash, combined.at(i), combined.hash(i))) {
                found = i;
                break;
            }
        }
        if (message.role != kUser) {
            if (found) {
                bound = *found;
                ++out.anchors;
            } else {
                ++out.unmatchedAssistant;
            }
            continue;
        }
        sawUser = true;
        if (!found) {
            out.failure = QStringLiteral("visible_user_not_on_branch");
            return out;
        }
        if (!latestVisibleUser)
            latestVisibleUser = *found;
        unique = unique || userCounts.value(hash) == 1;
        bound = *found;
        ++out.anchors;
    }
    if (!sawUser) {
        out.failure = QStringLiteral("no_visible_user_message");
        return out;
    }
    if (!unique) {
        out.failure = QStringLiteral("no_unique_user_message");
        return out;
    }
    out.current = latestVisibleUser && *latestVisibleUser == lastUser;
    return out;
}

QString boolText(bool value) {
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

} // namespace

// ---------------------------------------------------------------------------------------------

std::optional<QString> sessionID(const QString& document) {
    const QUrl url(document, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().toLower() != QLatin1StringView("https") ||
        url.host().toLower() != QLatin1StringView(HostConstants::claudeWebHost))
        return std::nullopt;
    const QString path = url.path(QUrl::FullyEncoded);
    const QLatin1StringView prefix("/epitaxy/");
    if (!path.startsWith(prefix))
        return std::nullopt;
    QString session = path.mid(prefix.size());
    const qsizetype slash = session.indexOf(u'/');
    if (slash >= 0)
        session.truncate(slash);
    if (!isSafeFileStem(session))
        return std::nullopt;
    return session;
}

QString defaultMetadataRoot(const QString& home) {
    return home + QStringLiteral("/.config/Claude/claude-code-sessions");
}

QString defaultProjectsRoot(const QString& home) {
    return home + QStringLiteral("/.claude/projects");
}

Branch readBranch(const QString& transcriptPath, const QString& leafUuid, const Limits& limits,
                  const std::atomic<bool>* cancel) {
    Branch out;
    OpenedFile file = openRegularFile(transcriptPath);
    if (file.error != OpenError::none) {
        out.failure = file.error == OpenError::notAFile ? QStringLiteral("transcript_not_a_file")
                                                        : QStringLiteral("transcript_unreadable");
        return out;
    }

    Index index;
    constexpr qint64 chunk = 1 << 20;
    QByteArray buffer;
    qint64 filled = 0;     // bytes of `buffer` in use
    qint64 scanFrom = 0;   // the bytes before this hold no line feed
    bool skipping = false; // inside a line over the length limit, dropping its bytes
    auto handle = [&](const char* data, qint64 length, bool terminated) {
        if (length > 0 && data[length - 1] == '\r')
            --length;
        bool blank = true;
        for (qint64 i = 0; i < length && blank; ++i)
            blank = data[i] == ' ' || data[i] == '\t';
        if (blank)
            return;
        ++out.lines;
        const LineResult result = readRow(data, qsizetype(length), index);
        switch (result) {
        case LineResult::row:
        case LineResult::skipped:
            break;
        case LineResult::invalidUtf8:
        case LineResult::bad:
            // The host appends while we read: an unfinished last line is not damage.
            if (!terminated) {
                out.partialTail = true;
                --out.lines;
            } else {
                ++out.badLines;
                if (result == LineResult::invalidUtf8)
                    ++out.invalidUtf8Lines;
            }
            break;
        }
    };

    for (;;) {
        if (cancel && cancel->load(std::memory_order_relaxed)) {
            out.failure = QStringLiteral("cancelled");
            return out;
        }
        if (buffer.size() < filled + chunk)
            buffer.resize(std::max<qint64>(filled + chunk, qint64(buffer.size()) * 2));
        const qint64 n = readFully(file.fd->get(), buffer.data() + filled, chunk);
        if (n < 0) {
            out.failure = QStringLiteral("transcript_unreadable");
            return out;
        }
        if (n == 0)
            break;
        filled += n;
        const char* data = buffer.constData();
        qint64 start = 0;
        while (const void* found = std::memchr(data + scanFrom, '\n', size_t(filled - scanFrom))) {
            const qint64 end = static_cast<const char*>(found) - data;
            if (skipping)
                skipping = false;
            else if (end - start > limits.maxLineBytes)
                ++out.longLines;
            else
                handle(data + start, end - start, true);
            start = end + 1;
            scanFrom = start;
        }
        if (skipping || filled - start > limits.maxLineBytes) {
            // Drop what has been read of an over-long line and everything up to its end.
            if (!skipping)
                ++out.longLines;
            skipping = true;
            filled = 0;
            scanFrom = 0;
            if (buffer.size() > 4 * chunk)
                buffer = QByteArray();
            continue;
        }
        if (start > 0) {
            std::memmove(buffer.data(), data + start, size_t(filled - start));
            filled -= start;
            scanFrom = filled;
            if (buffer.size() > 4 * chunk && filled < chunk) {
                // A long line has passed; give its room back.
                QByteArray smaller(chunk * 2, Qt::Uninitialized);
                std::memcpy(smaller.data(), buffer.constData(), size_t(filled));
                buffer = std::move(smaller);
            }
        } else {
            scanFrom = filled;
        }
    }
    if (!skipping && filled > 0)
        handle(buffer.constData(), filled, false);
    buffer = QByteArray();

    // The branch: from the leaf through the parents to the root.
    const auto leaf = index.byUuid.constFind(leafUuid.toUtf8());
    if (leaf == index.byUuid.constEnd()) {
        out.failure = QStringLiteral("leaf_missing");
        return out;
    }
    std::vector<int> chain;
    std::vector<bool> onChain(index.rows.size(), false);
    for (int at = *leaf;;) {
        if (onChain[size_t(at)]) {
            out.failure = QStringLiteral("parent_cycle");
            return out;
        }
        onChain[size_t(at)] = true;
        chain.push_back(at);
        const Row& row = index.rows[size_t(at)];
        if (row.conflicting) {
            out.failure = QStringLiteral("duplicate_uuid");
            return out;
        }
        if (row.parentUuid.isEmpty())
            break;
        const auto parent = index.byUuid.constFind(row.parentUuid);
        if (parent == index.byUuid.constEnd()) {
            out.failure = QStringLiteral("missing_parent");
            return out;
        }
        at = *parent;
    }
    index.byUuid.clear();
    // Texts off the branch are let go before the branch's are moved into messages.
    for (size_t i = 0; i < index.rows.size(); ++i)
        if (!onChain[i])
            index.rows[i].text = QString();

    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        Row& row = index.rows[size_t(*it)];
        if (row.kind == RowKind::other)
            continue;
        QString text = std::move(row.text);
        if (isBlank(text))
            continue;
        const QString& role = row.kind == RowKind::human ? kUser : kAssistant;
        if (role == kAssistant && !out.messages.empty() && out.messages.back().role == kAssistant)
            out.messages.back().text += kAssistantJoin + text;
        else
            out.messages.push_back(Message{role, std::move(text)});
        if (row.createdAtMs != 0)
            out.lastCreatedAtMs = row.createdAtMs;
    }
    out.messageHashes.reserve(out.messages.size());
    for (const Message& message : out.messages)
        out.messageHashes.push_back(messageHash(message));
    if (out.messages.empty())
        out.failure = QStringLiteral("empty_branch");
    return out;
}

// ---------------------------------------------------------------------------------------------
// Reader

struct Reader::State {
    Limits limits;
    QString summary = QStringLiteral("not_checked");
    std::optional<QString> cachedSessionID;
    std::optional<Revision> cachedRevision;
    std::optional<Branch> cachedBranch;
    QDateTime lastParseTime = Reader::distantPast();
    std::optional<QString> metadataPath;
    std::optional<QString> transcriptPath;
    // Where the last search found each file, to skip the folder walk while it stays there.
    QString metadataPathSession;
    QString transcriptPathCliSession;

    // Every parse takes the next generation; a result older than the one installed is dropped.
    quint64 nextGeneration = 1;
    quint64 installedGeneration = 0;
    // The background parse running, if any, and the flag that stops it.
    std::optional<quint64> inFlightGeneration;
    std::shared_ptr<std::atomic<bool>> inFlightCancel;

    void cancelInFlight() {
        if (inFlightCancel)
            inFlightCancel->store(true);
        inFlightCancel.reset();
        inFlightGeneration.reset();
    }

    void install(const QString& session, const Revision& revision, Branch branch, quint64 generation) {
        cachedSessionID = session;
        cachedRevision = revision;
        cachedBranch = std::move(branch);
        installedGeneration = generation;
    }
};

namespace {

// A parse runs inside an event-loop callback or on a worker thread, where nothing may escape; an
// allocation failure on a hostile file becomes a failed parse.
Branch guardedReadBranch(const QString& transcriptPath, const QString& leafUuid, const Limits& limits,
                         const std::atomic<bool>* cancel = nullptr) {
    try {
        return readBranch(transcriptPath, leafUuid, limits, cancel);
    } catch (const std::exception&) {
        Branch failed;
        failed.failure = QStringLiteral("parse_failed");
        return failed;
    }
}

std::optional<Revision> currentRevision(const QString& transcriptPath, const QString& leafUuid) {
    struct stat info {};
    const QByteArray native = QFile::encodeName(transcriptPath);
    if (::stat(native.constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    Revision revision;
    revision.transcriptPath = transcriptPath;
    revision.leafUuid = leafUuid;
    revision.size = qint64(info.st_size);
    revision.modifiedNs = modifiedNs(info);
    revision.device = quint64(info.st_dev);
    revision.inode = quint64(info.st_ino);
    return revision;
}

} // namespace

Reader::Reader(Limits limits) : state_(std::make_shared<State>()) {
    state_->limits = limits;
}

Reader::~Reader() {
    // A parse still running has nobody to deliver to; let it stop at its next check.
    state_->cancelInFlight();
}

QDateTime Reader::distantPast() {
    return QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC);
}

QString Reader::lastLookupSummary() const {
    return state_->summary;
}
std::optional<QString> Reader::cachedSessionID() const {
    return state_->cachedSessionID;
}
std::optional<Revision> Reader::cachedRevision() const {
    return state_->cachedRevision;
}
bool Reader::parseInFlight() const {
    return state_->inFlightGeneration.has_value();
}
QDateTime Reader::lastParseTime() const {
    return state_->lastParseTime;
}
std::optional<QString> Reader::metadataPath() const {
    return state_->metadataPath;
}
std::optional<QString> Reader::transcriptPath() const {
    return state_->transcriptPath;
}

std::optional<Snapshot> Reader::cachedSnapshot() const {
    const auto& branch = state_->cachedBranch;
    if (!branch || !branch->failure.isEmpty())
        return std::nullopt;
    Snapshot snapshot;
    snapshot.messages = branch->messages;
    for (const Message& message : snapshot.messages)
        snapshot.userCount += message.role == kUser ? 1 : 0;
    snapshot.lastCreatedAtMs = branch->lastCreatedAtMs;
    return snapshot;
}

Lookup Reader::lookup(const QString& document, const std::vector<Message>& visible,
                      const std::vector<Message>& observed, const QString& metadataRoot,
                      const QString& projectsRoot, const QDateTime& at, bool parseImmediately) {
    State& s = *state_;
    QStringList summary;
    auto finish = [&](Lookup result) {
        s.summary = summary.join(QStringLiteral("; "));
        return result;
    };
    auto fail = [&](Lookup result, const QString& reason) {
        summary.prepend(QStringLiteral("reason=") + reason);
        summary.prepend(result.kind() == Lookup::Kind::unavailable ? QStringLiteral("status=unavailable")
                                                                   : QStringLiteral("status=unverified"));
        return finish(std::move(result));
    };

    const std::optional<QString> session = sessionID(document);
    if (!session)
        return fail(Lookup::unavailable(), QStringLiteral("not_claude_code_session"));
    summary << QStringLiteral("session=") + *session;

    // Metadata: which command-line session, and which event ends the active branch.
    QString metadataPath;
    if (s.metadataPath && s.metadataPathSession == *session && isRegularFile(*s.metadataPath)) {
        metadataPath = *s.metadataPath;
    } else {
        const std::optional<QString> found =
            locate(metadataRoot, *session + QStringLiteral(".json"), s.limits);
        if (!found)
            return fail(Lookup::unavailable(), QStringLiteral("metadata_missing"));
        metadataPath = *found;
        s.metadataPath = metadataPath;
        s.metadataPathSession = *session;
    }
    OpenedFile metadataFile = openRegularFile(metadataPath);
    if (metadataFile.error == OpenError::notAFile)
        return fail(Lookup::unavailable(), QStringLiteral("metadata_not_a_file"));
    if (metadataFile.error != OpenError::none)
        return fail(Lookup::unavailable(), QStringLiteral("metadata_unreadable"));
    if (qint64(metadataFile.info.st_size) > s.limits.maxMetadataBytes)
        return fail(Lookup::unavailable(), QStringLiteral("metadata_too_large"));
    // Room for the size seen plus one byte, so that a file grown past the limit meanwhile shows.
    const qint64 metadataRoom =
        std::min<qint64>(qint64(metadataFile.info.st_size), s.limits.maxMetadataBytes) + 1;
    QByteArray metadataBytes(metadataRoom, Qt::Uninitialized);
    const qint64 metadataLength = readFully(metadataFile.fd->get(), metadataBytes.data(), metadataRoom);
    metadataFile.fd.reset();
    if (metadataLength < 0)
        return fail(Lookup::unavailable(), QStringLiteral("metadata_unreadable"));
    if (metadataLength > s.limits.maxMetadataBytes)
        return fail(Lookup::unavailable(), QStringLiteral("metadata_too_large"));
    metadataBytes.truncate(metadataLength);
    const std::optional<QJsonObject> metadata = json::parseObject(metadataBytes);
    if (!metadata)
        return fail(Lookup::unverified(), QStringLiteral("metadata_invalid"));
    const json::Field<QString> metadataSession = json::string(*metadata, QStringLiteral("sessionId"));
    if (metadataSession.isWrongType() || (metadataSession.isPresent() && metadataSession.value != *session))
        return fail(Lookup::unverified(), QStringLiteral("metadata_session_mismatch"));
    const json::Field<QString> cliSession = json::string(*metadata, QStringLiteral("cliSessionId"));
    if (!cliSession.isPresent() || !isSafeFileStem(cliSession.value))
        return fail(Lookup::unverified(), QStringLiteral("metadata_invalid; field=cliSessionId"));
    const json::Field<QString> leaf = json::string(*metadata, QStringLiteral("lastAssistantUuid"));
    if (!leaf.isPresent() || leaf.value.isEmpty())
        return fail(Lookup::unverified(), QStringLiteral("metadata_invalid; field=lastAssistantUuid"));

    // The transcript of that command-line session.
    QString transcriptPath;
    if (s.transcriptPath && s.transcriptPathCliSession == cliSession.value &&
        isRegularFile(*s.transcriptPath)) {
        transcriptPath = *s.transcriptPath;
    } else {
        const std::optional<QString> found =
            locate(projectsRoot, cliSession.value + QStringLiteral(".jsonl"), s.limits);
        if (!found)
            return fail(Lookup::unavailable(), QStringLiteral("transcript_missing"));
        transcriptPath = *found;
        s.transcriptPath = transcriptPath;
        s.transcriptPathCliSession = cliSession.value;
    }
    const std::optional<Revision> revision = currentRevision(transcriptPath, leaf.value);
    if (!revision)
        return fail(Lookup::unavailable(), isRegularFile(transcriptPath)
                                               ? QStringLiteral("transcript_unreadable")
                                               : QStringLiteral("transcript_not_a_file"));

    // The branch: cached, parsed now, or parsed in the background.
    const bool sameSession = s.cachedSessionID == *session && s.cachedBranch.has_value();
    bool older = false;
    if (!(sameSession && s.cachedRevision == *revision)) {
        const qint64 sinceLastParseMs = s.lastParseTime.msecsTo(at);
        const bool throttled = sameSession && at.isValid() && sinceLastParseMs >= 0 &&
                               sinceLastParseMs < qint64(s.limits.minimumReparseSeconds * 1000.0);
        if (throttled) {
            older = true;
        } else if (parseImmediately) {
            // One parse at a time: a background one still running is overtaken and stopped.
            s.cancelInFlight();
            s.lastParseTime = at;
            const quint64 generation = s.nextGeneration++;
            s.install(*session, *revision, guardedReadBranch(transcriptPath, leaf.value, s.limits),
                      generation);
        } else {
            if (!s.inFlightGeneration) {
                s.lastParseTime = at;
                const quint64 generation = s.nextGeneration++;
                auto cancel = std::make_shared<std::atomic<bool>>(false);
                s.inFlightGeneration = generation;
                s.inFlightCancel = cancel;
                std::weak_ptr<State> weak = state_;
                const Limits limits = s.limits;
                const QString sessionCopy = *session;
                const Revision revisionCopy = *revision;
                QThreadPool::globalInstance()->start(
                    [weak, cancel, limits, sessionCopy, revisionCopy, generation] {
                        Branch branch = guardedReadBranch(revisionCopy.transcriptPath, revisionCopy.leafUuid,
                                                          limits, cancel.get());
                        QCoreApplication* app = QCoreApplication::instance();
                        if (cancel->load() || !app)
                            return;
                        auto deliver = [weak, sessionCopy, revisionCopy, generation,
                                        branch = std::move(branch)]() mutable {
                            const std::shared_ptr<State> state = weak.lock();
                            if (!state || state->inFlightGeneration != generation)
                                return;
                            state->inFlightGeneration.reset();
                            state->inFlightCancel.reset();
                            // A file that changed while it was read gives a result of no state it was
                            // ever in; the next lookup reads it again.
                            if (currentRevision(revisionCopy.transcriptPath, revisionCopy.leafUuid) !=
                                revisionCopy)
                                return;
                            if (generation < state->installedGeneration)
                                return;
                            state->install(sessionCopy, revisionCopy, std::move(branch), generation);
                        };
                        QMetaObject::invokeMethod(app, std::move(deliver), Qt::QueuedConnection);
                    });
            }
            if (!sameSession)
                return fail(Lookup::unverified(), QStringLiteral("parse_pending"));
            // Meanwhile the previous state of this session's archive still proves what it holds.
            older = true;
        }
    }

    const Branch& branch = *s.cachedBranch;
    if (older)
        summary << QStringLiteral("revision=previous");
    if (branch.badLines > 0)
        summary << QStringLiteral("badLines=") + QString::number(branch.badLines);
    if (branch.invalidUtf8Lines > 0)
        summary << QStringLiteral("invalidUtf8Lines=") + QString::number(branch.invalidUtf8Lines);
    if (branch.longLines > 0)
        summary << QStringLiteral("longLines=") + QString::number(branch.longLines);
    if (branch.partialTail)
        summary << QStringLiteral("partialTail=true");
    if (!branch.failure.isEmpty())
        return fail(Lookup::unverified(), branch.failure);

    const std::vector<Message> extension = connectedTail(branch, observed);
    Combined combined{branch, extension, {}};
    combined.extensionHashes.reserve(extension.size());
    for (const Message& message : extension)
        combined.extensionHashes.push_back(messageHash(message));
    const Verification verification = verify(combined, visible);
    summary << QStringLiteral("archive=") + QString::number(branch.messages.size())
            << QStringLiteral("extended=") + QString::number(extension.size())
            << QStringLiteral("visible=") + QString::number(visible.size())
            << QStringLiteral("anchors=") + QString::number(verification.anchors);
    if (verification.unmatchedAssistant > 0)
        summary << QStringLiteral("unmatchedAssistant=") + QString::number(verification.unmatchedAssistant);
    if (!verification.failure.isEmpty())
        return fail(Lookup::unverified(), verification.failure);

    Snapshot snapshot;
    snapshot.messages.reserve(combined.size());
    snapshot.messages = branch.messages;
    snapshot.messages.insert(snapshot.messages.end(), extension.begin(), extension.end());
    for (const Message& message : snapshot.messages)
        snapshot.userCount += message.role == kUser ? 1 : 0;
    snapshot.lastCreatedAtMs = branch.lastCreatedAtMs;
    snapshot.latestVisibleUserCurrent = verification.current;
    summary << QStringLiteral("current=") + boolText(verification.current);
    summary.prepend(QStringLiteral("status=verified"));
    return finish(Lookup::verified(std::move(snapshot)));
}

} // namespace quillmere::ClaudeLocalConversationArchive
