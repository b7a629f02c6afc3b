// The application end to end: its delegate on a simulated desktop, the real tracker, cadence,
// classification client and diagnostics, a loopback classification service, in virtual time.

#include "ShellHarness.h"

#include "desktop/card/RailViewController.h"
#include "desktop/classification/RequestLogStore.h"
#include "desktop/shell/SavedPanelOrigin.h"

#include <QAction>
#include <QJsonArray>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::testing;

namespace {

const QString chat = QStringLiteral("com.openai.chat");
const QString claude = QStringLiteral("com.anthropic.claudefordesktop");

QJsonObject requestOf(const LoopbackServer::Recorded& recorded) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(recorded.body)).object();
}

// The demo desktop with ChatGPT in front, its window also listing GPT-5.6 Luna in a menu that
// stays open, so the host shows a lighter model the service may suggest.
QJsonObject chatListingLuna() {
    QJsonObject desktop = demoWithFront(chat);
    QJsonArray apps = desktop.value("apps").toArray();
    for (qsizetype i = 0; i < apps.size(); ++i) {
        QJsonObject app = apps.at(i).toObject();
        if (app.value("bundleID").toString() != chat)
            continue;
        QJsonArray windows = app.value("windows").toArray();
        QJsonObject window = windows.at(0).toObject();
        QJsonArray children = window.value("children").toArray();
        const QJsonObject row{{"role", "AXMenuItem"},
                              {"frame", QJsonArray{900, 600, 200, 30}},
                              {"children", QJsonArray{QJsonObject{{"role", "AXStaticText"}, {"value", "GPT-5.6 Luna"}}}}};
        children.append(QJsonObject{{"role", "AXMenu"}, {"menu", false}, {"frame", QJsonArray{900, 600, 200, 30}},
                                    {"children", QJsonArray{row}}});
        window.insert("children", children);
        windows.replace(0, window);
        app.insert("windows", windows);
        apps.replace(i, app);
    }
    desktop.insert("apps", apps);
    return desktop;
}

// An OpenAI answer suggesting GPT-5.6 Luna at the current effort, a model the host lists.
void suggestLuna(const httplib::Request&, httplib::Response& response) {
    response.set_content(R"({"schemaVersion":3,"provider":"openai","decision":"suggest",)"
                         R"("setting":{"model":"gpt-5.6-luna","effort":"high"},)"
                         R"("reason":"A lighter setting is enough.","requiresVerification":true})",
                         "application/json");
}

LoopbackServer::Handler answering(int status, std::string body) {
    return LoopbackServer::answer(status, std::move(body));
}

struct EndToEnd : ::testing::Test {
    std::unique_ptr<ShellHarness> shell;

    void start(const QJsonObject& fixture, LoopbackServer::Handler openAI) {
        shell = std::make_unique<ShellHarness>(fixture);
        shell->server.post("/v1/recommendations/openai", std::move(openAI));
        shell->launch();
    }
    ApplicationWidget& widget(const QString& id = chat) { return shell->widget(id); }
    RailViewController& card(const QString& id = chat) { return widget(id).railController(); }
    bool settled(const QString& id = chat) {
        return widget(id).displayedInput().has_value() || shell->desktopState() == "classification_error" ||
               shell->desktopState().startsWith("recommendation_");
    }
};

