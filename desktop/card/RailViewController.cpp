#include "desktop/card/RailViewController.h"

#include "core/Text.h"
#include "desktop/card/CardCopy.h"
#include "desktop/card/CardPalette.h"
#include "desktop/card/CardStrings.h"
#include "desktop/card/RequestLogRow.h"
#include "platform/accessibility/Announcer.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFontMetricsF>
#include <QLineEdit>
#include <QPalette>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QStyleFactory>
#include <QThread>

namespace quillmere {

namespace ct = cardtext;
using W = CardFontWeight;

namespace {

struct LabelStyle {
    double size;
    CardFontWeight weight;
    QColor color;
    int lines = 0;
    bool wraps = true;
    bool truncatesTail = false;
};

CardText* makeLabel(QWidget* parent, const QString& text, const LabelStyle& style) {
    auto* label = new CardText(text, parent);
    label->setTextFont(cardFont(style.size, style.weight));
    label->setTextColor(style.color);
    label->setMaximumLines(style.lines);
    label->setWraps(style.wraps);
    label->setTruncatesTail(style.truncatesTail);
    return label;
}

// The card always draws dark, whatever the desktop's appearance: its pop-up, field and scrollers
// take these colours.
QPalette darkPalette() {
    QPalette palette;
    palette.setColor(QPalette::Window, CardPalette::background);
    palette.setColor(QPalette::WindowText, CardPalette::primary);
    palette.setColor(QPalette::Base, CardPalette::detailBackground);
    palette.setColor(QPalette::AlternateBase, CardPalette::background);
    palette.setColor(QPalette::Text, CardPalette::primary);
    palette.setColor(QPalette::PlaceholderText, CardPalette::muted);
    palette.setColor(QPalette::Button, CardPalette::detailBackground);
    palette.setColor(QPalette::ButtonText, CardPalette::primary);
    palette.setColor(QPalette::Highlight, CardPalette::button);
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::ToolTipBase, CardPalette::detailBackground);
    palette.setColor(QPalette::ToolTipText, CardPalette::primary);
    palette.setColor(QPalette::Light, CardPalette::border);
    palette.setColor(QPalette::Midlight, CardPalette::border);
    palette.setColor(QPalette::Mid, CardPalette::border);
    palette.setColor(QPalette::Dark, CardPalette::background);
    palette.setColor(QPalette::Shadow, Qt::black);
    palette.setColor(QPalette::Disabled, QPalette::Text, CardPalette::muted);
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, CardPalette::muted);
    palette.setColor(QPalette::Disabled, QPalette::WindowText, CardPalette::muted);
    return palette;
}

CardButton* makeButton(QWidget* parent, const QString& title, double size, CardFontWeight weight,
                       const QColor& tint) {
    auto* button = new CardButton(title, parent);
    button->setTitleFont(cardFont(size, weight));
    button->setTint(tint);
    return button;
}

} // namespace

void RailViewController::assertMainThread() {
    // Checked in every build, not only where assertions are compiled in: the card's state has no
    // locks, and a call from another thread would corrupt it silently rather than stop.
    if (!QCoreApplication::instance() || QThread::currentThread() != QCoreApplication::instance()->thread())
        qFatal("RailViewController: the card is used off the main thread");
}

RailViewController::RailViewController(QObject* parent)
    : QObject(parent), connectorStatus_(ct::connectorStatusInitial) {
    assertMainThread();
    loadView();
}

RailViewController::~RailViewController() {
    *alive_ = false;
    requestLogRows_.clear();
    delete root_.data();
}

