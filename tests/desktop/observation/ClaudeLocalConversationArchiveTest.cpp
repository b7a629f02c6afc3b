#include "desktop/observation/ClaudeLocalConversationArchive.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/Json.h"

using namespace quillmere;
using namespace quillmere::ClaudeLocalConversationArchive;

namespace {

const QString kSession = QStringLiteral("local_11111111-1111-4111-8111-111111111111");
const QString kCli = QStringLiteral("22222222-2222-4222-8222-222222222222");
const QString kDocument = QStringLiteral("https://claude.ai/epitaxy/") + kSession;
const QDateTime kT0 = QDateTime::fromSecsSinceEpoch(2000000000, Qt::UTC);

QString uuid(int n) {
    return QStringLiteral("33333333-3333-4333-8333-%1").arg(n, 12, 10, QLatin1Char('0'));
}
QString requirement(int n) {
    return QStringLiteral("Implement the distinct dashboard requirement %1 in this project").arg(n);
}
Message user(const QString& text) {
    return Message{QStringLiteral("user"), text};
}
Message assistant(const QString& text) {
    return Message{QStringLiteral("assistant"), text};
}

QJsonArray textBlocks(const QString& text) {
    return QJsonArray{QJsonObject{{"type", "text"}, {"text", text}}};
}

// One transcript event. A person's request carries the human origin and a plain string; tool
// results and replies carry text blocks.
QJsonObject row(int n, int parent, const QString& type, const QJsonValue& content, bool human) {
    QJsonObject object{
        {"uuid", uuid(n)},
        {"parentUuid", parent > 0 ? QJsonValue(uuid(parent)) : QJsonValue()},
        {"sessionId", kCli},
        {"type", type},
        {"timestamp", QStringLiteral("2026-09-29T08:00:%1.000Z").arg(n, 2, 10, QLatin1Char('0'))},
        {"message", QJsonObject{{"content", content}}}};
    if (human)
        object.insert("origin", QJsonObject{{"kind", "human"}});
    return object;
}
QJsonObject humanRow(int n, int parent, const QString& text) {
    return row(n, parent, "user", text, true);
}
QJsonObject assistantRow(int n, int parent, const QString& text) {
    return row(n, parent, "assistant", textBlocks(text), false);
}

QByteArray line(const QJsonObject& object) {
    return json::write(json::Value::from(object));
}

// The archive of a Claude Code session in a private folder: the metadata two folders below the
// metadata root, the transcript one folder below the projects root.
class Archive {
public:
    Archive() {
        QDir(dir.path()).mkpath("sessions/outer/inner");
        QDir(dir.path()).mkpath("projects/workspace");
    }
    QString metadataRoot() const { return dir.path() + "/sessions"; }
    QString projectsRoot() const { return dir.path() + "/projects"; }
    QString metadataPath() const { return dir.path() + "/sessions/outer/inner/" + kSession + ".json"; }
    QString transcriptPath() const { return dir.path() + "/projects/workspace/" + kCli + ".jsonl"; }

    void writeMetadata(const QString& leaf, const QJsonObject& extra = {}) const {
        QJsonObject object{{"sessionId", kSession},
                           {"cliSessionId", kCli},
                           {"lastAssistantUuid", leaf},
                           {"completedTurns", 5}};
        for (auto it = extra.begin(); it != extra.end(); ++it)
            object.insert(it.key(), it.value());
        writeFile(metadataPath(), line(object));
    }
    void writeRows(const std::vector<QJsonObject>& rows, const QByteArray& tail = {}) const {
        QByteArray bytes;
        for (const QJsonObject& r : rows)
            bytes += line(r) + '\n';
        writeFile(transcriptPath(), bytes + tail);
    }
    static void writeFile(const QString& path, const QByteArray& bytes) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }

    Lookup lookup(Reader& reader, const MessageList& visible, const MessageList& observed = {},
                  const QDateTime& at = kT0, bool parseImmediately = true,
                  const QString& document = kDocument) const {
        return reader.lookup(document, visible, observed, metadataRoot(), projectsRoot(), at,
                             parseImmediately);
    }

    QTemporaryDir dir;
};

// Rows 1-12: the active branch 1-10 (6 a tool result, 7-8 two reply events) and a fork 11-12
// off the leaf, which the metadata does not name.
std::vector<QJsonObject> firstRows() {
    return {humanRow(1, 0, requirement(1)),
            assistantRow(2, 1, "Plan for the first requirement."),
            humanRow(3, 2, requirement(2)),
            assistantRow(4, 3, "Implemented the second requirement."),
            humanRow(5, 4, requirement(3)),
            row(6, 5, "user", textBlocks("Tool output is not a person"), false),
            assistantRow(7, 6, "First progress block."),
            assistantRow(8, 7, "Final third response."),
            humanRow(9, 8, requirement(4)),
            assistantRow(10, 9, "Fourth response."),
            humanRow(11, 10, "Different branch requirement"),
            assistantRow(12, 11, "Different branch response.")};
}
std::vector<QJsonObject> grownRows() {
    std::vector<QJsonObject> rows = firstRows();
    rows.push_back(humanRow(13, 10, requirement(5)));
    rows.push_back(assistantRow(14, 13, "Fifth response."));
    return rows;
}

const QString kJoined = QStringLiteral("First progress block.\n\nFinal third response.");

// The branch ending at row 10, old to new.
std::vector<Message> firstBranch() {
    return {user(requirement(1)), assistant("Plan for the first requirement."),
            user(requirement(2)), assistant("Implemented the second requirement."),
            user(requirement(3)), assistant(kJoined),
            user(requirement(4)), assistant("Fourth response.")};
}
const QString kHebrew = QStringLiteral("תסיר");
const QString kReply = QStringLiteral("The button is removed from the page.");

std::vector<Message> observedTail() {
    return {user(requirement(4)), assistant("Fourth response."),
            user(requirement(5)), assistant("Fifth response."),
            user(kHebrew),        assistant(kReply)};
}

// Turns the event loop in short steps until `done` or the time runs out.
bool pollUntil(const std::function<bool()>& done, int milliseconds = 3000) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds) {
        if (done())
            return true;
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

} // namespace

// ---------------------------------------------------------------------------------------------

