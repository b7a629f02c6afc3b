#include "desktop/card/CardCopy.h"

#include "desktop/card/CardPalette.h"

#include <gtest/gtest.h>

namespace quillmere::cardcopy {
namespace {

TEST(CardCopy, ReasonSplitsAtTheArrowBeforeLineBreaks) {
    EXPECT_EQ(recommendationCopy(QStringLiteral("Short task → Long\n\nexplanation")),
              (ReasonCopy{QStringLiteral("Short task"), QStringLiteral("Long\n\nexplanation")}));
    // A blank line wins over a single line break; the detail keeps its own line break.
    EXPECT_EQ(recommendationCopy(QStringLiteral("First\n\nSecond\nThird")),
              (ReasonCopy{QStringLiteral("First"), QStringLiteral("Second\nThird")}));
    EXPECT_EQ(recommendationCopy(QStringLiteral("One\nTwo")),
              (ReasonCopy{QStringLiteral("One"), QStringLiteral("Two")}));
    // An arrow with nothing before it does not split; without line breaks the whole text stays.
    EXPECT_EQ(recommendationCopy(QStringLiteral(" → only after")),
              (ReasonCopy{QStringLiteral("→ only after"), {}}));
}

TEST(CardCopy, BlankReasonHasAFixedSummaryAndNoDetail) {
    EXPECT_EQ(recommendationCopy(QStringLiteral(" \n\t ")),
              (ReasonCopy{QStringLiteral("Recommendation details aren’t available."), {}}));
}

TEST(CardCopy, ContextUsageLines) {
    EXPECT_EQ(contextUsageLine({1, 1, 0, true, 1}), QStringLiteral("Based on 1 message · 1 yours + 0 AI"));
    EXPECT_EQ(contextUsageLine({40, 20, 20, true, 120}),
              QStringLiteral("Based on the 40 most recent of 120 available messages · 20 yours + 20 AI"));
    EXPECT_EQ(contextUsageLine({12, 6, 6, false, 12}),
              QStringLiteral("Based on 12 available messages · 6 yours + 6 AI"));
}

Recommendation claudeWithSavings() {
    Recommendation r;
    r.provider = AIProvider::claude;
    r.model = QStringLiteral("sonnet");
    r.modelID = QStringLiteral("claude-sonnet-5");
    r.effort = QStringLiteral("medium");
    r.savingsBasis = QStringLiteral("claude-list-uncached-estimated-output-v1");
    r.potentialPercent = 43;
    return r;
}

TEST(CardCopy, SavingsChipDropsTheApproximateSign) {
    const std::optional<SpokenText> chip = savingsChip(claudeWithSavings());
    ASSERT_TRUE(chip.has_value());
    EXPECT_EQ(chip->text, QStringLiteral("↓ 43% credits"));
    EXPECT_EQ(chip->accessibility, QStringLiteral("43% estimated credit savings"));

    Recommendation compared = claudeWithSavings();
    compared.savingsBaselineSetting = QStringLiteral("Opus 5 · High");
    EXPECT_EQ(savingsChip(compared)->text, QStringLiteral("↓ 43% vs Opus 5 · High"));
    EXPECT_EQ(savingsChip(compared)->accessibility,
              QStringLiteral("43% estimated credit savings compared with Opus 5 · High"));

    Recommendation none = claudeWithSavings();
    none.potentialPercent.reset();
    EXPECT_FALSE(savingsChip(none).has_value());
}

TEST(CardCopy, CompactSavingsLineFollowsTheFirstMatchingRule) {
    const Recommendation r = claudeWithSavings();
    EXPECT_EQ(compactSavings(r, true, false),
              (SpokenText{QStringLiteral("Availability and savings unverified"),
                          QStringLiteral("Availability and savings unverified")}));
    EXPECT_EQ(compactSavings(r, false, false),
              (SpokenText{QStringLiteral("↓ ≈43% estimated savings vs current setting at analysis"),
                          QStringLiteral("Estimated savings: ≈43%")}));
    EXPECT_EQ(compactSavings(r, false, true).accessibility,
              QStringLiteral("Last completed analysis, estimated savings: ≈43%"));
    Recommendation none = r;
    none.savingsBasis.reset();
    EXPECT_EQ(compactSavings(none, false, false),
              (SpokenText{QStringLiteral("Savings —"), QStringLiteral("Savings estimate not verified")}));
    EXPECT_EQ(staleSavingsAccessibility(none),
              QStringLiteral("Last completed analysis: no verified savings"));
}

TEST(CardCopy, CompactReasonAndTitle) {
    Recommendation r = claudeWithSavings();
    r.reason = QStringLiteral("  ");
    EXPECT_EQ(compactReason(r), QStringLiteral("Why this model: details unavailable"));
    r.modelFitReason = QStringLiteral(" Fits well ");
    EXPECT_EQ(compactReason(r), QStringLiteral("Why: Fits well"));
    EXPECT_EQ(compactTitle(r, false), QStringLiteral("↗ Switch · Sonnet 5 · Medium"));
    r.alreadyEfficient = true;
    EXPECT_EQ(compactTitle(r, false), QStringLiteral("✓ Model fit · Sonnet 5 · Medium"));
    EXPECT_EQ(compactTitle(r, true), QStringLiteral("Previous analysis · Sonnet 5 · Medium"));
}

TEST(CardCopy, AskResultAddsClaudeSavings) {
    Recommendation r = claudeWithSavings();
    r.reason = QStringLiteral("Routine drafting.");
    r.savingsBaselineSetting = QStringLiteral("Opus 5 · High");
    EXPECT_EQ(askResultText(r),
              QStringLiteral("Sonnet 5 · Medium — Routine drafting. ≈43% fewer credits than Opus 5 · High."));
}

TEST(CardCopy, CharactersAreGraphemeClusters) {
    EXPECT_FALSE(longerThan(QStringLiteral("👍🏽👍🏽👍🏽"), 3));
    EXPECT_TRUE(longerThan(QStringLiteral("👍🏽👍🏽👍🏽👍🏽"), 3));
    EXPECT_FALSE(longerThan(QString(24, QLatin1Char('x')), 24));
    EXPECT_TRUE(longerThan(QString(25, QLatin1Char('x')), 24));
}

TEST(CardCopy, RequestLogDotColours) {
    EXPECT_EQ(requestLogDotColor(QStringLiteral("FAILED")), CardPalette::systemRed);
    EXPECT_EQ(requestLogDotColor(QStringLiteral("CANCELLED")), CardPalette::systemRed);
    EXPECT_EQ(requestLogDotColor(QStringLiteral("SENDING")), CardPalette::accent);
    EXPECT_EQ(requestLogDotColor(QStringLiteral("RESPONSE RECEIVED")), CardPalette::accent);
    EXPECT_EQ(requestLogDotColor(QStringLiteral("COMPLETED · NO RECOMMENDATION")), CardPalette::muted);
    EXPECT_EQ(requestLogDotColor(QStringLiteral("something new")), CardPalette::systemGreen);
}

} // namespace
} // namespace quillmere::cardcopy
