#include "desktop/observation/ClaudeLocalConversationArchiveTranscript.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHash>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "core/Text.h"
#include "desktop/observation/ClaudeLocalConversationArchiveLines.h"

namespace quillmere::ClaudeLocalConversationArchive {

// ---------------------------------------------------------------------------------------------
// Files

qint64 modifiedNs(const struct stat& info) {
    return qint64(info.st_mtim.tv_sec) * 1000000000LL + qint64(info.st_mtim.tv_nsec);
}

namespace {

const QString kUser = QStringLiteral("user");
const QString kAssistant = QStringLiteral("assistant");
// Consecutive assistant events (text blocks written one per event) read as one reply.
const QString kAssistantJoin = QStringLiteral("\n\n");

constexpr qint64 kChunk = 1 << 20;
// How much of what was read before the old end must be unchanged for a grown file to be read on.
constexpr qint64 kCheckedBytes = 4096;
const QString kChanged = QStringLiteral("transcript_changed");

// Where an event's line lies, and what its outline said.
struct EventLine {
    qint64 offset = 0;
    qint64 length = 0;
    QByteArray parentUuid;
    EventType type = EventType::other;
    bool parsed = false;
    // The kind its content gives, once a duplicate has needed it.
    mutable std::optional<RowKind> kind;
};

// One event of the transcript as the branch walk needs it.
struct IndexedRow : EventLine {
    // The last of the later lines claiming the same id (an index into the duplicates), or -1.
    int lastDuplicate = -1;
};

// A later line claiming the id of an indexed row.
struct DuplicateRow : EventLine {
    int row = 0;
    // The duplicate of the same row before this one, or -1.
    int previous = -1;
};

struct LineCounts {
    qint64 lines = 0;
    qint64 badLines = 0;
    qint64 longLines = 0;
    qint64 invalidUtf8Lines = 0;
};

// What an unfinished last line added; undone before the next read, which reads the line again.
struct Tail {
    bool present = false;
    size_t rows = 0;
    size_t duplicates = 0;
    QByteArray uuid;
    bool counted = false;
    bool partial = false;
};

// The built messages after each position of the branch, so that a longer branch goes on from
// where the last one ended.
struct Checkpoint {
    size_t messages = 0;
    qsizetype lastLength = 0;
    qint64 lastCreatedAtMs = 0;
};

// What a read keeps of a branch row's content.
struct RowText {
    RowKind kind = RowKind::other;
    QString text;
    qint64 createdAtMs = 0;
};

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

} // namespace

size_t messageHash(const Message& message) {
    return keyHash(message.role, message.text);
}

struct TranscriptReading::Data {
    Limits limits;
    QString path;
    bool started = false;
    quint64 device = 0;
    quint64 inode = 0;
    // Bytes read so far, where the next read starts (the unfinished last line, or the end while
    // inside an over-long line), and a hash of the bytes just before the old end.
    qint64 readEnd = 0;
    qint64 resumeAt = 0;
    bool skipping = false;
    qint64 checkFrom = 0;
    QByteArray checkHash;
    bool extended = false;

    QHash<QByteArray, int> byUuid;
    std::vector<IndexedRow> rows;
    std::vector<DuplicateRow> duplicates;
    LineCounts complete;
    Tail tail;

    // The branch built last: its rows root first, the messages and hashes it gave, and the rows
    // that came from finished lines when it was built.
    std::vector<int> chain;
    std::vector<Checkpoint> checkpoints;
    std::vector<Message> messages;
    std::vector<size_t> hashes;
    size_t stableRows = 0;

    void reset() {
        Limits keptLimits = limits;
        *this = Data();
        limits = keptLimits;
    }

    // --- Identity: may the file be read on from where the last read stopped?

    QByteArray hashOf(int fd, qint64 from, qint64 to) const {
        QByteArray bytes(to - from, Qt::Uninitialized);
        if (readFullyAt(fd, bytes.data(), bytes.size(), from) != bytes.size())
            return {};
        return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
    }

    bool onlyGrew(int fd, const struct stat& info) const {
        return started && !checkHash.isEmpty() && quint64(info.st_dev) == device &&
               quint64(info.st_ino) == inode && qint64(info.st_size) >= readEnd &&
               hashOf(fd, checkFrom, readEnd) == checkHash;
    }

