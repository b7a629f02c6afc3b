#pragma once

// The controller of one supported host application: its tracker, request log, classifier, card
// and launcher panels and cadence. Every tick it decides whether the card, the launcher or
// nothing is shown beside the host window, and while it owns the context it runs the observe,
// classify, show and apply loop (ApplicationWidgetAnalysis.cpp, ApplicationWidgetActions.cpp).
//
// Everything runs on the main thread. Callbacks handed to the card, the panels and tasks hold the
// widget through a QPointer and do nothing once it is gone.

#include "desktop/classification/ClassificationService.h"
#include "desktop/classification/RecommendationCadence.h"
#include "desktop/classification/RequestLogStore.h"
#include "desktop/observation/ClaudeWindowTracker.h"
#include "desktop/records/AIProvider.h"
#include "desktop/records/Recommendation.h"
#include "desktop/shell/PanelPresentationMetrics.h"
#include "desktop/shell/Screens.h"
#include "platform/config/Defaults.h"
#include "platform/network/HttpTransport.h"
#include "platform/tasks/Task.h"
#include "platform/time/Clock.h"

#include <QObject>
#include <QPointer>
#include <QSizeF>
#include <QString>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>

class QAction;
class QMenu;

namespace quillmere {

class CardPanel;
class ConnectorWindowController;
class DebugMonitor;
class LauncherViewController;
class RailViewController;
class RoutingDecisionDiagnostic;
class UsageRecorder;

class ApplicationWidget final : public QObject {
    Q_OBJECT
public:
    // What the widget reads and writes besides its host. application() gives the running
    // application's; tests replace parts.
    struct Environment {
        // The frontmost application's lowercased bundle identifier; none when nothing is in front.
        std::function<std::optional<QString>()> frontmostBundleID;
        // This application's own lowercased bundle identifier.
        std::optional<QString> ownBundleID;
        Screens* screens = nullptr;
        QString diagnosticsFolder;
        Defaults* defaults = nullptr;
        // The monotonic time the cadence and the debug entries are given.
        const Clock* clock = nullptr;
        QUrl endpoint; // the classify URL
        HttpTransport* transport = nullptr;
        // The tracker's files and clock; none for the application's defaults.
        std::optional<ClaudeWindowTracker::Environment> tracker;
        std::function<bool()> accessibilityTrusted;
        std::function<void(const QUrl&)> openURL;
        DebugMonitor* debugMonitor = nullptr;
        RoutingDecisionDiagnostic* routing = nullptr;
        // The build pairs OpenAI hosts with a hosted connector instead of scanning them.
        bool hostedConnector = false;
        // Where the usage recorder writes its events and status.
        QString usageDirectory;

        static Environment application();
    };

    ApplicationWidget(QString bundleID, AIProvider provider,
                      Environment environment = Environment::application());
    ~ApplicationWidget() override;

    const QString& bundleID() const { return bundleID_; }
    AIProvider provider() const { return provider_; }

    // Asks for the connector to be bound to this widget; set by the delegate.
    std::function<void()> onConnect;

    void start();
    void stop();
    // The per-tick state machine.
    void updatePanel();
    bool ownsContext() const;
    bool launcherOwnsContext() const;
    void hideIfOutsideContext();
    void showPanel();
    void dismissPanel();
    // Binds the connector's window to this widget's card (OpenAI hosts only).
    void connectToConnector(ConnectorWindowController& connector, bool showSetup);
    // Whether the card presents the connector's setup.
    bool cardShowsConnectorSetup() const;

    // This host's submenu of the status menu; the caller owns it.
    QMenu* makeMenu();
    void toggleCollection();
    void resetPanelPosition();
    void openAccessibilitySettings();

    void invalidateAnalysis();
    void suspendUnreadableAnalysis();
    void analyzeConversationIfNeeded();
    void publishDebug();
    bool recommendationApplies(const RecommendationCadence::Input& input) const;

