#include "desktop/classification/ContractDecoding.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace quillmere::contract {

namespace {

template <typename T> std::optional<T> optional(const json::Field<T>& field, const QString& key) {
    if (field.isWrongType())
        throw DecodingError(QStringLiteral("typeMismatch(") + key + QLatin1Char(')'));
    return field.optional();
}

template <typename T> T required(const json::Field<T>& field, const QString& key) {
    if (field.isWrongType())
        throw DecodingError(QStringLiteral("typeMismatch(") + key + QLatin1Char(')'));
    if (field.presence == json::Presence::null)
        throw DecodingError(QStringLiteral("valueNotFound(") + key + QLatin1Char(')'));
    if (!field.isPresent())
        throw DecodingError(QStringLiteral("keyNotFound(") + key + QLatin1Char(')'));
    return field.value;
}

} // namespace

QJsonObject parseObject(const QByteArray& body) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        throw DecodingError(QStringLiteral("dataCorrupted(") + error.errorString() + QLatin1Char(')'));
    if (!document.isObject())
        throw DecodingError(QStringLiteral("typeMismatch(top level is not an object)"));
    return document.object();
}

std::optional<QString> optionalString(const QJsonObject& object, const QString& key) {
    return optional(json::string(object, key), key);
}
std::optional<bool> optionalBool(const QJsonObject& object, const QString& key) {
    return optional(json::boolean(object, key), key);
}
std::optional<double> optionalNumber(const QJsonObject& object, const QString& key) {
    return optional(json::number(object, key), key);
}
std::optional<QJsonObject> optionalObject(const QJsonObject& object, const QString& key) {
    return optional(json::object(object, key), key);
}
QString requiredString(const QJsonObject& object, const QString& key) {
    return required(json::string(object, key), key);
}
bool requiredBool(const QJsonObject& object, const QString& key) {
    return required(json::boolean(object, key), key);
}
qint64 requiredInteger(const QJsonObject& object, const QString& key) {
    return required(json::integer(object, key), key);
}

} // namespace quillmere::contract
