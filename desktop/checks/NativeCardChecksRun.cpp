#include "desktop/checks/NativeCardChecksRun.h"

#include "desktop/checks/ClaudeAvailabilityChecks.h"
#include "desktop/checks/ClaudeLocalConversationArchiveChecks.h"
#include "desktop/checks/CodexLocalConversationArchiveChecks.h"
#include "desktop/checks/NativeCardChecks.h"
#include "desktop/checks/NativeCardChecksCards.h"
#include "desktop/checks/NativeCardChecksDebug.h"
#include "desktop/checks/SentMessageTreeChecks.h"
#include "desktop/classification/RequestLogStore.h"
#include "desktop/records/Recommendation.h"
#include "platform/simulated/SimulatedDesktop.h"

#include <cstdio>
#include <memory>

namespace quillmere::NativeCardChecks {

namespace {

// Ends the run at a failed check. Deliberately no std::exception: the contract expectations and
// other catch sites on the way out take ordinary errors, never this.
struct RunStopped {};

struct Tally {
    int passed = 0;
    bool failed = false;
};

void writeLine(std::FILE* stream, const QString& line) {
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stream);
    std::fflush(stream);
}

} // namespace

bool runFramed(const QString& outputDirectory,
               const std::function<void(const checks::Reporter&)>& beforeTemporary,
               const std::function<void(const checks::Reporter&, const TemporaryDirectory&)>& groups) {
    const auto tally = std::make_shared<Tally>();
    const checks::Reporter check = [tally](bool condition, const QString& sentence) {
        if (tally->failed)
            throw RunStopped{};
        if (condition) {
            ++tally->passed;
            writeLine(stdout, QStringLiteral("PASS: ") + sentence);
            return;
        }
        tally->failed = true;
        std::fflush(stdout);
        writeLine(stderr, QStringLiteral("FAIL: ") + sentence);
        throw RunStopped{};
    };
    try {
        beforeTemporary(check);
        const TemporaryDirectory temporary(outputDirectory);
        groups(check, temporary);
    } catch (const RunStopped&) {
        return false;
    }
    if (tally->failed)
        return false;
    writeLine(stdout, QStringLiteral("Native card checks: %1/%1 passed").arg(tally->passed));
    return true;
}

bool run(const QString& outputDirectory) {
    return runFramed(
        outputDirectory, [](const checks::Reporter& check) { ClaudeAvailabilityChecks::run(check); },
        [&outputDirectory](const checks::Reporter& check, const TemporaryDirectory& temporary) {
            startupCleanupAndCaptureChecks(check, temporary.path());
            routingDecisionChecks(check, temporary.path());
            attachmentAndIdentityChecks(check);
            visibleHistoryChecks(check);
            {
                // A synthetic host in front, so that opening the debug window has a foreground
                // application it must leave in front.
                const auto desktop = sim::SimulatedDesktop::fromJson(R"({"apps": [
                    {"pid": 501, "bundleID": "com.openai.chat", "name": "ChatGPT", "active": true, "windows": []}]})");
                desktop->install();
                extractionOrderAndDebugChecks(check, temporary.path(), outputDirectory);
                desktop->uninstall();
            }

            SentMessageTreeChecks::run(check);
            CodexLocalConversationArchiveChecks::run(check);
            ClaudeLocalConversationArchiveChecks::run(check);

            eligibilityPayloadRecoveryChecks(check);
            cadenceChecks(check);
            taskChangeChecks(check);
            panelVisibilityChecks(check);
            conversationIdentityRuleChecks(check);
            launcherChecks(check);
            CardChecks cards(check, outputDirectory);
            cards.compactCardChecks();
            cards.layoutAndHeaderChecks();
            cards.conversationCardChecks();
            conversationTitleAndTicketChecks(check);
            cards.secondCardChecks();
            cards.chipsAndCopyChecks();
            cards.typingAndClickGuardChecks();

            // Computed before the contract groups, used by the ChatGPT flow after them.
            const Recommendation meeting = meetingRecommendation();
            claudeContractChecks(check);
            cards.claudeContractCardChecks(claudeSwitch67());
            claudeFitAndHaikuChecks(check);
            openAIContractChecks(check);
            cards.withheldTargetCardCheck();
            openAIRoutingChecks(check);
            workSavingsAndSpeedGuardChecks(check);
            savingsDisplayChecks(check);
            targetValidationChecks(check);
            localRecommendationChecks(check, meeting);
            cards.modelOptionsCardCheck(meeting);
            serviceRetryChecks(check);
            cards.abstentionCardChecks(meeting);
            hebrewSummaryCheck(check);
            analysisSignatureChecks(check);
            cards.chatGPTCardChecks(meeting);
            highImpactCheck(check);
            cards.collectingStateChecks();
            cards.retainedCardChecks();
            cards.zeroMessageScanCheck();
            durableIdentityCheck(check);
            cards.switchActionChecks();
            cards.longContentChecks();
            panelOrderingCheck(check);
            cards.savingsCopyChecks();
            RequestLogStore firstLog;
            QString firstReport;
            requestLogChecks(check, firstLog, firstReport);
            cards.askLogsAndClosingChecks(firstLog);
        });
}

int runCommand(const QString& outputDirectory) {
    try {
        return run(outputDirectory) ? 0 : 1;
    } catch (const std::exception& error) {
        writeLine(stdout, QStringLiteral("Native UI check failed: ") + QString::fromUtf8(error.what()));
        return 1;
    }
}

} // namespace quillmere::NativeCardChecks
