// The card in connector mode, as the connector drives it.

#include "desktop/card/CardViews.h"
#include "desktop/card/RailViewController.h"

#include <QWidget>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

ConnectorGuidance guidance(const QString& reasoning = QStringLiteral("High")) {
    ConnectorGuidance g;
    g.id = QStringLiteral("a7112426-1440-47d6-840d-e88ac98297a8");
    g.model_family = QStringLiteral("GPT-6.1 Sol");
    g.reasoning = reasoning;
    g.rationale = QStringLiteral("Fits debugging.");
    return g;
}

Recommendation hostRecommendation() {
    Recommendation r;
    r.provider = AIProvider::openAI;
    r.model = QStringLiteral("gpt-6-astra");
    r.reason = QStringLiteral("Local result");
    return r;
}

} // namespace

TEST(CardConnectorMode, EnteringWithoutASetupViewShowsTheConnectorState) {
    RailViewController card;
    card.setConversation(QStringLiteral("chat-1"), QStringLiteral("Secret title"), true);
    const int revision = card.conversationRevision();
    card.configureConnector(nullptr);
    EXPECT_TRUE(card.connectorMode());
    EXPECT_FALSE(card.conversationID());
    EXPECT_FALSE(card.conversationVerified());
    EXPECT_GT(card.conversationRevision(), revision);
    EXPECT_EQ(card.statusField()->text(), QStringLiteral("CHATGPT CONNECTOR"));
    EXPECT_EQ(card.modelField()->text(), QStringLiteral("Your Quillmere widget"));
    EXPECT_EQ(card.feedback()->text(),
              QStringLiteral("Connect Quillmere to receive recommendations from ChatGPT."));
    EXPECT_EQ(card.conversationLabel()->text(), QStringLiteral("From your ChatGPT connector"));
    EXPECT_EQ(card.askEntryButton()->title(), QStringLiteral("Connection"));
    EXPECT_EQ(card.askEntryButton()->toolTip(), QStringLiteral("Connect or manage your ChatGPT connector"));
    // Accessibility follows the texts; an empty field has none.
    EXPECT_EQ(card.modelField()->accessibleName(), QStringLiteral("Your Quillmere widget"));
    EXPECT_EQ(card.modelField()->toolTip(), QStringLiteral("Your Quillmere widget"));
    EXPECT_TRUE(card.conversationUse()->accessibleName().isEmpty());
    EXPECT_FALSE(card.conversationLabel()->toolTip().contains(QStringLiteral("Secret title")));
}

TEST(CardConnectorMode, ASetupViewMovesBetweenCards) {
    RailViewController first;
    RailViewController second;
    auto* setup = new QWidget();
    first.configureConnector(setup);
    EXPECT_EQ(first.connectorSetupView(), setup);
    second.configureConnector(setup);
    EXPECT_EQ(second.connectorSetupView(), setup);
    EXPECT_TRUE(second.view()->isAncestorOf(setup));
    EXPECT_FALSE(first.view()->isAncestorOf(setup));
    first.detachConnector(); // the view is the second card's now and stays there
    EXPECT_EQ(first.feedback()->text(), QStringLiteral("Connection opened in another Quillmere widget."));
    EXPECT_TRUE(second.view()->isAncestorOf(setup));
    EXPECT_TRUE(first.connectorMode());
}

TEST(CardConnectorMode, GuidanceStaysThroughATransientStateAndGoesWithClearAdvice) {
    RailViewController card;
    card.configureConnector(nullptr);
    card.showConnectorGuidance(guidance());
    EXPECT_EQ(card.statusField()->text(), QStringLiteral("RECOMMENDED · CHATGPT CONNECTOR"));
    EXPECT_EQ(card.modelField()->text(), QStringLiteral("GPT-6.1 Sol · High"));
    EXPECT_EQ(card.conversationUseHeading()->text(), QStringLiteral("SOURCE"));
    EXPECT_EQ(card.modelFitHeading()->text(), QStringLiteral("WHY THIS MODEL"));
    EXPECT_EQ(card.reasonField()->text(), QStringLiteral("Fits debugging."));
    EXPECT_FALSE(card.useButton()->isEnabled());

    card.showConnectorState(QStringLiteral("Reconnecting. Your last recommendation is kept."), false);
    EXPECT_EQ(card.statusField()->text(), QStringLiteral("RECOMMENDED · CHATGPT CONNECTOR"));
    EXPECT_EQ(card.feedback()->text(),
              QStringLiteral(
                  "Model availability and savings are unverified. Change the model in ChatGPT yourself.\n"
                  "Reconnecting. Your last recommendation is kept."));
    EXPECT_TRUE(card.connectorGuidance());

    card.showConnectorState(QStringLiteral("Disconnected"), true);
    EXPECT_FALSE(card.connectorGuidance());
    EXPECT_EQ(card.statusField()->text(), QStringLiteral("CHATGPT CONNECTOR"));
    EXPECT_FALSE(card.reasonField()->accessibleName().contains(QStringLiteral("Fits debugging.")));
}

TEST(CardConnectorMode, AnEmptyReasoningLeavesNoTrailingSeparator) {
    RailViewController card;
    card.configureConnector(nullptr);
    card.showConnectorGuidance(guidance(QString()));
    EXPECT_EQ(card.modelField()->text(), QStringLiteral("GPT-6.1 Sol"));
    EXPECT_EQ(card.miniRecommendationForTesting(), QStringLiteral("Recommended · GPT-6.1 Sol"));
}

TEST(CardConnectorMode, OutsideConnectorModeTheOperationsChangeNothingAndInsideHostResultsAreIgnored) {
    RailViewController card;
    card.showConnectorGuidance(guidance());
    card.showConnectorState(QStringLiteral("x"), false);
    card.detachConnector();
    EXPECT_FALSE(card.connectorMode());
    EXPECT_FALSE(card.connectorGuidance());

    card.configureConnector(nullptr);
    card.detachConnector();
    card.show(hostRecommendation());
    card.setConversation(QStringLiteral("chat-2"), QStringLiteral("Other"), true);
    EXPECT_FALSE(card.recommendation());
    EXPECT_FALSE(card.conversationVerified());
    EXPECT_TRUE(card.connectorMode());
}

TEST(CardConnectorMode, AHostAnalysisFailureLeavesTheConnectorCardAlone) {
    RailViewController card;
    card.configureConnector(nullptr);
    card.showConnectorGuidance(guidance());
    const QString note = card.latestAnalysisNoteForTesting();
    const QString message = card.messageForTesting();
    const bool stale = card.recommendationStaleForTesting();
    card.showNoRecommendation(false, QStringLiteral("The service is unavailable."), std::nullopt);
    card.showError(QStringLiteral("Server response could not be verified (schema)."));
    EXPECT_EQ(card.latestAnalysisNoteForTesting(), note);
    EXPECT_EQ(card.recommendationStaleForTesting(), stale);
    EXPECT_EQ(card.messageForTesting(), message);
}
