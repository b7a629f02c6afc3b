#include "desktop/usage/MonthlyUsageViewModel.h"

#include <QDateTime>
#include <cmath>

namespace quillmere {

using namespace MonthlyUsage;

namespace {

const QString separator = QStringLiteral(" · ");
const QString noRange = QStringLiteral("—–—% · Not enough data");

struct Texts {
    QTimeZone zone;
    QLocale locale;

    QString time(const std::optional<QString>& text) const {
        const auto instant = text ? date(*text) : std::nullopt;
        if (!instant)
            return QStringLiteral("Not observed");
        const QDateTime local = QDateTime::fromMSecsSinceEpoch(*instant, Qt::UTC).toTimeZone(zone);
        // The locale's short time without seconds: samples are never finer than that to a reader.
        QString timeFormat = locale.timeFormat(QLocale::ShortFormat);
        timeFormat.remove(QLatin1String(":ss"));
        return locale.toString(local.date(), QStringLiteral("d MMM yyyy")) + QStringLiteral(", ") +
               locale.toString(local.time(), timeFormat);
    }

    QString title(Provider provider, Kind kind, const QString& startsAt) const {
        static const char* kinds[] = {"Session window", "Weekly window", "Model weekly window",
                                      "Usage window"};
        return QString::fromLatin1(provider == Provider::openai ? "OpenAI" : "Claude") + separator +
               QString::fromLatin1(kinds[int(kind)]) + separator + time(startsAt);
    }
};

QString baselineText(const std::optional<Baseline>& baseline) {
    if (!baseline)
        return QStringLiteral("Default: not recorded for this window");
    return QStringLiteral("Frozen default: ") + baseline->model + separator +
           (baseline->effort ? rawValue(*baseline->effort) : QStringLiteral("effort unknown")) + separator +
           (baseline->speed ? rawValue(*baseline->speed) : QStringLiteral("speed unknown"));
}

MonthlyUsageViewModel::Row reportRow(const Texts& texts, const MonthlyUsage::Row& row) {
    const auto& estimated = row.withoutQuillmere;
    MonthlyUsageViewModel::Row out;
    out.title = texts.title(row.provider, row.kind, row.startsAt);
    out.actual = QStringLiteral("Actual: ") +
                 MonthlyUsageViewModel::percent(row.withQuillmere.usedPercent, texts.locale);
    const QString range = estimated.lowerUsedPercent && estimated.upperUsedPercent
                              ? MonthlyUsageViewModel::percent(estimated.lowerUsedPercent, texts.locale) +
                                    u'–' +
                                    MonthlyUsageViewModel::percent(estimated.upperUsedPercent, texts.locale)
                              : noRange;
    const auto estimateMoment =
        estimated.estimateObservedAt ? date(*estimated.estimateObservedAt) : std::nullopt;
    const auto latestMoment = row.latestObservedAt ? date(*row.latestObservedAt) : std::nullopt;
    const bool historical = estimated.lowerUsedPercent && estimateMoment != latestMoment;
    out.estimated =
        QString::fromLatin1(historical ? "Historical estimate at default" : "Estimated at default") +
        QStringLiteral(": ") + range;
    out.detail =
        baselineText(row.baseline) + QStringLiteral("\nActual sample: ") + texts.time(row.latestObservedAt) +
        QStringLiteral(" · Estimate sample: ") + texts.time(estimated.estimateObservedAt) +
        QStringLiteral("\nFirst observed at limit: ") + texts.time(row.withQuillmere.firstReachedObservedAt) +
        QStringLiteral("\nFirst estimated/possible limit observation: ") +
        texts.time(estimated.firstEstimatedReachedObservedAt ? estimated.firstEstimatedReachedObservedAt
                                                             : estimated.firstPossibleReachedObservedAt) +
        QStringLiteral("\nReset: ") + texts.time(row.resetsAt) + separator +
        QString::fromLatin1(row.coverage == QLatin1String("complete_window") ? "Complete window"
                                                                             : "Partial window");
    if (!row.issues.isEmpty())
        out.detail += QStringLiteral(" · Usage changed within this window; comparison unavailable");
    return out;
}

MonthlyUsageViewModel::Row windowRow(const Texts& texts, const Window& window,
                                     const QString& requestedMonth) {
    const Sample* latest = nullptr;
    std::optional<qint64> latestAt;
    for (auto it = window.samples.rbegin(); it != window.samples.rend(); ++it) {
        const auto at = date(it->at);
        if (at && month(*at, texts.zone) == requestedMonth) {
            latest = &*it;
            latestAt = at;
            break;
        }
    }
    const Sample* firstLimit = nullptr;
    if (latest)
        for (const Sample& sample : window.samples) {
            const auto at = date(sample.at);
            if (at && *at <= *latestAt && sample.usedPercent >= 100.0) {
                firstLimit = &sample;
                break;
            }
        }
    MonthlyUsageViewModel::Row out;
    out.title = texts.title(window.provider, window.kind, window.startsAt);
    out.actual = QStringLiteral("Actual: ") +
                 MonthlyUsageViewModel::percent(latest ? std::optional(latest->usedPercent) : std::nullopt,
                                                texts.locale);
    out.estimated = QStringLiteral("Estimated at default: ") + noRange;
    out.detail = baselineText(window.baseline) + QStringLiteral("\nActual sample: ") +
                 texts.time(latest ? std::optional(latest->at) : std::nullopt) +
                 QStringLiteral("\nFirst observed at limit: ") +
                 texts.time(firstLimit ? std::optional(firstLimit->at) : std::nullopt) +
                 QStringLiteral("\nReset: ") + texts.time(window.resetsAt) +
                 QStringLiteral(" · Partial window");
    return out;
}

} // namespace

QString MonthlyUsageViewModel::percent(std::optional<double> value, const QLocale& locale) {
    if (!value || !std::isfinite(*value))
        return QStringLiteral("—%");
    QLocale plain = locale;
    plain.setNumberOptions(QLocale::OmitGroupSeparator);
    QString text = plain.toString(*value, 'f', 1);
    const QString zeroFraction = plain.decimalPoint() + plain.zeroDigit();
    if (text.endsWith(zeroFraction))
        text.chop(zeroFraction.size());
    if (text == QString(plain.negativeSign() + plain.zeroDigit()))
        text = plain.zeroDigit();
    return text + u'%';
}

MonthlyUsageViewModel::MonthlyUsageViewModel(const Request& request, const std::optional<Report>& report,
                                             const QLocale& locale) {
    const Texts texts{knownZone(request.timeZone).value_or(QTimeZone::utc()), locale};
    const QString none = QStringLiteral("No quota observations yet");
    if (!report) {
        actualSummary = request.windows.empty()
                            ? none
                            : QStringLiteral("Observed percentages below · Episode report not available");
        estimatedSummary = QStringLiteral("Not enough quota data to estimate");
        note = QStringLiteral(
            "No verified usage source is connected in this version. Percentages are per window; "
            "they are never summed into a monthly percentage.");
        rows.reserve(request.windows.size());
        for (const Window& window : request.windows)
            rows.push_back(windowRow(texts, window, request.month));
        return;
    }
    const Summary& summary = report->summary;
    const bool completeMonth = report->coverage == QLatin1String("complete_month");
    if (summary.observedWindows == 0)
        actualSummary = none;
    else
        actualSummary = QString::number(summary.withQuillmere.observedLimitEpisodes) +
                        QStringLiteral(" newly observed limit episodes this month · ") +
                        QString::number(summary.withQuillmere.observedLimitWindows) +
                        QStringLiteral(" newly reached windows") +
                        (completeMonth ? QString() : QStringLiteral(" · during observed periods"));
    const auto& estimated = summary.withoutQuillmere;
    if (estimated.statementCode == QLatin1String("insufficient_data"))
        estimatedSummary = QStringLiteral("Not enough quota data to estimate");
    else
        estimatedSummary =
            QString::number(estimated.estimatedLimitEpisodes) +
            QStringLiteral(" estimated episodes first indicated this month · ") +
            QString::number(estimated.possibleLimitEpisodes) +
            (estimated.unknownWindows < 1
                 ? QStringLiteral(" possible among estimable windows · 0 unknown windows")
                 : QStringLiteral(" possible among estimable windows · ") +
                       QString::number(estimated.unknownWindows) + QStringLiteral(" windows unknown"));
    note = completeMonth
               ? QStringLiteral("Observed calendar month. Estimates describe the same work at your frozen "
                                "default; they are not measured or causal savings.")
               : QStringLiteral("Partial history. Missing observations and usage elsewhere are unknown. "
                                "Estimates are not measured or causal savings.");
    rows.reserve(report->windows.size());
    for (const MonthlyUsage::Row& row : report->windows)
        rows.push_back(reportRow(texts, row));
}

} // namespace quillmere
