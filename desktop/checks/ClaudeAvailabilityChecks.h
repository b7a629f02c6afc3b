#pragma once

// Checks how the application decides which Claude model settings the user may really select: the
// menu evidence, the known-setting rule, and the refusal of answers the evidence does not support.

#include "desktop/checks/CheckReporter.h"

namespace quillmere::ClaudeAvailabilityChecks {

// Reports each check once, in order. Throws only when a synthetic answer cannot be built.
void run(const checks::Reporter& check);

} // namespace quillmere::ClaudeAvailabilityChecks
