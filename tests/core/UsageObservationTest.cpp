#include "core/UsageObservation.h"

#include <gtest/gtest.h>

#include <QUuid>

#include <limits>

using namespace quillmere;

namespace {

const ObservedSetting astraHigh{"gpt-6-astra", "high"};
const ObservedSetting lunaLow{"gpt-5.6-luna", "low"};
const ObservedSetting terraMedium{"gpt-5.6-terra", "medium"};

const QDateTime start = QDateTime(QDate(2026, 3, 1), QTime(12, 0, 0), Qt::UTC);
QDateTime at(double seconds) {
    return start.addMSecs(qint64(seconds * 1000));
}

ObservedTurn user(const char* text) {
    return {"user", QString::fromUtf8(text)};
}
ObservedTurn assistant(const char* text) {
    return {"assistant", QString::fromUtf8(text)};
}

UsageSnapshot snapshot(std::vector<ObservedTurn> turns, std::optional<ObservedSetting> setting = astraHigh,
                       bool generating = false) {
    UsageSnapshot s;
    s.provider = "openai";
    s.surface = "chat";
    s.thread = QStringLiteral("thread-1");
    s.turns = std::move(turns);
    s.setting = std::move(setting);
    s.complete = true;
    s.generating = generating;
    return s;
}

std::vector<QString> kinds(const std::vector<UsageEvent>& events) {
    std::vector<QString> out;
    for (const UsageEvent& event : events)
        out.push_back(event.reason ? event.kind + ":" + *event.reason : event.kind);
    return out;
}

using Kinds = std::vector<QString>;

// An observation with ids "R1", "R2", ... that has shown the luna recommendation on a
// conversation with one finished exchange, at time 0.
struct Fixture {
    int counter = 0;
    UsageObservation observation{300, [this] { return QStringLiteral("R%1").arg(++counter); }};
    std::vector<ObservedTurn> history{user("Hello there"), assistant("Hi, how can I help?")};

    Fixture() { observation.shown(lunaLow, 63, snapshot(history), at(0)); }

    std::vector<ObservedTurn> with(std::initializer_list<ObservedTurn> more) const {
        std::vector<ObservedTurn> turns = history;
        turns.insert(turns.end(), more);
        return turns;
    }
};

} // namespace

TEST(UsageEvent, JsonKeysInFieldOrderWithoutAbsentOptionals) {
    UsageEvent event;
    event.provider = "openai";
    event.surface = "chat";
    event.recommendationID = "R1";
    event.at = at(0.9);
    event.kind = "recommendation_shown";
    event.target = lunaLow;
    EXPECT_EQ(
        json::write(event.toJson()),
        QByteArray(R"({"schema":1,"mode":"collect_only","provider":"openai","surface":"chat",)"
                   R"("recommendationID":"R1","at":"2026-03-01T12:00:00Z","kind":"recommendation_shown",)"
                   R"("target":{"model":"gpt-5.6-luna","effort":"low"}})"));
    event.reason = "observation_gap";
    event.current = astraHigh;
    event.potentialPercent = 63;
    EXPECT_EQ(
        json::write(event.toJson()),
        QByteArray(R"({"schema":1,"mode":"collect_only","provider":"openai","surface":"chat",)"
                   R"("recommendationID":"R1","at":"2026-03-01T12:00:00Z","kind":"recommendation_shown",)"
                   R"("reason":"observation_gap","target":{"model":"gpt-5.6-luna","effort":"low"},)"
                   R"("current":{"model":"gpt-6-astra","effort":"high"},"potentialPercent":63})"));
    for (double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        event.potentialPercent = bad;
        EXPECT_FALSE(json::write(event.toJson()).contains("potentialPercent"));
    }
}

TEST(UsageObservationShown, StartsOncePerThreadAndReplacesAcrossThreads) {
    UsageObservation observation(300, [n = 0]() mutable { return QStringLiteral("R%1").arg(++n); });
    EXPECT_FALSE(observation.hasPending());
    EXPECT_TRUE(observation.observe(snapshot({}), at(0)).empty());

    const auto first = observation.shown(lunaLow, 63, snapshot({user("Hi")}), at(1));
    ASSERT_EQ(kinds(first), Kinds{"recommendation_shown"});
    EXPECT_EQ(first[0].recommendationID, QStringLiteral("R1"));
    EXPECT_EQ(first[0].current, astraHigh);
    EXPECT_EQ(first[0].potentialPercent, 63);
    EXPECT_EQ(first[0].at, at(1));
    EXPECT_EQ(first[0].provider, QStringLiteral("openai"));

    // Same thread, provider and surface: the running observation continues unchanged.
    EXPECT_TRUE(observation.shown(terraMedium, 20, snapshot({user("Hi")}), at(2)).empty());
    EXPECT_EQ(observation.pendingID(), QStringLiteral("R1"));

    UsageSnapshot other = snapshot({user("Hi")});
    other.thread = std::nullopt;
    const auto replaced = observation.shown(terraMedium, std::nullopt, other, at(3));
    EXPECT_EQ(kinds(replaced), (Kinds{"censored:recommendation_replaced", "recommendation_shown"}));
    EXPECT_EQ(replaced[0].recommendationID, QStringLiteral("R1"));
    EXPECT_EQ(replaced[1].recommendationID, QStringLiteral("R2"));
    EXPECT_EQ(replaced[1].target, terraMedium);
    EXPECT_EQ(replaced[1].potentialPercent, std::nullopt);
    // Both without a thread count as the same thread.
    EXPECT_TRUE(observation.shown(lunaLow, 1, other, at(4)).empty());
}

