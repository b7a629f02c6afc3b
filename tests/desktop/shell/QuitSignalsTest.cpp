// The signals that ask a program to end, in this process and on the application as a person runs
// it: each becomes the orderly quit of the status menu.

#include "desktop/shell/QuitSignals.h"

#include "ApplicationProcess.h"
#include "support/SignalProcess.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::testing;

namespace {

struct Signal {
    int number;
    const char* name;
};
const Signal quitSignals[] = {{SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"}, {SIGHUP, "SIGHUP"}};

void (*disposition(int number))(int) {
    struct sigaction current = {};
    sigaction(number, nullptr, &current);
    return current.sa_handler;
}

} // namespace

// Each signal reaches the quit on the event loop, once, and leaves every signal to end the process
// at once from then on, with the quit's time bounded by an alarm.
TEST(QuitSignals, EachSignalQuitsOnceAndASecondOneEndsTheProcess) {
    // A test run in the background may start with some of them ignored.
    for (const Signal& signal : quitSignals)
        ::signal(signal.number, SIG_DFL);
    for (const Signal& signal : quitSignals) {
        SCOPED_TRACE(signal.name);
        QList<int> quits;
        {
            QuitSignals handler([&quits](int number) { quits << number; });
            ASSERT_TRUE(handler.installed());
            for (const Signal& other : quitSignals)
                EXPECT_NE(disposition(other.number), SIG_DFL) << other.name;
            ASSERT_EQ(::raise(signal.number), 0);
            // The handler only wrote into the pipe: nothing happens before the loop turns.
            EXPECT_TRUE(quits.isEmpty());
            ASSERT_TRUE(waitFor([&] { return !quits.isEmpty(); }, 10));
            QCoreApplication::processEvents();
            EXPECT_EQ(quits, QList<int>{signal.number});
            EXPECT_EQ(handler.received(), signal.number);
            for (const Signal& other : quitSignals)
                EXPECT_EQ(disposition(other.number), SIG_DFL) << other.name;
            const unsigned remaining = ::alarm(0);
            EXPECT_GE(remaining, 1u);
            EXPECT_LE(remaining, QuitSignals::quitBoundSeconds);
        }
        for (const Signal& other : quitSignals)
            EXPECT_EQ(disposition(other.number), SIG_DFL) << other.name;
    }
}

// The quit goes on after the handler is gone (the application's teardown, the workers it waits
// for): the bound stays in force until the process ends.
TEST(QuitSignals, TheQuitsBoundOutlivesTheHandler) {
    for (const Signal& signal : quitSignals)
        ::signal(signal.number, SIG_DFL);
    QList<int> quits;
    {
        QuitSignals handler([&quits](int number) { quits << number; });
        ASSERT_EQ(::raise(SIGTERM), 0);
        ASSERT_TRUE(waitFor([&] { return !quits.isEmpty(); }, 10));
    }
    const unsigned remaining = ::alarm(0);
    EXPECT_GE(remaining, 1u);
    EXPECT_LE(remaining, QuitSignals::quitBoundSeconds);
}

TEST(QuitSignals, AnIgnoredSignalStaysIgnoredAndOthersComeBackOnDestruction) {
    for (const Signal& signal : quitSignals)
        ::signal(signal.number, SIG_DFL);
    ::signal(SIGHUP, SIG_IGN);
    QList<int> quits;
    {
        QuitSignals handler([&quits](int number) { quits << number; });
        EXPECT_EQ(disposition(SIGHUP), SIG_IGN);
        EXPECT_NE(disposition(SIGTERM), SIG_DFL);
        ASSERT_EQ(::raise(SIGHUP), 0);
        QCoreApplication::processEvents();
        EXPECT_TRUE(quits.isEmpty());
    }
    // No quit began: what was there before is back.
    EXPECT_EQ(disposition(SIGHUP), SIG_IGN);
    EXPECT_EQ(disposition(SIGTERM), SIG_DFL);
    EXPECT_EQ(disposition(SIGINT), SIG_DFL);
    ::signal(SIGHUP, SIG_DFL);
    EXPECT_TRUE(quits.isEmpty());
}

// A quit signal while the main thread is blocked where the event loop never turns (here opening a
// FIFO nobody writes to, as reading a file in the way could): the handler itself started the
// quit's bound, so the process still ends within it, ended by the bound's SIGALRM. Run in a child
// process, which a safety timer of its own ends with another status if the bound never comes.
TEST(QuitSignalsDeathTest, AQuitWhileTheMainThreadIsBlockedEndsWithinTheBound) {
    for (const Signal& signal : quitSignals)
        ::signal(signal.number, SIG_DFL);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray fifo = QFile::encodeName(dir.filePath("nobody-writes"));
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    QElapsedTimer elapsed;
    elapsed.start();
    EXPECT_EXIT(
        {
            std::thread([] {
                std::this_thread::sleep_for(std::chrono::seconds(2 * QuitSignals::quitBoundSeconds));
                std::_Exit(3);
            }).detach();
            QuitSignals handler([](int) { std::_Exit(4); });
            ::raise(SIGTERM);
            [[maybe_unused]] const int blocked = ::open(fifo.constData(), O_RDONLY);
            std::_Exit(5);
        },
        ::testing::KilledBySignal(SIGALRM), "");
    EXPECT_LE(elapsed.elapsed(), qint64(QuitSignals::quitBoundSeconds + 3) * 1000);
    EXPECT_GE(elapsed.elapsed(), qint64(QuitSignals::quitBoundSeconds - 1) * 1000) << "the bound, not sooner";
}

// The application on the demo desktop against a loopback classification service, signalled once a
// recommendation is shown (so a usage observation is open): it ends as its menu's quit ends it,
// the usage line "app_closed" written and every card recorded as hidden.
TEST(QuitSignalsApplication, EachSignalEndsTheApplicationInOrder) {
    quillmere::testing::LoopbackServer server;
    server.post("/v1/recommendations/openai",
                quillmere::testing::LoopbackServer::answer(
                    200, R"({"schemaVersion":3,"provider":"openai","decision":"suggest",)"
                         R"("setting":{"model":"gpt-5.6-luna","effort":"high"},)"
                         R"("reason":"A lighter setting is enough.","requiresVerification":true})"));

    for (const Signal& signal : quitSignals) {
        SCOPED_TRACE(signal.name);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        QProcess app;
        ASSERT_TRUE(start(app, applicationEnvironment(dir, server.url("/classify").toString())));

        ASSERT_TRUE(waitFor(
            [&] { return app.state() != QProcess::Running || !usageLines(dir.path()).isEmpty(); }, 120));
        ASSERT_EQ(app.state(), QProcess::Running);
        ASSERT_FALSE(usageLines(dir.path()).join('\n').contains("\"app_closed\""));

        ASSERT_TRUE(quillmere::testing::signalProcess(app, signal.number));
        ASSERT_TRUE(app.waitForFinished(60000));
        EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(app.exitCode(), 0);

        const QStringList lines = usageLines(dir.path());
        EXPECT_EQ(lines.filter("\"app_closed\"").size(), 1) << lines.join('\n').toStdString();

        QFile widgets(dir.filePath("tmp/quillmere-widgets-status.json"));
        ASSERT_TRUE(widgets.open(QIODevice::ReadOnly));
        const QJsonObject shown = QJsonDocument::fromJson(widgets.readAll()).object();
        EXPECT_FALSE(shown.isEmpty());
        for (auto it = shown.begin(); it != shown.end(); ++it)
            EXPECT_EQ(it.value().toBool(true), false) << it.key().toStdString();
    }
}

// A conversation memory of 100,000 separate windows being restored when the quit comes: the quit
// ends within its bound, the restore abandoned rather than waited for, and the file left whole.
TEST(QuitSignalsApplication, AQuitDuringALargeRestoreEndsWithinTheBound) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString support = dir.filePath("data/Quillmere Zudizur");
    ASSERT_TRUE(QDir().mkpath(support));
    QByteArray memory = R"([{"conversationScopeID":"s","key":"openai|chat:remembered","segments":[)";
    for (int i = 0; i < 100000; ++i) {
        memory += i ? "," : "";
        memory += R"([{"firstObservedAt":800000000,"identifiers":[],"message":{"role":")";
        memory += i % 2 ? "assistant" : "user";
        memory += R"(","text":"Separate window number )" + QByteArray::number(i) + R"("}}])";
    }
    memory += "]}]";
    const QString memoryPath = support + "/conversation-memory-com.openai.chat.json";
    QFile file(memoryPath);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(memory);
    file.close();

    // No classification service: the test is about the quit alone.
    QProcess app;
    ASSERT_TRUE(start(app, applicationEnvironment(dir, "http://127.0.0.1:9/classify")));
    // Started once its host's card has been shown.
    ASSERT_TRUE(waitFor(
        [&] {
            return app.state() != QProcess::Running ||
                   QFile::exists(dir.filePath("tmp/quillmere-widgets-status.json"));
        },
        120));
    ASSERT_EQ(app.state(), QProcess::Running);

    ASSERT_TRUE(quillmere::testing::signalProcess(app, SIGTERM));
    QElapsedTimer quitting;
    quitting.start();
    // The bound, and a margin for a slow machine's teardown.
    ASSERT_TRUE(app.waitForFinished(int(QuitSignals::quitBoundSeconds + 10) * 1000))
        << "still running " << quitting.elapsed() << " ms after the quit";
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit) << "ended by the alarm rather than by the quit";
    EXPECT_EQ(app.exitCode(), 0);
    // Whatever the restore had reached, the file is a memory, not set aside.
    ASSERT_TRUE(QFile::exists(memoryPath));
    EXPECT_TRUE(QDir(support).entryList({"*.damaged-*"}).isEmpty());
}

