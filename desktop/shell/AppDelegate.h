#pragma once

// The menu-bar application: it finishes the launch, drives every host widget from one 0.25 s
// tick and the workspace's notifications, keeps one ApplicationWidget per supported host seen
// running (never removed while the process runs), owns the status item and its menu, and stops
// every widget when the application terminates.

#include "desktop/shell/ApplicationWidget.h"
#include "desktop/shell/StatusItem.h"
#include "platform/tasks/Scheduler.h"
#include "platform/workspace/Workspace.h"

#include <QObject>
#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace quillmere {

class ConnectorWindowController;
class DebugWindowController;
class MonthlyUsageWindowController;

class AppDelegate final : public QObject {
    Q_OBJECT
public:
    struct Environment {
        ApplicationWidget::Environment widget;
        Workspace* workspace = nullptr;
        Scheduler* scheduler = nullptr;
        // Asks the platform once for accessibility trust, with its prompt.
        std::function<void()> requestTrust;
        // Whether a system tray shows the status item (else it is a model only).
        bool useTray = true;
        // Ends the application (the status menu's quit item).
        std::function<void()> quit;
        // Makes the connector's window (tests give one that touches no keychain).
        std::function<std::unique_ptr<ConnectorWindowController>()> makeConnectorWindow;

        static Environment application();
    };

    explicit AppDelegate(Environment environment = Environment::application());
    ~AppDelegate() override;

    void applicationDidFinishLaunching();
    void applicationWillTerminate();
    void updateWidgets();

    void openConnector();
    void openMonthlyUsage();
    void openDebugWindow();

    // The widgets by lowercased host bundle identifier.
    const std::map<QString, std::unique_ptr<ApplicationWidget>>& widgets() const { return widgets_; }
    ApplicationWidget* widget(const QString& bundleID) const;
    StatusItem* statusItem() const { return statusItem_.get(); }
    DebugWindowController& debugWindow() const { return *debugWindow_; }
    bool ticking() const { return timer_.has_value(); }
    MonthlyUsageWindowController* monthlyUsageWindow() const { return monthlyUsageWindow_.get(); }

private:
    void scheduleTick();
    void rebuildStatusMenu();
    bool isRunning(const QString& bundleID) const;
    // The connector's window, made on first use.
    ConnectorWindowController& connectorWindow();
    // The widget that receives the connector's guidance, none when no host fits.
    ApplicationWidget* connectorWidget() const;
    bool routeGuidance();

    Environment environment_;
    std::map<QString, std::unique_ptr<ApplicationWidget>> widgets_;
    std::optional<Scheduler::TimerID> timer_;
    std::unique_ptr<StatusItem> statusItem_;
    QList<QMetaObject::Connection> observers_;
    std::unique_ptr<DebugWindowController> debugWindow_;
    std::unique_ptr<MonthlyUsageWindowController> monthlyUsageWindow_;
    std::unique_ptr<ConnectorWindowController> connectorWindow_;
    std::optional<QString> connectorTarget_;

public:
    const std::optional<QString>& connectorTarget() const { return connectorTarget_; }

private:
    bool terminated_ = false;
};

} // namespace quillmere