TEST(UsageObservationShown, DefaultIdsAreUpperCaseUuids) {
    UsageObservation observation(300);
    const auto events = observation.shown(lunaLow, 1, snapshot({}), at(0));
    ASSERT_EQ(events.size(), 1u);
    const QString id = events[0].recommendationID;
    EXPECT_EQ(id.size(), 36);
    EXPECT_EQ(id, id.toUpper());
    EXPECT_FALSE(QUuid::fromString(id).isNull());
}

TEST(UsageObservationInteraction, ApplyResultsNeedThePendingId) {
    UsageObservation idle(300);
    EXPECT_TRUE(idle.interaction(u"use_clicked", at(0), std::nullopt).empty());

    Fixture f;
    EXPECT_EQ(kinds(f.observation.interaction(u"use_clicked", at(1), std::nullopt)), Kinds{"use_clicked"});
    EXPECT_TRUE(f.observation.interaction(u"apply_verified", at(1), std::nullopt).empty());
    EXPECT_TRUE(f.observation.interaction(u"apply_failed", at(1), QStringLiteral("R9")).empty());
    EXPECT_EQ(kinds(f.observation.interaction(u"apply_failed", at(1), QStringLiteral("R1"))),
              Kinds{"apply_failed"});
    EXPECT_TRUE(f.observation.interaction(u"recommendation_shown", at(1), QStringLiteral("R1")).empty());
    EXPECT_TRUE(f.observation.interaction(u"USE_CLICKED", at(1), QStringLiteral("R1")).empty());
    EXPECT_TRUE(f.observation.hasPending());
}

TEST(UsageObservationLostContext, EndsThePendingObservationOnce) {
    Fixture f;
    const auto events = f.observation.lostContext(u"app_closed", at(5));
    EXPECT_EQ(kinds(events), Kinds{"censored:app_closed"});
    EXPECT_EQ(events[0].current, astraHigh);
    EXPECT_FALSE(f.observation.hasPending());
    EXPECT_TRUE(f.observation.lostContext(u"app_closed", at(6)).empty());
    EXPECT_TRUE(f.observation.observe(snapshot(f.history), at(7)).empty());
}

TEST(UsageObservationObserve, SelectSubmitAnswerAndReturnToTheOriginalSetting) {
    Fixture f;
    EXPECT_TRUE(f.observation.observe(snapshot(f.history), at(1)).empty());
    // A reading without the setting is not a change.
    EXPECT_TRUE(f.observation.observe(snapshot(f.history, std::nullopt), at(2)).empty());
    const auto selected = f.observation.observe(snapshot(f.history, lunaLow), at(3));
    EXPECT_EQ(kinds(selected), Kinds{"recommended_setting_selected"});
    EXPECT_EQ(selected[0].current, lunaLow);

    EXPECT_EQ(kinds(f.observation.observe(snapshot(f.with({user("Summarize the notes")}), lunaLow), at(4))),
              Kinds{"submission_observed"});
    // Still streaming: no answer yet.
    EXPECT_TRUE(
        f.observation
            .observe(snapshot(f.with({user("Summarize the notes"), assistant("Part")}), lunaLow, true), at(5))
            .empty());
    EXPECT_EQ(kinds(f.observation.observe(
                  snapshot(f.with({user("Summarize the notes"), assistant("Partial answer, done")}), lunaLow),
                  at(6))),
              Kinds{"response_observed"});

    const auto back = f.observation.observe(
        snapshot(f.with({user("Summarize the notes"), assistant("Partial answer, done")}), astraHigh), at(7));
    EXPECT_EQ(kinds(back), Kinds{"setting_changed"});
    const auto regret =
        f.observation.observe(snapshot(f.with({user("Summarize the notes"), assistant("Partial answer, done"),
                                               user(" Summarize  the notes ")}),
                                       astraHigh),
                              at(8));
    EXPECT_EQ(kinds(regret), Kinds{"possible_regret:same_request_returned_to_original_setting"});
    EXPECT_FALSE(f.observation.hasPending());
}

