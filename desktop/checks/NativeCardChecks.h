#pragma once

// The card self-check suite: production code run from the command line that drives the card, the
// cadence, the response contracts and the diagnostics with synthetic fixtures and reports one
// sentence per check. Each group is a function taking the reporter and calling it once per check,
// in order.

#include "desktop/checks/CheckReporter.h"

#include <QString>

namespace quillmere::NativeCardChecks {

// The routing-decision diagnostic: the file exists only after a decision is shown, holds one record
// of approved codes, belongs to the host whose card it describes, and is replaced whole.
// `temporaryDirectory` is the run's private folder.
void routingDecisionChecks(const checks::Reporter& check, const QString& temporaryDirectory);

// Visible history progress per conversation and the user-turn count it feeds into the cadence.
void visibleHistoryChecks(const checks::Reporter& check);

// When the cadence grants a classification request, when a shown recommendation becomes stale and
// which reason it reports while it withholds one.
void cadenceChecks(const checks::Reporter& check);

} // namespace quillmere::NativeCardChecks
