#pragma once

// Following one shown recommendation through the host conversation, for the local usage record:
// did the user pick the recommended setting, send a request with it, get an answer, and come back
// to the original setting for the same request? Each call turns what was seen into usage events;
// anything the observation cannot follow for certain (another thread, a gap in the history, turns
// it missed, too much time) ends it with one "censored" event naming why, rather than guessing.
//
// The records hold no conversation text: the prompt is kept in memory only to recognise the same
// request sent again.

#include "core/Json.h"
#include "core/OpenAIRouting.h"

#include <QDateTime>
#include <QString>
#include <QStringView>
#include <functional>
#include <optional>
#include <vector>

namespace quillmere {

// One turn of the host conversation as the usage observation sees it.
struct ObservedTurn {
    QString role; // "user" or "assistant"
    QString text;

    bool operator==(const ObservedTurn&) const = default;
};

// One reading of the host conversation for usage tracking.
struct UsageSnapshot {
    QString provider;
    QString surface;
    std::optional<QString> thread;
    std::vector<ObservedTurn> turns; // oldest first
    std::optional<ObservedSetting> setting;
    // The turns are a trustworthy, current tail of the conversation.
    bool complete = false;
    // An answer is still being written.
    bool generating = false;

    bool operator==(const UsageSnapshot&) const = default;
};

// One local usage record.
struct UsageEvent {
    int schema = 1;
    QString mode = QStringLiteral("collect_only");
    QString provider;
    QString surface;
    QString recommendationID;
    QDateTime at;
    QString kind;
    std::optional<QString> reason;
    ObservedSetting target;
    std::optional<ObservedSetting> current;
    std::optional<double> potentialPercent;

    bool operator==(const UsageEvent&) const = default;

    // The keys in field order; absent optionals are left out (never null), the time is ISO-8601
    // in whole seconds, and a percent that is not a finite number is left out as well.
    json::Value toJson() const;
};

class UsageObservation {
public:
    // window: how long one recommendation is followed, in seconds. makeID gives each shown
    // recommendation its id (an upper-case UUID by default; tests pass their own).
    explicit UsageObservation(double window, std::function<QString()> makeID = {});

    // A recommendation appeared on the card. The same thread on the same provider and surface
    // keeps the observation already running; otherwise that one ends as "recommendation_replaced"
    // and a new one starts with a "recommendation_shown" event.
    std::vector<UsageEvent> shown(const ObservedSetting& target, std::optional<double> percent,
                                  const UsageSnapshot& snapshot, const QDateTime& now);

    // A new reading of the host conversation.
    std::vector<UsageEvent> observe(const UsageSnapshot& snapshot, const QDateTime& now);

    // The user pressed the switch button ("use_clicked"), or applying it succeeded or failed
    // ("apply_verified", "apply_failed"). An apply result counts only for the pending
    // recommendation's id. Changes nothing.
    std::vector<UsageEvent> interaction(QStringView kind, const QDateTime& now,
                                        const std::optional<QString>& recommendationID) const;

    // The context was lost (the app closed, the window went away, ...): ends the pending
    // observation with one "censored" event carrying the reason.
    std::vector<UsageEvent> lostContext(QStringView reason, const QDateTime& now);

    bool hasPending() const { return pending_.has_value(); }
    std::optional<QString> pendingID() const;

private:
    struct Pending {
        QString id;
        ObservedSetting target;
        std::optional<double> percent;
        QDateTime createdAt;
        std::optional<QString> thread;
        std::optional<ObservedSetting> shownSetting;
        UsageSnapshot last;
        // The most recent setting read, so that a reading without one is not taken for a change.
        std::optional<ObservedSetting> knownSetting;
        bool selected = false;
        std::optional<QDateTime> submittedAt;
        QString prompt;
        bool responseSeen = false;
    };

    UsageEvent event(const Pending& pending, QStringView kind, std::optional<QString> reason,
                     const QDateTime& now) const;
    std::vector<UsageEvent> end(QStringView reason, const QDateTime& now);
    std::vector<UsageEvent> progress(const UsageSnapshot& snapshot, qsizetype addedUserTurns,
                                     const std::optional<QString>& prompt, const QDateTime& now);

    double window_;
    std::function<QString()> makeID_;
    std::optional<Pending> pending_;
};

} // namespace quillmere