// The steps run in one fixed order: a sibling built later draws above an earlier one (until the
// body raises its scroll view) and the default focus chain follows it too.
void RailViewController::loadView() {
    buildRoot();
    buildConnectionEntry();
    buildHeader();
    buildChips();
    buildWindowControls();
    buildBody();
    buildDetails();
    buildRequestLog();
    buildAskPanel();
    buildActions();
    // The wrapping labels' texts can be selected and copied (the single-line ones cannot).
    for (CardText* label : {status_, model_, conversationCategory_, conversationUse_, contextUsage_, reason_,
                            feedback_, detail_, requestLogEmpty_, askResult_})
        label->setSelectable(true);

    // Keyboard loop until the first layout threads the mode's own.
    setNextKeyView(root_, expandButton_);
    setNextKeyView(expandButton_, closeButton_);
    setNextKeyView(closeButton_, detailsButton_);
    setNextKeyView(detailsButton_, useButton_);
    setNextKeyView(useButton_, expandButton_);

    updateExpandButton();
    refresh();
}

// The draggable root and the scrolling document that holds the card's body.
void RailViewController::buildRoot() {
    root_ = new DraggableRailView();
    std::weak_ptr<bool> alive = alive_;
    root_->onDragFinished = [this, alive] {
        if (!alive.expired() && onDragFinished)
            onDragFinished();
    };
    root_->onResized = [this, alive] {
        if (alive.expired())
            return;
        needsLayout_ = true;
        layoutIfNeeded();
    };
    root_->onShown = [this, alive] {
        if (!alive.expired())
            layoutIfNeeded();
    };
    root_->onMoveKeyFocus = [this, alive](bool forward) { return !alive.expired() && moveKeyFocus(forward); };
    root_->setPalette(darkPalette());
    cardview::setAccessibilityLabel(root_, ct::cardAccessibility);

    scroll_ = new CardScrollView(root_, false, false);
    document_ = new FlippedCardDocument();
    scroll_->setWidget(document_);
    // A scroll view fills its document's background by default; the card's own shows through.
    document_->setAutoFillBackground(false);
}

// The connector mode's entry link.
void RailViewController::buildConnectionEntry() {
    connectionEntry_ = makeButton(document_, ct::connectQuillmere, 13, W::medium, CardPalette::accent);
    connectionEntry_->setLeftAligned(true);
    // The keyboard loop leaves the link out: a click reaches it, Tab does not.
    connectionEntry_->setFocusPolicy(Qt::ClickFocus);
    cardview::setAccessibilityLabel(connectionEntry_, ct::connectQuillmereAccessibility);
    connect(connectionEntry_, &QAbstractButton::clicked, this, [this] { openConnection(); });
}

// The logo and provider line, the compact mode's lines and the conversation's title.
void RailViewController::buildHeader() {
    logo_ = makeLabel(root_, ct::logo, {15, W::semibold, CardPalette::primary, 0, false});
    providerLabel_ =
        makeLabel(root_, ct::providerClaudeInitial, {12, W::regular, CardPalette::secondary, 1, false});
    cardview::setAccessibilityLabel(providerLabel_, ct::applicationPrefix + appName(platform_));
    miniTitle_ = makeLabel(root_, ct::miniTitleInitial, {12, W::semibold, CardPalette::primary});
    miniSavings_ = makeLabel(root_, QString(), {12, W::semibold, CardPalette::fitChipText});
    miniSummary_ = makeLabel(root_, ct::collectingTitle, {12, W::medium, CardPalette::secondary});
    conversationLabel_ =
        makeLabel(document_, QString(), {12, W::regular, CardPalette::secondary, 1, false, true});
}

// The fit, switch and savings chips.
void RailViewController::buildChips() {
    fitChip_ = new RecommendationChip(CardPalette::fitChipBackground, CardPalette::fitChipBorder,
                                      CardPalette::fitChipText, document_);
    switchChip_ = new RecommendationChip(CardPalette::switchChipBackground, CardPalette::switchChipBorder,
                                         CardPalette::switchChipText, document_);
    savingsChip_ = new RecommendationChip(CardPalette::savingsChipBackground, CardPalette::savingsChipBorder,
                                          CardPalette::savingsChipText, document_);
}

