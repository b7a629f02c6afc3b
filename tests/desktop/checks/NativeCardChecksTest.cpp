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
    NativeCardChecks::cadenceChecks(reporter);

    EXPECT_TRUE(log.failures().isEmpty()) << "failed checks:\n" << log.failures().join('\n').toStdString();
    // Six routing checks, seventeen on history progress, seventy-two on the cadence.
    EXPECT_EQ(log.count(), 6 + 17 + 72);
}
