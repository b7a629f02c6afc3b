#pragma once

// The application's delegate run in-process on a simulated desktop, against a loopback
// classification service, in virtual time: the parts are the real ones, only the screen, the
// clock, the defaults and the folders are the test's own.

#include "desktop/classification/RoutingDecisionDiagnostic.h"
#include "desktop/diagnostics/DebugMonitor.h"
#include "desktop/shell/AppDelegate.h"
#include "desktop/shell/CardPanel.h"
#include "platform/simulated/SimulatedDesktop.h"
#include "platform/tasks/Scheduler.h"
#include "platform/tasks/TaskCancelled.h"
#include "support/LoopbackServer.h"

#include <QCoreApplication>
#include <QCoroTimer>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

#include <gtest/gtest.h>
#include <ostream>

// Readable strings in failure messages.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace quillmere::testing {

// The scheduler's virtual seconds as the monotonic clock, from a fixed wall-clock start.
class SchedulerClock final : public Clock {
public:
    explicit SchedulerClock(const Scheduler& scheduler) : scheduler_(scheduler) {}
    double uptime() const override { return scheduler_.now(); }
    QDateTime now() const override {
        return QDateTime(QDate(2026, 3, 2), QTime(9, 0), Qt::UTC).addMSecs(qint64(scheduler_.now() * 1000));
    }

private:
    const Scheduler& scheduler_;
};

// The shared transport, counting the exchanges on the wire, with an optional shorter deadline (a
// missing answer in a second). The virtual scheduler stands still while one is on the wire: its
// ticks would otherwise run minutes of virtual time while the real answer or deadline is awaited.
// A test may also end the next exchanges with an error of its choice, or hold them until it
// answers them itself.
class CountingTransport final : public HttpTransport {
public:
    // An exchange held for the test to answer; a cancelled one ends as cancelled.
    struct Held {
        bool released = false;
        HttpResponse response;
        std::exception_ptr error;
    };

    QCoro::Task<HttpResponse> send(HttpRequest request, CancelToken token = {}) override {
        sent.push_back(request);
        if (failWith)
            std::rethrow_exception(failWith);
        if (deadline)
            request.timeoutSeconds = *deadline;
        const std::shared_ptr<int> counter = inFlight_;
        ++*counter;
        struct Done {
            std::shared_ptr<int> counter;
            ~Done() { --*counter; }
        } done{counter};
        if (holding) {
            const auto held = std::make_shared<Held>();
            this->held.push_back(held);
            const bool honoursCancel = !answersAfterCancel;
            while (!held->released && !(honoursCancel && token.isCancelled())) {
                QTimer timer;
                timer.setSingleShot(true);
                timer.start(2);
                co_await qCoro(timer).waitForTimeout();
            }
            if (!held->released)
                throw TaskCancelled();
            if (held->error)
                std::rethrow_exception(held->error);
            co_return held->response;
        }
        co_return co_await HttpTransport::shared().send(std::move(request), std::move(token));
    }
    int inFlight() const { return *inFlight_; }

    std::optional<double> deadline;
    // Every request as the client made it, deadline included.
    std::vector<HttpRequest> sent;
    std::exception_ptr failWith;
    bool holding = false;
    // A held exchange answers when the test releases it, even after its task was cancelled (a
    // network that answers anyway).
    bool answersAfterCancel = false;
    std::vector<std::shared_ptr<Held>> held;

    void release(std::size_t index, int status, QByteArray body) {
        held.at(index)->response.status = status;
        held.at(index)->response.body = std::move(body);
        held.at(index)->released = true;
    }

private:
    std::shared_ptr<int> inFlight_ = std::make_shared<int>(0);
};

inline QJsonObject demoDesktop() {
    QFile file(QStringLiteral(QUILLMERE_SOURCE_DIR "/share/demo-desktop.json"));
    file.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(file.readAll()).object();
}

