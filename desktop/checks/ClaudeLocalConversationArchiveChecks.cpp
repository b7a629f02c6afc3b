#include "desktop/checks/ClaudeLocalConversationArchiveChecks.h"

#include "core/ClaudeModelAvailability.h"
#include "core/ConversationText.h"
#include "core/Json.h"
#include "desktop/checks/ScratchDirectory.h"
#include "desktop/classification/ClassificationService.h"
#include "desktop/observation/ClaudeLocalConversationArchive.h"
#include "desktop/observation/ClaudeWindowTracker.h"
#include "desktop/records/ConversationSnapshot.h"
#include "platform/time/Clock.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <exception>
#include <optional>
#include <vector>

namespace quillmere::ClaudeLocalConversationArchiveChecks {

namespace {

namespace Archive = ClaudeLocalConversationArchive;
using Archive::Lookup;
using Message = ConversationText::Message;
using Messages = MessageList;

const QString desktopSession = QStringLiteral("local_11111111-1111-4111-8111-111111111111");
const QString cliSession = QStringLiteral("22222222-2222-4222-8222-222222222222");
const QString sessionDocument = QStringLiteral("https://claude.ai/epitaxy/") + desktopSession;
const QString ordinaryDocument = QStringLiteral("https://claude.ai/chat/ordinary-chat");

const QString joinedThirdReply = QStringLiteral("First progress block.\n\nFinal third response.");
const QString shortRequest = QStringLiteral("\u05EA\u05E1\u05D9\u05E8"); // "תסיר"
const QString shortReply = QStringLiteral("The button is removed from the page.");

// Row 10's time: 2026-09-29T08:00:10Z.
constexpr qint64 fourthReplyCreatedAtMs = 1790668810000;

QString eventUuid(int n) {
    return QStringLiteral("33333333-3333-4333-8333-%1").arg(n, 12, 10, QLatin1Char('0'));
}

QString requirement(int n) {
    return QStringLiteral("Implement the distinct dashboard requirement %1 in this project").arg(n);
}

Message user(const QString& text) {
    return {QStringLiteral("user"), text};
}

Message assistant(const QString& text) {
    return {QStringLiteral("assistant"), text};
}

// One transcript event. A request a person typed carries the human origin and a plain string; replies and
// tool results carry text blocks.
json::Value row(int n, int parent, const QString& type, const QString& text, bool human) {
    json::Object object{
        {QStringLiteral("uuid"), eventUuid(n)},
        {QStringLiteral("parentUuid"), parent > 0 ? json::Value(eventUuid(parent)) : json::Value()},
        {QStringLiteral("sessionId"), cliSession},
        {QStringLiteral("type"), type},
        {QStringLiteral("timestamp"),
         QStringLiteral("2026-09-29T08:00:%1.000Z").arg(n, 2, 10, QLatin1Char('0'))},
        {QStringLiteral("message"),
         json::Object{
             {QStringLiteral("content"),
              human ? json::Value(text)
                    : json::Value(json::Array{json::Object{{QStringLiteral("type"), QStringLiteral("text")},
                                                           {QStringLiteral("text"), text}}})}}},
    };
    if (human)
        object.emplace_back(QStringLiteral("origin"),
                            json::Object{{QStringLiteral("kind"), QStringLiteral("human")}});
    return object;
}

json::Value humanRow(int n, int parent, const QString& text) {
    return row(n, parent, QStringLiteral("user"), text, true);
}

json::Value replyRow(int n, int parent, const QString& text) {
    return row(n, parent, QStringLiteral("assistant"), text, false);
}

// Rows 1-12: the active branch 1-10 (6 a tool result, 7 and 8 two events of one reply) and a fork 11-12 off
// its end that the metadata never names.
std::vector<json::Value> firstRows() {
    return {humanRow(1, 0, requirement(1)),
            replyRow(2, 1, QStringLiteral("Plan for the first requirement.")),
            humanRow(3, 2, requirement(2)),
            replyRow(4, 3, QStringLiteral("Implemented the second requirement.")),
            humanRow(5, 4, requirement(3)),
            row(6, 5, QStringLiteral("user"), QStringLiteral("Tool output is not a person"), false),
            replyRow(7, 6, QStringLiteral("First progress block.")),
            replyRow(8, 7, QStringLiteral("Final third response.")),
            humanRow(9, 8, requirement(4)),
            replyRow(10, 9, QStringLiteral("Fourth response.")),
            humanRow(11, 10, QStringLiteral("Different branch requirement")),
            replyRow(12, 11, QStringLiteral("Different branch response."))};
}

// The branch ending at row 10, old to new.
Messages firstBranch() {
    return {user(requirement(1)), assistant(QStringLiteral("Plan for the first requirement.")),
            user(requirement(2)), assistant(QStringLiteral("Implemented the second requirement.")),
            user(requirement(3)), assistant(joinedThirdReply),
            user(requirement(4)), assistant(QStringLiteral("Fourth response."))};
}

Messages observedTail() {
    return {user(requirement(4)), assistant(QStringLiteral("Fourth response.")),
            user(requirement(5)), assistant(QStringLiteral("Fifth response.")),
            user(shortRequest),   assistant(shortReply)};
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const bool written = file.write(bytes) == bytes.size();
    file.close();
    return written && file.error() == QFileDevice::NoError;
}

// The session's two files, rewritten in place as the host does while it works.
class SessionFiles {
public:
    explicit SessionFiles(const checks::ScratchDirectory& root)
        : metadataRoot_(root.filePath(QStringLiteral("sessions"))),
          projectsRoot_(root.filePath(QStringLiteral("projects"))),
          metadataFolder_(root.filePath(QStringLiteral("sessions/outer/inner"))),
          transcriptFolder_(root.filePath(QStringLiteral("projects/workspace"))) {
        ready_ = root.created() && QDir().mkpath(metadataFolder_) && QDir().mkpath(transcriptFolder_);
    }

