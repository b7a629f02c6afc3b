#include "desktop/checks/NativeCardChecks.h"
#include "desktop/checks/NativeCardChecksFixtures.h"
#include "desktop/classification/RecommendationCadence.h"
#include "desktop/observation/VisibleHistoryProgress.h"
#include "desktop/records/ConversationSnapshot.h"

#include <optional>

namespace quillmere::NativeCardChecks {

namespace {

// The Claude conversation the turn-counting checks scan: its user-turn count is what visible
// history progress returned for the scan.
ClaudeWindowTrackerConversationSnapshot
stableSnapshot(std::vector<ClaudeWindowTrackerConversationMessage> messages, int observedUserTurnCount) {
    ClaudeWindowTrackerConversationSnapshot snapshot;
    snapshot.provider = AIProvider::claude;
    snapshot.messages = std::move(messages);
    snapshot.currentModel = QStringLiteral("sonnet");
    snapshot.currentModelID = QStringLiteral("claude-sonnet-5-5");
    snapshot.currentEffort = QStringLiteral("medium");
    snapshot.currentExtended = false;
    snapshot.currentSettingKnown = true;
    snapshot.claudeAvailability = ClaudeModelAvailability::Evidence::empty();
    snapshot.conversationID = QStringLiteral("stable-A");
    snapshot.conversationIdentityVerified = true;
    snapshot.observedUserTurnCount = observedUserTurnCount;
    snapshot.historyPosition = 43;
    snapshot.historyCurrent = true;
    snapshot.historyComplete = false;
    return snapshot;
}

} // namespace

void visibleHistoryChecks(const checks::Reporter& check) {
    {
        VisibleHistoryProgress progress;
        check(progress.observe("A", {1, 3, 5, 5}, 3) == 3,
              QStringLiteral("duplicate heading and child count once"));
        check(progress.observe("A", {5}, 1) == 3,
              QStringLiteral("virtualized messages preserve observed progress"));
        check(progress.observe("A", {5, 7}, 2) == 4,
              QStringLiteral("new visible user position advances progress once"));
        check(progress.observe("B", {1}, 1) == 1, QStringLiteral("new session resets history independently"));
        check(progress.observe("A", {5, 7}, 2) == 4,
              QStringLiteral("returning to a conversation retains only its own progress"));
    }
    {
        VisibleHistoryProgress progress;
        check(progress.observe("A", {}, 11) == 11,
              QStringLiteral("positionless rendered history records its high-water mark"));
        check(
            progress.observe("A", {}, 6) == 11,
            QStringLiteral("ChatGPT recycling rendered bubbles cannot create a false partial-history pause"));
        check(progress.observe("A", {}, 12) == 12,
              QStringLiteral("a new positionless user message still advances progress"));
        check(progress.observe("A", {17, 19, 21}, 6) == 12,
              QStringLiteral("first recovered ordinals do not recount the positionless history"));
        check(progress.observe("A", {19, 21, 23}, 6) == 13,
              QStringLiteral("a new ordinal advances progress after positionless recovery"));
    }
    {
        VisibleHistoryProgress progress;
        const int first = progress.observe("A", {1, 3}, 2);
        const int second = progress.observe("A", {}, 3);
        const int third = progress.observe("A", {3, 5}, 3);
        const int fourth = progress.observe("A", {5, 7}, 4);
        check(first == 2 && second == 3 && third == 3 && fourth == 4,
              QStringLiteral(
                  "a user counted during missing ordinals is not counted again when ordinals recover"));
    }

    VisibleHistoryProgress progress;
    RecommendationCadence cadence;
    int granted = 0;
    std::optional<RecommendationCadence::Input> lastInput;
    for (int i = 0; i < 80; ++i) {
        // The remembered window alternates between seven and eight pairs, always ending with the
        // same newest pair: only the oldest pair comes and goes.
        const int pairs = 7 + i % 2;
        const int count = progress.observe(QStringLiteral("stable-A"), {39, 41, 43}, pairs);
        const auto snapshot = stableSnapshot(messagePairs(9 - pairs, 8), count);
        const double now = 0.5 * i;
        lastInput = snapshot.cadenceInput();
        cadence.observe(lastInput, now);
        if (const auto ticket = cadence.takeRequest(now)) {
            ++granted;
            cadence.complete(*ticket);
        }
    }
    check(
        granted == 1 && cadence.generation == 2,
        QStringLiteral("oscillating remembered window counts cannot starve Claude recommendation requests"));
    check(lastInput && lastInput->turn == 8,
          QStringLiteral("snapshot cadence uses the stable accumulated user count"));

    {
        // A new user message that repeats the previous request word for word.
        auto messages = messagePairs(1, 8);
        messages.push_back({QStringLiteral("user"), QStringLiteral("User request 8")});
        const int count = progress.observe(QStringLiteral("stable-A"), {41, 43, 45}, 8);
        const auto input = stableSnapshot(std::move(messages), count).cadenceInput();
        const int generationBefore = cadence.generation;
        cadence.observe(input, 41);
        check(input.turn == 9 && cadence.generation == generationBefore + 1,
              QStringLiteral("a newly sent user message with identical text still advances the cadence"));
    }
    {
        const auto ticket = cadence.takeRequest(47);
        check(!ticket && cadence.reason == QLatin1String("same_task_skip"),
              QStringLiteral("a single identical follow-up preserves the existing five-turn safety policy"));
    }
    {
        const int count = progress.observe(QStringLiteral("stable-A"), {47, 49, 51, 53}, 8);
        cadence.observe(stableSnapshot(messagePairs(1, 12), count).cadenceInput(), 48);
        const auto ticket = cadence.takeRequest(54);
        check(ticket && cadence.reason == QLatin1String("five_turn_safety"),
              QStringLiteral("five genuinely new user messages still trigger a safety analysis"));
    }
    {
        const int other = progress.observe(QStringLiteral("stable-B"), {1}, 1);
        const int back = progress.observe(QStringLiteral("stable-A"), {43}, 7);
        check(other == 1 && back == 13,
              QStringLiteral("A to B to A cannot mix or reset remembered turn counts"));
    }
}

} // namespace quillmere::NativeCardChecks
