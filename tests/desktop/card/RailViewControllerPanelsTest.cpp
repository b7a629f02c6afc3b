// The card's request-log section, ask panel and sizing through its hooks.

#include "desktop/card/RailViewController.h"

#include "desktop/card/CardTestSupport.h"
#include "platform/accessibility/Announcer.h"

#include <QComboBox>
#include <QLineEdit>
#include <cmath>
#include <gtest/gtest.h>

namespace quillmere {
namespace {

using namespace cardtest;

TEST(RailViewControllerRequestLog, FirstRequestOpensAndANewerOneTakesOver) {
    RailViewController card;
    card.showDiagnostics();
    card.toggleExpanded();
    card.diagnosticsButton()->click();
    ASSERT_TRUE(card.expandedForTesting());
    sizeCard(card, 640, 720);
    EXPECT_TRUE(card.requestLogVisibleForTesting());
    EXPECT_FALSE(card.hiddenForTesting(card.requestLogEmpty()));

    std::vector<RequestLogStore::Entry> entries{logEntry(1, QStringLiteral("SENDING"))};
    card.setRequestLogs(entries);
    EXPECT_EQ(card.requestLogRowCountForTesting(), 1);
    EXPECT_EQ(card.expandedRequestLogCountForTesting(), 1);
    EXPECT_EQ(card.materializedRequestLogDetailCountForTesting(), 1);
    EXPECT_TRUE(card.hiddenForTesting(card.requestLogEmpty()));
    const CardButton* header = card.requestLogHeadersForTesting()[0];
    EXPECT_TRUE(header->displayedTitle().startsWith(QStringLiteral("▼   ●   ")));
    EXPECT_EQ(cardview::accessibilityLabel(header), RequestLogStore::header(entries[0]));
    EXPECT_EQ(cardview::accessibilityValue(header), QStringLiteral("Expanded"));

    // A status change keeps the rows and updates the header and the open details.
    const QString sending = header->displayedTitle();
    entries[0].status = QStringLiteral("COMPLETED");
    entries[0].responseBody = QStringLiteral("{\"model\":\"sonnet\"}");
    card.setRequestLogs(entries);
    EXPECT_EQ(card.requestLogHeadersForTesting()[0], header);
    EXPECT_NE(header->displayedTitle(), sending);
    EXPECT_TRUE(header->displayedTitle().endsWith(RequestLogStore::header(entries[0])));
    EXPECT_EQ(card.materializedRequestLogDetailCountForTesting(), 1);

    entries.push_back(logEntry(2, QStringLiteral("SENDING")));
    card.setRequestLogs(entries);
    EXPECT_EQ(card.requestLogRowCountForTesting(), 2);
    EXPECT_EQ(card.expandedRequestLogCountForTesting(), 1);
    EXPECT_EQ(card.materializedRequestLogDetailCountForTesting(), 1);
    EXPECT_EQ(card.requestLogHeadersForTesting()[0]->identifier,
              entries[1].id.toString(QUuid::WithoutBraces));
    EXPECT_TRUE(card.requestLogHeadersForTesting()[1]->displayedTitle().startsWith(QStringLiteral("▶")));

    // Rows open and close by number; an unknown number changes nothing.
    card.toggleRequestLogForTesting(1);
    EXPECT_EQ(card.expandedRequestLogCountForTesting(), 2);
    EXPECT_EQ(card.materializedRequestLogDetailCountForTesting(), 2);
    card.toggleRequestLogForTesting(99);
    EXPECT_EQ(card.expandedRequestLogCountForTesting(), 2);
    card.toggleRequestLogForTesting(2);
    EXPECT_EQ(card.materializedRequestLogDetailCountForTesting(), 1);

    // The same list again changes nothing; every entry's details are inspectable, open or not.
    card.setRequestLogs(entries);
    EXPECT_EQ(card.expandedRequestLogCountForTesting(), 1);
    EXPECT_EQ(card.requestLogForTesting(),
              RequestLogStore::header(entries[0]) + "\n" + RequestLogStore::details(entries[0]) + "\n" +
                  RequestLogStore::header(entries[1]) + "\n" + RequestLogStore::details(entries[1]));

    card.setRequestLogs({});
    EXPECT_EQ(card.requestLogRowCountForTesting(), 0);
    EXPECT_FALSE(card.hiddenForTesting(card.requestLogEmpty()));
}

TEST(RailViewControllerRequestLog, HeaderWithoutAValidIdentifierIsIgnored) {
    RailViewController card;
    card.setRequestLogs({logEntry(1, QStringLiteral("FAILED"))});
    CardButton* header = card.requestLogHeadersForTesting()[0];
    header->identifier = QStringLiteral("not-a-uuid");
    header->click();
    EXPECT_EQ(card.expandedRequestLogCountForTesting(), 1);
}

TEST(RailViewControllerAsk, PresetMenuHasCategoriesSeparatorsAndIndentedPresets) {
    RailViewController card;
    const std::vector<QString> titles = card.askPresetTitlesForTesting();
    ASSERT_EQ(titles.size(), 61u);
    EXPECT_EQ(titles[0], QStringLiteral("Choose a task by category…"));
    EXPECT_EQ(titles[1], QStringLiteral("Writing"));
    EXPECT_EQ(titles[2], QStringLiteral("Website copywriting"));
    EXPECT_EQ(titles[5], QString()); // separator
    EXPECT_EQ(titles.back(), QStringLiteral("Investment analysis"));
    EXPECT_EQ(card.askPreset()->currentIndex(), 0);

    card.showAskResult(sonnet());
    card.selectAskPresetForTesting(QStringLiteral("Website copywriting"));
    EXPECT_EQ(card.askQuestionForTesting(),
              QStringLiteral("Write or improve website copy for a product landing page."));
    EXPECT_EQ(card.askResultForTesting(), QString());
    // The placeholder and a category choose nothing.
    card.selectAskPresetForTesting(QStringLiteral("Choose a task by category…"));
    card.selectAskPresetForTesting(QStringLiteral("Writing"));
    EXPECT_EQ(card.askQuestionForTesting(),
              QStringLiteral("Write or improve website copy for a product landing page."));
}

TEST(RailViewControllerAsk, ShortTasksAreRefusedCountingCharactersAsPeopleDo) {
    RailViewController card;
    std::vector<QString> asked;
    card.onAsk = [&](const QString& task) { asked.push_back(task); };
    card.submitAskForTesting(QStringLiteral(" \n ab \t"));
    EXPECT_EQ(card.askResultForTesting(),
              QStringLiteral("Describe the task you want help choosing a model for."));
    card.submitAskForTesting(QStringLiteral("👍🏽👍🏽"));
    EXPECT_TRUE(asked.empty());
    EXPECT_TRUE(card.askButtonEnabledForTesting());
    card.submitAskForTesting(QStringLiteral("\n 👍🏽👍🏽👍🏽 \n"));
    EXPECT_EQ(asked, (std::vector<QString>{QStringLiteral("👍🏽👍🏽👍🏽")}));
    EXPECT_EQ(card.askResultForTesting(), QStringLiteral("Finding the best model…"));
    EXPECT_FALSE(card.askButtonEnabledForTesting());
    EXPECT_FALSE(card.askField()->isEnabled());
    card.askButton()->click(); // disabled until the answer
    EXPECT_EQ(asked.size(), 1u);
    card.showAskResult(sonnet());
    EXPECT_TRUE(card.askButtonEnabledForTesting());
    EXPECT_EQ(
        card.askResultForTesting(),
        QStringLiteral("Sonnet 5 · Medium — Routine drafting with a clear brief. → The conversation asks for "
                       "edits to an existing text, which a mid-size model handles well. ≈63% fewer credits "
                       "than Opus 5 · High."));
    // Return in the field submits like the button; blanks inside the text stay.
    card.askField()->setText(QStringLiteral("  plan  a trip "));
    emit card.askField()->returnPressed();
    EXPECT_EQ(asked.back(), QStringLiteral("plan  a trip"));
}

TEST(RailViewControllerAsk, ModelEntryOpensTheExpandedCardOnce) {
    ax::RecordingAnnouncer announcements;
    RailViewController card;
    std::vector<bool> reported;
    card.onExpand = [&](bool expanded) { reported.push_back(expanded); };
    EXPECT_TRUE(card.askEntryVisibleForTesting());
    card.askEntryButton()->click();
    EXPECT_TRUE(card.expandedForTesting());
    EXPECT_FALSE(card.askEntryVisibleForTesting());
    card.openAskQuillmere();
    EXPECT_EQ(reported, (std::vector<bool>{true}));
    EXPECT_EQ(announcements.texts(), std::vector<QString>{QStringLiteral("Ask Quillmere opened")});
    sizeCard(card, 640, 720);
    EXPECT_FALSE(card.hiddenForTesting(card.askPreset()));
    EXPECT_TRUE(card.hiddenForTesting(card.askResult())); // no answer yet
}

TEST(RailViewControllerText, MarkupIsShownAsText) {
    RailViewController card;
    const QString hostile = QStringLiteral("<b>bold</b> <script>literal text</script> &amp;");
    card.showError(hostile);
    EXPECT_EQ(card.latestAnalysisNoteForTesting(),
              QStringLiteral("Latest analysis: ") + hostile +
                  QStringLiteral(" Quillmere needs more information before recommending a model."));
    // Measured as the characters themselves: a one-line text keeps every character on one line.
    CardText text(QStringLiteral("<br><br><br>"));
    text.setTextFont(cardFont(12));
    EXPECT_EQ(text.lineCount(1000), 1);
}

TEST(RailViewControllerText, OverLongWordsBreakAndLineCapsHold) {
    CardText text(QString(200, QLatin1Char('W')));
    text.setTextFont(cardFont(13));
    EXPECT_GT(text.lineCount(100), 3); // no word boundary, still wrapped
    const double free = text.measuredHeight(100);
    text.setMaximumLines(2);
    EXPECT_LT(text.measuredHeight(100), free);
    CardText empty;
    EXPECT_EQ(empty.measuredHeight(100), 4);
}

TEST(RailViewControllerText, NarrowChipKeepsALabelOneWideCentredRoundedDown) {
    RecommendationChip chip(Qt::black, Qt::gray, Qt::white);
    chip.label()->setText(QStringLiteral("↓ 43% credits"));
    chip.resize(16, 27);
    chip.layoutLabel();
    const cardlayout::Rect label = cardview::frame(chip.label());
    EXPECT_EQ(label.x, 8);
    EXPECT_EQ(label.w, 1);
    // y counts from the chip's bottom edge: floor((27 − label height) / 2).
    EXPECT_EQ(label.y, std::floor((27 - label.h) * 0.5));
    EXPECT_GT(label.h, 20); // one character per line at a measuring width of 1
}

TEST(RailViewControllerSizing, CompactHeightGrowsOnNarrowCards) {
    RailViewController card;
    Recommendation r = sonnetWithFit();
    r.modelFitReason =
        QStringLiteral("A long fit reason that takes several lines on a narrow card because it explains "
                       "in some detail why this setting suits the conversation.");
    card.show(r);
    const double at220 = card.preferredHeight(220);
    const double at310 = card.preferredHeight(310);
    EXPECT_GT(at220, at310);
    sizeCard(card, 220, int(at220));
    EXPECT_TRUE(card.miniLinesFitForTesting());
    sizeCard(card, 310, int(at310));
    EXPECT_TRUE(card.miniLinesFitForTesting());
    EXPECT_EQ(card.miniLineCountForTesting(), 2);
}

TEST(RailViewControllerSizing, NormalCardBodyDoesNotScrollAtItsPreferredHeight) {
    RailViewController card;
    card.show(sonnetWithFit());
    card.toggleExpanded();
    for (int width : {280, 310, 560}) {
        const double height = card.preferredHeight(width);
        sizeCard(card, width, int(height));
        const cardlayout::Rect scroll = card.frameForTesting(card.scroll());
        EXPECT_NEAR(scroll.h, card.document()->height(), 1) << width;
        EXPECT_TRUE(card.headerFitsForTesting()) << width;
        EXPECT_TRUE(card.recommendationChipsFitForTesting()) << width;
        EXPECT_FALSE(card.miniLinesFitForTesting());
    }
    // Wrapped text makes a narrow card taller than a wide one.
    EXPECT_GT(card.preferredHeight(280), card.preferredHeight(560));
    card.diagnosticsButton()->click();
    EXPECT_EQ(card.preferredHeight(640), 720);
}

TEST(RailViewControllerSizing, LongDetailsScrollInsideTheirBox) {
    RailViewController card;
    Recommendation r = sonnet();
    r.reason =
        QStringLiteral("Summary.\n\n") + QString(QStringLiteral("A long detail sentence. ")).repeated(40);
    card.show(r);
    card.toggleExpanded();
    card.toggleDetails();
    sizeCard(card, 280, 400);
    EXPECT_TRUE(card.detailsScrollableForTesting());
    EXPECT_EQ(card.frameForTesting(card.detailScroll()).h, 132);
}

} // namespace
TEST(RailViewControllerSizing, MeasuringLeavesTheBodyAtTheCardsOwnWidth) {
    RailViewController card;
    card.toggleExpanded();
    card.show(sonnet());
    sizeCard(card, 220, 400);
    const cardlayout::Rect before = card.frameForTesting(card.reasonField());
    // The panel asks for the height at another width (the measuring pass lays the body out
    // narrower) and keeps its size: the body is at the card's own width again without another pass.
    card.preferredHeight(220);
    EXPECT_EQ(cardview::frame(card.reasonField()), before);
    card.preferredHeight(300);
    EXPECT_EQ(cardview::frame(card.reasonField()), before);
}

TEST(RailViewControllerInspection, AHiddenSavingsLineIsNotCheckedForFit) {
    // Shown at 400, then rebound (the savings line hides) and narrowed to 300: the hidden line's
    // old frame is wider than the card, and the hook answers as for a fresh card in that state.
    RailViewController card;
    card.setConversation(QStringLiteral("a"), QStringLiteral("Notes"), true);
    card.show(sonnet(), QStringLiteral("a"));
    sizeCard(card, 400, 160);
    ASSERT_FALSE(card.hiddenForTesting(card.miniSavings()));
    card.setConversation(QStringLiteral("b"), QStringLiteral("Other"), true);
    sizeCard(card, 300, 124);
    ASSERT_TRUE(card.hiddenForTesting(card.miniSavings()));
    RailViewController fresh;
    fresh.setConversation(QStringLiteral("b"), QStringLiteral("Other"), true);
    sizeCard(fresh, 300, 124);
    EXPECT_TRUE(fresh.miniLinesFitForTesting());
    EXPECT_EQ(card.miniLinesFitForTesting(), fresh.miniLinesFitForTesting());
}

} // namespace quillmere