TEST(UsageObservationObserve, WhatFollowsAnAnswer) {
    struct Case {
        const char* text;
        QString expected;
    };
    for (const Case& c : {Case{"Make it shorter", "followup_observed"},
                          Case{"Plan a three day trip to the mountains with kids", "censored:new_task"},
                          Case{"Thanks!", "censored:ambiguous_outcome"}}) {
        Fixture f;
        f.observation.observe(snapshot(f.with({user("Summarize the notes")})), at(1));
        f.observation.observe(snapshot(f.with({user("Summarize the notes"), assistant("Done")})), at(2));
        const auto events = f.observation.observe(
            snapshot(f.with({user("Summarize the notes"), assistant("Done"), user(c.text)})), at(3));
        EXPECT_EQ(kinds(events), Kinds{c.expected}) << c.text;
        EXPECT_FALSE(f.observation.hasPending());
    }
}

TEST(UsageObservationObserve, SubmissionAndAnswerInOneReading) {
    Fixture f;
    EXPECT_EQ(kinds(f.observation.observe(snapshot(f.with({user("Summarize the notes"), assistant("Done")})),
                                          at(1))),
              (Kinds{"submission_observed", "response_observed"}));
}

TEST(UsageObservationObserve, ScrolledWindowsStillLineUp) {
    Fixture f;
    // The host now shows only the last turn and the new request.
    EXPECT_EQ(kinds(f.observation.observe(
                  snapshot({assistant("Hi, how can I help?"), user("Translate this")}), at(1))),
              Kinds{"submission_observed"});
}

TEST(UsageObservationObserve, ReadingsThatEndTheObservation) {
    struct Case {
        const char* name;
        std::function<UsageSnapshot(const Fixture&)> make;
        double time;
        QString expected;
    };
    const std::vector<Case> cases{
        {"window", [](const Fixture& f) { return snapshot(f.history); }, 300,
         "censored:observation_window_ended"},
        {"surface",
         [](const Fixture& f) {
             auto s = snapshot(f.history);
             s.surface = "work";
             return s;
         },
         1, "censored:surface_changed"},
        {"provider",
         [](const Fixture& f) {
             auto s = snapshot(f.history);
             s.provider = "claude";
             return s;
         },
         1, "censored:surface_changed"},
        {"thread",
         [](const Fixture& f) {
             auto s = snapshot(f.history);
             s.thread = std::nullopt;
             return s;
         },
         1, "censored:thread_changed"},
        {"incomplete",
         [](const Fixture& f) {
             auto s = snapshot(f.history);
             s.complete = false;
             return s;
         },
         1, "censored:unverified_context"},
        {"edited",
         [](const Fixture&) {
             return snapshot({user("Hello there, edited"), assistant("Hi")});
         },
         1, "censored:history_changed"},
        {"emptied", [](const Fixture&) { return snapshot({}); }, 1, "censored:history_changed"},
        {"missed",
         [](const Fixture& f) {
             return snapshot(f.with({user("One"), assistant("A"), user("Two")}));
         },
         1, "censored:missed_turns"},
        {"third setting",
         [](const Fixture& f) { return snapshot(f.with({user("Summarize it")}), terraMedium); }, 1,
         "censored:setting_changed_before_send"},
    };
    for (const Case& c : cases) {
        Fixture f;
        const auto events = f.observation.observe(c.make(f), at(c.time));
        const Kinds got = kinds(events);
        // A changed setting is reported before the send that ends the observation.
        EXPECT_EQ(got.back(), c.expected) << c.name;
        EXPECT_FALSE(f.observation.hasPending()) << c.name;
        if (c.expected != "censored:setting_changed_before_send") {
            ASSERT_EQ(events.size(), 1u) << c.name;
            // Ending events describe the context the observation last knew.
            EXPECT_EQ(events[0].surface, QStringLiteral("chat")) << c.name;
        }
    }
    Fixture early;
    EXPECT_TRUE(early.observation.observe(snapshot(early.history), at(299.9)).empty());
}

TEST(UsageObservationObserve, SecondRequestBeforeAnyAnswerIsAmbiguous) {
    Fixture f;
    f.observation.observe(snapshot(f.with({user("Summarize the notes")})), at(1));
    EXPECT_EQ(kinds(f.observation.observe(
                  snapshot(f.with({user("Summarize the notes"), user("Also the rest")})), at(2))),
              Kinds{"censored:ambiguous_outcome"});
}

TEST(UsageObservationObserve, UnusableTimesEndRatherThanExtend) {
    Fixture f;
    EXPECT_EQ(kinds(f.observation.observe(snapshot(f.history), QDateTime())),
              Kinds{"censored:observation_window_ended"});
    UsageObservation nanWindow(std::numeric_limits<double>::quiet_NaN());
    nanWindow.shown(lunaLow, 1, snapshot({}), at(0));
    EXPECT_EQ(kinds(nanWindow.observe(snapshot({}), at(1))), Kinds{"censored:observation_window_ended"});
}