TEST(ClaudeArchiveSessionID, AcceptsOnlyClaudeCodeSessionPages) {
    EXPECT_EQ(sessionID(kDocument), kSession);
    EXPECT_EQ(sessionID("https://claude.ai/epitaxy/local_abc?artifact=preview#pane"), QString("local_abc"));
    EXPECT_EQ(sessionID("https://CLAUDE.AI/epitaxy/local_abc/"), QString("local_abc"));
    EXPECT_FALSE(sessionID("https://claude.ai/chat/ordinary-chat"));
    EXPECT_FALSE(sessionID("https://claude.ai/epitaxy/"));
    EXPECT_FALSE(sessionID("https://example.com/epitaxy/local_abc"));
    EXPECT_FALSE(sessionID("claude.ai/epitaxy/local_abc"));
    EXPECT_FALSE(sessionID(""));
    // The id names a file: nothing that climbs out of the folder or hides the file.
    EXPECT_FALSE(sessionID("https://claude.ai/epitaxy/..%2F..%2Fetc%2Fpasswd"));
    EXPECT_FALSE(sessionID("https://claude.ai/epitaxy/.hidden"));
    EXPECT_FALSE(sessionID("https://claude.ai/epitaxy/a%20b"));
}

TEST(ClaudeArchiveReader, FreshReaderHasNothing) {
    Reader reader;
    EXPECT_EQ(reader.lastLookupSummary(), "not_checked");
    EXPECT_FALSE(reader.cachedSessionID());
    EXPECT_FALSE(reader.cachedRevision());
    EXPECT_FALSE(reader.cachedSnapshot());
    EXPECT_FALSE(reader.parseInFlight());
    EXPECT_EQ(reader.lastParseTime(), Reader::distantPast());
    EXPECT_EQ(reader.lastParseTime().date(), QDate(1, 1, 1));
    EXPECT_FALSE(reader.metadataPath());
    EXPECT_FALSE(reader.transcriptPath());
}

TEST(ClaudeArchiveReader, RebuildsTheActiveBranchFromNestedFiles) {
    Archive archive;
    archive.writeRows(firstRows());
    archive.writeMetadata(uuid(10));
    Reader reader;
    const Lookup result =
        archive.lookup(reader, {user(requirement(3)), assistant(kJoined), user(requirement(4))});
    ASSERT_TRUE(result.isVerified()) << reader.lastLookupSummary().toStdString();
    const Snapshot& snapshot = *result.snapshot();
    const std::vector<Message> expected{
        user(requirement(1)), assistant("Plan for the first requirement."),
        user(requirement(2)), assistant("Implemented the second requirement."),
        user(requirement(3)), assistant(kJoined),
        user(requirement(4)), assistant("Fourth response.")};
    EXPECT_EQ(snapshot.messages, expected);
    EXPECT_EQ(snapshot.userCount, 4);
    EXPECT_EQ(snapshot.lastCreatedAtMs, 1790668810000);
    EXPECT_TRUE(snapshot.latestVisibleUserCurrent);
    EXPECT_EQ(reader.lastLookupSummary(), "status=verified; session=" + kSession +
                                              "; archive=8; extended=0; visible=3; anchors=3; current=true");
    EXPECT_EQ(reader.cachedSessionID(), kSession);
    EXPECT_EQ(reader.metadataPath(), archive.metadataPath());
    EXPECT_EQ(reader.transcriptPath(), archive.transcriptPath());
    EXPECT_EQ(reader.lastParseTime(), kT0);
    ASSERT_TRUE(reader.cachedRevision());
    EXPECT_EQ(reader.cachedRevision()->leafUuid, uuid(10));
    ASSERT_TRUE(reader.cachedSnapshot());
    EXPECT_EQ(reader.cachedSnapshot()->messages, expected);
    EXPECT_FALSE(reader.cachedSnapshot()->latestVisibleUserCurrent);
}

TEST(ClaudeArchiveReader, VisibleMessagesMustBelongToTheBranch) {
    Archive archive;
    archive.writeRows(firstRows());
    archive.writeMetadata(uuid(10));
    Reader reader;

    // A message of another fork.
    EXPECT_EQ(archive.lookup(reader, {user(requirement(3)), user("Different branch requirement")}).kind(),
              Lookup::Kind::unverified);
    EXPECT_TRUE(reader.lastLookupSummary().contains("reason=visible_user_not_on_branch"));

    // One current request that occurs once is enough.
    Lookup single = archive.lookup(reader, {user(requirement(4))});
    ASSERT_TRUE(single.isVerified());
    EXPECT_EQ(single.snapshot()->userCount, 4);
    EXPECT_TRUE(single.snapshot()->latestVisibleUserCurrent);

    // An older request verifies the session but is not current.
    Lookup older = archive.lookup(reader, {user(requirement(2))});
    ASSERT_TRUE(older.isVerified());
    EXPECT_FALSE(older.snapshot()->latestVisibleUserCurrent);

    // White space runs of any kind do not matter.
    EXPECT_TRUE(
        archive.lookup(reader, {user("  Implement the distinct\ndashboard requirement 4 in this project ")})
            .isVerified());
    EXPECT_TRUE(
        archive
            .lookup(reader, {user(QString::fromUtf8(
                                "Implement the distinct\u00a0dashboard\u2003requirement 4 in this project"))})
            .isVerified());

    // The window's order must be the branch's.
    EXPECT_EQ(archive.lookup(reader, {user(requirement(4)), user(requirement(3))}).kind(),
              Lookup::Kind::unverified);

    // Replies prove nothing alone; a reply rendered differently does not refute a request.
    EXPECT_EQ(archive.lookup(reader, {assistant("Fourth response.")}).kind(), Lookup::Kind::unverified);
    EXPECT_TRUE(reader.lastLookupSummary().contains("reason=no_visible_user_message"));
    Lookup rendered = archive.lookup(reader, {user(requirement(4)), assistant("**Fourth** response")});
    ASSERT_TRUE(rendered.isVerified());
    EXPECT_TRUE(reader.lastLookupSummary().contains("unmatchedAssistant=1"));

    EXPECT_EQ(archive.lookup(reader, {}).kind(), Lookup::Kind::unverified);
    EXPECT_TRUE(reader.lastLookupSummary().contains("reason=no_visible_messages"));

    // An ordinary chat has no archive.
    EXPECT_EQ(
        archive.lookup(reader, {user(requirement(4))}, {}, kT0, true, "https://claude.ai/chat/ordinary-chat")
            .kind(),
        Lookup::Kind::unavailable);
    EXPECT_EQ(reader.lastLookupSummary(), "status=unavailable; reason=not_claude_code_session");
}

