#pragma once

// Strict reading of the classification service's answers. A missing key and null both mean
// "absent"; a present value of the wrong type, or a required key that is absent, fails the whole
// answer with a DecodingError naming the key, so a malformed answer never becomes a recommendation.

#include "core/Json.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <optional>
#include <stdexcept>

namespace quillmere {

struct DecodingError : std::runtime_error {
    explicit DecodingError(const QString& description) : std::runtime_error(description.toStdString()) {}
    QString description() const { return QString::fromStdString(what()); }
};

namespace contract {

// The body as a JSON object; throws DecodingError for anything else.
QJsonObject parseObject(const QByteArray& body);

std::optional<QString> optionalString(const QJsonObject& object, const QString& key);
std::optional<bool> optionalBool(const QJsonObject& object, const QString& key);
std::optional<double> optionalNumber(const QJsonObject& object, const QString& key);
std::optional<QJsonObject> optionalObject(const QJsonObject& object, const QString& key);

QString requiredString(const QJsonObject& object, const QString& key);
bool requiredBool(const QJsonObject& object, const QString& key);
qint64 requiredInteger(const QJsonObject& object, const QString& key);

} // namespace contract
} // namespace quillmere
