#include "desktop/checks/NativeCardChecks.h"
#include "desktop/checks/NativeCardChecksFixtures.h"
#include "desktop/classification/OpenAIRecommendationContract.h"
#include "desktop/classification/RecommendationCadence.h"

#include <QJsonArray>
#include <QSet>

namespace quillmere::NativeCardChecks {

namespace {

using Input = RecommendationCadence::Input;

Input taskInput(const QString& context, const QString& text) {
    Input input;
    input.context = context;
    input.setting = QStringLiteral("sonnet|claude-sonnet-5|high|false|known:true|surface:unknown");
    input.text = text;
    return input;
}

std::optional<int> takeAndComplete(RecommendationCadence& cadence, double now) {
    const auto ticket = cadence.takeRequest(now);
    if (ticket)
        cadence.complete(*ticket);
    return ticket;
}

} // namespace

void eligibilityPayloadRecoveryChecks(const checks::Reporter& check) {
    {
        ClaudeWindowTrackerConversationSnapshot acknowledgement;
        acknowledgement.provider = AIProvider::openAI;
        acknowledgement.messages = {
            {QStringLiteral("user"), QStringLiteral("ok")},
            {QStringLiteral("assistant"),
             QStringLiteral(
                 "The application repair includes integration verification and regression testing. ")
                 .repeated(2)}};
        acknowledgement.currentSettingKnown = true;
        acknowledgement.conversationID = QStringLiteral("acknowledgement");
        acknowledgement.historyCurrent = true;
        RecommendationCadence cadence;
        cadence.observe(acknowledgement.cadenceInput(), 0);
        check(!cadence.takeRequest(6),
              QStringLiteral("assistant content cannot make a bare user acknowledgment eligible"));
    }
    {
        ClaudeWindowTrackerConversationSnapshot payload;
        payload.provider = AIProvider::openAI;
        payload.messages = messagePairs(0, 11);
        payload.currentModel = QStringLiteral("unknown");
        payload.currentEffort = QStringLiteral("medium");
        payload.conversationID = QStringLiteral("fixture-conversation");
        payload.conversationScopeID = QStringLiteral("fixture-conversation");
        payload.historyCurrent = true;
        const QJsonArray messages = objectOf(OpenAIRecommendationContract::request(payload).encoded())
                                        .value(QStringLiteral("messages"))
                                        .toArray();
        int users = 0;
        int assistants = 0;
        QSet<QString> conversations;
        for (const QJsonValue& value : messages) {
            const QJsonObject message = value.toObject();
            const QString role = message.value(QStringLiteral("role")).toString();
            users += role == QLatin1String("user");
            assistants += role == QLatin1String("assistant");
            conversations.insert(message.value(QStringLiteral("conversationId")).toString());
        }
        check(messages.size() == 24 && users == 12 && assistants == 12,
              QStringLiteral("wire payload contains all available user requests and AI responses"));
        check(!messages.isEmpty() &&
                  messages.first().toObject().value(QStringLiteral("text")).toString() ==
                      QLatin1String("User request 0") &&
                  messages.last().toObject().value(QStringLiteral("text")).toString() ==
                      QLatin1String("Assistant response 11"),
              QStringLiteral("chronological ordering survives interleaved user and assistant messages"));
        check(conversations == QSet<QString>{QStringLiteral("fixture-conversation")},
              QStringLiteral("every serialized message is scoped to the same conversation"));
    }
    {
        RecommendationCadence cadence;
        const Input repair =
            taskInput(QStringLiteral("repair-thread"), QStringLiteral("Repair this application"));
        cadence.observe(repair, 0);
        takeAndComplete(cadence, 6);
        // The conversation is briefly unreadable: no input, then the same one again.
        cadence.observe(std::nullopt, 7);
        cadence.observe(repair, 8);
        check(!cadence.takeRequest(12), QStringLiteral("restored conversation still waits for stable input"));
        check(cadence.takeRequest(14).has_value(),
              QStringLiteral("lost visible result is reanalyzed after transient unreadable conversation"));
    }
    {
        RecommendationCadence cadence;
        const Input task = taskInput(QStringLiteral("transient-thread"),
                                     QStringLiteral("Implement the requested desktop feature"));
        cadence.observe(task, 0);
        const auto old = takeAndComplete(cadence, 5);
        cadence.suspendUnreadable();
        check(!cadence.permits(task) && !(old && cadence.accepts(*old)) && cadence.input &&
                  *cadence.input == task,
              QStringLiteral("a failed scan immediately blocks the old card without erasing the last task"));
        const double changedAt = cadence.changedAt;
        cadence.suspendUnreadable();
        check(cadence.changedAt == changedAt,
              QStringLiteral("repeated failed scans do not restart the cadence timer"));

        cadence.observe(task, 6);
        const auto first = cadence.takeRequest(6);
        check(!first && cadence.reason == QLatin1String("verifying_recovery"),
              QStringLiteral("one recovered scan cannot trigger analysis"));
        check(cadence.needsRecommendationRefresh(task),
              QStringLiteral("identical recovered input still requires a fresh decision before a stale "
                             "action can resume"));
        cadence.observe(task, 6.25);
        const auto recovered = cadence.takeRequest(6.25);
        const QString restored =
            QStringLiteral("two stable recovered scans trigger a fresh request with the preserved task");
        check(recovered && *recovered == cadence.generation, restored);
        check(cadence.reason == QLatin1String("history_restored") && cadence.input &&
                  cadence.input->text == task.text,
              restored);
        if (recovered)
            cadence.complete(*recovered);
        const auto again = cadence.takeRequest(7);
        check(!again && cadence.reason == QLatin1String("already_checked"),
              QStringLiteral("successful recovery does not send the same task again"));
    }
    {
        RecommendationCadence cadence;
        const Input task = taskInput(QStringLiteral("transient-thread"),
                                     QStringLiteral("Implement the requested desktop feature"));
        cadence.observe(task, 0);
        takeAndComplete(cadence, 5);
        cadence.suspendUnreadable();
        cadence.observe(task, 6);
        cadence.observe(task, 6.25);
        const auto recovery = cadence.takeRequest(6.25);
        if (recovery)
            cadence.fail(*recovery, 7);
        const auto early = cadence.takeRequest(10);
        const auto retry = cadence.takeRequest(12);
        check(recovery && !early && retry,
              QStringLiteral(
                  "failed recovery request retries after backoff without needing another user message"));
    }
    {
        RecommendationCadence cadence;
        Input plan;
        plan.context = QStringLiteral("claude|synthetic-session");
        plan.setting = QStringLiteral("sonnet|claude-sonnet-5|high|false");
        plan.text = QStringLiteral("Plan the first subscription tier");
        plan.availability = QStringLiteral("model-id:claude-sonnet-5");
        cadence.observe(plan, 0);
        const auto old = takeAndComplete(cadence, 5);
        // A scan with zero messages while the host generates a reply.
        cadence.suspendUnreadable();
        check(!cadence.permits(plan) && !(old && cadence.accepts(*old)),
              QStringLiteral(
                  "Claude zero-message scan during generation hides the old recommendation and rejects its "
                  "ticket"));

        Input unverified = plan;
        unverified.historyCurrent = false;
        cadence.observe(unverified, 6);
        cadence.observe(unverified, 6.25);
        const auto waiting = cadence.takeRequest(11.25);
        check(!waiting && cadence.reason == QLatin1String("partial_history"),
              QStringLiteral("Claude recovery still waits when the latest message is not verified"));

        Input current = plan;
        current.text = QStringLiteral("Start with the first subscription tier's monthly plan");
        cadence.observe(current, 12);
        const auto first = cadence.takeRequest(16.9);
        check(!first && cadence.reason == QLatin1String("verifying_recovery"),
              QStringLiteral("Claude's first current-history read is checked for stability"));
        cadence.observe(current, 17);
        const auto fresh = cadence.takeRequest(17);
        check(
            fresh && *fresh == cadence.generation && cadence.reason == QLatin1String("history_restored") &&
                cadence.requestCount == 2,
            QStringLiteral("Claude sends a fresh request after a stable, verified latest-message recovery"));
    }
    {
        RecommendationCadence cadence;
        const Input latest =
            taskInput(QStringLiteral("scroll-thread"), QStringLiteral("Implement the current task"));
        cadence.observe(latest, 0);
        takeAndComplete(cadence, 5);
        // Older history on screen with the host's scroll-to-bottom control showing; the fallback
        // count of user messages still reads 14.
        Input older = latest;
        older.text = QStringLiteral("Translate the old sentence");
        older.turn = 14;
        older.historyCurrent = false;
        cadence.observe(older, 6);
        const auto blocked = cadence.takeRequest(11);
        check(!blocked && cadence.reason == QLatin1String("partial_history"),
              QStringLiteral(
                  "scroll-to-bottom evidence blocks old history even when fallback count remains 14"));
        cadence.observe(latest, 12);
        check(cadence.takeRequest(17).has_value(),
              QStringLiteral("returning to latest history resumes analysis"));
    }
}

} // namespace quillmere::NativeCardChecks