TEST(ClaudeArchiveReader, RepeatedRequestsNeedOneThatOccursOnce) {
    Archive archive;
    archive.writeRows({humanRow(1, 0, "Continue"), assistantRow(2, 1, "First part."),
                       humanRow(3, 2, "Continue"), assistantRow(4, 3, "Second part.")});
    archive.writeMetadata(uuid(4));
    Reader reader;
    EXPECT_EQ(archive.lookup(reader, {user("Continue")}).kind(), Lookup::Kind::unverified);
    EXPECT_TRUE(reader.lastLookupSummary().contains("reason=no_unique_user_message"));
    // Replies around a repeated request do not make it unique.
    Lookup result = archive.lookup(reader, {assistant("First part."), user("Continue")});
    EXPECT_EQ(result.kind(), Lookup::Kind::unverified);
}

TEST(ClaudeArchiveReader, AccentsMatchHoweverTheyWereTyped) {
    Archive archive;
    const QString composed = QString::fromUtf8("Make the caf\u00e9 page load faster");
    archive.writeRows({humanRow(1, 0, composed), assistantRow(2, 1, "Cached the menu.")});
    archive.writeMetadata(uuid(2));
    Reader reader;
    const QString decomposed = composed.normalized(QString::NormalizationForm_D);
    ASSERT_NE(decomposed, composed);
    Lookup result = archive.lookup(reader, {user(decomposed)});
    ASSERT_TRUE(result.isVerified()) << reader.lastLookupSummary().toStdString();
    EXPECT_TRUE(result.snapshot()->latestVisibleUserCurrent);
    EXPECT_EQ(archive.lookup(reader, {user(QString::fromUtf8("Make the cafe page load faster"))}).kind(),
              Lookup::Kind::unverified);
}

TEST(ClaudeArchiveReader, JoinsReplyEventsAcrossToolUseAndKeepsTheirLastTime) {
    Archive archive;
    QJsonObject toolUse =
        row(3, 2, "assistant", QJsonArray{QJsonObject{{"type", "tool_use"}, {"name", "Bash"}}}, false);
    QJsonObject thinking = row(5, 4, "assistant",
                               QJsonArray{QJsonObject{{"type", "thinking"}, {"thinking", "hidden"}},
                                          QJsonObject{{"type", "text"}, {"text", "Done, the tests pass."}}},
                               false);
    archive.writeRows({humanRow(1, 0, "Run the whole test suite please"),
                       assistantRow(2, 1, "Running the tests."), toolUse,
                       row(4, 3, "user", textBlocks("exit 0"), false), thinking,
                       // Bookkeeping events pass the chain through without a message.
                       row(6, 5, "system", QJsonValue("compacted"), false)});
    archive.writeMetadata(uuid(6));
    Reader reader;
    Lookup result = archive.lookup(reader, {user("Run the whole test suite please")});
    ASSERT_TRUE(result.isVerified()) << reader.lastLookupSummary().toStdString();
    EXPECT_EQ(result.snapshot()->messages,
              (std::vector<Message>{user("Run the whole test suite please"),
                                    assistant("Running the tests.\n\nDone, the tests pass.")}));
    EXPECT_EQ(result.snapshot()->lastCreatedAtMs, 1790668805000);
}

TEST(ClaudeArchiveReader, FollowsAGrowingTranscriptAndRestarts) {
    Archive archive;
    archive.writeRows(firstRows());
    archive.writeMetadata(uuid(10));
    Reader reader;
    ASSERT_TRUE(archive.lookup(reader, {user(requirement(4))}).isVerified());

    archive.writeRows(grownRows());
    archive.writeMetadata(uuid(14));
    const std::vector<Message> visible{user(requirement(4)), user(requirement(5))};

    // Within the re-read interval the previous state answers: the new request is not in it yet.
    EXPECT_EQ(archive.lookup(reader, visible, {}, kT0.addSecs(1)).kind(), Lookup::Kind::unverified);
    EXPECT_TRUE(reader.lastLookupSummary().contains("revision=previous"));

    Lookup grown = archive.lookup(reader, visible, {}, kT0.addSecs(6));
    ASSERT_TRUE(grown.isVerified()) << reader.lastLookupSummary().toStdString();
    EXPECT_EQ(grown.snapshot()->userCount, 5);
    EXPECT_EQ(grown.snapshot()->messages.back(), assistant("Fifth response."));
    EXPECT_EQ(grown.snapshot()->messages.size(), 10u);
    EXPECT_EQ(reader.lastParseTime(), kT0.addSecs(6));

    // An unchanged file is not read again.
    const std::optional<Revision> revision = reader.cachedRevision();
    ASSERT_TRUE(archive.lookup(reader, visible, {}, kT0.addSecs(60)).isVerified());
    EXPECT_EQ(reader.lastParseTime(), kT0.addSecs(6));
    EXPECT_EQ(reader.cachedRevision(), revision);

    Reader restarted;
    Lookup cold = archive.lookup(restarted, visible, {}, kT0.addSecs(7));
    ASSERT_TRUE(cold.isVerified());
    EXPECT_EQ(cold.snapshot()->userCount, 5);
    EXPECT_EQ(cold.snapshot()->messages.front(), user(requirement(1)));
}

TEST(ClaudeArchiveReader, ConnectedObservedTurnsExtendALaggingArchive) {
    Archive archive;
    archive.writeRows(grownRows());
    archive.writeMetadata(uuid(14));
    const std::vector<Message> pair{user(kHebrew), assistant(kReply)};

    for (int restart = 0; restart < 2; ++restart) {
        Reader reader;
        Lookup result = archive.lookup(reader, pair, observedTail(), kT0.addSecs(8 + restart));
        ASSERT_TRUE(result.isVerified()) << reader.lastLookupSummary().toStdString();
        ASSERT_EQ(result.snapshot()->messages.size(), 12u);
        EXPECT_EQ(result.snapshot()->userCount, 6);
        EXPECT_EQ(result.snapshot()->messages[10], pair[0]);
        EXPECT_EQ(result.snapshot()->messages[11], pair[1]);
        EXPECT_TRUE(result.snapshot()->latestVisibleUserCurrent);
        EXPECT_TRUE(reader.lastLookupSummary().contains("extended=2"));
    }

    Reader reader;
    EXPECT_EQ(archive.lookup(reader, {user("Unrelated newest request")}, observedTail()).kind(),
              Lookup::Kind::unverified);

    // A remembered tail that does not continue the archive's end adds nothing.
    std::vector<Message> detached{user("Some other conversation request"), assistant("Fifth response."),
                                  user(kHebrew), assistant(kReply)};
    EXPECT_EQ(archive.lookup(reader, pair, detached).kind(), Lookup::Kind::unverified);
    EXPECT_TRUE(reader.lastLookupSummary().contains("extended=0"));

    // The request stored before its reply: the archive ends with it, and the reply comes from
    // the window.
    std::vector<QJsonObject> rows = grownRows();
    rows.push_back(humanRow(15, 14, kHebrew));
    archive.writeRows(rows);
    archive.writeMetadata(uuid(14));
    Reader fresh;
    Lookup anchored = archive.lookup(fresh, pair, observedTail(), kT0.addSecs(16));
    ASSERT_TRUE(anchored.isVerified()) << fresh.lastLookupSummary().toStdString();
    ASSERT_EQ(anchored.snapshot()->messages.size(), 12u);
    EXPECT_EQ(anchored.snapshot()->messages[11], assistant(kReply));
    EXPECT_EQ(anchored.snapshot()->userCount, 6);
    EXPECT_TRUE(anchored.snapshot()->latestVisibleUserCurrent);

    // The same when the metadata already names the stored request as the branch's end.
    archive.writeMetadata(uuid(15));
    Reader leafAtRequest;
    Lookup fromRequest = archive.lookup(leafAtRequest, pair, observedTail(), kT0.addSecs(17));
    ASSERT_TRUE(fromRequest.isVerified()) << leafAtRequest.lastLookupSummary().toStdString();
    EXPECT_EQ(fromRequest.snapshot()->messages.size(), 12u);
    EXPECT_TRUE(leafAtRequest.lastLookupSummary().contains("archive=11; extended=1"));
}

