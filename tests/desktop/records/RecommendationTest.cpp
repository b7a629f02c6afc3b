#include "desktop/records/Recommendation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using quillmere::AIProvider;
using quillmere::Recommendation;

namespace {

Recommendation claude(const QString& model, std::optional<QString> modelID, const QString& effort,
                      bool extended = false) {
    Recommendation r;
    r.provider = AIProvider::claude;
    r.model = model;
    r.modelID = std::move(modelID);
    r.effort = effort;
    r.extended = extended;
    return r;
}

Recommendation openAI(const QString& model, const QString& effort) {
    Recommendation r;
    r.provider = AIProvider::openAI;
    r.model = model;
    r.effort = effort;
    return r;
}

Recommendation withOpenAISavings(double percent, const QString& comparedTo = QStringLiteral("gpt-6-sol")) {
    Recommendation r = openAI(QStringLiteral("gpt-6-luna"), QStringLiteral("low"));
    r.potentialPercent = percent;
    r.savingsBasis = QStringLiteral("chatgpt-work-standard-10k-input-2k-output-v1");
    r.savingsComparedTo = comparedTo;
    return r;
}

} // namespace

TEST(RecommendationLabels, LegacyHaikuShowsItsExtendedSwitch) {
    const Recommendation r = claude("haiku", std::nullopt, "", true);
    EXPECT_EQ(r.modelLabel(), "Haiku 4.5");
    EXPECT_EQ(r.settingLabel(), QString::fromUtf8("Haiku 4.5 · Extended On"));
    EXPECT_EQ(r.reasoningLabel(), "Extended thinking on");
    EXPECT_EQ(claude("haiku", QStringLiteral("claude-haiku-4-5"), "", false).settingLabel(), "Haiku 4.5");
    EXPECT_TRUE(claude("haiku", std::nullopt, "", false).canApply());
}

TEST(RecommendationLabels, VersionsAndUnverifiedSuffixes) {
    const Recommendation bare = claude("sonnet", std::nullopt, "high");
    EXPECT_EQ(bare.modelLabel(), "Sonnet");
    EXPECT_EQ(bare.settingLabel(), QString::fromUtf8("Sonnet · High"));
    EXPECT_EQ(bare.displaySettingLabel(), QString::fromUtf8("Sonnet · High · version unverified"));
    const Recommendation versioned = claude("sonnet", QStringLiteral("claude-sonnet-5-5"), "xhigh");
    EXPECT_EQ(versioned.displaySettingLabel(), QString::fromUtf8("Sonnet 5.5 · Extra high"));
    EXPECT_EQ(claude("opus", QStringLiteral("claude-opus-5"), "low").modelLabel(), "Opus 5");
    EXPECT_EQ(claude("fable", std::nullopt, "max").settingLabel(), QString::fromUtf8("Fable 5.1 · Max"));
    // A Haiku 5.5 target at an effort it does not take is flagged.
    EXPECT_EQ(claude("haiku", QStringLiteral("claude-haiku-5-5"), "none").displaySettingLabel(),
              QString::fromUtf8("Haiku 5.5 · None · setting unverified"));
    // OpenAI never carries the Claude suffixes.
    EXPECT_EQ(openAI("sonnet", "low").displaySettingLabel(), QString::fromUtf8("Sonnet · Low"));
}

TEST(RecommendationLabels, ModelNamesIgnoreCaseButUnknownOnesKeepTheirLetters) {
    EXPECT_EQ(openAI("GPT-6-SOL", "medium").modelLabel(), "GPT-6 Sol");
    EXPECT_EQ(openAI("gpt-5.6", "medium").modelLabel(), "GPT-5.6 Sol");
    EXPECT_EQ(openAI("custom", "medium").modelLabel(), "Custom");
    EXPECT_EQ(openAI("gpt-6-astra", "medium").modelFamilyLabel(), "Astra");
    EXPECT_EQ(openAI("custom", "medium").modelFamilyLabel(), "Custom");
    // An unknown Claude id falls back to the family.
    EXPECT_EQ(claude("opus", QStringLiteral("claude-opus-9"), "low").modelLabel(), "Opus");
}

TEST(RecommendationLabels, EmptyEffort) {
    const Recommendation r = openAI("gpt-6-sol", "");
    EXPECT_EQ(r.reasoningLabel(), "");
    EXPECT_EQ(r.settingLabel(), QString::fromUtf8("GPT-6 Sol · "));
    EXPECT_FALSE(r.canApply());
}