    const QString& metadataRoot() const { return metadataRoot_; }
    const QString& projectsRoot() const { return projectsRoot_; }

    // Whether the file was written.
    bool writeMetadata(const QString& leaf) const {
        const json::Object metadata{{QStringLiteral("sessionId"), desktopSession},
                                    {QStringLiteral("cliSessionId"), cliSession},
                                    {QStringLiteral("lastAssistantUuid"), leaf},
                                    {QStringLiteral("completedTurns"), 5}};
        return ready_ && writeFile(QDir(metadataFolder_).filePath(desktopSession + QStringLiteral(".json")),
                                   json::write(metadata));
    }

    // Whether the file was written: every row on its own line, each line ended by a line feed.
    bool writeRows(const std::vector<json::Value>& rows) const {
        QByteArray bytes;
        for (const json::Value& value : rows)
            bytes += json::write(value) + '\n';
        return ready_ &&
               writeFile(QDir(transcriptFolder_).filePath(cliSession + QStringLiteral(".jsonl")), bytes);
    }

private:
    QString metadataRoot_;
    QString projectsRoot_;
    QString metadataFolder_;
    QString transcriptFolder_;
    bool ready_ = false;
};

// The Claude conversation the window tracker would hand to the classifier for this session. The request
// builder refuses a current setting that no fresh picker reading vouches for, so the reading that showed
// Sonnet 5.5 High selected is part of the conversation.
ClaudeWindowTrackerConversationSnapshot claudeSnapshot(const Messages& messages) {
    const QString modelID = QStringLiteral("claude-sonnet-5-5");
    const QString conversation = QStringLiteral("claude-code|session:") + desktopSession;
    ClaudeWindowTrackerConversationSnapshot snapshot;
    snapshot.provider = AIProvider::claude;
    snapshot.messages = messages;
    snapshot.currentModel = QStringLiteral("sonnet");
    snapshot.currentModelID = modelID;
    snapshot.currentEffort = QStringLiteral("high");
    snapshot.currentExtended = false;
    snapshot.currentSettingKnown = true;
    snapshot.conversationID = conversation;
    ClaudeModelAvailability availability;
    availability.update(42, modelID, {}, conversation, ClaudeModelAvailability::MenuState::closed,
                        QStringLiteral("high"), std::nullopt, Clock::system().uptime());
    snapshot.claudeAvailability = availability.evidence();
    return snapshot;
}

// Whether the request body carries the whole branch, old to new.
bool requestCarriesBranch(const Archive::Snapshot& archived) {
    QByteArray body;
    try {
        body = ClassificationService::claudeRequestBody(claudeSnapshot(archived.messages),
                                                        QStringLiteral("fixture"), false);
    } catch (const std::exception&) {
        return false;
    }
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    const QJsonArray sent = object.value(QStringLiteral("messages")).toArray();
    const qsizetype count = qsizetype(archived.messages.size());
    if (sent.size() != count || count == 0)
        return false;
    const auto users = std::count_if(sent.begin(), sent.end(), [](const QJsonValue& entry) {
        return entry.toObject().value(QStringLiteral("role")).toString() == QLatin1String("user");
    });
    return sent.first().toObject().value(QStringLiteral("text")).toString() == requirement(1) &&
           sent.last().toObject().value(QStringLiteral("text")).toString() ==
               QLatin1String("Fourth response.") &&
           users == 4 && object.value(QStringLiteral("availableMessageCount")).toInteger(-1) == count;
}

bool anyTextContains(const Messages& messages, const QString& part) {
    return std::any_of(messages.begin(), messages.end(),
                       [&](const Message& message) { return message.text.contains(part); });
}

// Lets queued work of the main thread run for about `milliseconds`.
void turnEventLoop(int milliseconds) {
    if (!QCoreApplication::instance()) {
        // Without an event loop nothing can be delivered; waiting keeps the bound honest.
        QThread::msleep(milliseconds);
        return;
    }
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

void run(const checks::Reporter& check) {
    run(check, QDir::tempPath());
}

void run(const checks::Reporter& check, const QString& temporaryFolder) {
    // Declared first, so that every reader is gone before the folder is removed.
    const checks::ScratchDirectory root(QStringLiteral("quillmere-claude-archive-check-"), temporaryFolder);
    const SessionFiles files(root);
    const QDateTime t0 = QDateTime::fromSecsSinceEpoch(2000000000, Qt::UTC);

    const auto lookup = [&](Archive::Reader& reader, const Messages& visible, const Messages& observed,
                            const QDateTime& at, bool parseImmediately = true,
                            const QString& document = sessionDocument) {
        return reader.lookup(document, visible, observed, files.metadataRoot(), files.projectsRoot(), at,
                             parseImmediately);
    };

    std::vector<json::Value> rows = firstRows();
    const bool firstWritten = files.writeRows(rows) && files.writeMetadata(eventUuid(10));

    Archive::Reader reader;
    const Messages thirdAndFourth{user(requirement(3)), assistant(joinedThirdReply), user(requirement(4))};
    const Lookup first = lookup(reader, thirdAndFourth, {}, t0);
    const std::optional<Archive::Snapshot> branch =
        firstWritten && first.isVerified() ? first.snapshot() : std::nullopt;
    const QString ancestry = QStringLiteral(
        "Claude event ancestry preserves the active branch, timestamps and old-to-new user/AI order");
    const QString excluded =
        QStringLiteral("Claude tool results and forked replies never enter the recommendation context");
    const QString request =
        QStringLiteral("Claude server request includes the full verified branch in old-to-new order");
    const QString streaming =
        QStringLiteral("an unfinished Claude reply is withheld until it stops streaming");
    if (!branch) {
        // Without the verified branch there is nothing the next three checks could look at.
        for (const QString& sentence : {ancestry, excluded, request, streaming})
            check(false, sentence);
    } else {
        check(branch->messages == firstBranch() && branch->userCount == 4 &&
                  branch->lastCreatedAtMs == fourthReplyCreatedAtMs && branch->latestVisibleUserCurrent,
              ancestry);
        check(!anyTextContains(branch->messages, QStringLiteral("Different branch")) &&
                  !anyTextContains(branch->messages, QStringLiteral("Tool output")),
              excluded);
        check(requestCarriesBranch(*branch), request);
        const Messages stable = ClaudeWindowTracker::stableArchiveMessages(branch->messages, true);
        check(stable.size() + 1 == branch->messages.size() &&
                  std::equal(stable.begin(), stable.end(), branch->messages.begin()),
              streaming);
    }

    check(lookup(reader, {user(requirement(3)), user(QStringLiteral("Different branch requirement"))}, {}, t0)
                  .kind() == Lookup::Kind::unverified,
          QStringLiteral("Claude archive refuses visible messages from a different fork"));

    const Lookup older = lookup(reader, {user(requirement(4))}, {}, t0);
    check(older.isVerified() && older.snapshot()->userCount == 4 &&
              older.snapshot()->latestVisibleUserCurrent,
          QStringLiteral("a unique current user request can recover an older Claude Code session"));

    check(lookup(reader, thirdAndFourth, {}, t0, true, ordinaryDocument).kind() == Lookup::Kind::unavailable,
          QStringLiteral("ordinary Claude chats keep their accessibility history fallback"));

    rows.push_back(humanRow(13, 10, requirement(5)));
    rows.push_back(replyRow(14, 13, QStringLiteral("Fifth response.")));
    const bool grownWritten = files.writeRows(rows) && files.writeMetadata(eventUuid(14));
    const Messages fourthAndFifth{user(requirement(4)), user(requirement(5))};
    const Lookup grown = lookup(reader, fourthAndFifth, {}, t0.addSecs(6));
    check(grownWritten && grown.isVerified() && grown.snapshot()->userCount == 5 &&
              grown.snapshot()->messages.back() == assistant(QStringLiteral("Fifth response.")),
          QStringLiteral("Claude archive refreshes a new user turn without losing earlier branch history"));

    {
        Archive::Reader restarted;
        const Lookup restored = lookup(restarted, fourthAndFifth, {}, t0.addSecs(7));
        check(restored.isVerified() && restored.snapshot()->userCount == 5 &&
                  restored.snapshot()->messages.front() == user(requirement(1)),
              QStringLiteral("Claude archive restores the same full current branch after desktop restart"));
    }

    const Messages pair{user(shortRequest), assistant(shortReply)};
    const auto extendedByPair = [&](const Lookup& result) {
        if (!result.isVerified())
            return false;
        const Messages& messages = result.snapshot()->messages;
        return messages.size() == 12 && result.snapshot()->userCount == 6 && messages[10] == pair[0] &&
               messages[11] == pair[1];
    };
    {
        Archive::Reader fresh;
        check(extendedByPair(lookup(fresh, pair, observedTail(), t0.addSecs(8))),
              QStringLiteral("verified AX turns extend a lagging Claude archive in chronological order"));
    }
    {
        Archive::Reader fresh;
        check(extendedByPair(lookup(fresh, pair, observedTail(), t0.addSecs(9))),
              QStringLiteral("the connected observed Claude tail restores after app restart"));
    }
    {
        Archive::Reader fresh;
        check(
            lookup(fresh, {user(QStringLiteral("Unrelated newest request"))}, observedTail(), t0.addSecs(10))
                    .kind() == Lookup::Kind::unverified,
            QStringLiteral("an unrelated visible conversation cannot borrow a remembered Claude tail"));
    }

    // The host stores a request before its reply exists; the metadata names the newest event, so the
    // archive's branch now ends with the short request and only the window shows the reply.
    rows.push_back(humanRow(15, 14, shortRequest));
    const bool requestWritten = files.writeRows(rows) && files.writeMetadata(eventUuid(15));
    {
        Archive::Reader fresh;
        const Lookup anchored = lookup(fresh, pair, observedTail(), t0.addSecs(16));
        check(requestWritten && extendedByPair(anchored) && anchored.snapshot()->latestVisibleUserCurrent,
              QStringLiteral("a short user turn remains anchored when Claude stores it before its AI reply"));
    }

    Archive::Reader background;
    const Lookup pending = lookup(background, pair, observedTail(), QDateTime::currentDateTimeUtc(), false);
    check(pending.kind() == Lookup::Kind::unverified && background.parseInFlight(),
          QStringLiteral("a new Claude archive parse starts without blocking the widget"));

    std::optional<Lookup> delivered;
    QElapsedTimer waited;
    waited.start();
    while (!delivered && !waited.hasExpired(3000)) {
        turnEventLoop(20);
        Lookup result = lookup(background, pair, observedTail(), QDateTime::currentDateTimeUtc(), false);
        if (result.isVerified())
            delivered = std::move(result);
    }
    check(delivered && delivered->snapshot()->userCount == 6 &&
              delivered->snapshot()->latestVisibleUserCurrent,
          QStringLiteral("background Claude archive parsing delivers a verified result to the widget"));
}

} // namespace quillmere::ClaudeLocalConversationArchiveChecks
