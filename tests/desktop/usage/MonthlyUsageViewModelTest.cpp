// The texts of a verified report: which estimate label a row gets, what its detail lines say, and
// how the summaries and the note follow the report's counts and coverage. Each table row changes
// one thing of a plain report.

#include "desktop/usage/MonthlyUsageViewModel.h"

#include <functional>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::MonthlyUsage;

namespace {

const QLocale english(QLocale::English, QLocale::UnitedStates);

Request request() {
    Request r;
    r.month = QStringLiteral("2026-10");
    r.timeZone = QStringLiteral("UTC");
    r.asOf = QStringLiteral("2026-10-20T00:00:00.000Z");
    return r;
}

// A row observed at 02:00 with nothing estimated.
MonthlyUsage::Row plainRow() {
    MonthlyUsage::Row row;
    row.id = QStringLiteral("window-0001");
    row.scopeId = QStringLiteral("scope-aaaa");
    row.bucketId = QStringLiteral("bucket-0001");
    row.startsAt = QStringLiteral("2026-10-05T00:00:00.000Z");
    row.resetsAt = QStringLiteral("2026-10-05T05:00:00.000Z");
    row.coverage = QStringLiteral("partial_window");
    row.withQuillmere.usedPercent = 60;
    row.withQuillmere.status = QStringLiteral("no_observed_limit");
    row.withoutQuillmere.status = QStringLiteral("unknown");
    row.latestObservedAt = QStringLiteral("2026-10-05T02:00:00.000Z");
    return row;
}

Report plainReport() {
    Report report;
    report.coverage = QStringLiteral("partial_month");
    report.summary.windowCount = 1;
    report.summary.observedWindows = 1;
    report.summary.withQuillmere.statementCode = QStringLiteral("observed_period_only");
    report.summary.withoutQuillmere.statementCode = QStringLiteral("estimated_same_work_default");
    report.summary.withoutQuillmere.estimatedLimitEpisodes = 2;
    report.summary.withoutQuillmere.possibleLimitEpisodes = 3;
    report.windows = {plainRow()};
    return report;
}

void estimateAt(MonthlyUsage::Row& row, const QString& at) {
    row.withoutQuillmere.lowerUsedPercent = 90;
    row.withoutQuillmere.upperUsedPercent = 105;
    row.withoutQuillmere.estimateObservedAt = at;
}

} // namespace

TEST(MonthlyUsageViewModelRows, TheEstimateLabelAndTheDetailLines) {
    const QString latest = QStringLiteral("2026-10-05T02:00:00.000Z");
    const QString earlier = QStringLiteral("2026-10-05T01:00:00.000Z");
    const struct {
        const char* what;
        std::function<void(MonthlyUsage::Row&)> change;
        const char* estimated;
        const char* detail;
    } cases[] = {
        {"nothing estimated", [](MonthlyUsage::Row&) {}, "Estimated at default: —–—% · Not enough data",
         "Default: not recorded for this window\nActual sample: 5 Oct 2026, 2:00 AM · Estimate sample: Not "
         "observed\nFirst observed at limit: Not observed\nFirst estimated/possible limit observation: Not "
         "observed\nReset: 5 Oct 2026, 5:00 AM · Partial window"},
        {"estimated at the latest sample", [&](MonthlyUsage::Row& row) { estimateAt(row, latest); },
         "Estimated at default: 90%–105%", nullptr},
        {"the same moment written another way",
         [](MonthlyUsage::Row& row) { estimateAt(row, QStringLiteral("2026-10-05T02:00:00Z")); },
         "Estimated at default: 90%–105%", nullptr},
        {"estimated at an earlier sample", [&](MonthlyUsage::Row& row) { estimateAt(row, earlier); },
         "Historical estimate at default: 90%–105%", nullptr},
        {"an estimate with no latest sample",
         [&](MonthlyUsage::Row& row) {
             estimateAt(row, latest);
             row.latestObservedAt.reset();
         },
         "Historical estimate at default: 90%–105%", nullptr},
        {"an estimate whose moment does not parse",
         [](MonthlyUsage::Row& row) { estimateAt(row, QStringLiteral("2026-10-05T02:00:00.000")); },
         "Historical estimate at default: 90%–105%", nullptr},
        {"a lower bound only, at an earlier sample",
         [&](MonthlyUsage::Row& row) {
             estimateAt(row, earlier);
             row.withoutQuillmere.upperUsedPercent.reset();
         },
         "Historical estimate at default: —–—% · Not enough data", nullptr},
        {"no lower bound, at an earlier sample",
         [&](MonthlyUsage::Row& row) {
             estimateAt(row, earlier);
             row.withoutQuillmere.lowerUsedPercent.reset();
         },
         "Estimated at default: —–—% · Not enough data", nullptr},
        {"first estimated and first possible",
         [&](MonthlyUsage::Row& row) {
             row.withoutQuillmere.firstEstimatedReachedObservedAt = latest;
             row.withoutQuillmere.firstPossibleReachedObservedAt = earlier;
         },
         nullptr,
         "Default: not recorded for this window\nActual sample: 5 Oct 2026, 2:00 AM · Estimate sample: Not "
         "observed\nFirst observed at limit: Not observed\nFirst estimated/possible limit observation: 5 Oct "
         "2026, 2:00 AM\nReset: 5 Oct 2026, 5:00 AM · Partial window"},
        {"first possible only",
         [&](MonthlyUsage::Row& row) { row.withoutQuillmere.firstPossibleReachedObservedAt = earlier; },
         nullptr,
         "Default: not recorded for this window\nActual sample: 5 Oct 2026, 2:00 AM · Estimate sample: Not "
         "observed\nFirst observed at limit: Not observed\nFirst estimated/possible limit observation: 5 Oct "
         "2026, 1:00 AM\nReset: 5 Oct 2026, 5:00 AM · Partial window"},
        {"usage changed within the window",
         [](MonthlyUsage::Row& row) {
             row.issues = {QStringLiteral("usage_decreased_within_window")};
             row.coverage = QStringLiteral("complete_window");
             row.withQuillmere.firstReachedObservedAt = QStringLiteral("2026-10-05T01:00:00.000Z");
             row.baseline = Baseline{QStringLiteral("baseline-0001"), QStringLiteral("gpt-6.1-sol"),
                                     Effort::high, std::nullopt};
         },
         nullptr,
         "Frozen default: gpt-6.1-sol · high · speed unknown\nActual sample: 5 Oct 2026, 2:00 AM · Estimate "
         "sample: Not observed\nFirst observed at limit: 5 Oct 2026, 1:00 AM\nFirst estimated/possible limit "
         "observation: Not observed\nReset: 5 Oct 2026, 5:00 AM · Complete window · Usage changed within "
         "this "
         "window; comparison unavailable"},
    };
    for (const auto& c : cases) {
        Report report = plainReport();
        c.change(report.windows[0]);
        const MonthlyUsageViewModel model(request(), report, english);
        ASSERT_EQ(model.rows.size(), 1u) << c.what;
        if (c.estimated) {
            EXPECT_EQ(model.rows[0].estimated, QString::fromUtf8(c.estimated)) << c.what;
        }
        if (c.detail) {
            EXPECT_EQ(model.rows[0].detail, QString::fromUtf8(c.detail)) << c.what;
        }
    }
}

