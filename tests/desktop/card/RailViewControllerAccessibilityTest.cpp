// What assistive technology gets from the card, read through the accessibility interface as a
// screen reader reads it, after every presenter.

#include "desktop/card/RailViewController.h"
#include "tests/desktop/card/CardTestSupport.h"

#include <QAccessible>
#include <gtest/gtest.h>
#include <thread>

using namespace quillmere;
using namespace quillmere::cardtest;

namespace {

QString spokenName(QWidget* view) {
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(view);
    return iface ? iface->text(QAccessible::Name) : QString();
}

// Every label of the card is static text whose value is what it draws and whose name speaks it:
// the text itself or a spoken form that contains it. The compact lines and the provider line have
// spoken forms in words of their own.
void expectLabelsSpeakWhatTheyShow(RailViewController& card, const char* step) {
    card.layoutIfNeeded();
    // CardText declares no meta-object of its own, so the labels are told apart by their C++ type.
    std::vector<CardText*> labels;
    for (QWidget* view : card.view()->findChildren<QWidget*>())
        if (auto* label = dynamic_cast<CardText*>(view))
            labels.push_back(label);
    ASSERT_GT(labels.size(), 20u) << step;
    for (CardText* label : labels) {
        // A chip's label is part of the chip, which speaks for it (see below).
        if (dynamic_cast<RecommendationChip*>(label->parentWidget()))
            continue;
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(label);
        ASSERT_NE(iface, nullptr) << step;
        EXPECT_EQ(iface->role(), QAccessible::StaticText) << step;
        const QString drawn = label->text();
        EXPECT_EQ(iface->text(QAccessible::Value), drawn) << step;
        const QString name = iface->text(QAccessible::Name);
        EXPECT_EQ(name.isEmpty(), drawn.isEmpty()) << step << " " << drawn.toStdString();
        if (label == card.miniTitle() || label == card.miniSavings() || label == card.miniSummary() ||
            label == card.providerLabel())
            continue;
        EXPECT_TRUE(name.contains(drawn, Qt::CaseInsensitive))
            << step << ": shows \"" << drawn.toStdString() << "\" but speaks \"" << name.toStdString()
            << "\"";
    }
}

} // namespace

TEST(RailViewControllerAccessibility, EveryLabelSpeaksWhatItShowsAfterEveryPresenter) {
    RailViewController card;
    sizeCard(card, 310, 260);
    expectLabelsSpeakWhatTheyShow(card, "new card");
    card.toggleExpanded();
    sizeCard(card, 310, 400);
    expectLabelsSpeakWhatTheyShow(card, "normal mode");
    card.setConversation(QStringLiteral("a"), QStringLiteral("Drafting notes"), true);
    expectLabelsSpeakWhatTheyShow(card, "bound");
    card.show(sonnetWithFit(), QStringLiteral("a"));
    expectLabelsSpeakWhatTheyShow(card, "recommendation with a fit reason");
    card.setRecommendationStale(true);
    expectLabelsSpeakWhatTheyShow(card, "stale");
    card.setRecommendationStale(false);
    card.useRecommendation();
    expectLabelsSpeakWhatTheyShow(card, "switching");
    card.showApplyResult(false, sonnetWithFit());
    expectLabelsSpeakWhatTheyShow(card, "failed switch");
    card.withholdUnverifiedClaudeRecommendation();
    expectLabelsSpeakWhatTheyShow(card, "withheld");
    card.showNoRecommendation(false, QStringLiteral("The service abstained."), std::nullopt);
    expectLabelsSpeakWhatTheyShow(card, "abstention while shown");
    card.setConversation(QStringLiteral("b"), QStringLiteral("Another"), true);
    expectLabelsSpeakWhatTheyShow(card, "rebound");
    card.show(sonnet());
    expectLabelsSpeakWhatTheyShow(card, "recommendation without a fit reason");
    card.showError(QStringLiteral("Timed out"));
    card.showCollecting(true);
    expectLabelsSpeakWhatTheyShow(card, "collecting");
    card.showLoading();
    card.showModelControlsUnavailable();
    card.showUserMessageUnavailable();
    expectLabelsSpeakWhatTheyShow(card, "waiting");
    card.setPlatform(AIProvider::openAI);
    card.show(openAI());
    expectLabelsSpeakWhatTheyShow(card, "OpenAI recommendation");
    card.showDiagnostics();
    sizeCard(card, 640, 720);
    card.showAskResult(sonnetWithFit());
    expectLabelsSpeakWhatTheyShow(card, "ask answer");
    card.showAskFailure(QStringLiteral("The service could not be reached."));
    expectLabelsSpeakWhatTheyShow(card, "ask failure");
    card.setRequestLogs({logEntry(1, QStringLiteral("COMPLETED"))});
    expectLabelsSpeakWhatTheyShow(card, "request log");
    card.collapse();
    sizeCard(card, 310, 260);
    expectLabelsSpeakWhatTheyShow(card, "compact again");

    RailViewController connector;
    QWidget setup;
    connector.configureConnector(&setup);
    connector.showConnectorState(QStringLiteral("Waiting for the widget"), true);
    expectLabelsSpeakWhatTheyShow(connector, "connector waiting");
    ConnectorGuidance guidance;
    guidance.model_family = QStringLiteral("Sonnet");
    guidance.reasoning = QStringLiteral("medium");
    guidance.rationale = QStringLiteral("Drafting with a clear brief.");
    connector.showConnectorGuidance(guidance);
    expectLabelsSpeakWhatTheyShow(connector, "connector guidance");
    connector.toggleExpanded();
    sizeCard(connector, 310, 400);
    expectLabelsSpeakWhatTheyShow(connector, "connector normal");
}

