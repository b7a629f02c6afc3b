#include "core/IsoTime.h"

#include <QRegularExpression>
#include <QTimeZone>
#include <cmath>

namespace quillmere::isotime {

namespace {

// 2001-01-01T00:00:00Z in milliseconds since the Unix epoch.
constexpr qint64 referenceDateMilliseconds = 978'307'200'000;
// Beyond this many seconds (about 3 million years) from the reference date a value is garbage.
constexpr double largestReferenceOffset = 1e14;

QString formatFields(const QDateTime& time, bool withMilliseconds) {
    if (!time.isValid())
        return {};
    const QDateTime utc = time.toUTC();
    const QDate date = utc.date();
    const QTime clock = utc.time();
    QString text = QString::asprintf("%04d-%02d-%02dT%02d:%02d:%02d", date.year(), date.month(), date.day(),
                                     clock.hour(), clock.minute(), clock.second());
    if (withMilliseconds)
        text += QString::asprintf(".%03d", clock.msec());
    text += u'Z';
    return text;
}

// ASCII digits only: \d would also take other scripts' digits.
const QRegularExpression& wholeSecondPattern() {
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        QStringLiteral("([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})Z")));
    return pattern;
}

const QRegularExpression& millisecondPattern() {
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        QStringLiteral("([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})\\.([0-9]{3})Z")));
    return pattern;
}

std::optional<QDateTime> parseWith(const QRegularExpression& pattern, const QString& text,
                                   bool withMilliseconds) {
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    auto field = [&match](int index) { return match.capturedView(index).toInt(); };
    const QDate date(field(1), field(2), field(3));
    // QTime accepts 0-23, 0-59, 0-59 only: a leap second or 24:00 is refused.
    const QTime clock(field(4), field(5), field(6), withMilliseconds ? field(7) : 0);
    if (!date.isValid() || !clock.isValid())
        return std::nullopt;
    return QDateTime(date, clock, Qt::UTC);
}

} // namespace

QString format(const QDateTime& time) {
    return formatFields(time, false);
}

QString formatWithMilliseconds(const QDateTime& time) {
    return formatFields(time, true);
}

std::optional<QDateTime> parse(const QString& text) {
    return parseWith(wholeSecondPattern(), text, false);
}

std::optional<QDateTime> parseWithMilliseconds(const QString& text) {
    return parseWith(millisecondPattern(), text, true);
}

double secondsSinceReferenceDate(const QDateTime& time) {
    if (!time.isValid())
        return std::nan("");
    return double(time.toMSecsSinceEpoch() - referenceDateMilliseconds) / 1000.0;
}

QDateTime fromSecondsSinceReferenceDate(double seconds) {
    if (!std::isfinite(seconds) || std::fabs(seconds) > largestReferenceOffset)
        return {};
    const qint64 milliseconds = qint64(std::llround(seconds * 1000.0));
    return QDateTime::fromMSecsSinceEpoch(referenceDateMilliseconds + milliseconds, Qt::UTC);
}

} // namespace quillmere::isotime
