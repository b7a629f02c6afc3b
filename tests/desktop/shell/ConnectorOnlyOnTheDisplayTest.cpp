// The connector-only application (`quillmere --connector-preview`) run as a person runs it, on a
// virtual display with and without a window manager: its window is the only way back to it (it has
// no status item), so closing the window by Escape, by the card's close button or by the window
// manager ends the run with status 0 instead of leaving a process with no window, and loses nothing
// at exit (in the sanitized build, LeakSanitizer would say so). Runs only under
// run-accessibility-bus-test with a window manager chosen.

#include "ApplicationProcess.h"

#include "tests/support/AccessibilityBus.h"

#include <QProcess>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>
#include <iostream>

using namespace quillmere::testing;

namespace {

// The shown window of process `pid`, as a number; 0 when none shows within the wait.
qulonglong shownWindowOf(qint64 pid) {
    qulonglong window = 0;
    waitUntil(
        [&] {
            const QString found = xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                           QStringLiteral("--pid"), QString::number(pid)});
            window = found.section(u'\n', 0, 0).toULongLong();
            return window != 0;
        },
        30000);
    return window;
}

} // namespace

TEST(ConnectorOnlyOnTheDisplay, ClosingTheWindowEndsTheRun) {
    if (!windowSystemTest())
        GTEST_SKIP() << "needs the display of run-accessibility-bus-test with a window manager chosen";
    const bool manager = qEnvironmentVariable("QUILLMERE_WINDOW_MANAGER") != u"none";
    BusListener focus({QStringLiteral("focus")});
    ASSERT_EQ(focus.next(20000), QStringLiteral("ready"));
    struct Way {
        const char* name;
        std::function<void()> close;
    };
    const std::vector<Way> ways = {
        {"Escape", [] { pressKey(QStringLiteral("Escape")); }},
        // Keys that follow at once are each held by the accessibility bridge while it asks the bus
        // whether a screen reader takes them: the run ends only once they have come back.
        {"Escape with keys following it at once",
         [] {
             xdotool({QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("0"),
                      QStringLiteral("Escape"), QStringLiteral("shift"), QStringLiteral("shift"),
                      QStringLiteral("shift"), QStringLiteral("shift")});
         }},
        {"the close button, reached by Tab and pressed by Space",
         [&focus] {
             for (int press = 0; press < 8; ++press) {
                 const QStringList lines = focus.until(1500, 500);
                 if (!lines.isEmpty() && lines.last().section(u'\t', 2) == u"Close recommendation")
                     break;
                 pressKey(QStringLiteral("Tab"));
             }
             pressKey(QStringLiteral("space"));
         }},
        {"the window manager's close",
         [manager] { pressKey(manager ? QStringLiteral("alt+F4") : QStringLiteral("Escape")); }},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        QProcessEnvironment environment = privateEnvironment(dir);
        // Drawn on the test's display, in reach of its accessibility bus.
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        QProcess app;
        app.setProcessEnvironment(environment);
        // Its errors are read, and passed on: LeakSanitizer (in the sanitized build) reports there
        // what the process lost at exit.
        app.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        app.start(QStringLiteral(QUILLMERE_BINARY_DIR "/quillmere"), {QStringLiteral("--connector-preview")});
        ASSERT_TRUE(app.waitForStarted(30000));
        const qulonglong window = shownWindowOf(app.processId());
        ASSERT_NE(window, 0u) << "the connector window never showed";
        xdotool({QStringLiteral("windowfocus"), QString::number(window)});
        turnFor(1000);
        focus.until(1000, 300);
        way.close();
        const bool ended = waitUntil([&app] { return app.state() == QProcess::NotRunning; }, 15000);
        EXPECT_TRUE(ended) << "the process went on with no window";
        if (!ended) {
            app.kill();
            app.waitForFinished(5000);
            continue;
        }
        const QByteArray errors = app.readAllStandardError();
        std::cerr << errors.constData();
        EXPECT_FALSE(errors.contains("LeakSanitizer")) << "something was lost at exit";
        EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(app.exitCode(), 0);
    }
}
