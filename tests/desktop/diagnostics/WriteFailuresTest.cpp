#include "desktop/diagnostics/WriteFailures.h"

#include "desktop/diagnostics/DebugMonitor.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

const QDateTime kT0 = QDateTime::fromSecsSinceEpoch(1800000000, Qt::UTC);

// Tests share the process's record: each starts and ends with it empty.
class WriteFailuresTest : public ::testing::Test {
protected:
    void SetUp() override { WriteFailures::shared().clear(); }
    void TearDown() override { WriteFailures::shared().clear(); }
    WriteFailures& failures = WriteFailures::shared();
};

} // namespace

TEST_F(WriteFailuresTest, OneEntryPerFileSaysOnceWhatIsNews) {
    EXPECT_FALSE(failures.succeeded("/data/a.json", kT0)) << "nothing to resolve";
    EXPECT_TRUE(failures.failed("/data/a.json", "No space left on device", kT0));
    EXPECT_FALSE(failures.failed("/data/a.json", "No space left on device", kT0.addSecs(5)));
    EXPECT_TRUE(failures.failed("/data/b.json", "Read-only file system", kT0.addSecs(6)));
    ASSERT_EQ(failures.failures().size(), 2);
    EXPECT_EQ(failures.failures()[0].failedAttempts, 2);
    EXPECT_EQ(failures.failures()[0].lastFailedAt, kT0.addSecs(5));

    EXPECT_TRUE(failures.succeeded("/data/a.json", kT0.addSecs(10)));
    EXPECT_FALSE(failures.succeeded("/data/a.json", kT0.addSecs(11)));
    // Failing again after a success is news, counted afresh.
    EXPECT_TRUE(failures.failed("/data/a.json", "Disk quota exceeded", kT0.addSecs(20)));
    EXPECT_EQ(failures.failures()[0].failedAttempts, 1);
    EXPECT_EQ(failures.failures()[0].firstFailedAt, kT0.addSecs(20));
    EXPECT_EQ(failures.failures()[0].error, "Disk quota exceeded");
    EXPECT_FALSE(failures.failures()[0].writtenAgainAt);
}

TEST_F(WriteFailuresTest, TheRecordIsBounded) {
    for (int i = 0; i < WriteFailures::failureLimit + 5; ++i)
        failures.failed(QStringLiteral("/data/%1.json").arg(i), "No space left on device", kT0);
    ASSERT_EQ(failures.failures().size(), WriteFailures::failureLimit);
    EXPECT_EQ(failures.failures().front().path, "/data/5.json");
}

TEST_F(WriteFailuresTest, TheDebugReportListsThemBeforeTheEvents) {
    QTemporaryDir dir;
    DebugMonitor monitor(dir.path());
    const QString plain = monitor.report(kT0);
    EXPECT_FALSE(plain.contains("COULD NOT BE SAVED")) << "nothing shows while nothing failed";

    failures.failed("/data/conversation-memory-com.anthropic.claude.json", "No space left on device", kT0);
    const QString report = monitor.report(kT0);
    const QString expected =
        "FILES THAT COULD NOT BE SAVED\n/data/conversation-memory-com.anthropic.claude.json: "
        "No space left on device \u2022 failed 1 time, at 2027-01-15T08:00:00Z \u2022 not "
        "saved since; retried on the next change\n\nRECENT EVENTS (up to 200)";
    EXPECT_TRUE(report.contains(expected)) << report.toStdString();
}
