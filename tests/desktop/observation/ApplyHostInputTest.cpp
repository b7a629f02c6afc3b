// The input primitives, the open-menu locator and the polling wait of a model switch.

#include "ApplyTestSupport.h"
#include "desktop/observation/HostInput.h"
#include "platform/events/EventPoster.h"
#include "platform/simulated/SimulatedDesktop.h"
#include "platform/tasks/Scheduler.h"
#include "platform/tasks/Task.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>
#include <memory>

using namespace quillmere;

namespace {

const char* const desktopJson = R"({
  "pointer": [5, 5],
  "apps": [
    {"pid": 700, "bundleID": "com.openai.chat", "name": "ChatGPT", "active": true,
     "windows": [{"id": "window", "title": "Host", "frame": [0, 0, 800, 600], "children": [
       {"id": "plain", "role": "AXButton", "title": "Send", "actions": ["AXPress"]},
       {"id": "disabled", "role": "AXButton", "title": "Send", "enabled": false,
        "actions": ["AXPress", "AXShowMenu"]},
       {"id": "zeroEnabled", "role": "AXButton", "title": "Send", "enabled": 0, "actions": ["AXPress"]},
       {"id": "oddEnabled", "role": "AXButton", "title": "Send", "enabled": "no", "actions": ["AXPress"]},
       {"id": "pickOnly", "role": "AXRadioButton", "title": "Low", "actions": ["AXPick"]},
       {"id": "inert", "role": "AXButton", "title": "Low", "actions": ["AXShowDefaultUI"]},
       {"id": "refusesMenu", "role": "AXPopUpButton", "title": "GPT-5.6 Sol",
        "actions": [{"name": "AXShowMenu", "do": {"do": "fail"}}, "AXPress"]},
       {"id": "pressOnly", "role": "AXPopUpButton", "title": "GPT-5.6 Sol", "actions": ["AXPress"]},
       {"id": "target", "role": "AXButton", "title": "High", "frame": [100, 40, 8, 8], "actions": ["AXPress"]},
       {"id": "narrow", "role": "AXButton", "title": "High", "frame": [100, 60, 7.9, 30], "actions": ["AXPress"]},
       {"id": "opener", "role": "AXButton", "title": "More",
        "actions": [{"name": "AXPress", "do": {"do": "attach", "template": "contextMenu"}},
                    {"name": "AXShowMenu", "do": {"do": "attach", "template": "effortMenu"}}]}
     ]}]},
    {"pid": 800, "bundleID": "com.example.notes", "name": "Notes",
     "windows": [{"id": "notes", "title": "Notes", "frame": [0, 0, 100, 100]}]}
  ],
  "templates": {
    "contextMenu": {"id": "contextMenu", "role": "AXMenu", "children": [
      {"id": "copy", "role": "AXMenuItem", "title": "Copy", "actions": ["AXPress"]},
      {"id": "share", "role": "AXMenuItem", "title": "Share", "actions": ["AXPress"]}]},
    "effortMenu": {"id": "effortMenu", "role": "AXMenu", "children": [
      {"id": "effortLow", "role": "AXMenuItem", "title": "Low", "actions": ["AXPress"]}]}
  }
})";

class HostInputTest : public ::testing::Test {
protected:
    void SetUp() override {
        Scheduler::setCurrent(&scheduler);
        desktop = sim::SimulatedDesktop::fromJson(desktopJson, scheduler);
        desktop->install();
    }
    void TearDown() override {
        scheduler.runUntil([] { return false; }, 1e6, 0);
        desktop->uninstall();
        Scheduler::setCurrent(nullptr);
    }
    ax::Element element(const char* id) { return desktop->element(QString::fromLatin1(id)); }
    QStringList journal() { return desktop->journal().lines(); }
    RunningApplication host() { return *Workspace::current().application(700); }

