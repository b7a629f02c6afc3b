#include "desktop/checks/NativeCardChecks.h"
#include "desktop/checks/NativeCardChecksFixtures.h"
#include "desktop/classification/RecommendationCadence.h"

#include <optional>
#include <utility>

namespace quillmere::NativeCardChecks {

namespace {

using Input = RecommendationCadence::Input;

// Takes a ticket and completes it at once, as a widget does when the answer is used.
std::optional<int> takeAndComplete(RecommendationCadence& cadence, double now) {
    const auto ticket = cadence.takeRequest(now);
    if (ticket)
        cadence.complete(*ticket);
    return ticket;
}

void pickerDiscoveryAndHistoryChecks(const checks::Reporter& check) {
    {
        RecommendationCadence cadence;
        Input first = cadenceInput(QStringLiteral("ChatGPT|thread"), QStringLiteral("sol|high"),
                                   QStringLiteral("Implement and verify the desktop integration"));
        first.availability = QStringLiteral("astra,sol");
        cadence.observe(first, 0);
        Input discovered = first;
        discovered.availability = QStringLiteral("astra,sol,terra");
        check(!cadence.observe(discovered, 4),
              QStringLiteral("model-picker discovery does not look like a conversation edit"));

        const auto ticket = cadence.takeRequest(5);
        check(ticket.has_value(),
              QStringLiteral(
                  "model-picker discovery cannot indefinitely restart the recommendation quiet period"));

        if (ticket)
            cadence.complete(*ticket);
        Input more = first;
        more.availability = QStringLiteral("astra,sol,terra,luna");
        const bool changed = cadence.observe(more, 6);
        check(!changed && !cadence.takeRequest(11),
              QStringLiteral("model-picker discovery alone does not create duplicate recommendations"));
    }
    {
        RecommendationCadence cadence;
        const Input first = cadenceInput(QStringLiteral("claude|session"), QStringLiteral("sonnet|low"),
                                         QStringLiteral("Write a detailed article for the product launch"));
        cadence.observe(first, 0);
        takeAndComplete(cadence, 5);
        Input versions = first;
        versions.availability = QStringLiteral("model-id:claude-sonnet-5,model-id:claude-sonnet-5-5");
        const bool changed = cadence.observe(versions, 6);
        check(changed && cadence.needsRecommendationRefresh(versions),
              QStringLiteral("newly observed Claude version invalidates the old recommendation"));

        const auto early = cadence.takeRequest(10);
        const auto fresh = cadence.takeRequest(11);
        check(!early && fresh.has_value(),
              QStringLiteral("new Claude version triggers one fresh analysis after the quiet period"));

        check(!cadence.observe(versions, 12),
              QStringLiteral("closed submenu does not repeatedly invalidate an unchanged Claude option set"));
    }

    RecommendationCadence meeting;
    const Input notes = cadenceInput(QStringLiteral("claude|meeting"), QStringLiteral("sonnet|low"),
                                     QStringLiteral("Summarize these meeting notes"));
    meeting.observe(notes, 0);
    takeAndComplete(meeting, 5);
    {
        // The same conversation read again without a message position, still current.
        meeting.observe(notes, 5.5);
        const bool permitted = meeting.permits(notes);
        const auto ticket = meeting.takeRequest(10.5);
        check(permitted && !ticket && meeting.reason != QLatin1String("partial_history"),
              QStringLiteral(
                  "temporarily missing message ordinal does not falsely pause a current conversation"));
    }
    {
        RecommendationCadence cadence;
        Input positioned = cadenceInput(QStringLiteral("ChatGPT|virtualized"), QStringLiteral("terra|medium"),
                                        QStringLiteral("Build and verify the company outreach list"));
        positioned.historyPosition = 3;
        cadence.observe(positioned, 0);
        takeAndComplete(cadence, 5);
        Input positionless = positioned;
        positionless.historyPosition.reset();
        cadence.observe(positionless, 6);
        const bool permitted = cadence.permits(positionless);
        const auto ticket = cadence.takeRequest(11);
        check(permitted && !ticket && cadence.reason != QLatin1String("partial_history"),
              QStringLiteral(
                  "ChatGPT bubble virtualization cannot turn a current positionless conversation into "
                  "partial history"));
    }
    Input latest = notes;
    latest.historyPosition = 5;
    meeting.observe(latest, 5.75);
    // Fewer messages are visible, but the latest one is still position 5: the input is the same.
    meeting.observe(latest, 6);
    check(meeting.permits(latest),
          QStringLiteral("same latest ordinal remains valid despite reduced visible count"));

    Input older = notes;
    older.historyPosition = 3;
    older.historyCurrent = false;
    meeting.observe(older, 7);
    {
        const auto ticket = meeting.takeRequest(12);
        check(!ticket && meeting.reason == QLatin1String("partial_history"),
              QStringLiteral("scrolling to old messages still blocks stale recommendations"));
    }
    meeting.observe(latest, 13);
    check(meeting.takeRequest(18).has_value(),
          QStringLiteral("returning to latest message restores recommendation check after paused card"));

    Input otherSession = notes;
    otherSession.context = QStringLiteral("B");
    otherSession.historyPosition = 1;
    meeting.observe(otherSession, 19);
    check(meeting.takeRequest(24).has_value(),
          QStringLiteral("new session not blocked by previous high message index"));
}

void turnSequenceChecks(const checks::Reporter& check, const QString& provider) {
    const auto say = [&provider](const QString& literal) { return provider + literal; };
    RecommendationCadence cadence;
    Input current = cadenceInput(provider + QStringLiteral("|one"), QStringLiteral("model|low"),
                                 QStringLiteral("Summarize these notes"));
    cadence.observe(current, 0);

    check(!cadence.takeRequest(4.99), say(QStringLiteral(" cadence: no first request before five seconds")));
    {
        const auto ticket = takeAndComplete(cadence, 5);
        check(ticket && cadence.requestCount == 1,
              say(QStringLiteral(" cadence: first request at five seconds")));
    }
    {
        const bool changed = cadence.observe(current, 6);
        check(!changed && !cadence.takeRequest(12),
              say(QStringLiteral(" cadence: submit/streaming with same canonical input is deduplicated")));
    }
    const auto atTurn = [&current](int turn, const QString& text) {
        Input next = current;
        next.turn = turn;
        next.text = text;
        return next;
    };
    for (int turn = 2; turn <= 7; ++turn) {
        current = atTurn(turn, QStringLiteral("Please shorten this text ") + QString::number(turn));
        cadence.observe(current, 10.0 * turn);
        check(!cadence.needsRecommendationRefresh(current),
              say(QStringLiteral(" cadence: skipped continuation keeps the visible recommendation current")));
        check(!cadence.takeRequest(10.0 * turn + 5), say(QStringLiteral(" cadence: continuation turn ") +
                                                         QString::number(turn) + QStringLiteral(" skipped")));
    }
    current = atTurn(8, QStringLiteral("Please shorten this text 8"));
    cadence.observe(current, 80);
    check(cadence.needsRecommendationRefresh(current),
          say(QStringLiteral(" cadence: safety turn marks the visible recommendation for refresh")));
    {
        const auto ticket = cadence.takeRequest(85);
        check(ticket && cadence.reason == QLatin1String("five_turn_safety"),
              say(QStringLiteral(" cadence: turns 4\u20138 trigger first safety check at eight")));
        if (ticket)
            cadence.complete(*ticket);
    }
    current = atTurn(12, QStringLiteral("Please shorten this text 12"));
    cadence.observe(current, 120);
    check(!cadence.takeRequest(125), say(QStringLiteral(" cadence: no safety check at twelve")));

    current = atTurn(13, QStringLiteral("Please shorten this text 13"));
    cadence.observe(current, 130);
    {
        const auto ticket = takeAndComplete(cadence, 135);
        check(ticket && cadence.requestCount == 3,
              say(QStringLiteral(" cadence: next safety check at thirteen")));
    }

    // From here on a new user message has arrived: turn 14.
    current = atTurn(14, QStringLiteral("Please shorten this text 14"));
    Input truncated = current;
    truncated.historyCurrent = false;
    cadence.observe(truncated, 136);
    {
        const auto ticket = cadence.takeRequest(141);
        check(!ticket && cadence.reason == QLatin1String("partial_history") && !cadence.permits(truncated),
              say(QStringLiteral(
                  " cadence: truncated history is not a new conversation or permission to apply")));
    }
    current = atTurn(14, QStringLiteral("Implement a code function"));
    cadence.observe(current, 140);
    const auto taskTicket = cadence.takeRequest(145);
    check(taskTicket && cadence.reason == QLatin1String("task_changed"),
          say(QStringLiteral(" cadence: clear task change triggers early")));

    current = atTurn(14, QStringLiteral("Implement a code function with tests"));
    cadence.observe(current, 146);
    {
        const bool accepted = taskTicket && cadence.accepts(*taskTicket);
        check(!accepted && !cadence.takeRequest(150),
              say(QStringLiteral(
                  " cadence: editing invalidates result and restarts five-second quiet interval")));
    }
    {
        const auto ticket = takeAndComplete(cadence, 151);
        current = atTurn(18, current.text);
        cadence.observe(current, 180);
        check(ticket && !cadence.takeRequest(185),
              say(QStringLiteral(" cadence: material check resets safety counter")));
    }

    current = atTurn(19, current.text);
    cadence.observe(current, 190);
    takeAndComplete(cadence, 195);
    Input attached = current;
    attached.attachment = true;
    cadence.observe(attached, 200);
    {
        const auto ticket = cadence.takeRequest(205);
        check(!ticket && cadence.reason == QLatin1String("unsupported_attachment"),
              say(QStringLiteral(" cadence: unsupported file abstains")));
    }
    current.setting = QStringLiteral("other|high");
    cadence.observe(current, 210);
    const auto settingTicket = cadence.takeRequest(215);
    check(settingTicket && cadence.reason == QLatin1String("setting_changed"),
          say(QStringLiteral(" cadence: setting change triggers check")));

    if (settingTicket)
        cadence.complete(*settingTicket);
    current.context = provider + QStringLiteral("|two");
    cadence.observe(current, 220);
    check(cadence.takeRequest(225).has_value(),
          say(QStringLiteral(" cadence: new conversation same text triggers check")));

    Input ineligible = current;
    ineligible.eligible = false;
    cadence.observe(ineligible, 230);
    check(!cadence.takeRequest(235), say(QStringLiteral(" cadence: routing eligibility remains separate")));

    RecommendationCadence second;
    Input task = cadenceInput(provider + QStringLiteral("|one"), QStringLiteral("model|low"),
                              QStringLiteral("Summarize notes please"));
    second.observe(task, 0);
    takeAndComplete(second, 5);
    task.turn = 2;
    task.text = QStringLiteral("Write code to parse a file");
    second.observe(task, 10);
    {
        const auto ticket = takeAndComplete(second, 15);
        check(ticket && second.reason == QLatin1String("task_changed"),
              say(QStringLiteral(" cadence: turn two material change allowed")));
    }
    task.turn = 3;
    task.text = QStringLiteral("Review security of this code");
    second.observe(task, 20);
    {
        const auto ticket = second.takeRequest(25);
        check(ticket && second.reason == QLatin1String("task_changed"),
              say(QStringLiteral(" cadence: turn three difficulty change allowed")));
    }
}

void keywordProfileChecks(const checks::Reporter& check) {
    for (const TaskChange& change : taskChanges) {
        RecommendationCadence cadence = afterTaskChange(change, 6);
        check(cadence.needsRecommendationRefresh(*cadence.input),
              QStringLiteral("new task with ") + change.label +
                  QStringLiteral(" immediately invalidates the old card"));
    }
}

} // namespace

void cadenceChecks(const checks::Reporter& check) {
    pickerDiscoveryAndHistoryChecks(check);
    for (const QString& provider : {QStringLiteral("claude"), QStringLiteral("openAI")})
        turnSequenceChecks(check, provider);
    keywordProfileChecks(check);
}

} // namespace quillmere::NativeCardChecks
