#include "desktop/observation/ClaudeWindowTracker.h"

#include "TrackerDesktops.h"

#include <QCoreApplication>
#include <QElapsedTimer>
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

class ClaudeCodeSessionReadingTest : public ::testing::Test {
protected:
    std::unique_ptr<ClaudeWindowTracker> tracker() {
        auto environment = bench.environment();
        environment.claudeMetadataRoot = ClaudeLocalConversationArchive::defaultMetadataRoot(fixtureHome);
        environment.claudeProjectsRoot = ClaudeLocalConversationArchive::defaultProjectsRoot(fixtureHome);
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
