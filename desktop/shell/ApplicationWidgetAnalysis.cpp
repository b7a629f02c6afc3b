// The analysis loop of a host widget: one readable conversation becomes a recommendation on the
// card. A result is used only while the cadence still accepts its ticket, its task was not
// cancelled and a fresh read shows the same conversation.

#include "desktop/card/RailViewController.h"
#include "desktop/classification/OpenAIRecommendationContract.h"
#include "desktop/classification/RoutingDecisionDiagnostic.h"
#include "desktop/diagnostics/DebugMonitor.h"
#include "desktop/diagnostics/Diagnostics.h"
#include "desktop/shell/ApplicationWidget.h"
#include "desktop/shell/InstallIdentifier.h"
#include "platform/tasks/TaskCancelled.h"

namespace quillmere {

namespace {

const QString serviceFailure = QStringLiteral("The Quillmere service did not return a recommendation.");
const QString tooLarge = QStringLiteral("This conversation is too large to analyze in one request.");

QString ticketText(int ticket) {
    return QString::number(ticket);
}

// The error's default textual description, for the desktop state's detail.
QString describe(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const ClassificationService::ServiceError& serviceError) {
        return serviceError.describe();
    } catch (const TransportError& transport) {
        return transport.description();
    } catch (const std::exception& other) {
        return QString::fromUtf8(other.what());
    } catch (...) {
        return QStringLiteral("unknown error");
    }
}

} // namespace

ClassificationService& ApplicationWidget::classifier() {
    if (!classifier_)
        classifier_ = std::make_unique<ClassificationService>(environment_.endpoint, requestLog_,
                                                              *environment_.transport);
    return *classifier_;
}

QString ApplicationWidget::installID() {
    return InstallIdentifier::readOrCreate(*environment_.defaults);
}

void ApplicationWidget::analyzeConversationIfNeeded() {
    const double at = now();
    const auto snapshot = tracker_->conversationSnapshot();
    RailViewController& card = *railController_;
    if (!snapshot) {
        debugPhase_ = tracker_->modelControlsUnavailable()
                          ? QStringLiteral("Waiting for model controls")
                          : QStringLiteral("Waiting for readable sent messages");
        suspendUnreadableAnalysis();
        usageLostContext(QStringLiteral("conversation_unavailable"));
        if (tracker_->recommendationContextIncomplete())
            card.showNoRecommendation(false, std::nullopt, std::nullopt);
        else if (tracker_->modelControlsUnavailable() || tracker_->userContextUnavailable() ||
                 !card.recommendation())
            card.showLoading();
        recordState(QStringLiteral("waiting_for_conversation"), 0, std::nullopt, tracker_->lastReadSummary());
        return;
    }

    debugConversation_ = snapshot;
    card.setConversation(snapshot->conversationID, snapshot->conversationTitle,
                         snapshot->conversationIdentityVerified);
    if (card.applying()) {
        debugPhase_ = QStringLiteral("Applying model setting");
        return;
    }
    if (const auto& shown = card.recommendation();
        shown && shown->provider == AIProvider::claude &&
        !ClassificationService::claudeRecommendationIsAvailable(*shown, *snapshot))
        card.withholdUnverifiedClaudeRecommendation();
    latestConversationSignature_ = snapshot->analysisSignature();
    usageObserve();

    const RecommendationCadence::Input input = snapshot->cadenceInput();
    if (debounce_.observe(input, at)) {
        if (analysisTask_) {
            event(QStringLiteral("Analysis cancelled: input changed"));
            analysisTask_->cancel();
        }
        analysisTask_.reset();
    }
    card.setRecommendationStale(debounce_.needsRecommendationRefresh(input));
    if (analysisTask_)
        return;

    const std::optional<int> ticket = debounce_.takeRequest(at);
    Diagnostics::cadence(environment_.diagnosticsFolder, debounce_.reason, input.turn,
                         debounce_.requestCount);
    const qint64 messageCount = qint64(snapshot->messages.size());
    if (!ticket) {
        debugPhase_ = QStringLiteral("Waiting / skipped \u2014 ") + debounce_.reason;
        card.showLoading();
        recordState(QStringLiteral("waiting_") + debounce_.reason, messageCount, snapshot->currentModel,
                    snapshot->extractionSummary);
        return;
    }
    if (!card.recommendation())
        card.showLoading();
    recordState(QStringLiteral("analyzing"), messageCount, snapshot->currentModel,
                QStringLiteral("cadence=") + debounce_.reason + QStringLiteral("; observedUserTurn=") +
                    QString::number(input.turn) + QStringLiteral("; requests=") +
                    QString::number(debounce_.requestCount));
    debugPhase_ = QStringLiteral("Request in progress");
    event(QStringLiteral("Request started: ticket ") + ticketText(*ticket));
    const QString identifier = installID();
    const CancelToken token;
    analysisTask_ = token;
    // The task starts on a later turn of the loop, so its handle is in place before its body runs,
    // whatever the body does first.
    spawn(QStringLiteral("classification"),
          [widget = QPointer<ApplicationWidget>(this), ticket = *ticket, captured = *snapshot, identifier,
           token]() { return classification(widget, ticket, captured, identifier, token); });
}

