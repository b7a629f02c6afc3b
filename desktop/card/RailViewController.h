#pragma once

// The recommendation card: a small dark card beside the host window naming the model setting the
// conversation needs, why, what it saves, with a button that switches the host's picker. The card
// owns its state and a retained tree of views whose frames it computes itself; presenters change
// the state and end in `refresh()`, which decides the compact lines and asks for a layout pass.
//
// The card runs on the main thread only. Its connector mode (the operations under "Connector
// mode") lives in RailViewControllerConnector.cpp.

#include "desktop/card/CardGeometry.h"
#include "desktop/card/CardViews.h"
#include "desktop/card/KeyboardHold.h"
#include "desktop/classification/RequestLogStore.h"
#include "desktop/records/AIProvider.h"
#include "desktop/records/ConnectorGuidance.h"
#include "desktop/records/Recommendation.h"

#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QUuid>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <vector>

class QComboBox;
class QLineEdit;
class QScrollArea;

namespace quillmere {

class RailViewController : public QObject {
public:
    explicit RailViewController(QObject* parent = nullptr);
    ~RailViewController() override;
    RailViewController(const RailViewController&) = delete;
    RailViewController& operator=(const RailViewController&) = delete;

    // ---- callbacks ----------------------------------------------------------------------------
    std::function<void(const Recommendation&)> onUse; // switch to the shown recommendation
    std::function<void(const QString&)> onAsk;        // ask about a task (trimmed text)
    std::function<void(bool)> onExpand;               // entered (true) or left the expanded mode
    std::function<void()> onClose;
    std::function<void()> onContentChanged; // the wanted height may have changed
    std::function<void()> onDragFinished;
    std::function<void()> onConnect;
    std::function<bool()> validateUse; // last check before switching

    // ---- the view -----------------------------------------------------------------------------
    // The root view. It is built with the controller, so every view exists from the start.
    DraggableRailView* view() const { return root_.data(); }

    // ---- presenters ---------------------------------------------------------------------------
    void setPlatform(AIProvider platform);
    void setConversation(const std::optional<QString>& id, const std::optional<QString>& title,
                         bool verified);
    void show(const Recommendation& recommendation);
    void show(const Recommendation& recommendation, const QString& forConversation);
    void withholdUnverifiedClaudeRecommendation();
    void setRecommendationStale(bool stale);
    void showNoRecommendation(bool needsModelOptions, const std::optional<QString>& explanation,
                              const std::optional<QString>& currentSetting);
    void showError(const QString& explanation);
    void showLoading();
    void showCollecting(bool clearRecommendation);
    void showModelControlsUnavailable();
    void showUserMessageUnavailable();
    void showAskResult(const Recommendation& recommendation);
    // The ask flow's failure text: shown in the answer line, field and button enabled again.
    void showAskFailure(const QString& text);

    // ---- actions ------------------------------------------------------------------------------
    void useRecommendation();
    void showApplyResult(bool success, const Recommendation& recommendation);
    void toggleDetails();
    void toggleExpanded();
    void showDiagnostics();
    void collapse();
    void closeCard();
    void openConnection();
    // Posts the text for assistive technology through the platform's announcer, at medium priority.
    void announce(const QString& text);

    // ---- request log --------------------------------------------------------------------------
    void setRequestLogs(const std::vector<RequestLogStore::Entry>& entries);

    // ---- ask panel ----------------------------------------------------------------------------
    void openAskQuillmere();
    void selectAskPreset();
    void submitAsk();

    // ---- connector mode (RailViewControllerConnector.cpp) ---------------------------------------
    void configureConnector(QWidget* setupView);
    void showConnectorState(const QString& status, bool clearAdvice);
    void showConnectorGuidance(const ConnectorGuidance& guidance);
    void detachConnector();
    void setConnectorPreview(bool preview) { connectorPreview_ = preview; }

