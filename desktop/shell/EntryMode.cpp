#include "desktop/shell/EntryMode.h"

namespace quillmere {

namespace {

bool is(const QStringList& arguments, qsizetype count, const char* flag) {
    return arguments.size() == count && arguments.at(1) == QLatin1String(flag);
}

} // namespace

EntryMode selectEntryMode(const QStringList& arguments, const BundleInfo& bundle) {
    if (is(arguments, 4, "--monthly-checks"))
        return EntryMode::monthlyChecks;
    if (is(arguments, 3, "--connector-card-checks"))
        return EntryMode::connectorCardChecks;
    if (bundle.isTrue(QStringLiteral("QuillmereConnectorFlowPreview")))
        return EntryMode::connectorFlowPreview;
    if (is(arguments, 4, "--connector-http-checks"))
        return EntryMode::connectorHTTPChecks;
    if (arguments.contains(QStringLiteral("--connector-preview")) ||
        bundle.bundleIdentifier() == QLatin1String(connectorPreviewBundleIdentifier) ||
        bundle.isTrue(QStringLiteral("QuillmereConnectorOnly")))
        return EntryMode::connectorOnly;
    if (is(arguments, 3, "--ui-checks"))
        return EntryMode::uiChecks;
    if (is(arguments, 3, "--probe-host"))
        return EntryMode::probeHost;
    return EntryMode::application;
}

} // namespace quillmere
