#pragma once

// Answers from a newer service may speak of speed, service tiers, billing or other cost bases,
// none of which this client can verify. The guard walks a whole parsed answer, at every depth,
// before it is decoded, and names the first offending key or cost basis. Only keys and the value
// of a savings-basis key are judged, never words inside ordinary text.

#include <QJsonValue>
#include <QString>
#include <optional>

namespace quillmere::OpenAILegacyResponseGuard {

// The first finding in depth-first, sorted-key order, or none.
std::optional<QString> issue(const QJsonValue& value);

// Lowercased, keeping only letters and numbers: "current_speed" and "Current-Speed" both give
// "currentspeed".
QString normalizedKey(const QString& key);

} // namespace quillmere::OpenAILegacyResponseGuard