TEST_F(EndToEnd, ReadsClassifiesShowsAndSwitchesTheHost) {
    start(chatListingLuna(), suggestLuna);
    ASSERT_EQ(shell->delegate->widgets().size(), 5u);
    ASSERT_TRUE(shell->runUntil([&] { return card().recommendation().has_value(); }))
        << (shell->server.requests().empty() ? std::string() : shell->server.requests()[0].body);

    // The request went out once, was logged, and its answer is on the card.
    const auto requests = shell->server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, "/v1/recommendations/openai");
    const QJsonObject sent = requestOf(requests[0]);
    EXPECT_EQ(sent.value("provider").toString(), "openai");
    ASSERT_EQ(widget().requestLog().entries().size(), 1u);
    EXPECT_EQ(widget().requestLog().entries()[0].status, QStringLiteral("COMPLETED \u00B7 RECOMMENDATION"));
    EXPECT_EQ(widget().debugPhase(), "Recommendation displayed");
    EXPECT_EQ(shell->desktopState(), "recommended");
    EXPECT_TRUE(shell->hasEvent("Recommendation displayed: ticket 1"));
    EXPECT_TRUE(widget().panel()->isPanelVisible());
    EXPECT_EQ(shell->file("quillmere-widgets-status.json").value(chat).toBool(), true);

    // The switch drives the host's picker, and the card confirms what the host reads back.
    const Recommendation target = *card().recommendation();
    card().useRecommendation();
    EXPECT_FALSE(card().validateUse()) << "a second switch while one runs";
    ASSERT_TRUE(shell->runUntil([&] { return shell->desktopState() == "setting_confirmed" ||
                                             shell->desktopState() == "switch_failed"; }))
        << shell->desktop->journal().lines().join('\n').toStdString();
    EXPECT_EQ(shell->desktopState(), "setting_confirmed")
        << widget().tracker().lastApplyFailure().value_or("").toStdString();
    EXPECT_FALSE(widget().applyRunning());
    EXPECT_TRUE(shell->desktop->journal().lines().join('\n').contains("chatgpt.picker"));
    const auto snapshot = widget().tracker().conversationSnapshot();
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->currentModel, target.model);
    EXPECT_EQ(snapshot->currentEffort, target.effort);
}

TEST_F(EndToEnd, AskingClassifiesTheQuestionAloneWithTheHostsControls) {
    start(chatListingLuna(), suggestLuna);
    shell->run(1);
    ASSERT_TRUE(card().onAsk);
    card().onAsk(QStringLiteral("Rename these files"));
    card().onAsk(QStringLiteral("Draft a short thank-you note"));
    ASSERT_TRUE(shell->runUntil([&] { return !widget().askRunning(); }));
    const auto requests = shell->server.requests();
    ASSERT_FALSE(requests.empty());
    const QJsonObject asked = requestOf(requests.back());
    EXPECT_FALSE(asked.value("historyComplete").toBool(true));
    const QJsonArray messages = asked.value("messages").toArray();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0].toObject().value("role").toString(), "user");
    EXPECT_EQ(messages[0].toObject().value("text").toString(), "Draft a short thank-you note");
    EXPECT_EQ(asked.value("current").toObject().value("model").toString(), "gpt-5.6-sol");
    // The ask takes no ticket and leaves the card's own analysis alone.
    EXPECT_FALSE(card().recommendation());
    EXPECT_EQ(widget().debounce().requestCount, 0);
}

