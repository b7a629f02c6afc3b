// The analysis loop's rules on the running application: how each outcome of a classification
// ends on the card, in the debug log, the cadence and the desktop state, and which results are
// dropped without touching the card.

#include "ShellHarness.h"

#include "desktop/card/RailViewController.h"
#include "desktop/classification/OpenAIRecommendationContract.h"

#include <QJsonArray>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::testing;

namespace {

const QString chat = QStringLiteral("com.openai.chat");
using ServiceError = ClassificationService::ServiceError;

const QString needsMore = QStringLiteral(" Quillmere needs more information before recommending a model.");

const QByteArray suggestLuna = R"({"schemaVersion":3,"provider":"openai","decision":"suggest",)"
                               R"("setting":{"model":"gpt-5.6-luna","effort":"high"},)"
                               R"("reason":"A lighter setting is enough.","requiresVerification":true})";
const QByteArray abstain = R"({"schemaVersion":3,"provider":"openai","decision":"abstain",)"
                           R"("reason":"Not enough context yet.","requiresVerification":false})";

// A new last request in the host's conversation, as when the user sends another message.
void changeConversation(ShellHarness& shell) {
    ASSERT_EQ(
        shell.desktop->setAttributeValue(shell.desktop->element("chatgpt.message3.text"), "AXValue",
                                         ax::Value(QStringLiteral("Now compare three hotels near the "
                                                                  "river for the same dates, with prices."))),
        ax::Error::success);
}

struct AnalysisRules : ::testing::Test {
    std::unique_ptr<ShellHarness> shell;

    ApplicationWidget& widget() { return shell->widget(chat); }
    RailViewController& card() { return widget().railController(); }
    int count(const QString& event) const {
        int n = 0;
        for (const QString& line : shell->events())
            n += line.endsWith(event) ? 1 : 0;
        return n;
    }
};

} // namespace

