#pragma once

// How the classification service says it routed a conversation, kept only as closed vocabularies:
// a value is accepted only when it is one of the known codes, so nothing free-form from the
// service reaches the card's diagnostics.

#include <QString>
#include <optional>

namespace quillmere {

struct RoutingDecisionMetadata {
    QString decision; // "suggest", "keep" or "abstain"
    std::optional<QString> taskCategory;
    std::optional<QString> routingSource;
    std::optional<QString> routedTaskId;
    std::optional<QString> recommendedModel;
    std::optional<QString> decisionReasonCode;

    // The validating constructor both answer decoders use: none when the decision is not one of
    // the three known ones; every other value outside its table is dropped on its own, and an
    // abstention never names a model. Matching is exact and case-sensitive.
    static std::optional<RoutingDecisionMetadata>
    make(const QString& decision, const std::optional<QString>& taskCategory = std::nullopt,
         const std::optional<QString>& routingSource = std::nullopt,
         const std::optional<QString>& routedTaskId = std::nullopt,
         const std::optional<QString>& recommendedModel = std::nullopt,
         const std::optional<QString>& decisionReasonCode = std::nullopt);

    // The cadence's reason codes the diagnostics accept; anything else becomes "unknown".
    static bool isSchedulerReason(const QString& reason);

    friend bool operator==(const RoutingDecisionMetadata&, const RoutingDecisionMetadata&) = default;

private:
    RoutingDecisionMetadata() = default;
};

} // namespace quillmere
