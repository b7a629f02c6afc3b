#include "desktop/observation/ClaudeWindowTracker.h"

#include "CodexLocalConversationArchiveTestSupport.h"
#include "TrackerDesktops.h"
#include "core/HostConstants.h"
#include "desktop/diagnostics/Diagnostics.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace quillmere;
using namespace quillmere::testing;
using Snapshot = ClaudeWindowTracker::ConversationSnapshot;

namespace {

QString sourcePath(const char* relative) {
    return QStringLiteral(QUILLMERE_SOURCE_DIR "/") + relative;
}

QString claudeChat(const char* id) {
    return QStringLiteral("https://") + HostConstants::claudeWebHost + QStringLiteral("/chat/") + id;
}
QString chatGPTChat(const char* id) {
    return QStringLiteral("https://") + HostConstants::chatGPTWebHost + QStringLiteral("/c/") + id;
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class SnapshotReadingTest : public ::testing::Test {
protected:
    void load(const QByteArray& json) {
        desktop.reset();
        desktop = sim::SimulatedDesktop::fromJson(json, scheduler);
        desktop->install();
    }
    void loadFile(const QString& path) {
        desktop.reset();
        desktop = sim::SimulatedDesktop::fromFile(path, scheduler);
        desktop->install();
    }
    std::unique_ptr<ClaudeWindowTracker> tracker(const QString& bundleID, const QString& memoryFolder = {}) {
        return std::make_unique<ClaudeWindowTracker>(bundleID, bench.environment(memoryFolder));
    }

    VirtualScheduler scheduler{100.0};
    TrackerBench bench;
    std::unique_ptr<sim::SimulatedDesktop> desktop;
};

} // namespace

TEST_F(SnapshotReadingTest, TheDemoDesktopGivesEachHostAVerifiedCurrentSnapshot) {
    loadFile(sourcePath("share/demo-desktop.json"));

    auto chat = tracker("com.openai.chat")->conversationSnapshot();
    ASSERT_TRUE(chat.has_value());
    EXPECT_EQ(chat->provider, AIProvider::openAI);
    ASSERT_EQ(chat->messages.size(), 4u);
    EXPECT_EQ(chat->messages[0].role, "user");
    EXPECT_TRUE(chat->messages[0].text.startsWith("Plan a relaxed three-day weekend in Lisbon"));
    EXPECT_EQ(chat->messages[3].role, "assistant");
    EXPECT_EQ(chat->currentModel, "gpt-5.6-sol");
    EXPECT_EQ(chat->currentModelID, std::nullopt);
    EXPECT_EQ(chat->currentEffort, "high");
    EXPECT_TRUE(chat->currentSettingKnown);
    EXPECT_EQ(chat->surfaceMode, "chat");
    EXPECT_EQ(chat->conversationID, chatGPTChat("6751a0c2-4d1e-8000-b3a7-5c2e9f1d0a11"));
    EXPECT_TRUE(chat->conversationIdentityVerified);
    EXPECT_EQ(chat->conversationTitle, "Weekend trip to Lisbon");
    EXPECT_FALSE(chat->conversationScopeID.isEmpty());
    EXPECT_EQ(chat->historyPosition, 4);
    EXPECT_TRUE(chat->historyCurrent);
    EXPECT_TRUE(chat->historyComplete); // messages 1 to 4 of 4 are all in view
    EXPECT_EQ(chat->observedUserTurnCount, 2);
    EXPECT_FALSE(chat->hasAttachment);
    EXPECT_TRUE(chat->extractionSummary.contains("modelPickerFound=true; selectedModelParsed=true"));
    EXPECT_TRUE(chat->extractionSummary.contains("positionedMessages=4"));
    // The sidebar's conversation titles are no messages.
    for (const auto& message : chat->messages)
        EXPECT_NE(message.text, "Sourdough starter schedule");

    auto work = tracker("com.openai.chatgpt")->conversationSnapshot();
    ASSERT_TRUE(work.has_value());
    EXPECT_EQ(work->surfaceMode, "work");
    EXPECT_EQ(work->currentModel, "gpt-6-luna");
    EXPECT_EQ(work->currentEffort, "medium");
    EXPECT_EQ(work->messages.size(), 4u);
    EXPECT_TRUE(work->conversationIdentityVerified);

    auto codex = tracker("com.openai.codex")->conversationSnapshot();
    ASSERT_TRUE(codex.has_value());
    EXPECT_EQ(codex->conversationID, "com.openai.codex|title:Migrate the billing tables");
    EXPECT_TRUE(codex->conversationIdentityVerified);
    EXPECT_EQ(codex->surfaceMode, "work");
    EXPECT_EQ(codex->currentModel, "gpt-5.6-terra");
    ASSERT_EQ(codex->messages.size(), 4u);
    EXPECT_EQ(codex->messages[2].text, "Add a check that the row counts match after the backfill.");

    auto claude = tracker("com.anthropic.claudefordesktop")->conversationSnapshot();
    ASSERT_TRUE(claude.has_value());
    EXPECT_EQ(claude->provider, AIProvider::claude);
    EXPECT_EQ(claude->conversationID, claudeChat("0f8e7d6c-5b4a-4321-9876-abcdef012345"));
    EXPECT_EQ(claude->currentModel, "sonnet");
    EXPECT_EQ(claude->currentModelID, "claude-sonnet-5-5");
    EXPECT_EQ(claude->currentEffort, "medium");
    EXPECT_FALSE(claude->currentExtended);
    EXPECT_TRUE(claude->currentSettingKnown);
    EXPECT_EQ(claude->surfaceMode, std::nullopt);
    ASSERT_EQ(claude->messages.size(), 4u);
    EXPECT_EQ(claude->messages[0].role, "user");
    EXPECT_EQ(claude->messages[1].role, "assistant");
    EXPECT_EQ(claude->messages[2].text, "Which of these would suit a ten-year-old?");
    EXPECT_EQ(claude->historyPosition, std::nullopt);
    EXPECT_FALSE(claude->historyComplete);
    // The selected model is known even with the menu closed.
    EXPECT_TRUE(claude->availableModelIDs.contains("claude-sonnet-5-5"));
}

TEST_F(SnapshotReadingTest, NothingReadableGivesNoSnapshotAndSaysWhy) {
    ClaudeWindowTracker fresh("com.openai.chat", bench.environment());
    EXPECT_EQ(fresh.lastReadSummary(), ClaudeWindowTracker::initialReadSummary);

    // No host running at all.
    load(R"({"apps": []})");
    EXPECT_FALSE(fresh.conversationSnapshot());
    EXPECT_TRUE(fresh.lastReadSummary().startsWith("read=no_host; axScanTruncated=unknown"));
    EXPECT_FALSE(fresh.modelControlsUnavailable());

    // No picker: the model controls are missing.
    HostWindow host;
    host.document = chatGPTChat("a1");
    host.picker.reset();
    host.effort.reset();
    host.turns = numberedTurns(1, 2, 2);
    load(desktopJson({host}));
    EXPECT_FALSE(fresh.conversationSnapshot());
    EXPECT_TRUE(fresh.modelControlsUnavailable());
    EXPECT_FALSE(fresh.userContextUnavailable());
    EXPECT_TRUE(fresh.lastReadSummary().contains("modelPickerFound=false"));

    // Messages without speakers or text: nothing sent can be read.
    host.picker = "GPT-5.6 Sol";
    host.turns.clear();
    host.extraChildren = QJsonArray{
        QJsonObject{{"role", "AXGroup"}, {"children", QJsonArray{QJsonObject{{"role", "AXImage"}}}}}};
    load(desktopJson({host}));
    EXPECT_FALSE(fresh.conversationSnapshot());
    EXPECT_FALSE(fresh.modelControlsUnavailable());
    EXPECT_TRUE(fresh.userContextUnavailable());
    EXPECT_TRUE(fresh.recommendationContextIncomplete());
    EXPECT_TRUE(fresh.lastReadSummary().contains("sentContextReadable=false"));
    EXPECT_FALSE(fresh.usageSnapshot().has_value());

    // Without accessibility trust nothing is read.
    desktop->setTrusted(false);
    EXPECT_FALSE(fresh.conversationSnapshot());
    EXPECT_TRUE(fresh.lastReadSummary().startsWith("read=no_accessibility"));
}

TEST_F(SnapshotReadingTest, ASwitchOfConversationChangesTheIdentityAndScope) {
    HostWindow host;
    host.document = chatGPTChat("first");
    host.turns = numberedTurns(1, 2, 2);
    auto reader = tracker("com.openai.chat");
    load(desktopJson({host}));
    // Memory gives a conversation its own scope once two reads agree on it.
    reader->conversationSnapshot();
    const auto first = reader->conversationSnapshot();
    ASSERT_TRUE(first);
    EXPECT_FALSE(reader->unreadableVerifiedConversationID());

    host.document = chatGPTChat("second?model=gpt#top");
    host.turns = {{"user", "A different question entirely", 1, 1}};
    load(desktopJson({host}));
    reader->conversationSnapshot();
    const auto second = reader->conversationSnapshot();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->conversationID, chatGPTChat("second"));
    EXPECT_NE(second->conversationID, first->conversationID);
    EXPECT_NE(second->conversationScopeID, first->conversationScopeID);
    EXPECT_NE(second->cadenceInput().context, first->cadenceInput().context);
    EXPECT_NE(second->analysisSignature(), first->analysisSignature());