// Replies are common text ("Done."); only an agreeing request ties a remembered tail to this
// archive. A branch of one reply agrees with any conversation that has that reply somewhere.
TEST(ClaudeArchiveReader, ATailAgreeingOnlyOnRepliesDoesNotConnect) {
    Archive archive;
    archive.writeRows({assistantRow(1, 0, "Done.")});
    archive.writeMetadata(uuid(1));
    const std::vector<Message> visible{user(requirement(7)), assistant("Seventh response.")};
    const std::vector<Message> observed{user("A request of another conversation"), assistant("Done."),
                                        user(requirement(7)), assistant("Seventh response.")};
    Reader reader;
    const Lookup result = archive.lookup(reader, visible, observed);
    EXPECT_EQ(result.kind(), Lookup::Kind::unverified);
    EXPECT_TRUE(reader.lastLookupSummary().contains("reason=visible_user_not_on_branch"))
        << reader.lastLookupSummary().toStdString();
    EXPECT_TRUE(reader.lastLookupSummary().contains("archive=1; extended=0"));

    // The same tail connects once a request agrees too.
    archive.writeRows({humanRow(1, 0, requirement(6)), assistantRow(2, 1, "Done.")});
    archive.writeMetadata(uuid(2));
    const std::vector<Message> agreeing{user(requirement(6)), assistant("Done."), user(requirement(7)),
                                        assistant("Seventh response.")};
    Reader fresh;
    const Lookup connected = archive.lookup(fresh, visible, agreeing);
    ASSERT_TRUE(connected.isVerified()) << fresh.lastLookupSummary().toStdString();
    EXPECT_EQ(connected.snapshot()->messages.size(), 4u);
}

// A reply that was only a tool call leaves the archive ending in its request. A request such as
// "Continue" recurs, so agreeing on it alone proves nothing: the message before it must agree too,
// or the window's answer to some other "Continue" would be appended to this history.
TEST(ClaudeArchiveReader, AnArchiveEndingInARequestConnectsOnlyWhereTheMessageBeforeAgreesToo) {
    Archive archive;
    QJsonObject toolCall =
        row(6, 5, "assistant", QJsonArray{QJsonObject{{"type", "tool_use"}, {"name", "Edit"}}}, false);
    archive.writeRows({humanRow(1, 0, requirement(1)), assistantRow(2, 1, "First response."),
                       humanRow(3, 2, requirement(2)), assistantRow(4, 3, "Second response."),
                       row(5, 4, "user", QJsonValue("Continue"), true), toolCall});
    archive.writeMetadata(uuid(6));
    const std::vector<Message> branch{user(requirement(1)), assistant("First response."),
                                      user(requirement(2)), assistant("Second response."), user("Continue")};
    const std::vector<Message> visible{user(requirement(2))};

    struct Case {
        const char* what;
        std::vector<Message> observed;
        std::size_t extended;
    };
    const Case cases[] = {
        {"a different reply before the repeated request",
         {user("A request of another conversation"), assistant("Another response."), user("Continue"),
          assistant("The window's answer to that other Continue.")},
         0},
        {"the request alone",
         {user("Continue"), assistant("The window's answer to that other Continue.")},
         0},
        {"the reply before it agrees as well",
         {user(requirement(2)), assistant("Second response."), user("Continue"),
          assistant("The window's answer to this Continue.")},
         1},
    };
    for (const Case& c : cases) {
        Reader reader;
        const Lookup result = archive.lookup(reader, visible, c.observed);
        ASSERT_TRUE(result.isVerified()) << c.what << ": " << reader.lastLookupSummary().toStdString();
        EXPECT_TRUE(
            reader.lastLookupSummary().contains(QStringLiteral("archive=5; extended=%1").arg(c.extended)))
            << c.what << ": " << reader.lastLookupSummary().toStdString();
        EXPECT_EQ(result.snapshot()->messages.size(), branch.size() + c.extended) << c.what;
        EXPECT_EQ(result.snapshot()->messages.prefix(branch.size()), branch) << c.what;
        if (c.extended == 0)
            EXPECT_EQ(result.snapshot()->messages.back(), user("Continue")) << c.what;
        else
            EXPECT_EQ(result.snapshot()->messages.back(), c.observed.back()) << c.what;
    }
}

