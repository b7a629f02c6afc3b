#include "core/OpenAIRouting.h"

#include <gtest/gtest.h>

using namespace quillmere;

namespace {

ObservedSetting setting(const char* model, const char* effort) {
    return {QString::fromUtf8(model), QString::fromUtf8(effort)};
}

const ObservedSetting astraHigh = setting("gpt-6-astra", "high");
const ObservedSetting lunaLow = setting("gpt-5.6-luna", "low");

std::optional<ObservedSetting> route(const QString& text, const ObservedSetting& current = astraHigh,
                                     const std::vector<ObservedSetting>& available = {lunaLow}) {
    return OpenAIRouting::target(text, current, available);
}

} // namespace

TEST(ObservedSetting, JsonWritesBothKeysInOrder) {
    EXPECT_EQ(json::write(lunaLow.toJson()), QByteArray(R"({"model":"gpt-5.6-luna","effort":"low"})"));
    EXPECT_EQ(json::write(ObservedSetting{}.toJson()), QByteArray(R"({"model":"","effort":""})"));
}

TEST(OpenAIRoutingLadders, SurfaceRules) {
    EXPECT_EQ(OpenAIRouting::models().size(), 7);
    EXPECT_EQ(OpenAIRouting::chatCandidateModels(),
              (QStringList{"gpt-5.6-luna", "gpt-5.6-terra", "gpt-5.6-sol", "gpt-6-astra"}));
    EXPECT_TRUE(OpenAIRouting::efforts().contains("xhigh"));
    EXPECT_FALSE(OpenAIRouting::efforts().contains("High"));

    EXPECT_TRUE(OpenAIRouting::supportsRecommendationTarget(u"gpt-6-sol", QString("work")));
    EXPECT_FALSE(OpenAIRouting::supportsRecommendationTarget(u"gpt-6-sol", QString("chat")));
    EXPECT_FALSE(OpenAIRouting::supportsRecommendationTarget(u"gpt-6-sol", QString("Work")));
    EXPECT_FALSE(OpenAIRouting::supportsRecommendationTarget(u"gpt-6-sol", std::nullopt));
    EXPECT_TRUE(OpenAIRouting::supportsRecommendationTarget(u"gpt-6-astra", std::nullopt));
    EXPECT_FALSE(OpenAIRouting::supportsRecommendationTarget(u"gpt-5.5", QString("work")));
    EXPECT_FALSE(OpenAIRouting::supportsRecommendationTarget(u"", QString("work")));
}

TEST(OpenAIRoutingLadders, ReportedModelsAreObservedAndAllowedInLadderOrder) {
    EXPECT_FALSE(OpenAIRouting::reportedModels(QString("work"), {}).contains("gpt-6.1-sol"));
    EXPECT_EQ(OpenAIRouting::reportedModels(QString("work"), {"gpt-6.1-sol"}), QStringList{"gpt-6.1-sol"});
    EXPECT_TRUE(OpenAIRouting::reportedModels(QString("chat"), {"gpt-6.1-sol"}).isEmpty());
    EXPECT_EQ(OpenAIRouting::reportedModels(QString("chat"),
                                            {"gpt-6-astra", "gpt-5.5", "gpt-6-luna", "gpt-5.6-luna"}),
              (QStringList{"gpt-5.6-luna", "gpt-6-astra"}));
    EXPECT_EQ(OpenAIRouting::reportedModels(QString("work"), {"gpt-6-astra", "gpt-6-luna"}),
              (QStringList{"gpt-6-luna", "gpt-6-astra"}));
}

TEST(OpenAIRoutingTarget, SimpleRequestsGetTheLightestLowerSetting) {
    EXPECT_EQ(route("Summarize these meeting notes."), lunaLow);
    EXPECT_EQ(route("Translate this sentence into French: The team meeting starts tomorrow at nine."),
              lunaLow);
    EXPECT_EQ(route(QString::fromUtf8("סכם את פגישת הצוות בפסקה קצרה"), setting("gpt-5.6-terra", "medium")),
              lunaLow);
    EXPECT_EQ(route("  please   rewrite this paragraph"), lunaLow);
    EXPECT_EQ(route("Please, proofread: teh cat"), lunaLow);
    EXPECT_EQ(route(QString::fromUtf8("בבקשה תרגם את זה")), lunaLow);
    EXPECT_EQ(route("Draft an email to Dana about Friday"), lunaLow);
    EXPECT_EQ(route("write a short e-mail thanking the team"), lunaLow);
    EXPECT_EQ(route(QString::fromUtf8("כתוב מייל קצר לצוות")), lunaLow);
}

