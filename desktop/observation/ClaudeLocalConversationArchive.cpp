#include "desktop/observation/ClaudeLocalConversationArchive.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonObject>
#include <QMetaObject>
#include <QStringList>
#include <QThreadPool>
#include <QUrl>
#include <algorithm>
#include <deque>
#include <exception>
#include <sys/stat.h>
#include <utility>

#include "core/HostConstants.h"
#include "core/Json.h"
#include "core/Text.h"
#include "desktop/observation/ClaudeLocalConversationArchiveTranscript.h"

namespace quillmere::ClaudeLocalConversationArchive {

namespace {

const QString kUser = QStringLiteral("user");

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

// The comparison key of a message: what a person reads, so white space runs and the way accents
// were typed make no difference.
QString matchKey(const QString& text) {
    return text::canonical(ConversationText::normalize(text));
}

// ---------------------------------------------------------------------------------------------
// Verification

// How often each request occurs on a branch, by comparison hash, and where its last request is:
// counted once per parse rather than on every lookup.
struct UserIndex {
    QHash<size_t, int> counts;
    std::optional<size_t> last;
};

UserIndex indexUsers(const Branch& branch) {
    UserIndex index;
    for (size_t i = 0; i < branch.messages.size(); ++i) {
        if (branch.messages[i].role == kUser) {
            index.counts[branch.messageHashes[i]] += 1;
            index.last = i;
        }
    }
    return index;
}

struct Combined {
    const Branch& archive;
    const UserIndex& archiveUsers;
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

// Where the observed messages continue the archive: the latest observed message that equals the
// archive's last one with at least the message before it equal too (a user turn and its reply, or
// the whole archive when it is shorter), and a user message among those that agree. The observed
// messages after it are turns the host has shown but not yet written. Empty when they do not
// connect.
//
// The remembered messages are usually the archive itself, tens of thousands of them, and a lookup
// runs on every read: so an observed message is hashed only when it is compared (a role that
// differs settles it first), and the comparison stops as soon as the connection is proven.
std::vector<Message> connectedTail(const Branch& archive, const MessageList& observed) {
    const auto& messages = archive.messages;
    if (messages.empty() || observed.size() < 2)
        return {};
    std::vector<std::optional<size_t>> observedHashes(observed.size());
    const auto agrees = [&](size_t o, size_t a) {
        if (observed[o].role != messages[a].role)
            return false;
        std::optional<size_t>& hash = observedHashes[o];
        if (!hash)
            hash = messageHash(observed[o]);
        return sameMessage(observed[o], *hash, messages[a], archive.messageHashes[a]);
    };
    const size_t needed = std::min<size_t>(2, messages.size());
    for (size_t p = observed.size(); p-- > 0;) {
        size_t agreed = 0;
        bool sawUser = false;
        while (agreed <= p && agreed < messages.size() && !(agreed >= needed && sawUser)) {
            const size_t a = messages.size() - 1 - agreed;
            if (!agrees(p - agreed, a))
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
Verification verify(const Combined& combined, const MessageList& visible) {
    Verification out;
    if (visible.empty()) {
        out.failure = QStringLiteral("no_visible_messages");
        return out;
    }
    QHash<size_t, int> extensionUserCounts;
    size_t lastUser = combined.archiveUsers.last.value_or(combined.size());
    for (size_t i = combined.archive.messages.size(); i < combined.size(); ++i) {
        if (combined.at(i).role == kUser) {
            extensionUserCounts[combined.hash(i)] += 1;
            lastUser = i;
        }
    }
    const auto userCount = [&](size_t hash) {
        return combined.archiveUsers.counts.value(hash) + extensionUserCounts.value(hash);
    };
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
        unique = unique || userCount(hash) == 1;
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
    return TranscriptReading().read(transcriptPath, leafUuid, limits, cancel);
}

// ---------------------------------------------------------------------------------------------
// Metadata

MetadataReading parseMetadata(const QByteArray& bytes, const QString& session) {
    MetadataReading out;
    const std::optional<QJsonObject> metadata = json::parseObject(bytes);
    if (!metadata) {
        out.failure = QStringLiteral("metadata_invalid");
        return out;
    }
    const json::Field<QString> metadataSession = json::string(*metadata, QStringLiteral("sessionId"));
    if (metadataSession.isWrongType() || (metadataSession.isPresent() && metadataSession.value != session)) {
        out.failure = QStringLiteral("metadata_session_mismatch");
        return out;
    }
    const json::Field<QString> cliSession = json::string(*metadata, QStringLiteral("cliSessionId"));
    if (!cliSession.isPresent() || !isSafeFileStem(cliSession.value)) {
        out.failure = QStringLiteral("metadata_invalid; field=cliSessionId");
        return out;
    }
    const json::Field<QString> leaf = json::string(*metadata, QStringLiteral("lastAssistantUuid"));
    if (!leaf.isPresent() || leaf.value.isEmpty()) {
        out.failure = QStringLiteral("metadata_invalid; field=lastAssistantUuid");
        return out;
    }
    out.metadata = Metadata{cliSession.value, leaf.value};
    return out;
}

// ---------------------------------------------------------------------------------------------
// Reader

namespace {

// One lookup's summary lines, and the refusal that ended it early, if one did.
struct LookupRun {
    QStringList summary;
    std::optional<Lookup> refusal;

    // Ends the lookup: the status and the reason lead the summary.
    void refuse(Lookup result, const QString& reason) {
        summary.prepend(QStringLiteral("reason=") + reason);
        summary.prepend(result.kind() == Lookup::Kind::unavailable ? QStringLiteral("status=unavailable")
                                                                   : QStringLiteral("status=unverified"));
        refusal = std::move(result);
    }
};

// A parse runs inside an event-loop callback or on a worker thread, where nothing may escape; an
// allocation failure on a hostile file becomes a failed parse.
Branch guardedRead(TranscriptReading& reading, const QString& transcriptPath, const QString& leafUuid,
                   const Limits& limits, const std::atomic<bool>* cancel = nullptr) {
    try {
        return reading.read(transcriptPath, leafUuid, limits, cancel);
    } catch (const std::exception&) {
        reading.clear();
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

// The branch's read statistics as summary lines.
void describeRead(const Branch& branch, QStringList& summary) {
    if (branch.badLines > 0)
        summary << QStringLiteral("badLines=") + QString::number(branch.badLines);
    if (branch.invalidUtf8Lines > 0)
        summary << QStringLiteral("invalidUtf8Lines=") + QString::number(branch.invalidUtf8Lines);
    if (branch.longLines > 0)
        summary << QStringLiteral("longLines=") + QString::number(branch.longLines);
    if (branch.partialTail)
        summary << QStringLiteral("partialTail=true");
}

} // namespace

struct Reader::State : std::enable_shared_from_this<Reader::State> {
    Limits limits;
    QString summary = QStringLiteral("not_checked");
    std::optional<QString> cachedSessionID;
    std::optional<Revision> cachedRevision;
    std::optional<Branch> cachedBranch;
    UserIndex cachedUsers;
    QDateTime lastParseTime = Reader::distantPast();
    std::optional<QString> metadataPath;
    std::optional<QString> transcriptPath;
    // Where the last search found each file, to skip the folder walk while it stays there.
    QString metadataPathSession;
    QString transcriptPathCliSession;
    // What was read of the transcript, so that a grown one is read by its new bytes; away while a
    // background parse has it.
    std::shared_ptr<TranscriptReading> reading = std::make_shared<TranscriptReading>();

    // What the last verification against a window was given and what it answered, so that the
    // same window over the same branch is answered again without comparing a message. The
    // remembered messages count as the same only when they are the very same list.
    struct Verified {
        quint64 generation = 0;
        MessageList visible;
        MessageList observed;
        QStringList summary; // the lines the verification added
        QString failure;     // why it was refused; empty when verified
        std::optional<Snapshot> snapshot;
        // The observed turns that extended the branch, and the list they made with it.
        std::vector<Message> extension;
        MessageList combined;
    };
    std::optional<Verified> lastVerified;
    bool lastUnchanged = false;

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
        cachedUsers = indexUsers(*cachedBranch);
        installedGeneration = generation;
    }

    std::shared_ptr<TranscriptReading> takeReading() {
        std::shared_ptr<TranscriptReading> taken = std::move(reading);
        reading.reset();
        return taken ? taken : std::make_shared<TranscriptReading>();
    }

    // --- The steps of a lookup, in order

    // Which file holds the desktop session's metadata: where it was last time, or a search.
    std::optional<QString> findMetadata(LookupRun& run, const QString& session, const QString& metadataRoot) {
        if (metadataPath && metadataPathSession == session && isRegularFile(*metadataPath))
            return *metadataPath;
        const std::optional<QString> found = locate(metadataRoot, session + QStringLiteral(".json"), limits);
        if (!found) {
            run.refuse(Lookup::unavailable(), QStringLiteral("metadata_missing"));
            return std::nullopt;
        }
        metadataPath = *found;
        metadataPathSession = session;
        return found;
    }

    // The metadata: which command-line session, and which event ends the active branch.
    std::optional<Metadata> readMetadata(LookupRun& run, const QString& session, const QString& path) {
        RegularFile::Opened file = RegularFile::open(path);
        if (file.problem() == RegularFile::Problem::notRegular) {
            run.refuse(Lookup::unavailable(), QStringLiteral("metadata_not_a_file"));
            return std::nullopt;
        }
        if (file.problem() != RegularFile::Problem::none) {
            run.refuse(Lookup::unavailable(), QStringLiteral("metadata_unreadable"));
            return std::nullopt;
        }
        if (qint64(file.info().st_size) > limits.maxMetadataBytes) {
            run.refuse(Lookup::unavailable(), QStringLiteral("metadata_too_large"));
            return std::nullopt;
        }
        // Room for the size seen plus one byte, so that a file grown past the limit meanwhile shows.
        const qint64 room = std::min<qint64>(qint64(file.info().st_size), limits.maxMetadataBytes) + 1;
        QByteArray bytes(room, Qt::Uninitialized);
        const qint64 length = readFullyAt(file.fd(), bytes.data(), room, 0);
        file = RegularFile::Opened();
        if (length < 0 || length > limits.maxMetadataBytes) {
            run.refuse(Lookup::unavailable(), length < 0 ? QStringLiteral("metadata_unreadable")
                                                         : QStringLiteral("metadata_too_large"));
            return std::nullopt;
        }
        bytes.truncate(length);
        MetadataReading parsed = parseMetadata(bytes, session);
        if (!parsed.metadata)
            run.refuse(Lookup::unverified(), parsed.failure);
        return parsed.metadata;
    }

    // The transcript of the command-line session, and the state it is in now.
    std::optional<Revision> findTranscript(LookupRun& run, const Metadata& metadata,
                                           const QString& projectsRoot) {
        QString path;
        if (transcriptPath && transcriptPathCliSession == metadata.cliSessionID &&
            isRegularFile(*transcriptPath)) {
            path = *transcriptPath;
        } else {
            const std::optional<QString> found =
                locate(projectsRoot, metadata.cliSessionID + QStringLiteral(".jsonl"), limits);
            if (!found) {
                run.refuse(Lookup::unavailable(), QStringLiteral("transcript_missing"));
                return std::nullopt;
            }
            path = *found;
            transcriptPath = path;
            transcriptPathCliSession = metadata.cliSessionID;
        }
        const std::optional<Revision> revision = currentRevision(path, metadata.leafUuid);
        if (!revision)
            run.refuse(Lookup::unavailable(), isRegularFile(path) ? QStringLiteral("transcript_unreadable")
                                                                  : QStringLiteral("transcript_not_a_file"));
        return revision;
    }

    void parseNow(const QString& session, const Revision& revision, const QDateTime& at) {
        // One parse at a time: a background one still running is overtaken and stopped.
        cancelInFlight();
        lastParseTime = at;
        const quint64 generation = nextGeneration++;
        std::shared_ptr<TranscriptReading> taken = takeReading();
        Branch branch = guardedRead(*taken, revision.transcriptPath, revision.leafUuid, limits);
        reading = std::move(taken);
        install(session, revision, std::move(branch), generation);
    }

    void parseInBackground(const QString& session, const Revision& revision, const QDateTime& at) {
        lastParseTime = at;
        const quint64 generation = nextGeneration++;
        auto cancel = std::make_shared<std::atomic<bool>>(false);
        inFlightGeneration = generation;
        inFlightCancel = cancel;
        std::weak_ptr<State> weak = weak_from_this();
        std::shared_ptr<TranscriptReading> taken = takeReading();
        const Limits copiedLimits = limits;
        QThreadPool::globalInstance()->start([weak, cancel, copiedLimits, session, revision, generation,
                                              taken] {
            Branch branch =
                guardedRead(*taken, revision.transcriptPath, revision.leafUuid, copiedLimits, cancel.get());
            QCoreApplication* app = QCoreApplication::instance();
            if (cancel->load() || !app)
                return;
            auto deliver = [weak, session, revision, generation, taken,
                            branch = std::move(branch)]() mutable {
                const std::shared_ptr<State> state = weak.lock();
                if (!state || state->inFlightGeneration != generation)
                    return;
                state->inFlightGeneration.reset();
                state->inFlightCancel.reset();
                // What was read stays useful for the next read even when this result is dropped.
                if (!state->reading)
                    state->reading = taken;
                // A file that changed while it was read gives a result of no state it was ever in;
                // the next lookup reads it again.
                if (currentRevision(revision.transcriptPath, revision.leafUuid) != revision)
                    return;
                if (generation < state->installedGeneration)
                    return;
                state->install(session, revision, std::move(branch), generation);
            };
            QMetaObject::invokeMethod(app, std::move(deliver), Qt::QueuedConnection);
        });
    }

    // The branch for this revision: cached, parsed now, or parsed in the background while the
    // previous state of the same session answers. None (with the lookup refused) when there is
    // nothing to answer from yet; otherwise whether the answer comes from a previous revision.
    std::optional<bool> ensureBranch(LookupRun& run, const QString& session, const Revision& revision,
                                     const QDateTime& at, bool parseImmediately) {
        const bool sameSession = cachedSessionID == session && cachedBranch.has_value();
        if (sameSession && cachedRevision == revision)
            return false;
        const qint64 sinceLastParseMs = lastParseTime.msecsTo(at);
        const bool throttled = sameSession && at.isValid() && sinceLastParseMs >= 0 &&
                               sinceLastParseMs < qint64(limits.minimumReparseSeconds * 1000.0);
        if (throttled)
            return true;
        if (parseImmediately) {
            parseNow(session, revision, at);
            return false;
        }
        if (!inFlightGeneration)
            parseInBackground(session, revision, at);
        if (!sameSession) {
            run.refuse(Lookup::unverified(), QStringLiteral("parse_pending"));
            return std::nullopt;
        }
        // Meanwhile the previous state of this session's archive still proves what it holds.
        return true;
    }

    // Whether the window's messages prove the branch is this window's conversation, and the
    // snapshot it gives when they do.
    Lookup verifyAgainstWindow(LookupRun& run, const Branch& branch, const MessageList& visible,
                               const MessageList& observed) {
        if (lastVerified && lastVerified->generation == installedGeneration &&
            lastVerified->observed.isSameListAs(observed) && lastVerified->visible == visible) {
            lastUnchanged = true;
            return answer(run, *lastVerified);
        }
        Verified verified;
        verified.generation = installedGeneration;
        verified.visible = visible;
        verified.observed = observed;
        verified.extension = connectedTail(branch, observed);
        const std::vector<Message>& extension = verified.extension;
        Combined combined{branch, cachedUsers, extension, {}};
        combined.extensionHashes.reserve(extension.size());
        for (const Message& message : extension)
            combined.extensionHashes.push_back(messageHash(message));
        const Verification verification = verify(combined, visible);
        verified.summary << QStringLiteral("archive=") + QString::number(branch.messages.size())
                         << QStringLiteral("extended=") + QString::number(extension.size())
                         << QStringLiteral("visible=") + QString::number(visible.size())
                         << QStringLiteral("anchors=") + QString::number(verification.anchors);
        if (verification.unmatchedAssistant > 0)
            verified.summary << QStringLiteral("unmatchedAssistant=") +
                                    QString::number(verification.unmatchedAssistant);
        verified.failure = verification.failure;
        if (verification.failure.isEmpty()) {
            // The branch itself when nothing extends it; the same extension of the same branch
            // gives the list it gave before.
            if (extension.empty()) {
                verified.combined = branch.messages;
            } else if (lastVerified && lastVerified->generation == installedGeneration &&
                       lastVerified->extension == extension) {
                verified.combined = lastVerified->combined;
            } else {
                std::vector<Message> messages;
                messages.reserve(combined.size());
                messages.insert(messages.end(), branch.messages.begin(), branch.messages.end());
                messages.insert(messages.end(), extension.begin(), extension.end());
                verified.combined = std::move(messages);
            }
            Snapshot snapshot;
            snapshot.messages = verified.combined;
            snapshot.userCount = snapshot.messages.userCount();
            snapshot.lastCreatedAtMs = branch.lastCreatedAtMs;
            snapshot.latestVisibleUserCurrent = verification.current;
            verified.summary << QStringLiteral("current=") + boolText(verification.current);
            verified.snapshot = std::move(snapshot);
        }
        lastVerified = std::move(verified);
        return answer(run, *lastVerified);
    }

    // The lookup's answer from a verification.
    static Lookup answer(LookupRun& run, const Verified& verified) {
        run.summary << verified.summary;
        if (!verified.failure.isEmpty()) {
            run.refuse(Lookup::unverified(), verified.failure);
            return *run.refusal;
        }
        run.summary.prepend(QStringLiteral("status=verified"));
        return Lookup::verified(*verified.snapshot);
    }

    Lookup lookup(LookupRun& run, const QString& document, const MessageList& visible,
                  const MessageList& observed, const QString& metadataRoot, const QString& projectsRoot,
                  const QDateTime& at, bool parseImmediately) {
        lastUnchanged = false;
        const std::optional<QString> session = sessionID(document);
        if (!session) {
            run.refuse(Lookup::unavailable(), QStringLiteral("not_claude_code_session"));
            return *run.refusal;
        }
        run.summary << QStringLiteral("session=") + *session;
        const std::optional<QString> metadataFile = findMetadata(run, *session, metadataRoot);
        const std::optional<Metadata> metadata =
            metadataFile ? readMetadata(run, *session, *metadataFile) : std::nullopt;
        const std::optional<Revision> revision =
            metadata ? findTranscript(run, *metadata, projectsRoot) : std::nullopt;
        const std::optional<bool> older =
            revision ? ensureBranch(run, *session, *revision, at, parseImmediately) : std::nullopt;
        if (!older)
            return *run.refusal;

        const Branch& branch = *cachedBranch;
        if (*older)
            run.summary << QStringLiteral("revision=previous");
        describeRead(branch, run.summary);
        if (!branch.failure.isEmpty()) {
            run.refuse(Lookup::unverified(), branch.failure);
            return *run.refusal;
        }
        return verifyAgainstWindow(run, branch, visible, observed);
    }
};

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

bool Reader::lastLookupUnchanged() const {
    return state_->lastUnchanged;
}

std::optional<Snapshot> Reader::cachedSnapshot() const {
    const auto& branch = state_->cachedBranch;
    if (!branch || !branch->failure.isEmpty())
        return std::nullopt;
    Snapshot snapshot;
    snapshot.messages = branch->messages;
    snapshot.userCount = snapshot.messages.userCount();
    snapshot.lastCreatedAtMs = branch->lastCreatedAtMs;
    return snapshot;
}

Lookup Reader::lookup(const QString& document, const MessageList& visible, const MessageList& observed,
                      const QString& metadataRoot, const QString& projectsRoot, const QDateTime& at,
                      bool parseImmediately) {
    LookupRun run;
    Lookup result =
        state_->lookup(run, document, visible, observed, metadataRoot, projectsRoot, at, parseImmediately);
    state_->summary = run.summary.join(QStringLiteral("; "));
    return result;
}

} // namespace quillmere::ClaudeLocalConversationArchive
