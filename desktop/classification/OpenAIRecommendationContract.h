#pragma once

// The OpenAI side of the classification exchange: the work cost table the application recomputes
// savings from, so that a percentage is never shown on the service's word alone, and the
// "Standard rate reference" line built from a savings label.

#include <QString>
#include <optional>

namespace quillmere::OpenAIRecommendationContract {

// Relative cost of one OpenAI model in the work example; none for a model outside the table.
std::optional<double> workExampleCost(const QString& model);

// The saving of `to` against `from` in percent with one decimal, halves away from zero; none
// without a baseline, for a model outside the table, or when the target is not cheaper.
std::optional<double> estimatedSavings(const std::optional<QString>& from, const QString& to);

// "Standard rate reference: <target> (Standard) vs <baseline> (Standard) · <percent> lower".
QString standardRateReference(const QString& target, const QString& baseline, const QString& percent);

} // namespace quillmere::OpenAIRecommendationContract
