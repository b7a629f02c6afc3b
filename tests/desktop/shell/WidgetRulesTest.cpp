// The widget's rules around the shown recommendation and its life: when a shown recommendation
// may still be applied, what an ask shows, the phases of a closed, inspected or untrusted card,
// and what quitting leaves behind.

#include "ShellHarness.h"

#include "desktop/card/RailViewController.h"
#include "desktop/connector/ConnectorTestSupport.h"
#include "desktop/connector/ConnectorWindowController.h"
#include "desktop/shell/StatusItem.h"

#include <QAction>
#include <QJsonArray>
#include <QMenu>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::testing;

namespace {

const QString chat = QStringLiteral("com.openai.chat");
const QString claude = QStringLiteral("com.anthropic.claudefordesktop");

void suggestLuna(const httplib::Request&, httplib::Response& response) {
    response.set_content(R"({"schemaVersion":3,"provider":"openai","decision":"suggest",)"
                         R"("setting":{"model":"gpt-5.6-luna","effort":"high"},)"
                         R"("reason":"A lighter setting is enough.","requiresVerification":true})",
                         "application/json");
}

QAction* menuItem(ShellHarness& shell, const QString& title) {
    for (QAction* action : shell.delegate->statusItem()->menu()->actions())
        if (action->text() == title)
            return action;
    return nullptr;
}

QString usageLines(const ShellHarness& shell) {
    QString lines;
    for (const QFileInfo& file :
         QDir(shell.dir.filePath("usage")).entryInfoList({"usage-*.jsonl"}, QDir::Files)) {
        QFile events(file.filePath());
        events.open(QIODevice::ReadOnly);
        lines += QString::fromUtf8(events.readAll());
    }
    return lines;
}

struct WidgetRules : ::testing::Test {
    std::unique_ptr<ShellHarness> shell;

    ApplicationWidget& widget(const QString& id = chat) { return shell->widget(id); }
    RailViewController& card(const QString& id = chat) { return widget(id).railController(); }

    // ChatGPT in front showing GPT-5.6 Luna as its recommendation.
    void showRecommendation() {
        shell = std::make_unique<ShellHarness>(chatListingLuna());
        shell->server.post("/v1/recommendations/openai", suggestLuna);
        shell->launch();
        ASSERT_TRUE(shell->runUntil([&] { return card().recommendation().has_value(); }))
            << shell->events().join('\n').toStdString();
    }
};

} // namespace

// Every condition under which a shown recommendation no longer applies to what the host reads.
TEST_F(WidgetRules, AShownRecommendationAppliesOnlyToTheInputItWasMadeFor) {
    showRecommendation();
    const auto snapshot = widget().tracker().conversationSnapshot();
    ASSERT_TRUE(snapshot);
    const RecommendationCadence::Input current = snapshot->cadenceInput();
    ASSERT_TRUE(widget().recommendationApplies(current));

    struct Row {
        const char* name;
        std::function<void(RecommendationCadence::Input&)> change;
    };
    const std::vector<Row> rows = {
        {"another conversation", [](auto& input) { input.context += QStringLiteral("-other"); }},
        {"history not current", [](auto& input) { input.historyCurrent = false; }},
        {"an attachment", [](auto& input) { input.attachment = true; }},
        {"not eligible", [](auto& input) { input.eligible = false; }},
        {"a new request in the conversation",
         [](auto& input) {
             input.turn += 1;
             input.text =
                 QStringLiteral("Write a full business plan with financial projections for five years.");
         }},
    };
    std::vector<Row> all = rows;
    // A host that numbers its history places: an earlier one is an older view of the conversation.
    if (const auto highest = widget().debounce().highestPosition)
        all.push_back({"an earlier place in the history",
                       [highest](auto& input) { input.historyPosition = *highest - 1; }});
    for (const Row& row : all) {
        SCOPED_TRACE(row.name);
        RecommendationCadence::Input changed = current;
        row.change(changed);
        EXPECT_FALSE(widget().recommendationApplies(changed));
    }

    // A stale card applies to nothing, not even the input it was made for.
    card().setRecommendationStale(true);
    EXPECT_FALSE(widget().recommendationApplies(current));
    card().setRecommendationStale(false);
    EXPECT_TRUE(widget().recommendationApplies(current));
}

// The user sends a new message after the card showed its recommendation: the switch is refused
// until the new request has been analysed.
TEST_F(WidgetRules, NoApplyAfterTheConversationChanged) {
    showRecommendation();
    ASSERT_TRUE(card().validateUse());
    ASSERT_EQ(shell->desktop->setAttributeValue(
                  shell->desktop->element("chatgpt.message3.text"), "AXValue",
                  ax::Value(QStringLiteral("Now write a detailed comparison of five mortgage offers."))),
              ax::Error::success);
    EXPECT_FALSE(card().validateUse());
    card().useButton()->click();
    EXPECT_FALSE(widget().applyRunning());
}

