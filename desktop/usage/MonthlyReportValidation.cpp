// The client never shows a monthly report it cannot reproduce from its own request: every row
// status, timestamp, event flag, count and statement code is recomputed here, and the first
// disagreement refuses the whole report. Nothing is corrected, clamped or partly accepted.

#include "desktop/usage/MonthlyUsage.h"

#include <QHash>
#include <QSet>
#include <algorithm>
#include <cmath>

namespace quillmere::MonthlyUsage {

namespace {

[[noreturn]] void refuse() {
    throw Invalid(Invalid::response);
}
void require(bool condition) {
    if (!condition)
        refuse();
}

// Two optional timestamps name the same instant: both absent, or both present and parsing to the
// same instant.
bool sameInstant(const std::optional<QString>& text, const Sample* sample) {
    if (!text || !sample)
        return !text && !sample;
    const auto a = date(*text);
    const auto b = date(sample->at);
    return a && b && *a == *b;
}

bool inVocabulary(const QString& text, std::initializer_list<const char*> values) {
    for (const char* value : values)
        if (text == QLatin1String(value))
            return true;
    return false;
}

struct Context {
    const Request& request;
    QTimeZone zone;
    qint64 asOf;

    bool inMonth(const Sample* sample) const {
        if (!sample)
            return false;
        const auto at = date(sample->at);
        return at && month(*at, zone) == request.month;
    }
};

// Limit episodes over one timestamp of the rows: per account, overlapping limit periods count once.
template <typename Select>
qint64 episodes(const Context& context, const std::vector<Row>& rows, Select select) {
    struct Interval {
        qint64 start;
        qint64 end;
    };
    QHash<QString, std::vector<Interval>> groups;
    for (const Row& row : rows) {
        const std::optional<QString>& text = select(row);
        if (!text)
            continue;
        const auto at = date(*text);
        if (!at || month(*at, context.zone) != context.request.month)
            continue;
        const auto reset = date(row.resetsAt);
        if (!reset)
            continue;
        const qint64 afterAsOf = context.asOf + 1;
        groups[rawValue(row.provider) + u'|' + row.scopeId].push_back(
            {*at, afterAsOf < *reset ? afterAsOf : *reset});
    }
    qint64 count = 0;
    for (auto& intervals : groups) {
        std::stable_sort(intervals.begin(), intervals.end(), [](const Interval& a, const Interval& b) {
            return a.start != b.start ? a.start < b.start : a.end < b.end;
        });
        qint64 cursor = std::numeric_limits<qint64>::min();
        for (const Interval& interval : intervals) {
            if (interval.start >= cursor)
                ++count;
            if (interval.end >= cursor)
                cursor = interval.end;
        }
    }
    return count;
}

// The row's own form, before it is matched to any window. Returns its (start, reset) instants.
std::pair<qint64, qint64> checkRowForm(const Row& row) {
    require(validID(row.id) && validID(row.scopeId) && validID(row.bucketId));
    const auto start = date(row.startsAt);
    const auto reset = date(row.resetsAt);
    require(start && reset);
    require(validBaseline(row.baseline));
    const auto& used = row.withQuillmere.usedPercent;
    require(!used || (std::isfinite(*used) && *used >= 0 && *used <= 100));
    return {*start, *reset};
}

// The merged window the row stands for (merged windows are unique per window key).
const Window& checkMatchingWindow(const Row& row, const QString& key, const std::vector<Window>& merged,
                                  const QHash<QString, qsizetype>& mergedByKey) {
    const auto found = mergedByKey.constFind(key);
    require(found != mergedByKey.constEnd());
    const Window& window = merged[size_t(*found)];
    require(window.baseline == row.baseline);
    return window;
}

// The index of the latest sample of the requested month, or -1.
qsizetype latestInMonth(const Context& context, const std::vector<Sample>& samples) {
    for (qsizetype i = qsizetype(samples.size()) - 1; i >= 0; --i)
        if (context.inMonth(&samples[size_t(i)]))
            return i;
    return -1;
}

// The row's used percentage and latest observation are the latest in-month sample's.
void checkLatestObservation(const Row& row, const Sample* latestSample) {
    const auto& used = row.withQuillmere.usedPercent;
    if (latestSample)
        require(used && *used == latestSample->usedPercent);
    else
        require(!used);
    require(sameInstant(row.latestObservedAt, latestSample));
}

// The observed run is every sample up to the latest in-month one; a later sample at the same
// instant would itself be in the month, so the run ends right after it.
struct ObservedRun {
    qsizetype end = 0;
    bool decrease = false;
    const Sample* firstLimit = nullptr;
};

ObservedRun observedRun(const std::vector<Sample>& samples, qsizetype latest) {
    ObservedRun run;
    run.end = latest + 1;
    for (qsizetype i = 0; i < run.end; ++i) {
        const Sample& sample = samples[size_t(i)];
        if (i > 0 && sample.usedPercent < samples[size_t(i - 1)].usedPercent)
            run.decrease = true;
        if (!run.firstLimit && sample.usedPercent >= 100)
            run.firstLimit = &sample;
    }
    return run;
}

// Returns whether the window counts as complete.
bool checkCoverage(const Row& row, const Window& window, const ObservedRun& run) {
    const bool complete = window.coverageComplete && !run.decrease;
    require(row.coverage == QLatin1String(complete ? "complete_window" : "partial_window"));
    return complete;
}

void checkObservedLimit(const Context& context, const Row& row, const Sample* firstLimit,
                        const Sample* latestSample) {
    require(sameInstant(row.withQuillmere.firstReachedObservedAt, firstLimit));
    const char* expectedActual = firstLimit     ? "observed_reached"
                                 : latestSample ? "no_observed_limit"
                                                : "unknown";
    require(row.withQuillmere.status == QLatin1String(expectedActual));
    require(row.newLimitEvent.withQuillmere == (firstLimit && context.inMonth(firstLimit)));
}

// A window listed twice is refused whatever the spelling of its instants.
void checkListedOnce(const QString& key, QSet<QString>& seenKeys, QSet<QString>& rowKeys) {
    require(!seenKeys.contains(key));
    seenKeys.insert(key);
    rowKeys.insert(key);
}

void checkRowVocabularies(const Row& row) {
    require(inVocabulary(row.coverage, {"complete_window", "partial_window"}));
    require(inVocabulary(row.withQuillmere.status, {"observed_reached", "no_observed_limit", "unknown"}));
    require(inVocabulary(row.withoutQuillmere.status,
                         {"estimated_reached", "possibly_reached", "estimated_below_limit", "unknown"}));
}

// The samples the estimate rests on; an estimate exists only for a complete window.
struct EstimateSources {
    const Sample* firstEstimated = nullptr;
    const Sample* firstPossible = nullptr;
    const Estimate* current = nullptr;
    // The sample whose estimate the row shows.
    const Sample* source = nullptr;
};

EstimateSources estimateSources(const std::vector<Sample>& samples, const ObservedRun& run,
                                const Sample* latestSample, bool complete) {
    EstimateSources sources;
    if (complete) {
        for (qsizetype i = 0; i < run.end; ++i) {
            const Sample& sample = samples[size_t(i)];
            if (!sample.withoutQuillmere)
                continue;
            if (!sources.firstEstimated && sample.withoutQuillmere->lowerUsedPercent >= 100)
                sources.firstEstimated = &sample;
            if (!sources.firstPossible && sample.withoutQuillmere->upperUsedPercent >= 100)
                sources.firstPossible = &sample;
        }
        if (latestSample && latestSample->withoutQuillmere)
            sources.current = &*latestSample->withoutQuillmere;
    }
    sources.source = sources.current          ? latestSample
                     : sources.firstEstimated ? sources.firstEstimated
                                              : sources.firstPossible;
    return sources;
}

const char* expectedEstimateStatus(const EstimateSources& sources) {
    const Estimate* current = sources.current;
    return sources.firstEstimated             ? "estimated_reached"
           : sources.firstPossible            ? "possibly_reached"
           : !current                         ? "unknown"
           : current->lowerUsedPercent >= 100 ? "estimated_reached"
           : current->upperUsedPercent >= 100 ? "possibly_reached"
                                              : "estimated_below_limit";
}

// Issues, then the estimated status.
void checkIssuesAndEstimatedStatus(const Row& row, bool decrease, const char* expectedEstimate) {
    if (decrease)
        require(row.issues == QStringList{QStringLiteral("usage_decreased_within_window")});
    else
        require(row.issues.isEmpty());
    require(row.withoutQuillmere.status == QLatin1String(expectedEstimate));
}

// The shown estimate is the source sample's, exactly.
void checkShownEstimateSource(const Row::Estimated& estimated, const EstimateSources& sources) {
    const Sample* source = sources.source;
    if (!estimated.lowerUsedPercent) {
        require(!source && !estimated.upperUsedPercent);
    } else {
        require(source && estimated.upperUsedPercent);
        require(*estimated.lowerUsedPercent == source->withoutQuillmere->lowerUsedPercent &&
                *estimated.upperUsedPercent == source->withoutQuillmere->upperUsedPercent);
    }
    require(sameInstant(estimated.estimateObservedAt, source));
    require(sameInstant(estimated.firstEstimatedReachedObservedAt, sources.firstEstimated));
    require(sameInstant(estimated.firstPossibleReachedObservedAt, sources.firstPossible));
}

// Estimated limit events of this month.
void checkEstimatedEvents(const Context& context, const Row& row, const EstimateSources& sources) {
    require(row.newLimitEvent.withoutQuillmere == context.inMonth(sources.firstEstimated));
    require(row.newLimitEvent.possibleWithoutQuillmere ==
            (sources.firstEstimated ? false : context.inMonth(sources.firstPossible)));
}

// An estimate is shown only where it may be.
void checkEstimateAllowed(const Row& row, const Window& window) {
    const auto& estimated = row.withoutQuillmere;
    if (!estimated.lowerUsedPercent) {
        require(estimated.status == QLatin1String("unknown"));
        return;
    }
    const double lower = *estimated.lowerUsedPercent;
    const double upper = *estimated.upperUsedPercent;
    require(std::isfinite(lower) && std::isfinite(upper) && lower >= 0 && lower <= upper &&
            upper <= 100000.0);
    require(estimated.status != QLatin1String("unknown"));
    require(row.coverage == QLatin1String("complete_window"));
    require(row.baseline.has_value());
    require(estimated.provenance == QStringLiteral("client_supplied_estimate"));
    require(estimated.basis &&
            inVocabulary(*estimated.basis, {"provider_quota_units", "paired_quota_measurements"}));
    require(window.coverageComplete);
    const auto shownAt = estimated.estimateObservedAt ? date(*estimated.estimateObservedAt) : std::nullopt;
    require(shownAt.has_value());
    const bool backed = std::any_of(window.samples.begin(), window.samples.end(), [&](const Sample& sample) {
        return sample.withoutQuillmere && date(sample.at) == shownAt &&
               sample.withoutQuillmere->lowerUsedPercent == lower &&
               sample.withoutQuillmere->upperUsedPercent == upper;
    });
    require(backed);
}

// Every check of one row, in the order they are made; the first that fails refuses the report.
void checkRow(const Context& context, const Row& row, const std::vector<Window>& merged,
              const QHash<QString, qsizetype>& mergedByKey, QSet<QString>& seenKeys, QSet<QString>& rowKeys) {
    const auto [start, reset] = checkRowForm(row);
    const QString key = windowKey(row.provider, row.scopeId, row.bucketId, start, reset);
    const Window& window = checkMatchingWindow(row, key, merged, mergedByKey);

    // Merged samples already stand in canonical text sorted by (at, id), which is time order.
    const std::vector<Sample>& samples = window.samples;
    const qsizetype latest = latestInMonth(context, samples);
    const Sample* latestSample = latest >= 0 ? &samples[size_t(latest)] : nullptr;
    checkLatestObservation(row, latestSample);

    const ObservedRun run = observedRun(samples, latest);
    const bool complete = checkCoverage(row, window, run);
    checkObservedLimit(context, row, run.firstLimit, latestSample);
    checkListedOnce(key, seenKeys, rowKeys);
    checkRowVocabularies(row);

    const EstimateSources sources = estimateSources(samples, run, latestSample, complete);
    checkIssuesAndEstimatedStatus(row, run.decrease, expectedEstimateStatus(sources));
    checkShownEstimateSource(row.withoutQuillmere, sources);
    checkEstimatedEvents(context, row, sources);
    checkEstimateAllowed(row, window);
}

// The report's header; returns the as-of instant of the request.
qint64 checkHeader(const Report& report, const Request& request) {
    require(request.schemaVersion == 1);
    const auto asOf = date(request.asOf);
    require(asOf.has_value());
    require(report.schemaVersion == 1 &&
            report.reportVersion == QLatin1String("monthly-default-comparison-v1"));
    require(report.month == request.month && report.timeZone == request.timeZone);
    require(date(report.asOf) == asOf);
    require(!report.learningEnabled && !report.causalSavingsClaim &&
            report.comparison == QLatin1String("all_usage_vs_user_default") &&
            report.storage == QLatin1String("client_local_only"));
    require(!report.summary.monthlyUsedPercent);
    require(inVocabulary(report.coverage, {"no_data", "partial_month", "complete_month"}));
    return *asOf;
}

// The summary's form, before any row is examined.
void checkSummaryForm(const Summary& summary, qint64 rowCount) {
    require(summary.windowCount == rowCount && rowCount <= maximumWindows);
    const auto& actual = summary.withQuillmere;
    const auto& estimated = summary.withoutQuillmere;
    for (const qint64 count :
         {summary.observedWindows, actual.observedLimitWindows, actual.observedLimitEpisodes,
          estimated.estimatedLimitWindows, estimated.possibleAdditionalWindows,
          estimated.estimatedLimitEpisodes, estimated.possibleLimitEpisodes, estimated.unknownWindows})
        require(count >= 0 && count <= rowCount);
    require(actual.observedLimitEpisodes <= actual.observedLimitWindows &&
            actual.observedLimitWindows <= summary.observedWindows);
    require(estimated.estimatedLimitEpisodes <= estimated.estimatedLimitWindows);
    require(estimated.estimatedLimitEpisodes <= estimated.possibleLimitEpisodes);
    require(inVocabulary(actual.statementCode,
                         {"no_data", "complete_month_observation", "observed_period_only"}));
    require(inVocabulary(estimated.statementCode, {"insufficient_data", "estimated_same_work_default"}));
}

// Each row against its window; returns the keys of the windows the rows stand for.
QSet<QString> checkRows(const Context& context, const std::vector<Row>& rows,
                        const std::vector<Window>& merged) {
    QHash<QString, qsizetype> mergedByKey;
    mergedByKey.reserve(qsizetype(merged.size()));
    for (qsizetype i = 0; i < qsizetype(merged.size()); ++i) {
        const Window& window = merged[size_t(i)];
        mergedByKey.insert(windowKey(window.provider, window.scopeId, window.bucketId, *date(window.startsAt),
                                     *date(window.resetsAt)),
                           i);
    }
    QSet<QString> seenKeys;
    QSet<QString> rowKeys;
    for (const Row& row : rows)
        checkRow(context, row, merged, mergedByKey, seenKeys, rowKeys);
    return rowKeys;
}

// The rows are exactly the windows that touch the month.
void checkTouchingWindows(const Context& context, const std::vector<Window>& merged,
                          const QSet<QString>& rowKeys) {
    QSet<QString> touching;
    for (const Window& window : merged) {
        const qint64 start = *date(window.startsAt);
        const qint64 reset = *date(window.resetsAt);
        if (touchesMonth(start, reset, context.request.month, context.zone))
            touching.insert(windowKey(window.provider, window.scopeId, window.bucketId, start, reset));
    }
    require(touching == rowKeys);
}

// The summary against the rows.
void checkSummaryAgainstRows(const Context& context, const Report& report) {
    const Summary& summary = report.summary;
    const auto& actual = summary.withQuillmere;
    const auto& estimated = summary.withoutQuillmere;
    const qint64 rowCount = qint64(report.windows.size());
    qint64 observedRows = 0, unknownRows = 0, completeRows = 0, observedEvents = 0, estimatedEvents = 0,
           possibleEvents = 0;
    for (const Row& row : report.windows) {
        observedRows += row.latestObservedAt.has_value();
        unknownRows += row.withoutQuillmere.status == QLatin1String("unknown");
        completeRows += row.coverage == QLatin1String("complete_window");
        observedEvents += row.newLimitEvent.withQuillmere;
        estimatedEvents += row.newLimitEvent.withoutQuillmere;
        possibleEvents += row.newLimitEvent.possibleWithoutQuillmere;
    }
    const bool completeMonth = context.request.coverage.completeForMonth &&
                               context.request.month < month(context.asOf, context.zone) && rowCount >= 1 &&
                               observedRows == rowCount && completeRows == rowCount;
    const qint64 observedEpisodes =
        episodes(context, report.windows, [](const Row& row) -> const std::optional<QString>& {
            return row.withQuillmere.firstReachedObservedAt;
        });
    const qint64 estimatedEpisodes =
        episodes(context, report.windows, [](const Row& row) -> const std::optional<QString>& {
            return row.withoutQuillmere.firstEstimatedReachedObservedAt;
        });
    const qint64 possibleEpisodes =
        episodes(context, report.windows, [](const Row& row) -> const std::optional<QString>& {
            return row.withoutQuillmere.firstPossibleReachedObservedAt;
        });

    require(summary.observedWindows == observedRows && estimated.unknownWindows == unknownRows);
    require(actual.observedLimitEpisodes == observedEpisodes);
    require(estimated.estimatedLimitEpisodes == estimatedEpisodes);
    require(estimated.possibleLimitEpisodes == std::max(estimatedEpisodes, possibleEpisodes));
    require(actual.observedLimitWindows == observedEvents &&
            estimated.estimatedLimitWindows == estimatedEvents &&
            estimated.possibleAdditionalWindows == possibleEvents);
    const char* expectedCoverage = completeMonth                  ? "complete_month"
                                   : summary.observedWindows >= 1 ? "partial_month"
                                                                  : "no_data";
    require(report.coverage == QLatin1String(expectedCoverage));
    const char* expectedActual = summary.observedWindows == 0 ? "no_data"
                                 : completeMonth              ? "complete_month_observation"
                                                              : "observed_period_only";
    require(actual.statementCode == QLatin1String(expectedActual));
    const bool estimable = summary.observedWindows != 0 && estimated.unknownWindows != rowCount;
    require(estimated.statementCode ==
            QLatin1String(estimable ? "estimated_same_work_default" : "insufficient_data"));
}

} // namespace

Report validatedReport(const QByteArray& body, const Request& request) {
    // Decoding and merging pass their own errors on.
    Report report = decodeReport(body);
    const std::vector<Window> merged = mergedWindows(request.windows);

    const qint64 asOf = checkHeader(report, request);
    checkSummaryForm(report.summary, qint64(report.windows.size()));
    const auto zone = knownZone(request.timeZone);
    require(zone.has_value());
    const Context context{request, *zone, asOf};

    const QSet<QString> rowKeys = checkRows(context, report.windows, merged);
    checkTouchingWindows(context, merged, rowKeys);
    checkSummaryAgainstRows(context, report);
    return report;
}

} // namespace quillmere::MonthlyUsage
