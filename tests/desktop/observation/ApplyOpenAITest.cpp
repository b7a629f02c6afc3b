// Switching an OpenAI host's model and effort on the simulated desktop (virtual time).

#include "ApplyTestSupport.h"

#include <QElapsedTimer>

using namespace quillmere;
using namespace quillmere::applytest;

namespace {

constexpr qint32 chatGPT = 501;

QJsonObject openAIDesktop() {
    return fixture(QStringLiteral("apply-openai.json"));
}

// Every exit of a switch that got past its first checks leaves nothing open and is over.
void expectSettled(ApplyBench& bench) {
    EXPECT_FALSE(bench.anyMenuOpen(chatGPT)) << bench.journal().join('\n').toStdString();
    EXPECT_FALSE(bench.applier->applying());
}

void expectFailure(ApplyBench& bench, const char* code) {
    EXPECT_EQ(bench.last->result, false);
    EXPECT_EQ(bench.applier->lastApplyFailure(), QString::fromLatin1(code));
    expectSettled(bench);
}

TEST(ApplyOpenAI, SwitchesModelThenEffortAndReadsThePickerBack) {
    ApplyBench bench(openAIDesktop());
    EXPECT_EQ(bench.run(AIProvider::openAI, "gpt-5.6-luna", std::nullopt, "low"), true);
    EXPECT_EQ(bench.journal(),
              (QStringList{"activate 501", "action AXShowMenu chatgpt.picker",
                           "action AXPress chatgpt.modelRow.luna", "action AXShowMenu chatgpt.effort",
                           "action AXPress chatgpt.effortRow.low"}));
    EXPECT_EQ(bench.title("chatgpt.picker"), "GPT-5.6 Luna");
    EXPECT_EQ(bench.title("chatgpt.effort"), "Low");
    EXPECT_FALSE(bench.applier->lastApplyFailure());
    expectSettled(bench);
    const RunningApplication host = *Workspace::current().application(chatGPT);
    EXPECT_TRUE(bench.host->settingIsConfirmed("gpt-5.6-luna", std::nullopt, "low", false, host));
    EXPECT_FALSE(bench.host->settingIsConfirmed("gpt-5.6-luna", std::nullopt, "high", false, host));
}

TEST(ApplyOpenAI, TheReadBackWalksTheWindowsOwnChildrenWithinItsCap) {
    // Five thousand elements before the toolbar: the switch's searches (up to 6,000 elements over
    // every child-like list) still find the picker, the read-back (5,000 children) does not.
    QJsonObject desktop = openAIDesktop();
    patchNode(desktop, "chatgpt.window", [](QJsonObject& window) {
        QJsonArray filler;
        for (int i = 0; i < 5000; ++i)
            filler.append(QJsonObject{{"role", "AXGroup"}});
        QJsonArray children = window["children"].toArray();
        children.prepend(QJsonObject{{"role", "AXGroup"}, {"children", filler}});
        window["children"] = children;
    });
    ApplyBench bench(desktop);
    const RunningApplication host = *Workspace::current().application(chatGPT);
    const auto window = bench.host->focusedWindow(host);
    ASSERT_TRUE(window);
    EXPECT_TRUE(ModelSettingApplier::picker(*bench.host, AIProvider::openAI, *window));
    EXPECT_FALSE(bench.host->settingIsConfirmed("gpt-5.6-sol", std::nullopt, "high", false, host));
}

TEST(ApplyOpenAI, ASettingAlreadyShownIsConfirmedWithoutAnyPress) {
    ApplyBench bench(openAIDesktop());
    EXPECT_EQ(bench.run(AIProvider::openAI, "gpt-5.6-sol", std::nullopt, "high"), true);
    EXPECT_EQ(bench.journal(), (QStringList{"activate 501"}));
}

TEST(ApplyOpenAI, TheRightModelGoesStraightToTheEffortControl) {
    ApplyBench bench(openAIDesktop());
    EXPECT_EQ(bench.run(AIProvider::openAI, "gpt-5.6-sol", std::nullopt, "xhigh"), true);
    EXPECT_EQ(bench.journal(), (QStringList{"activate 501", "action AXShowMenu chatgpt.effort",
                                            "action AXPress chatgpt.effortRow.xhigh"}));
    EXPECT_EQ(bench.title("chatgpt.effort"), "Extra high");
}

TEST(ApplyOpenAI, AnEntryNamingAnotherEffortIsNotChosen) {
    QJsonObject desktop = openAIDesktop();
    // The first Luna entry offers Luna at high effort; the second plain Luna.
    patchNode(desktop, "chatgpt.modelRow.terra", [](QJsonObject& row) {
        QJsonArray children{
            QJsonObject{{"id", "terra.name"}, {"role", "AXStaticText"}, {"value", "GPT-5.6 Luna High"}}};
        row["children"] = children;
    });
    ApplyBench bench(desktop);
    bench.run(AIProvider::openAI, "gpt-5.6-luna", std::nullopt, "low");
    EXPECT_TRUE(bench.actions().contains("action AXPress chatgpt.modelRow.luna"));
    EXPECT_FALSE(bench.actions().contains("action AXPress chatgpt.modelRow.terra"));
}

TEST(ApplyOpenAI, TheOpeningLadderTriesEveryWayAndTakesItsTimeInVirtualTime) {
    QJsonObject desktop = openAIDesktop();
    // Every opening action reports success and nothing opens.
    setAction(desktop, "chatgpt.picker", "AXShowMenu", doNothing());
    setAction(desktop, "chatgpt.picker", "AXPress", doNothing());
    ApplyBench bench(desktop);
    QElapsedTimer real;
    real.start();
    bench.run(AIProvider::openAI, "gpt-5.6-luna", std::nullopt, "low");
    expectFailure(bench, "model_menu_did_not_open");
    const QStringList escape{"key 501 53 down", "key 501 53 up"};
    const QStringList expected =
        QStringList{"activate 501", "action AXShowMenu chatgpt.picker"} + escape +
        QStringList{"action AXPress chatgpt.picker"} + escape +
        QStringList{"set AXFocused=true chatgpt.picker", "key 501 49 down", "key 501 49 up"} + escape +
        QStringList{"set AXFocused=true chatgpt.picker", "key 501 36 down", "key 501 36 up"} + escape +
        QStringList{"mouse moved 590,106", "mouse down 590,106 chatgpt.picker",
                    "mouse up 590,106 chatgpt.picker", "mouse moved 0,0"};
    EXPECT_EQ(bench.journal(), expected) << bench.journal().join('\n').toStdString();
    // Five polls of 16 pauses, two key sequences (0.05 + 0.03 s) and one click (0.03 + 0.03 + 0.05 s).
    EXPECT_NEAR(bench.last->finishedAt - bench.last->startedAt, 5 * 16 * 0.15 + 2 * 0.08 + 0.11, 1e-6);
    // The pauses were not slept: the run took less real time than the virtual time it spent. The
    // bound is that loose on purpose, so a loaded machine does not fail it.
    EXPECT_LT(real.elapsed(), qint64((5 * 16 * 0.15 + 2 * 0.08 + 0.11) * 1000));
}

TEST(ApplyOpenAI, APickerThatAnswersOnlyToTheClickIsOpenedByIt) {
    QJsonObject desktop = openAIDesktop();
    setAction(desktop, "chatgpt.picker", "AXShowMenu", doFail());
    setAction(desktop, "chatgpt.picker", "AXPress", doFail());
    patchNode(desktop, "chatgpt.picker", [](QJsonObject& picker) {
        picker["click"] = QJsonArray{QJsonObject{
            {"do", "attach"}, {"template", "chatgpt.modelMenu"}, {"under", "$window"}, {"after", 0.2}}};
    });
    ApplyBench bench(desktop);
    EXPECT_EQ(bench.run(AIProvider::openAI, "gpt-5.6-terra", std::nullopt, "high"), true);
    const QStringList journal = bench.journal();
    // Refused actions are followed at once by the next; Space and Return report success but open
    // nothing, so each is polled out before the click.
    EXPECT_EQ(journal.mid(0, 4), (QStringList{"activate 501", "action AXShowMenu chatgpt.picker -> failure",
                                              "key 501 53 down", "key 501 53 up"}));
    EXPECT_EQ(journal.filter("mouse down").size(), 1);
    EXPECT_EQ(journal.filter("key 501 53 down").size(), 4);
    EXPECT_EQ(journal.filter(QRegularExpression("key 501 (49|36) down")).size(), 2);
    EXPECT_TRUE(journal.contains("action AXPress chatgpt.modelRow.terra"));
    EXPECT_EQ(bench.title("chatgpt.picker"), "GPT-5.6 Terra");
    EXPECT_EQ(journal.filter("chatgpt.effort").size(), 0) << "the effort was already right";
}

TEST(ApplyOpenAI, EscapeIsNotPostedOnceTheUserHasTurnedToAnotherApplication) {
    QJsonObject desktop = openAIDesktop();
    setAction(desktop, "chatgpt.picker", "AXShowMenu", doNothing());
    setAction(desktop, "chatgpt.picker", "AXPress", doNothing());
    ApplyBench bench(desktop);
    bench.scheduler.schedule(1.0, [&bench] { bench.desktop->activate(600); });
    bench.run(AIProvider::openAI, "gpt-5.6-luna", std::nullopt, "low");
    expectFailure(bench, "model_menu_did_not_open");
    EXPECT_TRUE(bench.keys().isEmpty()) << bench.keys().join('\n').toStdString();
    EXPECT_TRUE(bench.journal().filter("mouse").isEmpty());
}

TEST(ApplyOpenAI, AConversationChangeStopsTheSwitchBeforeTheNextPress) {
    QJsonObject desktop = openAIDesktop();
    setAction(desktop, "chatgpt.picker", "AXShowMenu",
              QJsonArray{
                  QJsonObject{{"do", "attach"}, {"template", "chatgpt.modelMenu"}, {"after", 0.2}},
                  QJsonObject{{"do", "changeConversation"}, {"title", "Sourdough starter"}, {"after", 0.1}}});
    ApplyBench bench(desktop);
    bench.run(AIProvider::openAI, "gpt-5.6-luna", std::nullopt, "low");
    expectFailure(bench, "conversation_changed");
    EXPECT_EQ(bench.journal(), (QStringList{"activate 501", "action AXShowMenu chatgpt.picker",
                                            "action AXCancel chatgpt.modelMenu"}));
}

// The last press is made in the right conversation, and the user opens another one while the
// picker is read back: the new conversation's picker showing the target proves nothing about the
// conversation the switch was for.
TEST(ApplyOpenAI, AConversationChangeDuringTheReadBackIsNotConfirmed) {
    QJsonObject desktop = openAIDesktop();
    setAction(
        desktop, "chatgpt.effortRow.low", "AXPress",
        QJsonArray{QJsonObject{{"do", "changeConversation"}, {"title", "Sourdough starter"}, {"after", 0.1}},
                   QJsonObject{{"do", "set"},
                               {"target", "chatgpt.effort"},
                               {"attribute", "AXTitle"},
                               {"value", "Low"},
                               {"after", 0.2}},
                   QJsonObject{{"do", "closeMenus"}}});
    ApplyBench bench(desktop);
    bench.run(AIProvider::openAI, "gpt-5.6-luna", std::nullopt, "low");
    expectFailure(bench, "settings_not_confirmed_check_chatgpt_picker");
    EXPECT_EQ(bench.title("chatgpt.effort"), "Low") << "the picker did show the target";
    EXPECT_TRUE(bench.actions().contains("action AXPress chatgpt.effortRow.low"));
}

TEST(ApplyOpenAI, ANewUserMessageCountsAsAnotherConversation) {
    QJsonObject desktop = openAIDesktop();
    ApplyBench bench(desktop);
    // The user sends a message while the switch waits for the picker.
    bench.scheduler.schedule(0.4, [&bench] {
        ax::setAttributeValue(bench.desktop->element("chatgpt.user1"), "AXValue", ax::Value("And Porto?"));
    });
    bench.run(AIProvider::openAI, "gpt-5.6-luna", std::nullopt, "low");
    expectFailure(bench, "conversation_changed");
    EXPECT_FALSE(bench.actions().contains("action AXShowMenu chatgpt.effort"));
}

TEST(ApplyOpenAI, ADisabledOrRefusingEntryLeavesTheOptionUnavailable) {
    {
        ApplyBench bench(openAIDesktop());
        bench.run(AIProvider::openAI, "gpt-6-astra", std::nullopt, "high");
        expectFailure(bench, "model_option_unavailable");
        EXPECT_TRUE(bench.actions().contains("action AXCancel chatgpt.modelMenu"));
    }
    {
        QJsonObject desktop = openAIDesktop();
        setAction(desktop, "chatgpt.modelRow.luna", "AXPress", doFail());
        ApplyBench bench(desktop);
        bench.run(AIProvider::openAI, "gpt-5.6-luna", std::nullopt, "low");
        expectFailure(bench, "model_option_unavailable");
    }
}

TEST(ApplyOpenAI, APickerThatNeverShowsTheNewModelIsNotConfirmed) {
    QJsonObject desktop = openAIDesktop();
    setAction(desktop, "chatgpt.modelRow.luna", "AXPress", QJsonArray{QJsonObject{{"do", "closeMenus"}}});
    ApplyBench bench(desktop);
    bench.run(AIProvider::openAI, "gpt-5.6-luna", std::nullopt, "low");
    expectFailure(bench, "model_change_not_confirmed");
}

TEST(ApplyOpenAI, WithoutAnEffortControlTheEffortCannotBeSet) {
    QJsonObject desktop = openAIDesktop();
    removeNode(desktop, "chatgpt.effort");
    ApplyBench bench(desktop);
    bench.run(AIProvider::openAI, "gpt-5.6-luna", std::nullopt, "low");
    expectFailure(bench, "model_changed_effort_control_unavailable");
    EXPECT_EQ(bench.title("chatgpt.picker"), "GPT-5.6 Luna") << "the model did change";
}

TEST(ApplyOpenAI, AnEffortMenuThatNeverOpensLeavesTheControlUnavailable) {
    QJsonObject desktop = openAIDesktop();
    setAction(desktop, "chatgpt.effort", "AXShowMenu", doNothing());
    ApplyBench bench(desktop);
    bench.run(AIProvider::openAI, "gpt-5.6-sol", std::nullopt, "low");
    expectFailure(bench, "model_changed_effort_control_unavailable");
}

TEST(ApplyOpenAI, AMissingEffortRowIsCancelledAndTheStillOpenListEscaped) {
    QJsonObject desktop = openAIDesktop();
    // The model list stays open after the choice and ignores its cancel action, so the clean-up
    // has to close it with Escape.
    setAction(desktop, "chatgpt.modelRow.luna", "AXPress",
              QJsonArray{QJsonObject{{"do", "set"},
                                     {"target", "chatgpt.picker"},
                                     {"attribute", "AXTitle"},
                                     {"value", "GPT-5.6 Luna"},
                                     {"after", 0.3}}});
    setAction(desktop, "chatgpt.modelMenu", "AXCancel", doNothing());
    ApplyBench bench(desktop);
    bench.run(AIProvider::openAI, "gpt-5.6-luna", std::nullopt, "max");
    EXPECT_EQ(bench.applier->lastApplyFailure(), "model_changed_effort_option_unavailable");
    const QStringList journal = bench.journal();
    EXPECT_EQ(journal.mid(journal.size() - 3),
              (QStringList{"action AXCancel chatgpt.modelMenu", "key 501 53 down", "key 501 53 up"}))
        << journal.join('\n').toStdString();
}

TEST(ApplyOpenAI, AMissingOrRefusingEffortRowLeavesTheOptionUnavailable) {
    QJsonObject desktop = openAIDesktop();
    setAction(desktop, "chatgpt.effortRow.low", "AXPress", doFail());
    ApplyBench bench(desktop);
    bench.run(AIProvider::openAI, "gpt-5.6-sol", std::nullopt, "low");
    expectFailure(bench, "model_changed_effort_option_unavailable");
    EXPECT_TRUE(bench.actions().contains("action AXCancel chatgpt.effortMenu"));
}

TEST(ApplyOpenAI, AnEffortThatNeverShowsIsLeftToTheUser) {
    QJsonObject desktop = openAIDesktop();
    setAction(desktop, "chatgpt.effortRow.low", "AXPress", QJsonArray{QJsonObject{{"do", "closeMenus"}}});
    ApplyBench bench(desktop);
    bench.run(AIProvider::openAI, "gpt-5.6-luna", std::nullopt, "low");
    expectFailure(bench, "settings_not_confirmed_check_chatgpt_picker");
}

TEST(ApplyOpenAI, TargetsTheSurfaceDoesNotOfferAreRefusedBeforeActivation) {
    ApplyBench bench(openAIDesktop());
    bench.run(AIProvider::openAI, "gpt-6-luna", std::nullopt, "low");
    EXPECT_EQ(bench.applier->lastApplyFailure(), "unsupported_recommendation_target");
    EXPECT_TRUE(bench.journal().isEmpty()) << "the host was not activated";
    EXPECT_FALSE(bench.applier->applying());

    // On the work surface the same model may be set.
    bench.host->surfaceMode = QStringLiteral("work");
    bench.run(AIProvider::openAI, "gpt-6-luna", std::nullopt, "low");
    EXPECT_NE(bench.applier->lastApplyFailure(), "unsupported_recommendation_target");

    bench.host->surfaceMode.reset();
    bench.host->snapshotsFail = true;
    bench.desktop->journal().clear();
    bench.run(AIProvider::openAI, "gpt-5.6-luna", std::nullopt, "low");
    EXPECT_EQ(bench.applier->lastApplyFailure(), "unsupported_recommendation_target");
    EXPECT_TRUE(bench.journal().isEmpty());
}

TEST(ApplyOpenAI, NoTrustNoHostOrNoWindowMeansNothingToDrive) {
    {
        ApplyBench bench(openAIDesktop());
        bench.desktop->setTrusted(false);
        bench.run(AIProvider::openAI, "gpt-5.6-luna", std::nullopt, "low");
        EXPECT_EQ(bench.applier->lastApplyFailure(), "accessibility_or_window_unavailable");
        EXPECT_FALSE(bench.applier->applying());
    }
    {
        ApplyBench bench(openAIDesktop());
        bench.run(AIProvider::claude, "sonnet", QStringLiteral("claude-sonnet-5-5"), "low");
        EXPECT_EQ(bench.applier->lastApplyFailure(), "accessibility_or_window_unavailable")
            << "another family";
    }
    {
        QJsonObject desktop = openAIDesktop();
        patchNode(desktop, "chatgpt.window", [](QJsonObject&) {});
        QJsonArray apps = desktop["apps"].toArray();
        QJsonObject host = apps[1].toObject();
        host["windows"] = QJsonArray{};
        host.remove("focus");
        apps[1] = host;
        desktop["apps"] = apps;
        ApplyBench bench(desktop);
        bench.run(AIProvider::openAI, "gpt-5.6-luna", std::nullopt, "low");
        EXPECT_EQ(bench.applier->lastApplyFailure(), "accessibility_or_window_unavailable") << "no window";
        EXPECT_TRUE(bench.journal().isEmpty());
    }
    {
        QJsonObject desktop = openAIDesktop();
        QJsonArray apps = desktop["apps"].toArray();
        apps.removeAt(1);
        desktop["apps"] = apps;
        ApplyBench bench(desktop);
        bench.run(AIProvider::openAI, "gpt-5.6-luna", std::nullopt, "low");
        EXPECT_EQ(bench.applier->lastApplyFailure(), "accessibility_or_window_unavailable") << "no host";
    }
}

TEST(ApplyOpenAI, AWindowWithoutAPickerFailsAfterActivation) {
    QJsonObject desktop = openAIDesktop();
    patchNode(desktop, "chatgpt.picker", [](QJsonObject& picker) { picker["title"] = "Share"; });
    ApplyBench bench(desktop);
    bench.run(AIProvider::openAI, "gpt-5.6-luna", std::nullopt, "low");
    expectFailure(bench, "model_picker_missing");
    EXPECT_EQ(bench.journal(), (QStringList{"activate 501"}));
}

TEST(ApplyOpenAI, ASecondSwitchWhileOneRunsIsRefusedAtOnce) {
    ApplyBench bench(openAIDesktop());
    const auto first = bench.start(AIProvider::openAI, "gpt-5.6-luna", std::nullopt, "low");
    bench.scheduler.advance(0.1);
    ASSERT_TRUE(bench.applier->applying());
    const auto second = bench.start(AIProvider::openAI, "gpt-5.6-terra", std::nullopt, "low");
    bench.scheduler.advance(0);
    EXPECT_EQ(second->result, false);
    EXPECT_EQ(second->finishedAt, second->startedAt);
    EXPECT_FALSE(bench.applier->lastApplyFailure()) << "a refusal leaves no code";
    bench.scheduler.runUntil([first] { return first->result.has_value(); });
    EXPECT_EQ(first->result, true);
    EXPECT_EQ(bench.title("chatgpt.picker"), "GPT-5.6 Luna");
}

TEST(ApplyOpenAI, CancellingDuringAWaitEndsTheSwitchWithoutFurtherInput) {
    ApplyBench bench(openAIDesktop());
    CancelToken token;
    const auto outcome = bench.start(AIProvider::openAI, "gpt-5.6-luna", std::nullopt, "low", false, token);
    bench.last = outcome;
    bench.scheduler.advance(0.25); // the list is open, the next poll not yet due
    token.cancel();
    bench.scheduler.runUntil([outcome] { return outcome->result.has_value(); });
    EXPECT_EQ(outcome->result, false);
    EXPECT_LT(outcome->finishedAt - outcome->startedAt, 0.3);
    EXPECT_EQ(bench.applier->lastApplyFailure(), "model_menu_did_not_open");
    EXPECT_EQ(bench.journal(), (QStringList{"activate 501", "action AXShowMenu chatgpt.picker",
                                            "action AXCancel chatgpt.modelMenu"}));
    expectSettled(bench);
}

} // namespace