    // ---- what tests and the delegate look at
    RailViewController& railController() const { return *railController_; }
    LauncherViewController& launcherController() const { return *launcherController_; }
    CardPanel* panel() const { return panel_.get(); }
    CardPanel* launcherPanel() const { return launcherPanel_.get(); }
    ClaudeWindowTracker& tracker() const { return *tracker_; }
    RequestLogStore& requestLog() const { return *requestLog_; }
    const RecommendationCadence& debounce() const { return debounce_; }
    const QString& debugPhase() const { return debugPhase_; }
    const std::optional<ClaudeWindowTracker::ConversationSnapshot>& debugConversation() const {
        return debugConversation_;
    }
    const std::optional<RecommendationCadence::Input>& displayedInput() const { return displayedInput_; }
    bool analysisRunning() const { return analysisTask_.has_value(); }
    bool askRunning() const { return manualTask_.has_value(); }
    bool applyRunning() const { return applyRunning_; }
    bool dismissed() const { return dismissed_; }
    bool manuallyPositioned() const { return manuallyPositioned_; }
    bool connectorPresentationActive() const { return connectorPresentationActive_; }
    const PanelPresentationMetrics& presentationMetrics() const { return presentationMetrics_; }
    QSizeF expandedSize() const { return expandedSize_; }
    QAction* collectionMenuItem() const { return collectionMenuItem_; }
    UsageRecorder& usageRecorder() const { return *usageRecorder_; }

private:
    // The card and the launcher (ApplicationWidgetPanels.cpp).
    void configurePanel();
    void resizeForContent();
    bool showLauncher(bool makeKey);
    void windowDidEndLiveResize();
    void dragFinished();
    void placeTopRight();
    void presentConnectorCard();
    std::optional<Screen> panelScreen() const;

    // The analysis and its follow-ups (ApplicationWidgetAnalysis.cpp, ApplicationWidgetActions.cpp).
    ClassificationService& classifier();
    QString installID();
    double now() const;
    void recordState(const QString& state, qint64 messageCount, const std::optional<QString>& model,
                     const std::optional<QString>& detail) const;
    void event(const QString& message) const;
    static QCoro::Task<void> classification(QPointer<ApplicationWidget> widget, int ticket,
                                            ClaudeWindowTracker::ConversationSnapshot captured,
                                            QString installID, CancelToken token);
    void finishClassification(int ticket, const ClaudeWindowTracker::ConversationSnapshot& captured,
                              const std::optional<Recommendation>& recommendation, std::exception_ptr error,
                              bool cancelled);
    void handleClassificationError(int ticket, const ClaudeWindowTracker::ConversationSnapshot& captured,
                                   std::exception_ptr error);
    // The discard checks shared by results and errors; true when the outcome may be used.
    bool outcomeStillWanted(int ticket, const ClaudeWindowTracker::ConversationSnapshot& captured,
                            bool cancelled);
    bool validateUse();
    void use(const Recommendation& recommendation);
    static QCoro::Task<void> applying(QPointer<ApplicationWidget> widget,
                                      std::shared_ptr<ClaudeWindowTracker> tracker, CancelToken token,
                                      Recommendation recommendation, std::optional<QString> conversationID,
                                      int revision);
    void ask(const QString& question);
    static QCoro::Task<void> asking(QPointer<ApplicationWidget> widget,
                                    ClaudeWindowTracker::ConversationSnapshot question,
                                    ClaudeWindowTracker::ConversationSnapshot askedIn, QString installID,
                                    CancelToken token);
    void showAskFailure(const QString& text);

    // The usage recorder of this host.
    void usageLostContext(const QString& reason);
    void usageObserve();
    void usageShown(const Recommendation& recommendation);
    void usageInteraction(const QString& kind);
    bool collectionPaused() const;

    QString bundleID_;
    AIProvider provider_;
    Environment environment_;
    bool connectorPresentationActive_ = false;
    // Shared with a running switch, which drives the host through it after awaits: the switch may
    // outlive the widget (the application's teardown) and must not outlive what it touches.
    std::shared_ptr<ClaudeWindowTracker> tracker_;
    std::shared_ptr<RequestLogStore> requestLog_;
    std::unique_ptr<ClassificationService> classifier_;
    std::unique_ptr<RailViewController> railController_;
    std::unique_ptr<LauncherViewController> launcherController_;
    std::unique_ptr<UsageRecorder> usageRecorder_;
    QPointer<QAction> collectionMenuItem_;
    QString latestConversationSignature_;
    std::unique_ptr<CardPanel> panel_;
    std::unique_ptr<CardPanel> launcherPanel_;
    RecommendationCadence debounce_;
    std::optional<QString> displayedSignature_;
    std::optional<RecommendationCadence::Input> displayedInput_;
    std::optional<CancelToken> analysisTask_;
    std::optional<CancelToken> manualTask_;
    // The running switch, cancelled when the widget goes.
    CancelToken applyToken_;
    // Set while an apply drives the host's picker: a second one would interleave with it.
    bool applyRunning_ = false;
    std::optional<ClaudeWindowTracker::ConversationSnapshot> debugConversation_;
    QString debugPhase_ = QStringLiteral("Waiting for host");
    bool scanAttemptedThisTick_ = false;
    bool manuallyPositioned_ = false;
    bool dismissed_ = false;
    QSizeF expandedSize_{310, 260};
    PanelPresentationMetrics presentationMetrics_;
};

} // namespace quillmere