// Each row of the error table: the phase, the debug event, the cadence, the card's own words and
// the desktop state. The request is built with the service's 60 second deadline.
TEST_F(AnalysisRules, EachErrorEndsInItsOwnPhaseEventCadenceCardAndState) {
    struct Row {
        const char* name;
        std::exception_ptr error;
        QString phase;
        QString event;
        QString cardNote;
        QString state; // empty: none recorded, the state stays "analyzing"
        QString detail;
        bool counted; // the cadence records a failure rather than completing the ticket
    };
    const QString failed = QStringLiteral("Request failed \u2014 service or connection error");
    const QString noAnswer = QStringLiteral("Latest analysis: The Quillmere service did not return a "
                                            "recommendation.") +
                             needsMore;
    const std::vector<Row> rows = {
        {"abstained",
         std::make_exception_ptr(ServiceError::abstained("Not enough context yet.", std::nullopt)),
         "Server returned no recommendation", "No recommendation: ticket 1",
         "Latest analysis: Not enough context yet." + needsMore, "recommendation_abstained",
         "Server abstained; last card retained when available; explanation in More info; ", false},
        {"contextTooLarge", std::make_exception_ptr(ServiceError::contextTooLarge()),
         "Conversation exceeds service limit", "Full conversation too large; no partial recommendation made",
         "Latest analysis: This conversation is too large to analyze in one request." + needsMore, "", "",
         false},
        {"unsupportedRecommendationTarget",
         std::make_exception_ptr(OpenAIRecommendationContract::Invalid(
             OpenAIRecommendationContract::Invalid::Case::unsupportedRecommendationTarget)),
         QStringLiteral("Recommendation withheld \u2014 unsupported target"),
         "Recommendation rejected: unsupported target, ticket 1",
         "Latest analysis: Quillmere could not verify the suggested model for this conversation. It is "
         "outside this client's supported recommendation catalog; your current setting has not been "
         "changed." +
             needsMore,
         "recommendation_withheld",
         "Target outside supported client catalog; current setting preserved; auth/access not inferred",
         false},
        {"unsupportedCurrentSetting", std::make_exception_ptr(ServiceError::unsupportedCurrentSetting()),
         "Server returned no recommendation", "No recommendation: ticket 1",
         "Latest analysis: The latest analysis did not establish a model recommendation." + needsMore,
         "recommendation_abstained", "No established suitable lower setting", false},
        {"availableSettingsUnavailable",
         std::make_exception_ptr(ServiceError::availableSettingsUnavailable()),
         "Server returned no recommendation", "No recommendation: ticket 1",
         "Latest analysis: Available model options have not been verified." + needsMore,
         "recommendation_abstained", "Available model options not observed", false},
        {"badStatus", std::make_exception_ptr(ServiceError::badStatus(502)), failed,
         "Request failed: HTTP 502, ticket 1", noAnswer, "classification_error", "badStatus(502)", true},
        {"missingRecommendation", std::make_exception_ptr(ServiceError::missingRecommendation()), failed,
         "Request failed: response or service error, ticket 1", noAnswer, "classification_error",
         "missingRecommendation", true},
        {"connection",
         std::make_exception_ptr(TransportError(TransportError::cannotConnectToHost, "refused")), failed,
         "Request failed: network code -1004, ticket 1", noAnswer, "classification_error", "refused", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        shell = std::make_unique<ShellHarness>(demoWithFront(chat));
        shell->transport.failWith = row.error;
        shell->launch();
        ASSERT_TRUE(shell->runUntil([&] { return shell->hasEvent(row.event); }))
            << shell->events().join('\n').toStdString();
        EXPECT_EQ(count(row.event), 1);
        EXPECT_EQ(widget().debugPhase(), row.phase);
        EXPECT_EQ(card().latestAnalysisNoteForTesting(), row.cardNote);
        EXPECT_FALSE(card().recommendation());
        EXPECT_EQ(shell->desktopState(), row.state.isEmpty() ? QStringLiteral("analyzing") : row.state);
        if (!row.state.isEmpty()) {
            EXPECT_TRUE(shell->file("quillmere-desktop-status.json")
                            .value("detail")
                            .toString()
                            .startsWith(row.detail))
                << shell->file("quillmere-desktop-status.json").value("detail").toString().toStdString();
        }
        EXPECT_EQ(widget().debounce().transientFailures, row.counted ? 1 : 0);
        EXPECT_EQ(widget().debounce().baseline.has_value(), !row.counted);
        EXPECT_FALSE(widget().analysisRunning());
        ASSERT_EQ(shell->transport.sent.size(), 1u);
        EXPECT_EQ(shell->transport.sent[0].timeoutSeconds, 60);
        shell.reset();
    }
}

// A result is used only for the ticket and the conversation it was asked for.
TEST_F(AnalysisRules, ResultsForAChangedInputOrConversationAreDroppedWithoutTouchingTheCard) {
    // What happens while the request is on the wire.
    enum class During { changeSeenByATick, changeSeenByNoTick, widgetStopped };
    struct Row {
        const char* name;
        During during;
        QStringList events;
        QString phase;
    };
    const std::vector<Row> rows = {
        {"input changed, seen by a tick",
         During::changeSeenByATick,
         {"Analysis cancelled: input changed", "Result discarded: cancelled or outdated ticket 1"},
         ""},
        {"conversation changed before the answer",
         During::changeSeenByNoTick,
         {"Result discarded: conversation changed, ticket 1"},
         QStringLiteral("Result discarded \u2014 conversation changed")},
        // Stopping cancels the task but leaves its ticket counting: the cancellation alone drops it.
        {"task cancelled, ticket still current",
         During::widgetStopped,
         {"Result discarded: cancelled or outdated ticket 1"},
         ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        shell = std::make_unique<ShellHarness>(chatListingLuna());
        shell->transport.holding = true;
        shell->transport.answersAfterCancel = true;
        shell->launch();
        ASSERT_TRUE(shell->runUntil([&] { return shell->transport.held.size() == 1; }));
        const QString noteBefore = card().latestAnalysisNoteForTesting();
        switch (row.during) {
        case During::changeSeenByATick:
            changeConversation(*shell);
            shell->run(0.3);
            EXPECT_EQ(count("Analysis cancelled: input changed"), 1);
            EXPECT_FALSE(widget().analysisRunning());
            break;
        case During::changeSeenByNoTick:
            changeConversation(*shell);
            break;
        case During::widgetStopped:
            widget().stop();
            break;
        }
        // The service answers with a setting the host offers.
        shell->transport.release(0, 200, suggestLuna);
        ASSERT_TRUE(shell->settle());
        for (const QString& event : row.events)
            EXPECT_EQ(count(event), 1) << event.toStdString() << '\n'
                                       << shell->events().join('\n').toStdString();
        if (!row.phase.isEmpty()) {
            EXPECT_EQ(widget().debugPhase(), row.phase);
        }
        EXPECT_FALSE(card().recommendation());
        EXPECT_EQ(card().latestAnalysisNoteForTesting(), noteBefore);
        EXPECT_FALSE(shell->hasEvent("Recommendation displayed: ticket 1"));
        EXPECT_NE(shell->desktopState(), "recommended");
        shell.reset();
    }
}

// A recommendation for a conversation the card no longer holds as verified is not shown, though
// its ticket is completed.
TEST_F(AnalysisRules, ARecommendationForAnUnverifiedConversationIsWithheld) {
    shell = std::make_unique<ShellHarness>(chatListingLuna());
    shell->transport.holding = true;
    shell->launch();
    ASSERT_TRUE(shell->runUntil([&] { return shell->transport.held.size() == 1; }));
    card().setConversation(card().conversationID(), std::nullopt, false);
    shell->transport.release(0, 200, suggestLuna);
    ASSERT_TRUE(shell->settle());
    EXPECT_EQ(widget().debugPhase(), QStringLiteral("Recommendation withheld \u2014 identity unverified"));
    EXPECT_TRUE(shell->hasEvent("Recommendation withheld: ticket 1"))
        << shell->events().join('\n').toStdString();
    EXPECT_FALSE(card().recommendation());
    EXPECT_EQ(shell->desktopState(), "recommendation_withheld");
    EXPECT_TRUE(widget().debounce().baseline.has_value()) << "the ticket is completed";
}

// The widgets go (the application's teardown) while a request is on the wire; the event loop still
// turns and the transfer ends afterwards, with nothing of the widget or its service left to touch.
TEST_F(AnalysisRules, ARequestOutlivesItsWidget) {
    shell = std::make_unique<ShellHarness>(chatListingLuna());
    shell->transport.holding = true;
    shell->transport.answersAfterCancel = true;
    shell->launch();
    ASSERT_TRUE(shell->runUntil([&] { return shell->transport.held.size() == 1; }));
    const QStringList before = shell->events();
    shell->delegate.reset();
    shell->transport.release(0, 200, suggestLuna);
    ASSERT_TRUE(shell->settle());
    shell->run(1);
    // The task of a widget that is gone ends silently.
    EXPECT_EQ(shell->events(), before);
}
