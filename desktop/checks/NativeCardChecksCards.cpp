#include "desktop/checks/NativeCardChecksCards.h"

#include "desktop/card/CardPalette.h"
#include "desktop/card/RailViewController.h"
#include "desktop/checks/NativeCardChecksCapture.h"
#include "desktop/checks/NativeCardChecksCardFixtures.h"
#include "desktop/checks/NativeCardChecksFixtures.h"
#include "desktop/classification/AnalysisDebouncer.h"
#include "desktop/classification/OpenAIRecommendationContract.h"
#include "desktop/classification/RequestLogStore.h"
#include "desktop/shell/CardPanel.h"
#include "platform/network/HttpTransport.h"

#include <QDir>
#include <QImage>
#include <QThread>
#include <QWidget>
#include <cmath>
#include <limits>

namespace quillmere::NativeCardChecks {

using namespace cardFixtures;

namespace {

// Closures handed to the card run where the card runs them: on the main thread.
void assertMainThread() {
    Q_ASSERT(QThread::currentThread() == QCoreApplication::instance()->thread());
}

// Whether a button draws its title and nothing around it: no pixel at the middle of any edge, where
// a border or a filled background would paint.
bool drawsOnlyItsTitle(QWidget* button) {
    QImage image(button->size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    button->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    const int w = image.width();
    const int h = image.height();
    if (w < 3 || h < 3)
        return false;
    for (const QPoint& edge :
         {QPoint(w / 2, 0), QPoint(0, h / 2), QPoint(w - 1, h / 2), QPoint(w / 2, h - 1)})
        if (qAlpha(image.pixel(edge)) != 0)
            return false;
    return true;
}

bool contains(const std::vector<QString>& texts, const QString& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

bool allContain(const std::vector<QString>& texts, const QString& part) {
    return !texts.empty() && std::all_of(texts.begin(), texts.end(),
                                         [&part](const QString& text) { return text.contains(part); });
}

// The three compact lines, compared before and after a change that must leave them as they were.
std::array<QString, 3> compactLines(RailViewController& card) {
    return {card.miniRecommendationForTesting(), card.miniSavingsForTesting(), card.miniReasonForTesting()};
}

// The textual form of an optional percent in the probe sentences: "nil", "Optional(101.0)".
QString optionalDescription(std::optional<double> value) {
    if (!value)
        return QStringLiteral("nil");
    QString number;
    if (std::isnan(*value))
        number = QStringLiteral("nan");
    else if (std::isinf(*value))
        number = *value > 0 ? QStringLiteral("inf") : QStringLiteral("-inf");
    else if (*value == std::floor(*value) && std::abs(*value) < 1e15)
        number = QString::number(qint64(*value)) + QStringLiteral(".0");
    else
        number = QString::number(*value, 'g', 17);
    return QStringLiteral("Optional(") + number + QLatin1Char(')');
}

const QString savings63 = QStringLiteral("↓ 63% vs Opus 5.5 · Medium");

} // namespace

double expandSizingWidth(bool expanded) {
    return expanded ? 640 : 310;
}

// A card shown in its floating panel, as a host widget shows it.
struct CardChecks::Stage {
    // The card outlives the panel that shows its view.
    std::unique_ptr<RailViewController> card;
    std::unique_ptr<CardPanel> panel;

    Stage(QPointF origin, QSizeF content)
        : card(std::make_unique<RailViewController>()),
          panel(std::make_unique<CardPanel>(content, CardPanel::Style{})) {
        panel->setFrame(QRectF(origin, content));
        panel->setContentView(card->view());
    }
    ~Stage() { panel.reset(); }
    void orderFront() { panel->orderFrontRegardless(); }
    void orderOut() { panel->orderOut(); }
    // The content size, set directly, as the application widget sets it; nothing clamps it.
    void setContentSize(double width, double height) {
        panel->setFrame(QRectF(panel->frame().topLeft(), QSizeF(std::ceil(width), std::ceil(height))));
        layOut();
    }
    QRectF frame() const { return panel->frame(); }
    // Lays the card out at the panel's present size.
    void layOut() {
        card->view()->setGeometry(panel->rect());
        card->setNeedsLayout();
        card->layoutIfNeeded();
    }
};

CardChecks::CardChecks(checks::Reporter check, QString outputDirectory)
    : check_(std::move(check)), output_(std::move(outputDirectory)) {}

CardChecks::~CardChecks() = default;

void CardChecks::capture(const QString& name) {
    capture(name, *card_, *main_);
}

void CardChecks::capture(const QString& name, RailViewController& card, Stage& stage) {
    const Capture& entry = captureNamed(name);
    const bool opens = entry.opened && card.minimizedForTesting();
    if (opens)
        card.toggleExpanded();
    stage.setContentSize(entry.width, std::min<double>(card.preferredHeight(entry.width), entry.maxHeight));
    stage.layOut();
    turnEventLoop(0.05);
    writeCapture(card.view(), QDir(output_).filePath(name + QStringLiteral(".png")));
    if (opens) {
        card.toggleExpanded();
        stage.setContentSize(entry.width, card.preferredHeight(entry.width));
    }
}

void CardChecks::showOnMain(const Recommendation& recommendation) {
    card_->show(recommendation);
}

// ---- the compact-card scenario ------------------------------------------------------------------

void CardChecks::compactCardChecks() {
    const auto& check = check_;
    compact_ = std::make_unique<Stage>(QPointF(80, 80), QSizeF(310, 360));
    RailViewController& card = *compact_->card;
    compact_->orderFront();
    compact_->setContentSize(310, card.preferredHeight(310));
    compact_->layOut();

    check(card.minimizedForTesting() && !card.expandedForTesting() && card.preferredHeight(310) == 124 &&
              card.miniLineCountForTesting() == 2 && card.miniLinesFitForTesting() &&
              !card.requestLogVisibleForTesting(),
          QStringLiteral("widget starts as a two-line card with diagnostics hidden"));
    check(card.expandButton()->displayedTitle() == QLatin1String("More info") &&
              !card.expandButton()->hasImage(),
          QStringLiteral("compact card uses a bottom More info button instead of expand arrows"));
    const double top = card.view()->height();
    check(drawsOnlyItsTitle(card.askEntryButton()) && drawsOnlyItsTitle(card.expandButton()) &&
              card.frameForTesting(card.closeButton()).maxY() == top,
          QStringLiteral("secondary actions are quiet text and close remains in the top corner"));
    const auto ask = card.frameForTesting(card.askEntryButton());
    check(card.askEntryVisibleForTesting() && ask.w >= 48 && ask.h >= 32,
          QStringLiteral("compact widget offers a clear model consultation entry point"));

    // The application widget's own sizing, with a cell that records the flag.
    expandSizingCell_ = std::make_shared<bool>(false);
    card.onExpand = [cell = expandSizingCell_, stage = compact_.get()](bool expanded) {
        assertMainThread();
        *cell = expanded;
        const double width = expandSizingWidth(expanded);
        stage->setContentSize(width, stage->card->preferredHeight(width));
    };
    card.askEntryButton()->click();
    compact_->layOut();
    check(*expandSizingCell_ && card.expandedForTesting() && !card.askEntryVisibleForTesting(),
          QStringLiteral("compact consultation entry opens the expanded Ask Quillmere flow"));
    card.collapse();
    compact_->layOut();
    check(card.minimizedForTesting() && !card.expandedForTesting() && card.miniLineCountForTesting() == 2 &&
              !card.requestLogVisibleForTesting() && card.askEntryVisibleForTesting() && !*expandSizingCell_,
          QStringLiteral("reopened widget returns to the two-line card"));
    compact_->orderOut();
}

// ---- the main card: versions, compact lines, disclosure and header ---------------------------

void CardChecks::layoutAndHeaderChecks() {
    const auto& check = check_;
    main_ = std::make_unique<Stage>(QPointF(80, 80), QSizeF(310, 260));
    card_ = main_->card.get();
    RailViewController& card = *card_;
    main_->orderFront();

    check(unversionedSonnet().modelLabel() == QLatin1String("Sonnet"),
          QStringLiteral("unversioned Claude response does not claim Sonnet 5 access"));

    const Recommendation r1 = switchToSonnet();
    card.show(r1);
    capture(QStringLiteral("two-line-default"));
    const QString mini = card.miniRecommendationForTesting();
    const QString savings = card.miniSavingsForTesting();
    check(card.minimizedForTesting() && card.miniLineCountForTesting() == 2 &&
              card.miniLinesFitForTesting() && card.preferredHeight(310) > 124 &&
              mini.contains(QLatin1String("Switch")) && mini.contains(QLatin1String("Sonnet 5")) &&
              mini.contains(QLatin1String("Low")) && savings.contains(QLatin1String("63%")) &&
              savings.contains(QStringLiteral("vs Opus 5.5 · Medium")) &&
              card.miniReasonForTesting() == QStringLiteral("Why: ") + r1.reason,
          QStringLiteral(
              "compact recommendation shows exact version, effort, baseline and complete explanation"));
    capture(QStringLiteral("compact-full-explanation-narrow"));
    check(card.miniLinesFitForTesting() && card.preferredHeight(220) > card.preferredHeight(310),
          QStringLiteral(
              "full compact explanation wraps and grows without overlapping controls on a narrow card"));
    capture(QStringLiteral("compact-full-explanation"));

    card.expandButton()->click();
    main_->layOut();
    check(!card.minimizedForTesting() && !card.expandedForTesting() &&
              !card.hiddenForTesting(card.diagnosticsButton()) &&
              card.expandButton()->displayedTitle() == QLatin1String("Close info") &&
              !card.expandButton()->hasImage(),
          QStringLiteral("More info reveals recommendation details and a separate logs entry"));
    card.expandButton()->click();
    main_->layOut();
    check(card.minimizedForTesting() && !card.expandedForTesting() && card.preferredHeight(310) > 124 &&
              !card.requestLogVisibleForTesting() &&
              card.expandButton()->displayedTitle() == QLatin1String("More info"),
          QStringLiteral("Close info returns directly to the compact card with the complete explanation"));
    card.expandButton()->click();
    main_->layOut();
    check(!card.minimizedForTesting() && !card.expandedForTesting(),
          QStringLiteral("More info reopens the detail card after collapsing"));

    for (const AIProvider provider : {AIProvider::claude, AIProvider::openAI}) {
        const QString raw = rawValue(provider);
        const QString application =
            provider == AIProvider::claude ? QStringLiteral("Claude") : QStringLiteral("ChatGPT");
        const QString id = QStringLiteral("header-") + raw;
        card.setPlatform(provider);
        card.setConversation(id, QStringLiteral("תכנון שבועי"), true);
        Recommendation header;
        header.provider = provider;
        header.model =
            provider == AIProvider::claude ? QStringLiteral("sonnet") : QStringLiteral("gpt-5.6-luna");
        header.effort = QStringLiteral("low");
        header.reason = QStringLiteral("A bounded summary is a candidate for a lighter model.");
        card.show(header, id);
        for (const int width : {310, 220}) {
            capture(QStringLiteral("provider-%1-%2").arg(raw).arg(width));
            const QString at = QString::number(width) + QStringLiteral(".0");
            check(card.providerTextForTesting() == application,
                  raw + QStringLiteral(" header wraps below the labeled Close info control at ") + at);
            check(card.headerFitsForTesting(),
                  raw + QStringLiteral(" header avoids controls and conversation content at ") + at);
        }
        check(card.providerAccessibilityForTesting() == QStringLiteral("Application: ") + application,
              raw + QStringLiteral(" accessible name identifies owning application independently of model"));
        check(card.frameForTesting(card.expandButton()).w >= 32 &&
                  card.frameForTesting(card.closeButton()).w >= 32,
              raw + QStringLiteral(" header preserves control hit targets"));
        QString longTitle = QStringLiteral("Synthetic long title");
        for (int i = 0; i < 12; ++i)
            longTitle += QStringLiteral(" planning");
        card.setConversation(id, longTitle, true);
        capture(QStringLiteral("provider-") + raw + QStringLiteral("-long"));
        check(card.headerFitsForTesting(),
              QStringLiteral("long conversation title cannot collide with provider header"));
        card.setConversation(id, std::nullopt, true);
        capture(QStringLiteral("provider-") + raw + QStringLiteral("-missing"));
        check(card.headerFitsForTesting() && card.conversationLabelForTesting().isEmpty(),
              QStringLiteral("missing title does not show a generic conversation label"));
    }
}

// ---- conversation binding on the main card ----------------------------------------------------

void CardChecks::conversationCardChecks() {
    const auto& check = check_;
    RailViewController& card = *card_;
    const Recommendation r1 = switchToSonnet();

    // The card is still on the last header's provider and conversation.
    card.show(r1);
    card.setPlatform(AIProvider::claude);
    check(!card.recommendation() && card.conversationLabelForTesting().isEmpty(),
          QStringLiteral("changing provider clears previous conversation and recommendation"));

    card.show(r1);
    card.setRecommendationStale(true);
    card.showCollecting(false);
    // A shown recommendation keeps its copy while history is blocked: no collecting text replaces it.
    check(card.recommendation() == r1 && !card.messageForTesting().contains(QLatin1String("COLLECTING")) &&
              contains(card.visibleRecommendationChipsForTesting(), savings63) &&
              !card.useButton()->isEnabled(),
          QStringLiteral("blocked history retains the last model and estimate while disabling the action"));

    capture(QStringLiteral("partial-history"));
    card.setConversation(QStringLiteral("claude-synthetic"), QStringLiteral("Subscription planning"), true);
    card.show(r1, QStringLiteral("claude-synthetic"));
    card.setConversation(std::nullopt, std::nullopt, false);
    card.setRecommendationStale(true);
    check(!card.recommendation() && card.visibleRecommendationChipsForTesting().empty() &&
              !card.useButton()->isEnabled() &&
              card.messageForTesting().contains(QLatin1String("COLLECTING")),
          QStringLiteral(
              "Claude zero-message scan clears an existing recommendation while generation continues"));

    const QString a = QStringLiteral("synthetic-A");
    const QString b = QStringLiteral("synthetic-B");
    card.setConversation(a, QStringLiteral("Weekly planning"), true);
    card.show(r1, a);
    check(card.conversationLabelForTesting() == QLatin1String("Weekly planning") &&
              card.recommendation() == r1,
          QStringLiteral("conversation title and recommendation share the same identity"));
    check(card.visibleRecommendationChipsForTesting() ==
              std::vector<QString>{QStringLiteral("↗  Switch recommended"), savings63},
          QStringLiteral("switch recommendation separates action and savings into readable chips"));
    check(card.recommendationChipsFitForTesting(),
          QStringLiteral("recommendation chips remain inside the card"));
    card.setConversation(b, QStringLiteral("Subscription planning"), true);
    check(!card.recommendation() && card.hiddenForTesting(card.useButton()),
          QStringLiteral("new conversation immediately clears previous recommendation and action"));
    card.show(r1, a);
    check(!card.recommendation() &&
              card.conversationLabelForTesting() == QLatin1String("Subscription planning"),
          QStringLiteral("late response from A cannot alter B"));
    card.show(r1, b);
    const int renders = card.semanticRenderCount();
    card.setConversation(b, QStringLiteral("Renamed planning"), true);
    check(card.recommendation() == r1 && card.semanticRenderCount() == renders,
          QStringLiteral("renaming same conversation preserves recommendation without reanalysis"));
    QString longTitle;
    for (int i = 0; i < 6; ++i)
        longTitle += QStringLiteral("Synthetic long conversation title ");
    card.setConversation(b, longTitle, true);
    check(card.conversationTooltipForTesting() == longTitle.trimmed(),
          QStringLiteral("long title retains full tooltip"));
    capture(QStringLiteral("conversation-title-long"));
    capture(QStringLiteral("conversation-title"));
    card.setConversation(b, std::nullopt, true);
    check(card.conversationLabelForTesting().isEmpty(),
          QStringLiteral("missing title never substitutes a generic conversation label"));
    card.setConversation(b, std::nullopt, false);
    check(card.conversationLabelForTesting().isEmpty(),
          QStringLiteral("unverified missing identity never fabricates a title"));
}

void CardChecks::secondCardChecks() {
    const auto& check = check_;
    RailViewController& card = *card_;
    const Recommendation r1 = switchToSonnet();
    card.show(r1);
    second_ = std::make_unique<Stage>(QPointF(420, 80), QSizeF(340, 550));
    RailViewController& other = *second_->card;
    second_->orderFront();
    other.setPlatform(AIProvider::openAI);
    other.showError(QStringLiteral("Other host unavailable"));
    check(card.recommendation() == r1 && !other.recommendation(),
          QStringLiteral("separate app cards retain independent recommendation states"));
    other.show(r1);
    other.setRecommendationStale(true);
    check(card.useButton()->isEnabled() && !other.useButton()->isEnabled(),
          QStringLiteral("stale context in one app cannot disable the other app action"));
    second_->orderOut();
}

// ---- compact height, targets, chips, fit and Standard copy -------------------------------------

void CardChecks::chipsAndCopyChecks() {
    const auto& check = check_;
    RailViewController& card = *card_;
    const Recommendation r1 = switchToSonnet();

    card.collapse();
    capture(QStringLiteral("collapsed"));
    check(card.preferredHeight(310) < 330,
          QStringLiteral("compact value-first card fits below 330pt without shrinking interaction targets"));
    check(card.frameForTesting(card.useButton()).h >= 44 && card.frameForTesting(card.closeButton()).w >= 44,
          QStringLiteral("compact layout retains accessible click targets"));
    check(card.frameForTesting(card.detailsButton()).minX() >= 0,
          QStringLiteral("disclosure stays inside content bounds without clipping"));
    check(card.useButton()->isEnabled() &&
              card.useButton()->displayedTitle() == QLatin1String("Switch to Sonnet 5"),
          QStringLiteral("dynamic CTA uses the recommendation"));
    check(r1.savingsLabel() == QStringLiteral("≈63%"), QStringLiteral("valid estimate is displayed"));
    capture(QStringLiteral("recommendation-chips-narrow"));
    check(card.recommendationChipsFitForTesting(),
          QStringLiteral("switch and savings chips wrap safely on narrow cards"));

    const QString fitChip = QStringLiteral("✓  Model fit");
    card.show(claudeFit());
    card.collapse();
    capture(QStringLiteral("two-line-fit"));
    check(card.miniRecommendationForTesting().contains(QLatin1String("Model fit")) &&
              card.miniRecommendationForTesting().contains(claudeFit().modelLabel()) &&
              card.miniSavingsForTesting() == QStringLiteral("Savings —") &&
              card.miniReasonForTesting().startsWith(QLatin1String("Why:")),
          QStringLiteral("two-line fit card identifies the model and missing verified savings"));
    card.expandButton()->click();
    main_->layOut();
    check(card.visibleRecommendationChipsForTesting() == std::vector<QString>{fitChip},
          QStringLiteral("matching model shows one clear fit chip"));
    capture(QStringLiteral("model-fit-chip"));
    const Recommendation r4 = claudeFitWithSavings();
    card.show(r4);
    card.collapse();
    capture(QStringLiteral("two-line-fit-with-savings"));
    check(card.miniRecommendationForTesting().contains(QLatin1String("Model fit")) && r4.savingsLabel() &&
              card.miniSavingsForTesting().contains(r4.savingsLabel()->mid(1)),
          QStringLiteral("two-line fit card shows verified savings"));
    card.expandButton()->click();
    main_->layOut();
    check(card.visibleRecommendationChipsForTesting() ==
              std::vector<QString>{fitChip, QStringLiteral("↓ 80% vs Fable 5.1")},
          QStringLiteral("fitted Claude setting compares with the highest-priced model"));
    capture(QStringLiteral("claude-model-fit-with-fable-savings"));
    const Recommendation r5 = chatGPTFit();
    card.show(r5);
    const auto reference = r5.standardRateReference();
    {
        const auto chips = card.visibleRecommendationChipsForTesting();
        check(reference && chips.size() == 2 && chips[0] == fitChip &&
                  chips[1].contains(QLatin1String("Standard")),
              QStringLiteral("matching ChatGPT model shows an explicit both-side Standard reference"));
    }
    capture(QStringLiteral("model-fit-with-astra-savings"));
    card.collapse();
    const QString ref = reference.value_or(QStringLiteral("(none)"));
    check(card.miniSavingsForTesting().contains(ref) &&
              allContain(card.costReferenceAccessibilityForTesting(), ref),
          QStringLiteral("compact and accessibility copy explicitly identify both Standard rates"));
    card.setRecommendationStale(true);
    check(
        card.miniSavingsForTesting().contains(ref) &&
            allContain(card.costReferenceAccessibilityForTesting(), ref),
        QStringLiteral("silent refresh preserves the qualified reference in visible and accessibility copy"));
    capture(QStringLiteral("standard-reference-compact-stale"));

    card.show(chatGPTWithCategory());
    card.expandButton()->click();
    main_->layOut();
    {
        const QString message = card.messageForTesting();
        bool all = true;
        for (const QString& part :
             {QStringLiteral("CONVERSATION USE"), QStringLiteral("Refining the recommendation widget"),
              QStringLiteral("Development · Implement a feature"),
              QStringLiteral("Based on 14 available messages · 7 yours + 7 AI"), QStringLiteral("WHY TERRA"),
              QStringLiteral("Terra with Medium reasoning fits")})
            all = all && message.contains(part);
        check(all && !message.contains(QLatin1String("COMPLEXITY")) &&
                  card.hiddenForTesting(card.detailsButton()),
              QStringLiteral(
                  "recommendation shows conversation use and model fit without complexity or a redundant "
                  "disclosure"));
    }
    capture(QStringLiteral("category-and-model-fit"));
    card.show(chatGPTOversized());
    check(card.messageForTesting().contains(
              QStringLiteral("Based on the 6 most recent of 10 available messages · 3 yours + 3 AI")),
          QStringLiteral("oversized conversations disclose the number of recent messages used"));
    card.show(r1);
    const int renders = card.semanticRenderCount();
    card.show(sameTargetNewReason());
    check(card.semanticRenderCount() == renders &&
              card.messageForTesting().contains(QLatin1String("different explanation")),
          QStringLiteral("same target updates the explanation without a new recommendation presentation"));
    card.show(sameTargetNewReason());
    check(card.semanticRenderCount() == renders,
          QStringLiteral("identical recommendation does not trigger another render"));
}

// ---- typing debounce and click guard ------------------------------------------------------------

void CardChecks::typingAndClickGuardChecks() {
    const auto& check = check_;
    RailViewController& card = *card_;
    const Recommendation r1 = switchToSonnet();
    card.show(r1);
    for (const QString& provider : {QStringLiteral("claude"), QStringLiteral("openAI")}) {
        const auto say = [&provider](const char* literal) { return provider + QString::fromUtf8(literal); };
        AnalysisDebouncer debouncer(0.9);
        const int renders = card.semanticRenderCount();
        const QRectF frame = main_->frame();
        bool granted = false;
        for (int i = 0; i < 20; ++i) {
            const double at = 0.1 * i;
            debouncer.observe(QStringLiteral("thread1|") + provider + QStringLiteral("|model|low|draft") +
                                  QString::number(i),
                              at);
            card.setRecommendationStale(true);
            granted = debouncer.takeRequest(at).has_value() || granted;
        }
        check(!granted, say(": 20 rapid edits issue zero requests during typing"));
        const auto ticket = debouncer.takeRequest(2.9);
        const bool again = debouncer.takeRequest(3.0).has_value();
        check(ticket && !again, say(": exactly one request after quiet interval"));
        check(card.semanticRenderCount() == renders && main_->frame() == frame &&
                  card.recommendation() == r1 &&
                  contains(card.visibleRecommendationChipsForTesting(), savings63) &&
                  !card.messageForTesting().contains(QLatin1String("COLLECTING")) &&
                  !card.useButton()->isEnabled(),
              say(": ongoing analysis retains the model and last estimate without permitting an action"));
        const QString newDraft =
            QStringLiteral("thread1|") + provider + QStringLiteral("|model|low|new draft");
        debouncer.observe(newDraft, 3.1);
        check(ticket && !debouncer.accepts(*ticket), say(": old in-flight response rejected after editing"));
        debouncer.takeRequest(4.1);
        const bool repeated = debouncer.observe(newDraft, 4.2);
        check(!repeated && !debouncer.takeRequest(5.2), say(": identical text deduplicated"));
        debouncer.observe(QStringLiteral("thread2|") + provider + QStringLiteral("|model|low|new draft"),
                          5.3);
        check(debouncer.takeRequest(6.3).has_value(), say(": same text in different thread analyzed"));
        debouncer.observe(std::nullopt, 6.4);
        const bool early = debouncer.takeRequest(7.4).has_value();
        check(!early && !debouncer.observe(std::nullopt, 7.5), say(": empty composer does not loop"));
        card.show(r1);
        check(card.useButton()->isEnabled(), say(": fresh identical result restores action"));
    }

    card.validateUse = [] {
        assertMainThread();
        return false;
    };
    card.useRecommendation();
    check(!card.applying() && !card.useButton()->isEnabled(),
          QStringLiteral("click-time context check blocks stale recommendation between polls"));
    card.validateUse = nullptr;
    card.show(r1);
    card.detailsButton()->click();
    capture(QStringLiteral("expanded"));
    check(cardview::accessibilityValue(card.detailsButton()) == QStringLiteral("Expanded"),
          QStringLiteral("details disclosure expands real recommendation detail"));
}

// ---- contract results on the card ---------------------------------------------------------------

void CardChecks::claudeContractCardChecks(const Recommendation& switch67) {
    const auto& check = check_;
    RailViewController& card = *card_;
    if (!card.minimizedForTesting())
        card.expandButton()->click();
    card.show(switch67);
    capture(QStringLiteral("compact-sonnet-baseline-67"));
    check(card.miniReasonForTesting() ==
                  QStringLiteral("Why: ") + switch67.modelFitReason.value_or(QString()) &&
              card.miniSavingsForTesting() ==
                  QStringLiteral("↓ ≈67% estimated savings vs Opus 5.5 · Medium") &&
              card.miniLinesFitForTesting(),
          QStringLiteral(
              "compact 67 percent example includes the full model-fit explanation and comparison setting"));
    card.withholdUnverifiedClaudeRecommendation();
    check(card.recommendation() == switch67 && card.recommendationStaleForTesting() &&
              !card.useButton()->isEnabled() && card.visibleRecommendationChipsForTesting().empty() &&
              card.miniSavingsForTesting() == QLatin1String("Availability and savings unverified"),
          QStringLiteral("availability loss retains historical card without fit/savings or Switch"));
    card.setRecommendationStale(false);
    check(!card.useButton()->isEnabled(),
          QStringLiteral("cadence cannot reactivate an unverified historical recommendation"));
    card.show(switch67);
    check(card.useButton()->isEnabled() && card.miniSavingsForTesting().contains(QLatin1String("67%")),
          QStringLiteral("fresh verified analysis restores recommendation and its comparison"));
    // The fit checks that follow read the opened card.
    card.expandButton()->click();
    main_->layOut();
}

void CardChecks::withheldTargetCardCheck() {
    using OpenAIRecommendationContract::Invalid;
    const QString explanation = Invalid(Invalid::Case::unsupportedRecommendationTarget).errorDescription();
    card_->showNoRecommendation(false, explanation, std::nullopt);
    const QString note = card_->latestAnalysisNoteForTesting();
    check_(note.contains(QLatin1String("could not verify")) &&
               note.contains(QLatin1String("current setting has not been changed")),
           QStringLiteral(
               "withheld unsupported model explains uncertainty in More info without an access claim"));
}

// ---- the ChatGPT flow ---------------------------------------------------------------------------

void CardChecks::modelOptionsCardCheck(const Recommendation& meeting) {
    RailViewController& card = *card_;
    card.show(meeting);
    card.showNoRecommendation(true, std::nullopt, std::nullopt);
    check_(card.recommendation() == meeting && card.hiddenForTesting(card.useButton()) &&
               card.recommendationStaleForTesting() &&
               !card.messageForTesting().contains(QLatin1String("Collecting context")),
           QStringLiteral("model options unavailable retains the previous card without loading"));
}

void CardChecks::abstentionCardChecks(const Recommendation& meeting) {
    const auto& check = check_;
    RailViewController& card = *card_;
    capture(QStringLiteral("chatgpt-model-options"));
    card.showNoRecommendation(false, std::nullopt, std::nullopt);
    check(card.recommendation() == meeting &&
              !card.messageForTesting().contains(QLatin1String("Collecting context")),
          QStringLiteral("repeated abstention preserves the last completed card"));
    capture(QStringLiteral("chatgpt-no-change"));
    const QString markup =
        QStringLiteral("The screenshot does not provide enough task context. <script>literal text</script>");
    card.showNoRecommendation(false, markup, std::nullopt);
    check(
        card.recommendation() == meeting && card.latestAnalysisNoteForTesting().contains(markup) &&
            card.hiddenForTesting(card.useButton()),
        QStringLiteral("server abstention stays in More info while compact recommendation remains visible"));
    capture(QStringLiteral("chatgpt-abstention-detail"));
    card.showNoRecommendation(false, QStringLiteral("   "), std::nullopt);
    check(card.recommendation() == meeting,
          QStringLiteral("empty abstention detail preserves the previous card"));
}

void CardChecks::chatGPTCardChecks(const Recommendation& meeting) {
    RailViewController& card = *card_;
    card.show(meeting);
    capture(QStringLiteral("chatgpt-normal"));
    check_(card.hiddenForTesting(card.useButton()) &&
               card.messageForTesting().contains(QLatin1String("GPT-5.6 Luna")),
           QStringLiteral("ChatGPT displays the recommended model without a switch action"));
    card.useRecommendation();
    check_(!card.applying(), QStringLiteral("ChatGPT recommendation-only card never applies a model"));
}

void CardChecks::collectingStateChecks() {
    const auto& check = check_;
    RailViewController& card = *card_;
    card.setConversation(QStringLiteral("collecting-test"), QStringLiteral("Collecting test"), true);
    card.showLoading();
    card.showCollecting(false);
    check(card.messageForTesting().contains(QLatin1String("COLLECTING")) &&
              !card.messageForTesting().contains(QLatin1String("ANALYZING")),
          QStringLiteral("loading and quiet-period states render as one stable collecting state"));
    capture(QStringLiteral("waiting-stable"));
    card.showNoRecommendation(
        false, QStringLiteral("The attached image cannot be assessed from readable text."), std::nullopt);
    const QString collecting = card.messageForTesting();
    card.showCollecting(false);
    card.showCollecting(false);
    check(card.messageForTesting() == collecting,
          QStringLiteral("duplicate analysis skips do not change collecting copy"));
    card.showUserMessageUnavailable();
    check(card.messageForTesting() == collecting,
          QStringLiteral("unreadable request does not introduce another visible state"));
    card.showModelControlsUnavailable();
    check(card.messageForTesting() == collecting,
          QStringLiteral("missing model controls do not introduce another visible state"));

    capture(QStringLiteral("model-not-detected"));
    const Recommendation sonnet = switchToSonnet();
    card.show(sonnet);
    const QString message = card.messageForTesting();
    const auto lines = compactLines(card);
    const auto chips = card.visibleRecommendationChipsForTesting();
    card.setRecommendationStale(true);
    check(
        card.messageForTesting() == message && card.recommendation() == sonnet &&
            card.recommendationStaleForTesting() && !card.useButton()->isEnabled() &&
            card.miniSavingsForTesting().contains(QLatin1String("63%")) &&
            card.visibleRecommendationChipsForTesting() == chips && compactLines(card) == lines,
        QStringLiteral(
            "background refresh keeps all visible copy and frozen savings unchanged while disabling Switch"));
    const QString before = card.messageForTesting();
    card.showLoading();
    card.showCollecting(false);
    check(card.messageForTesting() == before,
          QStringLiteral("recalculation does not replace an existing recommendation with loading"));
}

// ---- retained and frozen card -------------------------------------------------------------------

void CardChecks::retainedCardChecks() {
    const auto& check = check_;
    RailViewController& card = *card_;
    const Recommendation sonnet = switchToSonnet();
    {
        const int renders = card.semanticRenderCount();
        const auto lines = compactLines(card);
        const auto chips = card.visibleRecommendationChipsForTesting();
        card.showNoRecommendation(false, QStringLiteral("The latest attachment is unreadable."),
                                  std::nullopt);
        card.setRecommendationStale(false);
        card.showCollecting(false);
        card.useRecommendation();
        check(card.recommendation() == sonnet && card.recommendationStaleForTesting() &&
                  !card.useButton()->isEnabled() && !card.applying() &&
                  card.semanticRenderCount() == renders && compactLines(card) == lines &&
                  card.visibleRecommendationChipsForTesting() == chips,
              QStringLiteral(
                  "abstention, repeated skipped poll and error retain the frozen card without reviving a "
                  "stale Switch"));
    }
    check(
        card.latestAnalysisNoteForTesting().contains(QLatin1String("latest attachment is unreadable")) &&
            card.latestAnalysisNoteForTesting().contains(QLatin1String("last completed recommendation")),
        QStringLiteral("More info explains the retained historical result and latest unsuccessful analysis"));
    capture(QStringLiteral("retained-after-abstention"));
    card.show(sonnet);
    card.setRecommendationStale(true);
    card.showError(QStringLiteral("This conversation is too large to analyze in one request."));
    card.setRecommendationStale(false);
    card.useRecommendation();
    check(card.recommendationStaleForTesting() && !card.applying() && !card.useButton()->isEnabled() &&
              card.recommendation() == sonnet &&
              card.miniSavingsForTesting().contains(QLatin1String("63%")) &&
              card.latestAnalysisNoteForTesting().contains(QLatin1String("too large")),
          QStringLiteral("service error without preceding abstention cannot revive a stale Switch on the "
                         "next skipped poll"));
    {
        const int renders = card.semanticRenderCount();
        card.show(sonnet);
        check(!card.recommendationStaleForTesting() && card.semanticRenderCount() == renders &&
                  card.miniSavingsForTesting().contains(QLatin1String("63%")) &&
                  card.useButton()->isEnabled(),
              QStringLiteral(
                  "same fresh result restores verified facts and action without another semantic render"));
    }
    {
        card.setRecommendationStale(true);
        const int renders = card.semanticRenderCount();
        const Recommendation refreshed = sonnetRefreshed();
        card.show(refreshed);
        check(card.semanticRenderCount() == renders && card.recommendation() == refreshed &&
                  card.messageForTesting().contains(QLatin1String("newer explanation")) &&
                  card.miniSavingsForTesting().contains(QLatin1String("50%")) &&
                  !card.miniSavingsForTesting().contains(QLatin1String("63%")),
              QStringLiteral("same target silently refreshes changed explanation and savings"));
    }
    {
        card.setRecommendationStale(true);
        const int renders = card.semanticRenderCount();
        card.show(opus());
        check(card.semanticRenderCount() == renders + 1 && card.recommendation() == opus() &&
                  card.miniRecommendationForTesting().contains(QLatin1String("Opus 5")),
              QStringLiteral("a changed target replaces the retained recommendation once"));
    }
    card.showNoRecommendation(false, std::nullopt, std::nullopt);
    check(card.recommendation() == opus() && card.recommendationStaleForTesting() &&
              !card.messageForTesting().contains(QLatin1String("Collecting context")) &&
              !card.useButton()->isEnabled(),
          QStringLiteral(
              "fresh abstention retains the previous target without loading or permitting a switch"));
    card.show(keep());
    check(
        card.recommendation() == keep() && !card.recommendationStaleForTesting() &&
            card.hiddenForTesting(card.useButton()) &&
            card.miniRecommendationForTesting().contains(QLatin1String("Model fit")) &&
            card.latestAnalysisNoteForTesting().isEmpty(),
        QStringLiteral(
            "a genuine server keep decision replaces the historical suggestion and clears the pending note"));
    card.show(sonnet);
    card.setConversation(QStringLiteral("different-chat"), QStringLiteral("Another chat"), true);
    check(!card.recommendation() && card.conversationID() == QStringLiteral("different-chat") &&
              !card.useButton()->isEnabled(),
          QStringLiteral("a different verified conversation immediately clears the old card"));
    card.show(sonnet, QStringLiteral("different-chat"));
    card.setConversation(QStringLiteral("different-chat"), QStringLiteral("Unverified"), false);
    check(!card.recommendation() && !card.conversationID() && !card.conversationVerified(),
          QStringLiteral("an unverified identity cannot retain a previous conversation's card"));
}

void CardChecks::zeroMessageScanCheck() {
    RailViewController& card = *card_;
    const Recommendation sonnet = switchToSonnet();
    const QString first = QStringLiteral("chat-1");
    const QString second = QStringLiteral("chat-2");
    card.setConversation(first, QStringLiteral("Weekly planning"), true);
    card.show(sonnet, first);
    // A scan that reads no messages but the same verified conversation keeps its card; another
    // verified conversation does not.
    card.setConversation(first, std::nullopt, true);
    const bool kept = card.recommendation() == sonnet;
    card.setConversation(second, std::nullopt, true);
    check_(first != second && kept && !card.recommendation(),
           QStringLiteral("zero-message scan keeps only the same durably verified conversation"));
}

// ---- the Switch action --------------------------------------------------------------------------

void CardChecks::switchActionChecks() {
    const auto& check = check_;
    RailViewController& card = *card_;
    const Recommendation sonnet = switchToSonnet();
    capture(QStringLiteral("previous-suggestion"));
    card.showLoading();
    card.show(sonnet);
    useCell_ = std::make_shared<qint64>(0);
    card.onUse = [cell = useCell_, check](const Recommendation& recommendation) {
        assertMainThread();
        ++*cell;
        check(recommendation.model == QLatin1String("sonnet") &&
                  recommendation.effort == QLatin1String("low"),
              QStringLiteral("action captures both model and effort"));
    };
    card.useRecommendation();
    card.useRecommendation();
    check(*useCell_ == 1 && card.applying() && !card.useButton()->isEnabled() &&
              card.useButton()->displayedTitle() == QStringLiteral("Switching…") &&
              card.feedback()->text() == QStringLiteral("Applying model and reasoning…"),
          QStringLiteral("repeat clicks blocked during slow operation"));
    capture(QStringLiteral("loading"));
    card.show(changedTask());
    check(card.recommendation() == sonnet,
          QStringLiteral("in-flight setting remains consistent with displayed data"));
    card.showApplyResult(false, sonnet);
    check(!card.applying() && card.useButton()->isEnabled(), QStringLiteral("failed switch permits retry"));
    check(card.useButton()->displayedTitle() == QLatin1String("Retry switch"),
          QStringLiteral("failure offers the same switch operation as a retry"));
    capture(QStringLiteral("error"));
    card.useRecommendation();
    card.showApplyResult(true, sonnet);
    check(card.useButton()->displayedTitle() == QLatin1String("Setting confirmed") &&
              !card.useButton()->isEnabled(),
          QStringLiteral("confirmed result disables further action"));
    card.show(changedTask());
    check(card.useButton()->displayedTitle() == QLatin1String("Switch to Opus 5"),
          QStringLiteral("next recommendation replaces previous target"));
}

// ---- long content and savings copy --------------------------------------------------------------

void CardChecks::longContentChecks() {
    const auto& check = check_;
    RailViewController& card = *card_;
    card.show(longRecommendation());
    // The detail card first ("More info" on a compact card), then its detail disclosure.
    if (card.minimizedForTesting())
        card.expandButton()->click();
    card.detailsButton()->click();
    capture(QStringLiteral("long"));
    check(card.preferredHeight(280) > card.preferredHeight(560),
          QStringLiteral("narrow layout grows with wrapped text"));
    capture(QStringLiteral("narrow"));
    check(card.detailsScrollableForTesting(),
          QStringLiteral("long recommendation detail scrolls inside its disclosure"));
    const auto use = card.frameForTesting(card.useButton());
    check(use.minY() >= 12 && use.h >= 44,
          QStringLiteral("primary switch action remains visible outside the scrolling content"));
    check(card.useButton()->displayedTitle() == QLatin1String("Switch model"),
          QStringLiteral("long model names use the compact CTA"));
}

void CardChecks::savingsCopyChecks() {
    RailViewController& card = *card_;
    const std::optional<double> percents[] = {std::nullopt,
                                              0.0,
                                              -1.0,
                                              std::numeric_limits<double>::quiet_NaN(),
                                              std::numeric_limits<double>::infinity(),
                                              101.0};
    for (const auto& percent : percents) {
        const Recommendation probe = savingsProbe(percent);
        const bool omitted = !probe.savingsLabel();
        card.show(probe);
        check_(omitted, QStringLiteral("missing/invalid savings omitted: ") + optionalDescription(percent));
    }
    check_(!card.useButton()->isEnabled(),
           QStringLiteral("missing reasoning does not use a fabricated default"));

    expandCell_ = std::make_shared<bool>(false);
    card.onExpand = [cell = expandCell_](bool expanded) {
        assertMainThread();
        *cell = expanded;
    };
}

// ---- Ask, request-log rows, closing -------------------------------------------------------------

void CardChecks::askLogsAndClosingChecks(RequestLogStore& firstLog) {
    const auto& check = check_;
    RailViewController& card = *card_;
    const QUrl recommend(QStringLiteral("https://classifier.invalid/recommend"));
    const QUuid earlier = firstLog.begin(
        QStringLiteral("Earlier conversation [conversation-2]"), QStringLiteral("ChatGPT"), recommend,
        QByteArrayLiteral(R"({"messages":[{"role":"user","text":"Earlier request"}]})"));
    firstLog.failed(earlier, TransportError(TransportError::timedOut, QString()));
    const QUuid newest = firstLog.begin(
        QStringLiteral("Newest conversation [conversation-3]"), QStringLiteral("ChatGPT"), recommend,
        QByteArrayLiteral(R"({"messages":[{"role":"user","text":"Newest request"}]})"));
    firstLog.received(
        newest, 200,
        QByteArrayLiteral(R"({"decision":"keep","setting":{"model":"gpt-5.6-sol","effort":"high"},)"
                          R"("reason":"The current setting fits.","requiresVerification":false})"));
    firstLog.completed(newest, QStringLiteral("COMPLETED · RECOMMENDATION"));
    card.setRequestLogs(firstLog.entries());

    card.diagnosticsButton()->click();
    check(*expandCell_ && card.expandedForTesting() && card.requestLogVisibleForTesting(),
          QStringLiteral("View logs opens diagnostics without using the collapse arrow"));
    {
        const auto titles = card.askPresetTitlesForTesting();
        bool all = true;
        for (const QString& title : {QStringLiteral("Writing"), QStringLiteral("Website copywriting"),
                                     QStringLiteral("Build a website"), QStringLiteral("Development")})
            all = all && contains(titles, title);
        check(all, QStringLiteral("expanded widget offers grouped task presets"));
    }
    card.selectAskPresetForTesting(QStringLiteral("Website copywriting"));
    check(card.askQuestionForTesting() ==
              QLatin1String("Write or improve website copy for a product landing page."),
          QStringLiteral("task preset fills an editable model question"));
    askCell_ = std::make_shared<QString>();
    card.onAsk = [cell = askCell_](const QString& text) {
        assertMainThread();
        *cell = text;
    };
    card.submitAskForTesting(card.askQuestionForTesting());
    check(*askCell_ == card.askQuestionForTesting() && !card.askButtonEnabledForTesting() &&
              card.askResultForTesting() == QStringLiteral("Finding the best model…"),
          QStringLiteral("manual task submits independently and shows progress"));
    card.showAskResult(askAnswer());
    check(
        card.askButtonEnabledForTesting() &&
            card.askResultForTesting().contains(QStringLiteral("GPT-5.6 Terra · Medium")) &&
            card.askResultForTesting().contains(QStringLiteral(
                "Standard rate reference: GPT-5.6 Terra (Standard) vs GPT-5.6 Sol (Standard) · ≈45% lower")),
        QStringLiteral("manual answer shows the model, reason and relevant savings"));
    main_->setContentSize(640, card.preferredHeight(640));
    main_->layOut();
    check(card.requestLogVisibleForTesting() &&
              card.requestLogForTesting().contains(QLatin1String("Show this exact request")) &&
              card.requestLogForTesting().contains(QLatin1String("No switch needed")),
          QStringLiteral("expanded widget shows the exact request and server response"));
    check(card.requestLogRowCountForTesting() == 3 && card.expandedRequestLogCountForTesting() == 1,
          QStringLiteral("multiple calls render as separate rows with only the newest open by default"));
    check(card.materializedRequestLogDetailCountForTesting() == 1,
          QStringLiteral("collapsed calls do not materialize large detail text"));
    card.toggleRequestLogForTesting(1);
    check(card.expandedRequestLogCountForTesting() == 2,
          QStringLiteral("opening one call preserves the independently expanded newest call"));
    check(card.materializedRequestLogDetailCountForTesting() == 2,
          QStringLiteral("only independently expanded calls materialize detail text"));
    card.toggleRequestLogForTesting(3);
    check(card.expandedRequestLogCountForTesting() == 1,
          QStringLiteral("closing one call does not change another call"));
    check(card.materializedRequestLogDetailCountForTesting() == 1,
          QStringLiteral("closing a call releases its large detail text"));
    capture(QStringLiteral("request-logs-expanded"));
    card.expandButton()->click();
    main_->layOut();
    check(card.minimizedForTesting() && !card.expandedForTesting() && !*expandCell_ &&
              !card.requestLogVisibleForTesting(),
          QStringLiteral("expanded logs return directly to the compact card"));
    closeCell_ = std::make_shared<bool>(false);
    card.onClose = [cell = closeCell_] {
        assertMainThread();
        *cell = true;
    };
    card.closeButton()->click();
    check(*closeCell_, QStringLiteral("close action works"));
    card.show(switchToSonnet());
    capture(QStringLiteral("normal"));
    check(card.keyboardOrderForTesting(),
          QStringLiteral("keyboard order includes task picker, question and recommendation controls"));

    const std::pair<QColor, QColor> pairs[] = {{CardPalette::primary, CardPalette::background},
                                               {CardPalette::secondary, CardPalette::background},
                                               {CardPalette::accent, CardPalette::background},
                                               {QColor(Qt::white), CardPalette::button}};
    for (const auto& [foreground, background] : pairs) {
        const double ratio = contrastRatio(foreground, background);
        check(ratio >= 4.5, contrastSentence(ratio));
    }
    main_->orderOut();
}

} // namespace quillmere::NativeCardChecks