QCoro::Task<void> ApplicationWidget::classification(QPointer<ApplicationWidget> widget, int ticket,
                                                    ClaudeWindowTracker::ConversationSnapshot captured,
                                                    QString installID, CancelToken token) {
    if (!widget)
        co_return;
    std::optional<Recommendation> recommendation;
    std::exception_ptr error;
    try {
        QCoro::Task<Recommendation> request = widget->classifier().classify(captured, installID, token);
        recommendation = co_await std::move(request);
    } catch (...) {
        error = std::current_exception();
    }
    if (!widget)
        co_return;
    try {
        widget->finishClassification(ticket, captured, recommendation, error, token.isCancelled());
    } catch (const std::exception& failure) {
        qWarning().noquote() << "Classification result not handled:" << failure.what();
    }
}

bool ApplicationWidget::outcomeStillWanted(int ticket,
                                           const ClaudeWindowTracker::ConversationSnapshot& captured,
                                           bool cancelled) {
    if (cancelled || !debounce_.accepts(ticket)) {
        event(QStringLiteral("Result discarded: cancelled or outdated ticket ") + ticketText(ticket));
        return false;
    }
    const auto fresh = tracker_->conversationSnapshot();
    if (!fresh || !(fresh->cadenceInput() == captured.cadenceInput())) {
        event(QStringLiteral("Result discarded: conversation changed, ticket ") + ticketText(ticket));
        debugPhase_ = QStringLiteral("Result discarded \u2014 conversation changed");
        invalidateAnalysis();
        return false;
    }
    return true;
}