    void remember(int fd, const struct stat& info) {
        started = true;
        device = quint64(info.st_dev);
        inode = quint64(info.st_ino);
        checkFrom = std::max<qint64>(0, std::min(resumeAt, readEnd) - kCheckedBytes);
        checkHash = hashOf(fd, checkFrom, readEnd);
    }

    // --- The index

    void undoTail() {
        if (!tail.present)
            return;
        while (duplicates.size() > tail.duplicates) {
            rows[size_t(duplicates.back().row)].lastDuplicate = duplicates.back().previous;
            duplicates.pop_back();
        }
        if (rows.size() > tail.rows) {
            byUuid.remove(tail.uuid);
            rows.resize(tail.rows);
        }
        tail = Tail();
    }

    void addEvent(const LineOutline& outline, qint64 offset, qint64 length) {
        const EventLine line{offset, length, outline.parentUuid, outline.type, outline.parsed, std::nullopt};
        const auto found = byUuid.constFind(outline.uuid);
        if (found != byUuid.constEnd()) {
            IndexedRow& row = rows[size_t(*found)];
            duplicates.push_back(DuplicateRow{line, *found, row.lastDuplicate});
            row.lastDuplicate = int(duplicates.size() - 1);
            return;
        }
        byUuid.insert(outline.uuid, int(rows.size()));
        rows.push_back(IndexedRow{line, -1});
    }

    void indexLine(const char* data, qint64 length, qint64 offset, bool terminated) {
        if (length > 0 && data[length - 1] == '\r')
            --length;
        bool blank = true;
        for (qint64 i = 0; i < length && blank; ++i)
            blank = data[i] == ' ' || data[i] == '\t';
        if (blank)
            return;
        const LineOutline outline = outlineLine(QByteArrayView(data, length));
        if (!terminated) {
            tail.present = true;
            tail.rows = rows.size();
            tail.duplicates = duplicates.size();
            tail.uuid = outline.uuid;
        }
        switch (outline.verdict) {
        case LineVerdict::event:
            addEvent(outline, offset, length);
            [[fallthrough]];
        case LineVerdict::notEvent:
            if (terminated)
                ++complete.lines;
            else
                tail.counted = true;
            break;
        case LineVerdict::invalidUtf8:
        case LineVerdict::bad:
            // The host appends while we read: an unfinished last line is not damage.
            if (!terminated) {
                tail.partial = true;
            } else {
                ++complete.lines;
                ++complete.badLines;
                if (outline.verdict == LineVerdict::invalidUtf8)
                    ++complete.invalidUtf8Lines;
            }
            break;
        }
    }

    // Reads from `resumeAt` to the end of the file, a chunk at a time, holding at most one line
    // (up to the length limit) and a chunk; an over-long line is counted and skipped.
    QString readNewLines(int fd, const std::atomic<bool>* cancel) {
        QByteArray buffer;
        qint64 position = resumeAt;
        qint64 bufferStart = resumeAt; // the file offset of buffer[0]
        qint64 filled = 0;             // bytes of `buffer` in use
        qint64 scanFrom = 0;           // the bytes before this hold no line feed
        for (;;) {
            if (cancel && cancel->load(std::memory_order_relaxed))
                return QStringLiteral("cancelled");
            if (buffer.size() < filled + kChunk)
                buffer.resize(std::max<qint64>(filled + kChunk, qint64(buffer.size()) * 2));
            const qint64 n = readFullyAt(fd, buffer.data() + filled, kChunk, position);
            if (n < 0)
                return QStringLiteral("transcript_unreadable");
            if (n == 0)
                break;
            position += n;
            filled += n;
            const char* data = buffer.constData();
            qint64 start = 0;
            while (const void* found = std::memchr(data + scanFrom, '\n', size_t(filled - scanFrom))) {
                const qint64 end = static_cast<const char*>(found) - data;
                if (skipping)
                    skipping = false;
                else if (end - start > limits.maxLineBytes)
                    ++complete.longLines;
                else
                    indexLine(data + start, end - start, bufferStart + start, true);
                start = end + 1;
                scanFrom = start;
            }
            if (skipping || filled - start > limits.maxLineBytes) {
                // Drop what has been read of an over-long line and everything up to its end.
                if (!skipping)
                    ++complete.longLines;
                skipping = true;
                filled = 0;
                scanFrom = 0;
                bufferStart = position;
                if (buffer.size() > 4 * kChunk)
                    buffer = QByteArray();
                continue;
            }
            if (start > 0) {
                std::memmove(buffer.data(), data + start, size_t(filled - start));
                filled -= start;
                bufferStart += start;
                scanFrom = filled;
                if (buffer.size() > 4 * kChunk && filled < kChunk) {
                    // A long line has passed; give its room back.
                    QByteArray smaller(kChunk * 2, Qt::Uninitialized);
                    std::memcpy(smaller.data(), buffer.constData(), size_t(filled));
                    buffer = std::move(smaller);
                }
            } else {
                scanFrom = filled;
            }
        }
        readEnd = position;
        resumeAt = skipping ? position : bufferStart;
        if (!skipping && filled > 0)
            indexLine(buffer.constData(), filled, bufferStart, false);
        return {};
    }

