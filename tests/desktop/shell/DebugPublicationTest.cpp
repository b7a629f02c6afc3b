// What the host widgets hand the debug monitor: every tick's update, unchanged or not, so the
// monitor's scan history has one record for every tick that scanned the host in front and none for
// a host in the background.

#include "ShellHarness.h"

#include "core/IsoTime.h"
#include "desktop/card/RailViewController.h"

#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::testing;

namespace {

const QString chat = QStringLiteral("com.openai.chat");
const QString claude = QStringLiteral("com.anthropic.claudefordesktop");

struct DebugPublication : ::testing::Test {
    std::unique_ptr<ShellHarness> shell;

    // ChatGPT in front showing its recommendation, with nothing left to change: every further tick
    // hands the monitor the same state.
    void settle() {
        shell = std::make_unique<ShellHarness>(chatListingLuna());
        shell->server.post("/v1/recommendations/openai", suggestingLuna);
        shell->launch();
        ASSERT_TRUE(shell->runUntil([&] {
            return shell->widget(chat).railController().recommendation().has_value();
        })) << shell->events().join('\n').toStdString();
        shell->run(1);
        ASSERT_FALSE(shell->widget(chat).analysisRunning());
    }

    qsizetype records(const QString& host) const { return shell->monitor->scanEvents().value(host).size(); }
};

} // namespace

TEST_F(DebugPublication, EveryTickThatScansTheHostInFrontLeavesOneRecord) {
    settle();
    const qsizetype before = records(chat);
    const auto updatedAt = [&](const QString& host) {
        return shell->monitor->entries().value(host).updatedAt;
    };
    const int events = int(shell->events().size());
    // Ticks within one instant change nothing but the scan history, and still each reaches it.
    for (int tick = 0; tick < 12; ++tick) {
        shell->widget(chat).updatePanel();
        shell->widget(claude).updatePanel();
    }
    EXPECT_EQ(records(chat), before + 12);
    EXPECT_EQ(records(claude), 0) << "a host in the background is not scanned";
    EXPECT_EQ(shell->events().size(), events) << "an unchanged state adds no event";

    // On the application's own tick: four a second.
    shell->run(16);
    EXPECT_EQ(records(chat), before + 12 + 64);
    EXPECT_EQ(updatedAt(claude), updatedAt(chat)) << "the background host is updated on the same tick";
    EXPECT_EQ(records(claude), 0);
}

TEST_F(DebugPublication, TheScanHistoryKeepsTheNewest160Ticks) {
    settle();
    shell->run(60);
    const QList<DebugMonitor::Fields> history = shell->monitor->scanEvents().value(chat);
    ASSERT_EQ(history.size(), 160);
    // The newest record is this tick's; the oldest is 159 ticks, 39.75 s, before it, so its time
    // (whole seconds) is 39 or 40 seconds earlier.
    const QDateTime newest = isotime::parse(history.last().value("at")).value_or(QDateTime());
    const QDateTime oldest = isotime::parse(history.first().value("at")).value_or(QDateTime());
    EXPECT_EQ(history.last().value("at"), isotime::format(shell->clock.now()));
    EXPECT_GE(oldest.secsTo(newest), 39);
    EXPECT_LE(oldest.secsTo(newest), 40);
}

TEST_F(DebugPublication, AChangeReachesTheMonitorOnTheTickItHappens) {
    settle();
    ApplicationWidget& chatWidget = shell->widget(chat);
    chatWidget.dismissPanel();
    chatWidget.updatePanel();
    EXPECT_EQ(shell->monitor->entries().value(chat).values.value("phase"),
              QStringLiteral("Closed \u2014 launcher available"));
    EXPECT_TRUE(shell->events().last().endsWith(QStringLiteral("Closed \u2014 launcher available \u00B7 ") +
                                                chatWidget.debounce().reason));
}

// The application's monitor rewrites an unchanged file only every few seconds; quitting leaves
// every file as complete as the monitor.
TEST_F(DebugPublication, QuittingWritesWhatTheFilesStillLack) {
    shell = std::make_unique<ShellHarness>(chatListingLuna());
    shell->monitor = std::make_unique<DebugMonitor>(shell->diagnostics(), shell->clock,
                                                    DebugMonitor::FileWrites::coalesced);
    shell->environment.widget.debugMonitor = shell->monitor.get();
    shell->server.post("/v1/recommendations/openai", suggestingLuna);
    shell->launch();
    ASSERT_TRUE(
        shell->runUntil([&] { return shell->widget(chat).railController().recommendation().has_value(); }));
    shell->run(10);
    const auto inFile = [&] {
        return shell->file("quillmere-debug-com.openai.chat.json").value("scanEvents").toArray().size();
    };
    for (int tick = 0; tick < 3; ++tick) // within the same instant: the file waits
        shell->widget(chat).updatePanel();
    // Behind the monitor, but by no more than three seconds of ticks.
    EXPECT_GE(records(chat) - inFile(), 3);
    EXPECT_LE(records(chat) - inFile(), 3 + 12);
    shell->delegate->applicationWillTerminate();
    EXPECT_EQ(inFile(), records(chat));
}