// A chip is one element of static text that speaks its label in words, with nothing inside it for
// assistive technology: its glyphs ("↗", "↓") are never read out.
TEST(RailViewControllerAccessibility, EachChipIsStaticTextSpeakingItsLabel) {
    RailViewController card;
    card.toggleExpanded();
    card.show(sonnet());
    sizeCard(card, 310, 500);
    struct Case {
        RecommendationChip* chip;
        QString drawn;
        QString spoken;
    };
    const Case cases[] = {
        {card.switchChip(), QStringLiteral("↗  Switch recommended"),
         QStringLiteral("Model switch recommended")},
        {card.savingsChip(), QStringLiteral("↓ 63% vs Opus 5 · High"),
         QStringLiteral("63% estimated credit savings compared with Opus 5 · High")},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(c.chip->label()->text(), c.drawn);
        QAccessibleInterface* chip = QAccessible::queryAccessibleInterface(c.chip);
        ASSERT_NE(chip, nullptr);
        EXPECT_EQ(chip->role(), QAccessible::StaticText);
        EXPECT_EQ(chip->text(QAccessible::Name), c.spoken);
        EXPECT_TRUE(chip->text(QAccessible::Value).isEmpty());
        EXPECT_EQ(chip->childCount(), 0);
        // The chip is reachable from the card's document; its label is not an element.
        QAccessibleInterface* document = QAccessible::queryAccessibleInterface(card.document());
        ASSERT_NE(document, nullptr);
        EXPECT_GE(document->indexOfChild(chip), 0);
        EXPECT_TRUE(QAccessible::queryAccessibleInterface(c.chip->label())->state().invisible);
    }
    // The fit chip of an efficient setting, and a stale savings chip that speaks its new words.
    card.show(alreadyEfficient());
    card.setRecommendationStale(true);
    sizeCard(card, 310, 500);
    EXPECT_EQ(spokenName(card.fitChip()), QStringLiteral("Current model is a good fit"));
    EXPECT_TRUE(spokenName(card.savingsChip()).startsWith(QStringLiteral("Last completed analysis: ")));
}

TEST(RailViewControllerAccessibility, NoLabelKeepsTheWordsOfAnEarlierState) {
    RailViewController card;
    card.toggleExpanded();
    sizeCard(card, 310, 400);
    card.setConversation(QStringLiteral("a"), QStringLiteral("Notes"), true);
    card.showCollecting(true);
    EXPECT_EQ(spokenName(card.reasonField()), card.reasonField()->text());
    EXPECT_FALSE(spokenName(card.reasonField()).isEmpty());

    card.show(sonnetWithFit(), QStringLiteral("a"));
    ASSERT_TRUE(spokenName(card.reasonField()).startsWith(QStringLiteral("Why Sonnet")));
    card.setConversation(QStringLiteral("b"), QStringLiteral("Other"), true);
    EXPECT_EQ(spokenName(card.reasonField()), card.reasonField()->text());

    card.show(sonnet(), QStringLiteral("b"));
    card.withholdUnverifiedClaudeRecommendation();
    EXPECT_EQ(card.statusField()->text(), QStringLiteral("PREVIOUS ANALYSIS"));
    EXPECT_EQ(spokenName(card.statusField()), QStringLiteral("PREVIOUS ANALYSIS"));
}

// In the optimised build as in the debug one: the check is not an assertion that is compiled out.
TEST(RailViewControllerAccessibility, EntryPointsRefuseAnotherThread) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            RailViewController card;
            std::thread other([&card] { card.show(sonnet()); });
            other.join();
        },
        "main thread");
    EXPECT_DEATH(
        {
            std::thread other([] { RailViewController card; });
            other.join();
        },
        "main thread");
}

TEST(RailViewControllerAccessibility, AHugeReasonIsSpokenAsShownBoundedAndPlain) {
    RailViewController card;
    Recommendation r = sonnet();
    r.reason = QStringLiteral("\u202E") + QString(2'000'000, QLatin1Char('w'));
    card.show(r);
    sizeCard(card, 310, 300);
    for (CardText* label : {card.miniSummary(), card.reasonField()}) {
        const QString name = spokenName(label);
        EXPECT_LT(name.size(), cardTextDefaultLimit + 100);
        EXPECT_FALSE(name.contains(QChar(0x202E)));
        EXPECT_TRUE(name.endsWith(QChar(0x2026)));
    }
}
