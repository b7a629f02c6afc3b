#include "desktop/shell/AppDelegate.h"

#include "core/Text.h"
#include "desktop/card/RailViewController.h"
#include "desktop/connector/ConnectorSecureStore.h"
#include "desktop/connector/ConnectorWindowController.h"
#include "desktop/diagnostics/DebugMonitor.h"
#include "desktop/diagnostics/DebugWindowController.h"
#include "desktop/diagnostics/Diagnostics.h"
#include "desktop/diagnostics/WriteFailures.h"
#include "desktop/shell/CardPanel.h"
#include "desktop/usage/MonthlyUsageWindowController.h"
#include "platform/accessibility/Backend.h"

#include <QAction>
#include <QCoreApplication>
#include <QKeySequence>
#include <QMap>

namespace quillmere {

AppDelegate::Environment AppDelegate::Environment::application() {
    Environment environment;
    environment.widget = ApplicationWidget::Environment::application();
    environment.workspace = &Workspace::current();
    environment.scheduler = &Scheduler::current();
    environment.requestTrust = [] { ax::isProcessTrustedWithPrompt(true); };
    environment.quit = [] { QCoreApplication::quit(); };
    environment.makeConnectorWindow = [] {
        return std::make_unique<ConnectorWindowController>(true, ConnectorSecureStore::shared());
    };
    return environment;
}

AppDelegate::AppDelegate(Environment environment)
    : environment_(std::move(environment)),
      debugWindow_(std::make_unique<DebugWindowController>(
          *environment_.widget.debugMonitor, *environment_.scheduler, *environment_.widget.clock)) {}

AppDelegate::~AppDelegate() {
    applicationWillTerminate();
}

ApplicationWidget* AppDelegate::widget(const QString& bundleID) const {
    const auto found = widgets_.find(bundleID);
    return found == widgets_.end() ? nullptr : found->second.get();
}

void AppDelegate::applicationDidFinishLaunching() {
    // Settings that may not be used where they are were never read: say so once, before anything
    // runs on the built-in values instead.
    if (Defaults* defaults = environment_.widget.defaults) {
        // A change the settings wrote of their own accord (a pause, the collection period, the
        // install identifier) that did not reach the file is said once, as any failed save.
        WriteFailures::shared().followDefaults(QStringLiteral("user defaults"), *defaults);
    }
    if (environment_.widget.hostedConnector) {
        // A hosted build presents the connector's guidance on an OpenAI host's card.
        updateWidgets();
        const QPointer<AppDelegate> self(this);
        connectorWindow().setOnGuidance(
            [self](const ConnectorGuidance&) { return self && self->routeGuidance(); });
        if (ApplicationWidget* widget = connectorWidget()) {
            connectorTarget_ = widget->bundleID();
            widget->connectToConnector(connectorWindow(), false);
            if (widget->cardShowsConnectorSetup())
                widget->showPanel();
        } else {
            connectorWindow().open();
        }
    } else {
        if (environment_.requestTrust)
            environment_.requestTrust();
        updateWidgets();
    }
    scheduleTick();
    Workspace& workspace = *environment_.workspace;
    const auto update = [this] { updateWidgets(); };
    observers_ << connect(&workspace, &Workspace::didActivateApplication, this, update)
               << connect(&workspace, &Workspace::didHideApplication, this, update)
               << connect(&workspace, &Workspace::didTerminateApplication, this, update)
               << connect(&workspace, &Workspace::activeSpaceDidChange, this, update);
}

void AppDelegate::scheduleTick() {
    const QPointer<AppDelegate> self(this);
    timer_ = environment_.scheduler->schedule(0.25, [self] {
        if (!self || !self->timer_)
            return;
        self->timer_.reset();
        // The next tick is due whatever this one does.
        self->scheduleTick();
        try {
            self->updateWidgets();
        } catch (const std::exception& error) {
            qWarning().noquote() << "Widget update failed:" << error.what();
        }
    });
}

void AppDelegate::applicationWillTerminate() {
    if (terminated_)
        return;
    terminated_ = true;
    if (timer_)
        environment_.scheduler->cancel(*timer_);
    timer_.reset();
    for (const auto& observer : observers_)
        disconnect(observer);
    observers_.clear();
    for (auto& [key, widget] : widgets_)
        widget->stop();
    // Every card is gone now; the published visibility must not outlive the process as "shown".
    if (!widgets_.empty()) {
        QMap<QString, bool> visibility;
        for (const auto& [key, widget] : widgets_)
            visibility.insert(key, widget->panel() && widget->panel()->isPanelVisible());
        Diagnostics::widgets(environment_.widget.diagnosticsFolder, visibility);
    }
    // The debug files may be a few seconds behind the monitor; nothing will update them again.
    environment_.widget.debugMonitor->writePendingFiles();
}

bool AppDelegate::isRunning(const QString& bundleID) const {
    for (const RunningApplication& application : environment_.workspace->runningApplications())
        if (application.bundleIdentifier && text::lowercased(*application.bundleIdentifier) == bundleID)
            return true;
    return false;
}

void AppDelegate::updateWidgets() {
    if (terminated_)
        return;
    bool added = false;
    for (const RunningApplication& application : environment_.workspace->runningApplications()) {
        if (!application.bundleIdentifier)
            continue;
        const QString key = text::lowercased(*application.bundleIdentifier);
        const auto supported = ClaudeWindowTracker::supportedBundleIDs.find(key);
        if (supported == ClaudeWindowTracker::supportedBundleIDs.end() || widgets_.count(key))
            continue;
        auto widget = std::make_unique<ApplicationWidget>(key, supported->second, environment_.widget);
        const QPointer<AppDelegate> self(this);
        const QPointer<ApplicationWidget> weakWidget(widget.get());
        widget->onConnect = [self, weakWidget] {
            if (!self || !weakWidget)
                return;
            self->connectorTarget_ = weakWidget->bundleID();
            weakWidget->connectToConnector(self->connectorWindow(), true);
        };
        ApplicationWidget& started = *widget;
        widgets_.emplace(key, std::move(widget));
        started.start();
        added = true;
    }

    for (auto& [key, widget] : widgets_) {
        if (!widget->ownsContext() && widget->panel()->isPanelVisible()) {
            widget->hideIfOutsideContext();
            // hideIfOutsideContext() records the lost context and drops the analysis when it
            // hides the card; a card it kept (connector setup) stays.
        }
        if (!widget->launcherOwnsContext() && widget->launcherPanel() &&
            widget->launcherPanel()->isPanelVisible())
            widget->launcherPanel()->orderOut();
    }
    for (auto& [key, widget] : widgets_)
        widget->updatePanel();

    QMap<QString, bool> visibility;
    for (const auto& [key, widget] : widgets_)
        visibility.insert(key, widget->panel() && widget->panel()->isPanelVisible());
    Diagnostics::widgets(environment_.widget.diagnosticsFolder, visibility);

    if (!added && statusItem_)
        return;
    if (!statusItem_)
        statusItem_ = std::make_unique<StatusItem>(environment_.useTray);
    statusItem_->setTitle(QStringLiteral("\u25C8"));
    statusItem_->setToolTip(QStringLiteral("Quillmere Zudizur"));
    rebuildStatusMenu();
}

void AppDelegate::rebuildStatusMenu() {
    auto menu = std::make_unique<QMenu>();
    for (const auto& [key, widget] : widgets_) {
        QMenu* submenu = widget->makeMenu();
        submenu->setParent(menu.get(), submenu->windowFlags());
        submenu->setTitle(appName(widget->provider()));
        menu->addMenu(submenu);
    }
    menu->addSeparator();
    const QPointer<AppDelegate> self(this);
    const auto item = [&](const QString& title, void (AppDelegate::*action)()) {
        QAction* added = menu->addAction(title);
        connect(added, &QAction::triggered, this, [self, action] {
            if (self)
                (self.data()->*action)();
        });
        return added;
    };
    item(QStringLiteral("Connect widget\u2026"), &AppDelegate::openConnector);
    item(QStringLiteral("Monthly usage report\u2026"), &AppDelegate::openMonthlyUsage);
    item(QStringLiteral("Open Debug Window\u2026"), &AppDelegate::openDebugWindow);
    QAction* quit = menu->addAction(QStringLiteral("Quit Quillmere"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, [self] {
        if (self && self->environment_.quit)
            self->environment_.quit();
    });
    statusItem_->setMenu(std::move(menu));
}

ConnectorWindowController& AppDelegate::connectorWindow() {
    if (!connectorWindow_)
        connectorWindow_ = environment_.makeConnectorWindow();
    return *connectorWindow_;
}

ApplicationWidget* AppDelegate::connectorWidget() const {
    if (connectorTarget_) {
        if (ApplicationWidget* target = widget(*connectorTarget_);
            target && target->cardShowsConnectorSetup())
            return target;
        if (ApplicationWidget* target = widget(*connectorTarget_); target && isRunning(*connectorTarget_))
            return target;
    }
    if (const auto front = environment_.widget.frontmostBundleID())
        if (ApplicationWidget* frontWidget = widget(*front);
            frontWidget && frontWidget->provider() == AIProvider::openAI)
            return frontWidget;
    for (const auto& [key, candidate] : widgets_) // keys in ascending order
        if (isRunning(key) && candidate->provider() == AIProvider::openAI)
            return candidate.get();
    return nullptr;
}

bool AppDelegate::routeGuidance() {
    ApplicationWidget* target = connectorTarget_ ? connectorWidget() : nullptr;
    if (target) {
        connectorTarget_ = target->bundleID();
        target->connectToConnector(connectorWindow(), false);
        return true;
    }
    connectorWindow().bind(connectorWindow().ownCard());
    return true;
}

void AppDelegate::openConnector() {
    if (ApplicationWidget* target = connectorWidget()) {
        connectorTarget_ = target->bundleID();
        target->connectToConnector(connectorWindow(), true);
        return;
    }
    connectorWindow().open();
}

void AppDelegate::openMonthlyUsage() {
    if (!monthlyUsageWindow_)
        monthlyUsageWindow_ = std::make_unique<MonthlyUsageWindowController>();
    monthlyUsageWindow_->present();
}

void AppDelegate::openDebugWindow() {
    debugWindow_->open();
}

} // namespace quillmere