TEST(MonthlyUsageViewModelSummaries, CountsCoverageAndTheNote) {
    const QString partialNote = QStringLiteral("Partial history. Missing observations and usage elsewhere "
                                               "are unknown. Estimates are not measured or "
                                               "causal savings.");
    const QString completeNote = QStringLiteral(
        "Observed calendar month. Estimates describe the same work at your frozen default; they are not "
        "measured or causal savings.");
    const struct {
        const char* what;
        std::function<void(Report&)> change;
        const char* actual;
        const char* estimated;
        const QString& note;
    } cases[] = {
        {"a partial month", [](Report&) {},
         "0 newly observed limit episodes this month · 0 newly reached windows · "
         "during observed periods",
         "2 estimated episodes first indicated this month · 3 possible among estimable windows · 0 unknown "
         "windows",
         partialNote},
        {"a complete month",
         [](Report& r) {
             r.coverage = QStringLiteral("complete_month");
             r.summary.withQuillmere.observedLimitEpisodes = 1;
             r.summary.withQuillmere.observedLimitWindows = 2;
         },
         "1 newly observed limit episodes this month · 2 newly reached windows",
         "2 estimated episodes first indicated this month · 3 possible among estimable windows · 0 unknown "
         "windows",
         completeNote},
        {"unknown windows", [](Report& r) { r.summary.withoutQuillmere.unknownWindows = 3; }, nullptr,
         "2 estimated episodes first indicated this month · 3 possible among estimable windows · 3 windows "
         "unknown",
         partialNote},
        {"one unknown window", [](Report& r) { r.summary.withoutQuillmere.unknownWindows = 1; }, nullptr,
         "2 estimated episodes first indicated this month · 3 possible among estimable windows · 1 windows "
         "unknown",
         partialNote},
        {"nothing observed",
         [](Report& r) {
             r.coverage = QStringLiteral("complete_month");
             r.summary.observedWindows = 0;
             r.summary.withQuillmere.observedLimitEpisodes = 4;
             r.summary.withoutQuillmere.statementCode = QStringLiteral("insufficient_data");
         },
         "No quota observations yet", "Not enough quota data to estimate", completeNote},
    };
    for (const auto& c : cases) {
        Report report = plainReport();
        c.change(report);
        const MonthlyUsageViewModel model(request(), report, english);
        if (c.actual) {
            EXPECT_EQ(model.actualSummary, QString::fromUtf8(c.actual)) << c.what;
        }
        EXPECT_EQ(model.estimatedSummary, QString::fromUtf8(c.estimated)) << c.what;
        EXPECT_EQ(model.note, c.note) << c.what;
    }
}
