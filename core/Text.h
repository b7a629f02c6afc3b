#pragma once

// Unicode text rules shared by every component. The hosts' texts are compared and measured as
// people see them: a "character" is a grapheme cluster, white space is Unicode White_Space, and
// canonically equivalent strings (precomposed or decomposed accents) are the same text.

#include <QString>
#include <QStringList>
#include <QStringView>
#include <optional>

namespace quillmere::text {

// Unicode White_Space (tabs, line breaks, NBSP, U+2028, U+3000, ...).
bool isWhiteSpace(char32_t scalar);

// Number of grapheme clusters.
qsizetype characterCount(QStringView text);
// The first `count` grapheme clusters (all of the text when it has fewer).
QString characterPrefix(QStringView text, qsizetype count);
// The last `count` grapheme clusters.
QString characterSuffix(QStringView text, qsizetype count);

// Removes White_Space from both ends.
QString trimmed(QStringView text);
// Whether the text is empty or only White_Space: what trimmed(text).isEmpty() says, without making
// the trimmed copy.
bool isBlank(QStringView text);
// Splits on runs of White_Space, dropping empty pieces.
QStringList words(QStringView text);
// Trims and replaces every run of White_Space inside with one ASCII space.
QString collapseWhiteSpace(QStringView text);

// Canonical composition; equal texts compare equal whichever way their accents were typed.
QString canonical(QStringView text);
bool canonicallyEqual(QStringView a, QStringView b);

// Full Unicode lowercasing (one character may become several).
QString lowercased(QStringView text);

// A strict whole-number parse: an optional "+" or "-", then one or more ASCII digits, nothing
// else. Overflow of a signed 64-bit value gives none.
std::optional<qint64> parseInteger(QStringView text);

// Words delimited by spaces, tabs and line terminators get an upper-case first character and
// lower-case rest.
QString capitalized(QStringView text);

// The runs of characters (grapheme clusters) whose first scalar is a letter or a number, in order;
// combining marks stay with the letter they belong to.
QStringList letterOrNumberRuns(QStringView text);

// Whether the text contains a letter or a number in any script.
bool containsLetterOrNumber(QStringView text);

} // namespace quillmere::text
