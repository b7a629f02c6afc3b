#include "desktop/connector/ConnectorRecords.h"

#include "core/Json.h"

#include <QJsonArray>

namespace quillmere {

using namespace contract;

QByteArray ConnectorCredential::encoded() const {
    return json::write(json::Object{{QStringLiteral("origin"), origin},
                                    {QStringLiteral("device_token"), device_token},
                                    {QStringLiteral("account_ref"), account_ref},
                                    {QStringLiteral("account_source"), account_source},
                                    {QStringLiteral("expires_at"), expires_at}});
}

ConnectorCredential ConnectorCredential::decode(const QByteArray& bytes) {
    const QJsonObject object = parseObject(bytes);
    return {requiredString(object, QStringLiteral("origin")),
            requiredString(object, QStringLiteral("device_token")),
            requiredString(object, QStringLiteral("account_ref")),
            requiredString(object, QStringLiteral("account_source")),
            requiredString(object, QStringLiteral("expires_at"))};
}

Claim Claim::decode(const QByteArray& bytes) {
    const QJsonObject object = parseObject(bytes);
    return {requiredString(object, QStringLiteral("device_token")),
            requiredString(object, QStringLiteral("account_ref")),
            requiredString(object, QStringLiteral("account_source")),
            requiredString(object, QStringLiteral("expires_at"))};
}

ConnectorCredential Claim::credential(const QString& origin) const {
    return {origin, device_token, account_ref, account_source, expires_at};
}

ConnectorGuidance decodeGuidance(const QJsonObject& object) {
    ConnectorGuidance guidance;
    guidance.id = requiredString(object, QStringLiteral("id"));
    guidance.provider = requiredString(object, QStringLiteral("provider"));
    guidance.policy_source = requiredString(object, QStringLiteral("policy_source"));
    guidance.model_family = requiredString(object, QStringLiteral("model_family"));
    guidance.reasoning = requiredString(object, QStringLiteral("reasoning"));
    guidance.rationale = requiredString(object, QStringLiteral("rationale"));
    guidance.availability_verified = requiredBool(object, QStringLiteral("availability_verified"));
    guidance.savings_claim = optionalString(object, QStringLiteral("savings_claim"));
    return guidance;
}

ConnectorInbox ConnectorInbox::decode(const QByteArray& bytes) {
    const QJsonObject object = parseObject(bytes);
    ConnectorInbox inbox;
    inbox.account_ref = requiredString(object, QStringLiteral("account_ref"));
    const json::Field<QJsonArray> items = json::array(object, QStringLiteral("items"));
    if (items.isWrongType())
        throw DecodingError(QStringLiteral("typeMismatch(items)"));
    if (!items.isPresent())
        throw DecodingError(items.presence == json::Presence::null ? QStringLiteral("valueNotFound(items)")
                                                                   : QStringLiteral("keyNotFound(items)"));
    for (const QJsonValue& item : items.value) {
        if (!item.isObject())
            throw DecodingError(QStringLiteral("typeMismatch(items[])"));
        inbox.items.append(decodeGuidance(item.toObject()));
    }
    return inbox;
}

const char* ConnectorFailure::name(Kind kind) {
    switch (kind) {
    case invalidOrigin:
        return "invalidOrigin";
    case invalidCredential:
        return "invalidCredential";
    case invalidResponse:
        return "invalidResponse";
    case unauthorized:
        return "unauthorized";
    case rejected:
        return "rejected";
    case keychain:
        return "keychain";
    }
    return "unknown";
}

} // namespace quillmere
