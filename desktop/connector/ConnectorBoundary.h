#pragma once

// The rules every credential and every inbox must pass before the rest of the connector uses
// them. They are pure functions of their inputs, the current time and the build's origin policy,
// which is a parameter so that hosted, local and invalid builds can all be exercised; callers in
// the application pass ConnectorRelease::policy().

#include "core/ConnectorOriginPolicy.h"
#include "desktop/connector/ConnectorRecords.h"

#include <QDateTime>
#include <QString>
#include <optional>

namespace quillmere {

// The build's origin policy; none in a build whose hosted origin was refused.
using ConnectorPolicy = std::optional<ConnectorOriginPolicy>;

enum class ConnectorBuildMode { hosted, local, invalid };
ConnectorBuildMode buildMode(const ConnectorPolicy& policy);

namespace ConnectorBoundary {

// Exactly 43 characters of ASCII letters, digits, "_" and "-" (unpadded base64url of 32 bytes).
bool validToken(const QString& token);

// The origin the policy accepts; throws ConnectorFailure(invalidOrigin) without a policy or for a
// refused origin.
QString validatedOrigin(const ConnectorPolicy& policy, const QString& origin);

// Throws ConnectorFailure: invalidOrigin for the origin, invalidCredential for anything else.
void validate(const ConnectorCredential& credential, const QString& origin, const QDateTime& now,
              const ConnectorPolicy& policy);

// Throws ConnectorFailure(invalidResponse); one bad item refuses the whole inbox.
void validate(const ConnectorInbox& inbox, const ConnectorCredential& credential,
              const ConnectorPolicy& policy);

// An internet date-time with 1 to 9 fraction digits and "Z" or a "+hh:mm"/"-hh:mm" offset, on a
// real calendar date; none otherwise. The instant is nanoseconds since 1970 UTC.
std::optional<__int128> expiryInstant(const QString& text);

} // namespace ConnectorBoundary

namespace ConnectorEditing {

// Removes white space and line breaks at both ends; the result when it is a valid token.
std::optional<QString> pairingCode(const QString& text);

} // namespace ConnectorEditing

} // namespace quillmere