    // Runs a wait on the main thread and counts how often it evaluated.
    struct Wait {
        std::optional<bool> result;
        int evaluations = 0;
        double finishedAt = 0;
    };
    std::shared_ptr<Wait> wait(std::function<bool(int)> condition, CancelToken token = {}) {
        auto state = std::make_shared<Wait>();
        HostInput* in = &input;
        VirtualScheduler* clock = &scheduler;
        spawn(QStringLiteral("wait"), [=]() -> QCoro::Task<void> {
            const std::function<bool()> counted = [state, condition] {
                return condition(++state->evaluations);
            };
            QCoro::Task<bool> pending = in->waitFor(counted, token);
            state->result = co_await pending;
            state->finishedAt = clock->now();
        });
        return state;
    }

    VirtualScheduler scheduler{1000.0};
    std::unique_ptr<sim::SimulatedDesktop> desktop;
    HostInput input{&scheduler};
};

TEST_F(HostInputTest, PressHonoursTheEnabledGateAndTheActionChoice) {
    EXPECT_TRUE(HostInput::press(element("plain")));
    EXPECT_FALSE(HostInput::press(element("disabled")));
    // The platform reads the number 0 as false; a text says nothing and does not hold back.
    EXPECT_FALSE(HostInput::press(element("zeroEnabled")));
    EXPECT_TRUE(HostInput::press(element("oddEnabled")));
    EXPECT_TRUE(HostInput::press(element("pickOnly")));
    EXPECT_FALSE(HostInput::press(element("inert")));
    EXPECT_EQ(journal(),
              (QStringList{"action AXPress plain", "action AXPress oddEnabled", "action AXPick pickOnly"}));
}

TEST_F(HostInputTest, ShowMenuNeverFallsBackToAPressAfterARefusal) {
    EXPECT_FALSE(HostInput::showMenu(element("refusesMenu")));
    EXPECT_TRUE(HostInput::showMenu(element("pressOnly")));
    // Disabled: neither shown nor pressed.
    EXPECT_FALSE(HostInput::showMenu(element("disabled")));
    EXPECT_EQ(journal(),
              (QStringList{"action AXShowMenu refusesMenu -> failure", "action AXPress pressOnly"}));
}

TEST_F(HostInputTest, KeyboardActivationFocusesThenTypesWithBlockingPauses) {
    const double before = scheduler.now();
    EXPECT_TRUE(input.activateWithKeyboard(element("pressOnly"), 700, 49));
    EXPECT_NEAR(scheduler.now() - before, 0.08, 1e-9);
    EXPECT_EQ(journal(), (QStringList{"set AXFocused=true pressOnly", "key 700 49 down", "key 700 49 up"}));
    const auto& entries = desktop->journal().entries();
    EXPECT_NEAR(entries[1].time - entries[0].time, 0.05, 1e-9);
    EXPECT_NEAR(entries[2].time - entries[1].time, 0.03, 1e-9);
}

TEST_F(HostInputTest, KeyboardActivationStopsWhenFocusOrEventsFail) {
    desktop->setEventCreationFails(true, false);
    EXPECT_FALSE(input.activateWithKeyboard(element("pressOnly"), 700, 36));
    EXPECT_EQ(journal(), (QStringList{"set AXFocused=true pressOnly"})) << "nothing posted";
    EXPECT_FALSE(HostInput::postKey(700, 53));
    EXPECT_FALSE(input.activateWithKeyboard(element("pressOnly"), 4242, 36)) << "no such process";
}

TEST_F(HostInputTest, NoKeysOrClicksReachAHostThatIsNotActive) {
    desktop->activate(800);
    desktop->journal().clear();
    EXPECT_FALSE(input.activateWithKeyboard(element("pressOnly"), 700, 49));
    EXPECT_FALSE(input.clickCenter(element("target"), 700));
    EXPECT_FALSE(HostInput::postKey(700, 53));
    EXPECT_TRUE(journal().isEmpty()) << journal().join('\n').toStdString();
    desktop->activate(700);
    desktop->journal().clear();
    EXPECT_TRUE(HostInput::postKey(700, 53));
    EXPECT_EQ(journal(), (QStringList{"key 700 53 down", "key 700 53 up"}));
}

