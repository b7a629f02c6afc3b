// The card as its callers see it: presenters, actions and the inspection hooks.

#include "desktop/card/RailViewController.h"

#include "core/Text.h"
#include "desktop/card/CardTestSupport.h"
#include "platform/accessibility/Announcer.h"

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <functional>
#include <gtest/gtest.h>

namespace quillmere {
namespace {

using namespace cardtest;

QString useTitle(RailViewController& card) {
    return card.useButton()->displayedTitle();
}

TEST(RailViewController, NewCardIsCompactCollectingAnd124HighAt310) {
    RailViewController card;
    sizeCard(card, 310, 124);
    EXPECT_TRUE(card.minimizedForTesting());
    EXPECT_FALSE(card.expandedForTesting());
    EXPECT_EQ(card.miniRecommendationForTesting(), QStringLiteral("Quillmere · Claude"));
    EXPECT_EQ(card.miniReasonForTesting(), QStringLiteral("Collecting context"));
    EXPECT_EQ(card.miniSavingsForTesting(), QString());
    EXPECT_EQ(card.miniLineCountForTesting(), 2);
    EXPECT_EQ(card.preferredHeight(310), 124);
    EXPECT_TRUE(card.miniLinesFitForTesting());
    EXPECT_TRUE(card.hiddenForTesting(card.useButton()));
    EXPECT_EQ(card.providerAccessibilityForTesting(), QStringLiteral("Application: Claude"));
}

TEST(RailViewController, ShowPresentsTheRecommendation) {
    RailViewController card;
    card.show(sonnet());
    EXPECT_EQ(card.semanticRenderCount(), 1);
    EXPECT_EQ(card.messageForTesting(),
              QStringLiteral("|Sonnet 5 · Medium||||||Routine drafting with a clear brief."));
    EXPECT_EQ(card.detailText(),
              QStringLiteral("The conversation asks for edits to an existing text, which a "
                             "mid-size model handles well."));
    EXPECT_EQ(card.visibleRecommendationChipsForTesting(),
              (std::vector<QString>{QStringLiteral("↗  Switch recommended"),
                                    QStringLiteral("↓ 63% vs Opus 5 · High")}));
    EXPECT_EQ(card.miniRecommendationForTesting(), QStringLiteral("↗ Switch · Sonnet 5 · Medium"));
    EXPECT_EQ(card.miniSavingsForTesting(), QStringLiteral("↓ ≈63% estimated savings vs Opus 5 · High"));
    EXPECT_EQ(
        card.costReferenceAccessibilityForTesting(),
        (std::vector<QString>{QStringLiteral("63% estimated credit savings compared with Opus 5 · High"),
                              QStringLiteral("Estimated savings: ≈63% compared with Opus 5 · High")}));
    EXPECT_EQ(useTitle(card), QStringLiteral("Switch to Sonnet 5"));
    EXPECT_TRUE(card.useButton()->isEnabled());
    // Compact mode never shows the switch button; normal mode does.
    EXPECT_TRUE(card.hiddenForTesting(card.useButton()));
    card.toggleExpanded();
    sizeCard(card, 310, int(card.preferredHeight(310)));
    EXPECT_FALSE(card.hiddenForTesting(card.useButton()));
    EXPECT_TRUE(card.recommendationChipsFitForTesting());
    EXPECT_TRUE(card.headerFitsForTesting());
    EXPECT_EQ(card.frameForTesting(card.useButton()).minY(), 12);
    EXPECT_EQ(card.frameForTesting(card.useButton()).h, 44);
}

TEST(RailViewController, FitReasonFillsTheConversationUseBlock) {
    RailViewController card;
    card.show(sonnetWithFit());
    EXPECT_EQ(
        card.messageForTesting(),
        QStringLiteral("|Sonnet 5 · Medium|CONVERSATION USE|Writing · Editing|Routine drafting with a clear "
                       "brief.|Based on the 40 most recent of 120 available messages · 20 yours + 20 AI|WHY "
                       "SONNET|Clear instructions and a short context suit Sonnet."));
    EXPECT_EQ(card.detailText(), QString());
    EXPECT_EQ(cardview::accessibilityLabel(card.reasonField()),
              QStringLiteral("Why Sonnet: Clear instructions and a short context suit Sonnet."));
    EXPECT_EQ(card.miniReasonForTesting(),
              QStringLiteral("Why: Clear instructions and a short context suit Sonnet."));
}

TEST(RailViewController, SameRecommendationOnlyClearsStalenessAnotherEffortCountsAsNew) {
    RailViewController card;
    card.show(sonnet());
    card.setRecommendationStale(true);
    card.show(sonnet());
    EXPECT_EQ(card.semanticRenderCount(), 1);
    EXPECT_FALSE(card.recommendationStaleForTesting());
    Recommendation high = sonnet();
    high.effort = QStringLiteral("high");
    card.show(high);
    EXPECT_EQ(card.semanticRenderCount(), 2);
}

TEST(RailViewController, ConversationBindingAndRevision) {
    RailViewController card;
    card.setConversation(QStringLiteral("a"), QStringLiteral("  Trip plan \n"), true);
    EXPECT_EQ(card.conversationRevision(), 1);
    EXPECT_EQ(card.conversationLabelForTesting(), QStringLiteral("Trip plan"));
    EXPECT_EQ(card.conversationTooltipForTesting(), QStringLiteral("Trip plan"));
    EXPECT_EQ(card.miniRecommendationForTesting(), QStringLiteral("Quillmere · Trip plan"));
    card.setConversation(QStringLiteral("a"), QStringLiteral("Trip plan"), true);
    EXPECT_EQ(card.conversationRevision(), 1);
    // Unverified counts as no conversation: a rebind.
    card.setConversation(QStringLiteral("a"), QStringLiteral("Trip plan"), false);
    EXPECT_EQ(card.conversationRevision(), 2);
    EXPECT_FALSE(card.conversationVerified());
    EXPECT_EQ(card.conversationLabelForTesting(), QString());
    EXPECT_EQ(card.conversationTooltipForTesting(), std::nullopt);
    card.setConversation(QStringLiteral("b"), QStringLiteral("   "), true);
    EXPECT_EQ(card.conversationLabelForTesting(), QString());
    EXPECT_EQ(card.conversationTooltipForTesting(), std::nullopt);
    // Results for another conversation are not shown.
    card.show(sonnet(), QStringLiteral("a"));
    EXPECT_FALSE(card.recommendation().has_value());
    card.show(sonnet(), QStringLiteral("b"));
    EXPECT_TRUE(card.recommendation().has_value());
}

// A title the label shows otherwise than given (a direction isolate dropped, a long one cut) is
// still the same title on the next scan: the card refreshes only when the title changes.
TEST(RailViewController, AnUnchangedTitleRefreshesNothingHoweverItIsShown) {
    const QString titles[] = {
        QStringLiteral("Notes \u2067\u05EA\u05DB\u05E0\u05D5\u05DF\u2069 for the week"),
        QStringLiteral("Escape\u001B[2J and\u202E override"),
        QString(3 * cardTextLineBudget, QLatin1Char('t')),
    };
    for (const QString& title : titles) {
        RailViewController card;
        int refreshes = 0;
        card.onContentChanged = [&refreshes] { ++refreshes; };
        card.setConversation(QStringLiteral("a"), title, true);
        const QString shown = card.conversationLabelForTesting();
        ASSERT_FALSE(shown.isEmpty());
        ASSERT_NE(shown, title); // the label shows it otherwise
        const int afterFirst = refreshes;
        EXPECT_GT(afterFirst, 0);
        for (int scan = 0; scan < 3; ++scan)
            card.setConversation(QStringLiteral("a"), title, true);
        EXPECT_EQ(refreshes, afterFirst) << title.left(40).toStdString();
        EXPECT_EQ(card.conversationLabelForTesting(), shown);
        // A changed title still refreshes.
        card.setConversation(QStringLiteral("a"), title + QStringLiteral(" (2)"), true);
        EXPECT_GT(refreshes, afterFirst);
    }
}

TEST(RailViewController, StaleCardWaitsAndAFreshOneForgetsTheWait) {
    RailViewController card;
    card.show(sonnet());
    card.setRecommendationStale(true);
    EXPECT_FALSE(card.useButton()->isEnabled());
    EXPECT_EQ(cardview::toolTip(card.useButton()), QStringLiteral("Waiting for a fresh recommendation"));
    EXPECT_EQ(cardview::accessibilityLabel(card.savingsChip()),
              QStringLiteral("Last completed analysis: ≈63% compared with Opus 5 · High"));
    EXPECT_EQ(card.costReferenceAccessibilityForTesting()[1],
              QStringLiteral("Last completed analysis, estimated savings: ≈63% compared with Opus 5 · High"));
    // A new presentation that enables the button no longer shows the waiting tool tip.
    Recommendation other = sonnet();
    other.effort = QStringLiteral("high");
    card.show(other);
    EXPECT_TRUE(card.useButton()->isEnabled());
    EXPECT_EQ(cardview::toolTip(card.useButton()), std::nullopt);
}

TEST(RailViewController, UnconfirmedRecommendationStaysStaleUntilANewOne) {
    RailViewController card;
    card.show(sonnet());
    card.showNoRecommendation(false, QStringLiteral("  Too short.  "), QStringLiteral("ignored"));
    EXPECT_EQ(
        card.latestAnalysisNoteForTesting(),
        QStringLiteral("Showing the last completed recommendation and savings estimate. Latest analysis: Too "
                       "short. Switching is paused until a new recommendation is confirmed."));
    card.setRecommendationStale(false);
    EXPECT_TRUE(card.recommendationStaleForTesting());
    card.show(sonnet());
    EXPECT_FALSE(card.recommendationStaleForTesting());
    EXPECT_EQ(card.latestAnalysisNoteForTesting(), QString());
}

TEST(RailViewController, NoRecommendationWithNothingShown) {
    RailViewController card;
    card.showNoRecommendation(true, QStringLiteral(" \n "), std::nullopt);
    EXPECT_EQ(
        card.messageForTesting(),
        QStringLiteral("COLLECTING|Collecting context||||||Quillmere is gathering information to make a "
                       "recommendation."));
    EXPECT_EQ(card.latestAnalysisNoteForTesting(),
              QStringLiteral(
                  "Latest analysis: Available model options have not been verified. Quillmere needs more "
                  "information before recommending a model."));
    card.showError(QString());
    EXPECT_EQ(card.latestAnalysisNoteForTesting(),
              QStringLiteral("Latest analysis: The latest analysis did not establish a model recommendation. "
                             "Quillmere needs more information before recommending a model."));
}

TEST(RailViewController, WithheldClaudeRecommendation) {
    RailViewController card;
    card.show(sonnet());
    card.withholdUnverifiedClaudeRecommendation();
    EXPECT_TRUE(card.visibleRecommendationChipsForTesting().empty());
    EXPECT_TRUE(card.recommendationChipsFitForTesting());
    EXPECT_TRUE(card.messageForTesting().startsWith(QStringLiteral("PREVIOUS ANALYSIS|")));
    EXPECT_EQ(
        card.latestAnalysisNoteForTesting(),
        QStringLiteral("Model availability is being verified. Previous analysis is shown; switching and "
                       "savings are paused."));
    EXPECT_EQ(card.miniRecommendationForTesting(), QStringLiteral("Previous analysis · Sonnet 5 · Medium"));
    EXPECT_EQ(card.miniSavingsForTesting(), QStringLiteral("Availability and savings unverified"));
    card.showNoRecommendation(false, QStringLiteral("Timed out."), std::nullopt);
    EXPECT_TRUE(card.latestAnalysisNoteForTesting().startsWith(
        QStringLiteral("Showing previous analysis. Model availability and savings are not verified. ")));
}

TEST(RailViewController, OpenAIRecommendationNeverOffersTheSwitch) {
    RailViewController card;
    card.setPlatform(AIProvider::openAI);
    EXPECT_EQ(card.providerAccessibilityForTesting(), QStringLiteral("Application: ChatGPT"));
    card.show(openAI());
    card.toggleExpanded();
    EXPECT_TRUE(card.hiddenForTesting(card.useButton()));
    EXPECT_FALSE(card.useButton()->isEnabled());
    card.setRecommendationStale(true);
    card.setRecommendationStale(false);
    EXPECT_FALSE(card.useButton()->isEnabled());
    card.withholdUnverifiedClaudeRecommendation();
    EXPECT_FALSE(card.recommendationAvailabilityUnverified());
    EXPECT_EQ(card.visibleRecommendationChipsForTesting().size(), 2u);
}

TEST(RailViewController, SwitchingOnceThenConfirmed) {
    ax::RecordingAnnouncer announcements;
    RailViewController card;
    int uses = 0;
    card.onUse = [&](const Recommendation&) { ++uses; };
    card.show(sonnet());
    card.toggleExpanded();
    card.useButton()->click();
    card.useButton()->click(); // disabled while applying: ignored
    card.useRecommendation();  // and so is a direct call
    EXPECT_EQ(uses, 1);
    EXPECT_EQ(useTitle(card), QStringLiteral("Switching…"));
    EXPECT_EQ(card.latestAnalysisNoteForTesting(), QStringLiteral("Applying model and reasoning…"));
    ASSERT_EQ(announcements.texts(), std::vector<QString>{QStringLiteral("Applying model and reasoning…")});
    EXPECT_EQ(announcements.posted.back().priority, ax::AnnouncementPriority::medium);
    // Presenters that would replace the recommendation wait for the result.
    card.showLoading();
    card.show(openAI());
    EXPECT_EQ(card.recommendation(), sonnet());
    card.showApplyResult(true, sonnet());
    EXPECT_EQ(useTitle(card), QStringLiteral("Setting confirmed"));
    EXPECT_FALSE(card.useButton()->isEnabled());
    EXPECT_EQ(card.latestAnalysisNoteForTesting(),
              QStringLiteral("Model and reasoning confirmed for the next send."));
    // A stale-to-fresh toggle re-enables the button with its switch title again.
    card.setRecommendationStale(true);
    card.setRecommendationStale(false);
    EXPECT_TRUE(card.useButton()->isEnabled());
    EXPECT_EQ(useTitle(card), QStringLiteral("Switch to Sonnet 5"));
}

TEST(RailViewController, FailedSwitchWhileStaleKeepsRetryDisabled) {
    RailViewController card;
    card.show(sonnet());
    card.useRecommendation();
    card.setRecommendationStale(true);
    card.showApplyResult(false, sonnet());
    EXPECT_EQ(useTitle(card), QStringLiteral("Retry switch"));
    EXPECT_FALSE(card.useButton()->isEnabled());
    EXPECT_EQ(
        card.latestAnalysisNoteForTesting(),
        QStringLiteral(
            "Couldn’t confirm the model and reasoning setting. Try again, or use Claude’s model picker."));
}

TEST(RailViewController, RefusedValidationMakesTheCardStale) {
    RailViewController card;
    int uses = 0;
    card.onUse = [&](const Recommendation&) { ++uses; };
    card.validateUse = [] { return false; };
    card.show(sonnet());
    card.useRecommendation();
    EXPECT_EQ(uses, 0);
    EXPECT_TRUE(card.recommendationStaleForTesting());
    EXPECT_FALSE(card.applying());
}

TEST(RailViewController, LongModelLabelShortensTheShownTitleOnly) {
    RailViewController card;
    Recommendation r = sonnet();
    // Narrow letters keep the title well under 245 points: only the count decides.
    r.model = QString(25, QLatin1Char('i'));
    r.modelID.reset();
    card.show(r);
    EXPECT_EQ(useTitle(card), QStringLiteral("Switch model"));
    EXPECT_EQ(cardview::accessibilityLabel(card.useButton()),
              QStringLiteral("Switch to I") + QString(24, QLatin1Char('i')));
    r.model = QString(24, QLatin1Char('i'));
    card.show(r);
    EXPECT_EQ(useTitle(card), QStringLiteral("Switch to I") + QString(23, QLatin1Char('i')));
    // A wide title is shortened too.
    r.model = QStringLiteral("wwwwwwwwwwwwwwwwwwwwwww");
    card.show(r);
    EXPECT_EQ(useTitle(card), QStringLiteral("Switch model"));
}

TEST(RailViewController, DetailsToggleAndAnnouncements) {
    ax::RecordingAnnouncer announcements;
    RailViewController card;
    card.show(sonnetWithFit()); // no detail text
    card.toggleDetails();
    EXPECT_FALSE(card.detailsExpanded());
    EXPECT_TRUE(announcements.posted.empty());
    card.show(sonnet());
    card.toggleExpanded();
    EXPECT_EQ(card.detailsButton()->displayedTitle(), QStringLiteral("Why this switch? ⌄"));
    card.detailsButton()->click();
    EXPECT_TRUE(card.detailsExpanded());
    EXPECT_EQ(card.detailsButton()->displayedTitle(), QStringLiteral("Why this switch? ⌃"));
    EXPECT_EQ(cardview::accessibilityValue(card.detailsButton()), QStringLiteral("Expanded"));
    EXPECT_EQ(announcements.texts(), std::vector<QString>{QStringLiteral("Recommendation details expanded")});
    sizeCard(card, 280, 400);
    EXPECT_FALSE(card.hiddenForTesting(card.detailScroll()));
}

TEST(RailViewController, ModesAndExpandCallbacks) {
    RailViewController card;
    std::vector<bool> reported;
    card.onExpand = [&](bool expanded) { reported.push_back(expanded); };
    card.showDiagnostics(); // nothing from compact
    EXPECT_TRUE(card.minimizedForTesting());
    EXPECT_EQ(card.expandButton()->displayedTitle(), QStringLiteral("More info"));
    card.toggleExpanded();
    EXPECT_FALSE(card.minimizedForTesting());
    EXPECT_EQ(card.expandButton()->displayedTitle(), QStringLiteral("Close info"));
    EXPECT_EQ(cardview::toolTip(card.expandButton()),
              QStringLiteral("Close info and return to compact recommendation"));
    card.diagnosticsButton()->click();
    EXPECT_TRUE(card.expandedForTesting());
    card.toggleExpanded(); // expanded goes to compact, not normal
    EXPECT_TRUE(card.minimizedForTesting());
    EXPECT_FALSE(card.expandedForTesting());
    card.collapse(); // already compact: nothing
    EXPECT_EQ(reported, (std::vector<bool>{false, true, false}));
    int closes = 0;
    card.onClose = [&] { ++closes; };
    card.closeButton()->click();
    EXPECT_EQ(closes, 1);
}

TEST(RailViewController, KeyboardLoopsPerMode) {
    RailViewController card;
    sizeCard(card, 310, 124);
    EXPECT_TRUE(card.keyboardOrderForTesting());
    EXPECT_EQ(card.nextKeyView(card.askEntryButton()), card.expandButton());

    card.show(sonnet());
    card.toggleExpanded();
    sizeCard(card, 310, 420);
    EXPECT_TRUE(card.keyboardOrderForTesting());
    EXPECT_EQ(card.nextKeyView(card.askEntryButton()), card.detailsButton());
    EXPECT_EQ(card.nextKeyView(card.detailsButton()), card.diagnosticsButton());
    EXPECT_EQ(card.nextKeyView(card.diagnosticsButton()), card.useButton());
    EXPECT_EQ(card.nextKeyView(card.useButton()), card.expandButton());

    card.diagnosticsButton()->click();
    sizeCard(card, 640, 720);
    EXPECT_TRUE(card.keyboardOrderForTesting());
    EXPECT_EQ(card.nextKeyView(card.askButton()), card.detailsButton());

    RailViewController empty; // nothing to switch: no details button, no switch button
    empty.toggleExpanded();
    sizeCard(empty, 310, 300);
    EXPECT_TRUE(empty.keyboardOrderForTesting());
    EXPECT_EQ(empty.nextKeyView(empty.askEntryButton()), empty.diagnosticsButton());
    EXPECT_EQ(empty.nextKeyView(empty.diagnosticsButton()), empty.expandButton());
}

// Tab and Shift+Tab move the real focus along exactly the mode's loop, from the expand button
// round to it again; no other view of the card takes the focus from the keyboard.
TEST(RailViewController, TabAndShiftTabWalkExactlyTheLoopOfEveryMode) {
    using Stops = std::function<std::vector<QWidget*>(RailViewController&)>;
    struct Row {
        const char* mode;
        std::function<void(RailViewController&)> enter;
        QSize size;
        Stops stops;
    };
    const Row rows[] = {
        {"compact, collecting", [](RailViewController&) {}, QSize(310, 124),
         [](RailViewController& c) -> std::vector<QWidget*> {
             return {c.expandButton(), c.closeButton(), c.askEntryButton()};
         }},
        {"compact, a switch", [](RailViewController& c) { c.show(sonnet()); }, QSize(310, 160),
         [](RailViewController& c) -> std::vector<QWidget*> {
             return {c.expandButton(), c.closeButton(), c.askEntryButton()};
         }},
        {"normal, collecting", [](RailViewController& c) { c.toggleExpanded(); }, QSize(310, 300),
         [](RailViewController& c) -> std::vector<QWidget*> {
             return {c.expandButton(), c.closeButton(), c.askEntryButton(), c.diagnosticsButton()};
         }},
        {"normal, a switch",
         [](RailViewController& c) {
             c.show(sonnet());
             c.toggleExpanded();
         },
         QSize(310, 420),
         [](RailViewController& c) -> std::vector<QWidget*> {
             return {c.expandButton(),  c.closeButton(),       c.askEntryButton(),
                     c.detailsButton(), c.diagnosticsButton(), c.useButton()};
         }},
        {"normal, already efficient",
         [](RailViewController& c) {
             c.show(alreadyEfficient());
             c.toggleExpanded();
         },
         QSize(310, 420),
         [](RailViewController& c) -> std::vector<QWidget*> {
             return {c.expandButton(), c.closeButton(), c.askEntryButton(), c.detailsButton(),
                     c.diagnosticsButton()};
         }},
        {"expanded, collecting", [](RailViewController& c) { c.openAskQuillmere(); }, QSize(640, 720),
         [](RailViewController& c) -> std::vector<QWidget*> {
             return {c.expandButton(), c.closeButton(), c.askPreset(), c.askField(), c.askButton()};
         }},
        {"expanded, a switch with logged requests",
         [](RailViewController& c) {
             c.show(sonnet());
             c.setRequestLogs(
                 {logEntry(1, QStringLiteral("COMPLETED")), logEntry(2, QStringLiteral("FAILED"))});
             c.openAskQuillmere();
         },
         QSize(640, 720),
         [](RailViewController& c) -> std::vector<QWidget*> {
             return {c.expandButton(), c.closeButton(),   c.askPreset(), c.askField(),
                     c.askButton(),    c.detailsButton(), c.useButton()};
         }},
        {"expanded, waiting for an answer",
         [](RailViewController& c) {
             c.openAskQuillmere();
             c.submitAskForTesting(QStringLiteral("Draft a reply"));
         },
         QSize(640, 720),
         [](RailViewController& c) -> std::vector<QWidget*> {
             return {c.expandButton(), c.closeButton(), c.askPreset()}; // field and button disabled
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mode);
        QWidget window;
        RailViewController card;
        card.view()->setParent(&window);
        row.enter(card);
        window.resize(row.size);
        sizeCard(card, row.size.width(), row.size.height());
        const std::vector<QWidget*> stops = row.stops(card);
        EXPECT_EQ(namesOf(card.keyStops()), namesOf(stops));
        for (const bool forward : {true, false})
            EXPECT_EQ(namesOf(walkFocus(card.expandButton(), forward, stops.size())),
                      namesOf(aroundTheLoop(stops, forward)))
                << (forward ? "Tab" : "Shift+Tab");
        EXPECT_EQ(namesOf(focusableOutside(&window, stops)), std::vector<QString>());
        // From the card's background or the window around it, Tab enters the loop at its first stop
        // and Shift+Tab at its last.
        EXPECT_EQ(walkFocus(card.view(), true, 1).back(), stops.front());
        EXPECT_EQ(walkFocus(card.view(), false, 1).back(), stops.back());
        EXPECT_EQ(walkFocus(&window, true, 1).back(), stops.front());
    }
}

// A card in the active window, at a size, whose switch or question is started from the keyboard.
struct CardInAWindow {
    explicit CardInAWindow(QSize size) {
        card.view()->setParent(&window);
        window.resize(size);
        card.view()->resize(size);
        window.show();
        QApplication::setActiveWindow(&window);
    }
    void switchFromTheKeyboard() {
        card.layoutIfNeeded();
        card.useButton()->setFocus(Qt::OtherFocusReason);
        card.useButton()->click();
    }
    // Opens the ask panel, whose preset pop-up takes the keyboard on the next turn.
    void openAsk() {
        card.openAskQuillmere();
        QCoreApplication::processEvents();
    }
    void askFrom(QWidget* control) {
        card.layoutIfNeeded();
        card.askField()->setText(QStringLiteral("Plan a database migration"));
        control->setFocus(Qt::OtherFocusReason);
        card.submitAsk();
    }
    QWidget window;
    RailViewController card;
};

// However the work of a greyed button ends, the keyboard stays in the card's part it was in, or
// rests on the card itself when nothing there is offered: never on "Close info", where Qt would
// hand it on and the next Space would collapse the card.
TEST(RailViewController, TheKeyboardHeldForAWorkStaysInItsPartHoweverTheWorkEnds) {
    struct Row {
        const char* name;
        QSize size;
        std::function<void(CardInAWindow&)> start; // ends with the progress line holding the keyboard
        std::function<void(RailViewController&)> end;
        std::function<QWidget*(RailViewController&)> focused;
    };
    const auto normalSwitch = [](CardInAWindow& shown) {
        shown.card.setConversation(QStringLiteral("first"), QStringLiteral("First chat"), true);
        shown.card.show(sonnet());
        shown.card.toggleExpanded();
        shown.switchFromTheKeyboard();
    };
    const auto expandedSwitch = [](CardInAWindow& shown) {
        shown.card.show(sonnetWithFit());
        shown.openAsk();
        shown.switchFromTheKeyboard();
    };
    const auto asking = [](CardInAWindow& shown) {
        shown.card.show(sonnet());
        shown.openAsk();
        shown.askFrom(shown.card.askField());
    };
    const auto another = [](RailViewController& card) {
        card.setConversation(QStringLiteral("another"), QStringLiteral("Another chat"), true);
    };
    const Row rows[] = {
        {"a new conversation while switching, normal mode: the nearest control before the switch",
         QSize(310, 420), normalSwitch, another,
         [](RailViewController& c) -> QWidget* { return c.diagnosticsButton(); }},
        {"a new conversation while switching, expanded mode: nothing of the part is offered", QSize(640, 720),
         expandedSwitch, another, [](RailViewController& c) -> QWidget* { return c.view(); }},
        {"the conversation closed while switching", QSize(310, 420), normalSwitch,
         [](RailViewController& c) { c.setConversation(std::nullopt, std::nullopt, false); },
         [](RailViewController& c) -> QWidget* { return c.diagnosticsButton(); }},
        {"the card collapsed while switching", QSize(310, 420), normalSwitch,
         [](RailViewController& c) { c.collapse(); },
         [](RailViewController& c) -> QWidget* { return c.view(); }},
        {"a switch confirmed where the line kept the keyboard, then a new recommendation", QSize(640, 720),
         expandedSwitch,
         [](RailViewController& c) {
             c.showApplyResult(true, sonnetWithFit());
             c.layoutIfNeeded();
             ASSERT_EQ(QApplication::focusWidget(), c.feedback());
             c.show(sonnet());
         },
         [](RailViewController& c) -> QWidget* { return c.useButton(); }},
        {"the ask panel closed while asking", QSize(640, 720), asking,
         [](RailViewController& c) { c.toggleExpanded(); },
         [](RailViewController& c) -> QWidget* { return c.view(); }},
        {"the card hidden and shown again while asking", QSize(640, 720), asking,
         [](RailViewController& c) {
             QWidget* window = c.view()->window();
             window->hide();
             window->show();
             QApplication::setActiveWindow(window);
         },
         [](RailViewController& c) -> QWidget* { return c.askPreset(); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CardInAWindow shown(row.size);
        row.start(shown);
        ASSERT_TRUE(QApplication::focusWidget() == shown.card.feedback() ||
                    QApplication::focusWidget() == shown.card.askResult())
            << "no progress line holds the keyboard";
        row.end(shown.card);
        shown.card.layoutIfNeeded();
        QCoreApplication::processEvents();
        EXPECT_EQ(namesOf({QApplication::focusWidget()}), namesOf({row.focused(shown.card)}));
    }
}

// While a progress line holds the keyboard, Tab and Shift+Tab go on from the place of the control
// it stands for: from the ask panel's answer line as from the Ask button (the field before it is
// grey too), from the switch's feedback line as from the switch button.
TEST(RailViewController, TabFromAProgressLineGoesOnFromTheControlItStandsFor) {
    CardInAWindow shown(QSize(640, 720));
    RailViewController& card = shown.card;
    card.show(sonnet());
    shown.openAsk();
    for (QWidget* from : {static_cast<QWidget*>(card.askField()), static_cast<QWidget*>(card.askButton())}) {
        SCOPED_TRACE(from == card.askField() ? "asked from the field" : "asked from the button");
        shown.askFrom(from);
        ASSERT_EQ(QApplication::focusWidget(), card.askResult());
        EXPECT_EQ(walkFocus(card.askResult(), false, 1).back(), card.askPreset());
        EXPECT_EQ(walkFocus(card.askResult(), true, 1).back(), card.detailsButton());
        card.showAskFailure(QStringLiteral("Quillmere couldn’t get a recommendation. Try again."));
    }
    shown.switchFromTheKeyboard();
    ASSERT_EQ(QApplication::focusWidget(), card.feedback());
    EXPECT_EQ(walkFocus(card.feedback(), false, 1).back(), card.detailsButton());
    EXPECT_EQ(walkFocus(card.feedback(), true, 1).back(), card.expandButton());
    // Once the work has ended the line stands for nothing: from it, as from any view outside the
    // loop, Shift+Tab enters the loop at its last stop.
    card.feedback()->setFocus(Qt::OtherFocusReason);
    card.showApplyResult(false, sonnet());
    EXPECT_EQ(QApplication::focusWidget(), card.useButton());
    EXPECT_EQ(walkFocus(card.feedback(), false, 1).back(), card.useButton());
}

} // namespace
} // namespace quillmere

namespace quillmere {
namespace {

void sendMouse(QWidget* target, QEvent::Type type, QPoint at) {
    QMouseEvent event(type, QPointF(at), target->mapToGlobal(QPointF(at)), Qt::LeftButton,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &event);
}

TEST(RailViewController, DraggingTheBackgroundFinishesOncePerPress) {
    RailViewController card;
    cardtest::sizeCard(card, 310, 124);
    int finished = 0;
    card.onDragFinished = [&] { ++finished; };
    sendMouse(card.view(), QEvent::MouseButtonPress, QPoint(4, 60));
    sendMouse(card.view(), QEvent::MouseMove, QPoint(20, 70));
    sendMouse(card.view(), QEvent::MouseButtonRelease, QPoint(20, 70));
    EXPECT_EQ(finished, 1);
    // A press that lands on one of the card's controls is the control's, not a drag.
    const QPoint onClose = card.closeButton()->geometry().center();
    sendMouse(card.view(), QEvent::MouseButtonPress, onClose);
    sendMouse(card.view(), QEvent::MouseButtonRelease, onClose);
    EXPECT_EQ(finished, 1);
}

// Sends a key press and its release to the widget that has the keyboard focus, as typing would.
void typeKey(Qt::Key key, const QString& text = QString()) {
    QWidget* focused = QApplication::focusWidget();
    ASSERT_NE(focused, nullptr);
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(focused, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(focused, &release);
}

TEST(RailViewController, EscapeClosesTheCardWhereverTheFocusIs) {
    RailViewController card;
    card.show(cardtest::sonnet());
    cardtest::sizeCard(card, 310, 124);
    int closes = 0;
    card.onClose = [&] { ++closes; };
    card.view()->show();
    QApplication::setActiveWindow(card.view());
    card.expandButton()->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), card.expandButton());

    typeKey(Qt::Key_A, QStringLiteral("a"));
    EXPECT_EQ(closes, 0);
    typeKey(Qt::Key_Escape);
    EXPECT_EQ(closes, 1);

    // Typing a question in the ask field: Escape still closes the card, and the field keeps its text.
    card.openAskQuillmere();
    cardtest::sizeCard(card, 640, 720);
    card.askField()->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), card.askField());
    typeKey(Qt::Key_Q, QStringLiteral("q"));
    EXPECT_EQ(card.askField()->text(), QStringLiteral("q"));
    EXPECT_EQ(closes, 1);
    typeKey(Qt::Key_Escape);
    EXPECT_EQ(closes, 2);
    EXPECT_EQ(card.askField()->text(), QStringLiteral("q"));
}

} // namespace
} // namespace quillmere

