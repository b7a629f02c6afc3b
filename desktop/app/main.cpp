#include "core/Text.h"
#include "desktop/checks/ConnectorCardChecks.h"
#include "desktop/checks/ConnectorChecks.h"
#include "desktop/checks/MonthlyUsageChecks.h"
#include "desktop/checks/NativeCardChecks.h"
#include "desktop/connector/ConnectorWindowController.h"
#include "desktop/shell/AppDelegate.h"
#include "desktop/shell/EntryMode.h"
#include "desktop/shell/HostProbe.h"
#include "desktop/shell/QuitSignals.h"
#include "platform/config/BundleInfo.h"
#include "platform/simulated/SimulatedDesktop.h"

#include <QApplication>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

using namespace quillmere;

namespace {

void write(std::FILE* stream, const QString& line) {
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stream);
    std::fflush(stream);
}

// A demonstration aid for the simulated desktop, whose hosts nobody can click: with
// QUILLMERE_DEMO_SWITCH_SECONDS set, the next running host comes to the front that often, so each
// host's card gets its turn.
void rotateSimulatedHosts(sim::SimulatedDesktop* desktop, QObject* owner) {
    bool ok = false;
    const double seconds = qEnvironmentVariable("QUILLMERE_DEMO_SWITCH_SECONDS").toDouble(&ok);
    if (!desktop || !ok || !(seconds >= 1 && seconds <= 3600))
        return;
    auto* timer = new QTimer(owner);
    QObject::connect(timer, &QTimer::timeout, owner, [desktop] {
        const QList<RunningApplication> running = desktop->runningApplications();
        if (running.isEmpty())
            return;
        qsizetype next = 0;
        for (qsizetype i = 0; i < running.size(); ++i)
            if (running.at(i).isActive)
                next = (i + 1) % running.size();
        desktop->activate(running.at(next).processIdentifier);
    });
    timer->start(int(seconds * 1000));
}

// The application's own modes run the event loop until they end the process or the user quits.
int runApplication(QApplication& app, sim::SimulatedDesktop* desktop) {
    // A logout, a service manager, kill or Ctrl+C ends the application as its menu's quit does.
    // Made before the delegate, it outlives the delegate's teardown, which its bound covers.
    QuitSignals quitSignals([](int) { QCoreApplication::quit(); });
    auto delegate = std::make_unique<AppDelegate>();
    rotateSimulatedHosts(desktop, delegate.get());
    QObject::connect(&app, &QCoreApplication::aboutToQuit, delegate.get(),
                     [&delegate] { delegate->applicationWillTerminate(); });
    QMetaObject::invokeMethod(
        delegate.get(), [&delegate] { delegate->applicationDidFinishLaunching(); }, Qt::QueuedConnection);
    app.exec();
    // Widgets, their trackers and their panels go before the application object does.
    delegate.reset();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // Whoever reads standard output or error may go away (a closed pipe, a terminal that ended):
    // a write there then fails and is dropped, rather than ending the application mid-run.
    ::signal(SIGPIPE, SIG_IGN);
    // A file size limit (ulimit -f) ends a process that writes past it unless the signal is
    // ignored: the write then fails with EFBIG, as on a full disk, and is said and kept as such.
    ::signal(SIGXFSZ, SIG_IGN);

    // Without a display every mode draws off screen rather than failing to start.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    // The first mode: the monthly usage checks make their own application object.
    if (argc == 4 && std::strcmp(argv[1], "--monthly-checks") == 0)
        return MonthlyUsageChecks::runFromCommandLine(argc, argv);

    // The arguments as given: the toolkit removes the options it knows from argv.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    QApplication app(argc, argv);
    // Names the application's data folder (Paths::applicationSupport()).
    QCoreApplication::setApplicationName(QStringLiteral("Quillmere Zudizur"));
    // The application has no ordinary window: closing a panel or the debug window never ends it.
    QApplication::setQuitOnLastWindowClosed(false);

    // On this platform the hosts are those of the simulated desktop the environment names;
    // without one there are no accessible hosts. The check suites make their own.
    const EntryMode mode = selectEntryMode(arguments, BundleInfo::main());
    std::unique_ptr<sim::SimulatedDesktop> desktop;
    if (mode == EntryMode::probeHost || mode == EntryMode::application) {
        QString fixtureError;
        desktop = sim::SimulatedDesktop::installFromEnvironment(&fixtureError);
        if (!fixtureError.isEmpty())
            write(stderr, QStringLiteral("quillmere: simulated desktop not loaded: ") + fixtureError);
    }

    switch (mode) {
    case EntryMode::monthlyChecks: // run above, before the application object
        return 1;
    case EntryMode::connectorCardChecks:
        return ConnectorCardChecks::runFromCommandLine(arguments.at(2));
    case EntryMode::connectorFlowPreview:
    case EntryMode::connectorOnly: {
        QuitSignals quitSignals([](int) { QCoreApplication::quit(); });
        const auto connector =
            ConnectorWindowController::startApplication(mode == EntryMode::connectorFlowPreview);
        app.exec();
        return 0;
    }
    case EntryMode::connectorHTTPChecks:
        return ConnectorChecks::runFromCommandLine(arguments.at(2), arguments.at(3));
    case EntryMode::uiChecks:
        return NativeCardChecks::runCommand(arguments.at(2));
    case EntryMode::probeHost: {
        const int status = HostProbe::start(text::lowercased(arguments.at(2)));
        if (status >= 0)
            return status;
        // The probe ends the process itself.
        app.exec();
        return 1;
    }
    case EntryMode::application:
        return runApplication(app, desktop.get());
    }
    return 0;
}
