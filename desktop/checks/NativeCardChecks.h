#pragma once

// The card self-check suite: production code run from the command line that drives the card, the
// cadence, the response contracts and the diagnostics with synthetic fixtures and reports one
// sentence per check. Each group is a function taking the reporter and calling it once per check,
// in order.

#include "desktop/checks/CheckReporter.h"

#include <QString>

namespace quillmere {
class RequestLogStore;
struct Recommendation;
} // namespace quillmere

namespace quillmere::NativeCardChecks {

// The whole suite, run into `outputDirectory` (created when missing): every group and sub-suite in
// order, one "PASS: " line per passed check on standard output, the captures in the folder and
// "Native card checks: N/N passed" last. Returns true when every check passed. At the first failed
// check it writes "FAIL: " and the sentence on standard error and returns false without the
// summary. Throws (RunError or another std::exception) when a file, a capture or a fixture cannot
// be made. The run's temporary folder is removed however it ends. Main thread only, with a
// QApplication.
bool run(const QString& outputDirectory);
// run() for the command line: 0 when every check passed, 1 when one failed, and 1 after printing
// "Native UI check failed: " and the error on standard output when the run could not go on.
int runCommand(const QString& outputDirectory);

// When an element counts as a file attached to the conversation, and which URLs name one.
void attachmentAndIdentityChecks(const checks::Reporter& check);

// The routing-decision diagnostic: the file exists only after a decision is shown, holds one record
// of approved codes, belongs to the host whose card it describes, and is replaced whole.
// `temporaryDirectory` is the run's private folder.
void routingDecisionChecks(const checks::Reporter& check, const QString& temporaryDirectory);

// Visible history progress per conversation and the user-turn count it feeds into the cadence.
void visibleHistoryChecks(const checks::Reporter& check);

// When the cadence grants a classification request, when a shown recommendation becomes stale and
// which reason it reports while it withholds one.
void cadenceChecks(const checks::Reporter& check);

// Which conversations are eligible, what the OpenAI request carries, and the cadence around
// unreadable scans and their recovery.
void eligibilityPayloadRecoveryChecks(const checks::Reporter& check);

// The Claude classify request and answer checks that need no card, up to the family-only answer;
// the card then shows the 67% switch, and the fit, Haiku and legacy checks follow.
void claudeContractChecks(const checks::Reporter& check);
void claudeFitAndHaikuChecks(const checks::Reporter& check);

// The Claude switch to Sonnet 5.5 Low decoded for an Opus 5.5 Medium conversation, 67% against that
// setting; the card shows it after the Claude contract checks.
Recommendation claudeSwitch67();

// The OpenAI request and answer checks that need no card: unsupported targets and legacy current
// settings; the card then shows the note of a withheld target, and the routing metadata and
// unknown current settings follow.
void openAIContractChecks(const checks::Reporter& check);
void openAIRoutingChecks(const checks::Reporter& check);

// Verified Work savings, the speed and billing guard, and the switched-off speed contract.
void workSavingsAndSpeedGuardChecks(const checks::Reporter& check);

// When a saving is shown, the work cost table, and the surface rules of the GPT-6 Sol targets.
void savingsDisplayChecks(const checks::Reporter& check);

// Target validation against what the host showed, and what the OpenAI request sends.
void targetValidationChecks(const checks::Reporter& check);

// Start-up removes the previous session's digest-bearing diagnostics and nothing else; the wire
// capture is off unless armed, captures one request, keeps exact bytes and is private.
void startupCleanupAndCaptureChecks(const checks::Reporter& check, const QString& temporaryDirectory);

// The request log's readable report. `firstLog` is kept for the closing group, which makes two more
// calls on it; `firstReport` follows its latest report.
void requestLogChecks(const checks::Reporter& check, RequestLogStore& firstLog, QString& firstReport);

// The rows of the card's flow groups that need no card, each called by the run in its place.

// A new task after a completed one asks early; short follow-ups and reordered options do not.
void taskChangeChecks(const checks::Reporter& check);
// A Claude conversation keeps one identity across restarts, renders and renames.
void conversationIdentityRuleChecks(const checks::Reporter& check);
// Window and sidebar titles, and tickets across an A-B-A switch of conversations.
void conversationTitleAndTicketChecks(const checks::Reporter& check);
// The local ChatGPT recommendation for the meeting-notes conversation; throws when there is none.
Recommendation meetingRecommendation();
// The local ChatGPT recommendation, missing options and the cadence around an abstention.
void localRecommendationChecks(const checks::Reporter& check, const Recommendation& meeting);
// Retries after service failures: a quiet period, and no more than three attempts.
void serviceRetryChecks(const checks::Reporter& check);
void hebrewSummaryCheck(const checks::Reporter& check);
// What starts a new analysis: the conversation and the user's request, not streaming or drafts.
void analysisSignatureChecks(const checks::Reporter& check);
void highImpactCheck(const checks::Reporter& check);
// Which host's card may show and when a host is read: only its own host in front, or this
// application with the card key; never when dismissed or with nothing in front.
void panelVisibilityChecks(const checks::Reporter& check);
// When a closed card's launcher shows, and the launcher's button: labelled, large enough, opening.
void launcherChecks(const checks::Reporter& check);
// A panel already visible is not brought to the front again.
void panelOrderingCheck(const checks::Reporter& check);
// Which navigation keys an unreadable scan may trust.
void durableIdentityCheck(const checks::Reporter& check);

} // namespace quillmere::NativeCardChecks