    // The verified conversation becomes unreadable: the tracker names it once.
    host.picker.reset();
    host.effort.reset();
    load(desktopJson({host}));
    EXPECT_FALSE(reader->conversationSnapshot());
    EXPECT_EQ(reader->unreadableVerifiedConversationID(), chatGPTChat("second"));
    EXPECT_FALSE(reader->conversationSnapshot());
    EXPECT_EQ(reader->unreadableVerifiedConversationID(), std::nullopt);
}

TEST_F(SnapshotReadingTest, IdentityFallsBackFromDocumentToNavigationToTitle) {
    HostWindow host;
    host.bundleID = "com.anthropic.claudefordesktop";
    host.name = "Claude";
    host.picker = "Sonnet 5.5 Medium";
    host.effort.reset();
    host.assistantHeading = "Claude responded:";
    host.title = "Claude";
    host.turns = {{"user", "Plan the launch checklist", {}, 0},
                  {"assistant", "Here is the checklist", {}, 0}};
    // A sidebar whose selected row carries a renderer id (not durable) and a title.
    host.extraChildren = QJsonArray{QJsonObject{
        {"role", "AXGroup"},
        {"description", "Sidebar"},
        {"children", QJsonArray{QJsonObject{{"role", "AXLink"},
                                            {"title", "Launch planning"},
                                            {"attributes", QJsonObject{{"AXSelected", true},
                                                                       {"AXDOMIdentifier", "_r_5gb_"}}}},
                                QJsonObject{{"role", "AXLink"}, {"title", "Old chat"}}}}}};
    load(desktopJson({host}));
    auto reader = tracker("com.anthropic.claudefordesktop");
    auto snapshot = reader->conversationSnapshot();
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->conversationID, "com.anthropic.claudefordesktop|title:Launch planning");
    EXPECT_EQ(snapshot->conversationTitle, "Launch planning");
    EXPECT_TRUE(snapshot->conversationIdentityVerified);
    // The sidebar's titles are not messages.
    EXPECT_EQ(snapshot->messages.size(), 2u);

    // A durable row key wins over the title and survives a rename.
    host.extraChildren = QJsonArray{QJsonObject{
        {"role", "AXGroup"},
        {"description", "Sidebar"},
        {"children",
         QJsonArray{QJsonObject{
             {"role", "AXLink"},
             {"title", "Renamed launch"},
             {"attributes", QJsonObject{{"AXSelected", true}, {"AXDOMIdentifier", "conversation-123"}}}}}}}};
    load(desktopJson({host}));
    snapshot = reader->conversationSnapshot();
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->conversationID, "com.anthropic.claudefordesktop|navigation:conversation-123");

    // Nothing names the conversation: a fallback that is not verified.
    host.extraChildren = {};
    load(desktopJson({host}));
    snapshot = reader->conversationSnapshot();
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->conversationID, "com.anthropic.claudefordesktop|fallback:pid:501");
    EXPECT_FALSE(snapshot->conversationIdentityVerified);
    EXPECT_TRUE(reader->recommendationContextIncomplete());
}