// The expand and close buttons; Escape closes the card like the close button.
void RailViewController::buildWindowControls() {
    expandButton_ = makeButton(root_, QString(), 12, W::semibold, CardPalette::secondary);
    cardview::setAccessibilityLabel(expandButton_, ct::expandCard);
    cardview::setToolTip(expandButton_, ct::expandCard);
    connect(expandButton_, &QAbstractButton::clicked, this, [this] { toggleExpanded(); });
    closeButton_ = makeButton(root_, QString(), 12, W::semibold, CardPalette::secondary);
    closeButton_->setCloseGlyph(true);
    cardview::setAccessibilityLabel(closeButton_, ct::closeRecommendation);
    cardview::setToolTip(closeButton_, ct::closeRecommendation);
    connect(closeButton_, &QAbstractButton::clicked, this, [this] { closeCard(); });
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), root_);
    escape->setContext(Qt::WindowShortcut);
    connect(escape, &QShortcut::activated, closeButton_, [this] { closeButton_->click(); });
}

// The recommendation itself: status, model, what the conversation is for, why the setting fits,
// and the feedback line.
void RailViewController::buildBody() {
    scroll_->raise();
    status_ = makeLabel(document_, ct::statusInitial, {12, W::semibold, CardPalette::muted});
    model_ = makeLabel(document_, ct::modelInitial, {18, W::semibold, CardPalette::primary});
    conversationUseHeading_ = makeLabel(document_, QString(), {11, W::semibold, CardPalette::accent});
    conversationCategory_ = makeLabel(document_, QString(), {12, W::medium, CardPalette::primary});
    conversationUse_ = makeLabel(document_, QString(), {13, W::regular, CardPalette::secondary, 2});
    contextUsage_ = makeLabel(document_, QString(), {11, W::regular, CardPalette::muted});
    modelFitHeading_ = makeLabel(document_, QString(), {11, W::semibold, CardPalette::accent});
    reason_ = makeLabel(document_, ct::reasonInitial, {13, W::regular, CardPalette::secondary});
    feedback_ = makeLabel(document_, QString(), {12, W::regular, CardPalette::primary});
}

// The details and diagnostics links and the scrolling detail box they open.
void RailViewController::buildDetails() {
    detailsButton_ = makeButton(document_, ct::whyThisSwitch, 13, W::medium, CardPalette::accent);
    detailsButton_->setLeftAligned(true);
    connect(detailsButton_, &QAbstractButton::clicked, this, [this] { toggleDetails(); });
    diagnosticsButton_ = makeButton(document_, ct::viewLogs, 12, W::medium, CardPalette::muted);
    diagnosticsButton_->setLeftAligned(true);
    cardview::setAccessibilityLabel(diagnosticsButton_, ct::viewLogsAccessibility);
    connect(diagnosticsButton_, &QAbstractButton::clicked, this, [this] { showDiagnostics(); });

    detailScroll_ = new CardScrollView(document_, true, false);
    detailDocument_ = new FlippedCardDocument();
    detail_ = makeLabel(detailDocument_, QString(), {13, W::regular, CardPalette::secondary});
    // The detail box scrolls: it shows more of a long explanation than the body's labels.
    detail_->setDisplayLimit(detailBoxLimit);
    detailScroll_->setWidget(detailDocument_);
    detailDocument_->setAutoFillBackground(false);
}

// The expanded mode's request-log heading and its scrolling list (rows come with the entries).
void RailViewController::buildRequestLog() {
    requestLogHeading_ =
        makeLabel(root_, ct::requestLogHeading, {11, W::semibold, CardPalette::muted, 0, false});
    cardview::setHidden(requestLogHeading_, true);
    requestLogScroll_ = new CardScrollView(root_, true, true);
    requestLogDocument_ = new FlippedCardDocument();
    requestLogEmpty_ =
        makeLabel(requestLogDocument_, ct::requestLogEmpty, {12, W::regular, CardPalette::secondary});
    requestLogScroll_->setWidget(requestLogDocument_);
    requestLogDocument_->setAutoFillBackground(false);
    cardview::setHidden(requestLogScroll_, true);
}