// The demo desktop with only the host `bundleID` in front.
inline QJsonObject demoWithFront(const QString& bundleID) {
    QJsonObject desktop = demoDesktop();
    QJsonArray apps = desktop.value("apps").toArray();
    for (qsizetype i = 0; i < apps.size(); ++i) {
        QJsonObject app = apps.at(i).toObject();
        app.insert("active", app.value("bundleID").toString() == bundleID);
        apps.replace(i, app);
    }
    desktop.insert("apps", apps);
    return desktop;
}

// The demo desktop with ChatGPT in front, its window also listing GPT-5.6 Luna in a menu that
// stays open, so the host shows a lighter model the service may suggest.
inline QJsonObject chatListingLuna() {
    QJsonObject desktop = demoWithFront(QStringLiteral("com.openai.chat"));
    QJsonArray apps = desktop.value("apps").toArray();
    for (qsizetype i = 0; i < apps.size(); ++i) {
        QJsonObject app = apps.at(i).toObject();
        if (app.value("bundleID").toString() != QLatin1String("com.openai.chat"))
            continue;
        QJsonArray windows = app.value("windows").toArray();
        QJsonObject window = windows.at(0).toObject();
        QJsonArray children = window.value("children").toArray();
        const QJsonObject row{
            {"role", "AXMenuItem"},
            {"frame", QJsonArray{900, 600, 200, 30}},
            {"children", QJsonArray{QJsonObject{{"role", "AXStaticText"}, {"value", "GPT-5.6 Luna"}}}}};
        children.append(QJsonObject{{"role", "AXMenu"},
                                    {"menu", false},
                                    {"frame", QJsonArray{900, 600, 200, 30}},
                                    {"children", QJsonArray{row}}});
        window.insert("children", children);
        windows.replace(0, window);
        app.insert("windows", windows);
        apps.replace(i, app);
    }
    desktop.insert("apps", apps);
    return desktop;
}

// An OpenAI answer suggesting GPT-5.6 Luna at the current effort, a model chatListingLuna() lists.
inline void suggestingLuna(const httplib::Request&, httplib::Response& response) {
    response.set_content(R"({"schemaVersion":3,"provider":"openai","decision":"suggest",)"
                         R"("setting":{"model":"gpt-5.6-luna","effort":"high"},)"
                         R"("reason":"A lighter setting is enough.","requiresVerification":true})",
                         "application/json");
}

struct ShellHarness {
    QTemporaryDir dir;
    VirtualScheduler scheduler;
    SchedulerClock clock{scheduler};
    std::unique_ptr<sim::SimulatedDesktop> desktop;
    FixedScreens screens{{Screen{QRectF(0, 0, 1600, 1000), QRectF(0, 0, 1600, 975)}}};
    std::unique_ptr<Defaults> defaults;
    std::unique_ptr<DebugMonitor> monitor;
    std::unique_ptr<RoutingDecisionDiagnostic> routing;
    LoopbackServer server;
    CountingTransport transport;
    AppDelegate::Environment environment;
    std::unique_ptr<AppDelegate> delegate;
    QStringList openedURLs;