TEST_F(HostInputTest, ClickHitsTheCentreAndGivesThePointerBack) {
    const double before = scheduler.now();
    EXPECT_TRUE(input.clickCenter(element("target"), 700));
    EXPECT_EQ(journal(), (QStringList{"mouse moved 104,44", "mouse down 104,44 target",
                                      "mouse up 104,44 target", "mouse moved 5,5"}))
        << journal().join('\n').toStdString();
    EXPECT_NEAR(scheduler.now() - before, 0.11, 1e-9);
    EXPECT_EQ(desktop->pointer(), QPointF(5, 5));
    // Too small a target, or one without a frame, is not clicked.
    desktop->journal().clear();
    EXPECT_FALSE(input.clickCenter(element("narrow"), 700));
    EXPECT_FALSE(input.clickCenter(element("plain"), 700));
    desktop->setEventCreationFails(false, true);
    EXPECT_FALSE(input.clickCenter(element("target"), 700));
    EXPECT_TRUE(journal().isEmpty());
}

TEST_F(HostInputTest, MenuIgnoresMenusThatListNeitherModelsNorEfforts) {
    EXPECT_FALSE(HostInput::menu(host()));
    ASSERT_TRUE(HostInput::press(element("opener")));
    EXPECT_FALSE(HostInput::menu(host())) << "a context menu is not the model menu";
    ASSERT_TRUE(HostInput::showMenu(element("opener")));
    const std::optional<ax::Element> found = HostInput::menu(host());
    ASSERT_TRUE(found);
    EXPECT_EQ(desktop->idOf(*found), "effortMenu");
}

TEST_F(HostInputTest, AWaitThatNeverHoldsEvaluatesSeventeenTimesOverSixteenPauses) {
    QElapsedTimer real;
    real.start();
    const auto state = wait([](int) { return false; });
    scheduler.runUntil([state] { return state->result.has_value(); });
    EXPECT_EQ(state->result, false);
    EXPECT_EQ(state->evaluations, 17);
    EXPECT_NEAR(state->finishedAt - 1000.0, 16 * 0.15, 1e-6);
    EXPECT_LT(real.elapsed(), 2000) << "virtual time, not real time";
}

TEST_F(HostInputTest, AWaitThatHoldsAtOnceTakesNoPause) {
    const auto state = wait([](int) { return true; });
    scheduler.advance(0);
    EXPECT_EQ(state->result, true);
    EXPECT_EQ(state->evaluations, 1);
    EXPECT_EQ(state->finishedAt, 1000.0);
}

TEST_F(HostInputTest, AWaitSeesTheHostChangeBetweenPauses) {
    const auto state = wait([](int evaluation) { return evaluation == 4; });
    scheduler.runUntil([state] { return state->result.has_value(); });
    EXPECT_EQ(state->result, true);
    EXPECT_NEAR(state->finishedAt - 1000.0, 3 * 0.15, 1e-6);
}

TEST_F(HostInputTest, CancellingDuringAPauseEndsTheWaitAtTheNextTry) {
    CancelToken token;
    const auto state = wait([](int) { return false; }, token);
    scheduler.advance(0.2); // two evaluations, in the second pause
    token.cancel();
    scheduler.runUntil([state] { return state->result.has_value(); });
    EXPECT_EQ(state->result, false);
    EXPECT_EQ(state->evaluations, 2);
    EXPECT_LT(state->finishedAt - 1000.0, 0.3);
}

TEST_F(HostInputTest, CancellingDuringTheLastPauseStillRunsTheLastTest) {
    CancelToken token;
    const auto state =
        wait([&token](int evaluation) { return evaluation == 17 && token.isCancelled(); }, token);
    scheduler.advance(15 * 0.15 + 0.05); // in the sixteenth pause
    EXPECT_EQ(state->evaluations, 16);
    token.cancel();
    scheduler.runUntil([state] { return state->result.has_value(); });
    EXPECT_EQ(state->result, true);
    EXPECT_EQ(state->evaluations, 17);
}

} // namespace