TEST_F(EndToEnd, ServiceErrorsEndInTheirCardTextAndStateAndTheLoopGoesOn) {
    struct Case {
        const char* name;
        int status;
        std::string body;
        QString state;
        QString event;
    };
    const std::vector<Case> cases = {
        {"500", 500, "{}", "classification_error", "Request failed: HTTP 500, ticket 1"},
        {"not JSON", 200, "<html>busy</html>", "classification_error",
         "Request failed: response or service error, ticket 1"},
        {"abstention", 200,
         R"({"schemaVersion":3,"provider":"openai","decision":"abstain","reason":"Not enough context yet.","requiresVerification":false})",
         "recommendation_abstained", "No recommendation: ticket 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start(demoWithFront(chat), answering(c.status, c.body));
        ASSERT_TRUE(shell->runUntil([&] { return shell->hasEvent(c.event); }))
            << shell->events().join('\n').toStdString();
        EXPECT_EQ(shell->desktopState(), c.state);
        EXPECT_FALSE(card().recommendation());
        EXPECT_FALSE(widget().analysisRunning());
        // The loop keeps ticking: the phase moves on past the outcome.
        const int before = widget().presentationMetrics().windowShowCount;
        shell->run(3);
        EXPECT_TRUE(widget().debugPhase().startsWith(QStringLiteral("Waiting / skipped \u2014 ")))
            << widget().debugPhase().toStdString();
        EXPECT_EQ(widget().presentationMetrics().windowShowCount, before);
        shell.reset();
    }
}

TEST_F(EndToEnd, NoAnswerWithinTheDeadlineIsAConnectionError) {
    shell = std::make_unique<ShellHarness>(demoWithFront(chat));
    shell->transport = std::make_unique<ShortDeadlineTransport>(0.5);
    shell->environment.widget.transport = shell->transport.get();
    shell->server.post("/v1/recommendations/openai", LoopbackServer::answer(200, "{}", std::chrono::milliseconds(3000)));
    shell->launch();
    ASSERT_TRUE(shell->runUntil([&] { return shell->hasEvent("Request failed: network code -1001, ticket 1"); }))
        << shell->events().join('\n').toStdString();
    EXPECT_EQ(shell->desktopState(), "classification_error");
    EXPECT_FALSE(widget().analysisRunning());
}

TEST_F(EndToEnd, TheUnconfiguredDefaultAddressFailsAsAConnectionError) {
    shell = std::make_unique<ShellHarness>(demoWithFront(chat));
    qunsetenv(ClassificationService::endpointEnvironmentVariable);
    shell->environment.widget.endpoint = QUrl(QStringLiteral("https://classification.quillmere.invalid/classify"));
    shell->launch();
    ASSERT_TRUE(shell->runUntil([&] { return shell->desktopState() == "classification_error"; }))
        << shell->events().join('\n').toStdString();
    bool networkEvent = false;
    for (const QString& line : shell->events())
        networkEvent = networkEvent || line.contains("Request failed: network code ");
    EXPECT_TRUE(networkEvent) << shell->events().join('\n').toStdString();
}

// A Claude request that cannot be built (its model evidence is too old to vouch for the current
// setting) fails before anything is sent; the widget must not be left waiting on it for ever.
TEST_F(EndToEnd, AClassificationThatFailsBeforeSendingLeavesNoTaskBehind) {
    shell = std::make_unique<ShellHarness>(demoWithFront(claude));
    ManualClock longAgo(1.0); // the tracker stamps its evidence a long time before now
    shell->environment.widget.tracker->clock = &longAgo;
    shell->launch();
    ASSERT_TRUE(shell->runUntil([&] { return shell->hasEvent("No recommendation: ticket 1"); }))
        << shell->events().join('\n').toStdString();
    EXPECT_TRUE(shell->server.requests().empty());
    EXPECT_FALSE(widget(claude).analysisRunning());
    EXPECT_EQ(shell->desktopState(), "recommendation_abstained");
    EXPECT_EQ(shell->file("quillmere-desktop-status.json").value("detail").toString(),
              "Available model options not observed");
}

TEST_F(EndToEnd, HostsThatComeGoAndHide) {
    start(chatListingLuna(), suggestLuna);
    ASSERT_TRUE(shell->runUntil([&] { return card().recommendation().has_value(); }));
    ApplicationWidget* before = &widget();
    QMenu* menu = shell->delegate->statusItem()->menu();
    ASSERT_TRUE(menu);
    EXPECT_EQ(menu->actions().size(), 5 + 1 + 4);

    // The workspace hides the host: the card goes, the widget stays.
    shell->desktop->hide(4101);
    shell->run(0.5);
    EXPECT_FALSE(widget().panel()->isPanelVisible());
    EXPECT_EQ(widget().debugPhase(), QStringLiteral("Paused \u2014 host inactive"));
    EXPECT_EQ(shell->file("quillmere-widgets-status.json").value(chat).toBool(true), false);

    // It quits: the widget and its menu item remain.
    shell->desktop->terminate(4101);
    shell->run(0.5);
    EXPECT_EQ(&widget(), before);
    EXPECT_EQ(shell->delegate->statusItem()->menu(), menu) << "a host that quits does not rebuild the menu";

    // It comes back under a new process: the same widget serves it.
    shell->desktop->addApplication(4201, chat, QStringLiteral("ChatGPT"), true);
    shell->run(0.5);
    EXPECT_EQ(&widget(), before);
    EXPECT_EQ(shell->delegate->widgets().size(), 5u);
    EXPECT_EQ(widget().debugPhase(), "Waiting for host window");
    EXPECT_EQ(shell->desktopState(), "supported_window_unavailable");
    EXPECT_FALSE(widget().panel()->isPanelVisible());
}

TEST_F(EndToEnd, AHostStartedMidRunGetsAWidgetAndAMenuItem) {
    QJsonObject fixture = demoWithFront(chat);
    QJsonArray apps;
    for (const QJsonValue& app : fixture.value("apps").toArray())
        if (app.toObject().value("bundleID").toString() == chat)
            apps.append(app);
    fixture.insert("apps", apps);
    shell = std::make_unique<ShellHarness>(fixture);
    shell->launch();
    ASSERT_EQ(shell->delegate->widgets().size(), 1u);
    EXPECT_EQ(shell->delegate->statusItem()->menu()->actions().size(), 1 + 1 + 4);

    shell->desktop->addApplication(4301, QStringLiteral("com.openai.codex"), QStringLiteral("Codex"), false);
    shell->run(0.3);
    ASSERT_EQ(shell->delegate->widgets().size(), 2u);
    const QList<QAction*> items = shell->delegate->statusItem()->menu()->actions();
    ASSERT_EQ(items.size(), 2 + 1 + 4);
    EXPECT_EQ(items[0]->text(), "ChatGPT");
    EXPECT_EQ(items[1]->text(), "ChatGPT");
    EXPECT_TRUE(items[1]->menu());
    EXPECT_EQ(shell->delegate->widget("com.openai.codex")->debugPhase(), QStringLiteral("Paused \u2014 host inactive"));
}

TEST_F(EndToEnd, StatusMenuAndQuit) {
    shell = std::make_unique<ShellHarness>(QJsonObject{{"apps", QJsonArray{}}});
    shell->launch();
    StatusItem* item = shell->delegate->statusItem();
    ASSERT_TRUE(item);
    EXPECT_EQ(item->title(), QStringLiteral("\u25C8"));
    EXPECT_EQ(item->toolTip(), "Quillmere Zudizur");
    QStringList titles;
    for (QAction* action : item->menu()->actions())
        titles << (action->isSeparator() ? QStringLiteral("-") : action->text());
    EXPECT_EQ(titles, (QStringList{"-", QStringLiteral("Connect widget\u2026"), QStringLiteral("Monthly usage report\u2026"),
                                   QStringLiteral("Open Debug Window\u2026"), "Quit Quillmere"}));
    EXPECT_EQ(item->menu()->actions().last()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    EXPECT_TRUE(shell->delegate->ticking());
    item->menu()->actions().last()->trigger();
    EXPECT_FALSE(shell->delegate->ticking());
}

TEST_F(EndToEnd, WidgetMenuAndSavedOrigin) {
    start(demoWithFront(chat), answering(500, "{}"));
    shell->run(0.5);
    std::unique_ptr<QMenu> menu(widget().makeMenu());
    QStringList titles;
    for (QAction* action : menu->actions())
        titles << (action->isSeparator() ? QStringLiteral("-") : action->text());
    EXPECT_EQ(titles, (QStringList{"Show recommendation", "Pause local usage collection", "-", "Reset panel position",
                                   "Open Accessibility Settings"}));
    EXPECT_FALSE(menu->actions().last()->isEnabled()) << "no settings pane on this platform";
    menu->actions()[1]->trigger();
    EXPECT_EQ(menu->actions()[1]->text(), "Resume local usage collection");

    // Beside the host window until the user drags the card; then where the user left it.
    const QRectF beside = widget().panel()->frame();
    EXPECT_FALSE(widget().manuallyPositioned());
    widget().panel()->setFrameOrigin(QPointF(40, 50));
    widget().panel()->onDragFinished();
    EXPECT_EQ(shell->defaults->string("QuillmerePanelOrigin.com.openai.chat"), QStringLiteral("{40, 50}"));
    shell->run(0.5);
    EXPECT_EQ(widget().panel()->frame().topLeft(), QPointF(40, 50));
    menu->actions()[3]->trigger();
    EXPECT_FALSE(shell->defaults->string("QuillmerePanelOrigin.com.openai.chat"));
    EXPECT_EQ(widget().panel()->frame().x(), beside.x());
}

TEST_F(EndToEnd, ADamagedSavedOriginIsIgnored) {
    shell = std::make_unique<ShellHarness>(demoWithFront(chat));
    shell->defaults->set("QuillmerePanelOrigin.com.openai.chat", QStringLiteral("{nan, 1e400}"));
    shell->defaults->set("QuillmerePanelOrigin.com.openai.codex", QStringLiteral("{300, 200}"));
    shell->launch();
    EXPECT_FALSE(widget().manuallyPositioned());
    EXPECT_TRUE(widget("com.openai.codex").manuallyPositioned());
    // The card opens where it was left: its top edge stays as the card takes its content's height.
    const QRectF codex = widget("com.openai.codex").panel()->frame();
    EXPECT_EQ(codex.x(), 300);
    EXPECT_EQ(codex.y() + codex.height(), 200 + 260);
}

} // namespace