    // ---- layout and sizing --------------------------------------------------------------------
    void refresh();
    // Runs a pending layout pass now (frames are final when it returns).
    void layoutIfNeeded();
    void setNeedsLayout();
    double preferredHeight(double width);
    void updateExpandButton();
    double layoutDocument(double width);
    void layoutRequestLogs(double width);
    bool providerWraps(double width) const;

    // ---- state --------------------------------------------------------------------------------
    bool connectorMode() const { return connectorMode_; }
    const std::optional<ConnectorGuidance>& connectorGuidance() const { return connectorGuidance_; }
    QWidget* connectorSetupView() const { return connectorSetupView_; }
    QString connectorStatus() const { return connectorStatus_; }
    bool connectorPreview() const { return connectorPreview_; }
    bool applying() const { return applying_; }
    bool recommendationStale() const { return recommendationStale_; }
    bool recommendationAvailabilityUnverified() const { return recommendationAvailabilityUnverified_; }
    bool recommendationUnconfirmed() const { return recommendationUnconfirmed_; }
    const std::optional<Recommendation>& recommendation() const { return recommendation_; }
    int semanticRenderCount() const { return semanticRenderCount_; }
    const std::optional<QString>& conversationID() const { return conversationID_; }
    bool conversationVerified() const { return conversationVerified_; }
    int conversationRevision() const { return conversationRevision_; }
    AIProvider platform() const { return platform_; }
    bool minimized() const { return minimized_; }
    bool expanded() const { return expanded_; }
    bool detailsExpanded() const { return detailsExpanded_; }
    QString detailText() const { return detailText_; }

    // ---- views (built with the controller; placed by the layout) ------------------------------
    CardButton* connectionEntry() const { return connectionEntry_; }
    QScrollArea* scroll() const { return scroll_; }
    FlippedCardDocument* document() const { return document_; }
    CardText* logo() const { return logo_; }
    CardText* providerLabel() const { return providerLabel_; }
    CardText* miniTitle() const { return miniTitle_; }
    CardText* miniSavings() const { return miniSavings_; }
    CardText* miniSummary() const { return miniSummary_; }
    CardText* conversationLabel() const { return conversationLabel_; }
    CardText* statusField() const { return status_; }
    RecommendationChip* fitChip() const { return fitChip_; }
    RecommendationChip* switchChip() const { return switchChip_; }
    RecommendationChip* savingsChip() const { return savingsChip_; }
    CardText* modelField() const { return model_; }
    CardText* conversationUseHeading() const { return conversationUseHeading_; }
    CardText* conversationCategory() const { return conversationCategory_; }
    CardText* conversationUse() const { return conversationUse_; }
    CardText* contextUsage() const { return contextUsage_; }
    CardText* modelFitHeading() const { return modelFitHeading_; }
    CardText* reasonField() const { return reason_; }
    CardText* feedback() const { return feedback_; }
    QScrollArea* detailScroll() const { return detailScroll_; }
    CardText* detail() const { return detail_; }
    CardText* requestLogHeading() const { return requestLogHeading_; }
    QScrollArea* requestLogScroll() const { return requestLogScroll_; }
    FlippedCardDocument* requestLogDocument() const { return requestLogDocument_; }
    CardText* requestLogEmpty() const { return requestLogEmpty_; }
    CardText* askHeading() const { return askHeading_; }
    QComboBox* askPreset() const { return askPreset_; }
    QLineEdit* askField() const { return askField_; }
    CardText* askResult() const { return askResult_; }
    CardButton* detailsButton() const { return detailsButton_; }
    CardButton* diagnosticsButton() const { return diagnosticsButton_; }
    CardButton* useButton() const { return useButton_; }
    CardButton* askEntryButton() const { return askEntryButton_; }
    CardButton* askButton() const { return askButton_; }
    CardButton* expandButton() const { return expandButton_; }
    CardButton* closeButton() const { return closeButton_; }

