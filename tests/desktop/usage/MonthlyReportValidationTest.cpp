// The report check on small months built for one rule each: episodes over overlapping windows, the
// as-of bound of an episode, accounts counted apart, a limit first reached in the month before, a
// month that is only complete once it is over, and the sample whose estimate a row shows. Each
// month comes with the report the service must send and the wrong reports that are refused.

#include "desktop/usage/MonthlyUsage.h"
#include "desktop/usage/MonthlyUsageTestSupport.h"

#include <QJsonArray>
#include <QJsonObject>
#include <functional>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::MonthlyUsage;
using quillmere::testing::baseline;
using quillmere::testing::estimate;
using quillmere::testing::sample;

namespace {

// Sets `value` at a dotted path ("withQuillmere.usedPercent") of a JSON object.
void put(QJsonObject& object, const QString& path, const QJsonValue& value) {
    const qsizetype dot = path.indexOf(u'.');
    if (dot < 0) {
        object.insert(path, value);
        return;
    }
    QJsonObject inner = object.value(path.left(dot)).toObject();
    put(inner, path.mid(dot + 1), value);
    object.insert(path.left(dot), inner);
}

using Fields = std::vector<std::pair<QString, QJsonValue>>;

QJsonObject with(QJsonObject object, const Fields& fields) {
    for (const auto& [path, value] : fields)
        put(object, path, value);
    return object;
}

QJsonValue baselineJson(const std::optional<Baseline>& value) {
    if (!value)
        return QJsonValue::Null;
    return QJsonObject{{"id", value->id},
                       {"model", value->model},
                       {"effort", value->effort ? QJsonValue(rawValue(*value->effort)) : QJsonValue()},
                       {"speed", value->speed ? QJsonValue(rawValue(*value->speed)) : QJsonValue()}};
}

// The row of a window that nothing was observed in; the cases set what their windows show.
QJsonObject row(const Window& window, const Fields& fields) {
    const QJsonObject plain{
        {"id", window.id},
        {"provider", rawValue(window.provider)},
        {"scopeId", window.scopeId},
        {"bucketId", window.bucketId},
        {"kind", rawValue(window.kind)},
        {"startsAt", window.startsAt},
        {"resetsAt", window.resetsAt},
        {"baseline", baselineJson(window.baseline)},
        {"coverage", "partial_window"},
        {"issues", QJsonArray{}},
        {"withQuillmere", QJsonObject{{"usedPercent", QJsonValue()}, {"status", "unknown"}}},
        {"withoutQuillmere", QJsonObject{{"status", "unknown"}}},
        {"latestObservedAt", QJsonValue()},
        {"newLimitEvent", QJsonObject{{"withQuillmere", false},
                                      {"withoutQuillmere", false},
                                      {"possibleWithoutQuillmere", false}}},
    };
    return with(plain, fields);
}

// A row whose latest in-month sample is at `at` with `used` percent and whose limit was first
// observed at `reached` (none when absent).
Fields observed(const QString& at, double used, const std::optional<QString>& reached = std::nullopt,
                bool newEvent = false) {
    return {{"latestObservedAt", at},
            {"withQuillmere.usedPercent", used},
            {"withQuillmere.status", reached ? "observed_reached" : "no_observed_limit"},
            {"withQuillmere.firstReachedObservedAt", reached ? QJsonValue(*reached) : QJsonValue()},
            {"newLimitEvent.withQuillmere", newEvent}};
}

Fields estimated(const char* status, double lower, double upper, const QString& at,
                 const std::optional<QString>& firstEstimated, const std::optional<QString>& firstPossible) {
    const auto text = [](const std::optional<QString>& value) {
        return value ? QJsonValue(*value) : QJsonValue();
    };
    return {{"coverage", "complete_window"},
            {"withoutQuillmere.status", status},
            {"withoutQuillmere.lowerUsedPercent", lower},
            {"withoutQuillmere.upperUsedPercent", upper},
            {"withoutQuillmere.estimateObservedAt", at},
            {"withoutQuillmere.basis", "provider_quota_units"},
            {"withoutQuillmere.provenance", "client_supplied_estimate"},
            {"withoutQuillmere.firstEstimatedReachedObservedAt", text(firstEstimated)},
            {"withoutQuillmere.firstPossibleReachedObservedAt", text(firstPossible)}};
}

Fields operator+(Fields a, const Fields& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The summary of rows with nothing estimated: every count that the case does not set is 0.
QJsonObject report(const Request& request, const std::vector<QJsonObject>& rows, const Fields& fields) {
    QJsonArray array;
    for (const QJsonObject& r : rows)
        array.append(r);
    const qint64 n = qint64(rows.size());
    const QJsonObject plain{
        {"schemaVersion", 1},
        {"reportVersion", "monthly-default-comparison-v1"},
        {"month", request.month},
        {"timeZone", request.timeZone},
        {"asOf", request.asOf},
        {"learningEnabled", false},
        {"comparison", "all_usage_vs_user_default"},
        {"causalSavingsClaim", false},
        {"storage", "client_local_only"},
        {"coverage", "partial_month"},
        {"summary", QJsonObject{{"withQuillmere", QJsonObject{{"observedLimitWindows", 0},
                                                              {"observedLimitEpisodes", 0},
                                                              {"statementCode", "observed_period_only"}}},
                                {"withoutQuillmere", QJsonObject{{"estimatedLimitWindows", 0},
                                                                 {"possibleAdditionalWindows", 0},
                                                                 {"estimatedLimitEpisodes", 0},
                                                                 {"possibleLimitEpisodes", 0},
                                                                 {"unknownWindows", n},
                                                                 {"statementCode", "insufficient_data"}}},
                                {"windowCount", n},
                                {"observedWindows", n},
                                {"monthlyUsedPercent", QJsonValue()},
                                {"caveats", QJsonArray{}}}},
        {"windows", array},
    };
    return with(plain, fields);
}

Request requestFor(std::vector<Window> windows,
                   const QString& asOf = QStringLiteral("2026-10-20T00:00:00.000Z"),
                   const QString& zone = QStringLiteral("UTC")) {
    Request request;
    request.month = QStringLiteral("2026-10");
    request.timeZone = zone;
    request.asOf = asOf;
    request.windows = std::move(windows);
    return request;
}

Window limitWindow(const QString& id, const QString& scope, const QString& bucket, const QString& start,
                   const QString& reset, std::vector<Sample> samples) {
    Window w = quillmere::testing::window(id, start, reset, std::move(samples), scope);
    w.bucketId = bucket;
    return w;
}

// One window of a day in October reached at `reachedAt` (used 100 there).
Window reachedWindow(const QString& n, const QString& scope, const QString& start, const QString& reset,
                     const QString& reachedAt) {
    return limitWindow("window-" + n, scope, "bucket-" + n, start, reset,
                       {sample("sample-" + n, reachedAt, 100)});
}

struct Month {
    const char* name;
    Request request;
    QJsonObject answer;
    // Other answers to the same request, each refused.
    std::vector<std::pair<const char*, QJsonObject>> wrong;
};

bool accepted(const QJsonObject& answer, const Request& request) {
    try {
        validatedReport(quillmere::testing::bytes(answer), request);
        return true;
    } catch (const Invalid&) {
        return false;
    }
}

void expectJudged(const std::vector<Month>& months) {
    for (const Month& month : months) {
        EXPECT_TRUE(accepted(month.answer, month.request)) << month.name;
        for (const auto& [name, answer] : month.wrong)
            EXPECT_FALSE(accepted(answer, month.request)) << month.name << ": " << name;
    }
}

const QString day = QStringLiteral("2026-10-05T");

QString at(const char* time) {
    return day + QLatin1String(time) + QStringLiteral(".000Z");
}

// Three windows of one account, each reached once; every row is a new limit of the month.
QJsonObject reachedRow(const Window& window) {
    return row(window, observed(window.samples[0].at, 100, window.samples[0].at, true));
}

Fields observedCounts(qint64 windows, qint64 episodes) {
    return {{"summary.withQuillmere.observedLimitWindows", windows},
            {"summary.withQuillmere.observedLimitEpisodes", episodes}};
}

} // namespace

TEST(MonthlyReportEpisodes, OverlappingLimitPeriodsOfOneAccountCountOnce) {
    std::vector<Month> months;
    {
        // Reached at 10:00 (reset 15:00) and 12:00 (reset 20:00): one episode; reached exactly at
        // 20:00, when the second ends: a second one.
        const std::vector<Window> windows = {
            reachedWindow("0001", "scope-aaaa", at("09:00:00"), at("15:00:00"), at("10:00:00")),
            reachedWindow("0002", "scope-aaaa", at("11:00:00"), at("20:00:00"), at("12:00:00")),
            reachedWindow("0003", "scope-aaaa", at("19:00:00"), at("23:00:00"), at("20:00:00"))};
        const Request request = requestFor(windows);
        const std::vector<QJsonObject> rows = {reachedRow(windows[0]), reachedRow(windows[1]),
                                               reachedRow(windows[2])};
        months.push_back({"overlapping and adjoining periods",
                          request,
                          report(request, rows, observedCounts(3, 2)),
                          {{"every window an episode", report(request, rows, observedCounts(3, 3))},
                           {"one episode", report(request, rows, observedCounts(3, 1))}}});
    }
    {
        // The same instants in two accounts: two episodes, one per account.
        const std::vector<Window> windows = {
            reachedWindow("0001", "scope-aaaa", at("09:00:00"), at("15:00:00"), at("10:00:00")),
            reachedWindow("0002", "scope-bbbb", at("09:00:00"), at("15:00:00"), at("10:00:00"))};
        const Request request = requestFor(windows);
        const std::vector<QJsonObject> rows = {reachedRow(windows[0]), reachedRow(windows[1])};
        months.push_back(
            {"two accounts",
             request,
             report(request, rows, observedCounts(2, 2)),
             {{"accounts of one provider counted together", report(request, rows, observedCounts(2, 1))}}});
    }
    {
        // An episode lasts until the as-of instant at most (plus a millisecond): a limit reached
        // exactly at as-of joins the open episode, one reached a millisecond later is a new one,
        // although both windows are still open.
        const QString asOf = at("12:00:00");
        for (const auto& [later, episodes] : {std::pair{asOf, 1}, std::pair{day + "12:00:00.001Z", 2}}) {
            const std::vector<Window> windows = {
                reachedWindow("0001", "scope-aaaa", at("09:00:00"), at("15:00:00"), at("10:00:00")),
                reachedWindow("0002", "scope-aaaa", at("09:30:00"), at("16:00:00"), later)};
            const Request request = requestFor(windows, asOf);
            const std::vector<QJsonObject> rows = {reachedRow(windows[0]), reachedRow(windows[1])};
            months.push_back({episodes == 1 ? "reached at as-of" : "reached a millisecond after as-of",
                              request,
                              report(request, rows, observedCounts(2, episodes)),
                              {{"the other count", report(request, rows, observedCounts(2, 3 - episodes))}}});
        }
    }
    {
        // Reached at the last second of September in Jerusalem (UTC+3), still at the limit in
        // October: no episode and no new limit of October, though the window spans both months.
        Window window = limitWindow("window-0001", "scope-aaaa", "bucket-0001", "2026-09-30T20:00:00.000Z",
                                    "2026-10-07T20:00:00.000Z",
                                    {sample("sample-0001", "2026-09-30T20:59:59.000Z", 100),
                                     sample("sample-0002", "2026-09-30T21:00:00.000Z", 100)});
        const Request request = requestFor({window}, "2026-10-20T00:00:00.000Z", "Asia/Jerusalem");
        const QJsonObject right = row(
            window, observed("2026-09-30T21:00:00.000Z", 100, QStringLiteral("2026-09-30T20:59:59.000Z")));
        QJsonObject newEvent = right;
        put(newEvent, "newLimitEvent.withQuillmere", true);
        months.push_back(
            {"reached in the month before",
             request,
             report(request, {right}, {}),
             {{"an episode of October", report(request, {right}, observedCounts(1, 1))},
              {"a new limit of October", report(request, {newEvent}, observedCounts(1, 0))},
              {"a new limit and an episode of October", report(request, {newEvent}, observedCounts(1, 1))}}});
    }
    expectJudged(months);
}

// A month is complete only once it is over as of the request, however complete its windows are.
TEST(MonthlyReportCoverage, AMonthIsCompleteOnlyWhenItIsOverAsOfTheRequest) {
    Window window = limitWindow("window-0001", "scope-aaaa", "bucket-0001", at("00:00:00"), at("05:00:00"),
                                {sample("sample-0001", at("01:00:00"), 40)});
    window.coverageComplete = true;
    const QJsonObject observedRow =
        with(row(window, observed(at("01:00:00"), 40)), {{"coverage", "complete_window"}});
    const Fields complete = {{"coverage", "complete_month"},
                             {"summary.withQuillmere.statementCode", "complete_month_observation"}};
    std::vector<Month> months;
    for (const auto& [asOf, over] :
         {std::pair{"2026-10-31T23:59:59.999Z", false}, std::pair{"2026-11-01T00:00:00.000Z", true},
          std::pair{"2026-12-15T00:00:00.000Z", true}}) {
        Request request = requestFor({window}, QString::fromLatin1(asOf));
        request.coverage.completeForMonth = true;
        const QJsonObject partialAnswer = report(request, {observedRow}, {});
        const QJsonObject completeAnswer = report(request, {observedRow}, complete);
        months.push_back({asOf,
                          request,
                          over ? completeAnswer : partialAnswer,
                          {{"the other coverage", over ? partialAnswer : completeAnswer}}});
    }
    // Over, but the request does not claim its history complete.
    const Request unclaimed = requestFor({window}, QStringLiteral("2026-11-01T00:00:00.000Z"));
    months.push_back({"not claimed complete",
                      unclaimed,
                      report(unclaimed, {observedRow}, {}),
                      {{"complete", report(unclaimed, {observedRow}, complete)}}});
    expectJudged(months);
}

// The estimate a row shows is the latest in-month sample's when it has one, else the first
// sample estimated at the limit, else the first possibly at the limit.
TEST(MonthlyReportEstimates, TheShownEstimateComesFromTheRightSample) {
    const auto completeWindow = [](std::vector<Sample> samples) {
        Window w = limitWindow("window-0001", "scope-aaaa", "bucket-0001", at("00:00:00"), at("05:00:00"),
                               std::move(samples));
        w.baseline = baseline();
        w.coverageComplete = true;
        return w;
    };
    const Fields oneEstimable = {{"summary.withoutQuillmere.unknownWindows", 0},
                                 {"summary.withoutQuillmere.statementCode", "estimated_same_work_default"}};
    const Fields estimatedOnce = oneEstimable + Fields{{"summary.withoutQuillmere.estimatedLimitWindows", 1},
                                                       {"summary.withoutQuillmere.estimatedLimitEpisodes", 1},
                                                       {"summary.withoutQuillmere.possibleLimitEpisodes", 1}};
    std::vector<Month> months;
    {
        // The latest sample has no estimate; an earlier one is possibly at the limit.
        const Window w = completeWindow({sample("sample-0001", at("01:00:00"), 40, estimate(90, 100)),
                                         sample("sample-0002", at("02:00:00"), 60)});
        const Request request = requestFor({w});
        const Fields shown =
            observed(at("02:00:00"), 60) +
            estimated("possibly_reached", 90, 100, at("01:00:00"), std::nullopt, at("01:00:00")) +
            Fields{{"newLimitEvent.possibleWithoutQuillmere", true}};
        const Fields counts = oneEstimable + Fields{{"summary.withoutQuillmere.possibleAdditionalWindows", 1},
                                                    {"summary.withoutQuillmere.possibleLimitEpisodes", 1}};
        months.push_back(
            {"possibly at the limit earlier",
             request,
             report(request, {row(w, shown)}, counts),
             {{"no estimate shown",
               report(request,
                      {row(w, shown + Fields{{"withoutQuillmere.lowerUsedPercent", QJsonValue()},
                                             {"withoutQuillmere.upperUsedPercent", QJsonValue()},
                                             {"withoutQuillmere.estimateObservedAt", QJsonValue()}})},
                      counts)}}});
    }
    {
        // The latest sample has its own estimate (below the limit); an earlier one was estimated
        // at the limit. The row shows the latest one's, and is still estimated at the limit.
        const Window w = completeWindow({sample("sample-0001", at("01:00:00"), 40, estimate(105, 120)),
                                         sample("sample-0002", at("02:00:00"), 60, estimate(50, 60))});
        const Request request = requestFor({w});
        const Fields events = {{"newLimitEvent.withoutQuillmere", true}};
        const auto shown = [&](double lower, double upper, const QString& from) {
            return row(
                w, observed(at("02:00:00"), 60) +
                       estimated("estimated_reached", lower, upper, from, at("01:00:00"), at("01:00:00")) +
                       events);
        };
        months.push_back({"the latest sample's own estimate",
                          request,
                          report(request, {shown(50, 60, at("02:00:00"))}, estimatedOnce),
                          {{"the earlier sample's estimate",
                            report(request, {shown(105, 120, at("01:00:00"))}, estimatedOnce)}}});
    }
    {
        // No estimate on the latest sample; possibly at the limit at 01:00, estimated at the limit
        // at 02:00: the row shows the 02:00 estimate.
        const Window w = completeWindow({sample("sample-0001", at("01:00:00"), 40, estimate(90, 110)),
                                         sample("sample-0002", at("02:00:00"), 50, estimate(100, 110)),
                                         sample("sample-0003", at("03:00:00"), 60)});
        const Request request = requestFor({w});
        const auto shown = [&](double lower, const QString& from) {
            return row(w,
                       observed(at("03:00:00"), 60) +
                           estimated("estimated_reached", lower, 110, from, at("02:00:00"), at("01:00:00")) +
                           Fields{{"newLimitEvent.withoutQuillmere", true}});
        };
        months.push_back({"estimated at the limit after possibly at it",
                          request,
                          report(request, {shown(100, at("02:00:00"))}, estimatedOnce),
                          {{"the possibly-at-the-limit sample's estimate",
                            report(request, {shown(90, at("01:00:00"))}, estimatedOnce)}}});
    }
    expectJudged(months);
}
