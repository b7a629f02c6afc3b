#include "desktop/records/ConversationSnapshot.h"

#include <gtest/gtest.h>

using namespace quillmere;
using Snapshot = ClaudeWindowTrackerConversationSnapshot;

namespace {

Snapshot chatGPT() {
    Snapshot s;
    s.provider = AIProvider::openAI;
    s.messages = {{"user", "Translate this sentence into French please"},
                  {"assistant", "Voici la traduction."},
                  {"user", "Done."}};
    s.currentModel = "gpt-6-sol";
    s.currentEffort = "high";
    s.currentSettingKnown = true;
    s.conversationID = "thread-1";
    s.historyCurrent = true;
    return s;
}

} // namespace

TEST(CadenceInputBuilder, FieldsAsTheCadenceReadsThem) {
    Snapshot s = chatGPT();
    s.surfaceMode = "work";
    s.availableSettings = {{"gpt-6-sol", "high"}, {"gpt-5.6-luna", "low"}};
    s.availableModels = {"gpt-6-sol"};
    s.historyPosition = 7;
    const auto input = s.cadenceInput();
    EXPECT_EQ(input.context, "openai|thread-1");
    EXPECT_EQ(input.setting, "gpt-6-sol||high|false|known:true|surface:work");
    // "Done." is too short to stand for the task: the recent requests stand in.
    EXPECT_EQ(input.text, "Translate this sentence into French please\nDone.");
    EXPECT_EQ(input.turn, 2);
    EXPECT_TRUE(input.eligible);
    EXPECT_EQ(input.availability, "gpt-5.6-luna|low,gpt-6-sol|high,model:gpt-6-sol");
    EXPECT_EQ(input.historyPosition, 7);
    EXPECT_TRUE(input.historyCurrent);
}

TEST(CadenceInputBuilder, ClaudeAvailabilityAndTurns) {
    Snapshot s;
    s.provider = AIProvider::claude;
    s.currentModel = "sonnet";
    s.currentModelID = "claude-sonnet-5-5";
    s.currentEffort = "low";
    s.availableModelIDs = {"claude-sonnet-5-5", "claude-haiku-4-5"};
    s.claudeAvailability.settings = {{"claude-haiku-4-5", "", true}, {"claude-sonnet-5-5", "low", false}};
    s.claudeAvailability.modelIDs = {"claude-haiku-4-5", "claude-sonnet-5-5"};
    const auto input = s.cadenceInput();
    EXPECT_EQ(input.context, "claude|");
    EXPECT_EQ(input.setting, "sonnet|claude-sonnet-5-5|low|false|known:false|surface:unknown");
    EXPECT_EQ(input.text, "");
    EXPECT_EQ(input.turn, 1); // no user message and no observed count
    EXPECT_EQ(input.availability,
              "claude-setting:claude-haiku-4-5||true,claude-setting:claude-sonnet-5-5|low|false,"
              "model-id:claude-haiku-4-5,model-id:claude-sonnet-5-5");
    s.observedUserTurnCount = 12;
    EXPECT_EQ(s.cadenceInput().turn, 12);
}

TEST(CadenceInputBuilder, ShortLatestMessageJoinsAtMostEightRequests) {
    Snapshot s = chatGPT();
    std::vector<ClaudeWindowTrackerConversationMessage> messages;
    for (int i = 0; i < 10; ++i)
        messages.push_back({"user", QString::number(i)});
    s.messages = std::move(messages);
    EXPECT_EQ(s.cadenceInput().text, "2\n3\n4\n5\n6\n7\n8\n9");
    EXPECT_EQ(s.cadenceInput().turn, 10);
}

TEST(AnalysisSignature, FollowsTheRequestNotTheReply) {
    Snapshot start;
    start.messages = {{"user", "Summarize this thread"}, {"assistant", "Partial"}};
    start.currentModel = "sonnet";
    start.currentEffort = "high";
    start.currentSettingKnown = true;
    Snapshot later = start;
    later.messages = {start.messages[0], {"assistant", "Partial response still streaming"}};
    EXPECT_EQ(start.analysisSignature(), later.analysisSignature());

    Snapshot other = start;
    other.conversationID = "another-thread";
    EXPECT_NE(other.analysisSignature(), start.analysisSignature());
    Snapshot request = start;
    request.messages = {{"user", "Review the architecture instead"}};
    EXPECT_NE(request.analysisSignature(), start.analysisSignature());
    Snapshot unknown = start;
    unknown.currentSettingKnown = false;
    EXPECT_NE(unknown.analysisSignature(), start.analysisSignature());
    Snapshot surface = start;
    surface.surfaceMode = "work";
    EXPECT_NE(surface.analysisSignature(), start.analysisSignature());

    Snapshot drafted = start;
    drafted.messages = {{"user", "draft: my secret plan"}, start.messages[1]};
    EXPECT_FALSE(drafted.analysisSignature().contains("draft:"));
    EXPECT_FALSE(drafted.analysisSignature().contains("secret"));
}