// The expanded mode's ask panel: heading, preset pop-up, question field, its button and answer.
void RailViewController::buildAskPanel() {
    askHeading_ = makeLabel(root_, ct::askHeading, {11, W::semibold, CardPalette::muted, 0, false});
    cardview::setHidden(askHeading_, true);
    static QStyle* const fusion = QStyleFactory::create(QStringLiteral("Fusion"));
    askPreset_ = new QComboBox(root_);
    if (fusion)
        askPreset_->setStyle(fusion);
    askPreset_->setPalette(darkPalette());
    askPreset_->setFont(cardFont(12));
    askPreset_->setFocusPolicy(Qt::StrongFocus);
    cardview::setAccessibilityLabel(askPreset_, ct::askPresetAccessibility);
    configureAskPresets();
    connect(askPreset_, &QComboBox::activated, this, [this](int) { selectAskPreset(); });
    cardview::setHidden(askPreset_, true);
    askField_ = new QLineEdit(root_);
    if (fusion)
        askField_->setStyle(fusion);
    askField_->setPalette(darkPalette());
    askField_->setPlaceholderText(ct::askFieldPlaceholder);
    askField_->setFont(cardFont(13));
    cardview::setAccessibilityLabel(askField_, ct::askFieldAccessibility);
    connect(askField_, &QLineEdit::returnPressed, this, [this] { submitAsk(); });
    cardview::setHidden(askField_, true);
    askButton_ = makeButton(root_, ct::recommend, 12, W::semibold, Qt::white);
    askButton_->setLayerBackground(CardPalette::button, 7);
    cardview::setAccessibilityLabel(askButton_, ct::recommendAccessibility);
    connect(askButton_, &QAbstractButton::clicked, this, [this] { submitAsk(); });
    cardview::setHidden(askButton_, true);
    askResult_ = makeLabel(root_, QString(), {12, W::regular, CardPalette::secondary, 2});
    cardview::setHidden(askResult_, true);
}

// The bottom row: the ask entry and the switch button.
void RailViewController::buildActions() {
    askEntryButton_ = makeButton(root_, ct::askEntry, 12, W::medium, CardPalette::muted);
    askEntryButton_->setLayerBackground(Qt::transparent);
    cardview::setAccessibilityLabel(askEntryButton_, ct::askEntryAccessibility);
    cardview::setToolTip(askEntryButton_, ct::askEntryToolTip);
    connect(askEntryButton_, &QAbstractButton::clicked, this, [this] { openAskQuillmere(); });

    useButton_ = makeButton(root_, ct::switchInitial, 14, W::semibold, Qt::white);
    useButton_->setLayerBackground(CardPalette::button, 9);
    connect(useButton_, &QAbstractButton::clicked, this, [this] { useRecommendation(); });
}

QWidget* RailViewController::nextKeyView(const QWidget* view) const {
    const auto found = nextKeyViews_.find(view);
    return found == nextKeyViews_.end() ? nullptr : found->second;
}

void RailViewController::setNextKeyView(QWidget* view, QWidget* next) {
    nextKeyViews_[view] = next;
}

// ---- presenters -------------------------------------------------------------------------------

void RailViewController::setFieldText(CardText* field, const QString& text, bool speakText) {
    field->setText(text);
    if (speakText)
        cardview::setAccessibilityLabel(field, text);
}

void RailViewController::clearConversationUse() {
    for (CardText* field :
         {conversationUseHeading_, conversationCategory_, conversationUse_, contextUsage_, modelFitHeading_})
        field->setText(QString());
}

void RailViewController::hideRecommendationChips() {
    cardview::setHidden(fitChip_, true);
    cardview::setHidden(switchChip_, true);
    cardview::setHidden(savingsChip_, true);
}

