#include "desktop/observation/ClaudeWindowTracker.h"

#include "TrackerDesktops.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::testing;

namespace {

const QString fixtureHome = QStringLiteral(QUILLMERE_SOURCE_DIR "/tests/fixtures/home");
const QString session = QStringLiteral("local_5f0c6a1e-8d2b-4c3a-9e7f-1b2c3d4e5f60");

HostWindow claudeCodeWindow(std::vector<Turn> turns) {
    HostWindow host;
    host.pid = 504;
    host.bundleID = "com.anthropic.claudefordesktop";
    host.name = "Claude";
    host.title = "Dark mode toggle - Claude";
    host.webURL = QStringLiteral("https://claude.ai/epitaxy/") + session;
    host.picker = "Sonnet 5.5 Medium";
    host.effort.reset();
    host.assistantHeading = "Claude responded:";
    host.turns = std::move(turns);
    return host;
}

// A private copy of the fixture home, for a test that writes to the session's files.
QString copiedHome(const QString& to) {
    QDirIterator files(fixtureHome, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString from = files.next();
        const QString target = to + from.mid(fixtureHome.size());
        QDir().mkpath(QFileInfo(target).path());
        QFile::copy(from, target);
    }
    return to;
}

class ClaudeCodeSessionReadingTest : public ::testing::Test {
protected:
    std::unique_ptr<ClaudeWindowTracker> tracker(const QString& home = fixtureHome) {
        auto environment = bench.environment();
        environment.claudeMetadataRoot = ClaudeLocalConversationArchive::defaultMetadataRoot(home);
        environment.claudeProjectsRoot = ClaudeLocalConversationArchive::defaultProjectsRoot(home);
        return std::make_unique<ClaudeWindowTracker>(QStringLiteral("com.anthropic.claudefordesktop"),
                                                     environment);
    }
    void load(const HostWindow& host) {
        desktop.reset();
        desktop = sim::SimulatedDesktop::fromJson(desktopJson({host}), scheduler);
        desktop->install();
    }

    // Reads until `done` holds for a snapshot, letting the transcript's background parse post its
    // result; gives up after a few seconds instead of hanging.
    std::optional<ClaudeWindowTracker::ConversationSnapshot>
    readUntil(ClaudeWindowTracker& reader,
              const std::function<bool(const ClaudeWindowTracker::ConversationSnapshot&)>& done) {
        QElapsedTimer timer;
        timer.start();
        std::optional<ClaudeWindowTracker::ConversationSnapshot> snapshot;
        while (timer.elapsed() < 5000) {
            snapshot = reader.conversationSnapshot();
            if (snapshot && done(*snapshot))
                return snapshot;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(10);
        }
        return snapshot;
    }

    VirtualScheduler scheduler{100.0};
    TrackerBench bench;
    std::unique_ptr<sim::SimulatedDesktop> desktop;
};

} // namespace

TEST_F(ClaudeCodeSessionReadingTest, AVerifiedSessionGivesTheWholeBranchUnderItsSessionKey) {
    load(claudeCodeWindow(
        {{"user", "Now make it follow the system setting by default", {}, 0},
         {"assistant", "Done: without a saved choice the page follows the system's colour scheme.", {}, 0}}));
    auto reader = tracker();

    // The transcript is parsed in the background: the first read goes on with the window alone.
    const auto first = reader->conversationSnapshot();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->conversationID, "claude-code|session:" + session);
    EXPECT_TRUE(first->conversationIdentityVerified);
    EXPECT_EQ(first->messages.size(), 2u);
    EXPECT_TRUE(reader->lastReadSummary().contains("; claudeCodeArchiveLookup="));

    const auto verified = readUntil(*reader, [](const auto& s) { return s.messages.size() == 4; });
    ASSERT_TRUE(verified);
    ASSERT_EQ(verified->messages.size(), 4u);
    EXPECT_EQ(verified->messages[0].text, "Add a dark mode toggle to the settings page");
    EXPECT_EQ(verified->messages[1].role, "assistant");
    EXPECT_EQ(verified->conversationID, "claude-code|session:" + session);
    EXPECT_TRUE(verified->historyComplete);
    EXPECT_TRUE(verified->historyCurrent);
    EXPECT_TRUE(reader->lastReadSummary().contains("claudeCodeArchiveLookup=status=verified"));
}

