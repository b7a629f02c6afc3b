// The card in connector mode: it shows the web connector's status and the
// guidance it received instead of host analyses, and never offers a switch.
// Once entered, connector mode lasts for the card's life: a card whose
// connection moved elsewhere stays a connector card without advice.

#include "desktop/card/CardCopy.h"
#include "desktop/card/CardStrings.h"
#include "desktop/card/RailViewController.h"

namespace quillmere {

namespace ct = cardtext;

namespace {

bool holds(const QWidget* card, const QWidget* view) {
    return card && view && card->isAncestorOf(view);
}

} // namespace

// Lets go of the setup view, but only while this card still holds it: a view another card has
// taken since is that card's now.
void RailViewController::releaseSetupView() {
    if (!holds(root_, connectorSetupView_))
        return;
    connectorSetupView_->hide();
    connectorSetupView_->setParent(nullptr);
}

void RailViewController::configureConnector(QWidget* setupView) {
    assertMainThread();
    applying_ = false;
    recommendation_.reset();
    conversationID_.reset();
    conversationVerified_ = false;
    // A switch result still in flight for the old conversation is dropped by its
    // widget.
    ++conversationRevision_;
    conversationLabel_->setText(ct::connectorFromConnector);
    cardview::setToolTip(conversationLabel_, std::nullopt);
    connectorMode_ = true;

    askEntryButton_->setTitle(ct::connectorEntryTitle);
    cardview::setAccessibilityLabel(askEntryButton_, ct::connectorEntryAccessibility);
    cardview::setToolTip(askEntryButton_, ct::connectorEntryToolTip);
    conversationUse_->setMaximumLines(0);

    if (connectorSetupView_ != setupView)
        releaseSetupView();
    connectorSetupView_ = setupView;
    if (setupView) {
        // Taken from whichever card held it before.
        setupView->setParent(document_);
        setupView->show();
    }

    hideRecommendationChips();
    detailText_.clear();
    detailsExpanded_ = false;
    showConnectorState(connectorStatus_, true);
}

void RailViewController::showConnectorState(const QString& status, bool clearAdvice) {
    assertMainThread();
    if (!connectorMode_)
        return;
    connectorStatus_ = status;
    if (clearAdvice)
        connectorGuidance_.reset();
    recommendation_.reset();
    applying_ = false;
    useButton_->setEnabled(false);
    if (!connectorGuidance_) {
        status_->setText(ct::connectorStatusHeading);
        model_->setText(ct::connectorWidgetTitle);
        reason_->setText(ct::connectorAskInChatGPT);
        for (CardText* field : {conversationUseHeading_, conversationCategory_, conversationUse_,
                                contextUsage_, modelFitHeading_})
            field->setText(QString());
        feedback_->setText(status);
    } else {
        feedback_->setText(ct::connectorUnverifiedLine + QLatin1Char('\n') + status);
    }
    syncConnectorAccessibility();
    refresh();
}

void RailViewController::showConnectorGuidance(const ConnectorGuidance& guidance) {
    assertMainThread();
    if (!connectorMode_)
        return;
    connectorGuidance_ = guidance;
    recommendation_.reset();
    applying_ = false;
    status_->setText(ct::connectorRecommendedStatus);
    model_->setText(cardcopy::joinedNonEmpty(guidance.model_family, guidance.reasoning));
    conversationUseHeading_->setText(ct::connectorSourceHeading);
    conversationUse_->setText(ct::connectorSourceText);
    conversationCategory_->setText(QString());
    contextUsage_->setText(QString());
    modelFitHeading_->setText(ct::connectorWhyThisModel);
    reason_->setText(guidance.rationale);
    feedback_->setText(ct::connectorUnverifiedLine);
    hideRecommendationChips();
    syncConnectorAccessibility();
    refresh();
}

void RailViewController::detachConnector() {
    assertMainThread();
    if (!connectorMode_)
        return;
    releaseSetupView();
    connectorSetupView_ = nullptr;
    showConnectorState(ct::connectorDetached, true);
}

void RailViewController::syncConnectorAccessibility() {
    for (CardText* field :
         {conversationLabel_, status_, model_, conversationUseHeading_, conversationCategory_,
          conversationUse_, contextUsage_, modelFitHeading_, reason_, feedback_}) {
        const QString text = field->text();
        const std::optional<QString> value = text.isEmpty() ? std::nullopt : std::optional(text);
        cardview::setAccessibilityLabel(field, value);
        cardview::setToolTip(field, value);
    }
}

} // namespace quillmere
