#pragma once

// ISO-8601 UTC timestamps as the stored files and peers exchange them:
// "2026-12-06T17:07:01Z" and "2026-12-06T17:07:01.123Z".

#include <QDateTime>
#include <QString>
#include <optional>

namespace quillmere::isotime {

// Whole seconds, "Z" suffix; the fraction is dropped, not rounded. Empty for an invalid time.
QString format(const QDateTime& time);
// Milliseconds, "Z" suffix. Empty for an invalid time.
QString formatWithMilliseconds(const QDateTime& time);
// Accepts exactly the whole-second form (ASCII digits, upper-case "T" and "Z", no offset, real
// calendar date and time of day); anything else gives none. The result is in UTC.
std::optional<QDateTime> parse(const QString& text);
// Accepts exactly the millisecond form (three fraction digits); anything else gives none.
std::optional<QDateTime> parseWithMilliseconds(const QString& text);

// Seconds since 2001-01-01 00:00:00 UTC, the reference date of the stored memory files.
// NaN for an invalid time.
double secondsSinceReferenceDate(const QDateTime& time);
// Millisecond precision; an invalid QDateTime for NaN, infinities and absurd magnitudes.
QDateTime fromSecondsSinceReferenceDate(double seconds);

} // namespace quillmere::isotime
