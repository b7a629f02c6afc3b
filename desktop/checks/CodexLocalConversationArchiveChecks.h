#pragma once

// Checks how the application reads a Codex task's whole history from the host's local archive and
// when it may trust it: the task is found by its title, its user and agent messages are read in
// order, and the history is accepted only when the messages the window shows appear in it, in the
// same order. Runs on two synthetic databases in a private temporary folder; the host's own archive
// is never opened.

#include "desktop/checks/CheckReporter.h"

#include <QString>

namespace quillmere::CodexLocalConversationArchiveChecks {

// Reports each check once, in order (16 when every check passes; a fixture that cannot be built is
// one failed check and ends the run). Works in a fresh folder in the system's temporary folder,
// removed however the run ends.
void run(const checks::Reporter& check);
// The same with the fresh folder made in `temporaryFolder`.
void run(const checks::Reporter& check, const QString& temporaryFolder);

} // namespace quillmere::CodexLocalConversationArchiveChecks
