#include "desktop/classification/OpenAIRecommendationContract.h"

#include <QHash>
#include <cmath>

namespace quillmere::OpenAIRecommendationContract {

std::optional<double> workExampleCost(const QString& model) {
    static const QHash<QString, double> table{
        {"gpt-6-luna", 0.05},   {"gpt-6-sol", 1.0},   {"gpt-6.1-sol", 1.0}, {"gpt-5.6-luna", 0.11},
        {"gpt-5.6-terra", 1.1}, {"gpt-5.6-sol", 2.0}, {"gpt-6-astra", 5.0},
    };
    const auto found = table.constFind(model);
    if (found == table.constEnd())
        return std::nullopt;
    return *found;
}

std::optional<double> estimatedSavings(const std::optional<QString>& from, const QString& to) {
    if (!from)
        return std::nullopt;
    const auto baseline = workExampleCost(*from);
    const auto target = workExampleCost(to);
    if (!baseline || !target || !(*target < *baseline))
        return std::nullopt;
    return std::round((1.0 - *target / *baseline) * 1000.0) / 10.0;
}

QString standardRateReference(const QString& target, const QString& baseline, const QString& percent) {
    return Recommendation::standardRateReferenceText(target, baseline, percent);
}

} // namespace quillmere::OpenAIRecommendationContract

namespace quillmere::OpenAIRecommendationContract {

QString Invalid::errorDescription() const {
    const auto unverified = [](const char* name) {
        return QStringLiteral("Server response could not be verified (") + QLatin1String(name) +
               QStringLiteral(").");
    };
    switch (case_) {
    case Case::schema:
        return unverified("schema");
    case Case::reason:
        return unverified("reason");
    case Case::decision:
        return unverified("decision");
    case Case::setting:
        return unverified("setting");
    case Case::incompatibleSpeedOrBilling:
        return QStringLiteral(
            "Server response rejected: this client cannot verify speed or the new billing contract.");
    case Case::unsupportedRecommendationTarget:
        return QStringLiteral(
            "Quillmere could not verify the suggested model for this conversation. It is outside "
            "this client's supported recommendation catalog; your current setting has not been "
            "changed.");
    }
    return QString();
}

const char* Invalid::what() const noexcept {
    what_ = errorDescription().toUtf8();
    return what_.constData();
}

} // namespace quillmere::OpenAIRecommendationContract