TEST(RecommendationSavings, PercentGuards) {
    EXPECT_EQ(withOpenAISavings(0.4).savingsLabel(), "<1%");
    EXPECT_EQ(withOpenAISavings(37.5).savingsLabel(), QString::fromUtf8("≈38%"));
    EXPECT_EQ(withOpenAISavings(100.0).savingsLabel(), QString::fromUtf8("≈100%"));
    EXPECT_EQ(withOpenAISavings(1.0).savingsLabel(), QString::fromUtf8("≈1%"));
    for (double bad : {0.0, -3.0, 100.5, std::numeric_limits<double>::infinity(),
                       -std::numeric_limits<double>::infinity(), std::nan("")})
        EXPECT_FALSE(withOpenAISavings(bad).savingsLabel()) << bad;
    Recommendation none = withOpenAISavings(10);
    none.potentialPercent.reset();
    EXPECT_FALSE(none.savingsLabel());
}

TEST(RecommendationSavings, OpenAIBasisAndComparison) {
    EXPECT_FALSE(withOpenAISavings(50, QStringLiteral("gpt-5.6")).savingsLabel());
    EXPECT_FALSE(withOpenAISavings(50, QStringLiteral("gpt-5.5")).savingsLabel());
    Recommendation noComparison = withOpenAISavings(50);
    noComparison.savingsComparedTo.reset();
    EXPECT_FALSE(noComparison.savingsLabel());
    Recommendation otherBasis = withOpenAISavings(50);
    otherBasis.savingsBasis = QStringLiteral("paid-ultrafast-cost-v1");
    EXPECT_FALSE(otherBasis.savingsLabel());

    const Recommendation r = withOpenAISavings(95);
    EXPECT_EQ(r.standardRateReference(),
              QString::fromUtf8(
                  "Standard rate reference: GPT-6 Luna (Standard) vs GPT-6 Sol (Standard) · ≈95% lower"));
    EXPECT_EQ(r.savingsComparisonLabel(), "GPT-6 Sol");
    EXPECT_FALSE(withOpenAISavings(0).standardRateReference());
}

TEST(RecommendationSavings, ClaudeGuards) {
    Recommendation efficient = claude("sonnet", QStringLiteral("claude-sonnet-5-5"), "low");
    efficient.savingsBasis = QStringLiteral("claude-list-uncached-estimated-output-v1");
    efficient.potentialPercent = 63;
    efficient.alreadyEfficient = true;
    efficient.savingsComparedTo = QStringLiteral("fable");
    EXPECT_EQ(efficient.savingsLabel(), QString::fromUtf8("≈63%"));
    EXPECT_EQ(efficient.savingsComparisonLabel(), "Fable 5.1");
    EXPECT_FALSE(efficient.standardRateReference());

    Recommendation switching = efficient;
    switching.alreadyEfficient = false;
    EXPECT_FALSE(switching.savingsLabel());
    switching.savingsComparedTo.reset();
    switching.savingsBaselineSetting = QString::fromUtf8("Opus 5.5 · Medium");
    EXPECT_EQ(switching.savingsLabel(), QString::fromUtf8("≈63%"));
    EXPECT_EQ(switching.savingsComparisonLabel(), QString::fromUtf8("Opus 5.5 · Medium"));

    Recommendation acrossHaiku = switching;
    acrossHaiku.savingsBaselineSetting = QString::fromUtf8("Haiku 5.5 · High");
    EXPECT_FALSE(acrossHaiku.savingsLabel());
    Recommendation haiku55 = switching;
    haiku55.model = QStringLiteral("haiku");
    haiku55.modelID = QStringLiteral("claude-haiku-5-5");
    EXPECT_EQ(haiku55.modelLabel(), "Haiku 5.5");
    EXPECT_FALSE(haiku55.savingsLabel());
    EXPECT_FALSE(haiku55.canApply());
}

TEST(RecommendationApply, Rules) {
    EXPECT_TRUE(openAI("gpt-5.6", "high").canApply());
    EXPECT_FALSE(openAI("GPT-6-SOL", "high").canApply());
    EXPECT_FALSE(openAI("gpt-6-sol", "turbo").canApply());
    EXPECT_TRUE(claude("sonnet", QStringLiteral("claude-sonnet-5"), "low").canApply());
    EXPECT_FALSE(claude("sonnet", QStringLiteral("claude-opus-5"), "low").canApply());
    EXPECT_FALSE(claude("gpt-6-sol", std::nullopt, "low").canApply());
    EXPECT_FALSE(claude("haiku", QStringLiteral("claude-haiku-4-5"), "", true).modelLabel().isEmpty());
}

TEST(RecommendationTarget, IgnoresEverythingButTheSetting) {
    Recommendation a = claude("sonnet", QStringLiteral("claude-sonnet-5-5"), "low");
    Recommendation b = a;
    b.reason = QStringLiteral("other");
    b.potentialPercent = 12;
    b.conversationCategory = quillmere::ConversationTaxonomy{"data", "Data"};
    b.routingDiagnostic = quillmere::RoutingDecisionMetadata::make("keep");
    EXPECT_TRUE(a.hasSameTarget(b));
    EXPECT_FALSE(a == b);
    b.modelID.reset();
    EXPECT_FALSE(a.hasSameTarget(b));
}
