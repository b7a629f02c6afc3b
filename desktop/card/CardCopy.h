#pragma once

// The card's texts derived from a recommendation: pure functions of their inputs.

#include "desktop/records/Recommendation.h"

#include <QColor>
#include <QString>
#include <optional>

namespace quillmere::cardcopy {

struct ReasonCopy {
    QString summary;
    QString detail;
    friend bool operator==(const ReasonCopy&, const ReasonCopy&) = default;
};
// Splits a reason at " → ", else at a blank line, else at a line break, into a summary and details.
ReasonCopy recommendationCopy(const QString& reason);

// "Why: …" for the compact card.
QString compactReason(const Recommendation& recommendation);

// "Based on …" from the context the service was given.
QString contextUsageLine(const RecommendationContextUsage& usage);

// The savings chip: text and spoken label; none when the recommendation has no savings label.
struct SpokenText {
    QString text;
    QString accessibility;
    friend bool operator==(const SpokenText&, const SpokenText&) = default;
};
std::optional<SpokenText> savingsChip(const Recommendation& recommendation);

// The compact savings line for a shown recommendation.
SpokenText compactSavings(const Recommendation& recommendation, bool availabilityUnverified, bool stale);

// The savings chip's spoken text while the card is stale.
QString staleSavingsAccessibility(const Recommendation& recommendation);

// The ask panel's answer line.
QString askResultText(const Recommendation& recommendation);

// Compact title with a recommendation shown.
QString compactTitle(const Recommendation& recommendation, bool availabilityUnverified);

// The category line: trimmed labels of category and subcategory, empty ones dropped.
QString categoryLine(const Recommendation& recommendation);

// Whether a text is longer than `limit` characters (grapheme clusters, as people count them).
bool longerThan(const QString& text, qsizetype limit);

// Dot colour of a request-log row for an entry's status.
QColor requestLogDotColor(const QString& status);

// "A · B" of the non-empty parts.
QString joinedNonEmpty(const QString& first, const QString& second);

} // namespace quillmere::cardcopy