    explicit ShellHarness(const QJsonObject& fixture) {
        Scheduler::setCurrent(&scheduler);
        QDir().mkpath(diagnostics());
        QDir().mkpath(home());
        copyHome();
        desktop = sim::SimulatedDesktop::fromJson(QJsonDocument(fixture).toJson(), scheduler);
        desktop->install();
        defaults = std::make_unique<Defaults>(QStringLiteral("shell-test"), dir.filePath("config"));
        monitor = std::make_unique<DebugMonitor>(diagnostics(), clock);
        routing = std::make_unique<RoutingDecisionDiagnostic>(
            diagnostics() + "/quillmere-routing-decision.json", &clock);

        ApplicationWidget::Environment widget;
        widget.ownBundleID = QStringLiteral("com.quillmere.zudizur");
        widget.frontmostBundleID = [this]() -> std::optional<QString> {
            const auto front = Workspace::current().frontmostApplication();
            if (!front || !front->bundleIdentifier)
                return std::nullopt;
            return front->bundleIdentifier->toLower();
        };
        widget.screens = &screens;
        widget.diagnosticsFolder = diagnostics();
        widget.defaults = defaults.get();
        widget.clock = &clock;
        widget.endpoint = server.url("/classify");
        widget.transport = &transport;
        ClaudeWindowTracker::Environment tracker = ClaudeWindowTracker::Environment::application();
        tracker.memoryFolder = dir.filePath("memory");
        tracker.diagnosticsFolder = diagnostics();
        tracker.codexDirectory = home() + "/.codex";
        tracker.claudeMetadataRoot = home() + "/.config/Claude/claude-code-sessions";
        tracker.claudeProjectsRoot = home() + "/.claude/projects";
        tracker.primaryScreenHeight = [] { return 1000.0; };
        widget.tracker = tracker;
        widget.accessibilityTrusted = [] { return ax::isProcessTrusted(); };
        widget.openURL = [this](const QUrl& url) { openedURLs << url.toString(); };
        widget.debugMonitor = monitor.get();
        widget.routing = routing.get();
        widget.usageDirectory = dir.filePath("usage");

        environment.widget = widget;
        environment.workspace = desktop.get();
        environment.scheduler = &scheduler;
        environment.requestTrust = [] { ax::isProcessTrustedWithPrompt(true); };
        environment.useTray = false;
        environment.quit = [this] { delegate->applicationWillTerminate(); };
    }

    ~ShellHarness() {
        delegate.reset();
        desktop.reset();
        // Tasks still queued on the virtual scheduler end here, with nothing left to touch.
        scheduler.advance(1);
        Scheduler::setCurrent(nullptr);
    }

    QString diagnostics() const { return dir.filePath("diagnostics"); }
    QString home() const { return dir.filePath("home"); }

    void copyHome() {
        const QString source = QStringLiteral(QUILLMERE_SOURCE_DIR "/tests/fixtures/home");
        QDirIterator it(source, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString file = it.next();
            const QString target = home() + file.mid(source.size());
            QDir().mkpath(QFileInfo(target).path());
            QFile::copy(file, target);
        }
    }

    void launch() {
        delegate = std::make_unique<AppDelegate>(environment);
        delegate->applicationDidFinishLaunching();
    }

    ApplicationWidget& widget(const QString& bundleID) const { return *delegate->widget(bundleID); }

    // Runs ticks in virtual time until `done` holds or `seconds` of virtual time have passed. While
    // an exchange with the loopback service is on the wire, virtual time stands still and the test
    // waits in real time (up to `realSeconds` in all) for its answer or its deadline.
    bool runUntil(const std::function<bool()>& done, double seconds = 120, double realSeconds = 60) {
        const double until = scheduler.now() + seconds;
        QElapsedTimer waited;
        waited.start();
        for (;;) {
            if (done())
                return true;
            if (transport.inFlight() > 0) {
                if (waited.elapsed() > qint64(realSeconds * 1000))
                    return done();
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
                // What is due now still runs (a task started this turn); time does not move.
                scheduler.advance(0);
                continue;
            }
            if (scheduler.now() >= until)
                return done();
            if (!scheduler.runUntil([&] { return done() || transport.inFlight() > 0; },
                                    until - scheduler.now(), 10))
                return done();
        }
    }
    void run(double seconds) { scheduler.advance(seconds); }
    // Turns the event loop, without virtual time, until no exchange is on the wire (a held one
    // must have been answered or cancelled).
    bool settle(double realSeconds = 20) {
        QElapsedTimer waited;
        waited.start();
        while (transport.inFlight() > 0 && waited.elapsed() < qint64(realSeconds * 1000))
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::processEvents();
        return transport.inFlight() == 0;
    }

    QJsonObject file(const QString& name) const {
        QFile f(diagnostics() + "/" + name);
        f.open(QIODevice::ReadOnly);
        return QJsonDocument::fromJson(f.readAll()).object();
    }
    QString desktopState() const { return file("quillmere-desktop-status.json").value("state").toString(); }
    QStringList events() const { return monitor->events(); }
    bool hasEvent(const QString& text) const {
        for (const QString& line : monitor->events())
            if (line.endsWith(text))
                return true;
        return false;
    }
};

} // namespace quillmere::testing
