#pragma once

// The build's connector origin policy and the names that keep the build modes apart: the keychain
// service of the credential and the defaults suite of the revocation flag.

#include "desktop/connector/ConnectorBoundary.h"

#include <QString>

namespace quillmere {

class BundleInfo;

namespace ConnectorRelease {

inline const QString hostedOriginKey = QStringLiteral("QuillmereConnectorHostedOrigin");

// From the bundle's "QuillmereConnectorHostedOrigin": absent gives the local policy, a hosted
// origin the core accepts the hosted policy, anything else (a refused string, another type) none.
ConnectorPolicy policyFor(const BundleInfo& bundle);
// The running bundle's policy, computed once per process.
const ConnectorPolicy& policy();

} // namespace ConnectorRelease

namespace ConnectorKeychain {

inline const QString account = QStringLiteral("linked-widget");
// "<reverse-DNS prefix>.desktop.connector.<local|hosted|invalid>.v1".
QString serviceFor(const ConnectorPolicy& policy);
// The running build's service name; also the name of the revocation flag's defaults suite.
const QString& service();

} // namespace ConnectorKeychain

} // namespace quillmere