TEST_F(WidgetRules, AskMessages) {
    // Nothing readable: the ask says what to do first, and nothing is sent.
    {
        shell = std::make_unique<ShellHarness>(demoWithFront(chat));
        shell->launch();
        shell->run(0.5);
        shell->desktop->setTrusted(false);
        card().onAsk(QStringLiteral("Rename these files"));
        EXPECT_EQ(card().askResult()->text(),
                  QStringLiteral("Open a conversation so Quillmere can read the available models."));
        EXPECT_FALSE(widget().askRunning());
        EXPECT_TRUE(shell->transport.sent.empty());
        shell.reset();
    }
    // Two quick asks: the answer to the first never reaches the panel, even when it comes last.
    {
        showRecommendation();
        shell->transport.holding = true;
        shell->transport.answersAfterCancel = true;
        card().onAsk(QStringLiteral("Rename these files"));
        card().onAsk(QStringLiteral("Draft a short thank-you note"));
        ASSERT_TRUE(shell->runUntil([&] { return shell->transport.held.size() == 2; }));
        shell->transport.release(1, 200,
                                 R"({"schemaVersion":3,"provider":"openai","decision":"suggest",)"
                                 R"("setting":{"model":"gpt-5.6-luna","effort":"high"},)"
                                 R"("reason":"A lighter setting is enough.","requiresVerification":true})");
        ASSERT_TRUE(shell->runUntil([&] { return !widget().askRunning(); }));
        const QString second = card().askResult()->text();
        EXPECT_TRUE(second.contains("A lighter setting is enough.")) << second.toStdString();
        shell->transport.release(0, 200,
                                 R"({"schemaVersion":3,"provider":"openai","decision":"abstain",)"
                                 R"("reason":"The first question's answer.","requiresVerification":false})");
        ASSERT_TRUE(shell->settle());
        EXPECT_EQ(card().askResult()->text(), second);
        shell.reset();
    }
}

// The phases of a card the user closed, one being inspected, and a host without trust.
TEST_F(WidgetRules, ClosedInspectedAndUntrustedPhases) {
    showRecommendation();
    widget().dismissPanel();
    shell->run(0.5);
    EXPECT_EQ(widget().debugPhase(), QStringLiteral("Closed \u2014 launcher available"));
    EXPECT_FALSE(widget().panel()->isPanelVisible());
    EXPECT_TRUE(widget().launcherPanel()->isPanelVisible());
    shell->desktop->activate(4103); // Claude comes to the front
    shell->run(0.5);
    EXPECT_EQ(widget().debugPhase(), QStringLiteral("Closed \u2014 host inactive"));
    EXPECT_FALSE(widget().launcherPanel()->isPanelVisible());

    // The user clicks the card: Quillmere is in front with the card key, and the host is left alone.
    shell->desktop->activate(4101);
    widget().showPanel();
    shell->run(0.5);
    shell->desktop->addApplication(4999, QStringLiteral("com.quillmere.zudizur"), QStringLiteral("Quillmere"),
                                   false);
    shell->desktop->activate(4999);
    widget().panel()->makeKeyAndOrderFront();
    QCoreApplication::processEvents();
    ASSERT_TRUE(widget().panel()->isKeyWindow());
    shell->desktop->resetCallCounts();
    shell->run(0.5);
    EXPECT_EQ(widget().debugPhase(), QStringLiteral("Paused while inspecting Quillmere"));
    EXPECT_TRUE(widget().panel()->isPanelVisible());
    EXPECT_EQ(shell->desktop->callCounts().attributeReads, 0u) << "the host is not scanned";
    shell.reset();

    shell = std::make_unique<ShellHarness>(demoWithFront(chat));
    shell->desktop->setTrusted(false);
    shell->launch();
    shell->run(0.5);
    EXPECT_EQ(widget().debugPhase(), "Waiting for host window");
    EXPECT_EQ(shell->desktopState(), "accessibility_denied");
}

// The status menu's quit stops every widget: the pending observation ends with "app_closed", and
// every card is published as hidden.
TEST_F(WidgetRules, QuitRecordsAppClosedAndHidesEveryCard) {
    showRecommendation();
    ASSERT_TRUE(widget().panel()->isPanelVisible());
    EXPECT_FALSE(usageLines(*shell).contains("\"app_closed\""));
    QAction* quit = menuItem(*shell, "Quit Quillmere");
    ASSERT_TRUE(quit);
    quit->trigger();
    EXPECT_EQ(usageLines(*shell).count("\"app_closed\""), 1) << usageLines(*shell).toStdString();
    EXPECT_FALSE(widget().panel()->isPanelVisible());
    const QJsonObject shown = shell->file("quillmere-widgets-status.json");
    ASSERT_TRUE(shown.contains(chat));
    for (auto it = shown.begin(); it != shown.end(); ++it)
        EXPECT_FALSE(it.value().toBool(true)) << it.key().toStdString();
}

// "Connect widget…" lays the connector's setup out in the card's middle mode, neither compact nor
// expanded, and it stays so.
TEST_F(WidgetRules, TheConnectorSetupCardIsNeitherCompactNorExpanded) {
    shell = std::make_unique<ShellHarness>(demoWithFront(chat));
    auto storage = std::make_shared<MemoryStorage>();
    auto preferences = std::make_shared<MemoryPreferences>();
    shell->environment.makeConnectorWindow = [storage, preferences] {
        return std::make_unique<ConnectorWindowController>(false, *storage, preferences.get());
    };
    shell->server.post("/v1/recommendations/openai", LoopbackServer::answer(500, "{}"));
    shell->launch();
    shell->run(0.5);
    QAction* connect = menuItem(*shell, QStringLiteral("Connect widget\u2026"));
    ASSERT_TRUE(connect);
    connect->trigger();
    ASSERT_TRUE(widget().cardShowsConnectorSetup());
    EXPECT_FALSE(card().minimized());
    EXPECT_FALSE(card().expanded());
    EXPECT_EQ(widget().panel()->width(), 310);
    shell->run(0.5);
    EXPECT_FALSE(card().minimized());
    EXPECT_FALSE(card().expanded());
}
