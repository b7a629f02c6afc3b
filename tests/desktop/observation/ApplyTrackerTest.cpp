// The window tracker's switch end to end on the demo desktop: the tracker's own conversation read
// decides whether the switch may start and whether the user is still in the same conversation.

#include "ApplyTestSupport.h"
#include "TrackerDesktops.h"

using namespace quillmere;
using namespace quillmere::applytest;

namespace {

QJsonObject demoDesktop() {
    QFile file(QStringLiteral(QUILLMERE_SOURCE_DIR "/share/demo-desktop.json"));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    return QJsonDocument::fromJson(file.readAll()).object();
}

class TrackerSwitch : public ::testing::Test {
protected:
    void load(const QJsonObject& desktopFixture, const QString& bundleID) {
        Scheduler::setCurrent(&scheduler);
        desktop = sim::SimulatedDesktop::fromJson(QJsonDocument(desktopFixture).toJson(), scheduler);
        desktop->install();
        tracker = std::make_unique<ClaudeWindowTracker>(bundleID, files.environment());
    }
    void TearDown() override {
        scheduler.runUntil([] { return false; }, 1e6, 0);
        tracker.reset();
        if (desktop)
            desktop->uninstall();
        Scheduler::setCurrent(nullptr);
    }

    std::optional<bool> apply(AIProvider provider, QString model, std::optional<QString> modelID,
                              QString effort) {
        auto result = std::make_shared<std::optional<bool>>();
        ClaudeWindowTracker* target = tracker.get();
        spawn(QStringLiteral("switch"), [=]() -> QCoro::Task<void> {
            QCoro::Task<bool> switching = target->apply(provider, model, modelID, effort, false);
            *result = co_await switching;
        });
        scheduler.runUntil([result] { return result->has_value(); }, 600, 0);
        return *result;
    }

    QString title(const char* id) {
        return AccessibilityReading::stringAttribute("AXTitle", desktop->element(id)).value_or("");
    }

    // Lets the tracker read the open model menu, as its regular reads do while the user looks at
    // it, then closes the menu again.
    void readModelMenu() {
        ASSERT_TRUE(tracker->conversationSnapshot());
        ASSERT_TRUE(HostInput::showMenu(desktop->element("claude.picker")));
        scheduler.advance(0.3);
        ASSERT_TRUE(tracker->conversationSnapshot());
        ax::performAction(desktop->element("claude.modelMenu"), "AXCancel");
        desktop->journal().clear();
    }

    VirtualScheduler scheduler{1000.0};
    quillmere::testing::TrackerBench files;
    std::unique_ptr<sim::SimulatedDesktop> desktop;
    std::unique_ptr<ClaudeWindowTracker> tracker;
};

TEST_F(TrackerSwitch, TheDemoChatGPTHostIsSwitchedAndReadBack) {
    load(demoDesktop(), "com.openai.chat");
    EXPECT_EQ(apply(AIProvider::openAI, "gpt-5.6-luna", std::nullopt, "low"), true)
        << tracker->lastApplyFailure().value_or("").toStdString();
    EXPECT_EQ(title("chatgpt.picker"), "GPT-5.6 Luna");
    EXPECT_EQ(title("chatgpt.effort"), "Low");
    EXPECT_FALSE(tracker->lastApplyFailure());
    EXPECT_FALSE(tracker->applying());
    const std::optional<ClaudeWindowTracker::ConversationSnapshot> after = tracker->conversationSnapshot();
    ASSERT_TRUE(after);
    EXPECT_EQ(after->currentModel, "gpt-5.6-luna");
    EXPECT_EQ(after->currentEffort, "low");
}

TEST_F(TrackerSwitch, TheDemoClaudeHostIsSwitchedOnceItsMenuOffersTheSetting) {
    QJsonObject demo = demoDesktop();
    // The demo's model rows name no effort, so they offer no effort to switch to; a row that
    // names one does.
    patchNode(demo, "claude.modelMenu", [](QJsonObject& menu) {
        QJsonArray rows = menu["children"].toArray();
        rows.insert(2, QJsonObject{{"id", "claude.modelRowSonnetExtra"},
                                   {"role", "AXMenuItem"},
                                   {"title", "Sonnet 5.5 Extra high"},
                                   {"enabled", true},
                                   {"actions", QJsonArray{"AXPress"}}});
        menu["children"] = rows;
    });
    load(demo, "com.anthropic.claudefordesktop");
    readModelMenu();
    EXPECT_EQ(apply(AIProvider::claude, "sonnet", QStringLiteral("claude-sonnet-5-5"), "xhigh"), true)
        << tracker->lastApplyFailure().value_or("").toStdString() << '\n'
        << desktop->journal().lines().join('\n').toStdString();
    EXPECT_EQ(title("claude.picker"), "Sonnet 5.5 Extra high");
    EXPECT_TRUE(desktop->journal().lines().contains("action AXPress claude.effortDialogExtra.confirm"));
    EXPECT_FALSE(tracker->applying());
}

TEST_F(TrackerSwitch, AClaudeSettingNoMenuHasOfferedIsRefused) {
    load(demoDesktop(), "com.anthropic.claudefordesktop");
    readModelMenu();
    EXPECT_EQ(apply(AIProvider::claude, "sonnet", QStringLiteral("claude-sonnet-5-5"), "xhigh"), false);
    EXPECT_EQ(tracker->lastApplyFailure(), "model_option_unverified");
    EXPECT_TRUE(desktop->journal().lines().isEmpty());
}

} // namespace