    // The keyboard loop: each view's next key view, as the layout threads it per mode.
    QWidget* nextKeyView(const QWidget* view) const;
    void setNextKeyView(QWidget* view, QWidget* next);
    // The stops Tab reaches, in order from the expand button: the loop without the views that are
    // hidden or disabled. Shift+Tab walks it backwards; nothing else takes the focus from the keys.
    std::vector<QWidget*> keyStops();
    // Every view of the loop in order from the expand button, hidden and disabled ones included.
    std::vector<QWidget*> keyLoop() const;

    // ---- inspection (for the built-in check suites; each lays the card out first) --------------
    bool minimizedForTesting() const { return minimized_; }
    bool expandedForTesting() const { return expanded_; }
    bool recommendationStaleForTesting() const { return recommendationStale_; }
    QString miniRecommendationForTesting();
    QString miniReasonForTesting();
    QString miniSavingsForTesting();
    int miniLineCountForTesting();
    bool miniLinesFitForTesting();
    QString providerTextForTesting();
    std::optional<QString> providerAccessibilityForTesting();
    bool headerFitsForTesting();
    QString conversationLabelForTesting();
    std::optional<QString> conversationTooltipForTesting();
    QString messageForTesting();
    QString latestAnalysisNoteForTesting();
    std::vector<QString> visibleRecommendationChipsForTesting();
    bool recommendationChipsFitForTesting();
    std::vector<QString> costReferenceAccessibilityForTesting();
    bool detailsScrollableForTesting();
    bool keyboardOrderForTesting();
    bool requestLogVisibleForTesting();
    QString requestLogForTesting();
    int requestLogRowCountForTesting();
    int expandedRequestLogCountForTesting();
    int materializedRequestLogDetailCountForTesting();
    void toggleRequestLogForTesting(int number);
    bool askEntryVisibleForTesting();
    std::vector<QString> askPresetTitlesForTesting();
    void selectAskPresetForTesting(const QString& title);
    QString askQuestionForTesting();
    void submitAskForTesting(const QString& text);
    bool askButtonEnabledForTesting();
    QString askResultForTesting();
    // Beyond the list above: a view's frame in the card's geometry, whether the card's layout hides
    // it, and the request-log row header buttons (newest first).
    cardlayout::Rect frameForTesting(const QWidget* view);
    bool hiddenForTesting(const QWidget* view);
    std::vector<CardButton*> requestLogHeadersForTesting() const;

private:
    struct RequestLogRow;

    // Every entry point checks first that it runs on the main thread: the card has no locks and its
    // views are widgets. Active in builds with assertions.
    static void assertMainThread();

    // Builds every view once, by the steps below in their order.
    void loadView();
    void buildRoot();
    void buildConnectionEntry();
    void buildHeader();
    void buildChips();
    void buildWindowControls();
    void buildBody();
    void buildDetails();
    void buildRequestLog();
    void buildAskPanel();
    void buildActions();
    void viewDidLayout();
    void layoutCompact(double W, double H);
    void layoutBody(double W, double H);
    void threadKeyLoop();
    // Tab (forwards) or Shift+Tab from the focused view: the next or previous stop of the loop.
    bool moveKeyFocus(bool forward);

    void showMessage(const QString& status, const QString& title, const QString& reason);
    void hideRecommendationChips();
    // Empties the conversation-use block (heading, category, use, context and fit heading).
    void clearConversationUse();
    // Sets the mode, retitles the expand button, refreshes and tells `onExpand`.
    void enterMode(bool minimized, bool expanded);
    void setStatus(const Recommendation& recommendation);
    void setModel(const Recommendation& recommendation);
    void setButtonTitle(const QString& title, const std::optional<QString>& modelLabel);
    void updateDetailsButton();
    bool useAllowed(const Recommendation& recommendation) const;
    void setFieldText(CardText* field, const QString& text, bool speakText);
    // Enables the ask field and button again and gives the keyboard back to the one the question
    // came from, before the answer line shows the answer or failure: changed while it still had the
    // keyboard, the line would be read once as focused and again as announced.
    void releaseAskKeyboard();
    std::vector<QWidget*> switchPart() const;

