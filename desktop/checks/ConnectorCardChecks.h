#pragma once

// The connector card check suite: how the connector presents a recommendation on the compact card
// and how that presentation moves between cards, without network, keychain or host applications.

#include "desktop/checks/CheckReporter.h"

#include <QString>

namespace quillmere::ConnectorCardChecks {

// Runs every check in order through `check`, writing "compact.png", "more-info.png" and
// "checks.json" into `output` (created first). Throws when a file cannot be written. Returns the
// number of checks run (26).
int run(const QString& output, const checks::Reporter& check);

// The command-line mode: prints a line per passed check and the summary, returns the exit status.
int runFromCommandLine(const QString& output);

} // namespace quillmere::ConnectorCardChecks