TEST_F(SnapshotReadingTest, ScrolledAwayHistoryIsNotCurrentOrComplete) {
    HostWindow host;
    host.document = chatGPTChat("long");
    host.turns = numberedTurns(1, 4, 12);
    host.scrolledAway = true;
    load(desktopJson({host}));
    auto reader = tracker("com.openai.chat");
    const auto snapshot = reader->conversationSnapshot();
    ASSERT_TRUE(snapshot);
    EXPECT_FALSE(snapshot->historyCurrent);
    EXPECT_FALSE(snapshot->historyComplete);
    EXPECT_EQ(snapshot->historyPosition, 4);
    EXPECT_TRUE(snapshot->extractionSummary.contains("historyCurrent=false"));
}

TEST_F(SnapshotReadingTest, ALongConversationScrolledInThreeStepsIsRememberedWhole) {
    HostWindow host;
    host.document = chatGPTChat("long");
    auto reader = tracker("com.openai.chat");
    std::optional<Snapshot> snapshot;
    for (int step = 0; step < 3; ++step) {
        host.turns = numberedTurns(1 + 4 * step, 4 + 4 * step, 12);
        host.scrolledAway = step < 2;
        load(desktopJson({host}));
        // Memory accepts a conversation once it has been seen twice alike.
        reader->conversationSnapshot();
        snapshot = reader->conversationSnapshot();
        ASSERT_TRUE(snapshot);
    }
    ASSERT_EQ(snapshot->messages.size(), 12u);
    EXPECT_TRUE(snapshot->messages.front().text.startsWith("Question number 1 "));
    EXPECT_TRUE(snapshot->messages.back().text.startsWith("Answer number 12 "));
    EXPECT_TRUE(snapshot->historyCurrent);
    EXPECT_TRUE(snapshot->historyComplete);
    EXPECT_EQ(snapshot->observedUserTurnCount, 6);
}

