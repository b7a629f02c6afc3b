#include "desktop/classification/RecommendationCadence.h"
#include "desktop/observation/VisibleHistoryProgress.h"

#include <gtest/gtest.h>

using quillmere::RecommendationCadence;
using quillmere::VisibleHistoryProgress;
using Input = RecommendationCadence::Input;

namespace {

Input claudeInput(const QString& text = QStringLiteral("Please implement the dashboard")) {
    Input input;
    input.context = QStringLiteral("claude|conversation-1");
    input.setting = QStringLiteral("sonnet|claude-sonnet-5-5|medium|false|known:true|surface:unknown");
    input.text = text;
    return input;
}

} // namespace

TEST(CadenceInputEquality, AvailabilityIsTextOnlyForClaudeContexts) {
    Input a = claudeInput();
    Input b = a;
    a.availability = QStringLiteral("model-id:claude-sonnet-5");
    b.availability = QStringLiteral("model-id:claude-sonnet-5,model-id:claude-sonnet-5-5");
    EXPECT_FALSE(a == b);

    a.context = b.context = QStringLiteral("openai|thread");
    EXPECT_TRUE(a == b);
    b.availability.clear();
    EXPECT_FALSE(a == b);
}

TEST(CadenceInputEquality, CanonicallyEquivalentTextsAreEqual) {
    Input precomposed = claudeInput(QString::fromUtf8("Résumé of the quarterly report please"));
    Input decomposed =
        claudeInput(QString::fromUtf8("Re\xCC\x81sume\xCC\x81 of the quarterly report please"));
    EXPECT_TRUE(precomposed == decomposed);
}

TEST(CadenceInputEquality, HistoryFieldsCount) {
    Input a = claudeInput();
    Input b = a;
    b.historyPosition = 3;
    EXPECT_FALSE(a == b);
    a.historyPosition = 3;
    EXPECT_TRUE(a == b);
    b.historyCurrent = false;
    EXPECT_FALSE(a == b);
}

TEST(Cadence, InsufficientTextCountsCharactersAfterTrimming) {
    RecommendationCadence cadence;
    // Seven characters, two of them outside the Basic Multilingual Plane, padded with blanks,
    // a no-break space and a line feed.
    cadence.observe(claudeInput(QString::fromUtf8("  \xC2\xA0"
                                                  "ab\xF0\x9F\x98\x80\xF0\x9F\x98\x80"
                                                  "cde\n ")),
                    0);
    EXPECT_FALSE(cadence.takeRequest(10));
    EXPECT_EQ(cadence.reason, "insufficient_text");

    cadence.observe(claudeInput(QStringLiteral(" abcdefgh ")), 20);
    EXPECT_TRUE(cadence.takeRequest(25));
    EXPECT_EQ(cadence.reason, "first_context_check");
}

TEST(Cadence, ThirdFailureStopsRetryingAndCountsPerConversation) {
    RecommendationCadence cadence;
    cadence.observe(claudeInput(), 0);
    auto ticket = cadence.takeRequest(5);
    ASSERT_TRUE(ticket);
    cadence.fail(*ticket, 6);
    EXPECT_EQ(cadence.reason, "service_retry");
    EXPECT_FALSE(cadence.takeRequest(10.9));
    EXPECT_EQ(cadence.reason, "quiet_period");
    ticket = cadence.takeRequest(11);
    ASSERT_TRUE(ticket);
    cadence.fail(*ticket, 12);
    ticket = cadence.takeRequest(17);
    ASSERT_TRUE(ticket);
    cadence.fail(*ticket, 18);
    EXPECT_EQ(cadence.reason, "service_retry_exhausted");
    EXPECT_FALSE(cadence.takeRequest(100));
    EXPECT_EQ(cadence.reason, "already_checked");

    // A stale ticket neither completes nor fails anything.
    const int before = cadence.transientFailures;
    cadence.fail(*ticket - 1, 101);
    cadence.complete(*ticket - 1);
    EXPECT_EQ(cadence.transientFailures, before);
    EXPECT_FALSE(cadence.baseline);
}

TEST(Cadence, RecoveryWaitsForTwoIdenticalReadsAndBacksOff) {
    RecommendationCadence cadence;
    const Input input = claudeInput();
    cadence.observe(input, 0);
    const int first = *cadence.takeRequest(5);
    cadence.complete(first);

    EXPECT_TRUE(cadence.suspendUnreadable());
    EXPECT_FALSE(cadence.suspendUnreadable());
    EXPECT_FALSE(cadence.accepts(first));
    EXPECT_FALSE(cadence.takeRequest(6));
    EXPECT_EQ(cadence.reason, "unreadable_context");

    EXPECT_TRUE(cadence.observe(input, 7));
    EXPECT_EQ(cadence.reason, "verifying_recovery");
    EXPECT_FALSE(cadence.takeRequest(7));
    EXPECT_EQ(cadence.reason, "verifying_recovery");

    EXPECT_FALSE(cadence.observe(input, 8));
    const auto recovered = cadence.takeRequest(8);
    ASSERT_TRUE(recovered);
    EXPECT_EQ(cadence.reason, "history_restored");
    cadence.fail(*recovered, 9);
    EXPECT_EQ(cadence.reason, "service_retry");
    EXPECT_FALSE(cadence.takeRequest(12.9));
    EXPECT_EQ(cadence.reason, "recovery_backoff");
    // The failure restarted the quiet period at 9, so the retry comes at 14.
    EXPECT_FALSE(cadence.takeRequest(13.5));
    EXPECT_EQ(cadence.reason, "quiet_period");
    EXPECT_TRUE(cadence.takeRequest(14));
}