TEST_F(ClaudeCodeSessionReadingTest, ForeignMessagesKeepTheWindowsOwnHistory) {
    load(claudeCodeWindow({{"user", "Write a limerick about databases", {}, 0},
                           {"assistant", "There once was a table named Lou.", {}, 0}}));
    auto reader = tracker();
    // Give the parse every chance to finish: the answer must still be the window's own.
    const auto snapshot = readUntil(*reader, [](const auto&) { return false; });
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->messages.size(), 2u);
    EXPECT_EQ(snapshot->conversationID, "claude-code|session:" + session);
    EXPECT_FALSE(snapshot->historyComplete);
    EXPECT_FALSE(reader->lastReadSummary().contains("status=verified"));
}

TEST_F(ClaudeCodeSessionReadingTest, AChatPageIsNotASession) {
    HostWindow host = claudeCodeWindow({{"user", "Now make it follow the system setting by default", {}, 0}});
    host.webURL = QStringLiteral("https://claude.ai/chat/0f8e7d6c-5b4a-4321-9876-abcdef012345");
    load(host);
    auto reader = tracker();
    const auto snapshot = reader->conversationSnapshot();
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->conversationID, *host.webURL);
    EXPECT_FALSE(reader->lastReadSummary().contains("claudeCodeArchiveLookup"));
}

// However long the session, a read of an unchanged window over an unchanged transcript hands on
// the history it handed on before: the archive answers as it did, memory's recall is taken as it
// was, and the snapshot's messages are that very list.
TEST_F(ClaudeCodeSessionReadingTest, AnUnchangedSessionIsReadWithoutCopyingItsHistory) {
    HostWindow host = claudeCodeWindow(
        {{"user", "Now make it follow the system setting by default", {}, 0},
         {"assistant", "Done: without a saved choice the page follows the system's colour scheme.", {}, 0}});
    load(host);
    auto reader = tracker(copiedHome(bench.dir.filePath("home")));
    ASSERT_TRUE(readUntil(*reader, [](const auto& s) { return s.messages.size() == 4; }));
    // Memory stores the branch once two reads agree on it; from then on nothing changes.
    ASSERT_TRUE(reader->conversationSnapshot());
    const auto settled = reader->conversationSnapshot();
    ASSERT_TRUE(settled);

    for (int read = 0; read < 3; ++read) {
        const int kept = reader->keptObservations();
        const auto again = reader->conversationSnapshot();
        ASSERT_TRUE(again);
        EXPECT_TRUE(reader->claudeArchiveReader().lastLookupUnchanged()) << read;
        EXPECT_EQ(reader->keptObservations(), kept + 1) << read;
        EXPECT_TRUE(again->messages.isSameListAs(settled->messages)) << read;
        EXPECT_EQ(*again, *settled) << read;
        ASSERT_TRUE(reader->usageSnapshot());
        EXPECT_EQ(reader->usageSnapshot()->turns.size(), 4u);
    }

    // Another model selected: the history is still the same list.
    host.picker = "Opus 5 High";
    load(host);
    const auto otherModel = reader->conversationSnapshot();
    ASSERT_TRUE(otherModel);
    EXPECT_NE(otherModel->currentModel, settled->currentModel);
    EXPECT_TRUE(otherModel->messages.isSameListAs(settled->messages));

    // Another message in the window is another window: verified afresh, with the branch again.
    host.turns.insert(host.turns.begin(), Turn{"user", "Add a dark mode toggle to the settings page", {}, 0});
    load(host);
    const auto wider = reader->conversationSnapshot();
    ASSERT_TRUE(wider);
    EXPECT_FALSE(reader->claudeArchiveReader().lastLookupUnchanged());
    EXPECT_EQ(wider->messages, settled->messages);
}