    // --- Reading rows again

    // The content of a row read again from the file; none when the line is no longer what the
    // index says it was (the file was rewritten under the read).
    std::optional<RowText> contentAt(int fd, qint64 offset, qint64 length, bool parsed,
                                     const QByteArray& uuid, const QByteArray& parentUuid,
                                     EventType type) const {
        QByteArray bytes(length, Qt::Uninitialized);
        if (readFullyAt(fd, bytes.data(), length, offset) != length)
            return std::nullopt;
        return checkedContent(QByteArrayView(bytes), parsed, uuid, parentUuid, type);
    }

    static std::optional<RowText> checkedContent(QByteArrayView line, bool parsed, const QByteArray& uuid,
                                                 const QByteArray& parentUuid, EventType type) {
        RowContent content = readRowContent(line, parsed);
        if (content.outline.verdict != LineVerdict::event || content.outline.uuid != uuid ||
            content.outline.parentUuid != parentUuid || content.outline.type != type)
            return std::nullopt;
        return RowText{content.kind, std::move(content.text), content.createdAtMs};
    }

    // Two events claiming one id with different parents or kinds make any branch through it
    // unprovable; the same event written twice is harmless. Kinds need the rows' content, read
    // only for the branch's rows that have duplicates.
    std::optional<bool> conflicting(int fd, int at, const QByteArray& uuid) const {
        const IndexedRow& row = rows[size_t(at)];
        const auto mayHaveText = [](EventType type) {
            return type == EventType::human || type == EventType::assistant;
        };
        // The kind of a line, read once: lines before the unfinished end never change.
        const auto kindOf = [&](const EventLine& line) -> std::optional<RowKind> {
            if (!line.kind) {
                const std::optional<RowText> content =
                    contentAt(fd, line.offset, line.length, line.parsed, uuid, line.parentUuid, line.type);
                if (!content)
                    return std::nullopt;
                line.kind = content->kind;
            }
            return line.kind;
        };
        for (int index = row.lastDuplicate; index >= 0; index = duplicates[size_t(index)].previous) {
            const DuplicateRow& duplicate = duplicates[size_t(index)];
            if (duplicate.parentUuid != row.parentUuid)
                return true;
            if (!mayHaveText(row.type) && !mayHaveText(duplicate.type))
                continue;
            const std::optional<RowKind> first = kindOf(row);
            const std::optional<RowKind> other = kindOf(duplicate);
            if (!first || !other)
                return std::nullopt;
            if (*other != *first)
                return true;
        }
        return false;
    }

    // --- The branch

    // From the leaf through the parents to the root; the rows root first, or why there is no
    // branch.
    QString walk(int fd, const QString& leafUuid, std::vector<int>& chain) const {
        QByteArray key = leafUuid.toUtf8();
        const auto leaf = byUuid.constFind(key);
        if (leaf == byUuid.constEnd())
            return QStringLiteral("leaf_missing");
        std::vector<bool> onChain(rows.size(), false);
        for (int at = *leaf;;) {
            if (onChain[size_t(at)])
                return QStringLiteral("parent_cycle");
            onChain[size_t(at)] = true;
            chain.push_back(at);
            const IndexedRow& row = rows[size_t(at)];
            if (row.lastDuplicate >= 0) {
                const std::optional<bool> conflict = conflicting(fd, at, key);
                if (!conflict)
                    return kChanged;
                if (*conflict)
                    return QStringLiteral("duplicate_uuid");
            }
            if (row.parentUuid.isEmpty())
                break;
            const auto parent = byUuid.constFind(row.parentUuid);
            if (parent == byUuid.constEnd())
                return QStringLiteral("missing_parent");
            key = row.parentUuid;
            at = *parent;
        }
        std::reverse(chain.begin(), chain.end());
        return {};
    }