namespace quillmere {
namespace {

using namespace cardtest;

// The texts the open rows of the request log show.
QStringList openRowDetails(RailViewController& card) {
    QStringList shown;
    for (QWidget* view : card.requestLogDocument()->findChildren<QWidget*>()) {
        auto* label = dynamic_cast<CardText*>(view);
        if (label && label != card.requestLogEmpty() && !label->text().isEmpty())
            shown << label->text();
    }
    return shown;
}

RequestLogStore::Entry answered(const QString& request, const QString& answer) {
    RequestLogStore::Entry entry = logEntry(1, QStringLiteral("COMPLETED · RECOMMENDATION"));
    entry.requestBody = request;
    entry.httpStatus = 200;
    entry.responseBody = answer;
    return entry;
}

QString readableRequestOf(qsizetype length) {
    const QString message = QStringLiteral("MESSAGE 1 · YOU\n") +
                            QStringLiteral("A sentence of the conversation. ").repeated(length / 32 + 1);
    return QStringLiteral("MESSAGES USED FOR ANALYSIS: 1\n\n") + message.left(length - 31);
}

// A readable request of any valid length leaves the server's answer in the report, and each part
// of it is cut on its own only beyond what a valid request holds.
TEST(RailViewControllerRequestLog, EachPartOfTheReportIsBoundedOnItsOwn) {
    RailViewController card;
    card.toggleExpanded();
    card.showDiagnostics();
    const QString answer = QStringLiteral("DECISION\nKeep the current setting");
    for (const qsizetype length : {qsizetype(300'443), requestLogSectionLimit}) {
        const QString request = readableRequestOf(length);
        ASSERT_EQ(request.size(), length);
        card.setRequestLogs({answered(request, answer)});
        sizeCard(card, 640, 720);
        const QStringList shown = openRowDetails(card);
        ASSERT_EQ(shown.size(), 1);
        EXPECT_TRUE(shown[0].contains(QStringLiteral("WHAT QUILLMERE SENT\n") + request +
                                      QStringLiteral("\n\nWHAT THE SERVER ANSWERED\n") + answer))
            << length;
    }
    // One unit more: the request is cut with "…", the answer is still there whole.
    const QString over = readableRequestOf(requestLogSectionLimit + 1);
    card.setRequestLogs({answered(over, answer)});
    sizeCard(card, 640, 720);
    QStringList shown = openRowDetails(card);
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].contains(over.left(requestLogSectionLimit) +
                                  QStringLiteral("…\n\nWHAT THE SERVER ANSWERED\n") + answer));
    // A hostile answer is cut at its own limit; the error after it is still shown.
    RequestLogStore::Entry hostile =
        answered(QStringLiteral("MESSAGES USED FOR ANALYSIS: 1"), QString(2'000'000, QLatin1Char('x')));
    hostile.error = QStringLiteral("Network error 4: timed out");
    card.setRequestLogs({hostile});
    sizeCard(card, 640, 720);
    shown = openRowDetails(card);
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].contains(QStringLiteral("WHAT THE SERVER ANSWERED\n") +
                                  QString(requestLogSectionLimit, QLatin1Char('x')) +
                                  QStringLiteral("…\n\nERROR\nNetwork error 4: timed out")));
}

