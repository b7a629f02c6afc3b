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
#include "support/LoopbackServer.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <functional>
#include <memory>

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

// The shared transport, with the exchange's deadline shortened (a missing answer in a second).
class ShortDeadlineTransport final : public HttpTransport {
public:
    explicit ShortDeadlineTransport(double seconds) : seconds_(seconds) {}
    QCoro::Task<HttpResponse> send(HttpRequest request, CancelToken token = {}) override {
        request.timeoutSeconds = seconds_;
        co_return co_await HttpTransport::shared().send(std::move(request), std::move(token));
    }

private:
    double seconds_;
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
    std::unique_ptr<HttpTransport> transport;
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
        widget.transport = &HttpTransport::shared();
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

    // Runs ticks in virtual time until `done` holds (loopback answers arrive in real time between).
    bool runUntil(const std::function<bool()>& done, double seconds = 120) {
        return scheduler.runUntil(done, seconds, 10);
    }
    void run(double seconds) { scheduler.advance(seconds); }

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
