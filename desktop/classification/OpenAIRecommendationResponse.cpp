#include "core/ModelControlLabel.h"
#include "core/OpenAIRouting.h"
#include "core/Text.h"
#include "desktop/classification/ContractDecoding.h"
#include "desktop/classification/OpenAILegacyResponseGuard.h"
#include "desktop/classification/OpenAIRecommendationContract.h"
#include "desktop/classification/RecommendationContext.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <cmath>

namespace quillmere::OpenAIRecommendationContract {

namespace {

const QString workSavingsBasis = QStringLiteral("chatgpt-work-standard-10k-input-2k-output-v1");
constexpr qsizetype reasonLimit = 2000;
constexpr qsizetype fitReasonLimit = 500;
constexpr double savingsTolerance = 0.001;

struct Response {
    qint64 schemaVersion = 0;
    QString provider;
    QString decision;
    std::optional<Request::Setting> setting;
    QString reason;
    bool requiresVerification = false;
    std::optional<double> potentialPct;
    std::optional<QString> savingsBasis;
    std::optional<QString> savingsComparedTo;
    std::optional<QString> modelFitReason;
    std::optional<QString> taskCategory;
    std::optional<QString> routingSource;
    std::optional<QString> routedTaskId;
    std::optional<QString> decisionReasonCode;
    std::optional<ConversationTaxonomy> category;
    std::optional<ConversationTaxonomy> subcategory;
};

std::optional<ConversationTaxonomy> taxonomy(const QJsonObject& object, const QString& key) {
    const auto value = contract::optionalObject(object, key);
    if (!value)
        return std::nullopt;
    return ConversationTaxonomy{contract::requiredString(*value, QStringLiteral("id")),
                                contract::requiredString(*value, QStringLiteral("label"))};
}

Response decodeResponse(const QJsonObject& object) {
    using namespace contract;
    Response response;
    response.schemaVersion = requiredInteger(object, QStringLiteral("schemaVersion"));
    response.provider = requiredString(object, QStringLiteral("provider"));
    response.decision = requiredString(object, QStringLiteral("decision"));
    if (const auto setting = optionalObject(object, QStringLiteral("setting")))
        response.setting = Request::Setting{requiredString(*setting, QStringLiteral("model")),
                                            requiredString(*setting, QStringLiteral("effort"))};
    response.reason = requiredString(object, QStringLiteral("reason"));
    response.requiresVerification = requiredBool(object, QStringLiteral("requiresVerification"));
    response.potentialPct = optionalNumber(object, QStringLiteral("potentialPct"));
    response.savingsBasis = optionalString(object, QStringLiteral("savingsBasis"));
    response.savingsComparedTo = optionalString(object, QStringLiteral("savingsComparedTo"));
    response.modelFitReason = optionalString(object, QStringLiteral("modelFitReason"));
    response.taskCategory = optionalString(object, QStringLiteral("taskCategory"));
    response.routingSource = optionalString(object, QStringLiteral("routingSource"));
    response.routedTaskId = optionalString(object, QStringLiteral("routedTaskId"));
    response.decisionReasonCode = optionalString(object, QStringLiteral("decisionReasonCode"));
    response.category = taxonomy(object, QStringLiteral("category"));
    response.subcategory = taxonomy(object, QStringLiteral("subcategory"));
    if (const auto usage = optionalObject(object, QStringLiteral("contextUsage"))) {
        requiredInteger(*usage, QStringLiteral("messageCount"));
        requiredInteger(*usage, QStringLiteral("userMessageCount"));
        requiredInteger(*usage, QStringLiteral("assistantMessageCount"));
        requiredBool(*usage, QStringLiteral("historyComplete"));
        requiredString(*usage, QStringLiteral("scope"));
    }
    return response;
}

std::optional<QString> cleanedFitReason(const std::optional<QString>& reason) {
    if (!reason)
        return std::nullopt;
    const QString trimmed = text::trimmed(*reason);
    if (trimmed.isEmpty() || text::characterCount(trimmed) > fitReasonLimit)
        return std::nullopt;
    return trimmed;
}

} // namespace

Outcome decode(const QByteArray& body, const Snapshot& snapshot) {
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        throw DecodingError(QStringLiteral("dataCorrupted(") + parseError.errorString() + QLatin1Char(')'));
    const QJsonValue parsed =
        document.isObject() ? QJsonValue(document.object()) : QJsonValue(document.array());
    // Speed and billing claims are refused before anything else is read, even in an answer that
    // would not decode.
    if (OpenAILegacyResponseGuard::issue(parsed))
        throw Invalid(Invalid::Case::incompatibleSpeedOrBilling);
    if (!document.isObject())
        throw DecodingError(QStringLiteral("typeMismatch(top level is not an object)"));
    const Response response = decodeResponse(document.object());

    if (snapshot.provider != AIProvider::openAI ||
        (response.schemaVersion != 2 && response.schemaVersion != 3) ||
        response.provider != QLatin1String("openai"))
        throw Invalid(Invalid::Case::schema);

    const QString reason = text::trimmed(response.reason);
    if (reason.isEmpty() || text::characterCount(reason) > reasonLimit)
        throw Invalid(Invalid::Case::reason);

    if (response.decision == QLatin1String("abstain")) {
        if (response.setting || response.requiresVerification)
            throw Invalid(Invalid::Case::decision);
        Outcome outcome;
        outcome.outcomeCase = Outcome::Case::abstain;
        outcome.reason = reason;
        outcome.metadata = RoutingDecisionMetadata::make(QStringLiteral("abstain"), response.taskCategory,
                                                         response.routingSource, response.routedTaskId,
                                                         std::nullopt, response.decisionReasonCode);
        return outcome;
    }
    const bool keep = response.decision == QLatin1String("keep");
    if ((!keep && response.decision != QLatin1String("suggest")) || !response.setting)
        throw Invalid(Invalid::Case::decision);
    const Request::Setting target = *response.setting;

    if (!OpenAIRouting::supportsRecommendationTarget(target.model, snapshot.surfaceMode))
        throw Invalid(Invalid::Case::unsupportedRecommendationTarget);

    const auto labelled = ModelControlLabel::model(target.model);
    const bool validSetting =
        labelled && labelled->startsWith(QLatin1String("gpt-")) &&
        OpenAIRouting::efforts().contains(target.effort) &&
        (target.model != QLatin1String("gpt-6.1-sol") ||
         (snapshot.surfaceMode == QLatin1String("work") && target.effort != QLatin1String("none")));
    if (!validSetting)
        throw Invalid(Invalid::Case::setting);

    const bool matchesCurrent = snapshot.currentSettingKnown && target.model == snapshot.currentModel &&
                                target.effort == snapshot.currentEffort;
    if (keep) {
        if (!matchesCurrent || response.requiresVerification)
            throw Invalid(Invalid::Case::setting);
    } else {
        if (matchesCurrent)
            throw Invalid(Invalid::Case::setting);
        const bool shown =
            std::any_of(snapshot.availableSettings.begin(), snapshot.availableSettings.end(),
                        [&target](const ObservedSetting& setting) {
                            return setting.model == target.model && setting.effort == target.effort;
                        });
        if (!shown && !(response.requiresVerification && snapshot.availableModels.contains(target.model)))
            throw Invalid(Invalid::Case::setting);
    }

    // A percentage is shown only when the application's own table gives the same figure.
    std::optional<QString> baseline;
    if (keep)
        baseline = QStringLiteral("gpt-6-astra");
    else if (snapshot.currentSettingKnown)
        baseline = snapshot.currentModel;
    const auto estimate = estimatedSavings(baseline, target.model);
    const bool savingsAccepted = snapshot.surfaceMode == QLatin1String("work") &&
                                 response.savingsBasis == workSavingsBasis && baseline &&
                                 response.savingsComparedTo == baseline && response.potentialPct &&
                                 std::isfinite(*response.potentialPct) && estimate &&
                                 std::abs(*response.potentialPct - *estimate) < savingsTolerance;

    const RecommendationContext::Window window = RecommendationContext::window(snapshot);
    const RecommendationContextUsage usage = RecommendationContext::usage(window);

    Recommendation recommendation;
    recommendation.provider = AIProvider::openAI;
    recommendation.model = target.model;
    recommendation.effort = target.effort;
    recommendation.extended = false;
    recommendation.reason = reason;
    recommendation.potentialUSD = 0;
    if (savingsAccepted) {
        recommendation.potentialPercent = response.potentialPct;
        recommendation.savingsBasis = workSavingsBasis;
        recommendation.savingsComparedTo = baseline;
    }
    recommendation.planLabel = QStringLiteral("ChatGPT Work");
    recommendation.alreadyEfficient = matchesCurrent;
    if (!matchesCurrent) {
        Recommendation current;
        current.provider = AIProvider::openAI;
        current.model = snapshot.currentModel;
        current.effort = snapshot.currentEffort;
        recommendation.savingsBaselineSetting = current.settingLabel();
    }
    recommendation.modelFitReason = cleanedFitReason(response.modelFitReason);
    recommendation.conversationCategory = response.category;
    recommendation.conversationSubcategory = response.subcategory;
    recommendation.contextUsage = usage;
    recommendation.routingDiagnostic =
        RoutingDecisionMetadata::make(response.decision, response.taskCategory, response.routingSource,
                                      response.routedTaskId, target.model, response.decisionReasonCode);

    Outcome outcome;
    outcome.outcomeCase = Outcome::Case::recommendation;
    outcome.recommendation = std::move(recommendation);
    return outcome;
}

} // namespace quillmere::OpenAIRecommendationContract