TEST_F(SnapshotReadingTest, MemoryFileSurvivesARestartAndADamagedFileIsSetAside) {
    HostWindow host;
    host.document = chatGPTChat("kept");
    host.turns = numberedTurns(1, 2, 2);
    load(desktopJson({host}));
    const QString folder = bench.dir.filePath("support");
    QString scope;
    {
        auto reader = tracker("com.openai.chat", folder);
        reader->conversationSnapshot();
        const auto snapshot = reader->conversationSnapshot();
        ASSERT_TRUE(snapshot);
        scope = snapshot->conversationScopeID;
        const QString path = reader->memory().file().path();
        ASSERT_TRUE(QFileInfo::exists(path));
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        ASSERT_EQ(::stat(QFile::encodeName(folder).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
    {
        auto restarted = tracker("com.openai.chat", folder);
        const auto snapshot = restarted->conversationSnapshot();
        ASSERT_TRUE(snapshot);
        EXPECT_EQ(snapshot->conversationScopeID, scope);
    }

    const QString path = QDir(folder).filePath("conversation-memory-com.openai.chat.json");
    {
        QFile damaged(path);
        ASSERT_TRUE(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate));
        damaged.write("[{\"key\": 7}");
    }
    ::testing::internal::CaptureStderr();
    auto afterDamage = tracker("com.openai.chat", folder);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(afterDamage->memory().startedAfterDamage());
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1);
    EXPECT_NE(said.find("conversation memory"), std::string::npos);
    const QStringList aside =
        QDir(folder).entryList({"conversation-memory-com.openai.chat.json.damaged-*"}, QDir::Files);
    ASSERT_EQ(aside.size(), 1);
    EXPECT_EQ(readFile(QDir(folder).filePath(aside.first())), "[{\"key\": 7}");
    const auto snapshot = afterDamage->conversationSnapshot();
    ASSERT_TRUE(snapshot);
    EXPECT_NE(snapshot->conversationScopeID, scope);
}

TEST_F(SnapshotReadingTest, EvidenceFilesDescribeTheReadWithoutContent) {
    loadFile(sourcePath("share/demo-desktop.json"));
    auto reader = tracker("com.openai.chat");
    ASSERT_TRUE(reader->conversationSnapshot());
    const QDir diagnostics(bench.dir.filePath("diagnostics"));
    const QByteArray identity = readFile(diagnostics.filePath(Diagnostics::identityStatusFileName));
    EXPECT_TRUE(identity.contains("\"identitySource\":\"document\""));
    EXPECT_TRUE(identity.contains("\"windowDocumentReadable\":1"));
    const QByteArray identities = readFile(diagnostics.filePath(Diagnostics::messageIdentitiesFileName));
    const QByteArray structure = readFile(diagnostics.filePath(Diagnostics::messageStructureFileName));
    const QByteArray window =
        readFile(diagnostics.filePath("quillmere-window-evidence-com.openai.chat.json"));
    EXPECT_TRUE(identities.contains("\"ordinal\":3"));
    EXPECT_TRUE(structure.contains("\"messageRoot\":true"));
    EXPECT_TRUE(window.contains("[1200,860]"));
    for (const QByteArray& file : {identity, identities, structure, window}) {
        EXPECT_FALSE(file.contains("Lisbon"));
        EXPECT_FALSE(file.contains("6751a0c2"));
    }
}

TEST_F(SnapshotReadingTest, CurrentWindowIsMeasuredFromTheBottomLeft) {
    loadFile(sourcePath("share/demo-desktop.json"));
    auto reader = tracker("com.openai.chat");
    const auto window = reader->currentWindow();
    ASSERT_TRUE(window);
    // Frame [100, 80, 1200, 860] on a screen 1000 high.
    EXPECT_EQ(window->frame, QRectF(100, 1000 - 80 - 860, 1200, 860));
    EXPECT_EQ(window->processIdentifier, 4101);
    desktop->hide(4101);
    EXPECT_FALSE(reader->currentWindow());
}

TEST_F(SnapshotReadingTest, ACodexTaskIsVerifiedAgainstItsArchive) {
    CodexArchive archive;
    const auto messages = taskMessages();
    archive.addThread(sql("thread-7"), sql("Parser rework"), sqlNull());
    archive.addMessages("thread-7", messages);

    HostWindow host;
    host.pid = 503;
    host.bundleID = "com.openai.codex";
    host.name = "Codex";
    host.title = "Parser rework - Codex";
    host.picker = "GPT-6 Sol";
    host.assistantHeading = "Codex said:";
    for (std::size_t i = 2; i < messages.size(); ++i)
        host.turns.push_back({messages[i].role,
                              messages[i].role == "assistant" ? rendered(messages[i].text) : messages[i].text,
                              {},
                              0});
    load(desktopJson({host}));
    auto environment = bench.environment();
    environment.codexDirectory = archive.path();
    ClaudeWindowTracker reader("com.openai.codex", environment);
    const auto snapshot = reader.conversationSnapshot();
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->conversationID, "com.openai.codex|thread:thread-7");
    EXPECT_EQ(snapshot->messages.size(), messages.size());
    EXPECT_EQ(snapshot->messages.front().text, messages.front().text);
    EXPECT_TRUE(snapshot->historyComplete);

    // The same title with unrelated messages: the archive cannot vouch for the window.
    for (auto& turn : host.turns)
        turn.text = QStringLiteral("Unrelated ") + turn.text;
    load(desktopJson({host}));
    EXPECT_FALSE(reader.conversationSnapshot());
    EXPECT_TRUE(
        reader.lastReadSummary().contains("; codexArchiveIdentityUnverified=true; codexArchiveLookup="));
}
