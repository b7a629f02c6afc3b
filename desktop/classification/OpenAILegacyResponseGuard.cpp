#include "desktop/classification/OpenAILegacyResponseGuard.h"

#include "core/Text.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <algorithm>

namespace quillmere::OpenAILegacyResponseGuard {

namespace {

const QSet<QString>& incompatibleKeys() {
    static const QSet<QString> keys{"speed",
                                    "currentspeed",
                                    "targetspeed",
                                    "recommendedspeed",
                                    "fitspeed",
                                    "speedmode",
                                    "speedchangepolicy",
                                    "servicetier",
                                    "currentservicetier",
                                    "targetservicetier",
                                    "effectiveservicetier",
                                    "billing",
                                    "billingcontext",
                                    "billingsource",
                                    "billingbasis",
                                    "costcomparison",
                                    "pricingbasis",
                                    "pricingrevision",
                                    "costbasis",
                                    "potentialusd",
                                    "savingsamount",
                                    "savingsbaselinespeed",
                                    "savingscomparedtospeed",
                                    "savingskind"};
    return keys;
}

const QString acceptedBasis = QStringLiteral("chatgpt-work-standard-10k-input-2k-output-v1");

// Plain ordering by Unicode scalar values (not UTF-16 units, which put U+E000..U+FFFF after the
// supplementary planes).
bool scalarLess(const QString& a, const QString& b) {
    const QList<uint> x = a.toUcs4();
    const QList<uint> y = b.toUcs4();
    return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end());
}

} // namespace

QString normalizedKey(const QString& key) {
    return text::letterOrNumberRuns(text::lowercased(key)).join(QString());
}

std::optional<QString> issue(const QJsonValue& value) {
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        QStringList keys = object.keys();
        std::sort(keys.begin(), keys.end(), scalarLess);
        for (const QString& key : keys) {
            const QString normalized = normalizedKey(key);
            if (incompatibleKeys().contains(normalized))
                return QStringLiteral("Unsupported speed or billing field: ") + key;
            const QJsonValue child = object.value(key);
            if (normalized == QLatin1String("savingsbasis") && !child.isNull() &&
                (!child.isString() || child.toString() != acceptedBasis))
                return QStringLiteral("Unsupported cost comparison basis");
            if (auto found = issue(child))
                return found;
        }
        return std::nullopt;
    }
    if (value.isArray()) {
        for (const QJsonValue& element : value.toArray())
            if (auto found = issue(element))
                return found;
    }
    return std::nullopt;
}

} // namespace quillmere::OpenAILegacyResponseGuard
