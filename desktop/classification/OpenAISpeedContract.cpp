#include "desktop/classification/OpenAISpeedContract.h"

#include "core/IsoTime.h"
#include "core/ModelControlLabel.h"
#include "core/OpenAIRouting.h"

#include <cmath>

namespace quillmere::OpenAISpeedContract {

namespace {

constexpr double freshnessSeconds = 60;

bool valid(const Setting& setting) {
    if (setting.speed == Speed::unknown)
        return false;
    const auto model = ModelControlLabel::model(setting.model);
    if (!model || !model->startsWith(QLatin1String("gpt-")))
        return false;
    if (!OpenAIRouting::efforts().contains(setting.effort))
        return false;
    static const QStringList solEfforts{"low", "medium", "high", "xhigh", "max"};
    if (setting.model == QLatin1String("gpt-6.1-sol") && !solEfforts.contains(setting.effort))
        return false;
    if (setting.speed == Speed::ultrafast && setting.model != QLatin1String("gpt-6.1-sol") &&
        setting.model != QLatin1String("gpt-6-astra"))
        return false;
    return true;
}

// Seconds from the reading to now; negative for a reading dated in the future. Not a number for
// an invalid date, which no range test accepts.
double age(const QDateTime& observedAt, const QDateTime& now) {
    if (!observedAt.isValid() || !now.isValid())
        return std::nan("");
    return double(observedAt.msecsTo(now)) / 1000.0;
}

bool withinWindow(double seconds) {
    return seconds >= 0 && seconds <= freshnessSeconds;
}

bool fresh(const Observation& observation, const QString& scopeID, const QDateTime& now) {
    return !scopeID.isEmpty() && observation.scopeID == scopeID &&
           withinWindow(age(observation.observedAt, now)) && valid(observation.setting);
}

} // namespace

QString rawValue(Speed speed) {
    switch (speed) {
    case Speed::standard:
        return QStringLiteral("standard");
    case Speed::fast:
        return QStringLiteral("fast");
    case Speed::ultrafast:
        return QStringLiteral("ultrafast");
    case Speed::unknown:
        break;
    }
    return QStringLiteral("unknown");
}

QString rawValue(BillingSource source) {
    switch (source) {
    case BillingSource::purchasedCredits:
        return QStringLiteral("purchased-credits");
    case BillingSource::enterprisePAYG:
        return QStringLiteral("enterprise-payg");
    case BillingSource::api:
        return QStringLiteral("api");
    case BillingSource::includedUsage:
        return QStringLiteral("included-usage");
    case BillingSource::unknown:
        break;
    }
    return QStringLiteral("unknown");
}

std::optional<Speed> speedFromRawValue(const QString& raw) {
    for (Speed speed : {Speed::standard, Speed::fast, Speed::ultrafast, Speed::unknown})
        if (rawValue(speed) == raw)
            return speed;
    return std::nullopt;
}

std::optional<BillingSource> billingSourceFromRawValue(const QString& raw) {
    for (BillingSource source : {BillingSource::purchasedCredits, BillingSource::enterprisePAYG,
                                 BillingSource::api, BillingSource::includedUsage, BillingSource::unknown})
        if (rawValue(source) == raw)
            return source;
    return std::nullopt;
}

json::Value Setting::toJson() const {
    return json::Object{{QStringLiteral("model"), model},
                        {QStringLiteral("effort"), effort},
                        {QStringLiteral("speed"), rawValue(speed)}};
}

std::optional<Setting> Setting::fromJson(const QJsonObject& object) {
    const auto model = json::string(object, QStringLiteral("model"));
    const auto effort = json::string(object, QStringLiteral("effort"));
    const auto speed = json::string(object, QStringLiteral("speed"));
    if (!model.isPresent() || !effort.isPresent() || !speed.isPresent())
        return std::nullopt;
    const auto parsed = speedFromRawValue(speed.value);
    if (!parsed)
        return std::nullopt;
    return Setting{model.value, effort.value, *parsed};
}

json::Value BillingContext::toJson() const {
    json::Object object{{QStringLiteral("source"), rawValue(source)}};
    if (observedAt)
        object.push_back({QStringLiteral("observedAt"), isotime::format(*observedAt)});
    return object;
}

std::optional<BillingContext> BillingContext::fromJson(const QJsonObject& object) {
    const auto source = json::string(object, QStringLiteral("source"));
    if (!source.isPresent())
        return std::nullopt;
    const auto parsed = billingSourceFromRawValue(source.value);
    if (!parsed)
        return std::nullopt;
    BillingContext context;
    context.source = *parsed;
    const auto observed = json::string(object, QStringLiteral("observedAt"));
    if (observed.isWrongType())
        return std::nullopt;
    if (observed.isPresent()) {
        const auto date = isotime::parse(observed.value);
        if (!date)
            return std::nullopt;
        context.observedAt = *date;
    }
    return context;
}

json::Value Request::toJson() const {
    json::Array capabilities;
    for (const QString& capability : clientCapabilities)
        capabilities.push_back(capability);
    json::Array settings;
    for (const Setting& setting : available)
        settings.push_back(setting.toJson());
    return json::Object{{QStringLiteral("schemaVersion"), schemaVersion},
                        {QStringLiteral("clientCapabilities"), std::move(capabilities)},
                        {QStringLiteral("current"), current.toJson()},
                        {QStringLiteral("available"), std::move(settings)},
                        {QStringLiteral("billingContext"), billingContext.toJson()},
                        {QStringLiteral("speedChangePolicy"), speedChangePolicy}};
}

Request prepareRequest(const Setting&, const std::vector<Setting>&, const BillingContext&) {
    throw Unavailable{};
}

bool readbackMatches(const Setting& target, const Observation& observed, const QString& scopeID,
                     const QDateTime& now) {
    if (target.speed == Speed::unknown || !fresh(observed, scopeID, now))
        return false;
    return observed.setting == target;
}

bool preservesObservedSpeed(const Observation& current, const Setting& target,
                            const std::vector<Choice>& choices, const QString& scopeID,
                            const QDateTime& now) {
    if (scopeID.isEmpty() || current.scopeID != scopeID || !withinWindow(age(current.observedAt, now)))
        return false;
    if (!valid(current.setting) || !valid(target))
        return false;
    if (current.setting.speed != target.speed)
        return false;
    bool anyMatching = false;
    for (const Choice& choice : choices) {
        if (!fresh(choice.observation, scopeID, now) || !(choice.observation.setting == target))
            continue;
        anyMatching = true;
        if (!choice.enabled)
            return false;
    }
    return anyMatching;
}

} // namespace quillmere::OpenAISpeedContract
