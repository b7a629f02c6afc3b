#pragma once

// ISO-8601 UTC timestamps as the stored files and peers exchange them:
// "2026-12-06T17:07:01Z" and "2026-12-06T17:07:01.123Z".

#include <QDateTime>
#include <QString>
#include <optional>

namespace quillmere::isotime {

// Whole seconds, "Z" suffix; the fraction is dropped, not rounded.
QString format(const QDateTime& time);
// Milliseconds, "Z" suffix.
QString formatWithMilliseconds(const QDateTime& time);
// Accepts exactly the whole-second form; anything else gives none.
std::optional<QDateTime> parse(const QString& text);
// Accepts exactly the millisecond form; anything else gives none.
std::optional<QDateTime> parseWithMilliseconds(const QString& text);

// Seconds since 2001-01-01 00:00:00 UTC, the reference date of the stored memory files.
double secondsSinceReferenceDate(const QDateTime& time);
QDateTime fromSecondsSinceReferenceDate(double seconds);

} // namespace quillmere::isotime