// An unchanged window over an unchanged transcript is answered again as it was, with the very
// same list of messages, whatever the length of the session.
TEST(ClaudeArchiveReader, AnUnchangedWindowIsAnsweredAgainWithTheSameList) {
    Archive archive;
    archive.writeRows(firstRows());
    archive.writeMetadata(uuid(10));
    Reader reader;
    const MessageList visible{user(requirement(4))};
    const MessageList remembered(firstBranch());

    const Lookup first = archive.lookup(reader, visible, remembered);
    ASSERT_TRUE(first.isVerified());
    EXPECT_FALSE(reader.lastLookupUnchanged());
    const QString summary = reader.lastLookupSummary();
    // Nothing extends the branch: the snapshot is the reader's branch itself.
    EXPECT_TRUE(first.snapshot()->messages.isSameListAs(reader.cachedSnapshot()->messages));

    const Lookup again = archive.lookup(reader, visible, remembered, kT0.addSecs(30));
    EXPECT_TRUE(reader.lastLookupUnchanged());
    EXPECT_EQ(again, first);
    EXPECT_TRUE(again.snapshot()->messages.isSameListAs(first.snapshot()->messages));
    EXPECT_EQ(reader.lastLookupSummary(), summary);

    // Equal visible messages in a list of their own are the same window.
    EXPECT_EQ(archive.lookup(reader, MessageList{user(requirement(4))}, remembered), first);
    EXPECT_TRUE(reader.lastLookupUnchanged());

    // Remembered messages that are not the very same list are compared again, and give the same.
    const Lookup recalled = archive.lookup(reader, visible, MessageList(firstBranch()));
    EXPECT_FALSE(reader.lastLookupUnchanged());
    EXPECT_EQ(recalled, first);
    EXPECT_TRUE(recalled.snapshot()->messages.isSameListAs(first.snapshot()->messages));

    // Another window is verified afresh.
    const Lookup older = archive.lookup(reader, {user(requirement(2))}, remembered);
    EXPECT_FALSE(reader.lastLookupUnchanged());
    ASSERT_TRUE(older.isVerified());
    EXPECT_FALSE(older.snapshot()->latestVisibleUserCurrent);

    // A refusal is given again as it was, reason and all.
    const MessageList foreign{user("Different branch requirement")};
    EXPECT_EQ(archive.lookup(reader, foreign, remembered).kind(), Lookup::Kind::unverified);
    const QString refused = reader.lastLookupSummary();
    EXPECT_TRUE(refused.contains("reason=visible_user_not_on_branch"));
    EXPECT_EQ(archive.lookup(reader, foreign, remembered).kind(), Lookup::Kind::unverified);
    EXPECT_TRUE(reader.lastLookupUnchanged());
    EXPECT_EQ(reader.lastLookupSummary(), refused);

    // A grown transcript is a new branch.
    archive.writeRows(grownRows());
    archive.writeMetadata(uuid(14));
    const Lookup grown = archive.lookup(reader, visible, remembered, kT0.addSecs(60));
    EXPECT_FALSE(reader.lastLookupUnchanged());
    ASSERT_TRUE(grown.isVerified());
    EXPECT_EQ(grown.snapshot()->messages.size(), 10u);
    EXPECT_FALSE(grown.snapshot()->latestVisibleUserCurrent);
}

TEST(ClaudeArchiveReader, TheSameExtensionOfTheSameBranchGivesTheSameList) {
    Archive archive;
    archive.writeRows(grownRows());
    archive.writeMetadata(uuid(14));
    const MessageList pair{user(kHebrew), assistant(kReply)};
    Reader reader;
    const Lookup first = archive.lookup(reader, pair, observedTail());
    ASSERT_TRUE(first.isVerified()) << reader.lastLookupSummary().toStdString();
    ASSERT_EQ(first.snapshot()->messages.size(), 12u);

    // The memory recalled the same tail anew: the extension is the same, and so is the list.
    const Lookup second = archive.lookup(reader, pair, observedTail());
    EXPECT_FALSE(reader.lastLookupUnchanged());
    EXPECT_TRUE(second.snapshot()->messages.isSameListAs(first.snapshot()->messages));

    // Another reply in the window's tail makes another list.
    std::vector<Message> edited = observedTail();
    edited.back() = assistant("The button is removed from every page.");
    const Lookup third = archive.lookup(reader, {user(kHebrew), edited.back()}, edited);
    ASSERT_TRUE(third.isVerified()) << reader.lastLookupSummary().toStdString();
    EXPECT_FALSE(third.snapshot()->messages.isSameListAs(first.snapshot()->messages));
    EXPECT_EQ(third.snapshot()->messages.back(), edited.back());
    EXPECT_EQ(third.snapshot()->messages.prefix(11), first.snapshot()->messages.prefix(11));
}

// A reply of many events (a long agent run) reads as one message whose parts are joined with a
// blank line, the same whether the transcript was read at once or as it grew.
TEST(ClaudeArchiveReader, JoinsAReplyOfManyEventsAsItGrows) {
    Archive archive;
    constexpr int firstEvents = 6000, laterEvents = 3000;
    const auto part = [](int n) { return QStringLiteral("Step %1 of the long run is done.").arg(n); };
    std::vector<QJsonObject> rows{humanRow(1, 0, requirement(1))};
    for (int n = 0; n < firstEvents; ++n)
        rows.push_back(assistantRow(n + 2, n + 1, part(n)));
    archive.writeRows(rows);
    archive.writeMetadata(uuid(firstEvents + 1));
    const MessageList visible{user(requirement(1))};

    QStringList parts;
    for (int n = 0; n < firstEvents; ++n)
        parts << part(n);
    Reader reader;
    const Lookup first = archive.lookup(reader, visible);
    ASSERT_TRUE(first.isVerified()) << reader.lastLookupSummary().toStdString();
    ASSERT_EQ(first.snapshot()->messages.size(), 2u);
    EXPECT_EQ(first.snapshot()->messages[1], assistant(parts.join(QStringLiteral("\n\n"))));

    // The host appends more events of the same reply (the last one cut off for now), then a request.
    QFile file(archive.transcriptPath());
    ASSERT_TRUE(file.open(QIODevice::Append));
    for (int n = firstEvents; n < firstEvents + laterEvents; ++n) {
        file.write(line(assistantRow(n + 2, n + 1, part(n))) + '\n');
        parts << part(n);
    }
    const int last = firstEvents + laterEvents + 1;
    const QByteArray request = line(humanRow(last + 1, last, requirement(2)));
    file.write(request.left(request.size() / 2));
    file.close();
    archive.writeMetadata(uuid(last));
    const Lookup grown = archive.lookup(reader, visible, {}, kT0.addSecs(10));
    ASSERT_TRUE(grown.isVerified()) << reader.lastLookupSummary().toStdString();
    ASSERT_EQ(grown.snapshot()->messages.size(), 2u);
    EXPECT_EQ(grown.snapshot()->messages[1], assistant(parts.join(QStringLiteral("\n\n"))));

    // The request's line completed, and a reply to it.
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write(request.mid(request.size() / 2) + '\n' + line(assistantRow(last + 2, last + 1, "Done.")) +
               '\n');
    file.close();
    archive.writeMetadata(uuid(last + 2));
    const MessageList newest{user(requirement(2))};
    const Lookup answered = archive.lookup(reader, newest, {}, kT0.addSecs(20));
    ASSERT_TRUE(answered.isVerified()) << reader.lastLookupSummary().toStdString();
    const std::vector<Message> expected{user(requirement(1)), assistant(parts.join(QStringLiteral("\n\n"))),
                                        user(requirement(2)), assistant("Done.")};
    EXPECT_EQ(answered.snapshot()->messages, expected);
    Reader fresh;
    EXPECT_EQ(archive.lookup(fresh, newest, {}, kT0.addSecs(20)), answered);
}