TEST(OpenAIRoutingTarget, RequestsThatAreNotSimpleGetNothing) {
    EXPECT_EQ(route(""), std::nullopt);
    EXPECT_EQ(route(" \n\t "), std::nullopt);
    EXPECT_EQ(route("Can you summarize this?"), std::nullopt);
    EXPECT_EQ(route("Summarized notes follow"), std::nullopt);
    EXPECT_EQ(route(QString::fromUtf8("קצרה היא הדרך")), std::nullopt);
    EXPECT_EQ(route("Write a poem about spring"), std::nullopt);
    EXPECT_EQ(route("Writeemail"), std::nullopt);
    // The e-mail must be named early, not deep inside pasted text.
    EXPECT_EQ(route("Write " + QString(90, u'x') + " email"), std::nullopt);
}

TEST(OpenAIRoutingTarget, GuardWordsBlockDowngrades) {
    EXPECT_EQ(route("Summarize the treatment plan above into a short patient message."), std::nullopt);
    EXPECT_EQ(route("Review a production security vulnerability and architecture migration."), std::nullopt);
    EXPECT_EQ(route("Translate this code to Rust"), std::nullopt);
    EXPECT_EQ(route("Summarize the LEGAL memo"), std::nullopt);
    EXPECT_EQ(route("Rewrite this function"), std::nullopt);
    EXPECT_EQ(route("Draft an email about the production incident"), std::nullopt);
    EXPECT_EQ(route(QString::fromUtf8("סכם את מסמך האבטחה")), std::nullopt);
    EXPECT_EQ(route(QString::fromUtf8("תרגם את הקוד")), std::nullopt);
}

TEST(OpenAIRoutingTarget, LengthLimitCountsCharactersAfterNormalising) {
    const QString atLimit = "Summarize " + QString(1490, u'a');
    EXPECT_EQ(route(atLimit), lunaLow);
    EXPECT_EQ(route(atLimit + "a"), std::nullopt);
    // Runs of blanks count once; a decomposed accent is one character.
    EXPECT_EQ(route("Summarize      " + QString(1490, u'a')), lunaLow);
    QString accents;
    for (int i = 0; i < 1490; ++i)
        accents += QString::fromUtf8("e\u0301");
    EXPECT_EQ(route("Summarize " + accents), lunaLow);
}

TEST(OpenAIRoutingTarget, OnlySettingsBelowTheCurrentOneAreOffered) {
    const ObservedSetting terraMedium = setting("gpt-5.6-terra", "medium");
    // The lightest of several lower settings.
    EXPECT_EQ(route("Summarize this", astraHigh, {terraMedium, lunaLow, setting("gpt-5.6-luna", "medium")}),
              lunaLow);
    // A lighter model at a higher effort is not below the current setting.
    EXPECT_EQ(route("Summarize this", terraMedium, {setting("gpt-5.6-luna", "max")}), std::nullopt);
    // The same model at a lower effort is.
    EXPECT_EQ(route("Summarize this", terraMedium, {setting("gpt-5.6-terra", "none")}),
              setting("gpt-5.6-terra", "none"));
    // The current setting itself, heavier ones and unknown ones are not.
    EXPECT_EQ(route("Summarize this", terraMedium,
                    {terraMedium, astraHigh, setting("gpt-5.5", "low"), setting("gpt-5.6-luna", "Low")}),
              std::nullopt);
    EXPECT_EQ(route("Summarize this", terraMedium, {}), std::nullopt);
    // A current setting off the ladders has nothing below it.
    EXPECT_EQ(route("Summarize this", setting("gpt-5.5", "high")), std::nullopt);
    EXPECT_EQ(route("Summarize this", setting("gpt-6-astra", "unknown")), std::nullopt);
    // Duplicates: the first offered wins.
    EXPECT_EQ(route("Summarize this", astraHigh, {lunaLow, lunaLow}), lunaLow);
}
