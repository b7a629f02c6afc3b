#include "core/Text.h"
#include "desktop/checks/ConnectorCardChecks.h"
#include "desktop/checks/ConnectorChecks.h"
#include "desktop/checks/MonthlyUsageChecks.h"
#include "desktop/checks/NativeCardChecks.h"
#include "desktop/shell/HostProbe.h"
#include "platform/simulated/SimulatedDesktop.h"

#include <QApplication>
#include <QCoreApplication>
#include <cstdio>
#include <cstring>
#include <memory>

using namespace quillmere;

namespace {

// The check modes draw their cards off screen when there is no display to draw on.
void drawOffScreenWithoutDisplay() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

} // namespace

int main(int argc, char** argv) {
    // The monthly usage checks build their own application object (they need widgets).
    if (argc == 4 && std::strcmp(argv[1], "--monthly-checks") == 0) {
        drawOffScreenWithoutDisplay();
        return MonthlyUsageChecks::runFromCommandLine(argc, argv);
    }

    // The connector suites need widgets, so they make their own application object.
    if (argc == 3 && std::strcmp(argv[1], "--connector-card-checks") == 0) {
        drawOffScreenWithoutDisplay();
        QApplication app(argc, argv);
        return ConnectorCardChecks::runFromCommandLine(QString::fromLocal8Bit(argv[2]));
    }
    if (argc == 4 && std::strcmp(argv[1], "--connector-http-checks") == 0) {
        drawOffScreenWithoutDisplay();
        QApplication app(argc, argv);
        return ConnectorChecks::runFromCommandLine(QString::fromLocal8Bit(argv[2]),
                                                   QString::fromLocal8Bit(argv[3]));
    }
    if (argc == 3 && std::strcmp(argv[1], "--ui-checks") == 0) {
        QApplication app(argc, argv);
        return NativeCardChecks::runCommand(QString::fromLocal8Bit(argv[2]));
    }
    QCoreApplication app(argc, argv);
    // Names the application's data folder (Paths::applicationSupport()).
    QCoreApplication::setApplicationName(QStringLiteral("Quillmere Zudizur"));

    // On this platform the hosts are those of the simulated desktop the environment names;
    // without one there are no accessible hosts.
    QString fixtureError;
    const auto desktop = sim::SimulatedDesktop::installFromEnvironment(&fixtureError);
    if (!fixtureError.isEmpty())
        std::fprintf(stderr, "quillmere: simulated desktop not loaded: %s\n",
                     fixtureError.toUtf8().constData());

    if (argc == 3 && std::strcmp(argv[1], "--probe-host") == 0) {
        const int status = HostProbe::start(text::lowercased(QString::fromLocal8Bit(argv[2])));
        if (status >= 0)
            return status;
        // The probe ends the process itself.
        app.exec();
        return 1;
    }
    return 0;
}
