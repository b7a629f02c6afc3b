// What the user starts from the card: switching the host to the recommended setting, and asking
// which setting a task needs.

#include "desktop/card/RailViewController.h"
#include "desktop/diagnostics/Diagnostics.h"
#include "desktop/shell/ApplicationWidget.h"
#include "desktop/shell/InstallIdentifier.h"

namespace quillmere {

bool ApplicationWidget::recommendationApplies(const RecommendationCadence::Input& input) const {
    if (!displayedInput_ || !railController_->recommendation() || railController_->recommendationStale())
        return false;
    if (input.context != displayedInput_->context || debounce_.unreadable)
        return false;
    if (!debounce_.contextID || *debounce_.contextID != input.context)
        return false;
    if (!input.historyCurrent)
        return false;
    if (debounce_.highestPosition && input.historyPosition &&
        *input.historyPosition < *debounce_.highestPosition)
        return false;
    if (input.attachment || !input.eligible)
        return false;
    return !debounce_.needsRecommendationRefresh(input);
}

bool ApplicationWidget::validateUse() {
    // One apply at a time: a second one would drive the same picker between the first one's steps.
    if (applyRunning_)
        return false;
    const auto fresh = tracker_->conversationSnapshot();
    if (!fresh)
        return false;
    if (const auto& shown = railController_->recommendation();
        shown && shown->provider == AIProvider::claude &&
        !ClassificationService::claudeRecommendationIsAvailable(*shown, *fresh))
        return false;
    return recommendationApplies(fresh->cadenceInput());
}

void ApplicationWidget::use(const Recommendation& recommendation) {
    const std::optional<QString> conversationID = railController_->conversationID();
    const int revision = railController_->conversationRevision();
    usageInteraction(QStringLiteral("use_clicked"));
    // The running request is cancelled but stays set: its own ending clears it.
    if (analysisTask_)
        analysisTask_->cancel();
    applyRunning_ = true;
    spawn(QStringLiteral("apply"), [widget = QPointer<ApplicationWidget>(this), tracker = tracker_,
                                    token = applyToken_, recommendation, conversationID, revision]() {
        return applying(widget, tracker, token, recommendation, conversationID, revision);
    });
}

QCoro::Task<void> ApplicationWidget::applying(QPointer<ApplicationWidget> widget,
                                              std::shared_ptr<ClaudeWindowTracker> tracker, CancelToken token,
                                              Recommendation recommendation,
                                              std::optional<QString> conversationID, int revision) {
    if (!widget)
        co_return;
    bool ok = false;
    try {
        // The tracker is this frame's own share: the switch resumes after its widget may be gone.
        QCoro::Task<bool> applied =
            tracker->apply(recommendation.provider, recommendation.model, recommendation.modelID,
                           recommendation.effort, recommendation.extended, token);
        ok = co_await std::move(applied);
    } catch (const std::exception& error) {
        qWarning().noquote() << "Apply failed:" << error.what();
    }
    // Widgets live as long as the process; this guards the process's own teardown.
    if (!widget)
        co_return;
    widget->applyRunning_ = false;
    RailViewController& card = *widget->railController_;
    if (card.conversationID() != conversationID || card.conversationRevision() != revision)
        co_return;
    card.showApplyResult(ok, recommendation);
    widget->usageInteraction(ok ? QStringLiteral("apply_verified") : QStringLiteral("apply_failed"));
    widget->recordState(ok ? QStringLiteral("setting_confirmed") : QStringLiteral("switch_failed"), 0,
                        recommendation.model, widget->tracker_->lastApplyFailure());
}

void ApplicationWidget::ask(const QString& question) {
    const auto current = tracker_->conversationSnapshot();
    if (!current) {
        showAskFailure(QStringLiteral("Open a conversation so Quillmere can read the available models."));
        return;
    }
    if (manualTask_)
        manualTask_->cancel();
    ClaudeWindowTracker::ConversationSnapshot asked = *current;
    asked.messages = {ClaudeWindowTracker::ConversationMessage{QStringLiteral("user"), question}};
    asked.conversationID = QStringLiteral("ask-quillmere");
    asked.conversationScopeID = QString();
    asked.conversationTitle = QStringLiteral("Asked in Quillmere");
    asked.conversationIdentityVerified = true;
    asked.observedUserTurnCount = 1;
    asked.hasAttachment = false;
    asked.historyPosition = std::nullopt;
    asked.historyCurrent = true;
    asked.historyComplete = false;
    asked.extractionSummary = QString();
    const QString identifier = installID();
    const CancelToken token;
    manualTask_ = token;
    spawn(QStringLiteral("ask"),
          [widget = QPointer<ApplicationWidget>(this), asked, askedIn = *current, identifier, token]() {
              return asking(widget, asked, askedIn, identifier, token);
          });
}

QCoro::Task<void> ApplicationWidget::asking(QPointer<ApplicationWidget> widget,
                                            ClaudeWindowTracker::ConversationSnapshot question,
                                            ClaudeWindowTracker::ConversationSnapshot askedIn,
                                            QString installID, CancelToken token) {
    if (!widget)
        co_return;
    std::optional<Recommendation> answer;
    std::exception_ptr error;
    try {
        QCoro::Task<Recommendation> request = widget->classifier().classify(question, installID, token);
        answer = co_await std::move(request);
    } catch (...) {
        error = std::current_exception();
    }
    if (!widget || token.isCancelled())
        co_return;
    const auto finished = [&] {
        if (widget->manualTask_ && !widget->manualTask_->isCancelled())
            widget->manualTask_.reset();
    };
    if (answer) {
        if (answer->provider != AIProvider::claude) {
            widget->railController_->showAskResult(*answer);
            finished();
            co_return;
        }
        const auto fresh = widget->tracker_->conversationSnapshot();
        if (fresh && fresh->conversationID == askedIn.conversationID &&
            ClassificationService::claudeRecommendationIsAvailable(*answer, *fresh)) {
            widget->railController_->showAskResult(*answer);
        } else {
            widget->showAskFailure(
                QStringLiteral("Model availability changed. Open the model picker and try again."));
        }
        finished();
        co_return;
    }
    QString message = QStringLiteral("Quillmere couldn\u2019t get a recommendation. Try again.");
    try {
        std::rethrow_exception(error);
    } catch (const ClassificationService::ServiceError& serviceError) {
        if (serviceError.errorCase() == ClassificationService::ServiceError::Case::abstained)
            message = serviceError.reason();
        else if (serviceError.errorCase() == ClassificationService::ServiceError::Case::contextTooLarge)
            message = QStringLiteral("This conversation is too large to analyze in one request.");
    } catch (...) {
    }
    widget->showAskFailure(message);
    finished();
}

void ApplicationWidget::showAskFailure(const QString& text) {
    railController_->showAskFailure(text);
}

} // namespace quillmere