void RailViewController::showMessage(const QString& status, const QString& title, const QString& reason) {
    if (applying_)
        return;
    if (!recommendation_ && status_->text() == status && model_->text() == title && reason_->text() == reason)
        return;
    recommendation_.reset();
    recommendationAvailabilityUnverified_ = false;
    recommendationUnconfirmed_ = false;
    detailText_.clear();
    detailsExpanded_ = false;
    hideRecommendationChips();
    setFieldText(status_, status, true);
    setFieldText(model_, title, true);
    clearConversationUse();
    reason_->setText(reason);
    feedback_->setText(QString());
    cardview::setHidden(useButton_, true);
    useButton_->setEnabled(false);
    refresh();
}

void RailViewController::showCollecting(bool clearRecommendation) {
    assertMainThread();
    if (connectorMode_)
        return;
    if (!clearRecommendation && recommendation_)
        return;
    showMessage(ct::collectingStatus, ct::collectingTitle, ct::collectingReason);
}

void RailViewController::setPlatform(AIProvider platform) {
    assertMainThread();
    if (platform == platform_)
        return;
    setConversation(std::nullopt, std::nullopt, false);
    platform_ = platform;
    cardview::setAccessibilityLabel(providerLabel_, ct::applicationPrefix + appName(platform));
    showCollecting(false);
    refresh();
}

void RailViewController::setConversation(const std::optional<QString>& id,
                                         const std::optional<QString>& title, bool verified) {
    assertMainThread();
    if (connectorMode_)
        return;
    const std::optional<QString> effective = verified ? id : std::nullopt;
    if (effective != conversationID_) {
        ++conversationRevision_;
        applying_ = false;
        conversationID_ = effective;
        showMessage(ct::collectingStatus, ct::collectingTitle, ct::collectingReason);
        recommendationStale_ = true;
    }
    conversationVerified_ = verified && id.has_value();
    const QString trimmedTitle = text::trimmed(title.value_or(QString()));
    const QString label = effective && !trimmedTitle.isEmpty() ? trimmedTitle : QString();
    // The label shows the title made plain and bounded; the title is compared with the title it
    // was given, so an unchanged title changes nothing however it is shown.
    if (label != conversationLabel_->sourceText()) {
        conversationLabel_->setText(label);
        cardview::setToolTip(conversationLabel_, label.isEmpty() ? std::nullopt : std::optional(label));
        cardview::setAccessibilityLabel(conversationLabel_, label);
        refresh();
    }
}

void RailViewController::show(const Recommendation& recommendation, const QString& forConversation) {
    assertMainThread();
    if (conversationVerified_ && conversationID_ == forConversation)
        show(recommendation);
}

bool RailViewController::useAllowed(const Recommendation& recommendation) const {
    return recommendation.provider == AIProvider::claude && recommendation.canApply() &&
           !recommendation.alreadyEfficient;
}

