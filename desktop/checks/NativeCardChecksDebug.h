#pragma once

// The card suite's group on the order of rendered ChatGPT rows, debug privacy and the debug
// window: reports, files and the window carry counts, flags, phases and times, never prompts,
// replies, titles, identifiers, arbitrary extraction text or digests of them.

#include "desktop/checks/CheckReporter.h"

#include <QString>

namespace quillmere::NativeCardChecks {

// Checks the speaker of rendered ChatGPT rows, then drives a new debug monitor writing into
// `temporaryDirectory`, opens its debug window and captures it as "debug-window.png" in `outputDirectory`.
// Throws RunError when a file it reads or the capture cannot be written.
void extractionOrderAndDebugChecks(const checks::Reporter& check, const QString& temporaryDirectory,
                                   const QString& outputDirectory);

} // namespace quillmere::NativeCardChecks
