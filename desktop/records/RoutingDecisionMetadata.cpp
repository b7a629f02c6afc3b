#include "desktop/records/RoutingDecisionMetadata.h"

#include <QSet>

namespace quillmere {

namespace {

using Vocabulary = QSet<QString>;

const Vocabulary& decisions() {
    static const Vocabulary set{"suggest", "keep", "abstain"};
    return set;
}

const Vocabulary& taskCategories() {
    static const Vocabulary set{"simple", "medium", "complex", "very_complex"};
    return set;
}

const Vocabulary& routingSources() {
    static const Vocabulary set{"catalog", "catalog_escalated", "complexity_fallback"};
    return set;
}

const Vocabulary& taskIds() {
    static const Vocabulary set{"marketing.copy",
                                "marketing.funnel",
                                "marketing.gtm",
                                "writing.draft",
                                "writing.synthesis",
                                "writing.website",
                                "development.website",
                                "development.implementation",
                                "development.debug",
                                "development.architecture",
                                "sales.outreach",
                                "sales.pipeline",
                                "sales.strategy",
                                "support.reply",
                                "support.root_cause",
                                "support.system",
                                "product.stories",
                                "product.prioritize",
                                "product.strategy",
                                "operations.procedure",
                                "operations.bottleneck",
                                "operations.redesign",
                                "research.extract",
                                "research.compare",
                                "research.design",
                                "data.format",
                                "data.analyze",
                                "data.causal",
                                "education.lesson",
                                "education.misconceptions",
                                "education.curriculum",
                                "hr.description",
                                "hr.survey",
                                "hr.decision",
                                "finance.extract",
                                "finance.variance",
                                "finance.investment"};
    return set;
}

const Vocabulary& models() {
    static const Vocabulary set{"haiku",        "sonnet",        "opus",        "fable",
                                "gpt-5.6-luna", "gpt-5.6-terra", "gpt-5.6-sol", "gpt-6-luna",
                                "gpt-6-sol",    "gpt-6.1-sol",   "gpt-6-astra"};
    return set;
}

const Vocabulary& reasonCodes() {
    static const Vocabulary set{"already_fit",
                                "cost_basis_unavailable",
                                "non_saving_upgrade",
                                "lower_cost_or_effort_candidate",
                                "current_model_unknown",
                                "catalog_unavailable",
                                "missing_followup_context",
                                "assessor_uncertain",
                                "invalid_assessment",
                                "invalid_task_boundary",
                                "missing_source",
                                "ambiguous_instruction",
                                "unrecognized_operation"};
    return set;
}

const Vocabulary& schedulerReasons() {
    static const Vocabulary set{"waiting",
                                "quiet_period",
                                "no_context",
                                "partial_history",
                                "unsupported_attachment",
                                "routing_not_supported",
                                "insufficient_text",
                                "already_checked",
                                "setting_changed",
                                "available_settings_changed",
                                "task_changed",
                                "history_restored",
                                "five_turn_safety",
                                "same_task_skip",
                                "first_context_check",
                                "service_retry",
                                "service_retry_exhausted",
                                "unreadable_context",
                                "verifying_recovery",
                                "recovery_backoff"};
    return set;
}

std::optional<QString> kept(const std::optional<QString>& value, const Vocabulary& vocabulary) {
    if (value && vocabulary.contains(*value))
        return value;
    return std::nullopt;
}

} // namespace

std::optional<RoutingDecisionMetadata> RoutingDecisionMetadata::make(
    const QString& decision, const std::optional<QString>& taskCategory,
    const std::optional<QString>& routingSource, const std::optional<QString>& routedTaskId,
    const std::optional<QString>& recommendedModel, const std::optional<QString>& decisionReasonCode) {
    if (!decisions().contains(decision))
        return std::nullopt;
    RoutingDecisionMetadata metadata;
    metadata.decision = decision;
    metadata.taskCategory = kept(taskCategory, taskCategories());
    metadata.routingSource = kept(routingSource, routingSources());
    metadata.routedTaskId = kept(routedTaskId, taskIds());
    metadata.recommendedModel =
        decision == QLatin1String("abstain") ? std::nullopt : kept(recommendedModel, models());
    metadata.decisionReasonCode = kept(decisionReasonCode, reasonCodes());
    return metadata;
}

bool RoutingDecisionMetadata::isSchedulerReason(const QString& reason) {
    return schedulerReasons().contains(reason);
}

} // namespace quillmere