// The compact summary holds a whole valid rationale, however many code units its characters take.
TEST(RailViewControllerCompact, TheSummaryHoldsAWholeRationale) {
    const QString family = QStringLiteral("👨‍👩‍👧‍👦");
    RailViewController card;
    QWidget setup;
    card.configureConnector(&setup);
    const ConnectorGuidance guidance =
        connectorGuidance(QStringLiteral("GPT-6.1 Sol"), QStringLiteral("High"), family.repeated(1000));
    ASSERT_EQ(guidance.rationale.size(), 11'000);
    card.showConnectorGuidance(guidance);
    sizeCard(card, 340, 400);
    // (Compared as truth values: a failure would print 11,000 code units.)
    EXPECT_TRUE(card.miniReasonForTesting() == QStringLiteral("Why: ") + guidance.rationale);

    // So does the compact reason of a recommendation with a 2,000-character reason.
    RailViewController host;
    Recommendation r = sonnet();
    r.reason = family.repeated(2000);
    host.show(r);
    sizeCard(host, 310, 400);
    EXPECT_TRUE(host.miniReasonForTesting() == QStringLiteral("Why: ") + r.reason);
}

// The conversation-use line shows two lines but speaks the whole summary.
TEST(RailViewControllerAccessibleText, ConversationUseIsSpokenWhole) {
    RailViewController card;
    Recommendation r = sonnetWithFit();
    r.reason = QStringLiteral("Drafting with a long brief, ").repeated(55).left(1536);
    ASSERT_EQ(r.reason.size(), 1536);
    card.show(r);
    card.toggleExpanded();
    sizeCard(card, 310, 600);
    QAccessibleInterface* spoken = QAccessible::queryAccessibleInterface(card.conversationUse());
    ASSERT_NE(spoken, nullptr);
    EXPECT_EQ(spoken->text(QAccessible::Name),
              QStringLiteral("Conversation use: ") + text::trimmed(r.reason));
}

} // namespace
} // namespace quillmere