namespace {

TEST(ApplyOpenAI, OneModelNameIsNoOpenListAndTheNextWayIsTried) {
    QJsonObject desktop = openAIDesktop();
    // Showing the menu brings up a list holding only the model already chosen.
    QJsonObject templates = desktop["templates"].toObject();
    templates["chatgpt.tinyMenu"] =
        QJsonObject{{"id", "chatgpt.tinyMenu"},
                    {"role", "AXMenu"},
                    {"children", QJsonArray{QJsonObject{{"id", "chatgpt.tinyRow"},
                                                        {"role", "AXMenuItem"},
                                                        {"title", "GPT-5.6 Sol"},
                                                        {"actions", QJsonArray{"AXPress"}}}}}};
    desktop["templates"] = templates;
    setAction(desktop, "chatgpt.picker", "AXShowMenu",
              QJsonArray{QJsonObject{{"do", "attach"}, {"template", "chatgpt.tinyMenu"}, {"after", 0.2}}});
    ApplyBench bench(desktop);
    EXPECT_EQ(bench.run(AIProvider::openAI, "gpt-5.6-luna", std::nullopt, "high"), true);
    EXPECT_EQ(bench.journal().mid(0, 5),
              (QStringList{"activate 501", "action AXShowMenu chatgpt.picker", "key 501 53 down",
                           "key 501 53 up", "action AXPress chatgpt.picker"}));
    EXPECT_FALSE(bench.desktop->isLive("chatgpt.tinyMenu")) << "Escape closed the half-open list";
}

// The element tests of the OpenAI steps.
TEST(ApplyOpenAIElements, ChoicesOptionsAndTheEffortControl) {
    QJsonObject desktop = openAIDesktop();
    patchNode(desktop, "chatgpt.conversation", [](QJsonObject& group) {
        QJsonArray children = group["children"].toArray();
        const auto element = [](const char* id, const char* role, const char* title, QJsonArray actions,
                                QJsonValue enabled = {}) {
            QJsonObject node{{"id", id}, {"role", role}, {"title", title}, {"actions", actions}};
            if (!enabled.isUndefined())
                node["enabled"] = enabled;
            return node;
        };
        children.append(element("t.lunaHigh", "AXMenuItem", "GPT-5.6 Luna High", {"AXPress"}));
        children.append(element("t.luna", "AXMenuItem", "GPT-5.6 Luna", {"AXPress"}));
        children.append(element("t.lunaDisabled", "AXMenuItem", "GPT-5.6 Luna", {"AXPress"}, false));
        children.append(element("t.lunaNoAction", "AXMenuItem", "GPT-5.6 Luna", {}));
        children.append(element("t.opus", "AXMenuItem", "Opus 5.5", {"AXPress"}));
        children.append(element("t.low", "AXMenuItem", "Low", {"AXPick"}));
        children.append(element("t.lowDisabled", "AXMenuItem", "Low", {"AXPress"}, false));
        children.append(element("t.lunaLow", "AXMenuItem", "GPT-5.6 Luna Low", {"AXPress"}));
        children.append(element("t.effortText", "AXStaticText", "High", {"AXPress"}));
        group["children"] = children;
    });
    ApplyBench bench(desktop);
    const auto e = [&bench](const char* id) { return bench.desktop->element(id); };
    const RunningApplication host = *Workspace::current().application(chatGPT);

    QStringList choices;
    for (const ax::Element& choice : ModelSettingApplier::openAIModelChoices(host))
        choices << bench.desktop->idOf(choice);
    EXPECT_EQ(choices, (QStringList{"chatgpt.picker", "t.lunaHigh", "t.luna", "t.lunaLow"}));
    EXPECT_TRUE(ModelSettingApplier::openAIModelListShowing(host)) << "Sol and Luna are offered";

    EXPECT_FALSE(
        ModelSettingApplier::isOpenAITargetChoice(e("t.lunaHigh"), "gpt-5.6-luna", std::nullopt, "low"));
    EXPECT_TRUE(ModelSettingApplier::isOpenAITargetChoice(e("t.luna"), "gpt-5.6-luna", std::nullopt, "low"));
    EXPECT_TRUE(
        ModelSettingApplier::isOpenAITargetChoice(e("t.lunaLow"), "gpt-5.6-luna", std::nullopt, "low"));
    EXPECT_FALSE(ModelSettingApplier::isOpenAITargetChoice(e("t.luna"), "gpt-5.6-luna",
                                                           QStringLiteral("gpt-5.6-luna-2026"), "low"))
        << "an entry without the asked identifier is not chosen";

    EXPECT_TRUE(ModelSettingApplier::isEffortControl(e("chatgpt.effort")));
    EXPECT_FALSE(ModelSettingApplier::isEffortControl(e("chatgpt.picker"))) << "names a model";
    EXPECT_FALSE(ModelSettingApplier::isEffortControl(e("t.effortText"))) << "not a control role";

    EXPECT_TRUE(ModelSettingApplier::isEffortOption(e("t.low"), "low"));
    EXPECT_FALSE(ModelSettingApplier::isEffortOption(e("t.low"), "high"));
    EXPECT_FALSE(ModelSettingApplier::isEffortOption(e("t.lowDisabled"), "low"));
    EXPECT_FALSE(ModelSettingApplier::isEffortOption(e("t.lunaLow"), "low")) << "names a model";
}

} // namespace