    // Goes back to the messages built from the first `keep` rows of the last branch.
    void restore(size_t keep) {
        checkpoints.resize(keep);
        if (keep == 0) {
            messages.clear();
            hashes.clear();
            return;
        }
        const Checkpoint& checkpoint = checkpoints.back();
        messages.resize(checkpoint.messages);
        if (!messages.empty())
            messages.back().text.truncate(checkpoint.lastLength);
        // The last message may grow by the rows that follow; its hash is computed again.
        hashes.resize(std::min(hashes.size(), checkpoint.messages == 0 ? 0 : checkpoint.messages - 1));
    }

    // The texts of the branch's requests and replies from position `from` on, read again from the
    // file in offset order, a window of lines at a time.
    QString readTexts(int fd, size_t from, const QByteArray& leafKey, const std::atomic<bool>* cancel,
                      std::vector<RowText>& texts) const {
        std::vector<std::pair<qint64, size_t>> needed;
        for (size_t position = from; position < chain.size(); ++position) {
            const EventType type = rows[size_t(chain[position])].type;
            if (type == EventType::human || type == EventType::assistant)
                needed.emplace_back(rows[size_t(chain[position])].offset, position);
        }
        std::sort(needed.begin(), needed.end());
        texts.resize(chain.size() - from);
        QByteArray window;
        qint64 windowStart = 0;
        qint64 windowEnd = 0;
        for (const auto& [offset, position] : needed) {
            const IndexedRow& row = rows[size_t(chain[position])];
            if (offset < windowStart || offset + row.length > windowEnd) {
                if (cancel && cancel->load(std::memory_order_relaxed))
                    return QStringLiteral("cancelled");
                const qint64 size = std::max(row.length, std::min(kChunk, readEnd - offset));
                window.resize(size);
                const qint64 n = readFullyAt(fd, window.data(), size, offset);
                if (n < row.length)
                    return kChanged;
                windowStart = offset;
                windowEnd = offset + n;
            }
            const QByteArray& uuid =
                position + 1 < chain.size() ? rows[size_t(chain[position + 1])].parentUuid : leafKey;
            std::optional<RowText> text =
                checkedContent(QByteArrayView(window.constData() + (offset - windowStart), row.length),
                               row.parsed, uuid, row.parentUuid, row.type);
            if (!text)
                return kChanged;
            texts[position - from] = std::move(*text);
        }
        return {};
    }

    // Turns the rows from position `from` on into messages: a person's requests, and replies where
    // consecutive reply events read as one.
    void appendMessages(size_t from, std::vector<RowText>& texts) {
        qint64 lastCreatedAtMs = checkpoints.empty() ? 0 : checkpoints.back().lastCreatedAtMs;
        // The reply being joined: its events' texts are gathered and joined once, at their exact
        // size, when the reply ends. Joining them event by event would copy the reply so far for
        // every event, which a long reply of many events makes quadratic.
        std::vector<QString> parts;
        qsizetype joinedLength = 0;
        const auto finishReply = [&] {
            if (parts.size() > 1) {
                QString joined;
                joined.reserve(joinedLength);
                for (size_t i = 0; i < parts.size(); ++i) {
                    if (i > 0)
                        joined += kAssistantJoin;
                    joined += parts[i];
                }
                messages.back().text = std::move(joined);
            }
            parts.clear();
        };
        for (size_t position = from; position < chain.size(); ++position) {
            RowText& row = texts[position - from];
            if (row.kind != RowKind::other && !text::isBlank(row.text)) {
                const QString& role = row.kind == RowKind::human ? kUser : kAssistant;
                if (role == kAssistant && !messages.empty() && messages.back().role == kAssistant) {
                    if (parts.empty()) {
                        parts.push_back(messages.back().text);
                        joinedLength = parts.back().size();
                    }
                    joinedLength += kAssistantJoin.size() + row.text.size();
                    parts.push_back(std::move(row.text));
                    row.text = QString();
                } else {
                    finishReply();
                    messages.push_back(Message{role, std::move(row.text)});
                }
                if (row.createdAtMs != 0)
                    lastCreatedAtMs = row.createdAtMs;
            }
            // The last message's length as joined so far: a later read that goes back to this
            // row cuts the joined text there.
            const qsizetype lastLength = !parts.empty()     ? joinedLength
                                         : messages.empty() ? 0
                                                            : messages.back().text.size();
            checkpoints.push_back(Checkpoint{messages.size(), lastLength, lastCreatedAtMs});
        }
        finishReply();
        for (size_t i = hashes.size(); i < messages.size(); ++i)
            hashes.push_back(messageHash(messages[i]));
    }

