#pragma once

// Which of its modes the process runs, from its arguments and its bundle's property list. The
// first mode that matches wins, in this order, and a flag with the wrong number of arguments
// selects nothing (it falls through, finally to the menu-bar application).

#include "platform/config/BundleInfo.h"

#include <QStringList>

namespace quillmere {

enum class EntryMode {
    monthlyChecks,        // --monthly-checks <fixture> <output>
    connectorCardChecks,  // --connector-card-checks <output>
    connectorFlowPreview, // the bundle key QuillmereConnectorFlowPreview is true
    connectorHTTPChecks,  // --connector-http-checks <fixture> <output>
    connectorOnly,        // --connector-preview anywhere, the preview bundle, or QuillmereConnectorOnly
    uiChecks,             // --ui-checks <output>
    probeHost,            // --probe-host <bundle id>
    application,          // the menu-bar application
};

// The bundle identifier under which the application runs as the connector by itself.
inline constexpr auto connectorPreviewBundleIdentifier = "com.quillmere.connector-preview";

// `arguments` holds the program path first, as argv does.
EntryMode selectEntryMode(const QStringList& arguments, const BundleInfo& bundle);

} // namespace quillmere