TEST(Cadence, LostContextClearsBaselineButNotTheConversation) {
    RecommendationCadence cadence;
    const Input input = claudeInput();
    cadence.observe(input, 0);
    cadence.complete(*cadence.takeRequest(5));
    EXPECT_TRUE(cadence.observe(std::nullopt, 6));
    EXPECT_FALSE(cadence.takeRequest(20));
    EXPECT_EQ(cadence.reason, "no_context");
    EXPECT_FALSE(cadence.observe(std::nullopt, 7));
    cadence.observe(input, 8);
    EXPECT_TRUE(cadence.takeRequest(13));
    EXPECT_EQ(cadence.reason, "first_context_check");
}

TEST(Cadence, TimesThatAreNotNumbersNeverGrant) {
    RecommendationCadence cadence;
    cadence.observe(claudeInput(), 0);
    EXPECT_FALSE(cadence.takeRequest(std::nan("")));
    EXPECT_EQ(cadence.reason, "quiet_period");
}

TEST(Cadence, HugeTurnNumbersDoNotOverflowTheSafetyTurn) {
    RecommendationCadence cadence;
    Input input = claudeInput();
    input.turn = std::numeric_limits<int>::max();
    cadence.observe(input, 0);
    cadence.complete(*cadence.takeRequest(5));
    EXPECT_EQ(cadence.nextSafetyTurn, std::numeric_limits<int>::max());
}

TEST(MaterialChange, Profiles) {
    EXPECT_EQ(RecommendationCadence::profile("Fix this FUNCTION and the security hole"), "high_stakes");
    EXPECT_EQ(RecommendationCadence::profile("Summarize the notes"), "transform");
    EXPECT_EQ(RecommendationCadence::profile(QString::fromUtf8("תכתוב לי מייל ללקוח")), "writing");
    EXPECT_EQ(RecommendationCadence::profile("hello there"), "unknown");
    EXPECT_EQ(RecommendationCadence::profile(""), "unknown");
}

TEST(MaterialChange, Rules) {
    using C = RecommendationCadence;
    EXPECT_TRUE(C::materialChange("please fix this function", "help me with the security review"));
    EXPECT_FALSE(C::materialChange("security audit of the login", "thanks"));
    EXPECT_FALSE(C::materialChange("anything", "Could you please look again at the numbers"));
    EXPECT_TRUE(C::materialChange("Plan the quarterly marketing budget for Europe",
                                  "Create a poster about autumn leaves and rain"));
    EXPECT_TRUE(C::materialChange("Plan the quarterly marketing budget for Europe",
                                  "Write a haiku about autumn leaves and rain"));
    // The old text needs two subject words.
    EXPECT_FALSE(C::materialChange("Plan budget", "Create a poster about autumn leaves and rain"));
    // The cue verb must be among the first seven words.
    EXPECT_FALSE(C::materialChange("Plan the quarterly marketing budget for Europe",
                                   "one two three four five six seven create poster autumn leaves rain"));
    // Twenty-three characters are too few, even with a cue verb and new subjects.
    EXPECT_FALSE(C::materialChange("Plan the quarterly marketing budget", "Create poster leaves ra"));
    EXPECT_TRUE(C::materialChange("Plan the quarterly marketing budget", "Create poster leaves rai"));
}

TEST(MaterialChange, WordsSplitAtPunctuationAndKeepCombiningMarks) {
    using C = RecommendationCadence;
    // "don't" gives "don" and "t"; the one-character piece is no subject word, so the old text
    // has only two subjects ("don", "stop") and the new one shares none of them.
    EXPECT_TRUE(C::materialChange("don't stop", "Create a poster about autumn leaves and rain"));
    // Hebrew with points stays one word per word: the subjects overlap fully, so no change.
    const QString hebrew = QString::fromUtf8("צור תוכנית שִׁיוּוק לחברה חדשה בעיר");
    EXPECT_FALSE(C::materialChange(hebrew, hebrew));
    EXPECT_TRUE(C::materialChange(QString::fromUtf8("לתכנן תקציב שנתי למחלקה"),
                                  QString::fromUtf8("צור פוסטר על עלים וגשם בסתיו הקרוב")));
}

TEST(VisibleHistoryProgress, CreditAbsorbsPositionsCountedWithoutThem) {
    VisibleHistoryProgress progress;
    EXPECT_EQ(progress.observe("k", {1, 2, 3}, 0), 3);
    EXPECT_EQ(progress.observe("k", {}, 5), 5);
    EXPECT_EQ(progress.conversations.value("k").positionlessCredit, 2);
    EXPECT_EQ(progress.observe("k", {4, 5, 6}, 0), 6);
    EXPECT_EQ(progress.observe("k", {0, -4}, 0), 6);
    EXPECT_EQ(progress.observe("other", {0, -1}, 0), 0);
}

TEST(VisibleHistoryProgress, HugeFallbacksSaturate) {
    VisibleHistoryProgress progress;
    progress.observe("k", {1}, 0);
    EXPECT_EQ(progress.observe("k", {}, std::numeric_limits<int>::max()), std::numeric_limits<int>::max());
    EXPECT_EQ(progress.observe("k", {}, std::numeric_limits<int>::max()), std::numeric_limits<int>::max());
    EXPECT_EQ(progress.observe("k", {}, -5), std::numeric_limits<int>::max());
    // A huge count reached before any position was readable, then new positions.
    EXPECT_EQ(progress.observe("other", {}, std::numeric_limits<int>::max()),
              std::numeric_limits<int>::max());
    EXPECT_EQ(progress.observe("other", {1}, 0), std::numeric_limits<int>::max());
    EXPECT_EQ(progress.observe("other", {2, 3}, 0), std::numeric_limits<int>::max());
}