    void rebuildRequestLogRows();
    void updateRequestLogHeaders();
    void toggleRequestLogEntry(CardButton* header);
    double requestLogContentWidth(double frameWidth) const;

    void configureAskPresets();
    void syncConnectorAccessibility();
    void releaseSetupView();

    // State.
    bool connectorMode_ = false;
    std::optional<ConnectorGuidance> connectorGuidance_;
    QPointer<QWidget> connectorSetupView_;
    QString connectorStatus_;
    bool connectorPreview_ = false;
    bool applying_ = false;
    bool recommendationStale_ = false;
    bool recommendationAvailabilityUnverified_ = false;
    bool recommendationUnconfirmed_ = false;
    std::optional<Recommendation> recommendation_;
    int semanticRenderCount_ = 0;
    std::optional<QString> conversationID_;
    bool conversationVerified_ = false;
    int conversationRevision_ = 0;
    AIProvider platform_ = AIProvider::claude;
    bool minimized_ = true;
    bool expanded_ = false;
    bool detailsExpanded_ = false;
    QString detailText_;

    // Views; the root owns them all. The controller deletes the root unless a panel that adopted it
    // went first.
    QPointer<DraggableRailView> root_;
    CardButton* connectionEntry_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    FlippedCardDocument* document_ = nullptr;
    CardText* logo_ = nullptr;
    CardText* providerLabel_ = nullptr;
    CardText* miniTitle_ = nullptr;
    CardText* miniSavings_ = nullptr;
    CardText* miniSummary_ = nullptr;
    CardText* conversationLabel_ = nullptr;
    CardText* status_ = nullptr;
    RecommendationChip* fitChip_ = nullptr;
    RecommendationChip* switchChip_ = nullptr;
    RecommendationChip* savingsChip_ = nullptr;
    CardText* model_ = nullptr;
    CardText* conversationUseHeading_ = nullptr;
    CardText* conversationCategory_ = nullptr;
    CardText* conversationUse_ = nullptr;
    CardText* contextUsage_ = nullptr;
    CardText* modelFitHeading_ = nullptr;
    CardText* reason_ = nullptr;
    CardText* feedback_ = nullptr;
    QScrollArea* detailScroll_ = nullptr;
    FlippedCardDocument* detailDocument_ = nullptr;
    CardText* detail_ = nullptr;
    CardText* requestLogHeading_ = nullptr;
    QScrollArea* requestLogScroll_ = nullptr;
    FlippedCardDocument* requestLogDocument_ = nullptr;
    CardText* requestLogEmpty_ = nullptr;
    CardText* askHeading_ = nullptr;
    QComboBox* askPreset_ = nullptr;
    QLineEdit* askField_ = nullptr;
    CardText* askResult_ = nullptr;
    std::vector<RequestLogStore::Entry> requestLogEntries_;
    std::vector<std::unique_ptr<RequestLogRow>> requestLogRows_;
    std::set<QUuid> expandedRequestLogIDs_;
    CardButton* detailsButton_ = nullptr;
    CardButton* diagnosticsButton_ = nullptr;
    CardButton* useButton_ = nullptr;
    CardButton* askEntryButton_ = nullptr;
    CardButton* askButton_ = nullptr;
    CardButton* expandButton_ = nullptr;
    CardButton* closeButton_ = nullptr;

    std::unordered_map<const QWidget*, QWidget*> nextKeyViews_;
    bool needsLayout_ = false;
    QSize laidOutSize_;
    bool layoutScheduled_ = false;
    bool layingOut_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    // The keyboard of the person who asked or switched, kept in the ask panel or at the switch
    // button while the work runs (the button greys itself meanwhile).
    KeyboardHold askHold_;
    KeyboardHold useHold_;
};

} // namespace quillmere