TEST_F(ClaudeCodeSessionReadingTest, AnUnchangedSessionKeepsMemorysRecallAndAnyChangeReadsAfresh) {
    HostWindow host = claudeCodeWindow(
        {{"user", "Now make it follow the system setting by default", {}, 0},
         {"assistant", "Done: without a saved choice the page follows the system's colour scheme.", {}, 0}});
    load(host);
    const QString home = copiedHome(bench.dir.filePath("home"));
    auto reader = tracker(home);
    const auto verified = readUntil(*reader, [](const auto& s) { return s.messages.size() == 4; });
    ASSERT_TRUE(verified);
    ASSERT_EQ(verified->messages.size(), 4u);
    // Settled once memory has stored the branch.
    const auto settled = reader->conversationSnapshot();
    ASSERT_TRUE(settled);
    const QString summary = reader->lastReadSummary();
    const auto usage = reader->usageSnapshot();

    // Nothing changed: the recall is taken as it was, and the read is the same in every part.
    const int kept = reader->keptObservations();
    const auto again = reader->conversationSnapshot();
    EXPECT_EQ(reader->keptObservations(), kept + 1);
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *settled);
    EXPECT_EQ(reader->lastReadSummary(), summary);
    EXPECT_EQ(reader->usageSnapshot(), usage);

    // Another selected model: the history stands, the setting is read anew.
    host.picker = "Opus 5 High";
    load(host);
    const auto otherModel = reader->conversationSnapshot();
    ASSERT_TRUE(otherModel);
    EXPECT_NE(otherModel->currentModel, settled->currentModel);
    EXPECT_EQ(otherModel->messages, settled->messages);

    // Another conversation observed in between changes memory: coming back reads afresh, and
    // gives what it gave before.
    HostWindow chat = claudeCodeWindow({{"user", "Write a limerick about databases", {}, 0}});
    chat.webURL = QStringLiteral("https://claude.ai/chat/0f8e7d6c-5b4a-4321-9876-abcdef012345");
    load(chat);
    const auto elsewhere = reader->conversationSnapshot();
    ASSERT_TRUE(elsewhere);
    EXPECT_NE(elsewhere->conversationID, settled->conversationID);
    EXPECT_EQ(elsewhere->messages.size(), 1u);
    host.picker = claudeCodeWindow({}).picker;
    load(host);
    const int before = reader->keptObservations();
    const auto back = reader->conversationSnapshot();
    EXPECT_EQ(reader->keptObservations(), before);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, *settled);

    // A new turn in the transcript, which the session's metadata now ends at: read afresh.
    const QString transcript =
        home + "/.claude/projects/-home-example-dashboard/9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d.jsonl";
    QFile lines(transcript);
    ASSERT_TRUE(lines.open(QIODevice::Append));
    lines.write(
        R"({"parentUuid":"c0ffee00-0000-4000-8000-000000000007","sessionId":"9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d","cwd":"/home/example/dashboard","version":"2.1.0","gitBranch":"main","isSidechain":false,"userType":"external","type":"user","uuid":"c0ffee00-0000-4000-8000-000000000011","timestamp":"2026-11-02T09:17:00.000Z","message":{"role":"user","content":"Add a keyboard shortcut too"},"origin":{"kind":"human"}})"
        "\n"
        R"({"parentUuid":"c0ffee00-0000-4000-8000-000000000011","sessionId":"9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d","cwd":"/home/example/dashboard","version":"2.1.0","gitBranch":"main","isSidechain":false,"userType":"external","type":"assistant","uuid":"c0ffee00-0000-4000-8000-000000000012","timestamp":"2026-11-02T09:17:30.000Z","message":{"role":"assistant","content":[{"type":"text","text":"Added: Ctrl+Shift+L switches the theme."}]},"requestId":"req_04"})"
        "\n");
    lines.close();
    const QString metadata =
        home + "/.config/Claude/claude-code-sessions/0b1c2d3e-account/4f5a6b7c-org/" + session + ".json";
    QFile metadataFile(metadata);
    ASSERT_TRUE(metadataFile.open(QIODevice::ReadOnly));
    QByteArray described = metadataFile.readAll();
    metadataFile.close();
    described.replace("c0ffee00-0000-4000-8000-000000000007", "c0ffee00-0000-4000-8000-000000000012");
    ASSERT_TRUE(metadataFile.open(QIODevice::WriteOnly | QIODevice::Truncate));
    metadataFile.write(described);
    metadataFile.close();
    bench.clock.advance(10);
    // Until the background parse lands the reads stand on the branch as it was; the read that
    // first gives the new turn is a fresh one.
    std::optional<ClaudeWindowTracker::ConversationSnapshot> extended;
    bool keptWhenExtended = true;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 5000 && !(extended && extended->messages.size() == 6)) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        const int beforeRead = reader->keptObservations();
        extended = reader->conversationSnapshot();
        keptWhenExtended = reader->keptObservations() != beforeRead;
    }
    ASSERT_TRUE(extended);
    ASSERT_EQ(extended->messages.size(), 6u);
    EXPECT_EQ(extended->messages.back().text, "Added: Ctrl+Shift+L switches the theme.");
    EXPECT_FALSE(keptWhenExtended);
}
