#include "desktop/checks/NativeCardChecks.h"
#include "desktop/checks/CheckReporter.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace quillmere;

// Runs the card check groups that need no card and names every failed check at once.
TEST(NativeCardChecks, GroupsWithoutTheCardPass) {
    QTemporaryDir temporary;
    ASSERT_TRUE(temporary.isValid());
    checks::CheckLog log;
    const checks::Reporter reporter = log.reporter();

    NativeCardChecks::routingDecisionChecks(reporter, temporary.path());
    NativeCardChecks::visibleHistoryChecks(reporter);
    NativeCardChecks::eligibilityPayloadRecoveryChecks(reporter);
    NativeCardChecks::cadenceChecks(reporter);
    NativeCardChecks::claudeContractChecks(reporter);
    NativeCardChecks::claudeFitAndHaikuChecks(reporter);
    NativeCardChecks::openAIContractChecks(reporter);
    NativeCardChecks::openAIRoutingChecks(reporter);
    NativeCardChecks::workSavingsAndSpeedGuardChecks(reporter);
    NativeCardChecks::savingsDisplayChecks(reporter);
    NativeCardChecks::targetValidationChecks(reporter);

    EXPECT_TRUE(log.failures().isEmpty()) << "failed checks:\n" << log.failures().join('\n').toStdString();
    // Routing 6, history progress 17, eligibility and recovery 20, cadence 72; the card-free
    // contract checks: Claude 31, OpenAI 42, Work savings and speed 63, savings display 15, target
    // validation 16.
    EXPECT_EQ(log.count(), 6 + 17 + 20 + 72 + 31 + 42 + 63 + 15 + 16);
}