void ApplicationWidget::finishClassification(int ticket,
                                             const ClaudeWindowTracker::ConversationSnapshot& captured,
                                             const std::optional<Recommendation>& recommendation,
                                             std::exception_ptr error, bool cancelled) {
    // Every way out clears the task while its ticket still counts, then publishes.
    struct Finish {
        ApplicationWidget* widget;
        int ticket;
        ~Finish() {
            if (widget->debounce_.accepts(ticket))
                widget->analysisTask_.reset();
            widget->publishDebug();
        }
    } finish{this, ticket};

    if (!outcomeStillWanted(ticket, captured, cancelled))
        return;
    if (error) {
        handleClassificationError(ticket, captured, error);
        return;
    }
    RailViewController& card = *railController_;
    const Recommendation& shownRecommendation = *recommendation;
    if (shownRecommendation.provider == AIProvider::claude) {
        const auto fresh = tracker_->conversationSnapshot();
        if (!fresh || !ClassificationService::claudeRecommendationIsAvailable(shownRecommendation, *fresh)) {
            card.withholdUnverifiedClaudeRecommendation();
            handleClassificationError(
                ticket, captured,
                std::make_exception_ptr(ClassificationService::ServiceError::availableSettingsUnavailable()));
            return;
        }
    }
    displayedSignature_ = captured.analysisSignature();
    displayedInput_ = captured.cadenceInput();
    debounce_.complete(ticket);
    const bool sameConversation = card.conversationVerified() &&
                                  card.conversationID() == std::optional<QString>(captured.conversationID);
    if (sameConversation)
        card.show(shownRecommendation);
    const bool shown =
        sameConversation && card.recommendation() == std::optional<Recommendation>(shownRecommendation);
    if (shownRecommendation.routingDiagnostic)
        environment_.routing->displayed(shownRecommendation.routingDiagnostic, bundleID_, shown,
                                        captured.currentSettingKnown, debounce_.reason);
    debugPhase_ = shown ? QStringLiteral("Recommendation displayed")
                        : QStringLiteral("Recommendation withheld \u2014 identity unverified");
    event(QStringLiteral("Recommendation ") +
          (shown ? QStringLiteral("displayed") : QStringLiteral("withheld")) + QStringLiteral(": ticket ") +
          ticketText(ticket));
    if (shown)
        usageShown(shownRecommendation);
    recordState(shown ? QStringLiteral("recommended") : QStringLiteral("recommendation_withheld"),
                qint64(captured.messages.size()), shownRecommendation.model,
                shownRecommendation.settingLabel() + QStringLiteral("; ") + captured.extractionSummary);
}

void ApplicationWidget::handleClassificationError(int ticket,
                                                  const ClaudeWindowTracker::ConversationSnapshot& captured,
                                                  std::exception_ptr error) {
    // Checked again, with a new fresh read, as a result would be.
    if (!outcomeStillWanted(ticket, captured, false))
        return;
    RailViewController& card = *railController_;
    const qint64 count = qint64(captured.messages.size());
    const QString noRecommendation = QStringLiteral("No recommendation: ticket ") + ticketText(ticket);
    try {
        std::rethrow_exception(error);
    } catch (const ClassificationService::ServiceError& serviceError) {
        using Case = ClassificationService::ServiceError::Case;
        switch (serviceError.errorCase()) {
        case Case::abstained:
            debugPhase_ = QStringLiteral("Server returned no recommendation");
            event(noRecommendation);
            debounce_.complete(ticket);
            card.showNoRecommendation(false, serviceError.reason(), std::nullopt);
            if (serviceError.metadata())
                environment_.routing->displayed(serviceError.metadata(), bundleID_, false,
                                                captured.currentSettingKnown, debounce_.reason);
            recordState(
                QStringLiteral("recommendation_abstained"), count, captured.currentModel,
                QStringLiteral("Server abstained; last card retained when available; explanation in More "
                               "info; ") +
                    captured.extractionSummary);
            return;
        case Case::contextTooLarge:
            debugPhase_ = QStringLiteral("Conversation exceeds service limit");
            event(QStringLiteral("Full conversation too large; no partial recommendation made"));
            debounce_.complete(ticket);
            card.showNoRecommendation(false, tooLarge, std::nullopt);
            return;
        case Case::unsupportedCurrentSetting:
            debugPhase_ = QStringLiteral("Server returned no recommendation");
            event(noRecommendation);
            debounce_.complete(ticket);
            card.showNoRecommendation(false, std::nullopt, std::nullopt);
            recordState(QStringLiteral("recommendation_abstained"), count, captured.currentModel,
                        QStringLiteral("No established suitable lower setting"));
            return;
        case Case::availableSettingsUnavailable:
            debugPhase_ = QStringLiteral("Server returned no recommendation");
            event(noRecommendation);
            debounce_.complete(ticket);
            card.showNoRecommendation(true, std::nullopt, std::nullopt);
            recordState(QStringLiteral("recommendation_abstained"), count, captured.currentModel,
                        QStringLiteral("Available model options not observed"));
            return;
        case Case::badStatus:
        case Case::missingRecommendation:
            break;
        }
    } catch (const OpenAIRecommendationContract::Invalid& invalid) {
        if (invalid.errorCase() ==
            OpenAIRecommendationContract::Invalid::Case::unsupportedRecommendationTarget) {
            debugPhase_ = QStringLiteral("Recommendation withheld \u2014 unsupported target");
            event(QStringLiteral("Recommendation rejected: unsupported target, ticket ") +
                  ticketText(ticket));
            debounce_.complete(ticket);
            card.showNoRecommendation(false, invalid.errorDescription(), std::nullopt);
            recordState(QStringLiteral("recommendation_withheld"), count, captured.currentModel,
                        QStringLiteral("Target outside supported client catalog; current setting preserved; "
                                       "auth/access not inferred"));
            return;
        }
    } catch (...) {
    }

    // Everything else is a failed request: the cadence's retry policy decides what comes next.
    debugPhase_ = QStringLiteral("Request failed \u2014 service or connection error");
    QString message =
        QStringLiteral("Request failed: response or service error, ticket ") + ticketText(ticket);
    try {
        std::rethrow_exception(error);
    } catch (const ClassificationService::ServiceError& serviceError) {
        if (serviceError.errorCase() == ClassificationService::ServiceError::Case::badStatus)
            message = QStringLiteral("Request failed: HTTP ") + QString::number(serviceError.status()) +
                      QStringLiteral(", ticket ") + ticketText(ticket);
    } catch (const TransportError& transport) {
        message = QStringLiteral("Request failed: network code ") + QString::number(int(transport.code())) +
                  QStringLiteral(", ticket ") + ticketText(ticket);
    } catch (...) {
    }
    event(message);
    debounce_.fail(ticket, now());
    card.showNoRecommendation(false, serviceFailure, std::nullopt);
    recordState(QStringLiteral("classification_error"), count, captured.currentModel, describe(error));
}

