// The Claude side of the classification exchange: the classify request body and the answer
// decoder, both checked against the model-availability evidence the tracker read from the host's
// model picker.

#include "desktop/classification/ClassificationService.h"

#include "core/ClaudeModelSetting.h"
#include "core/Json.h"
#include "core/Text.h"
#include "desktop/classification/ContractDecoding.h"
#include "desktop/classification/RecommendationContext.h"

namespace quillmere {

namespace {

const QString acceptedPolicyV2 = QStringLiteral("task-catalog-live-v2");
const QString acceptedPolicyV1 = QStringLiteral("task-catalog-live-v1");

std::optional<QString> lowered(const std::optional<QString>& value) {
    if (!value)
        return std::nullopt;
    return text::lowercased(*value);
}

std::optional<ConversationTaxonomy> taxonomy(const QJsonObject& answer, const QString& key) {
    const auto object = contract::optionalObject(answer, key);
    if (!object)
        return std::nullopt;
    return ConversationTaxonomy{contract::requiredString(*object, QStringLiteral("id")),
                                contract::requiredString(*object, QStringLiteral("label"))};
}

} // namespace

void ClassificationService::validateClaudeCurrent(const Snapshot& snapshot, const Clock& clock) {
    if (snapshot.provider != AIProvider::claude || !snapshot.currentSettingKnown ||
        !snapshot.currentModelID ||
        !snapshot.claudeAvailability.allows(snapshot.currentModel, snapshot.currentModelID,
                                            snapshot.currentEffort, snapshot.currentExtended, clock.uptime()))
        throw ServiceError::availableSettingsUnavailable();
}

QByteArray ClassificationService::claudeRequestBody(const Snapshot& snapshot, const QString& installID,
                                                    bool haiku55Enabled, const Clock& clock) {
    validateClaudeCurrent(snapshot, clock);

    if (snapshot.currentModel == QLatin1String("haiku") &&
        !ClaudeModelSetting::isLegacyHaiku(QStringLiteral("haiku"), snapshot.currentModelID)) {
        const bool supported = haiku55Enabled && snapshot.currentModelID == ClaudeModelSetting::haiku55ID &&
                               snapshot.currentSettingKnown && !snapshot.currentExtended &&
                               ClaudeModelSetting::adaptiveEfforts().contains(snapshot.currentEffort);
        if (!supported)
            throw ServiceError::unsupportedCurrentSetting();
    }

    const RecommendationContext::Window window = RecommendationContext::window(snapshot);
    const bool hasUser = std::any_of(window.messages.begin(), window.messages.end(), [](const auto& message) {
        return message.role == QLatin1String("user");
    });
    if (!hasUser)
        throw ServiceError::contextTooLarge();
    const QString scope = RecommendationContext::scopeID(snapshot);

    json::Array messages;
    for (const auto& message : window.messages)
        messages.push_back(json::Object{{QStringLiteral("role"), message.role},
                                        {QStringLiteral("text"), message.text},
                                        {QStringLiteral("conversationId"), scope}});

    json::Array availableIDs;
    for (const QString& id : snapshot.availableModelIDs)
        if (id != ClaudeModelSetting::haiku45ID && (haiku55Enabled || id != ClaudeModelSetting::haiku55ID))
            availableIDs.push_back(id);

    json::Object body{
        {QStringLiteral("schemaVersion"), 3},
        {QStringLiteral("acceptedPolicyVersions"), json::Array{acceptedPolicyV2, acceptedPolicyV1}},
        {QStringLiteral("conversationId"), scope},
        {QStringLiteral("historyComplete"), window.historyComplete},
        {QStringLiteral("availableMessageCount"), window.availableMessageCount},
        {QStringLiteral("messages"), std::move(messages)},
        {QStringLiteral("currentModel"), snapshot.currentModel},
    };
    // The legacy Haiku is known to the service by its family alone.
    if (*snapshot.currentModelID != ClaudeModelSetting::haiku45ID)
        body.push_back({QStringLiteral("currentModelId"), *snapshot.currentModelID});
    body.push_back({QStringLiteral("availableModelIds"), std::move(availableIDs)});
    body.push_back({QStringLiteral("currentEffort"), snapshot.currentEffort});
    body.push_back({QStringLiteral("currentExtended"), snapshot.currentExtended});
    body.push_back({QStringLiteral("installId"), installID});
    body.push_back({QStringLiteral("provider"), QStringLiteral("claude")});
    body.push_back({QStringLiteral("surface"), QStringLiteral("claude-desktop")});
    if (haiku55Enabled)
        body.push_back(
            {QStringLiteral("clientCapabilities"), json::Array{ClaudeModelSetting::haiku55Capability}});
    if (*snapshot.currentModelID == ClaudeModelSetting::haiku55ID)
        body.push_back({QStringLiteral("currentReasoningMode"), QStringLiteral("adaptive-effort")});
    return json::write(body);
}

Recommendation ClassificationService::decodeClaude(const QByteArray& bytes, const Snapshot& snapshot,
                                                   const Clock& clock) {
    using namespace contract;
    const QJsonObject answer = parseObject(bytes);
    const auto decision = optionalString(answer, QStringLiteral("decision"));
    const auto recommendedModel = optionalString(answer, QStringLiteral("recommendedModel"));
    const auto recommendedModelId = optionalString(answer, QStringLiteral("recommendedModelId"));
    const auto recommendedEffort = optionalString(answer, QStringLiteral("recommendedEffort"));
    const auto recommendedExtended = optionalBool(answer, QStringLiteral("recommendedExtended"));
    const auto fitModel = optionalString(answer, QStringLiteral("fitModel"));
    const auto fitModelId = optionalString(answer, QStringLiteral("fitModelId"));
    const auto fitEffort = optionalString(answer, QStringLiteral("fitEffort"));
    const auto fitExtended = optionalBool(answer, QStringLiteral("fitExtended"));
    const auto reason = optionalString(answer, QStringLiteral("reason"));
    const auto potentialUsd = optionalNumber(answer, QStringLiteral("potentialUsd"));
    const auto potentialPct = optionalNumber(answer, QStringLiteral("potentialPct"));
    const auto savingsBasis = optionalString(answer, QStringLiteral("savingsBasis"));
    const auto savingsComparedTo = optionalString(answer, QStringLiteral("savingsComparedTo"));
    const auto plan = optionalString(answer, QStringLiteral("plan"));
    const auto planLabel = optionalString(answer, QStringLiteral("planLabel"));
    const auto alreadyEfficient = optionalBool(answer, QStringLiteral("alreadyEfficient"));
    const auto modelFitReason = optionalString(answer, QStringLiteral("modelFitReason"));
    const auto taskCategory = optionalString(answer, QStringLiteral("taskCategory"));
    const auto routingSource = optionalString(answer, QStringLiteral("routingSource"));
    const auto routedTaskId = optionalString(answer, QStringLiteral("routedTaskId"));
    const auto category = taxonomy(answer, QStringLiteral("category"));
    const auto subcategory = taxonomy(answer, QStringLiteral("subcategory"));
    // The answer's own context summary must be well formed, but the card shows the one computed
    // here from what was really sent.
    if (const auto usage = optionalObject(answer, QStringLiteral("contextUsage"))) {
        requiredInteger(*usage, QStringLiteral("messageCount"));
        requiredInteger(*usage, QStringLiteral("userMessageCount"));
        requiredInteger(*usage, QStringLiteral("assistantMessageCount"));
        requiredBool(*usage, QStringLiteral("historyComplete"));
    }

    if (decision == QLatin1String("abstain")) {
        if (recommendedModel || fitModel)
            throw ServiceError::missingRecommendation();
        throw ServiceError::abstained(cleanedReason(reason), std::nullopt);
    }
    const std::optional<QString> targetModel = recommendedModel ? recommendedModel : fitModel;
    if (!targetModel)
        throw ServiceError::missingRecommendation();
    const std::optional<QString> modelID = lowered(recommendedModelId ? recommendedModelId : fitModelId);
    const QString effort = text::lowercased(recommendedEffort.value_or(fitEffort.value_or(QString())));
    const bool extended = recommendedExtended.value_or(fitExtended.value_or(false));
    const QString model = text::lowercased(*targetModel);

    const RecommendationContext::Window window = RecommendationContext::window(snapshot);
    validateClaudeCurrent(snapshot, clock);

    const auto& evidence = snapshot.claudeAvailability;
    const std::optional<QString> resolvedID = evidence.resolvedID(model, modelID, clock.uptime());
    if (!resolvedID)
        throw ServiceError::availableSettingsUnavailable();
    if (!evidence.allows(model, resolvedID, effort, extended, clock.uptime()))
        throw ServiceError::availableSettingsUnavailable();
    if (!ClaudeModelSetting::supportsVersion(model, resolvedID))
        throw ServiceError::unsupportedCurrentSetting();
    if (model == QLatin1String("haiku")) {
        if (!ClaudeModelSetting::validHaikuTarget(resolvedID, effort, extended))
            throw ServiceError::unsupportedCurrentSetting();
        if (*resolvedID == ClaudeModelSetting::haiku55ID &&
            (!snapshot.currentSettingKnown ||
             !snapshot.availableModelIDs.contains(ClaudeModelSetting::haiku55ID)))
            throw ServiceError::availableSettingsUnavailable();
    }

    const bool matchesCurrent =
        snapshot.currentSettingKnown &&
        ClaudeModelSetting::matches(model, resolvedID, effort, extended,
                                    text::lowercased(snapshot.currentModel), lowered(snapshot.currentModelID),
                                    text::lowercased(snapshot.currentEffort), snapshot.currentExtended);

    Recommendation recommendation;
    recommendation.provider = AIProvider::claude;
    recommendation.model = *targetModel;
    recommendation.modelID = resolvedID;
    recommendation.effort = effort;
    recommendation.extended = extended;
    recommendation.reason = cleanedReason(reason);
    // No estimate is shown across Haiku 5.5 until its costs are settled.
    if (*resolvedID == ClaudeModelSetting::haiku55ID ||
        snapshot.currentModelID == ClaudeModelSetting::haiku55ID) {
        recommendation.potentialUSD = 0;
        recommendation.potentialPercent = std::nullopt;
    } else {
        recommendation.potentialUSD = potentialUsd.value_or(0);
        recommendation.potentialPercent = potentialPct;
    }
    recommendation.planLabel = planLabel ? *planLabel : plan ? *plan : QStringLiteral("Team");
    recommendation.alreadyEfficient =
        matchesCurrent && (alreadyEfficient ? *alreadyEfficient : !recommendedModel.has_value());
    recommendation.savingsBasis = savingsBasis;
    recommendation.savingsComparedTo = savingsComparedTo;

    Recommendation current;
    current.provider = AIProvider::claude;
    current.model = snapshot.currentModel;
    current.modelID = snapshot.currentModelID;
    current.effort = snapshot.currentEffort;
    current.extended = snapshot.currentExtended;
    recommendation.savingsBaselineSetting = current.displaySettingLabel();

    recommendation.modelFitReason = modelFitReason;
    recommendation.conversationCategory = category;
    recommendation.conversationSubcategory = subcategory;
    recommendation.contextUsage = RecommendationContext::usage(window);
    recommendation.routingDiagnostic = RoutingDecisionMetadata::make(
        !recommendedModel && matchesCurrent ? QStringLiteral("keep") : QStringLiteral("suggest"),
        taskCategory, routingSource, routedTaskId, model, std::nullopt);
    return recommendation;
}

bool ClassificationService::claudeRecommendationIsAvailable(const Recommendation& recommendation,
                                                            const Snapshot& snapshot, const Clock& clock) {
    if (recommendation.provider != AIProvider::claude)
        return false;
    try {
        validateClaudeCurrent(snapshot, clock);
    } catch (const ServiceError&) {
        return false;
    }
    return snapshot.claudeAvailability.allows(text::lowercased(recommendation.model), recommendation.modelID,
                                              recommendation.effort, recommendation.extended, clock.uptime());
}

} // namespace quillmere