// Standard error goes to a pipe whose reader is gone before the program starts, as when the
// terminal or the log reader it was started from goes away. Its next warning finds nobody to
// read it: the warning is dropped, and the program goes on to its orderly end (the monthly
// checks report their failure with status 1, the application quits on SIGTERM with status 0)
// rather than being ended by SIGPIPE.
TEST(QuitSignalsApplication, AGoneReaderOfStandardErrorEndsNothing) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const struct {
        const char* what;
        QStringList arguments;
        bool signalled;
        int status;
    } rows[] = {
        {"the monthly checks without their fixture",
         {"--monthly-checks", dir.filePath("missing.json"), dir.filePath("out")},
         false,
         1},
        {"the application without its simulated desktop", {}, true, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        int pipe[2];
        ASSERT_EQ(::pipe(pipe), 0);
        ::close(pipe[0]); // the reader is gone
        QProcessEnvironment environment = privateEnvironment(dir);
        // A desktop that cannot be loaded: the application warns about it as it starts.
        environment.insert("QUILLMERE_SIMULATED_DESKTOP", dir.filePath("missing-desktop.json"));
        QProcess app;
        app.setProcessEnvironment(environment);
        app.setStandardOutputFile(QProcess::nullDevice());
        const int writer = pipe[1];
        app.setChildProcessModifier([writer] {
            ::dup2(writer, STDERR_FILENO);
            // As a shell starts it: the signal's default action, whatever this test process does.
            ::signal(SIGPIPE, SIG_DFL);
        });
        app.start(QStringLiteral(QUILLMERE_BINARY_DIR "/quillmere"), row.arguments);
        ::close(writer);
        ASSERT_TRUE(app.waitForStarted(30000));
        if (row.signalled) {
            // Long enough for its first warnings; it must still be running afterwards.
            waitFor([&] { return app.state() != QProcess::Running; }, 5);
            ASSERT_EQ(app.state(), QProcess::Running)
                << "ended with " << app.exitCode()
                << (app.exitStatus() == QProcess::CrashExit ? " (crash)" : "");
            ASSERT_TRUE(quillmere::testing::signalProcess(app, SIGTERM));
        }
        ASSERT_TRUE(app.waitForFinished(60000));
        EXPECT_EQ(app.exitStatus(), QProcess::NormalExit) << "ended by signal " << app.exitCode();
        EXPECT_EQ(app.exitCode(), row.status);
    }
}
