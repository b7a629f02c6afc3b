#include "core/UsageObservation.h"

#include "core/ConversationText.h"
#include "core/IsoTime.h"
#include "core/Text.h"

#include <QUuid>

#include <algorithm>
#include <cmath>

namespace quillmere {

namespace {

// A follow-up shorter than this is too vague to call a new task.
constexpr qsizetype newTaskMinimumCharacters = 24;

QString normalizedText(QStringView text) {
    return text::canonical(ConversationText::normalize(text));
}

bool isUser(const ObservedTurn& turn) {
    return turn.role == u"user";
}

// Turns are matched by role and, for requests, by text. An answer's text is not compared: it
// changes while it streams in.
bool sameTurn(const ObservedTurn& a, const ObservedTurn& b) {
    if (a.role != b.role)
        return false;
    return !isUser(a) || normalizedText(a.text) == normalizedText(b.text);
}

// The turns the new reading adds after the old one. The host shows a window of the conversation
// that may have scrolled: the old window's tail (as long as possible) must open the new one.
// None when the two do not line up, which means the history was edited or replaced.
std::optional<std::vector<ObservedTurn>> addedTurns(const std::vector<ObservedTurn>& before,
                                                    const std::vector<ObservedTurn>& after) {
    if (before.empty())
        return after;
    for (size_t start = 0; start < before.size(); ++start) {
        const size_t overlap = before.size() - start;
        if (overlap > after.size())
            continue;
        if (std::equal(before.begin() + start, before.end(), after.begin(), sameTurn))
            return std::vector<ObservedTurn>(after.begin() + overlap, after.end());
    }
    return std::nullopt;
}

QString makeUUID() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

bool isInteractionKind(QStringView kind) {
    return kind == u"use_clicked" || kind == u"apply_verified" || kind == u"apply_failed";
}

} // namespace

json::Value UsageEvent::toJson() const {
    json::Object object{
        {QStringLiteral("schema"), schema},
        {QStringLiteral("mode"), mode},
        {QStringLiteral("provider"), provider},
        {QStringLiteral("surface"), surface},
        {QStringLiteral("recommendationID"), recommendationID},
        {QStringLiteral("at"), isotime::format(at)},
        {QStringLiteral("kind"), kind},
    };
    if (reason)
        object.emplace_back(QStringLiteral("reason"), *reason);
    object.emplace_back(QStringLiteral("target"), target.toJson());
    if (current)
        object.emplace_back(QStringLiteral("current"), current->toJson());
    // JSON has no NaN or infinity; such a percent is no percent.
    if (potentialPercent && std::isfinite(*potentialPercent))
        object.emplace_back(QStringLiteral("potentialPercent"), *potentialPercent);
    return object;
}

UsageObservation::UsageObservation(double window, std::function<QString()> makeID)
    : window_(window), makeID_(makeID ? std::move(makeID) : makeUUID) {}

std::optional<QString> UsageObservation::pendingID() const {
    if (!pending_)
        return std::nullopt;
    return pending_->id;
}

UsageEvent UsageObservation::event(const Pending& pending, QStringView kind, std::optional<QString> reason,
                                   const QDateTime& now) const {
    UsageEvent event;
    event.provider = pending.last.provider;
    event.surface = pending.last.surface;
    event.recommendationID = pending.id;
    event.at = now;
    event.kind = kind.toString();
    event.reason = std::move(reason);
    event.target = pending.target;
    event.current = pending.last.setting;
    event.potentialPercent = pending.percent;
    return event;
}

std::vector<UsageEvent> UsageObservation::end(QStringView reason, const QDateTime& now) {
    if (!pending_)
        return {};
    std::vector<UsageEvent> events{event(*pending_, u"censored", reason.toString(), now)};
    pending_.reset();
    return events;
}

std::vector<UsageEvent> UsageObservation::lostContext(QStringView reason, const QDateTime& now) {
    return end(reason, now);
}

std::vector<UsageEvent> UsageObservation::shown(const ObservedSetting& target, std::optional<double> percent,
                                                const UsageSnapshot& snapshot, const QDateTime& now) {
    if (pending_ && pending_->thread == snapshot.thread && pending_->last.provider == snapshot.provider &&
        pending_->last.surface == snapshot.surface)
        return {};
    std::vector<UsageEvent> events = end(u"recommendation_replaced", now);
    Pending pending;
    pending.id = makeID_();
    pending.target = target;
    pending.percent = percent;
    pending.createdAt = now;
    pending.thread = snapshot.thread;
    pending.shownSetting = snapshot.setting;
    pending.last = snapshot;
    pending.knownSetting = snapshot.setting;
    pending_ = pending;
    events.push_back(event(*pending_, u"recommendation_shown", std::nullopt, now));
    return events;
}

std::vector<UsageEvent> UsageObservation::interaction(QStringView kind, const QDateTime& now,
                                                      const std::optional<QString>& recommendationID) const {
    if (!pending_ || !isInteractionKind(kind))
        return {};
    if (kind != u"use_clicked" && recommendationID != pending_->id)
        return {};
    return {event(*pending_, kind, std::nullopt, now)};
}

std::vector<UsageEvent> UsageObservation::observe(const UsageSnapshot& snapshot, const QDateTime& now) {
    if (!pending_)
        return {};
    const Pending& pending = *pending_;
    // Written so that an unusable window or time ends the observation instead of extending it.
    const double elapsed = pending.createdAt.msecsTo(now) / 1000.0;
    if (!now.isValid() || !pending.createdAt.isValid() || !(elapsed < window_))
        return end(u"observation_window_ended", now);
    if (snapshot.provider != pending.last.provider || snapshot.surface != pending.last.surface)
        return end(u"surface_changed", now);
    if (snapshot.thread != pending.thread)
        return end(u"thread_changed", now);
    if (!snapshot.complete)
        return end(u"unverified_context", now);
    const std::optional<std::vector<ObservedTurn>> added = addedTurns(pending.last.turns, snapshot.turns);
    if (!added)
        return end(u"history_changed", now);
    const qsizetype addedUserTurns = std::count_if(added->begin(), added->end(), isUser);
    if (addedUserTurns > 1)
        return end(u"missed_turns", now);
    std::optional<QString> prompt;
    if (addedUserTurns == 1)
        prompt = std::find_if(added->begin(), added->end(), isUser)->text;
    return progress(snapshot, addedUserTurns, prompt, now);
}

std::vector<UsageEvent> UsageObservation::progress(const UsageSnapshot& snapshot, qsizetype addedUserTurns,
                                                   const std::optional<QString>& prompt,
                                                   const QDateTime& now) {
    Pending& pending = *pending_;
    std::vector<UsageEvent> events;
    pending.last = snapshot;

    if (snapshot.setting && snapshot.setting != pending.knownSetting) {
        if (*snapshot.setting == pending.target && !pending.selected) {
            pending.selected = true;
            events.push_back(event(pending, u"recommended_setting_selected", std::nullopt, now));
        } else {
            events.push_back(event(pending, u"setting_changed", std::nullopt, now));
        }
        pending.knownSetting = snapshot.setting;
    }

    if (addedUserTurns == 1) {
        if (!pending.submittedAt) {
            // A request sent at a third setting says nothing about the recommendation.
            if (snapshot.setting && *snapshot.setting != pending.target &&
                snapshot.setting != pending.shownSetting) {
                events.push_back(
                    event(pending, u"censored", QStringLiteral("setting_changed_before_send"), now));
                pending_.reset();
                return events;
            }
            pending.submittedAt = now;
            pending.prompt = *prompt;
            events.push_back(event(pending, u"submission_observed", std::nullopt, now));
        } else {
            QString reason;
            if (!pending.responseSeen) {
                reason = QStringLiteral("ambiguous_outcome");
            } else if (pending.selected && normalizedText(*prompt) == normalizedText(pending.prompt) &&
                       snapshot.setting == pending.shownSetting) {
                // The same request again, back at the setting the user had before: the lighter
                // setting's answer did not do.
                events.push_back(event(pending, u"possible_regret",
                                       QStringLiteral("same_request_returned_to_original_setting"), now));
                pending_.reset();
                return events;
            } else if (ConversationText::dependsOnPriorContext(*prompt)) {
                events.push_back(event(pending, u"followup_observed", std::nullopt, now));
                pending_.reset();
                return events;
            } else if (text::characterCount(ConversationText::normalize(*prompt)) >=
                       newTaskMinimumCharacters) {
                reason = QStringLiteral("new_task");
            } else {
                reason = QStringLiteral("ambiguous_outcome");
            }
            events.push_back(event(pending, u"censored", reason, now));
            pending_.reset();
            return events;
        }
    }

    if (pending.submittedAt && !pending.responseSeen && !snapshot.generating && !snapshot.turns.empty() &&
        snapshot.turns.back().role == u"assistant") {
        pending.responseSeen = true;
        events.push_back(event(pending, u"response_observed", std::nullopt, now));
    }
    return events;
}

} // namespace quillmere
