#include "desktop/shell/ApplicationWidget.h"

#include "core/PanelPlacement.h"
#include "core/Text.h"
#include "desktop/card/RailViewController.h"
#include "desktop/classification/RoutingDecisionDiagnostic.h"
#include "desktop/connector/ConnectorRelease.h"
#include "desktop/connector/ConnectorWindowController.h"
#include "desktop/diagnostics/DebugMonitor.h"
#include "desktop/diagnostics/Diagnostics.h"
#include "desktop/shell/CardPanel.h"
#include "desktop/shell/LauncherViewController.h"
#include "desktop/shell/SavedPanelOrigin.h"
#include "desktop/shell/WidgetVisibility.h"
#include "desktop/usage/UsageRecorder.h"
#include "platform/accessibility/Backend.h"
#include "platform/config/BundleInfo.h"
#include "platform/files/AtomicFile.h"
#include "platform/workspace/Workspace.h"

#include <QAction>
#include <QGuiApplication>
#include <QMenu>
#include <algorithm>

namespace quillmere {

namespace {

const QString unknownReadSummary =
    QStringLiteral("axScanTruncated=unknown; modelPickerFound=unknown; selectedModelParsed=unknown; "
                   "selectedEffortParsed=unknown; historyCurrent=unknown; sentContextReadable=unknown");
const QString connectorPhase = QStringLiteral("Connector recommendation \u2014 host scanning not used");

std::optional<QString> lowercasedOwnBundleID() {
    const auto own = BundleInfo::main().bundleIdentifier();
    return own ? std::optional<QString>(text::lowercased(*own)) : std::nullopt;
}

} // namespace

ApplicationWidget::Environment ApplicationWidget::Environment::application() {
    Environment environment;
    environment.ownBundleID = lowercasedOwnBundleID();
    environment.frontmostBundleID = [own = environment.ownBundleID]() -> std::optional<QString> {
        // While the user works in one of this application's windows, this application is in front.
        // Off-screen every window shown gets the focus and nobody works in it, so there it never is.
        if (own && QGuiApplication::focusWindow() &&
            QGuiApplication::platformName() != QLatin1String("offscreen"))
            return own;
        const auto front = Workspace::current().frontmostApplication();
        if (!front || !front->bundleIdentifier)
            return std::nullopt;
        return text::lowercased(*front->bundleIdentifier);
    };
    environment.screens = &Screens::system();
    environment.diagnosticsFolder = Paths::diagnosticsRoot();
    environment.defaults = &Defaults::standard();
    environment.clock = &Clock::system();
    environment.endpoint = ClassificationService::configuredEndpoint();
    environment.transport = &HttpTransport::shared();
    environment.accessibilityTrusted = [] { return ax::isProcessTrusted(); };
    environment.openURL = [](const QUrl& url) {
        // This platform has no settings pane to open; the request is only noted.
        qInfo().noquote() << "Quillmere: no handler on this platform for" << url.toString();
    };
    environment.debugMonitor = &DebugMonitor::shared();
    environment.routing = &RoutingDecisionDiagnostic::shared();
    environment.usageDirectory = UsageRecorder::defaultDirectory();
    const ConnectorPolicy& connector = ConnectorRelease::policy();
    environment.hostedConnector = connector && connector->hostedOrigin().has_value();
    return environment;
}

ApplicationWidget::ApplicationWidget(QString bundleID, AIProvider provider, Environment environment)
    : bundleID_(std::move(bundleID)), provider_(provider), environment_(std::move(environment)),
      connectorPresentationActive_(provider_ == AIProvider::openAI && environment_.hostedConnector),
      tracker_(environment_.tracker ? std::make_shared<ClaudeWindowTracker>(bundleID_, *environment_.tracker)
                                    : std::make_shared<ClaudeWindowTracker>(bundleID_)),
      requestLog_(std::make_shared<RequestLogStore>()),
      railController_(std::make_unique<RailViewController>()),
      launcherController_(std::make_unique<LauncherViewController>()),
      usageRecorder_(std::make_unique<UsageRecorder>(*environment_.defaults, environment_.usageDirectory,
                                                     *environment_.clock)) {}

ApplicationWidget::~ApplicationWidget() {
    if (analysisTask_)
        analysisTask_->cancel();
    if (manualTask_)
        manualTask_->cancel();
    applyToken_.cancel();
    // The panels go first: they show the card's and the launcher's views.
    panel_.reset();
    launcherPanel_.reset();
}

void ApplicationWidget::start() {
    Diagnostics::clearPreviousSessionIdentityDiagnostics(environment_.diagnosticsFolder);
    recordState(QStringLiteral("launched"), 0, std::nullopt, std::nullopt);
    expandedSize_.setWidth(310);
    configurePanel();

    const QPointer<ApplicationWidget> self(this);
    requestLog_->onEntriesChange = [self](const std::vector<RequestLogStore::Entry>& entries) {
        if (self)
            self->railController_->setRequestLogs(entries);
    };
    railController_->setRequestLogs(requestLog_->entries());
    railController_->setPlatform(provider_);
    if (provider_ == AIProvider::openAI)
        railController_->onConnect = [self] {
            if (self && self->onConnect)
                self->onConnect();
        };
    if (connectorPresentationActive_)
        railController_->configureConnector(nullptr);

    if (const auto origin = SavedPanelOrigin::load(*environment_.defaults, bundleID_)) {
        panel_->setFrameOrigin(*origin);
        manuallyPositioned_ = true;
    }

    railController_->onDragFinished = [self] {
        if (self)
            self->dragFinished();
    };
    railController_->onExpand = [self](bool expanded) {
        if (!self)
            return;
        self->expandedSize_.setWidth(expanded ? 640 : 310);
        self->resizeForContent();
    };
    railController_->onContentChanged = [self] {
        if (self)
            self->resizeForContent();
    };
    railController_->onAsk = [self](const QString& question) {
        if (self)
            self->ask(question);
    };
    railController_->onClose = [self] {
        if (self)
            self->dismissPanel();
    };
    launcherController_->onOpen = [self] {
        if (self)
            self->showPanel();
    };
    railController_->validateUse = [self] { return self && self->validateUse(); };
    railController_->onUse = [self](const Recommendation& recommendation) {
        if (self)
            self->use(recommendation);
    };
    resizeForContent();
}

void ApplicationWidget::stop() {
    usageLostContext(QStringLiteral("app_closed"));
    if (analysisTask_)
        analysisTask_->cancel();
    if (manualTask_)
        manualTask_->cancel();
    if (panel_)
        panel_->orderOut();
    if (launcherPanel_)
        launcherPanel_->orderOut();
}

bool ApplicationWidget::cardShowsConnectorSetup() const {
    return railController_->connectorMode() && railController_->connectorSetupView() != nullptr;
}

bool ApplicationWidget::ownsContext() const {
    if (cardShowsConnectorSetup())
        return !dismissed_;
    return WidgetVisibility::allows(bundleID_, environment_.frontmostBundleID(), environment_.ownBundleID,
                                    panel_ && panel_->isKeyWindow(), dismissed_);
}

bool ApplicationWidget::launcherOwnsContext() const {
    if (cardShowsConnectorSetup())
        return dismissed_;
    return WidgetVisibility::showsLauncher(bundleID_, environment_.frontmostBundleID(),
                                           environment_.ownBundleID,
                                           launcherPanel_ && launcherPanel_->isKeyWindow(), dismissed_);
}

void ApplicationWidget::updatePanel() {
    scanAttemptedThisTick_ = false;
    // Every way through the tick ends in the debug publication.
    struct Publish {
        ApplicationWidget* widget;
        ~Publish() { widget->publishDebug(); }
    } publish{this};

    if (dismissed_) {
        if (!launcherOwnsContext()) {
            panel_->orderOut();
            launcherPanel_->orderOut();
            debugPhase_ = QStringLiteral("Closed \u2014 host inactive");
        } else if (showLauncher(false)) {
            panel_->orderOut();
            debugPhase_ = QStringLiteral("Closed \u2014 launcher available");
        } else {
            panel_->orderOut();
            debugPhase_ = QStringLiteral("Closed \u2014 waiting for host window");
        }
        return;
    }
    launcherPanel_->orderOut();
    if (!ownsContext()) {
        hideIfOutsideContext();
        debugPhase_ = QStringLiteral("Paused \u2014 host inactive");
        return;
    }
    if (cardShowsConnectorSetup()) {
        presentConnectorCard();
        debugPhase_ = connectorPhase;
        return;
    }
    if (!WidgetVisibility::shouldScanHost(bundleID_, environment_.frontmostBundleID(),
                                          environment_.ownBundleID, panel_->isKeyWindow())) {
        debugPhase_ = QStringLiteral("Paused while inspecting Quillmere");
        return;
    }
    if (connectorPresentationActive_) {
        presentConnectorCard();
        debugPhase_ = connectorPhase;
        return;
    }

    scanAttemptedThisTick_ = true;
    const auto window = tracker_->currentWindow();
    const std::optional<Screen> screen =
        window ? environment_.screens->screenFor(window->frame) : std::nullopt;
    if (!window || !screen) {
        debugPhase_ = QStringLiteral("Waiting for host window");
        tracker_->setLastReadSummary(unknownReadSummary);
        usageLostContext(QStringLiteral("window_unavailable"));
        suspendUnreadableAnalysis();
        panel_->orderOut();
        QString state;
        if (!environment_.accessibilityTrusted())
            state = QStringLiteral("accessibility_denied");
        else if (!tracker_->targetApplication())
            state = QStringLiteral("supported_app_not_running");
        else
            state = QStringLiteral("supported_window_unavailable");
        recordState(state, 0, std::nullopt, std::nullopt);
        return;
    }

    if (!manuallyPositioned_ && !panel_->inLiveResize()) {
        const QRectF current = panel_->frame();
        const QRectF visible = screen->visibleFrame;
        const QRectF placed = PanelPlacement::frame(window->frame, visible, current.width(), 12, 72);
        double y = std::min(placed.y(), visible.y() + visible.height() - current.height() - 12);
        y = std::max(y, visible.y() + 12);
        const QRectF target(placed.x(), y, placed.width(), current.height());
        if (target != current)
            panel_->setFrame(target);
    }

    if (!ownsContext()) {
        usageLostContext(QStringLiteral("supported_app_inactive"));
        latestConversationSignature_.clear();
        invalidateAnalysis();
        panel_->orderOut();
        recordState(QStringLiteral("supported_app_inactive"), 0, std::nullopt, std::nullopt);
        return;
    }
    if (presentationMetrics_.shouldOrderFront(panel_->isPanelVisible()))
        panel_->orderFrontRegardless();
    analyzeConversationIfNeeded();
}

void ApplicationWidget::presentConnectorCard() {
    if (!manuallyPositioned_)
        placeTopRight();
    if (presentationMetrics_.shouldOrderFront(panel_->isPanelVisible()))
        panel_->orderFrontRegardless();
}

void ApplicationWidget::hideIfOutsideContext() {
    if (!ownsContext() && panel_->isPanelVisible()) {
        usageLostContext(QStringLiteral("supported_app_inactive"));
        invalidateAnalysis();
        panel_->orderOut();
    }
    if (!launcherOwnsContext() && launcherPanel_ && launcherPanel_->isPanelVisible())
        launcherPanel_->orderOut();
}

void ApplicationWidget::showPanel() {
    dismissed_ = false;
    launcherPanel_->orderOut();
    railController_->collapse();
    panel_->makeKeyAndOrderFront();
    resizeForContent();
    updatePanel();
}

void ApplicationWidget::dismissPanel() {
    usageLostContext(QStringLiteral("rail_dismissed"));
    dismissed_ = true;
    panel_->orderOut();
    showLauncher(true);
}

void ApplicationWidget::connectToConnector(ConnectorWindowController& connector, bool showSetup) {
    if (provider_ != AIProvider::openAI)
        return;
    connectorPresentationActive_ = true;
    if (analysisTask_)
        analysisTask_->cancel();
    analysisTask_.reset();
    if (manualTask_)
        manualTask_->cancel();
    manualTask_.reset();
    displayedInput_.reset();
    usageLostContext(QStringLiteral("connector_advisory"));
    connector.bind(railController_.get());
    if (!showSetup)
        return;
    showPanel();
    // showPanel() leaves the card compact, but the setup view is laid out in the card's middle
    // mode, neither compact nor expanded; leaving the compact mode also updates the expand button,
    // refreshes the card and narrows it.
    if (railController_->connectorMode() && railController_->minimized())
        railController_->toggleExpanded();
}

QMenu* ApplicationWidget::makeMenu() {
    auto* menu = new QMenu;
    const QPointer<ApplicationWidget> self(this);
    const auto item = [&](const QString& title, void (ApplicationWidget::*action)()) {
        QAction* added = menu->addAction(title);
        QObject::connect(added, &QAction::triggered, this, [self, action] {
            if (self)
                (self.data()->*action)();
        });
        return added;
    };
    item(QStringLiteral("Show recommendation"), &ApplicationWidget::showPanel);
    collectionMenuItem_ = item(collectionPaused() ? QStringLiteral("Resume local usage collection")
                                                  : QStringLiteral("Pause local usage collection"),
                               &ApplicationWidget::toggleCollection);
    menu->addSeparator();
    item(QStringLiteral("Reset panel position"), &ApplicationWidget::resetPanelPosition);
    // This platform has no accessibility settings pane to open, so the item stays disabled.
    item(QStringLiteral("Open Accessibility Settings"), &ApplicationWidget::openAccessibilitySettings)
        ->setEnabled(false);
    return menu;
}

void ApplicationWidget::resetPanelPosition() {
    manuallyPositioned_ = false;
    SavedPanelOrigin::forget(*environment_.defaults, bundleID_);
    updatePanel();
}

void ApplicationWidget::openAccessibilitySettings() {
    if (environment_.openURL)
        environment_.openURL(QUrl(
            QStringLiteral("x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility")));
}

void ApplicationWidget::recordState(const QString& state, qint64 messageCount,
                                    const std::optional<QString>& model,
                                    const std::optional<QString>& detail) const {
    Diagnostics::record(environment_.diagnosticsFolder, state, messageCount, model, detail);
}

void ApplicationWidget::event(const QString& message) const {
    environment_.debugMonitor->event(bundleID_, message, environment_.clock->now());
}

double ApplicationWidget::now() const {
    return environment_.clock->uptime();
}

// ---- usage recording

bool ApplicationWidget::collectionPaused() const {
    return UsageRecorder::paused(*environment_.defaults);
}

void ApplicationWidget::toggleCollection() {
    usageRecorder_->togglePaused();
    if (collectionMenuItem_)
        collectionMenuItem_->setText(collectionPaused() ? QStringLiteral("Resume local usage collection")
                                                        : QStringLiteral("Pause local usage collection"));
    if (!collectionPaused())
        invalidateAnalysis();
}

void ApplicationWidget::usageLostContext(const QString& reason) {
    usageRecorder_->lostContext(reason);
}

void ApplicationWidget::usageObserve() {
    if (const auto& snapshot = tracker_->usageSnapshot())
        usageRecorder_->observe(*snapshot);
}

void ApplicationWidget::usageShown(const Recommendation& recommendation) {
    if (const auto& snapshot = tracker_->usageSnapshot())
        usageRecorder_->shown(recommendation, *snapshot);
}

void ApplicationWidget::usageInteraction(const QString& kind) {
    usageRecorder_->interaction(kind);
}

} // namespace quillmere