TEST(ClaudeArchiveReader, BackgroundParseDeliversToTheMainThread) {
    Archive archive;
    std::vector<QJsonObject> rows = grownRows();
    rows.push_back(humanRow(15, 14, kHebrew));
    archive.writeRows(rows);
    archive.writeMetadata(uuid(14));
    const std::vector<Message> pair{user(kHebrew), assistant(kReply)};

    Reader reader;
    Lookup first = archive.lookup(reader, pair, observedTail(), QDateTime::currentDateTimeUtc(), false);
    EXPECT_EQ(first.kind(), Lookup::Kind::unverified);
    EXPECT_TRUE(reader.lastLookupSummary().contains("reason=parse_pending"));
    EXPECT_TRUE(reader.parseInFlight());
    // A second lookup while the parse runs starts no other.
    EXPECT_EQ(archive.lookup(reader, pair, observedTail(), QDateTime::currentDateTimeUtc(), false).kind(),
              Lookup::Kind::unverified);

    std::optional<Lookup> verified;
    const bool delivered = pollUntil([&] {
        Lookup result = archive.lookup(reader, pair, observedTail(), QDateTime::currentDateTimeUtc(), false);
        if (result.isVerified())
            verified = result;
        return verified.has_value();
    });
    ASSERT_TRUE(delivered) << reader.lastLookupSummary().toStdString();
    EXPECT_EQ(verified->snapshot()->userCount, 6);
    EXPECT_TRUE(verified->snapshot()->latestVisibleUserCurrent);
    EXPECT_FALSE(reader.parseInFlight());
}

TEST(ClaudeArchiveReader, AGrownTranscriptReadInTheBackgroundEqualsAFreshRead) {
    Archive archive;
    archive.writeRows(firstRows());
    archive.writeMetadata(uuid(10));
    Reader reader;
    ASSERT_TRUE(archive.lookup(reader, {user(requirement(4))}).isVerified());

    // The host appends; the background parse goes on from what the first read learnt.
    QFile file(archive.transcriptPath());
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write(line(humanRow(13, 10, requirement(5))) + '\n' + line(assistantRow(14, 13, "Fifth response.")) +
               '\n');
    file.close();
    archive.writeMetadata(uuid(14));
    const std::vector<Message> visible{user(requirement(4)), user(requirement(5))};
    const QDateTime later = kT0.addSecs(6);
    archive.lookup(reader, visible, {}, later, false);
    ASSERT_TRUE(pollUntil([&] { return !reader.parseInFlight(); }));
    const Lookup grown = archive.lookup(reader, visible, {}, later, false);
    ASSERT_TRUE(grown.isVerified()) << reader.lastLookupSummary().toStdString();

    Reader fresh;
    EXPECT_EQ(grown, archive.lookup(fresh, visible, {}, later));
    EXPECT_EQ(grown.snapshot()->messages.back(), assistant("Fifth response."));
}

TEST(ClaudeArchiveReader, DropsABackgroundResultOfAFileThatChangedMeanwhile) {
    Archive archive;
    archive.writeRows(firstRows());
    archive.writeMetadata(uuid(10));
    Reader reader;
    ASSERT_EQ(archive.lookup(reader, {user(requirement(4))}, {}, kT0, false).kind(),
              Lookup::Kind::unverified);
    // The worker is done and its result waits in the event queue; the file changes first.
    QThreadPool::globalInstance()->waitForDone();
    archive.writeRows(grownRows());
    archive.writeMetadata(uuid(14));
    QCoreApplication::processEvents();
    EXPECT_FALSE(reader.parseInFlight());
    EXPECT_FALSE(reader.cachedRevision());

    // The next lookup reads the file as it is now.
    const std::vector<Message> visible{user(requirement(5))};
    std::optional<Lookup> verified;
    ASSERT_TRUE(pollUntil([&] {
        Lookup result = archive.lookup(reader, visible, {}, kT0.addSecs(1), false);
        if (result.isVerified())
            verified = result;
        return verified.has_value();
    }));
    EXPECT_EQ(verified->snapshot()->userCount, 5);
}

TEST(ClaudeArchiveReader, AnImmediateParseWinsOverAnOlderBackgroundOne) {
    Archive archive;
    archive.writeRows(firstRows());
    archive.writeMetadata(uuid(10));
    {
        Reader reader;
        ASSERT_EQ(archive.lookup(reader, {user(requirement(4))}, {}, kT0, false).kind(),
                  Lookup::Kind::unverified);
        ASSERT_TRUE(reader.parseInFlight());
        // Parsing now stops the background parse: one parse per reader at a time.
        ASSERT_TRUE(archive.lookup(reader, {user(requirement(4))}, {}, kT0, true).isVerified());
        EXPECT_FALSE(reader.parseInFlight());
        const QDateTime parsedAt = reader.lastParseTime();
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
        EXPECT_FALSE(reader.parseInFlight());
        EXPECT_TRUE(archive.lookup(reader, {user(requirement(4))}, {}, kT0, false).isVerified());
        EXPECT_EQ(reader.lastParseTime(), parsedAt);
    }
    // A reader that goes away with a parse running is never called back.
    {
        Reader reader;
        archive.lookup(reader, {user(requirement(4))}, {}, kT0, false);
    }
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
}

// ---------------------------------------------------------------------------------------------
// Broken and hostile archives

class ClaudeArchiveBadInput : public ::testing::Test {
protected:
    // The branch 1-4 with a damaged line placed where each case needs it.
    std::vector<QJsonObject> rows{humanRow(1, 0, requirement(1)), assistantRow(2, 1, "First reply."),
                                  humanRow(3, 2, requirement(2)), assistantRow(4, 3, "Second reply.")};
    Archive archive;
    // Each look is a cold start, so that every rewrite of the files is read.
    std::optional<Reader> reader;

