// The ChatGPT local recommendation and retry behaviour that needs no card.

#include "desktop/classification/ClassificationService.h"
#include "desktop/classification/RecommendationCadence.h"

#include <gtest/gtest.h>

using namespace quillmere;
using Error = ClassificationService::ServiceError;
using Snapshot = ClaudeWindowTrackerConversationSnapshot;

namespace {

Snapshot chatGPT(std::vector<ClaudeWindowTrackerConversationMessage> messages,
                 std::vector<ObservedSetting> available, const QString& model = "gpt-6-astra",
                 const QString& effort = "high") {
    Snapshot s;
    s.provider = AIProvider::openAI;
    s.messages = std::move(messages);
    s.currentModel = model;
    s.currentEffort = effort;
    s.currentSettingKnown = true;
    s.availableSettings = std::move(available);
    s.historyCurrent = true;
    return s;
}

const std::vector<ObservedSetting> lunaLow{{"gpt-5.6-luna", "low"}};
const std::vector<ClaudeWindowTrackerConversationMessage> translation{
    {"user", "Hello, can you help with writing?"},
    {"assistant", "Yes, what would you like to write?"},
    {"user", "Translate this sentence into French: The team meeting starts tomorrow at nine."}};

std::optional<Error> errorOf(const Snapshot& s) {
    try {
        ClassificationService::openAIRecommendation(s);
    } catch (const Error& error) {
        return error;
    }
    return std::nullopt;
}

} // namespace

TEST(LocalOpenAIRecommendation, BoundedTasksGetTheObservedLighterSetting) {
    const Recommendation meeting = ClassificationService::openAIRecommendation(
        chatGPT({{"user", "Summarize these meeting notes."}}, lunaLow));
    EXPECT_EQ(meeting.provider, AIProvider::openAI);
    EXPECT_EQ(meeting.model, "gpt-5.6-luna");
    EXPECT_EQ(meeting.effort, "low");
    EXPECT_FALSE(meeting.savingsLabel());
    EXPECT_FALSE(meeting.contextUsage);

    EXPECT_EQ(errorOf(chatGPT({{"user", "Summarize these meeting notes."}}, {})),
              Error::availableSettingsUnavailable());
    EXPECT_EQ(ClassificationService::openAIRecommendation(chatGPT(translation, lunaLow)).model,
              "gpt-5.6-luna");
    const Recommendation hebrew = ClassificationService::openAIRecommendation(chatGPT(
        {{"user", QString::fromUtf8("סכם את פגישת הצוות בפסקה קצרה")}}, lunaLow, "gpt-5.6-terra", "medium"));
    EXPECT_EQ(hebrew.effort, "low");
}

TEST(LocalOpenAIRecommendation, ConversationContextCanRefuse) {
    EXPECT_TRUE(
        errorOf(chatGPT({{"user", "Review a medical treatment plan"},
                         {"user", "Summarize the treatment plan above into a short patient message."}},
                        lunaLow)));
    // A short follow-up is refused even for a bounded task; the same text first is accepted.
    EXPECT_FALSE(errorOf(chatGPT({{"user", "Summarize it."}}, lunaLow)));
    EXPECT_EQ(errorOf(chatGPT({{"user", "Hello there, friend of mine"}, {"user", "Summarize it."}}, lunaLow)),
              Error::unsupportedCurrentSetting());
    EXPECT_EQ(errorOf(chatGPT({}, lunaLow)), Error::unsupportedCurrentSetting());
    EXPECT_EQ(errorOf(chatGPT({{"assistant", "Summarize these meeting notes."}}, lunaLow)),
              Error::unsupportedCurrentSetting());
}

TEST(LocalOpenAIRecommendation, CadenceAroundAbstentionsOptionsAndFailures) {
    const Snapshot withoutOptions = chatGPT({{"user", "Summarize these meeting notes."}}, {});
    const Snapshot withOptions = chatGPT({{"user", "Summarize these meeting notes."}}, lunaLow);
    RecommendationCadence cadence;
    cadence.observe(withoutOptions.cadenceInput(), 0);
    const auto ticket = cadence.takeRequest(5);
    ASSERT_TRUE(ticket);
    cadence.complete(*ticket);
    EXPECT_FALSE(cadence.takeRequest(10));
    cadence.observe(withOptions.cadenceInput(), 11);
    EXPECT_FALSE(cadence.takeRequest(15));
    EXPECT_TRUE(cadence.takeRequest(16));
    EXPECT_EQ(cadence.reason, "available_settings_changed");

    EXPECT_TRUE(chatGPT(translation, lunaLow).cadenceInput().eligible);
    auto acknowledged = translation;
    acknowledged.push_back({"assistant", "The requested translation is ready."});
    acknowledged.push_back({"user", "Done."});
    const QString text = chatGPT(acknowledged, lunaLow).cadenceInput().text;
    EXPECT_TRUE(text.contains("Translate this sentence"));
    EXPECT_TRUE(text.endsWith("Done."));

    RecommendationCadence retry;
    RecommendationCadence::Input input;
    input.context = "retry";
    input.setting = "sol-low";
    input.text = "Summarize this bounded test request";
    retry.observe(input, 0);
    auto attempt = retry.takeRequest(5);
    ASSERT_TRUE(attempt);
    retry.fail(*attempt, 5);
    EXPECT_FALSE(retry.takeRequest(9.9));
    EXPECT_EQ(retry.reason, "quiet_period");
    attempt = retry.takeRequest(10);
    ASSERT_TRUE(attempt);
    retry.fail(*attempt, 10);
    attempt = retry.takeRequest(15);
    ASSERT_TRUE(attempt);
    retry.fail(*attempt, 15);
    EXPECT_FALSE(retry.takeRequest(25));
    EXPECT_EQ(retry.reason, "already_checked");
}
