// Readable renderings of classification request and response bodies for the request log. Bodies
// are read generically, by key, so one renderer serves both providers' formats; a value of an
// unexpected type counts as absent, and rendering never fails.

#include "desktop/classification/RequestLogStore.h"

#include "core/Json.h"
#include "core/Text.h"
#include "desktop/classification/OpenAILegacyResponseGuard.h"
#include "desktop/classification/OpenAIRecommendationContract.h"
#include "desktop/records/Recommendation.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QLocale>

#include <cmath>

namespace quillmere {

namespace {

std::optional<QJsonArray> arrayOfObjects(const QJsonObject& object, const QString& key) {
    const auto field = json::array(object, key);
    if (!field.isPresent())
        return std::nullopt;
    for (const QJsonValue& element : field.value)
        if (!element.isObject())
            return std::nullopt;
    return field.value;
}

std::optional<QStringList> arrayOfStrings(const QJsonObject& object, const QString& key) {
    const auto field = json::array(object, key);
    if (!field.isPresent())
        return std::nullopt;
    QStringList out;
    for (const QJsonValue& element : field.value) {
        if (!element.isString())
            return std::nullopt;
        out << element.toString();
    }
    return out;
}

QString settingText(const QJsonObject& object) {
    QString out =
        json::string(object, QStringLiteral("model")).optional().value_or(QStringLiteral("Unknown model"));
    const QString effort = json::string(object, QStringLiteral("effort")).optional().value_or(QString());
    if (!effort.isEmpty())
        out += QStringLiteral(" \u00B7 ") + effort;
    return out;
}

} // namespace

QString RequestLogStore::readableRequest(const QByteArray& body) {
    const auto parsed = json::parseObject(body);
    if (!parsed)
        return fallback(body);
    const QJsonObject& request = *parsed;
    QStringList lines;

    const auto messages = arrayOfObjects(request, QStringLiteral("messages"));
    const auto available = json::integer(request, QStringLiteral("availableMessageCount")).optional();
    const qint64 sent = messages ? messages->size() : 0;
    if (messages) {
        QString first = QStringLiteral("MESSAGES USED FOR ANALYSIS: %1").arg(sent);
        if (available && *available > sent)
            first += QStringLiteral(" most recent of %1 available").arg(*available);
        lines << first;
        int index = 0;
        for (const QJsonValue& value : *messages) {
            const QJsonObject message = value.toObject();
            const bool assistant =
                json::string(message, QStringLiteral("role")).optional() == QStringLiteral("assistant");
            const QString content =
                text::trimmed(json::string(message, QStringLiteral("text")).optional().value_or(QString()));
            lines << QString()
                  << QStringLiteral("MESSAGE %1 \u00B7 %2").arg(++index).arg(assistant ? "AI" : "YOU")
                  << (content.isEmpty() ? QStringLiteral("(empty)") : content);
        }
    }

    if (const auto complete = json::boolean(request, QStringLiteral("historyComplete"));
        complete.isPresent()) {
        const qint64 total = available.value_or(sent);
        lines << QString() << QStringLiteral("CONTEXT COVERAGE");
        if (sent >= total)
            lines << (complete.value
                          ? QStringLiteral("Complete conversation history")
                          : QStringLiteral(
                                "Available recent conversation context; full history is not verified"));
        else
            lines << QStringLiteral(
                         "Sent the most recent %1 of %2 available messages; earlier messages exceeded the "
                         "request limit")
                         .arg(sent)
                         .arg(total);
    }

    lines << QString() << QStringLiteral("CURRENT SETTING");
    if (const auto current = json::object(request, QStringLiteral("current")); current.isPresent()) {
        lines << settingText(current.value);
    } else if (const auto model = json::string(request, QStringLiteral("currentModel")); model.isPresent()) {
        QString line = model.value + QStringLiteral(" \u00B7 ") +
                       json::string(request, QStringLiteral("currentEffort"))
                           .optional()
                           .value_or(QStringLiteral("unknown"));
        if (json::boolean(request, QStringLiteral("currentExtended")).optional() == true)
            line += QStringLiteral(" \u00B7 Extended thinking on");
        lines << line;
    } else {
        lines << QStringLiteral("Not detected");
    }

    if (const auto settings = arrayOfObjects(request, QStringLiteral("available"));
        settings && !settings->isEmpty()) {
        QStringList texts;
        for (const QJsonValue& value : *settings)
            texts << settingText(value.toObject());
        lines << QString() << QStringLiteral("AVAILABLE SETTINGS") << texts.join(QStringLiteral(", "));
    } else if (const auto models = arrayOfStrings(request, QStringLiteral("availableModels"));
               models && !models->isEmpty()) {
        lines << QString() << QStringLiteral("AVAILABLE MODELS") << models->join(QStringLiteral(", "));
    }
    return lines.join(QLatin1Char('\n'));
}

namespace {

const QString openAIWorkBasis = QStringLiteral("chatgpt-work-standard-10k-input-2k-output-v1");
const QString claudeBasis = QStringLiteral("claude-list-uncached-estimated-output-v1");

// The comparison models the standard-rate reference can name.
std::optional<QString> baselineLabel(const QString& model) {
    static const std::pair<const char*, const char*> labels[] = {
        {"gpt-6-luna", "GPT-6 Luna"},     {"gpt-6-sol", "GPT-6 Sol"},         {"gpt-6.1-sol", "GPT-6.1 Sol"},
        {"gpt-5.6-luna", "GPT-5.6 Luna"}, {"gpt-5.6-terra", "GPT-5.6 Terra"}, {"gpt-5.6-sol", "GPT-5.6 Sol"},
        {"gpt-6-astra", "GPT-6 Astra"},
    };
    for (const auto& [id, label] : labels)
        if (model == QLatin1String(id))
            return QString::fromUtf8(label);
    return std::nullopt;
}

QString percentText(double percent) {
    const bool whole = std::trunc(percent) == percent;
    return QStringLiteral("\u2248") + QLocale().toString(percent, 'f', whole ? 0 : 1);
}

std::optional<double> finitePercent(const QJsonObject& response) {
    const auto percent = json::number(response, QStringLiteral("potentialPct"));
    if (!percent.isPresent() || !std::isfinite(percent.value))
        return std::nullopt;
    return percent.value;
}

// A parsed value as the platform prints a value it has no better text for.
QString describe(const QJsonValue& value) {
    switch (value.type()) {
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Double:
        return QString::fromUtf8(json::formatNumber(value.toDouble()));
    case QJsonValue::Null:
        return QStringLiteral("<null>");
    default:
        return QString::fromUtf8(json::write(json::Value::from(value)));
    }
}

bool isOpenAIResponse(const QJsonObject& response) {
    if (json::string(response, QStringLiteral("provider")).optional() == QStringLiteral("openai"))
        return true;
    if (const auto setting = json::object(response, QStringLiteral("setting")); setting.isPresent())
        if (json::string(setting.value, QStringLiteral("model"))
                .optional()
                .value_or(QString())
                .startsWith(QLatin1String("gpt-")))
            return true;
    return json::string(response, QStringLiteral("savingsBasis")).optional() == openAIWorkBasis;
}

// A key's string value, falling back to a second key only when the first is absent.
json::Field<QString> stringOrFallback(const QJsonObject& object, const QString& key,
                                      const QString& fallbackKey) {
    return object.contains(key) ? json::string(object, key) : json::string(object, fallbackKey);
}

void openAISavings(const QJsonObject& response, bool openAI, QStringList& lines) {
    const auto percent = finitePercent(response);
    const auto setting = json::object(response, QStringLiteral("setting"));
    const auto target =
        setting.isPresent() ? json::string(setting.value, QStringLiteral("model")).optional() : std::nullopt;
    const auto comparedTo = json::string(response, QStringLiteral("savingsComparedTo")).optional();
    if (percent && *percent > 0 && *percent <= 100 &&
        json::string(response, QStringLiteral("savingsBasis")).optional() == openAIWorkBasis && target &&
        comparedTo) {
        const auto expected = OpenAIRecommendationContract::estimatedSavings(*comparedTo, *target);
        const auto baseline = baselineLabel(*comparedTo);
        if (expected && std::fabs(*expected - *percent) < 0.001 && baseline) {
            Recommendation recommendation;
            recommendation.provider = AIProvider::openAI;
            recommendation.model = *target;
            lines << QString() << QStringLiteral("STANDARD RATE REFERENCE (SERVER COMPARISON)")
                  << OpenAIRecommendationContract::standardRateReference(
                         recommendation.modelLabel(), *baseline, percentText(*percent) + QLatin1Char('%'))
                  << QStringLiteral("Reference mix: 10K input + 2K output. User speed and billing source are "
                                    "not verified.");
            return;
        }
    }
    const auto raw = response.constFind(QStringLiteral("potentialPct"));
    if (openAI && raw != response.constEnd() && !raw->isNull())
        lines << QString() << QStringLiteral("STANDARD RATE REFERENCE")
              << QStringLiteral("Not verified in this server response; no personalized savings claim.");
}

void claudeSavings(const QJsonObject& response, QStringList& lines) {
    const auto percent = finitePercent(response);
    const bool basis = json::string(response, QStringLiteral("savingsBasis")).optional() == claudeBasis;
    const bool positive = percent && *percent > 0;
    if (!response.contains(QStringLiteral("fitModel"))) {
        if (response.contains(QStringLiteral("recommendedModel")) && positive && basis &&
            !response.contains(QStringLiteral("savingsComparedTo")))
            lines << QString() << QStringLiteral("ESTIMATED CREDIT SAVINGS")
                  << percentText(*percent) +
                         QStringLiteral(
                             "% compared with the current setting \u00B7 Same estimated input size");
        return;
    }
    if (positive && basis &&
        json::string(response, QStringLiteral("savingsComparedTo")).optional() == QStringLiteral("fable"))
        lines << QString() << QStringLiteral("ESTIMATED CREDIT SAVINGS")
              << percentText(*percent) +
                     QStringLiteral("% compared with Fable 5.1 \u00B7 Same estimated input size");
    else
        lines << QString() << QStringLiteral("SAVINGS ESTIMATE")
              << QStringLiteral("Not verified in this server response");
}

} // namespace

QString RequestLogStore::readableResponse(const QByteArray& body) {
    const auto parsed = json::parseObject(body);
    if (!parsed)
        return fallback(body);
    const QJsonObject& response = *parsed;
    const bool openAI = isOpenAIResponse(response);
    if (openAI)
        if (const auto issue = OpenAILegacyResponseGuard::issue(QJsonValue(response)))
            return QStringLiteral("RESPONSE NOT ACCEPTED\n") + *issue +
                   QStringLiteral(". This client cannot verify speed or billing.\n\nSERVER RESPONSE\n") +
                   fallback(body);

    QStringList lines;
    const auto decision = json::string(response, QStringLiteral("decision"));
    const QString loweredDecision = decision.isPresent() ? text::lowercased(decision.value) : QString();
    if (decision.isPresent()) {
        QString label = decision.value;
        if (loweredDecision == QLatin1String("suggest"))
            label = QStringLiteral("Suggest a different setting");
        else if (loweredDecision == QLatin1String("keep"))
            label = QStringLiteral("Keep the current setting");
        else if (loweredDecision == QLatin1String("abstain"))
            label = QStringLiteral("No model decision");
        lines << QStringLiteral("DECISION") << label;
    }

    if (const auto setting = json::object(response, QStringLiteral("setting")); setting.isPresent()) {
        lines << QString() << QStringLiteral("RECOMMENDED SETTING") << settingText(setting.value);
    } else if (const auto model =
                   stringOrFallback(response, QStringLiteral("recommendedModel"), QStringLiteral("fitModel"));
               model.isPresent()) {
        const QString effort =
            stringOrFallback(response, QStringLiteral("recommendedEffort"), QStringLiteral("fitEffort"))
                .optional()
                .value_or(QString());
        QStringList parts;
        for (const QString& part : {model.value, effort})
            if (!part.isEmpty())
                parts << part;
        QString line = parts.join(QStringLiteral(" \u00B7 "));
        const QString extendedKey = response.contains(QStringLiteral("recommendedExtended"))
                                        ? QStringLiteral("recommendedExtended")
                                        : QStringLiteral("fitExtended");
        if (json::boolean(response, extendedKey).optional() == true)
            line += QStringLiteral(" \u00B7 Extended thinking on");
        lines << QString() << QStringLiteral("RECOMMENDED SETTING") << line;
    }

    if (const auto reason = json::string(response, QStringLiteral("reason"));
        reason.isPresent() && !text::trimmed(reason.value).isEmpty())
        lines << QString()
              << (loweredDecision == QLatin1String("abstain") ? QStringLiteral("WHY NO MODEL WAS CHOSEN")
                                                              : QStringLiteral("WHY"))
              << reason.value;

    QStringList categories;
    for (const QString& key : {QStringLiteral("category"), QStringLiteral("subcategory")})
        if (const auto object = json::object(response, key); object.isPresent())
            if (const auto label = json::string(object.value, QStringLiteral("label"));
                label.isPresent() && !label.value.isEmpty())
                categories << label.value;
    if (!categories.isEmpty())
        lines << QString() << QStringLiteral("CONVERSATION CATEGORY")
              << categories.join(QStringLiteral(" \u00B7 "));

    if (const auto usage = json::object(response, QStringLiteral("contextUsage")); usage.isPresent()) {
        const auto count = json::integer(usage.value, QStringLiteral("messageCount"));
        const auto users = json::integer(usage.value, QStringLiteral("userMessageCount"));
        const auto assistants = json::integer(usage.value, QStringLiteral("assistantMessageCount"));
        if (count.isPresent() && users.isPresent() && assistants.isPresent()) {
            const bool complete =
                json::boolean(usage.value, QStringLiteral("historyComplete")).optional() == true;
            lines << QString() << QStringLiteral("CONTEXT USED")
                  << QStringLiteral("%1 %2%3 \u00B7 %4 yours + %5 AI")
                         .arg(count.value)
                         .arg(complete ? QString() : QStringLiteral("available "))
                         .arg(count.value == 1 ? QStringLiteral("message") : QStringLiteral("messages"))
                         .arg(users.value)
                         .arg(assistants.value);
        }
    }

    openAISavings(response, openAI, lines);
    claudeSavings(response, lines);

    if (const auto verification = json::boolean(response, QStringLiteral("requiresVerification"));
        verification.isPresent())
        lines << QString() << QStringLiteral("VERIFICATION")
              << (verification.value ? QStringLiteral("Required before switching")
                                     : QStringLiteral("Not required"));
    if (const auto message = json::string(response, QStringLiteral("message"));
        message.isPresent() && !message.value.isEmpty())
        lines << QString() << QStringLiteral("SERVER MESSAGE") << message.value;
    if (const auto error = response.constFind(QStringLiteral("error")); error != response.constEnd())
        lines << QString() << QStringLiteral("SERVER ERROR") << describe(*error);

    if (lines.isEmpty())
        return fallback(body);
    return lines.join(QLatin1Char('\n'));
}

} // namespace quillmere
