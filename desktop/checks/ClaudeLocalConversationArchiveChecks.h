#pragma once

// Checks the reader of the Claude Code session archive against a synthetic archive it writes into a
// private temporary folder: how the active branch of a transcript is rebuilt and what stays out of
// it, how the result feeds the Claude classification request, how foreign visible messages are
// refused, how a growing transcript is followed, how verified window turns extend a lagging
// archive, and how a background parse reaches the window. Reads no real host archive and uses no
// network.

#include "desktop/checks/CheckReporter.h"

#include <QString>

namespace quillmere::ClaudeLocalConversationArchiveChecks {

// Reports each of the 15 checks once, in order, and removes its folder however the run ends. Runs
// on the main thread; the last check turns the event loop (for at most three seconds) so that a
// background parse can deliver its result.
void run(const checks::Reporter& check);
// The same with the fresh folder made in `temporaryFolder`.
void run(const checks::Reporter& check, const QString& temporaryFolder);

} // namespace quillmere::ClaudeLocalConversationArchiveChecks
