#include "desktop/classification/ClassificationService.h"

#include "core/OpenAIRouting.h"
#include "core/Text.h"
#include "desktop/classification/RecommendationCadence.h"

namespace quillmere {

QString ClassificationService::ServiceError::describe() const {
    switch (case_) {
    case Case::abstained:
        return QStringLiteral("abstained(") + reason_ + QLatin1Char(')');
    case Case::badStatus:
        return QStringLiteral("badStatus(") + QString::number(status_) + QLatin1Char(')');
    case Case::contextTooLarge:
        return QStringLiteral("contextTooLarge");
    case Case::missingRecommendation:
        return QStringLiteral("missingRecommendation");
    case Case::unsupportedCurrentSetting:
        return QStringLiteral("unsupportedCurrentSetting");
    case Case::availableSettingsUnavailable:
        return QStringLiteral("availableSettingsUnavailable");
    }
    return QString();
}

const char* ClassificationService::ServiceError::what() const noexcept {
    what_ = describe().toUtf8();
    return what_.constData();
}

QString ClassificationService::cleanedReason(const std::optional<QString>& reason) {
    const QString trimmed = text::trimmed(reason.value_or(QString()));
    if (trimmed.isEmpty())
        return QStringLiteral("Recommendation details aren\u2019t available.");
    return trimmed;
}

Recommendation ClassificationService::openAIRecommendation(const Snapshot& snapshot) {
    if (snapshot.messages.empty())
        throw ServiceError::unsupportedCurrentSetting();
    std::optional<QString> latestUserText;
    int userMessages = 0;
    for (const auto& message : snapshot.messages)
        if (message.role == QLatin1String("user")) {
            latestUserText = message.text;
            ++userMessages;
        }
    if (!latestUserText)
        throw ServiceError::unsupportedCurrentSetting();

    // A follow-up in a longer conversation is judged with everything said so far: a high-stakes or
    // deep conversation never gets a downgrade, and a short follow-up says too little on its own.
    if (userMessages > 1) {
        QStringList texts;
        for (const auto& message : snapshot.messages)
            texts << message.text;
        const QString profile = RecommendationCadence::profile(texts.join(QLatin1Char('\n')));
        if (profile == QLatin1String("high_stakes") || profile == QLatin1String("deep"))
            throw ServiceError::unsupportedCurrentSetting();
        if (text::characterCount(*latestUserText) < 40)
            throw ServiceError::unsupportedCurrentSetting();
    }
    if (snapshot.availableSettings.empty())
        throw ServiceError::availableSettingsUnavailable();

    const auto target =
        OpenAIRouting::target(*latestUserText, ObservedSetting{snapshot.currentModel, snapshot.currentEffort},
                              snapshot.availableSettings);
    if (!target)
        throw ServiceError::unsupportedCurrentSetting();

    Recommendation recommendation;
    recommendation.provider = AIProvider::openAI;
    recommendation.model = target->model;
    recommendation.effort = target->effort;
    recommendation.extended = false;
    recommendation.reason =
        QStringLiteral("This bounded task is a candidate for a lighter model. Review the result.");
    recommendation.potentialUSD = 0;
    recommendation.planLabel = QStringLiteral("ChatGPT");
    recommendation.alreadyEfficient = false;
    return recommendation;
}

} // namespace quillmere