void RailViewController::show(const Recommendation& recommendation) {
    assertMainThread();
    if (connectorMode_ || applying_)
        return;
    recommendationAvailabilityUnverified_ = false;
    recommendationUnconfirmed_ = false;
    if (recommendation_ && *recommendation_ == recommendation && feedback_->text().isEmpty()) {
        setRecommendationStale(false);
        return;
    }
    if (!recommendation_ || !recommendation_->hasSameTarget(recommendation))
        ++semanticRenderCount_;
    recommendation_ = recommendation;
    recommendationStale_ = false;

    setStatus(recommendation);
    setModel(recommendation);
    const cardcopy::ReasonCopy copy = cardcopy::recommendationCopy(recommendation.reason);
    const QString fit = text::trimmed(recommendation.modelFitReason.value_or(QString()));
    if (fit.isEmpty()) {
        clearConversationUse();
        setFieldText(reason_, copy.summary, true);
        detailText_ = copy.detail;
        if (copy.detail.isEmpty())
            detailsExpanded_ = false;
    } else {
        const QString family = recommendation.modelFamilyLabel();
        conversationUseHeading_->setText(ct::conversationUseHeading);
        cardview::setAccessibilityLabel(conversationUseHeading_, ct::conversationUseHeadingAccessibility);
        const QString category = cardcopy::categoryLine(recommendation);
        conversationCategory_->setText(category);
        cardview::setAccessibilityLabel(conversationCategory_,
                                        category.isEmpty() ? std::nullopt
                                                           : std::optional(ct::categoryPrefix + category));
        conversationUse_->setText(copy.summary);
        cardview::setAccessibilityLabel(conversationUse_, ct::conversationUsePrefix + copy.summary);
        setFieldText(contextUsage_,
                     recommendation.contextUsage ? cardcopy::contextUsageLine(*recommendation.contextUsage)
                                                 : QString(),
                     true);
        modelFitHeading_->setText(ct::whyUpper + family.toUpper());
        cardview::setAccessibilityLabel(modelFitHeading_, ct::why + family);
        reason_->setText(fit);
        cardview::setAccessibilityLabel(reason_, ct::why + family + ct::colon + fit);
        detailText_.clear();
        detailsExpanded_ = false;
    }
    updateDetailsButton();
    feedback_->setText(QString());
    setButtonTitle(ct::switchTo + recommendation.modelLabel(), recommendation.modelLabel());
    cardview::setHidden(useButton_,
                        recommendation.provider == AIProvider::openAI || recommendation.alreadyEfficient);
    useButton_->setEnabled(useAllowed(recommendation));
    // An enabled switch button no longer waits for a fresh recommendation.
    if (useButton_->isEnabled())
        cardview::setToolTip(useButton_, std::nullopt);
    refresh();
}

void RailViewController::withholdUnverifiedClaudeRecommendation() {
    assertMainThread();
    if (applying_ || !recommendation_ || recommendation_->provider == AIProvider::openAI)
        return;
    recommendationAvailabilityUnverified_ = true;
    recommendationUnconfirmed_ = true;
    setRecommendationStale(true);
    hideRecommendationChips();
    setFieldText(status_, ct::previousAnalysisStatus, false);
    setFieldText(feedback_, ct::withheldFeedback, true);
    refresh();
}

void RailViewController::setRecommendationStale(bool stale) {
    assertMainThread();
    if (stale) {
        if (recommendationStale_)
            return;
        recommendationStale_ = true;
        useButton_->setEnabled(false);
        cardview::setToolTip(useButton_, ct::waitingForFresh);
        if (recommendation_) {
            cardview::setAccessibilityLabel(savingsChip_,
                                            cardcopy::staleSavingsAccessibility(*recommendation_));
            refresh();
        }
        return;
    }
    if (recommendationUnconfirmed_ || !recommendationStale_)
        return;
    recommendationStale_ = false;
    if (applying_ || !recommendation_)
        return;
    setStatus(*recommendation_);
    const bool allowed = useAllowed(*recommendation_);
    useButton_->setEnabled(allowed);
    cardview::setToolTip(useButton_, std::nullopt);
    // A button re-enabled after a confirmed switch offers the switch again, not "Setting confirmed".
    if (allowed)
        setButtonTitle(ct::switchTo + recommendation_->modelLabel(), recommendation_->modelLabel());
    refresh();
}

void RailViewController::showNoRecommendation(bool needsModelOptions,
                                              const std::optional<QString>& explanation,
                                              const std::optional<QString>&) {
    assertMainThread();
    // A connector card shows the connector's word, never a host analysis's.
    if (applying_ || connectorMode_)
        return;
    QString why = text::trimmed(explanation.value_or(QString()));
    if (why.isEmpty())
        why = needsModelOptions ? ct::modelOptionsUnverified : ct::noRecommendationEstablished;
    QString note;
    if (!recommendation_) {
        showCollecting(false);
        note = ct::latestAnalysis + why + ct::needsMoreInformation;
    } else {
        recommendationUnconfirmed_ = true;
        setRecommendationStale(true);
        note = (recommendationAvailabilityUnverified_ ? ct::prefixUnverified : ct::prefixLastCompleted) +
               ct::latestAnalysis + why + ct::switchingPaused;
    }
    setFieldText(feedback_, note, true);
    refresh();
}

