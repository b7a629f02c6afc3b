#pragma once

// The OpenAI model and effort ladders, which models may be recommended on which surface, and the
// local routing rule that proposes a lighter setting for a short, simple request without asking
// the classification service.

#include "core/Json.h"

#include <QSet>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <optional>
#include <vector>

namespace quillmere {

// A host model setting as its picker offers it.
struct ObservedSetting {
    QString model;
    QString effort;

    bool operator==(const ObservedSetting&) const = default;

    // {"model": ..., "effort": ...}; both keys are always written.
    json::Value toJson() const;
};

namespace OpenAIRouting {

// The model ladder, lightest first.
const QStringList& models();
// The ladder without the models that only the work surface offers, order kept.
const QStringList& chatCandidateModels();
// The effort ladder, lightest first. Membership is exact and case-sensitive.
const QStringList& efforts();

// Whether a model may be recommended on a surface: any ladder model on exactly "work", otherwise
// only the chat candidates.
bool supportsRecommendationTarget(QStringView modelID, const std::optional<QString>& surfaceMode);

// The observed models that may be reported as available on the surface, in ladder order. Only a
// model the host actually showed is reported: a surface rule never adds one.
QStringList reportedModels(const std::optional<QString>& surfaceMode, const QSet<QString>& observed);

// The local routing rule. For a short simple request (a known opening such as "Summarize" or
// "Translate", or a request to draft or write an e-mail; no word that marks high stakes, deep
// analysis or code; at most 1500 characters) the lightest offered setting that is below the current
// one: a lighter or equal model at a lower or equal effort, not the current setting itself. None
// otherwise, and none when the current setting is not on the ladders.
std::optional<ObservedSetting> target(QStringView text, const ObservedSetting& current,
                                      const std::vector<ObservedSetting>& available);

} // namespace OpenAIRouting
} // namespace quillmere