    void forgetBranch() {
        chain.clear();
        checkpoints.clear();
        messages.clear();
        hashes.clear();
        stableRows = 0;
    }

    void buildBranch(int fd, const QString& leafUuid, const std::atomic<bool>* cancel, Branch& out) {
        std::vector<int> newChain;
        out.failure = walk(fd, leafUuid, newChain);
        if (!out.failure.isEmpty()) {
            forgetBranch();
            return;
        }
        // The rows the last branch shares with this one keep their messages, except a row of an
        // unfinished line, which may have been read differently then.
        size_t keep = 0;
        while (keep < chain.size() && keep < newChain.size() && chain[keep] == newChain[keep] &&
               size_t(chain[keep]) < stableRows)
            ++keep;
        restore(keep);
        chain = std::move(newChain);
        std::vector<RowText> texts;
        out.failure = readTexts(fd, keep, leafUuid.toUtf8(), cancel, texts);
        if (!out.failure.isEmpty()) {
            forgetBranch();
            return;
        }
        appendMessages(keep, texts);
        stableRows = tail.present ? tail.rows : rows.size();
        out.messages = MessageList(messages);
        out.messageHashes = hashes;
        out.lastCreatedAtMs = checkpoints.empty() ? 0 : checkpoints.back().lastCreatedAtMs;
        if (out.messages.empty())
            out.failure = QStringLiteral("empty_branch");
    }

    Branch readOnce(const QString& transcriptPath, const QString& leafUuid, const Limits& newLimits,
                    const std::atomic<bool>* cancel) {
        Branch out;
        const RegularFile::Opened file = RegularFile::open(transcriptPath);
        if (file.problem() != RegularFile::Problem::none) {
            reset();
            out.failure = file.problem() == RegularFile::Problem::notRegular
                              ? QStringLiteral("transcript_not_a_file")
                              : QStringLiteral("transcript_unreadable");
            return out;
        }
        const int fd = file.fd();
        extended = path == transcriptPath && limits.maxLineBytes == newLimits.maxLineBytes &&
                   onlyGrew(fd, file.info());
        if (!extended)
            reset();
        path = transcriptPath;
        limits = newLimits;
        undoTail();
        out.failure = readNewLines(fd, cancel);
        if (!out.failure.isEmpty()) {
            reset();
            return out;
        }
        remember(fd, file.info());
        out.lines = complete.lines + (tail.counted ? 1 : 0);
        out.badLines = complete.badLines;
        out.longLines = complete.longLines;
        out.invalidUtf8Lines = complete.invalidUtf8Lines;
        out.partialTail = tail.partial;
        buildBranch(fd, leafUuid, cancel, out);
        if (out.failure == QStringLiteral("cancelled"))
            reset();
        return out;
    }
};

// ---------------------------------------------------------------------------------------------

TranscriptReading::TranscriptReading() : d_(std::make_unique<Data>()) {}
TranscriptReading::~TranscriptReading() = default;

Branch TranscriptReading::read(const QString& transcriptPath, const QString& leafUuid, const Limits& limits,
                               const std::atomic<bool>* cancel) {
    // A file rewritten under the read is read once more from the start.
    Branch out = d_->readOnce(transcriptPath, leafUuid, limits, cancel);
    if (out.failure == kChanged) {
        d_->reset();
        out = d_->readOnce(transcriptPath, leafUuid, limits, cancel);
    }
    return out;
}

bool TranscriptReading::lastReadExtended() const {
    return d_->extended;
}

void TranscriptReading::clear() {
    d_->reset();
}

} // namespace quillmere::ClaudeLocalConversationArchive