void RailViewController::showError(const QString& explanation) {
    assertMainThread();
    showNoRecommendation(false, explanation, {});
}
void RailViewController::showLoading() {
    assertMainThread();
    showCollecting(false);
}
void RailViewController::showModelControlsUnavailable() {
    assertMainThread();
    showCollecting(false);
}
void RailViewController::showUserMessageUnavailable() {
    assertMainThread();
    showCollecting(false);
}

// The answer and the failure are spoken once, as they arrive: the keyboard is back on the control
// the question came from before the answer line changes, so a screen reader does not also read the
// line's new text as the focused element's.
void RailViewController::showAskResult(const Recommendation& recommendation) {
    assertMainThread();
    releaseAskKeyboard();
    const QString answer = cardcopy::askResultText(recommendation);
    askResult_->setText(answer);
    cardview::setAccessibilityLabel(askResult_, ct::recommendedModelPrefix + answer);
    refresh();
    announce(askResult_->spokenText());
}

void RailViewController::showAskFailure(const QString& text) {
    assertMainThread();
    releaseAskKeyboard();
    askResult_->setText(text);
    refresh();
    announce(askResult_->spokenText());
}

// ---- copy -------------------------------------------------------------------------------------

void RailViewController::setStatus(const Recommendation& recommendation) {
    hideRecommendationChips();
    status_->setText(QString());
    if (recommendation.alreadyEfficient) {
        fitChip_->label()->setText(ct::fitChip);
        cardview::setAccessibilityLabel(fitChip_, ct::fitChipAccessibility);
        cardview::setHidden(fitChip_, false);
    } else {
        switchChip_->label()->setText(ct::switchChip);
        cardview::setAccessibilityLabel(switchChip_, ct::switchChipAccessibility);
        cardview::setHidden(switchChip_, false);
    }
    if (const std::optional<cardcopy::SpokenText> savings = cardcopy::savingsChip(recommendation)) {
        savingsChip_->label()->setText(savings->text);
        cardview::setAccessibilityLabel(savingsChip_, savings->accessibility);
        cardview::setHidden(savingsChip_, false);
    }
}

void RailViewController::setModel(const Recommendation& recommendation) {
    const QString text = recommendation.displaySettingLabel();
    const qsizetype split = text.indexOf(ct::middleDot);
    std::vector<TextRun> runs;
    const QFont head = cardFont(18, W::semibold);
    if (split < 0) {
        runs.push_back({text, head, CardPalette::primary});
    } else {
        runs.push_back({text.left(split), head, CardPalette::primary});
        runs.push_back({text.mid(split), cardFont(17, W::regular), CardPalette::muted});
    }
    model_->setRuns(runs);
    cardview::setAccessibilityLabel(model_, ct::recommendedSettingPrefix + text);
}

// ---- actions ------------------------------------------------------------------------------------

void RailViewController::setButtonTitle(const QString& title, const std::optional<QString>& modelLabel) {
    QString shown = title;
    const QFont font = cardFont(14, W::semibold);
    if (modelLabel &&
        (QFontMetricsF(font).horizontalAdvance(title) > 245 || cardcopy::longerThan(*modelLabel, 24)))
        shown = ct::switchModel;
    useButton_->setTitleFont(font);
    useButton_->setTitleRuns({TextRun{shown, font, Qt::white}});
    cardview::setAccessibilityLabel(useButton_, title);
}

