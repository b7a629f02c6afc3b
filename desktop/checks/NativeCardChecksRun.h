#pragma once

// The frame of a card-suite run, apart from the groups it runs, so that its ways of ending can be
// tried on their own.

#include "desktop/checks/CheckReporter.h"
#include "desktop/checks/NativeCardChecksFixtures.h"

#include <QString>
#include <functional>

namespace quillmere::NativeCardChecks {

// Runs `beforeTemporary` with the run's reporter, then creates the temporary folder in
// `outputDirectory` and runs `groups` with the reporter and the folder. A pass prints "PASS: " and
// the sentence on standard output (flushed at once, so it always comes before a later line on
// standard error) and counts. The first failure prints "FAIL: " and the sentence on standard error
// and ends the run: false is returned, the summary is not printed, and any later report (should
// something on the way out have swallowed the stop) is ignored. When both return, "Native card
// checks: N/N passed" is printed and true returned. An error from either body leaves unchanged.
// The temporary folder is removed on every way out.
bool runFramed(const QString& outputDirectory,
               const std::function<void(const checks::Reporter&)>& beforeTemporary,
               const std::function<void(const checks::Reporter&, const TemporaryDirectory&)>& groups);

} // namespace quillmere::NativeCardChecks
