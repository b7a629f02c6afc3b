#include "desktop/checks/CheckReporter.h"
#include "desktop/checks/NativeCardChecks.h"
#include "desktop/classification/RequestLogStore.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace quillmere;

// The start-up clean-up, wire capture and request log groups, naming every failed check at once.
TEST(NativeCardChecks, RequestGroupsPass) {
    QTemporaryDir temporary;
    ASSERT_TRUE(temporary.isValid());
    checks::CheckLog log;
    const checks::Reporter reporter = log.reporter();

    NativeCardChecks::startupCleanupAndCaptureChecks(reporter, temporary.path());
    RequestLogStore firstLog;
    QString firstReport;
    NativeCardChecks::requestLogChecks(reporter, firstLog, firstReport);

    EXPECT_TRUE(log.failures().isEmpty()) << "failed checks:\n" << log.failures().join('\n').toStdString();
    // Start-up and capture 7; request log 12 (row 8 runs once per rejected variant).
    EXPECT_EQ(log.count(), 7 + 12);
    EXPECT_EQ(firstLog.entries().size(), 1u);
}
