#include "desktop/diagnostics/DebugWindowController.h"

#include "desktop/diagnostics/DebugMonitor.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace quillmere {
namespace {

class DebugWindow : public ::testing::Test {
protected:
    QPlainTextEdit* textView() const { return controller.window()->findChild<QPlainTextEdit*>(); }

    QTemporaryDir dir;
    ManualClock clock{1000.0, QDateTime(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC)};
    VirtualScheduler scheduler{1000.0};
    DebugMonitor monitor{dir.path(), clock};
    DebugWindowController controller{monitor, scheduler, clock};
};

TEST_F(DebugWindow, IsBuiltHiddenWithItsTitleAndReadOnlyText) {
    QWidget* window = controller.window();
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(controller.isRefreshing());
    EXPECT_EQ(window->windowTitle(), "Quillmere Debug");
    EXPECT_EQ(window->minimumSize(), QSize(660, 400));
    EXPECT_EQ(window->size(), QSize(660, 680));
    EXPECT_TRUE(window->testAttribute(Qt::WA_ShowWithoutActivating));
    EXPECT_EQ(controller.copyButton()->text(), "Copy debug report");
    ASSERT_NE(window->findChild<QLabel*>(), nullptr);
    EXPECT_EQ(window->findChild<QLabel*>()->text(),
              QString::fromUtf8("Live updates \xC2\xB7 Content-free local diagnostics"));
    ASSERT_NE(textView(), nullptr);
    EXPECT_TRUE(textView()->isReadOnly());
    EXPECT_EQ(textView()->textInteractionFlags(), Qt::NoTextInteraction);
}

TEST_F(DebugWindow, OpenShowsTheCurrentReportAndRefreshesEverySecond) {
    controller.open();
    EXPECT_TRUE(controller.window()->isVisible());
    EXPECT_TRUE(controller.isRefreshing());
    EXPECT_EQ(controller.textForTesting(), monitor.report(clock.now()));

    monitor.event("chat-test", "Synthetic request cancelled", clock.now());
    scheduler.advance(0.5);
    EXPECT_FALSE(controller.textForTesting().contains("Synthetic request cancelled"));
    scheduler.advance(0.5);
    EXPECT_TRUE(controller.textForTesting().endsWith("[chat-test]  Synthetic request cancelled"));
}

TEST_F(DebugWindow, TextIsAssignedOnlyWhenTheReportChanged) {
    controller.open();
    int changes = 0;
    QObject::connect(textView(), &QPlainTextEdit::textChanged, [&changes] { ++changes; });
    scheduler.advance(3);
    EXPECT_EQ(changes, 0);
    monitor.event("chat-test", "one", clock.now());
    scheduler.advance(1);
    EXPECT_EQ(changes, 1);
}

TEST_F(DebugWindow, ClosingStopsRefreshingAndOpeningStartsAgain) {
    controller.open();
    controller.open(); // a second open keeps the one timer
    EXPECT_EQ(scheduler.pendingTimerCount(), 1u);
    controller.window()->close();
    EXPECT_FALSE(controller.window()->isVisible());
    scheduler.advance(1);
    EXPECT_FALSE(controller.isRefreshing());
    EXPECT_FALSE(scheduler.hasPendingTimers());

    monitor.event("chat-test", "while closed", clock.now());
    scheduler.advance(5);
    EXPECT_FALSE(controller.textForTesting().contains("while closed"));

    controller.open();
    EXPECT_TRUE(controller.textForTesting().contains("while closed"));
    EXPECT_TRUE(controller.isRefreshing());
    monitor.event("chat-test", "after reopening", clock.now());
    scheduler.advance(1);
    EXPECT_TRUE(controller.textForTesting().contains("after reopening"));
}

TEST_F(DebugWindow, CopyPutsAFreshReportOnTheClipboard) {
    QClipboard* clipboard = QApplication::clipboard();
    clipboard->setText("earlier contents");
    controller.copyButton()->click();
    EXPECT_EQ(clipboard->text(), monitor.report(clock.now()));
    EXPECT_EQ(clipboard->text().split('\n').size(), 6);

    // Copying builds the report anew, so it can be newer than the window's text.
    controller.open();
    monitor.event("chat-test", "newer than the window", clock.now());
    controller.copyReport();
    EXPECT_TRUE(clipboard->text().contains("newer than the window"));
    EXPECT_FALSE(controller.textForTesting().contains("newer than the window"));
}

TEST(DebugWindowLifetime, DestroyingTheControllerCancelsItsTimer) {
    QTemporaryDir dir;
    VirtualScheduler scheduler;
    DebugMonitor monitor(dir.path());
    {
        DebugWindowController controller(monitor, scheduler);
        controller.open();
        EXPECT_TRUE(scheduler.hasPendingTimers());
    }
    EXPECT_FALSE(scheduler.hasPendingTimers());
    scheduler.advance(2);
}

} // namespace
} // namespace quillmere
