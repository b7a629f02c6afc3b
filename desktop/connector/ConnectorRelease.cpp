#include "desktop/connector/ConnectorRelease.h"

#include "platform/config/BundleInfo.h"

namespace quillmere {

namespace {

const QString servicePrefix = QStringLiteral("com.quillmere.zudizur");

} // namespace

namespace ConnectorRelease {

ConnectorPolicy policyFor(const BundleInfo& bundle) {
    if (!bundle.contains(hostedOriginKey))
        return ConnectorOriginPolicy();
    const std::optional<QString> hosted = bundle.string(hostedOriginKey);
    if (!hosted)
        return std::nullopt;
    try {
        return ConnectorOriginPolicy(*hosted);
    } catch (const ConnectorOriginError&) {
        return std::nullopt;
    }
}

const ConnectorPolicy& policy() {
    // A function-local static is initialised once, thread-safely.
    static const ConnectorPolicy value = policyFor(BundleInfo::main());
    return value;
}

} // namespace ConnectorRelease

namespace ConnectorKeychain {

QString serviceFor(const ConnectorPolicy& policy) {
    switch (buildMode(policy)) {
    case ConnectorBuildMode::hosted:
        return servicePrefix + QStringLiteral(".desktop.connector.hosted.v1");
    case ConnectorBuildMode::local:
        return servicePrefix + QStringLiteral(".desktop.connector.local.v1");
    case ConnectorBuildMode::invalid:
        break;
    }
    return servicePrefix + QStringLiteral(".desktop.connector.invalid.v1");
}

const QString& service() {
    static const QString value = serviceFor(ConnectorRelease::policy());
    return value;
}

} // namespace ConnectorKeychain

} // namespace quillmere