    Lookup look() {
        Limits limits;
        limits.maxLineBytes = 4096;
        limits.maxMetadataBytes = 2048;
        reader.emplace(limits);
        return archive.lookup(*reader, {user(requirement(2))});
    }
    QString summary() const { return reader->lastLookupSummary(); }
    void writeWithLine(int afterRow, const QByteArray& bad, const QByteArray& tail = {}) {
        QByteArray bytes;
        for (size_t i = 0; i < rows.size(); ++i) {
            bytes += line(rows[i]) + '\n';
            if (int(i) + 1 == afterRow)
                bytes += bad + '\n';
        }
        Archive::writeFile(archive.transcriptPath(), bytes + tail);
    }
};

TEST_F(ClaudeArchiveBadInput, AnUnfinishedLastLineIsTheHostStillWriting) {
    archive.writeMetadata(uuid(4));
    archive.writeRows(rows, line(humanRow(5, 4, requirement(3))).left(40));
    ASSERT_TRUE(look().isVerified()) << summary().toStdString();
    EXPECT_TRUE(summary().contains("partialTail=true"));

    // When the unfinished line is the branch's end, nothing is proven.
    archive.writeMetadata(uuid(5));
    EXPECT_EQ(look().kind(), Lookup::Kind::unverified);
    EXPECT_TRUE(summary().contains("reason=leaf_missing")) << summary().toStdString();
}

TEST_F(ClaudeArchiveBadInput, UnreadableLinesOffTheBranchAreCountedOnTheBranchTheyRefuse) {
    archive.writeMetadata(uuid(4));
    writeWithLine(4, "this is not json");
    ASSERT_TRUE(look().isVerified());
    EXPECT_TRUE(summary().contains("badLines=1"));

    // A row of the branch with invalid UTF-8 in a string: the chain breaks there.
    QByteArray broken = line(humanRow(3, 2, requirement(2)));
    broken.replace("requirement", "require\xff\xfement");
    rows.erase(rows.begin() + 2);
    writeWithLine(2, broken);
    EXPECT_EQ(look().kind(), Lookup::Kind::unverified);
    EXPECT_TRUE(summary().contains("reason=missing_parent")) << summary().toStdString();
    EXPECT_TRUE(summary().contains("invalidUtf8Lines=1"));

    // Hostile nesting is refused by the parser, not by the stack.
    rows = {humanRow(1, 0, requirement(1)), assistantRow(2, 1, "First reply."),
            humanRow(3, 2, requirement(2)), assistantRow(4, 3, "Second reply.")};
    writeWithLine(1, QByteArray(2000, '[') + QByteArray(2000, ']'));
    EXPECT_TRUE(look().isVerified());
    EXPECT_TRUE(summary().contains("badLines=1"));
}

TEST_F(ClaudeArchiveBadInput, BrokenAncestryIsRefused) {
    archive.writeMetadata(uuid(4));
    rows[0] = humanRow(1, 4, requirement(1)); // 4 → 3 → 2 → 1 → 4
    archive.writeRows(rows);
    EXPECT_EQ(look().kind(), Lookup::Kind::unverified);
    EXPECT_TRUE(summary().contains("reason=parent_cycle")) << summary().toStdString();

    rows[0] = humanRow(1, 99, requirement(1));
    archive.writeRows(rows);
    EXPECT_EQ(look().kind(), Lookup::Kind::unverified);
    EXPECT_TRUE(summary().contains("reason=missing_parent"));

    archive.writeMetadata(uuid(77));
    EXPECT_EQ(look().kind(), Lookup::Kind::unverified);
    EXPECT_TRUE(summary().contains("reason=leaf_missing"));
}

TEST_F(ClaudeArchiveBadInput, DuplicateIdsAreHarmlessOnlyWhenTheyAgree) {
    archive.writeMetadata(uuid(4));
    rows.push_back(humanRow(3, 2, requirement(2)));
    archive.writeRows(rows);
    ASSERT_TRUE(look().isVerified()) << summary().toStdString();
    EXPECT_EQ(look().snapshot()->messages.size(), 4u);

    rows.back() = humanRow(3, 1, requirement(2));
    archive.writeRows(rows);
    EXPECT_EQ(look().kind(), Lookup::Kind::unverified);
    EXPECT_TRUE(summary().contains("reason=duplicate_uuid"));
}

TEST_F(ClaudeArchiveBadInput, OverlongLinesAreSkippedWithoutBeingHeld) {
    archive.writeMetadata(uuid(4));
    // A bookkeeping line of 3 MB between events (its length is far beyond the limit).
    const QByteArray huge =
        "{\"type\":\"file-history-snapshot\",\"data\":\"" + QByteArray(3 << 20, 'x') + "\"}";
    writeWithLine(2, huge);
    ASSERT_TRUE(look().isVerified()) << summary().toStdString();
    EXPECT_TRUE(summary().contains("longLines=1"));

    // An event of the branch that is too long breaks the chain.
    rows[1] = assistantRow(2, 1, QString(8000, u'y'));
    archive.writeRows(rows);
    EXPECT_EQ(look().kind(), Lookup::Kind::unverified);
    EXPECT_TRUE(summary().contains("reason=missing_parent"));
    EXPECT_TRUE(summary().contains("longLines=1"));

    // An overlong unfinished last line.
    rows[1] = assistantRow(2, 1, "First reply.");
    archive.writeRows(rows, QByteArray(20000, 'z'));
    ASSERT_TRUE(look().isVerified());
    EXPECT_TRUE(summary().contains("longLines=1"));
}

// The limit is the longest line that is read: a reply of the branch written on a line of exactly
// that many bytes (its line feed not counted) is read, one byte more is skipped. The file is read
// by chunks of a mebibyte: a line within one chunk, a line gathered across chunks, and a line that
// fills the first chunk exactly, its line feed the first byte of the next.
TEST(ClaudeArchiveLineLimit, ALineOfExactlyTheLimitIsRead) {
    const qint64 firstLine = line(humanRow(1, 0, requirement(1))).size() + 1;
    for (const qint64 limit : {qint64(4096), qint64(3 << 19), qint64(1 << 20) - firstLine}) {
        for (const qint64 extra : {qint64(0), qint64(1)}) {
            const std::string where = "limit " + std::to_string(limit) + " + " + std::to_string(extra);
            const QByteArray shortest = line(assistantRow(2, 1, QString()));
            const QString reply(qsizetype(limit + extra - shortest.size()), u'y');
            std::vector<QJsonObject> rows{humanRow(1, 0, requirement(1)), assistantRow(2, 1, reply),
                                          humanRow(3, 2, requirement(2)),
                                          assistantRow(4, 3, "Second reply.")};
            ASSERT_EQ(line(rows[1]).size(), limit + extra) << where;
            Archive archive;
            archive.writeRows(rows);
            archive.writeMetadata(uuid(4));
            Limits limits;
            limits.maxLineBytes = limit;
            Reader reader(limits);
            const Lookup result = archive.lookup(reader, {user(requirement(2))});
            const QString summary = reader.lastLookupSummary();
            if (extra == 0) {
                ASSERT_TRUE(result.isVerified()) << where << ' ' << summary.toStdString();
                EXPECT_FALSE(summary.contains("longLines")) << where;
                ASSERT_EQ(result.snapshot()->messages.size(), 4u) << where;
                EXPECT_EQ(result.snapshot()->messages[1].text, reply) << where;
            } else {
                EXPECT_EQ(result.kind(), Lookup::Kind::unverified) << where;
                EXPECT_TRUE(summary.contains("longLines=1")) << where << ' ' << summary.toStdString();
                EXPECT_TRUE(summary.contains("reason=missing_parent")) << where;
            }
        }
    }
}