void RailViewController::updateDetailsButton() {
    detailsButton_->setTitle(detailsExpanded_ ? ct::whyThisSwitchOpen : ct::whyThisSwitchClosed);
    cardview::setAccessibilityLabel(detailsButton_, ct::whyThisSwitch);
    cardview::setAccessibilityValue(detailsButton_,
                                    detailsExpanded_ ? ct::expandedValue : ct::collapsedValue);
}

void RailViewController::useRecommendation() {
    assertMainThread();
    if (applying_ || recommendationStale_ || !useButton_->isEnabled() || !recommendation_)
        return;
    if (!recommendation_->canApply() || recommendation_->alreadyEfficient)
        return;
    if (validateUse && !validateUse()) {
        setRecommendationStale(true);
        return;
    }
    applying_ = true;
    setFieldText(feedback_, ct::applyingFeedback, true);
    refresh();
    // The feedback line, laid out at once, holds the keyboard of a person who pressed the button;
    // it is then read as focused, and said once that way. The button is renamed once it has left.
    layoutIfNeeded();
    const bool held = useHold_.hold({useButton_}, feedback_, switchPart());
    setButtonTitle(ct::switching, std::nullopt);
    useButton_->setEnabled(false);
    if (!held)
        announce(feedback_->text());
    const Recommendation applied = *recommendation_;
    if (onUse)
        onUse(applied);
}

void RailViewController::showApplyResult(bool success, const Recommendation& recommendation) {
    assertMainThread();
    if (!applying_)
        return;
    applying_ = false;
    if (!recommendation_ || !(*recommendation_ == recommendation)) {
        useHold_.release();
        return;
    }
    const QString note =
        success ? ct::confirmedFeedback
                : ct::failedFeedbackPrefix + appName(recommendation.provider) + ct::failedFeedbackSuffix;
    setButtonTitle(success ? ct::settingConfirmed : ct::retrySwitch, std::nullopt);
    useButton_->setEnabled(!success && !recommendationStale_);
    // The keyboard leaves the feedback line before it shows the outcome, which is then said once.
    useHold_.release();
    setFieldText(feedback_, note, true);
    refresh();
    // Announced even when no control of the switch part is offered (the button stays grey, "Why
    // this switch?" is not shown) and the line keeps the keyboard: a screen reader reads a line as
    // it takes the keyboard, but not the new text of a line it already reads.
    announce(note);
}

// The switch button and the body's controls before it in the keyboard loop.
std::vector<QWidget*> RailViewController::switchPart() const {
    return {detailsButton_, diagnosticsButton_, useButton_};
}

void RailViewController::toggleDetails() {
    assertMainThread();
    if (detailText_.isEmpty())
        return;
    detailsExpanded_ = !detailsExpanded_;
    updateDetailsButton();
    refresh();
    announce(detailsExpanded_ ? ct::detailsExpandedAnnouncement : ct::detailsCollapsedAnnouncement);
}

void RailViewController::enterMode(bool minimized, bool expanded) {
    minimized_ = minimized;
    expanded_ = expanded;
    updateExpandButton();
    refresh();
    if (onExpand)
        onExpand(expanded_);
}

void RailViewController::toggleExpanded() {
    assertMainThread();
    enterMode(!minimized_, false);
}

void RailViewController::showDiagnostics() {
    assertMainThread();
    if (minimized_ || expanded_)
        return;
    enterMode(false, true);
}

void RailViewController::collapse() {
    assertMainThread();
    if (minimized_)
        return;
    enterMode(true, false);
}

void RailViewController::closeCard() {
    assertMainThread();
    if (onClose)
        onClose();
}

void RailViewController::openConnection() {
    assertMainThread();
    if (onConnect)
        onConnect();
}

void RailViewController::announce(const QString& text) {
    assertMainThread();
    if (root_)
        ax::announce(*root_, text, ax::AnnouncementPriority::medium);
}

} // namespace quillmere