void ApplicationWidget::invalidateAnalysis() {
    if (debounce_.observe(std::nullopt, now())) {
        if (analysisTask_) {
            event(QStringLiteral("Analysis cancelled: context unavailable"));
            analysisTask_->cancel();
        }
        analysisTask_.reset();
    }
    railController_->setRecommendationStale(true);
    if (!railController_->recommendation())
        railController_->showLoading();
}

void ApplicationWidget::suspendUnreadableAnalysis() {
    debugConversation_.reset();
    latestConversationSignature_.clear();
    RailViewController& card = *railController_;
    const auto& unreadable = tracker_->unreadableVerifiedConversationID();
    if (card.conversationVerified() && card.conversationID() && unreadable &&
        *card.conversationID() == *unreadable) {
        if (const auto& shown = card.recommendation(); shown && shown->provider == AIProvider::claude)
            card.withholdUnverifiedClaudeRecommendation();
    } else {
        card.setConversation(std::nullopt, std::nullopt, false);
    }
    card.setRecommendationStale(true);
    if (debounce_.suspendUnreadable()) {
        if (analysisTask_) {
            event(QStringLiteral("Analysis cancelled: unreadable accessibility scan"));
            analysisTask_->cancel();
        }
        analysisTask_.reset();
    }
}

void ApplicationWidget::publishDebug() {
    const bool scanAttempted = scanAttemptedThisTick_;
    scanAttemptedThisTick_ = false;
    // The cadence input reads only the newest requests, so asking for it on every tick stays cheap
    // however long the conversation.
    const bool cardCurrent = debugConversation_ && recommendationApplies(debugConversation_->cadenceInput());
    environment_.routing->update(bundleID_, cardCurrent, debounce_.reason);
    // Every tick goes to the monitor, changed or not: its scan history counts the ticks. How often
    // that reaches the disk is the monitor's affair.
    environment_.debugMonitor->update(
        bundleID_, debugConversation_, debounce_, debugPhase_, ownsContext(),
        debugConversation_ ? debugConversation_->extractionSummary : tracker_->lastReadSummary(),
        railController_->recommendation(), cardCurrent, environment_.accessibilityTrusted(),
        environment_.clock->now(), environment_.clock->uptime(), scanAttempted);
}

} // namespace quillmere