TEST_F(ClaudeArchiveBadInput, LinesEndingInCarriageReturnsAndBlankLinesRead) {
    archive.writeMetadata(uuid(4));
    QByteArray bytes = "\n   \n";
    for (const QJsonObject& r : rows)
        bytes += line(r) + "\r\n";
    Archive::writeFile(archive.transcriptPath(), bytes);
    ASSERT_TRUE(look().isVerified()) << summary().toStdString();
    EXPECT_EQ(look().snapshot()->messages.size(), 4u);
}

TEST_F(ClaudeArchiveBadInput, MetadataThatCannotBeRead) {
    archive.writeRows(rows);
    const QString path = archive.metadataPath();

    EXPECT_EQ(look().kind(), Lookup::Kind::unavailable);
    EXPECT_TRUE(summary().contains("reason=metadata_missing"));

    ASSERT_TRUE(QDir().mkpath(path));
    EXPECT_EQ(look().kind(), Lookup::Kind::unavailable);
    EXPECT_TRUE(summary().contains("reason=metadata_not_a_file")) << summary().toStdString();
    QDir(path).removeRecursively();

    // A pipe in its place would block a plain open for ever.
    ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    EXPECT_EQ(look().kind(), Lookup::Kind::unavailable);
    EXPECT_TRUE(summary().contains("reason=metadata_not_a_file"));
    QFile::remove(path);

    ASSERT_TRUE(QFile::link(archive.dir.path() + "/nowhere", path));
    EXPECT_EQ(look().kind(), Lookup::Kind::unavailable);
    EXPECT_TRUE(summary().contains("reason=metadata_unreadable")) << summary().toStdString();
    QFile::remove(path);

    Archive::writeFile(path, QByteArray(3000, ' ') + "{}");
    EXPECT_EQ(look().kind(), Lookup::Kind::unavailable);
    EXPECT_TRUE(summary().contains("reason=metadata_too_large"));
}

TEST_F(ClaudeArchiveBadInput, MetadataWithoutUsableFields) {
    archive.writeRows(rows);
    Archive::writeFile(archive.metadataPath(), "{\"sessionId\": ");
    EXPECT_EQ(look().kind(), Lookup::Kind::unverified);
    EXPECT_TRUE(summary().contains("reason=metadata_invalid"));

    archive.writeMetadata(uuid(4), {{"cliSessionId", "../../escape"}});
    EXPECT_EQ(look().kind(), Lookup::Kind::unverified);
    EXPECT_TRUE(summary().contains("field=cliSessionId"));

    archive.writeMetadata(uuid(4), {{"lastAssistantUuid", QJsonValue()}});
    EXPECT_EQ(look().kind(), Lookup::Kind::unverified);
    EXPECT_TRUE(summary().contains("field=lastAssistantUuid"));

    archive.writeMetadata(uuid(4), {{"sessionId", "local_someone-else"}});
    EXPECT_EQ(look().kind(), Lookup::Kind::unverified);
    EXPECT_TRUE(summary().contains("reason=metadata_session_mismatch"));

    archive.writeMetadata(uuid(4), {{"cliSessionId", "33333333-0000-4000-8000-000000000000"}});
    EXPECT_EQ(look().kind(), Lookup::Kind::unavailable);
    EXPECT_TRUE(summary().contains("reason=transcript_missing"));
}

TEST_F(ClaudeArchiveBadInput, TranscriptThatIsNoFile) {
    archive.writeMetadata(uuid(4));
    ASSERT_TRUE(QDir().mkpath(archive.transcriptPath()));
    EXPECT_EQ(look().kind(), Lookup::Kind::unavailable);
    EXPECT_TRUE(summary().contains("reason=transcript_not_a_file")) << summary().toStdString();
    EXPECT_EQ(readBranch(archive.transcriptPath(), uuid(4)).failure, "transcript_not_a_file");
    EXPECT_EQ(readBranch(archive.dir.path() + "/absent.jsonl", uuid(4)).failure, "transcript_unreadable");
}

TEST(ClaudeArchiveReadBranch, StopsWhenCancelled) {
    Archive archive;
    archive.writeRows(firstRows());
    std::atomic<bool> cancel{true};
    Branch branch = readBranch(archive.transcriptPath(), uuid(10), {}, &cancel);
    EXPECT_EQ(branch.failure, "cancelled");
    EXPECT_TRUE(branch.messages.empty());
}

TEST(ClaudeArchiveFixtureHome, TheSampleSessionReadsFromTheDefaultFolders) {
    const QString home = QStringLiteral(QUILLMERE_SOURCE_DIR) + "/tests/fixtures/home";
    Reader reader;
    const Lookup result =
        reader.lookup("https://claude.ai/epitaxy/local_5f0c6a1e-8d2b-4c3a-9e7f-1b2c3d4e5f60",
                      {user("Add a dark mode toggle to the settings page")}, {}, defaultMetadataRoot(home),
                      defaultProjectsRoot(home), kT0, true);
    ASSERT_TRUE(result.isVerified()) << reader.lastLookupSummary().toStdString();
    EXPECT_EQ(
        result.snapshot()->messages,
        (std::vector<Message>{
            user("Add a dark mode toggle to the settings page"),
            assistant("I'll add a toggle that switches the theme and remembers the choice.\n\nThe toggle is "
                      "in place and stores the theme in local storage."),
            user("Now make it follow the system setting by default"),
            assistant("Done: without a saved choice the page follows the system's colour scheme.")}));
    EXPECT_EQ(result.snapshot()->userCount, 2);
    EXPECT_EQ(result.snapshot()->lastCreatedAtMs, 1793611007118);
    EXPECT_FALSE(result.snapshot()->latestVisibleUserCurrent);
}
